#pragma once
// One MongoDB process of a deployment (mongod member or mongos router), as
// discovery finds it and as the console, the coordinators and the nodes
// exchange it.
#include <cstdint>
#include <optional>
#include <string>

#include "host/ClusterMessages.h"
#include "host/Message.h"

namespace App {

// Values of MongoDBServer::serverType.
namespace MongoServerType {
constexpr int64_t DataMember = 2;    // member of a data replica set (plain or shard)
constexpr int64_t Router = 3;        // mongos
constexpr int64_t ConfigMember = 4;  // member of the config-server replica set
}  // namespace MongoServerType

// Values of MongoDBServer::memberState; every other replica-set state is Other.
namespace MongoMemberState {
constexpr int64_t Other = 0, Primary = 1, Secondary = 2, Arbiter = 7;
}

class MongoDBServer : public CNMessageBase {
public:
    static constexpr const char* kTag = "MongoDBServer";
    MongoDBServer() : CNMessageBase(kTag) {}

    void Serialize(CNMessageBase& tree) const override;
    // Error 13 when the tree is not a server message or a number is malformed;
    // the tag of a server nested in a configuration is not checked.
    CZuError Unserialize(const CNMessageBase& tree) override;
    CZuError UnserializeFields(const CNMessageBase& tree);

    std::string version;
    std::string storageEngine;
    // The backup client that owns the machine; absent until mapped.
    std::optional<ClientEntity> clientEntity;
    std::string hostName;
    int64_t port = 0;
    std::string dbPath;  // forward slashes, no trailing "/"
    std::string logPath;
    int64_t journalEnabled = 0;
    std::string commandLine;
    std::string configFile;
    // Text of configFile (read on the master's host only), key passwords masked.
    std::string configFileContents;
    int64_t serverType = 0;
    int64_t memberState = MongoMemberState::Other;
    std::string replicaSetName;
    std::string binPath;
    int64_t health = 0;
    std::string bindIp;
    int64_t dataAccessNode = 0;  // non-zero: the user's choice to back its replica set up from
};

}  // namespace App
