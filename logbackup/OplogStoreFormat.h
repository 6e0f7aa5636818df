#pragma once
// The names and texts of the files oplog backup keeps on a node: timestamp
// files, "LogFiles" dump lists, numbered collect files, the replica-set map
// and the dump files themselves. Pure text work, so that every format is
// written and read in one place.
#include <cstdint>
#include <string>

#include "logbackup/OplogBackupRecords.h"

namespace MongoDbKax {

class OplogStoreFormat {
public:
    static constexpr const char* kLastFullJobFile = "LAST_FULL_JOB";
    static constexpr const char* kRepsetMapFile = "MongoDbRepsetInfo.twf";
    static constexpr const char* kDumpPrefix = "oplog_";
    static constexpr const char* kLogFilesPrefix = "LogFiles";
    // What mongodump writes for local.oplog.rs, before it gets its own name.
    static constexpr const char* kFreshDumpName = "oplog.rs.bson";

    // "oplog_<rs>.ts".
    static std::string TimestampFileName(const std::string& replicaSetName);
    // Whether a directory entry is a timestamp file ("oplog_..." ending in ".ts").
    static bool IsTimestampFileName(const std::string& name);
    // Line 1 "[1:]<rs>:<port>:<timestamp>:<full job id>\n", line 2
    // "Hostname:<host>" without a line break.
    static std::string TimestampFileText(const MongoDbOplogTimeStampInfo_t& record, bool resetMark);
    // Reads a timestamp file's text into `record` (host, replica set, port,
    // timestamp, full job id, reset mark; fileName untouched). False when the
    // text is empty or any line is not of the format; `badLine` then holds it.
    static bool ParseTimestampFileText(const std::string& text, MongoDbOplogTimeStampInfo_t& record,
                                       std::string& badLine);

    // "LAST_FULL_JOB" content: the job id in decimal, no line break.
    static std::string LastFullJobText(int64_t jobId);
    // The signed decimal at the start of the text; false when there is none.
    static bool ParseLastFullJobText(const std::string& text, int64_t& jobId);

    // "LogFiles_<rs>.twf".
    static std::string LogFilesName(const std::string& replicaSetName);
    // "LogFiles..." ending in ".twf".
    static bool IsLogFilesName(const std::string& name);
    // "<dump path>|<size>\n".
    static std::string CollectLine(const std::string& dumpPath, int64_t size);
    // The dump path of a "LogFiles" line (the text before the last "|"), or
    // "" when the line has none.
    static std::string CollectLinePath(const std::string& line);
    // The replica set of a "LogFiles" path: the text between "LogFiles" plus
    // one character and the last ".twf"; "" when there is none.
    static std::string ReplicaSetOfLogFiles(const std::string& path);

    // "Collect{Tot|Inc}<n>.twf": "Tot" for backup level 1, else "Inc".
    static std::string CollectFileName(int backupLevel, int n);
    // "<n>|<rs>|\n": collect file number, replica set, an empty third field.
    static std::string RepsetMapLine(int n, const std::string& replicaSetName);

    // "oplog_<rs>_<from>.bson".
    static std::string DumpFileName(const std::string& replicaSetName, uint64_t fromTimestamp);
    // Whether a staging entry counts as a dump ("oplog_" in its name, and not
    // one of the entries a file system or filer adds).
    static bool IsDumpFileName(const std::string& name);
};

}  // namespace MongoDbKax
