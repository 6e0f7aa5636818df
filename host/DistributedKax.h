#pragma once
// Contracts of the distributed job framework. The framework loads the module,
// asks its factories for the coordinator (on the coordinating node) or the
// controller (on each participating node) of a job phase, and drives them.
//
// Coordinator life cycle, as the framework drives it:
//   getClientConfigObject, CClientConfig::parseArguments, initialize,
//   loadNodeConfiguration; then, once per node added with addNode:
//   getStreamReservationInfoForNode, getNodeCommandName,
//   getCommandArgumentsForNode, getNodeStartAcknowledgeMessage (the node-init
//   message sent when the node process has started). While nodes run:
//   ControllerStarted per node, getTask per task request, OnTaskAccepted when
//   a task was handed out, OnTaskComplete and OnTaskChange per finished task,
//   OnNodeChange for a node that failed to start or ended without completing,
//   ControllerDone once per node, OnIdle whenever nothing is pending. Finally
//   OnComplete, also after a failed initialize or loadNodeConfiguration.
//
// Threads: the framework may call coordinator operations from several
// threads; the coordinator holds its task-list lock (GetTaskListLock) in
// getTask, OnTaskChange and OnTaskComplete and while it creates tasks. OnIdle
// and OnComplete read task and node states without it. A controller's life
// cycle runs on one thread, each worker's OnTask on a thread of its own, and
// OnMessage on the thread that receives the node's messages (so a stop-tasks
// message reaches the controller while OnTask runs).
#include <cstdint>
#include <deque>
#include <map>
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
// The value of the first pair named `name`; false when there is none.
bool FindValue(const NameValueList& pairs, const std::string& name, std::string& value);

// Tags of the framework's own messages. Any other tag is an application
// message: the framework carries it from sendMessageToNode to the node
// controller's OnMessage.
namespace FrameworkMessage {
inline constexpr const char* NodeInit = "NodeInit";                // node initialization (119/5)
inline constexpr const char* NodeStop = "NodeStop";                // node stop (119/38)
inline constexpr const char* StopActiveTasks = "StopActiveTasks";  // stop-tasks, given to OnMessage
}  // namespace FrameworkMessage

// Client configuration of a phase process, parsed from its program arguments.
class CClientConfig {
public:
    explicit CClientConfig(int kind = 0) : m_kind(kind) {}
    virtual ~CClientConfig() = default;
    // Reads the framework's own arguments: "-j <job id>" (required, positive),
    // "-a <marlex id>:<application id>", "-apptype <n>", "-cn <client>" (else
    // the process's focus client), "-token <job>:<phase>:<attempt>". Error 22
    // names the argument that is missing or malformed. Derived configurations
    // call this first, then read their own arguments.
    virtual CZuError parseArguments(const CProgramArguments& args);
    int GetKind() const { return m_kind; }

    int64_t jobId = 0;
    uint32_t marlexId = 0;
    uint32_t applicationId = 0;
    uint32_t applicationType = 0;
    std::string clientName;
    std::string attemptToken;

protected:
    int m_kind;
};

// Task status values of the framework.
namespace TaskStatus {
constexpr int New = 1, Running = 2, Completed = 5, Failed = 6, Handed = 7, Stopped = 8;
}
// Node states. The framework sets Running when the process has started and
// Ended when it has gone; a coordinator sets Stopped when it stops a node
// (the framework then sends the node-stop message if it was not sent yet).
namespace NodeState {
constexpr int Added = 0, Running = 2, Stopped = 5, Ended = 6;
}
// Answers of OnTaskChange / OnNodeChange (the framework only logs them).
namespace Action {
constexpr int None = 16, NodeStartFailed = 4;
}
// Phase status values read after OnComplete.
namespace PhaseStatus {
constexpr int NotSet = 0, Success = 1, Failed = 2, PartialSuccess = 3;
}

// A task record. The coordinator creates it (under the task-list lock); the
// framework sets Running and appends to handedTo when it hands the task to a
// node, and sets the completion's status when the node reports.
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
    std::vector<std::string> handedTo;  // client names of the nodes it was handed to

    bool WasHandedTo(const std::string& node) const;
};

// A node record: one participating client and its node process.
struct CNode {
    std::string clientName;
    uint64_t clientId = 0;
    std::string hostName;  // the client's network host name
    int state = NodeState::Added;
    bool startFailed = false;   // the process did not come up (OnNodeChange tells)
    bool failed = false;        // failed to start, died, or completed with status 3
    std::string failureReason;
    int cpuCount = 1;
    FVBasePtr userData;  // the coordinator's own per-node data

