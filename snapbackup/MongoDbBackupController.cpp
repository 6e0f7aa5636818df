#include "snapbackup/MongoDbBackupController.h"

#include <string.h>

#include <exception>

#include "host/Entities.h"
#include "host/Files.h"
#include "host/JobClient.h"
#include "host/LogWriter.h"
#include "host/Password.h"
#include "host/Platform.h"
#include "snapbackup/SnapNodeEventIds.h"
#include "topology/MongoDBConfig.h"

namespace MongoDbKax {

using namespace DistributedKax;

MongoDbBackupController::MongoDbBackupController()
    : MongoDbBackupController(std::make_shared<MongoDbSnapBackup>()) {}

MongoDbBackupController::MongoDbBackupController(std::shared_ptr<MongoDbSnapBackup> snapBackup)
    : m_snapBackup(std::move(snapBackup)) {}

MongoDbBackupController::~MongoDbBackupController() {
    explicit_bzero(m_dbPassword.data(), m_dbPassword.size());
}

CZuError MongoDbBackupController::Failure(const FXCodeLocation& where, const char* format) const {
    return FXErrorUtil::ErrorWin32(where, ZuCode::RemoteFailure, format, m_config.marlexId, m_config.applicationId);
}

CClientConfig* MongoDbBackupController::getClientConfigObject() { return &m_config; }

CZuError MongoDbBackupController::processNodeInit(const CNMessageBase& nodeInit) {
    if (CProgramArgumentsPtr args = GetProgramArguments())
        if (CZuError err = m_config.parseArguments(*args)) return err.Push(FXLOC);
    CZuError err = CController::processNodeInit(nodeInit);
    return err.Push(FXLOC);
}

void MongoDbBackupController::addKaxSpecificArgument(std::vector<std::string>& names) { names.push_back("-repset"); }

int MongoDbBackupController::getNumberOfWorkers() {
    m_config.numberOfWorkers = 1;
    return 1;
}

CZuError MongoDbBackupController::getTaskRequest(int worker, CTaskRequest& request) {
    request.workerNumber = worker;
    return {};
}

CZuError MongoDbBackupController::getStreamRequest(CStreamRequest& request) {
    if (CZuError err = CController::getStreamRequest(request)) return err.Push(FXLOC);
    if (request.count <= 0) {
        ZULOG_NORMAL("No streams needed for the SNAP Backup");
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NoStreamsRequired, "no streams required");
    }
    request.streamType = 1;
    ZULOG_NORMAL("prepared stream request %d for DATA", request.count);
    return {};
}

bool MongoDbBackupController::isControllerDone() {
    if (m_running) return false;
    ZULOG_NORMAL("Controller Done.....................");
    return true;
}

CZuError MongoDbBackupController::OnStartStream(int) { return {}; }
CZuError MongoDbBackupController::OnStopStream(int) { return {}; }
CZuError MongoDbBackupController::OnStopTask(int64_t) { return {}; }
void MongoDbBackupController::OnChildTimedOut() {}
CZuError MongoDbBackupController::OnTaskCleanup(int64_t) { return {}; }

CZuError MongoDbBackupController::OnMessage(const CNMessageBase& message) {
    CZuError err;
    if (message.GetTag() == App::MongoDBConfig::kTag) {
        err = handleMongoDbConfigMsg(message);
    } else if (message.GetTag() == FrameworkMessage::StopActiveTasks) {
        ZULOG_NORMAL("Stop requested by the coordinator");
        m_stop = true;
        m_snapBackup->RequestStop();
    } else {
        ZULOG_NORMAL("Un-handled message %s", message.GetTag().c_str());
    }
    if (err) sendControllerComplete(3, err.AsString());
    return err.Push(FXLOC);
}

CZuError MongoDbBackupController::handleMongoDbConfigMsg(const CNMessageBase& message) {
    ApplicationId application(m_config.marlexId, m_config.applicationId);
    if (CZuError err = application.Resolve())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InternalFailure,
                                       "Failed to get the Application id for the sub client [%u:%u]",
                                       m_config.marlexId, m_config.applicationId);
    ZULOG_NORMAL("Received MongoDBConfig Message from the Master.");
    CZuError err = ReadNodePayload(message.ToXml(), true);
    return err.Push(FXLOC);
}

