// MongoDbBackupCoordinator: construction, initialize and saving the
// discovered configuration with the instance.
#include "snapbackup/MongoDbBackupCoordinator.h"

#include <strings.h>

#include "host/ClusterMessages.h"
#include "host/Entities.h"
#include "host/Files.h"
#include "host/JobClient.h"
#include "host/LogWriter.h"
#include "host/PlatformInfo.h"
#include "host/StoredProcedure.h"
#include "host/Subclient.h"
#include "snapbackup/SnapBackupEventIds.h"
#include "topology/MongoDBConfig.h"

namespace MongoDbKax {

namespace {
constexpr uint32_t kSubclientNotFound = 4312;
}

MongoDbBackupCoordinator::MongoDbBackupCoordinator() : m_config(std::make_shared<MongoDbClientConfig>()) {}

MongoDbBackupCoordinator::~MongoDbBackupCoordinator() = default;

void MongoDbBackupCoordinator::RaisePendingCause(uint32_t messageId, const std::vector<std::string>& arguments) {
    if (!m_jobClient) return;
    for (const auto& a : arguments) m_jobClient->addEventArgument(a);
    if (CZuError err = m_jobClient->setPendingCauseAndEvent(messageId))
        ZULOG_ERROR("Failed to raise the pending cause [0x%08X]: %s", messageId, err.AsString().c_str());
}

CZuError MongoDbBackupCoordinator::getCommandArgumentsForNode(const DistributedKax::CNode& node, std::string& args) {
    // The data mover name is quoted: it comes from the job's arguments or the storage manager.
    args = FXString::Format(" -numstreams %d -t %d -d %s ", node.getStreamsNeeded(1), m_config->backupLevel,
                            FXString::QuoteArgument(m_config->ferrantName).c_str());
    return {};
}

CZuError MongoDbBackupCoordinator::initialize(DistributedKax::CClientConfig* config, CProgramArgumentsPtr args,
                                              std::shared_ptr<TWJobClient> jobClient,
                                              std::shared_ptr<TWJobControlClient> jobControlClient) {
    KeepJobClients(std::move(jobClient), std::move(jobControlClient));
    if (config && config != m_config.get()) {
        auto* given = dynamic_cast<MongoDbClientConfig*>(config);
        if (!given)
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::WrongType, "the client configuration is not the phase's");
        *m_config = *given;
    }
    if (!args) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "no program arguments");
    if (config == nullptr)
        if (CZuError err = m_config->parseArguments(*args)) return err.Push(FXLOC);
    CZuError err = InitializeInternal(args);
    // The phase ends here: OnComplete must restart the balancer, remove what
    // was snapshotted and write nothing.
    if (err) m_jobFailed = true;
    return err.Push(FXLOC);
}

void MongoDbBackupCoordinator::KeepJobClients(std::shared_ptr<TWJobClient> jobClient,
                                              std::shared_ptr<TWJobControlClient> jobControlClient) {
    m_jobClient = std::move(jobClient);
    m_jobControlClient = std::move(jobControlClient);
}

CZuError MongoDbBackupCoordinator::InitializeInternal(CProgramArgumentsPtr args) {
    MongoDbClientConfig& cfg = *m_config;
    // Setting EnableRegionBasedBackups (section Kestrix, default off): the
    // region of the first node's client picks the subclient's storage policy
    // and data mover, keeping the data near the machines that hold it, at the
    // cost of a storage manager call in every job.
    bool regionBased = false;
    if (TWPlatformInfo::getBoolean(TWSettingSections::Agent, "EnableRegionBasedBackups", regionBased) && regionBased)
        m_regionBasedBackups = true;
    ZULOG_NORMAL("Region based ferrant option is [%s]", m_regionBasedBackups ? "enabled" : "disabled");

    if (m_util.Initialize(args) != 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Failed to initialize MongoDB util object");

    CleanupSnapshots();

    if (cfg.marlexId != 0 && cfg.applicationId != 0) {
        ApplicationId application(cfg.marlexId, cfg.applicationId);
        if (CZuError err = application.Resolve()) return err.Push(FXLOC);
        cfg.instanceId = application.instanceId;
        cfg.instanceName = application.instanceName;
    } else {
        cfg.instanceId = m_util.GetInstanceId();
        MongoDBInstance instance;
        if (CZuError err = MongoDBInstance::ById(cfg.instanceId, instance)) return err.Push(FXLOC);
        cfg.instanceName = instance.instanceName;
    }
    TWSubclient subclient;
    if (TWSubclient::Get(cfg.marlexId, cfg.applicationId, subclient))
        return FXErrorUtil::ErrorWin32(FXLOC, kSubclientNotFound,
                                       "Failed to get the subclient information for the subclient [%u:%u]",
                                       cfg.marlexId, cfg.applicationId);
    subclient.blockLevel = false;
    if (CZuError err = subclient.Save()) return err.Push(FXLOC);

    std::string binPathError;
    if (m_util.ValidateMongoBinPath(binPathError) != 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Failed to validate Mongo binary path [%s] error [%s]",
                                       m_util.GetBinPath().c_str(), binPathError.c_str());

    App::MongoDBConfig saved;
    if (m_util.GetMongoClusterConfigFromDB(cfg.instanceId, saved))
        ZULOG_NORMAL("Unable to retrieve saved cluster config from Corvaner DB for instance [%lu]. Re-discover the cluster....",
                     cfg.instanceId);
    else
        CollectDataAccessNodes(saved);

    if (m_util.Discover(false) != 0) {
        m_jobFailed = true;
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Failed to discover the Mongodb nodes");
    }
    NameDataAccessNodes();
    if (CZuError err = SaveClusterConfig()) return err.Push(FXLOC);

    if (m_util.GetTopology().sharded) {
        if (m_util.StopStartBalancer(true) != 0) {
            m_jobFailed = true;
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::EmptyServerList, "Failed to stop the balancer ");
        }
        ZULOG_NORMAL("Stopped the Balancer successfully");
    }

    if (CZuError err = populateNodeAndTaskList()) {
        const std::string text = err.GetMessage();
        ZULOG_ERROR("Error occurred while listing the backup nodes. Error: [%s]", text.c_str());
        RaisePendingCause(SnapBackupEventIds::kNodeListingFailed, {text});
        return err.Push(FXLOC);
    }
    return {};
}

