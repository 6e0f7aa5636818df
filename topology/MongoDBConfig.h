#pragma once
// The cluster configuration message: one picture of a MongoDB deployment.
// Discovery builds it, the console stores it with the instance, and the
// coordinators send it (or a node's share of it) to their controllers as XML.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/Message.h"
#include "topology/MongoDBServer.h"

namespace App {

// Values of MongoDBConfig::clusterType; a single server is never described.
namespace MongoClusterType {
constexpr int64_t ReplicaSet = 2;
constexpr int64_t Sharded = 3;
}  // namespace MongoClusterType

// Database user of the cluster; the password stays in the platform's
// protected (encrypted, TWPassword) form wherever the message travels.
struct MongoDBCredentials {
    std::string userName;
    std::string password;
};

class MongoDBConfig : public CNMessageBase {
public:
    static constexpr const char* kTag = "MongoDBConfig";
    MongoDBConfig() : CNMessageBase(kTag) {}

    void Serialize(CNMessageBase& tree) const override;
    // Error 13 when the tree is not a configuration or a field is malformed;
    // the object is left unchanged then.
    CZuError Unserialize(const CNMessageBase& tree) override;

    int64_t clusterType = 0;
    // Sharded: the router, then the config-server members, then each shard's
    // members in "listShards" order. Replica set: members in status order.
    std::vector<MongoDBServer> serverList;
    std::optional<MongoDBCredentials> credentials;
    // The entry point the user configured (port, binPath, clientEntity).
    std::optional<MongoDBServer> masterNode;
};

using MongoDBConfigPtr = std::shared_ptr<MongoDBConfig>;

}  // namespace App