CZuError MongoDbBackupController::ReadNodePayload(const std::string& xml, bool fromMessage) {
    const char* noServers = fromMessage ? "Failed to get the secondary server list"
                                        : "Failed to get the task payload for the subclient [%u:%u]";
    CNMessageBase tree;
    App::MongoDBConfig config;
    CZuError err = CNMessageBase::FromXml(xml, tree);
    if (!err) err = config.Unserialize(tree);
    if (err || config.serverList.empty()) {
        CZuError failure = Failure(FXLOC, noServers);
        if (err) failure.Push(FXLOC, "the payload is not a cluster configuration: %s", err.AsString().c_str());
        return failure;
    }
    if (fromMessage) ZULOG_NORMAL("Received MongoDBServerList size=%ld", long(config.serverList.size()));

    if (config.credentials && !config.credentials->userName.empty()) {
        std::string password;
        if (!TWPassword::decrypt(config.credentials->password, password))
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure,
                                           "Failed to decrypt the password of database user [%s]",
                                           config.credentials->userName.c_str());
        m_util.SetDbCredentials(config.credentials->userName, password);
        explicit_bzero(m_dbPassword.data(), m_dbPassword.size());
        m_dbPassword = std::move(password);
        ZULOG_NORMAL("dbUser=[%s]", config.credentials->userName.c_str());
    }

    m_dataPaths.clear();
    m_replicaSetNames.clear();
    m_records.clear();
    const std::vector<const CNMessageBase*> serverTrees = tree.GetChildren("server");
    for (size_t i = 0; i < config.serverList.size(); ++i) {
        const App::MongoDBServer& server = config.serverList[i];
        if (server.dbPath.empty()) return Failure(FXLOC, "Failed to get the DataPath for the subclient [%u:%u]");
        m_dataPaths.push_back(server.dbPath);
        if (server.replicaSetName.empty())
            return Failure(FXLOC, "Failed to get the repset for the subclient [%u:%u]");
        bool known = false;
        for (const std::string& name : m_replicaSetNames) known = known || name == server.replicaSetName;
        if (known) continue;
        m_replicaSetNames.push_back(server.replicaSetName);
        if (server.hostName.empty()) return Failure(FXLOC, "Failed to get the hostname for the subclient [%u:%u]");
        if (server.port <= 0 || server.port > 65535)
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Invalid port [%lld] of secondary [%s]",
                                           (long long)server.port, server.hostName.c_str());
        MongoRepSetInfo_t record;
        record.replicaSetName = server.replicaSetName;
        record.secondaryDataPath = server.dbPath;
        record.secondaryHost = server.hostName;
        record.secondaryPort = uint32_t(server.port);
        // A server without the field runs with journaling (the server's default).
        record.journalEnabled = server.journalEnabled != 0 || !serverTrees[i]->Has("journalEnabled");
        m_records.push_back(record);
        if (fromMessage)
            ZULOG_NORMAL("Server => repset=[%s] data=[%s] host=[%s] port=[%d]", record.replicaSetName.c_str(),
                         record.secondaryDataPath.c_str(), record.secondaryHost.c_str(), int(record.secondaryPort));
    }
    return {};
}

CZuError MongoDbBackupController::PrepareJobClients() {
    const std::string corvane = TWPI_PlatformBase::GetCorvaneHostName();
    if (corvane.empty()) return Failure(FXLOC, "Failed to get the Corvane Hostname for the subclient [%u:%u]");
    const std::string clientName = TWPI_Focus::getFocusClientName();
    TWClient client;
    if (CZuError err = TWClient::ByName(clientName, client))
        return Failure(FXLOC, "Failed to get the local client for the subclient [%u:%u]")
            .Push(FXLOC, "%s", err.AsString().c_str());
    ZULOG_NORMAL("CorvanerName=[%s] clientName=[%s] sourceClietId=%ld", corvane.c_str(), clientName.c_str(),
                 long(client.id));
    auto control = std::make_shared<TWJobControlClient>();
    if (CZuError err = control->init(m_config.jobId, corvane))
        return Failure(FXLOC, "Failed to init job control for the subclient [%u:%u]")
            .Push(FXLOC, "%s", err.AsString().c_str());
    auto backup = std::make_shared<TWBackupJobClient>();
    if (CZuError err = backup->init(corvane, m_config.jobId))
        return Failure(FXLOC, "Failed to init with job manager for the subclient [%u:%u]")
            .Push(FXLOC, "%s", err.AsString().c_str());
    m_jobControlClient = control;
    m_backupJobClient = backup;
    return {};
}

