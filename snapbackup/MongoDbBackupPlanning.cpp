// MongoDbBackupCoordinator: the plan (one secondary per replica set) and the
// nodes and tasks (one per machine running chosen secondaries).
#include <strings.h>

#include "host/ArchiveManager.h"
#include "host/ClientLookups.h"
#include "host/Entities.h"
#include "host/LogWriter.h"
#include "snapbackup/MongoDBNodeInfo.h"
#include "snapbackup/MongoDbBackupCoordinator.h"
#include "topology/MongoDBConfig.h"

namespace MongoDbKax {

namespace {
// The framework's task weight field of a snapshot task.
constexpr int kTaskWeight = 50;
// Data type of the region-based storage policy request.
constexpr int kStoragePolicyDataType = 1;
// Lookup kind of the subclient's Ferrant.
constexpr int kFerrantLookupKind = 4;
}  // namespace

CZuError MongoDbBackupCoordinator::populateNodeAndTaskList() {
    const App::MongoDBConfig discovered = *m_util.GetClusterConfig();
    {
        std::lock_guard<std::recursive_mutex> lock(GetTaskListLock());
        GetTaskList().clear();
    }
    m_plan.clear();
    if (discovered.serverList.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::EmptyServerList,
                                       "Failed to Discover the server list for the subclient [%u:%u]",
                                       m_config->marlexId, m_config->applicationId);
    if (m_util.listDB() != 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::EmptyServerList, "Failed to find the databases information");

    const auto& sizes = m_util.GetTopology().shardSizes;
    for (const App::MongoDBServer& primary : discovered.serverList) {
        if (primary.memberState != App::MongoMemberState::Primary) continue;
        MongoRepSetInfo_t record;
        record.replicaSetName = primary.replicaSetName;
        record.primaryHost = primary.hostName;
        record.primaryPort = uint32_t(primary.port);
        record.primaryDataPath = primary.dbPath;
        if (sizes.empty()) {
            ZULOG_NORMAL("Found empty shard size map. Setting shard size to zero");
        } else {
            auto it = sizes.find(record.replicaSetName);
            record.shardSize = it == sizes.end() ? 0 : it->second;
        }
        record.configServer = primary.serverType == App::MongoServerType::ConfigMember;
        ZULOG_NORMAL(record.configServer ? "Primary Config Server => Shard=[%s] data=[%s] host=[%s] port=[%d] Size=[%lld]"
                                         : "Primary Shard Server => Shard=[%s] data=[%s] host=[%s] port=[%d] Size=[%lld]",
                     record.replicaSetName.c_str(), record.primaryDataPath.c_str(), record.primaryHost.c_str(),
                     int(record.primaryPort), (long long)record.shardSize);

        std::vector<App::MongoDBServer> userChoice;
        for (const App::MongoDBServer& s : m_dataAccessNodes)
            if (strcasecmp(s.replicaSetName.c_str(), record.replicaSetName.c_str()) == 0) userChoice.push_back(s);

        const int chosen = m_util.GetSecondaryNodes(record.replicaSetName, record.primaryHost, int(record.primaryPort),
                                                    userChoice);
        if (chosen < 0) {
            ZULOG_ERROR("No suitable secondary nodes found for replica set [%s]", record.replicaSetName.c_str());
            m_jobFailed = true;
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed,
                                           "No suitable secondary nodes found for replica set [%s] to perform the "
                                           "snapshot. Please check MongoDB.log client for details",
                                           record.replicaSetName.c_str());
        }
        const MongoDbSecondaryInfo_t& candidate = m_util.GetTopology().secondaries[size_t(chosen)];
        record.lagSeconds = uint32_t(candidate.lagSeconds);
        record.optimeSeconds = uint32_t(candidate.optimeSeconds);
        record.oplogSyncTime = candidate.oplogSyncTime;
        record.secondaryHost = candidate.mongoHost;
        record.secondaryPort = uint32_t(candidate.port);
        record.secondaryClientName = candidate.clientHost.empty() ? candidate.mongoHost : candidate.clientHost;
        record.assigned = false;
        ZULOG_NORMAL("Use secondary node [%s:%d] with priority [%f] lagSecs [%d] hidden [%d] slaveDelay [%d] "
                     "oplogSyncTime [%s] to backup replica set [%s]",
                     record.secondaryHost.c_str(), int(record.secondaryPort), candidate.priority,
                     int(candidate.lagSeconds), int(candidate.hidden), int(candidate.slaveDelay),
                     record.oplogSyncTime.c_str(), record.replicaSetName.c_str());
        m_plan.push_back(std::move(record));
    }
    ZULOG_NORMAL("Number of Secondary Shards accumulated=[%ld]\n", long(m_plan.size()));
    if (m_plan.size() < m_util.GetTopology().replicaSetCount)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed,
                                       "Could not find secondary nodes for all the shards in the cluster. Please make sure "
                                       "that the primary nodes of all the replica sets are up and running.");

    int64_t taskCount = 0;
    for (size_t i = 0; i < m_plan.size(); ++i) {
        if (m_plan[i].assigned) continue;
        std::vector<size_t> members{i};
        for (size_t j = i + 1; j < m_plan.size(); ++j)
            if (!m_plan[j].assigned && m_plan[j].secondaryHost == m_plan[i].secondaryHost) members.push_back(j);
        for (size_t k : members) {
            if (CZuError err = GetSecondaryDataPath(m_plan[k], m_nodeName)) return err.Push(FXLOC);
            m_plan[k].assigned = true;
        }
        for (size_t k : members) m_plan[k].nodeClientId = int32_t(m_nodeClientId);
        if (m_regionBasedBackups && !m_storagePolicyUpdated) {
            if (CZuError err = UpdateRegionBasedStoragePolicy(m_nodeClientId)) return err.Push(FXLOC);
            m_storagePolicyUpdated = true;
        }
        if (CZuError err = AddNodeAndTask(taskCount)) return err.Push(FXLOC);
    }
    return {};
}

