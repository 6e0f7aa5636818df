#pragma once
// Not built yet: the factory returns this stand-in, which fails every
// life-cycle call with an error naming the missing capability.
#include "entry/UnbuiltPhase.h"

namespace MongoDbKax {

class MongoDbBackupCopyController : public UnbuiltController {
public:
    MongoDbBackupCopyController() : UnbuiltController("Backup copy") {}
};

}  // namespace MongoDbKax
