#include "runner/PhaseRunner.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <set>

#include "host/Files.h"
#include "host/JobClient.h"
#include "host/LogWriter.h"
#include "host/Platform.h"
#include "platform/ChildProcess.h"
#include "platform/JobStore.h"
#include "runner/ErrorText.h"
#include "runner/Protocol.h"

using namespace DistributedKax;

namespace {

// How long a node may take to exit once its socket has closed.
constexpr int kReapTimeoutMs = 5000;
// Quiet time between two OnIdle calls.
constexpr int kIdleIntervalMs = 200;

volatile sig_atomic_t g_interrupts = 0;

std::shared_ptr<TWJobClient> MakeJobClient(const std::string& phase) {
    if (phase == "backup") return std::make_shared<TWBackupJobClient>();
    if (phase == "restore") return std::make_shared<TWRestoreJobClient>();
    return std::make_shared<TWJobClient>();
}

bool IsPlainProgramName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

struct PhaseRunner::NodeProcess {
    CNode* node = nullptr;
    pid_t pid = -1;
    FrameChannel channel;
    bool startupSeen = false;
    bool doneSeen = false;
    bool stopSent = false;
    bool ended = false;
    std::string killReason;     // set when the runner killed it
    std::set<int64_t> running;  // tasks handed to it and not reported yet
};

PhaseRunner::PhaseRunner(const ModuleLoader& module, PhaseSpec phaseSpec) : m_module(module), m_spec(std::move(phaseSpec)) {}

PhaseRunner::~PhaseRunner() = default;

void PhaseRunner::RequestInterrupt() { g_interrupts = g_interrupts + 1; }

void PhaseRunner::Progress(const std::string& line) {
    ZULOG_NORMAL("%s", line.c_str());
    if (m_spec.progress) m_spec.progress(line);
}

void PhaseRunner::Event(const char* kind, const std::string& text) {
    JobEventRecord event;
    event.jobId = m_spec.jobId;
    event.kind = kind;
    event.text = text;
    if (CZuError err = JobStore::AddEvent(event))
        ZULOG_ERROR("Cannot record an event on job %lld: %s", (long long)m_spec.jobId, err.AsString().c_str());
}

void PhaseRunner::Fail(const std::string& reason) {
    ZULOG_ERROR("Phase [%s] fails: %s", m_spec.phase.c_str(), reason.c_str());
    m_failures.push_back(reason);
}

PhaseRunner::NodeProcess* PhaseRunner::FindProcess(const CNode& node) {
    auto it = m_processes.find(node.clientName);
    return it == m_processes.end() ? nullptr : it->second.get();
}

PhaseResult PhaseRunner::Run() {
    PhaseResult result;
    EvEvent::setJobId(m_spec.jobId);
    std::vector<std::string> argv{"kaxrun"};
    argv.insert(argv.end(), m_spec.args.begin(), m_spec.args.end());
    m_args = std::make_shared<CProgramArguments>(argv);
    Progress("phase " + m_spec.phase + ": starting");

    try {
        m_coordinator = m_module.CreateCoordinator(m_spec.phase, m_args);
        if (!m_coordinator) {
            Fail("the module does not serve phase [" + m_spec.phase + "]");
        } else {
            m_coordinator->AttachHost(this);
            if (CZuError err = PrepareCoordinator()) {
                ZULOG_ERROR("Phase preparation failed: %s", err.AsString().c_str());
                Fail(ErrorText(err));
            } else {
                DriveNodes();
            }
            Progress("phase " + m_spec.phase + ": completing");
            if (CZuError err = m_coordinator->OnComplete()) {
                ZULOG_ERROR("OnComplete failed: %s", err.AsString().c_str());
                Fail("completion failed: " + ErrorText(err));
            }
            result.phaseStatus = m_coordinator->getPhaseStatus();
            result.statusDetail = m_coordinator->getStatusDetail();
            for (const auto& node : m_coordinator->GetNodeList()) result.nodeClientIds.push_back(node.clientId);
        }
    } catch (const std::exception& e) {
        Fail(std::string("the coordinator threw an exception: ") + e.what());
    }
    // Nothing may outlive the phase: a node still running now is killed.
    for (auto& [name, proc] : m_processes)
        if (!proc->ended) {
            proc->channel.Close();
            bool killed = false;
            ChildProcess::Reap(proc->pid, kReapTimeoutMs, killed);
            proc->ended = true;
        }
    m_coordinator.reset();

    if (!m_failures.empty() || result.phaseStatus == PhaseStatus::Failed) {
        result.outcome = JobOutcome::Failed;
        result.reason = !m_failures.empty() ? m_failures.front()
                                            : "the coordinator marked the phase failed (status 2, detail " +
                                                  std::to_string(result.statusDetail) + ")";
    } else if (result.phaseStatus == PhaseStatus::PartialSuccess) {
        result.outcome = JobOutcome::CompletedWithErrors;
        result.reason = "the coordinator reported partial success (status 3, detail " +
                        std::to_string(result.statusDetail) + ")";
    } else {
        result.outcome = JobOutcome::Completed;
    }
    Progress("phase " + m_spec.phase + ": " + result.outcome + (result.reason.empty() ? "" : ": " + result.reason));
    return result;
}

CZuError PhaseRunner::PrepareCoordinator() {
    const std::string host = TWPI_PlatformBase::GetCorvaneHostName();
    std::shared_ptr<TWJobClient> jobClient = MakeJobClient(m_spec.phase);
    auto jobControlClient = std::make_shared<TWJobControlClient>();
    if (CZuError err = jobClient->init(host, m_spec.jobId, 4)) return err.Push(FXLOC);
    if (CZuError err = jobControlClient->init(m_spec.jobId, host)) return err.Push(FXLOC);

    CClientConfig* config = m_coordinator->getClientConfigObject();
    if (config)
        if (CZuError err = config->parseArguments(*m_args))
            return err.Push(FXLOC, "the phase's arguments are not valid");
    Progress("phase " + m_spec.phase + ": initializing");
    if (CZuError err = m_coordinator->initialize(config, m_args, jobClient, jobControlClient))
        return err.Push(FXLOC, "initialization failed");
    if (CZuError err = m_coordinator->loadNodeConfiguration())
        return err.Push(FXLOC, "loading the node configuration failed");
    return {};
}

// --- node processes ------------------------------------------------------------

void PhaseRunner::StartNewNodes() {
    // By index: a callback made while a node starts may add nodes.
    auto& nodes = m_coordinator->GetNodeList();
    for (size_t i = 0; i < nodes.size(); ++i)
        if (nodes[i].state == NodeState::Added && !nodes[i].failed && !FindProcess(nodes[i])) StartNode(nodes[i]);
}

void PhaseRunner::StartNode(CNode& node) {
    Progress("node " + node.clientName + ": starting");
    if (CZuError err = m_coordinator->getStreamReservationInfoForNode(node))
        return NodeFailed(node, true, "no stream reservation: " + ErrorText(err), nullptr);
    std::string command = m_coordinator->getNodeCommandName(node);
    std::string extra;
    if (CZuError err = m_coordinator->getCommandArgumentsForNode(node, extra))
        return NodeFailed(node, true, "no node arguments: " + ErrorText(err), nullptr);
    CNMessageBase nodeInit(FrameworkMessage::NodeInit);
    if (CZuError err = m_coordinator->getNodeStartAcknowledgeMessage(node, nodeInit))
        return NodeFailed(node, true, "no node-init message: " + ErrorText(err), nullptr);
    nodeInit.SetTag(FrameworkMessage::NodeInit);

    std::string program = ChildProcess::SelfPath();
    if (!command.empty()) {
        if (!IsPlainProgramName(command))
            return NodeFailed(node, true, "invalid node command name [" + command + "]", nullptr);
        program = FXPath::Join(ChildProcess::ProgramDirectory(), command);
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return NodeFailed(node, true, "socketpair failed", nullptr);
    std::vector<std::string> argv{program, "node", "--phase", m_spec.phase, "--module", m_spec.modulePath,
                                  "--fd", std::to_string(fds[1]), "--"};
    argv.insert(argv.end(), m_spec.args.begin(), m_spec.args.end());
    argv.insert(argv.end(), {"-cn", node.clientName});
    for (auto& a : FXString::SplitArguments(extra, " ", 1)) argv.push_back(a);

    pid_t pid = -1;
    CZuError err = ChildProcess::Spawn(program, argv, fds[1], pid);
    close(fds[1]);
    if (err) {
        close(fds[0]);
        return NodeFailed(node, true, ErrorText(err), nullptr);
    }
    auto proc = std::make_unique<NodeProcess>();
    proc->node = &node;
    proc->pid = pid;
    proc->channel.Reset(fds[0]);
    NodeProcess& started = *proc;
    m_processes[node.clientName] = std::move(proc);
    node.state = NodeState::Running;
    ZULOG_NORMAL("Node [%s] runs as pid %d: %s", node.clientName.c_str(), int(pid),
                 CProgramArguments(argv).AsString().c_str());
    Send(started, nodeInit);
    auto queued = m_queued.find(node.clientName);
    if (queued != m_queued.end()) {
        for (const auto& message : queued->second) Send(started, message);
        m_queued.erase(queued);
    }
}

void PhaseRunner::Send(NodeProcess& proc, const CNMessageBase& message) {
    if (proc.ended || !proc.channel.IsOpen()) return;
    bool timedOut = false;
    if (CZuError err = proc.channel.Send(message, NodeFrame::kSendTimeoutMs, timedOut)) {
        ZULOG_ERROR("Cannot send [%s] to node [%s]: %s", message.GetTag().c_str(), proc.node->clientName.c_str(),
                    err.AsString().c_str());
        if (timedOut && proc.killReason.empty()) {
            proc.killReason = "it stopped taking messages and was killed";
            kill(proc.pid, SIGKILL);
        }
    }
}

CZuError PhaseRunner::DeliverToNode(CNode& node, const CNMessageBase& message) {
    if (node.state == NodeState::Ended || node.failed)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "node [%s] has ended", node.clientName.c_str());
    NodeProcess* proc = FindProcess(node);
    if (!proc) {
        m_queued[node.clientName].push_back(message);
        return {};
    }
    if (message.GetTag() == FrameworkMessage::NodeStop) proc->stopSent = true;
    Send(*proc, message);
    return {};
}

void PhaseRunner::SendStops() {
    for (auto& [name, proc] : m_processes)
        if (!proc->ended && !proc->stopSent && proc->node->state == NodeState::Stopped) {
            proc->stopSent = true;
            Send(*proc, CNMessageBase(FrameworkMessage::NodeStop));
        }
}

void PhaseRunner::HandleInterrupt() {
    if (!m_interrupted) {
        m_interrupted = true;
        Fail("interrupted by the operator");
        Event(JobEventKind::Error, "Interrupted by the operator; stopping the nodes");
        if (CZuError err = JobStore::SetQuit(m_spec.jobId, true))
            ZULOG_ERROR("Cannot set the quit flag: %s", err.AsString().c_str());
        for (auto& [name, proc] : m_processes)
            if (!proc->ended) {
                proc->stopSent = true;
                Send(*proc, CNMessageBase(FrameworkMessage::NodeStop));
            }
        Progress("interrupted: stopping the nodes (interrupt again to kill them)");
        return;
    }
    for (auto& [name, proc] : m_processes)
        if (!proc->ended && proc->killReason.empty()) {
            proc->killReason = "killed on the operator's second interrupt";
            kill(proc->pid, SIGKILL);
        }
}

void PhaseRunner::DriveNodes() {
    bool idleCalled = false;
    int interruptsSeen = 0;
    for (;;) {
        if (g_interrupts > interruptsSeen) {
            interruptsSeen = g_interrupts;
            HandleInterrupt();
        }
        StartNewNodes();
        SendStops();
        std::vector<pollfd> fds;
        std::vector<NodeProcess*> polled;
        for (auto& [name, proc] : m_processes)
            if (!proc->ended) {
                fds.push_back({proc->channel.GetFd(), POLLIN, 0});
                polled.push_back(proc.get());
            }
        if (fds.empty()) break;

        int ready = poll(fds.data(), fds.size(), idleCalled ? kIdleIntervalMs : 0);
        if (ready < 0) {
            if (errno == EINTR) continue;
            Fail("waiting for the nodes failed: " + std::string(strerror(errno)));
            break;
        }
        if (ready == 0) {
            if (!idleCalled) {
                if (CZuError err = m_coordinator->OnIdle()) ZULOG_ERROR("OnIdle failed: %s", err.AsString().c_str());
            }
            idleCalled = !idleCalled;
            continue;
        }
        idleCalled = false;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            NodeProcess& proc = *polled[i];
            CZuError err = proc.channel.ReadAvailable();
            for (bool got = !err; got;) {
                CNMessageBase frame;
                if ((err = proc.channel.PopMessage(frame, got))) break;
                if (got) HandleFrame(proc, frame);
            }
            if (err && proc.killReason.empty()) {
                proc.killReason = "its messages could not be read (" + ErrorText(err) + ") and it was killed";
                kill(proc.pid, SIGKILL);
            }
            if (err || proc.channel.AtEof()) OnNodeEnded(proc);
        }
    }
}

