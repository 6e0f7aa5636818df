#pragma once
// Contracts of the distributed job framework. The framework loads the module,
// asks its factories for the coordinator (on the coordinating node) or the
// controller (on each participating node) of a job phase, and drives them.
//
// Threads: the framework may call coordinator operations from several
// threads; getTask, OnTaskChange and OnTaskComplete run under the
// coordinator's task-list lock (GetTaskListLock). A controller is driven by
// one thread, its workers may run on others.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/FVBase.h"
#include "host/Message.h"
#include "host/ProgramArguments.h"
#include "host/ZuError.h"

class TWJobClient;
class TWJobControlClient;

namespace DistributedKax {

using NameValueList = std::vector<std::pair<std::string, std::string>>;

// Client configuration of a phase process, parsed from its program arguments.
class CClientConfig {
public:
    explicit CClientConfig(int kind = 0) : m_kind(kind) {}
    virtual ~CClientConfig() = default;
    virtual CZuError parseArguments(const CProgramArguments& args);

    int64_t jobId = 0;
    uint32_t marlexId = 0;
    uint32_t applicationId = 0;
    uint32_t applicationType = 0;
    std::string clientName;
    // "<job>:<phase>:<attempt>"
    std::string attemptToken;

protected:
    int m_kind;
};

// Task status values of the framework.
namespace TaskStatus {
constexpr int New = 1, Running = 2, Completed = 5, Failed = 6, Handed = 7, Stopped = 8;
}
// Answers of OnTaskChange / OnNodeChange.
namespace Action {
constexpr int None = 16, NodeStartFailed = 4;
}

struct CTask {
    int64_t id = 0;
    int status = TaskStatus::New;
    int workerSlot = 1;
    int kind = 0;
    int weight = 50;
    std::string name;
    std::string nodeName;
    std::string ownerNodeName;
    FVBasePtr payload;
    std::vector<std::string> handedTo;  // nodes the task was handed to
};

struct CNode {
    std::string clientName;
    uint64_t clientId = 0;
    bool startFailed = false;
    int state = 0;  // 5 stopped by the coordinator, 6 ended
    int streamsNeeded = 0;
    FVBasePtr userData;
};

struct CTaskRequest {
    int streamNumber = 0;
    int workerNumber = 0;  // 0 = any
    int taskKind = 0;      // 0 = any
};

struct CTaskInfo {
    int64_t taskId = 0;
    std::string payload;
    NameValueList pairs;
    void Clear() { *this = CTaskInfo(); }
};

struct CTaskCompleteMessage {
    int64_t taskId = 0;
    int status = TaskStatus::Completed;
    NameValueList pairs;
};

struct CControllerDoneMessage {
    int status = 1;  // 3 = failed
    std::string text;
    NameValueList pairs;
};

class ICoordinator {
public:
    virtual ~ICoordinator() = default;

    // Slots in the framework's order.
    virtual CZuError OnIdle() { return {}; }
    virtual bool isBackupJob() { return false; }
    virtual bool shouldSkipThisPhase() { return false; }
    virtual bool shouldExecCommand() { return false; }
    virtual bool shouldDistributeSubclientDirectory() { return false; }
    virtual CClientConfig* getClientConfigObject() = 0;
    virtual CZuError initialize(CClientConfig* config, CProgramArgumentsPtr args,
                                std::shared_ptr<TWJobClient> jobClient,
                                std::shared_ptr<TWJobControlClient> jobControlClient) = 0;
    virtual CZuError loadNodeConfiguration() { return {}; }
    virtual CZuError getStreamReservationInfoForNode(CNode& /*node*/) { return {}; }
    virtual std::string getNodeCommandName(const CNode& /*node*/) { return {}; }
    virtual CZuError getCommandArgumentsForNode(const CNode& /*node*/, std::string& /*args*/) {
        return {};
    }
    virtual CZuError getNodeStartAcknowledgeMessage(const CNode& /*node*/,
                                                    CNMessageBase& /*nodeInit*/) {
        return {};
    }
    virtual CZuError ControllerStarted(CNode& /*node*/, const CNMessageBase& /*startup*/) {
        return {};
    }
    virtual CZuError ControllerDone(CNode& /*node*/, const CControllerDoneMessage& /*done*/) {
        return {};
    }
    virtual void* getStreamAssignmentAdvisor() { return nullptr; }
    // A task, an empty task info ("ask again later") or error 259 ("no more").
    virtual CZuError getTask(CNode& node, const CTaskRequest& request, CTaskInfo& info) = 0;
    virtual CZuError OnTaskComplete(CTask& /*task*/, const CTaskCompleteMessage& /*done*/) {
        return {};
    }
    virtual CZuError OnTaskAccepted(CTask& /*task*/) { return {}; }
    virtual bool isArchiveIndexRequired() { return false; }
    virtual int OnTaskChange(CTask& /*task*/) { return Action::None; }
    virtual int OnNodeChange(CNode& /*node*/) { return Action::None; }
    virtual CZuError OnComplete() = 0;

