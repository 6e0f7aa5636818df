// MongoDbUtil: discovery of a replica set or sharded cluster from its master node.
#include <nlohmann/json.hpp>

#include "access/MongoDbUtil.h"
#include "host/ClusterMessages.h"
#include "host/Entities.h"
#include "host/Files.h"
#include "host/LogWriter.h"
#include "host/StoredProcedure.h"
#include "topology/HostPort.h"
#include "topology/MongoDBConfig.h"
#include "topology/ServerProperties.h"
#include "topology/TopologyCommand.h"

namespace MongoDbKax {
namespace {

constexpr int kAuthenticationFailure = 13;
constexpr int kNoProcessOnPort = 14;

// A member's name split at ":" into host text and port; empty host and port 0
// when it is not of that form.
struct HostAndPort {
    std::string host;
    int port = 0;
    bool valid = false;
};

HostAndPort ParseMember(const std::string& name) {
    HostAndPort hp;
    hp.valid = SplitHostPort(name, hp.host, hp.port);
    return hp;
}

// "name/host1:port1,host2:port2" -> the name and the first member that has
// the form host:port. False when the text does not split at "/" into two
// parts; `member.valid` false when no member has that form.
bool ParseReplicaSetHosts(const std::string& text, std::string& name, HostAndPort& member) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos || text.find('/', slash + 1) != std::string::npos) return false;
    name = text.substr(0, slash);
    const std::string hosts = text.substr(slash + 1);
    size_t start = 0;
    while (start <= hosts.size()) {
        size_t end = hosts.find(',', start);
        if (end == std::string::npos) end = hosts.size();
        member = ParseMember(hosts.substr(start, end - start));
        if (member.valid) return true;
        start = end + 1;
    }
    member = HostAndPort();
    return true;
}

int64_t MemberState(int state) {
    switch (state) {
        case 1: return App::MongoMemberState::Primary;
        case 2: return App::MongoMemberState::Secondary;
        case 7: return App::MongoMemberState::Arbiter;
        default: return App::MongoMemberState::Other;
    }
}

// A byte count as listDatabases reports it (integer or double) as a 64-bit integer.
int64_t Bytes(const JsonObject& value) {
    if (value.is_number_integer()) return value.get<int64_t>();
    if (value.is_number()) return static_cast<int64_t>(value.get<double>());
    return 0;
}

}  // namespace

uint64_t MongoDbUtil::GetMasterClientId() const {
    return m_topology.masterClientId ? m_topology.masterClientId : m_clientId;
}

int MongoDbUtil::Discover(bool browse) {
    ZULOG_NORMAL("Starting discover using hostname [%s] port [%d] user [%s]", m_mongoHost.c_str(),
                 m_mongoPort, m_dbUser.c_str());
    // Every finding is the run's own, also when the utility discovered before.
    m_topology.sharded = false;
    m_topology.replicaSetNames.clear();
    m_topology.boundIps.clear();
    m_topology.resolvedClients.clear();

    int rc = GetMongoDBServerVersion();
    if (rc != 0) {
        ZULOG_ERROR("Failed to get mongo db server version");
        return rc;
    }
    rc = ValidateMongoHostname(browse);
    if (rc != 0) {
        ZULOG_ERROR("Failed to validate master node hostname [%s]", m_mongoHost.c_str());
        return rc;
    }

    std::vector<App::MongoDBServer> servers;
    rc = CheckIfShardedEnv();
    if (rc == kAuthenticationFailure) {
        ZULOG_ERROR("Authentication Error during discovery, exiting");
        return rc;
    }
    // A router answers the router test with isdbgrid; anything else is a mongod.
    if (rc != 0 || !m_topology.sharded) {
        if (CheckIfReplicationIsEnabled() != 0) return -1;
        m_clusterConfig->clusterType = App::MongoClusterType::ReplicaSet;
        rc = GetRepSetInfo(m_topology.replicaSetName, m_mongoHost, m_mongoPort, servers, false);
        if (rc != 0) {
            ZULOG_ERROR("Failed to get replication info [%s] in non-sharded enviroment",
                        m_topology.replicaSetName.c_str());
            return rc;
        }
        m_topology.replicaSetCount = 1;
    } else {
        m_clusterConfig->clusterType = App::MongoClusterType::Sharded;
        if ((rc = GetMongosServiceInfo(servers)) != 0) {
            ZULOG_ERROR("Failed to get mongos routing service info");
            return rc;
        }
        if (GetConfigRepSetInfo(servers) != 0) {
            ZULOG_ERROR("Failed to get config server replication set info");
            return -1;
        }
        if (GetShardsInfo(servers) != 0) {
            ZULOG_ERROR("Failed to get shards replication set info");
            return -1;
        }
    }

    if (GetClientsForMongoIPs() != 0) {
        ZULOG_ERROR("Failed to get Tarnwell Client for mongod bound IPs from db");
        return -1;
    }
    UpdateMongoServerList(servers);
    m_clusterConfig->serverList = std::move(servers);
    ZULOG(3, "Discovered cluster configuration [%s]", m_clusterConfig->SerializeToXml().c_str());
    return 0;
}

