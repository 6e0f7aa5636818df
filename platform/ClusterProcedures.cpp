// Stored procedures of the management server for MongoDB clusters:
//
// DistributedClusterInstanceInfo  get (1) or update (2) the cluster
//                                 configuration saved with an instance; the
//                                 configuration is kept as the XML text it
//                                 arrived in, so that every field survives.
// GetClientsForIPAddresses        for each requested address, every client
//                                 reachable at it, reported with that address
//                                 as its host name (callers match on it).
#include "host/ClientLookups.h"
#include "host/ClusterMessages.h"
#include "host/Entities.h"
#include "host/StoredProcedure.h"
#include "platform/StateDb.h"

KAX_STATE_SCHEMA("cluster_instance_configs",
                 "CREATE TABLE IF NOT EXISTS cluster_instance_configs ("
                 " instance_id INTEGER PRIMARY KEY,"
                 " config_xml TEXT NOT NULL)");

namespace {

CZuError SaveConfig(uint64_t instanceId, const CNMessageBase& config) {
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    return db
        ->Exec("INSERT INTO cluster_instance_configs (instance_id, config_xml) VALUES (?1, ?2)"
               " ON CONFLICT(instance_id) DO UPDATE SET config_xml = excluded.config_xml",
               {std::to_string(instanceId), config.ToXml()})
        .Push(FXLOC, "Failed to save the cluster configuration of instance [%llu]",
              static_cast<unsigned long long>(instanceId));
}

// Leaves `config` empty when nothing was saved for the instance.
CZuError LoadConfig(uint64_t instanceId, std::optional<CNMessageBase>& config) {
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    std::vector<StateDb::Row> rows;
    if (CZuError err = db->Query(
            "SELECT config_xml FROM cluster_instance_configs WHERE instance_id = ?1",
            {std::to_string(instanceId)}, rows))
        return err.Push(FXLOC);
    config.reset();
    if (rows.empty() || rows[0].empty() || !rows[0][0]) return {};
    CNMessageBase tree;
    if (CZuError err = CNMessageBase::FromXml(*rows[0][0], tree)) return err.Push(FXLOC);
    config = std::move(tree);
    return {};
}

CZuError ClusterInstanceInfo(const CNMessageBase& requestTree, CNMessageBase& responseTree) {
    App::DistributedClusterInstanceRequest request;
    if (CZuError err = request.Unserialize(requestTree)) return err.Push(FXLOC);
    if (request.appType != App::kMongoDBAppType)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                       "Unsupported application type [%lld]",
                                       static_cast<long long>(request.appType));
    MongoDBInstance instance;
    if (CZuError err = MongoDBInstance::ById(request.instanceId, instance)) return err.Push(FXLOC);

    App::DistributedClusterInstanceResponse response;
    switch (request.operation) {
        case App::ClusterInstanceOp::Get:
            if (CZuError err = LoadConfig(request.instanceId, response.mongoDBConfig))
                return err.Push(FXLOC);
            break;
        case App::ClusterInstanceOp::Update:
            if (!request.mongoDBConfig)
                return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                               "Update request without a cluster configuration");
            if (CZuError err = SaveConfig(request.instanceId, *request.mongoDBConfig))
                return err.Push(FXLOC);
            break;
        default:
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                           "Unknown operation [%lld]",
                                           static_cast<long long>(request.operation));
    }
    response.Serialize(responseTree);
    return {};
}

CZuError ClientsForIPAddresses(const CNMessageBase& requestTree, CNMessageBase& responseTree) {
    App::GetClientsForIPAddressRequest request;
    if (CZuError err = request.Unserialize(requestTree)) return err.Push(FXLOC);
    App::GetClientsForIPAddressResponse response;
    for (const std::string& ip : request.ipAddresses) {
        std::vector<TWClient> clients;
        if (CZuError err = ClientLookup::ByAddress(ip, clients)) return err.Push(FXLOC);
        for (const TWClient& c : clients) {
            App::ClientEntity e;
            e.clientId = static_cast<int64_t>(c.id);
            e.clientName = c.name;
            e.hostName = ip;
            response.clients.push_back(std::move(e));
        }
    }
    response.Serialize(responseTree);
    return {};
}

}  // namespace

KAX_STORED_PROCEDURE(App::kSpDistributedClusterInstanceInfo, ClusterInstanceInfo);
KAX_STORED_PROCEDURE(App::kSpGetClientsForIPAddresses, ClientsForIPAddresses);
