#pragma once
// Reading back an oplog dump that mongodump wrote: a plain sequence of BSON
// oplog entries. The point a dump pass records is taken from here, so that it
// is the last entry the stored dump really holds.
#include <cstdint>
#include <string>

#include "host/ZuError.h"

namespace MongoDbKax {

class OplogDumpFile {
public:
    struct Summary {
        uint64_t entries = 0;
        // The latest "ts" of the dump; both 0 when the dump is empty.
        uint32_t lastSeconds = 0;
        uint32_t lastIncrement = 0;
    };

    // Error 13 (invalid data) when the file is not a whole sequence of
    // documents (cut short, garbled) or an entry lacks its timestamp "ts";
    // the file's own error when it cannot be opened.
    static CZuError Summarize(const std::string& path, Summary& summary);
};

}  // namespace MongoDbKax