void PhaseRunner::HandleFrame(NodeProcess& proc, const CNMessageBase& frame) {
    CNode& node = *proc.node;
    const std::string& tag = frame.GetTag();
    if (tag == NodeFrame::ControllerStartup) {
        proc.startupSeen = true;
        Progress("node " + node.clientName + ": controller started");
        CControllerStartupMessage startup = NodeFrame::ReadStartup(frame);
        if (CZuError err = m_coordinator->ControllerStarted(node, &startup))
            Event(JobEventKind::Error, "ControllerStarted failed for node [" + node.clientName + "]: " + ErrorText(err));
    } else if (tag == NodeFrame::TaskRequest) {
        HandleTaskRequest(proc, frame);
    } else if (tag == NodeFrame::TaskComplete) {
        HandleTaskComplete(proc, NodeFrame::ReadComplete(frame));
    } else if (tag == NodeFrame::ControllerDone) {
        HandleControllerDone(proc, frame);
    } else {
        ZULOG_ERROR("Unexpected message [%s] from node [%s]", tag.c_str(), node.clientName.c_str());
    }
}

void PhaseRunner::HandleTaskRequest(NodeProcess& proc, const CNMessageBase& frame) {
    CNode& node = *proc.node;
    int64_t requestId = frame.GetInt("requestId");
    CTaskRequest request = NodeFrame::ReadRequest(frame);
    CTaskInfo info;
    CZuError err = m_coordinator->getTask(node, request, info);
    if (err) {
        if (err.GetErrorCode() != ZuCode::NoMoreItems)
            Event(JobEventKind::Error, "No task for node [" + node.clientName + "] worker " +
                                           std::to_string(request.workerNumber) + ": " + ErrorText(err));
        Send(proc, NodeFrame::NoMore(requestId, err.GetMessage()));
        return;
    }
    if (!info.IsEmpty()) {
        std::lock_guard<std::recursive_mutex> lock(m_coordinator->GetTaskListLock());
        if (CTask* task = m_coordinator->GetTaskById(info.taskId)) {
            task->status = TaskStatus::Running;
            task->handedTo.push_back(node.clientName);
            if (CZuError accepted = m_coordinator->OnTaskAccepted(*task))
                ZULOG_ERROR("OnTaskAccepted failed: %s", accepted.AsString().c_str());
        } else {
            ZULOG_ERROR("getTask handed out task %lld, which is not in the task list", (long long)info.taskId);
        }
        proc.running.insert(info.taskId);
        Progress("task " + std::to_string(info.taskId) + ": handed to node " + node.clientName + " worker " +
                 std::to_string(request.workerNumber));
    }
    Send(proc, NodeFrame::Task(requestId, info));
}