CZuError MongoDbBackupController::OnTask(int, const CTaskInfo& task, CTaskCompleteMessage&) {
    std::lock_guard<std::mutex> lock(m_config.taskMutex);
    m_running = true;
    m_snapSucceeded = false;
    CZuError err;
    try {
        err = ReadNodePayload(task.payload, false);
        if (!err) err = PrepareJobClients();
        if (!err) err = RunSnapshot();
    } catch (const std::exception& e) {
        err = FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "The snapshot task failed: %s", e.what());
    }
    m_running = false;
    return err.Push(FXLOC);
}

CZuError MongoDbBackupController::RunSnapshot() {
    if (!m_snapBackup) return Failure(FXLOC, "Failed to setup Ostrel for the subclient [%u:%u]");
    CProgramArgumentsPtr args = GetProgramArguments();
    if (!args || args->GetArgs().empty()) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "argv is NULL");
    // The node's own command line, program name first, as the snapshot reads it.
    const std::string commandLine = FXString::QuoteArgument(args->GetArgs()[0]) + " " + args->AsString();
    ZULOG_NORMAL("Received the command line arguments = [%s]", commandLine.c_str());
    char** argv = nullptr;
    const int argc = MongoDbUtil::GetArgv(commandLine, argv);
    ZULOG_NORMAL("argc=[%d] dbUser=[%s]", argc, m_util.GetDbUser().c_str());
    if (!argv) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "argv is NULL");

    const int initialized = m_snapBackup->Initialize(m_dataPaths, m_records, argc, argv, m_backupJobClient,
                                                     m_jobControlClient, m_util);
    MongoDbUtil::DeleteArgv(argv);
    if (initialized != 0) return Failure(FXLOC, "Failed to initialize Ostrel for the subclient [%u:%u]");
    if (!m_util.GetDbUser().empty()) m_snapBackup->GetUtil().SetDbCredentials(m_util.GetDbUser(), m_dbPassword);
    if (m_stop) m_snapBackup->RequestStop();

    ZULOG_NORMAL("Running Snap Backup ...........................");
    if (CZuError err = m_snapBackup->RunSnapBackup())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure,
                                       "Failed to Run Ostrel for the subclient [%u:%u]: %s", m_config.marlexId,
                                       m_config.applicationId, err.AsString().c_str());
    for (const MongoRepSetInfo_t& r : m_snapBackup->GetRecords())
        EvEvent::InfoEvent(SnapNodeEventIds::kSnapCompleted,
                           {r.replicaSetName, r.secondaryHost, std::to_string(r.secondaryPort), r.secondaryDataPath});
    ZULOG_NORMAL("Snap Backup Completed .................");
    m_snapSucceeded = true;
    return {};
}

CZuError MongoDbBackupController::SetAdditionalCtrlDoneValues(CControllerDoneMessage& done) {
    if (!m_snapSucceeded)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "The node's snapshot did not complete");
    NameValueList values = m_snapBackup->GetCtrlDoneValues();
    for (const auto& [replicaSetName, paths] : m_snapBackup->GetMountPathMap()) {
        std::string entries;
        for (const RepSetMountPathInfo& path : paths)
            entries += FXString::Format("%s%s%s,", path.physicalPath.c_str(), "|", path.linkPath.c_str());
        if (!entries.empty()) entries.pop_back();
        const std::string value = FXString::Format("%s%s%s", replicaSetName.c_str(), "#", entries.c_str());
        ZULOG_NORMAL("Set MountPathsPerRepSet repset [%s] value [%s]", replicaSetName.c_str(), value.c_str());
        values.emplace_back("MountPathsPerRepSet", value);
    }
    for (const SecondaryLockTime_t& t : m_snapBackup->GetLockTimes())
        values.emplace_back("SecondaryLockWindowMs",
                            FXString::Format("%s:%s:%u:%llu", t.replicaSetName.c_str(), t.host.c_str(), t.port,
                                             (unsigned long long)t.milliseconds));
    const std::string& staging = m_snapBackup->GetOplogDumpStagingPath();
    if (staging.empty()) {
        ZULOG_ERROR("Recevied empty oplog dump stagin path, returning error");
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure,
                                       "Recevied empty oplog dump stagin path, returning error");
    }
    values.emplace_back("OplogDumpStagingLocation", staging);
    done.pairs.insert(done.pairs.end(), values.begin(), values.end());
    CZuError err = CController::SetAdditionalCtrlDoneValues(done);
    return err.Push(FXLOC);
}

}  // namespace MongoDbKax