int MongoDbUtil::ValidateMongoHostname(bool browse) {
    if (CheckMongoConnectivity(m_mongoHost, m_mongoPort, true) == 0) {
        ZULOG_NORMAL("mongo hostname [%s] is validated", m_mongoHost.c_str());
        return 0;
    }
    const uint64_t clientId = GetMasterClientId();
    if (clientId == 0) {
        ZULOG_ERROR("Master Node client id is not set, returning error");
        return 1;
    }
    TWClient client;
    if (CZuError err = TWClient::ById(clientId, client))
        ZULOG_ERROR("Failed to read the addresses of client [%lu]: %s", clientId,
                    err.AsString().c_str());
    for (const std::string& ip : client.ipAddresses) {
        if (CheckMongoConnectivity(ip, m_mongoPort, true) != 0) continue;
        ZULOG_NORMAL("Successfully connected to mongod/mongos server using IP [%s]", ip.c_str());
        m_mongoHost = ip;
        if (browse) return 0;
        MongoDBInstance instance;
        CZuError err = MongoDBInstance::ById(m_instanceId, instance);
        if (err.IsSuccess()) {
            instance.hostName = ip;
            err = MongoDBInstance::Save(instance);
        }
        if (err) {
            ZULOG_ERROR("Failed to update new hostname [%s] to DB", ip.c_str());
            ZULOG_ERROR("%s", err.AsString().c_str());
            return 1;
        }
        ZULOG_NORMAL("Succesfully updated new hostname [%s] to DB", ip.c_str());
        return 0;
    }
    ZULOG_ERROR(
        "Cannot find any mongod/mongos process that listens to the given port on the master node");
    return kNoProcessOnPort;
}

int MongoDbUtil::CheckIfShardedEnv() {
    JsonObject reply;
    if (TopologyCommand::Run(*this, m_mongoHost, m_mongoPort, R"({"isdbgrid" : 1})", reply) != 0) {
        if (isAuthenticationError("")) {
            ZULOG_ERROR("Authentication error during discovery");
            return kAuthenticationFailure;
        }
        return -1;
    }
    if (GetDoubleValue(reply, "ok") == 1.0 && GetIntValue(reply, "isdbgrid") == 1) {
        ZULOG_NORMAL("Detected sharded cluster");
        m_topology.sharded = true;
    }
    return 0;
}

int MongoDbUtil::CheckIfReplicationIsEnabled() {
    JsonObject reply;
    if (TopologyCommand::Run(*this, m_mongoHost, m_mongoPort, R"({"isMaster" : 1})", reply) != 0)
        return -1;
    const std::string setName = GetStringValue(reply, "setName");
    if (setName.empty()) {
        ZULOG_ERROR("Replication has not been eanabled. Single server is not supported. \n");
        return -1;
    }
    m_topology.replicaSetName = setName;
    return 0;
}

