#pragma once
// Entities of the management database as the module reads them: clients
// (machines running the agent), MongoDB instances (one protected deployment
// each, reached through a pseudo-client) and applications (subclients,
// identified by Marlex id and application id, each bound to one instance).
// Lookups fail with 1168 when the entity is unknown; store failures carry the
// database's error.
#include <cstdint>
#include <string>
#include <vector>

#include "host/ZuError.h"

class TWClient {
public:
    static CZuError ByName(const std::string& name, TWClient& out);
    static CZuError ById(uint64_t id, TWClient& out);
    // Adds the client, or replaces the properties of the client with the same
    // name; sets `client.id`.
    static CZuError Save(TWClient& client);
    bool Exists() const { return id != 0; }

    uint64_t id = 0;
    std::string name;
    std::string shortName;
    std::string networkHostName;
    std::vector<std::string> ipAddresses;
    int status = 0;
    int osId = 0;
};

class MongoDBInstance {
public:
    static CZuError ById(uint64_t instanceId, MongoDBInstance& out);
    // Adds the instance (instanceId 0 picks a new id) or replaces it; sets
    // `instance.instanceId`.
    static CZuError Save(MongoDBInstance& instance);

    uint64_t instanceId = 0;
    std::string instanceName;
    std::string hostName;
    int port = 0;  // 0 means 27017
    std::string dbUser;
    std::string encryptedDbPassword;  // TWPassword protected form
    std::string binPath;
    std::string osUser;
    uint64_t pseudoClientId = 0;
};

class ApplicationId {
public:
    ApplicationId(uint32_t marlexId, uint32_t appId) : marlexId(marlexId), appId(appId) {}
    // Fills instanceId, instanceName, clientId (the instance's pseudo-client)
    // and backupSetId.
    CZuError Resolve();
    // Binds this application to `instanceId` (and `backupSetId`).
    CZuError Save();

    uint32_t marlexId;
    uint32_t appId;
    uint64_t instanceId = 0;
    std::string instanceName;
    uint64_t clientId = 0;
    uint64_t backupSetId = 0;
};

class ClientFromInstanceId {
public:
    // The instance's pseudo-client id.
    static CZuError getClientId(uint64_t instanceId, uint64_t& clientId);
};