    // Services of the framework, available to coordinators.
    CZuError addNode(uint64_t clientId);
    CZuError sendMessageToNode(const std::string& nodeName, const CNMessageBase& message);
    std::vector<CTask>& GetTaskList() { return m_tasks; }
    std::vector<CNode>& GetNodeList() { return m_nodes; }
    std::recursive_mutex& GetTaskListLock() { return m_taskListLock; }
    void setPhaseStatus(int status, int detail) { m_phaseStatus = status, m_phaseDetail = detail; }
    int getPhaseStatus() const { return m_phaseStatus; }
    int getPhaseDetail() const { return m_phaseDetail; }

protected:
    std::vector<CTask> m_tasks;
    std::vector<CNode> m_nodes;
    std::recursive_mutex m_taskListLock;
    int m_phaseStatus = 0;
    int m_phaseDetail = 0;
};

class CController {
public:
    virtual ~CController() = default;

    // Slots in the framework's order.
    virtual CZuError OnAgentStarted() { return {}; }
    virtual CZuError OnMessage(const CNMessageBase& message) = 0;
    virtual int getNumberOfWorkers() { return 1; }
    virtual CZuError OnStartStream(int /*stream*/) { return {}; }
    virtual CZuError OnStopStream(int /*stream*/) { return {}; }
    virtual CZuError OnTask(int worker, const CTaskInfo& task, CTaskCompleteMessage& result) = 0;
    virtual CZuError OnStopTask(int64_t /*taskId*/) { return {}; }
    virtual CZuError OnControllerStarted() { return {}; }
    virtual CZuError SetAdditionalStartupValues(NameValueList& /*values*/) { return {}; }
    virtual CZuError SetAdditionalCtrlDoneValues(CControllerDoneMessage& /*done*/) { return {}; }
    // Error 232 means "no stream needed": the node runs its tasks without one.
    virtual CZuError getStreamRequest(int& /*streamType*/) { return {}; }
    virtual CZuError getTaskRequest(int worker, CTaskRequest& request) {
        request.workerNumber = worker;
        return {};
    }
    virtual CZuError processNodeInit(const CNMessageBase& nodeInit);
    virtual bool isControllerDone() { return true; }
    virtual CZuError Finalize() { return {}; }
    virtual void addKaxSpecificArgument(std::string& /*args*/) {}
    virtual void OnChildTimedOut() {}
    virtual CZuError OnTaskCleanup(int64_t /*taskId*/) { return {}; }
    virtual CClientConfig* getClientConfigObject() = 0;

    // Sends the completion at once (status 3 = failed).
    void sendControllerComplete(int status, const std::string& text);

protected:
    NameValueList m_nodeInitValues;
};

// The console's discovery entry (machine browse).
class IClientBrowse {
public:
    virtual ~IClientBrowse() = default;
    virtual CZuError MachineBrowse(const CNMessageBase& request, CNMessageBase& response,
                                   CNMessageBase& genericResponse) = 0;
    virtual CZuError CreateFolder(const CNMessageBase& request, CNMessageBase& response) = 0;
};

// Restores item by item on a node (file-system restore model).
class CRestoreItemCallBack {
public:
    virtual ~CRestoreItemCallBack() = default;
    virtual CZuError initializeRestoreFiles(int type, const std::string& archiveFile,
                                            const std::string& path) = 0;
    virtual CZuError RestoreAnItem(const std::string& archiveFile, const CNMessageBase& item,
                                   const std::string& destination) = 0;
};

}  // namespace DistributedKax