int MongoDbUtil::GetRepSetInfo(const std::string& name, const std::string& host, int port,
                               std::vector<App::MongoDBServer>& servers, bool configServer) {
    JsonObject reply;
    std::string text;
    if (TopologyCommand::Run(*this, host, port, R"({ "replSetGetStatus": 1})", reply, &text) != 0) {
        if (isAuthenticationError("")) {
            ZULOG_ERROR("Authentication error during discovery");
            return kAuthenticationFailure;
        }
        return -1;
    }
    if (text.empty() || reply.empty()) {
        ZULOG_ERROR("Replication set info is empty");
        return -1;
    }
    const std::string setName = GetStringValue(reply, "set");
    bool anyMember = false;
    for (const JsonObject& member : GetArrayValue(reply, "members")) {
        if (member.is_null()) continue;
        anyMember = true;
        App::MongoDBServer server;
        server.version = m_serverVersion;
        server.serverType =
            configServer ? App::MongoServerType::ConfigMember : App::MongoServerType::DataMember;
        server.replicaSetName = setName;
        const HostAndPort hp = ParseMember(GetStringValue(member, "name"));
        if (hp.valid) {
            server.hostName = hp.host;
            server.port = hp.port;
            App::ClientEntity entity;
            if (GetTwClientEntityForHost(hp.host, entity, false)) server.clientEntity = entity;
            // A member that cannot be asked (down, unreachable) is still listed.
            setServerProp(server, hp.host, hp.port, true);
        }
        server.health = static_cast<int64_t>(GetDoubleValue(member, "health"));
        server.memberState = MemberState(GetIntValue(member, "state"));
        servers.push_back(std::move(server));
    }
    if (!anyMember) {
        ZULOG_ERROR("Failed to get members info in replication set [%s] [%s:%d]", name.c_str(),
                    host.c_str(), port);
        return -1;
    }
    m_topology.replicaSetNames.push_back(setName);
    return 0;
}

int MongoDbUtil::GetConfigRepSetInfo(std::vector<App::MongoDBServer>& servers) {
    JsonObject reply;
    if (TopologyCommand::Run(*this, m_mongoHost, m_mongoPort, R"({ "getShardMap" : 1 })", reply) != 0)
        return -1;
    const std::string config = GetStringValue(GetObjectValue(reply, "map"), "config");
    std::string name;
    HostAndPort member;
    if (!ParseReplicaSetHosts(config, name, member) || !member.valid) {
        ZULOG_ERROR("Failed to parse config section in shard map");
        return -1;
    }
    m_topology.configServerReplicaSetName = name;
    if (GetRepSetInfo(name, member.host, member.port, servers, true) != 0) {
        ZULOG_ERROR("Failed to get config replication set info [%s]", config.c_str());
        return -1;
    }
    return 0;
}

int MongoDbUtil::GetShardsInfo(std::vector<App::MongoDBServer>& servers) {
    JsonObject reply;
    std::string text;
    if (TopologyCommand::Run(*this, m_mongoHost, m_mongoPort, R"({ "listShards": 1})", reply, &text) != 0)
        return -1;
    if (reply.empty()) {
        ZULOG_ERROR("Failed to parse shard info output");
        ZULOG_ERROR("Invalid JSON:[%s]", text.c_str());
        return -1;
    }
    const JsonObject shards = GetArrayValue(reply, "shards");
    m_topology.replicaSetCount = shards.size() + 1;
    ZULOG_NORMAL("Number of replica sets: [%lu]", m_topology.replicaSetCount);
    if (shards.empty()) {
        ZULOG_ERROR("Failed to find shards element");
        ZULOG_ERROR("JSON:[%s]", text.c_str());
        return -1;
    }
    for (const JsonObject& shard : shards) {
        const std::string shardName = GetStringValue(shard, "_id");
        const std::string hosts = GetStringValue(shard, "host");
        if (hosts.empty()) {
            ZULOG_ERROR("Failed to parse shard status");
            ZULOG_ERROR("Shard JSON:[%s]", shard.dump().c_str());
            return -1;
        }
        std::string setName;
        HostAndPort member;
        // A shard that is not a replica set has no "name/" part and is not scanned.
        if (!ParseReplicaSetHosts(hosts, setName, member) || !member.valid) continue;
        if (GetRepSetInfo(shardName, member.host, member.port, servers, false) != 0) {
            ZULOG_ERROR("Failed to fetch replication set info for [%s]", shardName.c_str());
            return -1;
        }
    }
    return 0;
}

