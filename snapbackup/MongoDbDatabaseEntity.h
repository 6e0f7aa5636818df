#pragma once
// The databases and collections of a deployment as the index's database
// view records them.
#include <cstdint>
#include <string>
#include <vector>

namespace MongoDbKax {

struct MongoDbCollectionEnity_t {
    std::string name;
    int64_t size = 0;  // "storageSize"
};

struct MongoDbDatabaseEntity_t {
    std::string name;
    int64_t size = 0;  // "sizeOnDisk"
    std::string replicaSetName;  // or "#MONGOS#"
    bool sharded = false;
    bool createdOnReplicaSet = true;
    bool systemDatabase = false;
    std::vector<MongoDbCollectionEnity_t> collections;
};

}  // namespace MongoDbKax
