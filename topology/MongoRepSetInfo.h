#pragma once
// One replica set of a backup or restore plan: the secondary chosen to protect
// it, its primary, and what the nodes and the index record about it.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace MongoDbKax {

struct MongoRepSetInfo_t {
    int64_t shardSize = 0;  // bytes of data; 0 when unknown
    std::string replicaSetName;
    std::string secondaryDataPath;
    std::string secondaryHost;
    std::string secondaryClientName;  // client host of the secondary, else its mongo host
    uint32_t secondaryPort = 0;
    bool configServer = false;
    uint32_t archiveFileId = 0;  // archive file holding the secondary data path
    int32_t nodeClientId = 0;    // client whose volumes hold the snapshot
    std::string primaryHost;
    uint32_t primaryPort = 0;
    std::string primaryDataPath;
    uint32_t lagSeconds = 0;
    uint32_t optimeSeconds = 0;
    std::string oplogSyncTime;
    bool assigned = false;  // belongs to a node's task
    int64_t oplogLastTimestamp = 0;
    bool journalEnabled = false;
    bool quiesceSkipped = false;
    // Entries "<physical path>|<link path>".
    std::vector<std::string> mountPaths;
    std::map<uint32_t, std::string> archiveFileMap;  // archive file id -> mount-path entry
    std::string oplogDumpStagingLocation;
    std::string mountPathRecord;
};

}  // namespace MongoDbKax