CZuError MongoDbBackupCoordinator::AddNodeAndTask(int64_t& taskCount) {
    ZULOG_NORMAL("addNode for secClientId  = [%ld]", long(m_nodeClientId));
    if (CZuError err = addNode(m_nodeClientId)) return err.Push(FXLOC);
    if (m_nodeName.empty()) {
        TWClient client;
        if (CZuError err = TWClient::ById(m_nodeClientId, client)) return err.Push(FXLOC);
        m_nodeName = client.shortName.empty() ? client.name : client.shortName;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(GetTaskListLock());
        DistributedKax::CTask task;
        task.status = DistributedKax::TaskStatus::New;
        task.workerSlot = 1;
        task.weight = kTaskWeight;
        task.id = ++taskCount;
        task.name = m_nodeName;
        task.nodeName = m_nodeName;
        auto config = std::make_shared<App::MongoDBConfig>();
        config->serverList = m_nodeServers;
        task.payload = std::make_shared<MongoDBNodeInfo>(config);
        GetTaskList().push_back(std::move(task));
        ZULOG_NORMAL("added Task List  Tasks=[%ld] SecondaryShards=[%ld]", long(GetTaskList().size()),
                     long(m_nodeServers.size()));
    }
    m_nodeServers.clear();
    m_nodeClientId = 0;
    m_nodeName.clear();
    return {};
}

CZuError MongoDbBackupCoordinator::GetSecondaryDataPath(MongoRepSetInfo_t& record, std::string& nodeName) {
    const App::MongoDBConfig& config = *m_util.GetClusterConfig();
    for (const App::MongoDBServer& s : config.serverList) {
        if (s.memberState != App::MongoMemberState::Secondary || s.health != 1 ||
            (s.serverType != App::MongoServerType::ConfigMember && s.serverType != App::MongoServerType::DataMember) ||
            s.hostName != record.secondaryHost || s.port != int64_t(record.secondaryPort))
            continue;
        record.secondaryDataPath = s.dbPath;
        m_nodeServers.push_back(s);
        ZULOG_NORMAL(record.configServer ? "Secondary Config Server => Shard=[%s] data=[%s] host=[%s] port=[%d]"
                                         : "Secondary Shard Server => Shard=[%s] data=[%s] host=[%s] port=[%d]",
                     record.replicaSetName.c_str(), record.secondaryDataPath.c_str(), record.secondaryHost.c_str(),
                     int(record.secondaryPort));
        if (m_nodeClientId != 0) return {};
        ZULOG_NORMAL("secHost name = [%s]", record.secondaryHost.c_str());
        if (!s.clientEntity) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "Invalid clientEntity");
        m_nodeClientId = uint64_t(s.clientEntity->clientId);
        nodeName = s.clientEntity->clientName;
        ZULOG_NORMAL("secClientId  = [%ld]", long(m_nodeClientId));
        if (m_nodeClientId == 0) {
            TWClient client;
            if (ClientLookup::ByHostName(record.secondaryHost, client).IsSuccess() ||
                TWClient::ByName(record.secondaryHost, client).IsSuccess()) {
                m_nodeClientId = client.id;
                nodeName = client.shortName.empty() ? client.name : client.shortName;
            }
            ZULOG_NORMAL("secClientId-2  = [%ld]", long(m_nodeClientId));
            if (m_nodeClientId == 0)
                return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound,
                                               "Could not figure out the client node name to use for the secondary "
                                               "MongoDB Hostname [%s].",
                                               record.secondaryHost.c_str());
        }
        return {};
    }
    return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound,
                                   "Could not find the data path for the shard=[%s] secondary node=[%s] port=[%d]",
                                   record.replicaSetName.c_str(), record.secondaryHost.c_str(),
                                   int(record.secondaryPort));
}

CZuError MongoDbBackupCoordinator::UpdateRegionBasedStoragePolicy(uint64_t nodeClientId) {
    const MongoDbClientConfig& cfg = *m_config;
    ZULOG_NORMAL("Update storage policy params: job = [%d],  marlex = [%d], client = [%d], appid = [%d], datatype: [%d]",
                 int(cfg.jobId), int(cfg.marlexId), int(nodeClientId), int(cfg.applicationId), kStoragePolicyDataType);
    int policyId = 0;
    bool changed = false;
    const int rc = ArMgrClientAPI::setStoragePolicyByRegion(cfg.jobId, cfg.marlexId, nodeClientId, cfg.applicationId,
                                                           kStoragePolicyDataType, policyId, changed);
    if (rc != 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed,
                                       "Failed to update storage policy for client [%lu], return code: [%d]",
                                       (unsigned long)nodeClientId, rc);
    ZULOG_NORMAL("New storage policy Id=[%d], ret=[%d]", policyId, rc);
    if (!changed) return {};
    std::string ferrant;
    if (ArMgrClientAPI::getFerrant(cfg.marlexId, cfg.applicationId, kFerrantLookupKind, ferrant)) {
        ZULOG_ERROR("Failed to fetch ferrant details for subclient [%d]", int(cfg.applicationId));
        ZULOG_ERROR("Failed to get new Ferrant");
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "Failed to get new Ferrant");
    }
    m_config->ferrantName = ferrant;
    ZULOG_NORMAL("Got Ferrant [%s]", ferrant.c_str());
    return {};
}

}  // namespace MongoDbKax