void PhaseRunner::HandleTaskComplete(NodeProcess& proc, const CTaskCompleteMessage& done) {
    CNode& node = *proc.node;
    proc.running.erase(done.taskId);
    {
        std::lock_guard<std::recursive_mutex> lock(m_coordinator->GetTaskListLock());
        CTask* task = m_coordinator->GetTaskById(done.taskId);
        if (!task) {
            Event(JobEventKind::Error, "Node [" + node.clientName + "] reported task " +
                                           std::to_string(done.taskId) + ", which is not in the task list");
            return;
        }
        task->status = done.status;
        if (CZuError err = m_coordinator->OnTaskComplete(*task, done))
            ZULOG_ERROR("OnTaskComplete failed: %s", err.AsString().c_str());
        int action = Action::None;
        if (CZuError err = m_coordinator->OnTaskChange(*task, action))
            ZULOG_ERROR("OnTaskChange failed: %s", err.AsString().c_str());
        ZULOG(2, "Task %lld on node [%s]: status %d, action %d", (long long)done.taskId, node.clientName.c_str(),
              done.status, action);
    }
    std::string id = std::to_string(done.taskId);
    if (done.status == TaskStatus::Failed) {
        Event(JobEventKind::Error, "Task " + id + " failed on node [" + node.clientName + "]: " + done.text);
        Progress("task " + id + ": failed on node " + node.clientName + ": " + done.text);
    } else {
        Progress("task " + id + ": completed on node " + node.clientName);
    }
}

