// MongoDbUtil: choosing the secondary of a replica set to protect.
#include <nlohmann/json.hpp>

#include "access/MongoDbUtil.h"
#include "host/Entities.h"
#include "host/LogWriter.h"
#include "topology/SecondarySelection.h"
#include "topology/TopologyCommand.h"

namespace MongoDbKax {

int MongoDbUtil::GetSecondaryNodes(const std::string& replicaSetName,
                                   const std::string& primaryHost, int primaryPort,
                                   const std::vector<App::MongoDBServer>& userChoice) {
    JsonObject status;
    if (TopologyCommand::Run(*this, primaryHost, primaryPort, R"({ "replSetGetStatus" : 1 })",
                             status) != 0) {
        ZULOG_ERROR("Failed to execute replSetGetStatus output");
        return -1;
    }
    JsonObject config;
    if (TopologyCommand::Run(*this, primaryHost, primaryPort, R"({ "replSetGetConfig" : 1 })",
                             config) != 0) {
        ZULOG_ERROR("Failed to execute replSetGetConfig output");
        return -1;
    }
    // The member's client host: the network host name of the client that owns
    // one of the member's bound addresses.
    auto clientHost = [this](const std::string& mongoHost) {
        App::ClientEntity entity;
        if (!GetClientObjFromIPList(mongoHost, entity)) return std::string();
        TWClient client;
        if (TWClient::ById(static_cast<uint64_t>(entity.clientId), client).IsSuccess() &&
            !client.networkHostName.empty())
            return client.networkHostName;
        return entity.hostName;
    };
    auto restoreOnly = [this](const std::string& host) { return IsRestoreOnlyClient(host); };
    if (SecondarySelection::GatherCandidates(
            replicaSetName, GetArrayValue(status, "members"),
            GetArrayValue(GetObjectValue(config, "config"), "members"), clientHost, restoreOnly,
            m_topology.secondaries) != 0)
        return -1;
    SecondarySelection::Settings settings;
    settings.useLowestPriorityNode = m_useLowestPriorityNode;
    settings.useLeastLagNode = m_useLeastLagNode;
    settings.useDelayedLagNode = m_useDelayedLagNode;
    return SecondarySelection::Choose(m_topology.secondaries, replicaSetName, userChoice, settings);
}

int MongoDbUtil::GetSecondaryNodeSetByUser(const std::string& replicaSetName,
                                           const std::vector<App::MongoDBServer>& userChoice) {
    return SecondarySelection::ByUser(m_topology.secondaries, replicaSetName, userChoice);
}

int MongoDbUtil::GetSecondaryNodeWithLeastLag(const std::string& replicaSetName) {
    return SecondarySelection::LeastLag(m_topology.secondaries, replicaSetName);
}

int MongoDbUtil::GetSecondaryNodeWithDelayedLag(const std::string& replicaSetName) {
    return SecondarySelection::DelayedLag(m_topology.secondaries, replicaSetName);
}

int MongoDbUtil::GetSecondaryNodeWithLowestPriority(const std::string& replicaSetName) {
    return SecondarySelection::LowestPriority(m_topology.secondaries, replicaSetName);
}

}  // namespace MongoDbKax