    // Stream reservation, by stream kind.
    void setStreamLimit(int kind, int count) { streamLimit[kind] = count; }
    void setMaxStreamsNeeded(int kind, int count) { maxStreamsNeeded[kind] = count; }
    void setNodeWorkersLimit(int count) { workersLimit = count; }
    // 0 when nothing was reserved for that kind.
    int getStreamsNeeded(int kind) const;
    std::map<int, int> streamLimit;
    std::map<int, int> maxStreamsNeeded;
    int workersLimit = 0;  // 0 = the controller decides
};

// One task request of a node's worker.
struct CTaskRequest {
    int streamNumber = 0;  // 0 = the node runs without a data stream
    int workerNumber = 0;  // workers are numbered from 1; 0 = any
    int taskKind = 0;      // 0 = any
};

// What getTask hands out: a task, or nothing ("ask again later").
struct CTaskInfo {
    int64_t taskId = 0;
    std::string payload;
    NameValueList pairs;
    bool IsEmpty() const { return taskId == 0 && payload.empty() && pairs.empty(); }
    void Clear() { *this = CTaskInfo(); }
};

struct CTaskCompleteMessage {
    int64_t taskId = 0;
    int status = TaskStatus::Completed;  // 5 done, 6 failed
    std::string text;                    // why it failed
    NameValueList pairs;
};

// The name/value pairs a controller sends when it has started.
struct CControllerStartupMessage {
    NameValueList pairs;
};

struct CControllerDoneMessage {
    int status = 1;  // 1 success, 3 failed
    std::string text;
    NameValueList pairs;
};

// The stream a controller asks for; none when count is 0.
struct CStreamRequest {
    int streamType = 0;
    int count = 0;
};

class ICoordinator;
class CController;

// The framework behind a coordinator (implemented by the job runner).
class ICoordinatorHost {
public:
    virtual ~ICoordinatorHost() = default;
    // Queues `message` for the node's process. Error 774 when the node has ended.
    virtual CZuError DeliverToNode(CNode& node, const CNMessageBase& message) = 0;
};

// The framework behind a controller (implemented by the node process).
class IControllerHost {
public:
    virtual ~IControllerHost() = default;
    // Sends the completion to the coordinator now; the node then winds down.
    virtual void CompleteController(const CControllerDoneMessage& done) = 0;
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
    // "" runs the framework's own node program.
    virtual std::string getNodeCommandName(const CNode& /*node*/) { return {}; }
    // Appended to the job's base arguments on the node's command line (split
    // quote-aware; for a value given twice the last one wins).
    virtual CZuError getCommandArgumentsForNode(const CNode& /*node*/, std::string& /*args*/) {
        return {};
    }
    // Fills the node-init message sent when the node has started.
    virtual CZuError getNodeStartAcknowledgeMessage(const CNode& /*node*/,
                                                    CNMessageBase& /*nodeInit*/) {
        return {};
    }
    virtual CZuError ControllerStarted(CNode& /*node*/,
                                       const CControllerStartupMessage* /*startup*/) {
        return {};
    }
    // Once per node; `done` is null when the node ended without a completion.
    virtual CZuError ControllerDone(CNode& /*node*/, const CControllerDoneMessage* /*done*/) {
        return {};
    }
    virtual void* getStreamAssignmentAdvisor() { return nullptr; }
    // A task, an empty task info ("ask again later") or error 259 ("no more";
    // the worker stops asking). Any other error also ends that worker's
    // requests and is recorded on the job.
    virtual CZuError getTask(CNode& node, const CTaskRequest& request, CTaskInfo& info) = 0;
    virtual CZuError OnTaskComplete(CTask& /*task*/, const CTaskCompleteMessage& /*done*/) {
        return {};
    }
    virtual CZuError OnTaskAccepted(CTask& /*task*/) { return {}; }
    virtual bool isArchiveIndexRequired() { return false; }
    virtual CZuError OnTaskChange(CTask& /*task*/, int& action) {
        action = Action::None;
        return {};
    }
    virtual CZuError OnNodeChange(CNode& /*node*/, int& action) {
        action = Action::None;
        return {};
    }
    virtual CZuError OnComplete() = 0;

    // Services of the framework, available to coordinators.

    // Adds a node for the client; adding a client that already has a node
    // succeeds without a second node. Error 1168 for an unknown client.
    CZuError addNode(uint64_t clientId);
    CZuError addNode(const std::string& clientName);
    // Null when no node has that client name.
    CNode* GetNodeByClientName(const std::string& clientName);
    // Sends a message to the node's controller. A node-stop message also makes
    // the node wind down and sets its state to Stopped.
    CZuError sendMessageToNode(const std::string& nodeName, const CNMessageBase& message);
    // Start every node at once (the framework does so in any case; kept for
    // coordinators that ask for it).
    void setStartAllNodes(bool startAll) { m_startAllNodes = startAll; }
    bool getStartAllNodes() const { return m_startAllNodes; }

