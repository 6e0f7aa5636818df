#pragma once
// Messages of the management server's cluster lookups: the client reference
// that ties a MongoDB member to a backup client, the saved cluster
// configuration of an instance, and the clients that own a list of IP
// addresses. The MongoDB configuration itself is the module's message; here
// it travels as an opaque tree so that the server stores it unchanged.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/Message.h"

namespace App {

// Client reference: one backup client (a machine with the agent installed).
class ClientEntity : public CNMessageBase {
public:
    static constexpr const char* kTag = "clientEntity";
    ClientEntity() : CNMessageBase(kTag) {}

    void Serialize(CNMessageBase& tree) const override;
    // Error 13 when the tree is not a client reference or the id is malformed.
    CZuError Unserialize(const CNMessageBase& tree) override;

    int64_t clientId = 0;
    std::string clientName;
    std::string hostName;  // the client's network host name
};

// Operations of the stored procedure "DistributedClusterInstanceInfo".
namespace ClusterInstanceOp {
constexpr int64_t Get = 1, Update = 2;
}
// Application type of MongoDB instances.
constexpr int64_t kMongoDBAppType = 8;

class DistributedClusterInstanceRequest : public CNMessageBase {
public:
    static constexpr const char* kTag = "DistributedClusterInstanceRequest";
    DistributedClusterInstanceRequest() : CNMessageBase(kTag) {}

    void Serialize(CNMessageBase& tree) const override;
    CZuError Unserialize(const CNMessageBase& tree) override;

    int64_t appType = kMongoDBAppType;
    int64_t operation = ClusterInstanceOp::Get;
    uint64_t instanceId = 0;
    // Update: the configuration to save (tag "MongoDBConfig").
    std::optional<CNMessageBase> mongoDBConfig;
};

class DistributedClusterInstanceResponse : public CNMessageBase {
public:
    static constexpr const char* kTag = "DistributedClusterInstanceResponse";
    DistributedClusterInstanceResponse() : CNMessageBase(kTag) {}

    void Serialize(CNMessageBase& tree) const override;
    CZuError Unserialize(const CNMessageBase& tree) override;

    int64_t errorCode = 0;
    std::string errorString;
    // Get: the saved configuration, absent when none was saved.
    std::optional<CNMessageBase> mongoDBConfig;
};

class GetClientsForIPAddressRequest : public CNMessageBase {
public:
    static constexpr const char* kTag = "GetClientsForIPAddressRequest";
    GetClientsForIPAddressRequest() : CNMessageBase(kTag) {}

    void Serialize(CNMessageBase& tree) const override;
    CZuError Unserialize(const CNMessageBase& tree) override;

    std::vector<std::string> ipAddresses;
};

class GetClientsForIPAddressResponse : public CNMessageBase {
public:
    static constexpr const char* kTag = "GetClientsForIPAddressResponse";
    GetClientsForIPAddressResponse() : CNMessageBase(kTag) {}

    void Serialize(CNMessageBase& tree) const override;
    CZuError Unserialize(const CNMessageBase& tree) override;

    // One entry per client whose host name is one of the requested addresses.
    std::vector<ClientEntity> clients;
};

// Names under which the procedures are registered with App_ExecuteSP.
inline constexpr const char* kSpDistributedClusterInstanceInfo = "DistributedClusterInstanceInfo";
inline constexpr const char* kSpGetClientsForIPAddresses = "GetClientsForIPAddresses";

}  // namespace App