int MongoDbUtil::GetMongosServiceInfo(std::vector<App::MongoDBServer>& servers) {
    App::MongoDBServer server;
    server.version = m_serverVersion;
    server.serverType = App::MongoServerType::Router;
    server.hostName = m_mongoHost;
    server.port = m_mongoPort;
    App::ClientEntity entity;
    if (GetTwClientEntityForHost(m_mongoHost, entity, false)) server.clientEntity = entity;
    const int rc = setServerProp(server, m_mongoHost, m_mongoPort, false);
    if (rc != 0) {
        ZULOG_ERROR("Failed to set server props during discovery");
        return rc;
    }
    servers.push_back(std::move(server));
    return 0;
}

int MongoDbUtil::setServerProp(App::MongoDBServer& server, const std::string& host, int port,
                               bool member) {
    JsonObject reply;
    if (TopologyCommand::Run(*this, host, port, R"({"buildInfo" : 1})", reply) != 0) return -1;
    if (GetDoubleValue(reply, "ok") == 1.0 && !GetStringValue(reply, "version").empty())
        server.version = GetStringValue(reply, "version");

    JsonObject opts;
    std::string optsText;
    if (TopologyCommand::Run(*this, host, port, R"({"getCmdLineOpts" : 1})", opts, &optsText) != 0) {
        if (isAuthenticationError("")) {
            ZULOG_ERROR("Authentication error during discovery");
            return kAuthenticationFailure;
        }
        return -1;
    }
    const bool optsOk = GetDoubleValue(opts, "ok") == 1.0;
    if (!optsOk) ZULOG_ERROR("getCmdLineOpts failed, result:[%s]", optsText.c_str());
    const JsonObject parsed = GetObjectValue(opts, "parsed");
    const JsonObject storage = GetObjectValue(parsed, "storage");

    const JsonObject journal = GetObjectValue(storage, "journal");
    server.journalEnabled = journal.contains("enabled") ? GetBoolean(journal, "enabled") : 1;
    ZULOG(2, "journal enabled: [%d]", static_cast<int>(server.journalEnabled));
    const std::string logPath = GetStringValue(GetObjectValue(parsed, "systemLog"), "path");
    if (!logPath.empty()) server.logPath = logPath;

    server.configFile = GetStringValue(parsed, "config");
    server.configFileContents.clear();
    if (!server.configFile.empty() && host == m_mongoHost) {
        std::string contents;
        if (FXFile::ReadAll(server.configFile, contents).IsSuccess() && !contents.empty())
            server.configFileContents = ServerProperties::MaskKeyPasswords(contents);
    }

    if (optsOk) {
        std::string commandLine;
        for (const JsonObject& arg : GetArrayValue(opts, "argv"))
            if (arg.is_string()) commandLine += (commandLine.empty() ? "" : " ") + arg.get<std::string>();
        if (!commandLine.empty()) server.commandLine = commandLine;
    }

    const JsonObject net = GetObjectValue(parsed, "net");
    const std::string bindIp = GetStringValue(net, "bindIp");
    if (!bindIp.empty()) {
        ZULOG(2, "Read BindIps for host [%s], port [%d] as [%s]", host.c_str(), port, bindIp.c_str());
        server.bindIp = ServerProperties::TrimBindIp(bindIp);
        for (const std::string& ip : ServerProperties::SplitBindList(server.bindIp))
            if (ServerProperties::AddBoundIp(m_topology.boundIps, ip))
                ZULOG(2, "Pushing [%s] to ip list", ip.c_str());
    } else if (GetBoolean(net, "bindIpAll")) {
        if (ServerProperties::AddBoundIp(m_topology.boundIps, host))
            ZULOG(2, "Pushing [%s] to ip list", host.c_str());
    } else {
        ZULOG(2, "Could not get bindIp info from command line options");
    }

    if (!member) return 0;
    JsonObject status;
    if (TopologyCommand::Run(*this, host, port, R"({"serverStatus":1})", status) != 0) return -1;
    if (GetDoubleValue(status, "ok") != 1.0) return 0;
    const std::string engine = GetStringValue(GetObjectValue(status, "storageEngine"), "name");
    if (!engine.empty()) {
        server.storageEngine = engine;
        ZULOG(2, "storage engine name: [%s]", engine.c_str());
    }
    const std::string dbPath = GetStringValue(storage, "dbPath");
    if (!dbPath.empty()) {
        server.dbPath = ServerProperties::NormalizeDbPath(dbPath);
        ZULOG(2, "dbPath: [%s]", server.dbPath.c_str());
    }
    return 0;
}