void PhaseRunner::HandleControllerDone(NodeProcess& proc, const CNMessageBase& frame) {
    CNode& node = *proc.node;
    CControllerDoneMessage done = NodeFrame::ReadDone(frame);
    proc.doneSeen = true;
    if (!proc.startupSeen)
        return NodeFailed(node, true, "its controller did not start: " + done.text, &done);
    if (CZuError err = m_coordinator->ControllerDone(node, &done))
        Event(JobEventKind::Error, "ControllerDone failed for node [" + node.clientName + "]: " + ErrorText(err));
    if (done.status == 3) {
        node.failed = true;
        node.failureReason = done.text;
        std::string reason = "node [" + node.clientName + "] completed with a failure: " + done.text;
        Event(JobEventKind::Error, reason);
        Fail(reason);
    }
    Progress("node " + node.clientName + ": done" + (done.status == 3 ? " (failed)" : ""));
}

void PhaseRunner::OnNodeEnded(NodeProcess& proc) {
    proc.ended = true;
    proc.channel.Close();
    bool killed = false;
    int status = ChildProcess::Reap(proc.pid, kReapTimeoutMs, killed);
    std::string how = proc.killReason.empty() ? ChildProcess::DescribeStatus(status) : proc.killReason;
    CNode& node = *proc.node;
    ZULOG_NORMAL("Node [%s] (pid %d) %s", node.clientName.c_str(), int(proc.pid), how.c_str());
    if (proc.doneSeen) {
        node.state = NodeState::Ended;
        return;
    }
    NodeFailed(node, !proc.startupSeen, how, nullptr);
}

