#pragma once
// Entities of the management database as the module reads them: clients,
// instances and applications.
#include <cstdint>
#include <string>
#include <vector>

#include "host/ZuError.h"

class TWClient {
public:
    static CZuError ByName(const std::string& name, TWClient& out);  // 1168 when unknown
    static CZuError ById(uint64_t id, TWClient& out);
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

    uint64_t instanceId = 0;
    std::string instanceName;
    std::string hostName;
    int port = 0;  // 0 means 27017
    std::string dbUser;
    std::string encryptedDbPassword;
    std::string binPath;
    std::string osUser;
    uint64_t pseudoClientId = 0;
};

class ApplicationId {
public:
    ApplicationId(uint32_t marlexId, uint32_t appId) : marlexId(marlexId), appId(appId) {}
    // Resolves the application to its instance and clients.
    CZuError Resolve();

    uint32_t marlexId;
    uint32_t appId;
    uint64_t instanceId = 0;
    std::string instanceName;
    uint64_t clientId = 0;
    uint64_t backupSetId = 0;
};

class ClientFromInstanceId {
public:
    static CZuError getClientId(uint64_t instanceId, uint64_t& clientId);
};