    // Tasks and nodes live in deques, so references stay valid while the
    // coordinator appends.
    std::deque<CTask>& GetTaskList() { return m_tasks; }
    std::deque<CNode>& GetNodeList() { return m_nodes; }
    std::recursive_mutex& GetTaskListLock() { return m_taskListLock; }
    // Null when no task has that id (call under the lock).
    CTask* GetTaskById(int64_t taskId);

    void setPhaseStatus(int status) { m_phaseStatus = status; }
    void setPhaseStatus(int status, int detail) { m_phaseStatus = status, m_statusDetail = detail; }
    void setStatusDetail(int detail) { m_statusDetail = detail; }
    int getPhaseStatus() const { return m_phaseStatus; }
    int getStatusDetail() const { return m_statusDetail; }

    // Framework side.
    void AttachHost(ICoordinatorHost* host) { m_host = host; }

private:
    CZuError AddNodeRecord(uint64_t clientId, const std::string& clientName,
                           const std::string& hostName);

    std::deque<CTask> m_tasks;
    std::deque<CNode> m_nodes;
    std::recursive_mutex m_taskListLock;
    int m_phaseStatus = PhaseStatus::NotSet;
    int m_statusDetail = 0;
    bool m_startAllNodes = false;
    ICoordinatorHost* m_host = nullptr;
};

class CController {
public:
    virtual ~CController() = default;

    // Slots in the framework's order.
    virtual CZuError OnAgentStarted() { return {}; }
    virtual CZuError OnMessage(const CNMessageBase& message) = 0;
    // 0 = the node runs no task loop.
    virtual int getNumberOfWorkers() { return 1; }
    virtual CZuError OnStartStream(int /*stream*/) { return {}; }
    virtual CZuError OnStopStream(int /*stream*/) { return {}; }
    // Runs one task on worker `worker`. An error reports the task failed (6)
    // with the error's text; `result.pairs` travel to OnTaskComplete.
    virtual CZuError OnTask(int worker, const CTaskInfo& task, CTaskCompleteMessage& result) = 0;
    virtual CZuError OnStopTask(int64_t /*taskId*/) { return {}; }
    virtual CZuError OnControllerStarted() { return {}; }
    // Pairs sent with the startup message to the coordinator's ControllerStarted.
    virtual CZuError SetAdditionalStartupValues(NameValueList& /*values*/) { return {}; }
    virtual CZuError SetAdditionalCtrlDoneValues(CControllerDoneMessage& /*done*/) { return {}; }
    // The base asks for "-numstreams" streams of type 1, or none when that
    // argument is absent or 0. Error 232 ("no streams required") or a request
    // for none: the node runs its workers without a stream.
    virtual CZuError getStreamRequest(CStreamRequest& request);
    virtual CZuError getTaskRequest(int worker, CTaskRequest& request) {
        request.workerNumber = worker;
        return {};
    }
    // Keeps the node-init message's pairs (GetNodeInitValue).
    virtual CZuError processNodeInit(const CNMessageBase& nodeInit);
    // Polled after the workers have finished; the completion is sent once true.
    virtual bool isControllerDone() { return true; }
    virtual CZuError Finalize() { return {}; }
    virtual void addKaxSpecificArgument(std::vector<std::string>& /*names*/) {}
    virtual void OnChildTimedOut() {}
    virtual CZuError OnTaskCleanup(int64_t /*taskId*/) { return {}; }
    virtual CClientConfig* getClientConfigObject() = 0;

    // Services of the framework, available to controllers.

    // Sends the completion at once (status 3 = failed) and winds the node down.
    void sendControllerComplete(int status, const std::string& text);
    // The node process's program arguments (null before the framework attached).
    CProgramArgumentsPtr GetProgramArguments() const { return m_args; }
    // A pair of the node-init message; "" when absent.
    std::string GetNodeInitValue(const std::string& name) const;
    const NameValueList& GetNodeInitValues() const { return m_nodeInitValues; }

    // Framework side.
    void AttachHost(IControllerHost* host, CProgramArgumentsPtr args) {
        m_host = host;
        m_args = std::move(args);
    }

private:
    NameValueList m_nodeInitValues;
    IControllerHost* m_host = nullptr;
    CProgramArgumentsPtr m_args;
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