void PhaseRunner::NodeFailed(CNode& node, bool startFailed, const std::string& reason,
                             const CControllerDoneMessage* done) {
    node.failed = true;
    node.startFailed = startFailed;
    node.failureReason = reason;
    node.state = NodeState::Ended;
    std::string text = "node [" + node.clientName + "] " +
                       (startFailed ? "failed to start: " : "ended without completing: ") + reason;
    Event(JobEventKind::Error, text);
    Fail(text);
    Progress("node " + node.clientName + ": " + (startFailed ? "failed to start: " : "ended without completing: ") +
             reason);

    if (NodeProcess* proc = FindProcess(node)) {
        std::set<int64_t> running;
        running.swap(proc->running);
        for (int64_t taskId : running) {
            CTaskCompleteMessage lost;
            lost.taskId = taskId;
            lost.status = TaskStatus::Failed;
            lost.text = "the node ended while running it";
            HandleTaskComplete(*proc, lost);
        }
    }
    int action = Action::None;
    if (CZuError err = m_coordinator->OnNodeChange(node, action))
        ZULOG_ERROR("OnNodeChange failed: %s", err.AsString().c_str());
    ZULOG_NORMAL("OnNodeChange for node [%s] answered action %d", node.clientName.c_str(), action);
    if (CZuError err = m_coordinator->ControllerDone(node, done))
        ZULOG_ERROR("ControllerDone failed: %s", err.AsString().c_str());
}
