#pragma once
// Replacing a file of the oplog store in one step: the new text goes to a
// hidden file beside it, which then takes the file's place. A crash or a full
// disk leaves the previous version whole instead of a cut one, so a recorded
// point or a dump list is never half written.
#include <string>

#include "host/ZuError.h"

namespace MongoDbKax {

class OplogStoreFile {
public:
    static CZuError Replace(const std::string& path, const std::string& content);
};

}  // namespace MongoDbKax
