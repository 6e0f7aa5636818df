// MongoDbBackupCoordinator: handing the tasks out and following the task and
// node changes the framework reports.
#include "host/Entities.h"
#include "host/JobClient.h"
#include "host/LogWriter.h"
#include "snapbackup/MongoDBNodeInfo.h"
#include "snapbackup/MongoDbBackupCoordinator.h"
#include "snapbackup/SnapBackupEventIds.h"
#include "topology/MongoDBConfig.h"

namespace MongoDbKax {

using namespace DistributedKax;

namespace {
CZuError NoMoreTasks(const FXCodeLocation& where, const char* text) {
    return FXErrorUtil::ErrorWin32(where, ZuCode::NoMoreItems, "%s", text);
}
}  // namespace

CZuError MongoDbBackupCoordinator::getTask(CNode& node, const CTaskRequest& request, CTaskInfo& info) {
    std::lock_guard<std::recursive_mutex> lock(GetTaskListLock());
    auto& tasks = GetTaskList();
    ZULOG_NORMAL("Number of listed Tasks=[%ld]", long(tasks.size()));
    info.Clear();
    bool failureSeen = false;
    if (m_jobControlClient && m_jobControlClient->isQuitRequested()) {
        CZuError quit = FXErrorUtil::ErrorWin32(FXLOC, ZuCode::QuitRequested, "Quit Flag set, Job suspended ");
        ZULOG_ERROR("%s", quit.AsString().c_str());
        failureSeen = true;
        m_jobFailed = true;
    }
    if (tasks.empty()) {
        ZULOG_ERROR("Task List empty, Backup failed due to some error therefore returning no more tasks");
        m_jobFailed = true;
        return NoMoreTasks(FXLOC, "no more task found");
    }
    std::vector<CTask*> candidates;
    for (CTask& task : tasks) {
        if (task.name != node.clientName) continue;
        ZULOG(3, "task %d status %d", int(task.id), task.status);
        switch (task.status) {
            case TaskStatus::New: candidates.push_back(&task); break;
            case TaskStatus::Completed: break;
            case TaskStatus::Failed:
            case TaskStatus::Stopped:
                failureSeen = true;
                m_jobFailed = true;
                break;
            case TaskStatus::Handed:
                if (task.WasHandedTo(node.clientName)) return {};
                candidates.push_back(&task);
                break;
            default: break;
        }
    }
    if (failureSeen) {
        ZULOG_ERROR("Sending ERROR_NO_MORE_ITEMS as some of the tasks have failed");
        return NoMoreTasks(FXLOC, "no more task found");
    }
    ZULOG_NORMAL("got %d tasks to be executed", int(candidates.size()));
    for (CTask* task : candidates) {
        if (request.workerNumber != 0 && task->workerSlot != request.workerNumber) continue;
        ZULOG_NORMAL("got task %d reserved for node %s", int(task->id), node.clientName.c_str());
        info.taskId = task->id;
        if (CZuError err = BuildTaskPayload(*task, info)) {
            info.Clear();
            return err.Push(FXLOC);
        }
        return {};
    }
    return NoMoreTasks(FXLOC, "no more tasks found");
}

CZuError MongoDbBackupCoordinator::BuildTaskPayload(CTask& task, CTaskInfo& info) {
    auto nodeInfo = std::dynamic_pointer_cast<MongoDBNodeInfo>(task.payload);
    if (!nodeInfo)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Failed to get the MongoDB Node info from the task list.");
    if (!nodeInfo->GetMongoDBConfig())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure,
                                       "Failed to get the MongoDB Node info MongoDBConfig from the task list.");
    if (nodeInfo->GetMongoDBConfig()->serverList.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Failed to get the secondary server list");

    App::MongoDBConfig payload;
    payload.serverList = nodeInfo->GetMongoDBConfig()->serverList;
    // The password travels in its protected form only, as the instance keeps it.
    App::MongoDBCredentials credentials;
    credentials.userName = m_util.GetDbUser();
    if (!credentials.userName.empty()) {
        MongoDBInstance instance;
        if (CZuError err = MongoDBInstance::ById(m_config->instanceId, instance)) return err.Push(FXLOC);
        credentials.password = instance.encryptedDbPassword;
    }
    payload.credentials = credentials;
    ZULOG_NORMAL("Sending MongoDBConfig message to the node Controller.");
    ZULOG_NORMAL("dbUser=[%s]", credentials.userName.c_str());
    info.payload = payload.SerializeToXml();
    return {};
}

CZuError MongoDbBackupCoordinator::OnTaskAccepted(CTask&) {
    ZULOG_NORMAL("Task Accepted for the node.");
    return {};
}

CZuError MongoDbBackupCoordinator::OnTaskComplete(CTask& task, const CTaskCompleteMessage& done) {
    std::lock_guard<std::recursive_mutex> lock(GetTaskListLock());
    task.status = done.status;
    if (done.status == TaskStatus::Completed) ZULOG_NORMAL("Task Completed for the node=[%s].", task.nodeName.c_str());
    return {};
}

CZuError MongoDbBackupCoordinator::OnTaskChange(CTask& task, int& action) {
    std::lock_guard<std::recursive_mutex> lock(GetTaskListLock());
    ZULOG_NORMAL("Number of listed Tasks=[%ld]", long(GetTaskList().size()));
    if (task.status == TaskStatus::Failed || task.status == TaskStatus::Stopped) {
        for (CNode& node : GetNodeList()) {
            ZULOG_NORMAL("Sending Failed/Stop message to Node=[%s]", node.clientName.c_str());
            if (node.state == NodeState::Ended) continue;
            if (CZuError err = sendMessageToNode(node.clientName, CNMessageBase(FrameworkMessage::StopActiveTasks)))
                ZULOG_ERROR("%s", err.AsString().c_str());
        }
        for (CTask& other : GetTaskList())
            if (other.status == TaskStatus::New || other.status == TaskStatus::Running) other.status = TaskStatus::Failed;
        m_jobFailed = true;
    }
    action = Action::None;
    return {};
}

CZuError MongoDbBackupCoordinator::OnNodeChange(CNode& node, int& action) {
    action = Action::None;
    // A node that died after its task may still owe its completion values;
    // the backup cannot be indexed or handed on without them.
    if (node.failed) m_jobFailed = true;
    if (!node.startFailed) return {};
    action = Action::NodeStartFailed;
    if (m_jobControlClient)
        if (CZuError err = m_jobControlClient->setQuit(true)) ZULOG_ERROR("%s", err.AsString().c_str());
    m_jobFailed = true;
    RaisePendingCause(SnapBackupEventIds::kNodeFailedToStart, {"backup", node.clientName});
    return {};
}

}  // namespace MongoDbKax
