// MongoDbUtil: tying MongoDB members to the backup clients that own their machines.
#include <algorithm>

#include "access/MongoDbUtil.h"
#include "host/ClientLookups.h"
#include "host/ClusterMessages.h"
#include "host/Entities.h"
#include "host/LogWriter.h"
#include "host/StoredProcedure.h"
#include "topology/MongoDBServer.h"
#include "topology/ServerProperties.h"

namespace MongoDbKax {

bool MongoDbUtil::GetTwClientEntityForHost(const std::string& host, App::ClientEntity& entity,
                                           bool alternateLookup) {
    TWClient client;
    if (TWClient::ByName(host, client).IsSuccess() && client.Exists()) {
        entity.clientId = static_cast<int64_t>(client.id);
        entity.clientName = client.shortName.empty() ? client.name : client.shortName;
        entity.hostName = client.networkHostName;
        return true;
    }
    if (alternateLookup) {
        ZULOG_NORMAL("Looking up other interfaces to find the tw client");
        if (GetTWclientForSingleIP(host, entity).IsSuccess()) {
            ZULOG_NORMAL("Found client [%d] by looking up a non-tw network interface",
                         static_cast<int>(entity.clientId));
            return true;
        }
    }
    ZULOG(2, "Could not find client based on hostname [%s]", host.c_str());
    return false;
}

CZuError MongoDbUtil::GetTWclientsForIPs(const std::vector<std::string>& ips,
                                         std::vector<App::ClientEntity>& entities) {
    App::GetClientsForIPAddressRequest request;
    for (const std::string& ip : ips) {
        ZULOG(2, "Adding ip [%s] to the getClients request", ip.c_str());
        request.ipAddresses.push_back(ip);
    }
    const std::string requestXml = request.SerializeToXml();
    ZULOG(2, "GetClientsForIPAddressRequest input: [%s]", requestXml.c_str());
    std::string responseXml;
    const int rc = App_ExecuteSP::executeStoredProcedure(App::kSpGetClientsForIPAddresses,
                                                         requestXml, responseXml);
    if (rc != 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData,
                                       "Stored procedure to get Client entities for IP addresses "
                                       "failed with an error [%d], response Str [%s]",
                                       rc, responseXml.c_str());
    ZULOG(2, "GetClientsForIPAddressRequest response: [%s]", responseXml.c_str());
    App::GetClientsForIPAddressResponse response;
    if (CZuError err = response.UnserializeFromXml(responseXml))
        return FXErrorUtil::ErrorWin32(
            FXLOC, ZuCode::InvalidData,
            "Unserialize of Stored procedure response failed with an error [%u]",
            err.GetErrorCode());
    entities = std::move(response.clients);
    return {};
}

CZuError MongoDbUtil::GetTWclientForSingleIP(const std::string& ip, App::ClientEntity& entity) {
    ZULOG(2, "Trying to get client for IP [%s]", ip.c_str());
    std::vector<App::ClientEntity> entities;
    if (CZuError err = GetTWclientsForIPs({ip}, entities))
        return err.Push(FXLOC, "Failed to get twclient object for ip [%s]", ip.c_str());
    for (const App::ClientEntity& e : entities) {
        if (e.hostName != ip) continue;
        entity = e;
        ZULOG(2, "Found client [%d] for IP [%s]", static_cast<int>(e.clientId), ip.c_str());
        return {};
    }
    ZULOG_ERROR("Unable to get twclient object for ip [%s]", ip.c_str());
    return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure,
                                   "Unable to get twclient object for ip [%s]", ip.c_str());
}

int MongoDbUtil::GetClientsForMongoIPs() {
    if (m_topology.boundIps.empty()) {
        ZULOG_ERROR("Found Empty bind ip list");
        return -1;
    }
    m_topology.resolvedClients.clear();
    if (CZuError err = GetTWclientsForIPs(m_topology.boundIps, m_topology.resolvedClients)) {
        ZULOG_ERROR("Failed to get TW clients for IPs");
        ZULOG_ERROR("%s", err.AsString().c_str());
        return -1;
    }
    return 0;
}

bool MongoDbUtil::GetClientObjFromIPList(const std::string& ip, App::ClientEntity& entity) {
    ZULOG(2, "Finding tw client for IP [%s]", ip.c_str());
    for (const App::ClientEntity& e : m_topology.resolvedClients) {
        if (e.hostName != ip) continue;
        entity = e;
        ZULOG(2, "Found client [%d] for IP [%s]", static_cast<int>(e.clientId), ip.c_str());
        return true;
    }
    ZULOG(2, "Cannot get tw client for IP [%s]", ip.c_str());
    return false;
}

namespace {

// A server is bound to an address when the address is one whole element of
// its bind list: a substring test would give the server bound to 10.0.0.12
// the client that owns 10.0.0.1, and its backup would run on that machine.
bool IsBoundTo(const App::MongoDBServer& server, const std::string& ip) {
    const std::vector<std::string> bound = ServerProperties::SplitBindList(ServerProperties::TrimBindIp(server.bindIp));
    return std::find(bound.begin(), bound.end(), ip) != bound.end();
}

}  // namespace

int MongoDbUtil::UpdateMongoServerList(std::vector<App::MongoDBServer>& servers) {
    for (const std::string& ip : m_topology.boundIps) {
        for (App::MongoDBServer& server : servers) {
            if (server.clientEntity || !IsBoundTo(server, ip)) continue;
            App::ClientEntity entity;
            if (GetClientObjFromIPList(ip, entity))
                server.clientEntity = entity;
            else
                ZULOG(2, "Unable to set client based on mongod bound host ip [%s]", ip.c_str());
        }
    }
    return 0;
}

bool MongoDbUtil::IsRestoreOnlyClient(const std::string& clientName) {
    constexpr int kRestoreOnlyBit = 2;
    TWClient client;
    if (ClientLookup::ByNameOrHostName(clientName, client).IsError() || !client.Exists())
        return false;
    if ((client.status & kRestoreOnlyBit) == 0) return false;
    ZULOG_NORMAL("Found restore only/uninstalled client [%lu]", client.id);
    return true;
}

}  // namespace MongoDbKax