void MongoDbBackupCoordinator::CollectDataAccessNodes(const App::MongoDBConfig& saved) {
    m_dataAccessNodes.clear();
    if (saved.serverList.empty()) {
        RaisePendingCause(SnapBackupEventIds::kNodeListingFailed, {"The saved cluster configuration has no servers"});
        return;
    }
    for (const App::MongoDBServer& s : saved.serverList) {
        if (s.dataAccessNode == 0) continue;
        ZULOG_NORMAL("Found [%s:%u] set as data access node for replica set [%s] saved role [%d]", s.hostName.c_str(),
                     unsigned(s.port), s.replicaSetName.c_str(), int(s.memberState));
        m_dataAccessNodes.push_back(s);
    }
    if (m_dataAccessNodes.empty()) ZULOG_NORMAL("Data access nodes are not set.");
}

// The console may save a chosen member before any discovery named its
// replica set; discovery names it now, so that it counts for its set.
void MongoDbBackupCoordinator::NameDataAccessNodes() {
    for (App::MongoDBServer& chosen : m_dataAccessNodes) {
        if (!chosen.replicaSetName.empty()) continue;
        for (const App::MongoDBServer& s : m_util.GetClusterConfig()->serverList)
            if (s.port == chosen.port && strcasecmp(s.hostName.c_str(), chosen.hostName.c_str()) == 0)
                chosen.replicaSetName = s.replicaSetName;
    }
}

// Saving the discovered configuration must not forget which members the
// user chose to back up from: discovery does not know it.
void MongoDbBackupCoordinator::CarryDataAccessMarks(App::MongoDBConfig& discovered) const {
    for (App::MongoDBServer& s : discovered.serverList)
        for (const App::MongoDBServer& chosen : m_dataAccessNodes)
            if (chosen.port == s.port && strcasecmp(chosen.hostName.c_str(), s.hostName.c_str()) == 0)
                s.dataAccessNode = 1;
}

CZuError MongoDbBackupCoordinator::SaveClusterConfig() {
    App::MongoDBConfig discovered = *m_util.GetClusterConfig();
    CarryDataAccessMarks(discovered);
    App::DistributedClusterInstanceRequest request;
    request.appType = App::kMongoDBAppType;
    request.operation = App::ClusterInstanceOp::Update;
    request.instanceId = m_config->instanceId;
    CNMessageBase tree;
    discovered.Serialize(tree);
    request.mongoDBConfig = tree;
    const std::string xml = request.SerializeToXml();
    if (xml.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed,
                                       "Distributed cluster instance XML serialization failed with an error");
    ZULOG_NORMAL("Calling stored procedure DistributedClusterInstanceInfo with xml [%s]", xml.c_str());
    std::string responseXml;
    const int rc = App_ExecuteSP::executeStoredProcedure(App::kSpDistributedClusterInstanceInfo, xml, responseXml);
    if (rc != 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed,
                                       "Executing stored procedure failed with an error. retCode [%d], response string [%s]",
                                       rc, responseXml.c_str());
    App::DistributedClusterInstanceResponse response;
    if (response.UnserializeFromXml(responseXml))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed,
                                       "Unserializing Stored procedure's response message failed with an error retCode [%d] ", rc);
    if (response.errorCode != 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed,
                                       "Stored procedure execution failed with an error. retCode [%d] response string [%s]",
                                       int(response.errorCode), response.errorString.c_str());
    return {};
}

}  // namespace MongoDbKax
