#pragma once
// The records of oplog backup on a node: one recorded oplog point of a
// replica set, one line of a replica set's dump list, the inputs of one dump,
// and the answer of the due-for-backup rule.
#include <cstdint>
#include <string>

namespace MongoDbKax {

// One oplog point of one replica set on this node, as kept in its timestamp file.
struct MongoDbOplogTimeStampInfo_t {
    uint32_t port = 0;
    // Seconds part of the last oplog entry recorded; 0 = ask the node when
    // saving, dump the whole oplog when dumping.
    uint64_t timestamp = 0;
    std::string host;  // empty = the utility's mongoHost
    std::string replicaSetName;
    std::string fileName;  // the timestamp file it was read from
    int64_t fullJobId = 0;
    // Read back: the file carried the reset mark, so the replica set's dump
    // list starts afresh with its next dump.
    bool resetMark = false;
};

// One dump file to add to a replica set's "LogFiles" list.
struct MongoDbOplogDumpsCollectfileFormat_t {
    std::string replicaSetName;
    std::string dumpFilePath;
};

// What one oplog dump needs.
struct MongoDbDumpInputs_t {
    uint32_t port = 0;
    // Seconds of the last recorded entry; 0 = dump everything.
    uint64_t fromTimestamp = 0;
    std::string database = "local";
    std::string collection = "oplog.rs";
    std::string host;
    std::string outDir;  // the staging location
    std::string replicaSetName;
};

// Whether a node's dumps are due for a log backup.
struct QualifyRet {
    static constexpr unsigned Due = 0;
    static constexpr unsigned NotDue = 1;
    unsigned value = NotDue;
    bool IsDue() const { return value == Due; }
};

}  // namespace MongoDbKax