int MongoDbUtil::listDB() {
    JsonObject reply;
    if (TopologyCommand::Run(*this, m_mongoHost, m_mongoPort, R"({ "listDatabases" : 1 })", reply) != 0)
        return -1;
    if (m_topology.sharded) {
        if (m_topology.configServerReplicaSetName.empty()) {
            ZULOG_ERROR("Found empty Config Server repset name. Returning error.");
            return -1;
        }
        for (const JsonObject& db : GetArrayValue(reply, "databases")) {
            const JsonObject shards = GetObjectValue(db, "shards");
            for (auto it = shards.begin(); it != shards.end(); ++it) {
                const std::string rs =
                    it.key() == "config" ? m_topology.configServerReplicaSetName : it.key();
                m_topology.shardSizes[rs] += Bytes(it.value());
            }
        }
    } else {
        m_topology.shardSizes[m_topology.replicaSetName] =
            static_cast<int64_t>(GetDoubleValue(reply, "totalSize"));
    }
    if (m_topology.shardSizes.empty())
        ZULOG_NORMAL(
            "Failed to fetch databases size information. Shard size will be sent as zero to "
            "indexing");
    return 0;
}

CZuError MongoDbUtil::GetMongoClusterConfigFromDB(uint64_t instanceId, App::MongoDBConfig& config) {
    ZULOG_NORMAL("Fetching instance details for instanceId [%lu] ", instanceId);
    App::DistributedClusterInstanceRequest request;
    request.operation = App::ClusterInstanceOp::Get;
    request.instanceId = instanceId;
    std::string responseXml;
    const int rc = App_ExecuteSP::executeStoredProcedure(App::kSpDistributedClusterInstanceInfo,
                                                         request.SerializeToXml(), responseXml);
    if (rc != 0) {
        ZULOG_ERROR("Stored procedure execution failed with an error. retCode [%d] [%s]", rc,
                    responseXml.c_str());
        return FXErrorUtil::ErrorWin32(
            FXLOC, ZuCode::FunctionFailed,
            "Stored procedure to get instance properties failed with an error [%d] [%s]", rc,
            responseXml.c_str());
    }
    ZULOG(3, "Received cluster config xml for instance id [%lu] [%s]", instanceId,
          responseXml.c_str());
    App::DistributedClusterInstanceResponse response;
    CZuError err = response.UnserializeFromXml(responseXml);
    if (err.IsSuccess() && response.errorCode != 0)
        err = FXErrorUtil::ErrorWin32(
            FXLOC, ZuCode::FunctionFailed,
            "Stored procedure execution failed with an error. retCode [%lld] response string [%s]",
            static_cast<long long>(response.errorCode), response.errorString.c_str());
    if (err.IsSuccess() && !response.mongoDBConfig)
        err = FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound,
                                      "No cluster configuration is saved for instance [%lu]",
                                      instanceId);
    if (err.IsSuccess()) err = config.Unserialize(*response.mongoDBConfig);
    if (err) {
        ZULOG_ERROR("Failed to unserialize cluster config xml. retCode [%u]", err.GetErrorCode());
        return err.Push(FXLOC);
    }
    return {};
}

}  // namespace MongoDbKax
