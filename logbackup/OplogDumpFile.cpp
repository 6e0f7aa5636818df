#include "logbackup/OplogDumpFile.h"

#include <bson/bson.h>

#include <cerrno>

#include "host/Files.h"

namespace MongoDbKax {

CZuError OplogDumpFile::Summarize(const std::string& path, Summary& summary) {
    summary = Summary{};
    bson_error_t error;
    bson_reader_t* reader = bson_reader_new_from_file(path.c_str(), &error);
    if (!reader)
        return FXErrorUtil::ErrorErrNo(FXLOC, ENOENT, "Cannot open oplog dump [%s]: %s",
                                       path.c_str(), error.message);
    CZuError result;
    bool eof = false;
    while (const bson_t* entry = bson_reader_read(reader, &eof)) {
        bson_iter_t it;
        if (!bson_iter_init_find(&it, entry, "ts") || !BSON_ITER_HOLDS_TIMESTAMP(&it)) {
            result = FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData,
                                             "Entry %lu of oplog dump [%s] has no timestamp",
                                             (unsigned long)summary.entries + 1, path.c_str());
            break;
        }
        uint32_t seconds = 0, increment = 0;
        bson_iter_timestamp(&it, &seconds, &increment);
        if (seconds > summary.lastSeconds ||
            (seconds == summary.lastSeconds && increment > summary.lastIncrement)) {
            summary.lastSeconds = seconds;
            summary.lastIncrement = increment;
        }
        ++summary.entries;
    }
    // The reader treats a cut last document as the end of the file, so the
    // bytes it consumed must be the whole file.
    uint64_t size = 0;
    if (!result && (!eof || FXFile::Size(path, size) || size != uint64_t(bson_reader_tell(reader))))
        result = FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData,
                                         "Oplog dump [%s] is cut short or garbled after %lu entries",
                                         path.c_str(), (unsigned long)summary.entries);
    bson_reader_destroy(reader);
    return result;
}

}  // namespace MongoDbKax
