#pragma once
// The index records of a MongoDB snapshot backup, as the index keeps them
// and browse responses return them: one shard record per replica set
// ("SHARDView", the "mongoDBShardInfo" element) and the database tree
// ("DBView": database and collection records).
#include <cstdint>
#include <string>

#include "host/Message.h"

namespace App {

inline constexpr const char* kShardViewName = "SHARDView";
inline constexpr const char* kDBViewName = "DBView";
// Replica-set name of the databases created through the router.
inline constexpr const char* kMongosReplicaSetName = "#MONGOS#";

class MongoDBShardInfo : public CNMessageBase {
public:
    static constexpr const char* kTag = "mongoDBShardInfo";
    MongoDBShardInfo() : CNMessageBase(kTag) {}
    void Serialize(CNMessageBase& tree) const override;
    // Error 13 when the tree is not a shard record or a number is malformed.
    CZuError Unserialize(const CNMessageBase& tree) override;

    // In the record's catalogue order.
    int64_t secondaryPort = 0;
    int64_t shardSize = 0;
    int64_t optimeSeconds = 0;
    std::string replicaSetName;
    std::string secondaryDataPath;
    std::string primaryDataPath;
    int64_t primaryPort = 0;
    int64_t archiveFileId = 0;  // holds the secondary data path
    int64_t configServer = 0;
    int64_t nodeClientId = 0;   // the client that snapshotted the replica set
    std::string secondaryHost;
    std::string primaryHost;
    // "<rs>#<physical>|<link>|<afile id>,..."
    std::string mountPathMap;
    std::string oplogDumpStagingDir;
};

// A database (directory entry) of the DBView.
class MongoDBDatabaseRecord : public CNMessageBase {
public:
    static constexpr const char* kTag = "mongoDBDatabase";
    MongoDBDatabaseRecord() : CNMessageBase(kTag) {}
    void Serialize(CNMessageBase& tree) const override;
    CZuError Unserialize(const CNMessageBase& tree) override;

    std::string name;
    int64_t size = 0;
    std::string replicaSet;  // or "#MONGOS#"
    int64_t sharded = 0;
    int64_t createdOnReplicaSet = 0;
    int64_t systemDatabase = 0;
};

// A collection (file entry) of the DBView.
class MongoDBCollectionRecord : public CNMessageBase {
public:
    static constexpr const char* kTag = "mongoDBCollection";
    MongoDBCollectionRecord() : CNMessageBase(kTag) {}
    void Serialize(CNMessageBase& tree) const override;
    CZuError Unserialize(const CNMessageBase& tree) override;

    std::string name;
    int64_t size = 0;
    std::string replicaSet;
    std::string databaseName;
    int64_t createdOnReplicaSet = 0;
    int64_t systemDatabase = 0;
};

}  // namespace App
