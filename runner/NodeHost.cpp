#include "runner/NodeHost.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "host/LogWriter.h"
#include "runner/ModuleLoader.h"
#include "runner/Protocol.h"

using namespace DistributedKax;

namespace {

// A node waits this long before asking again after "ask again later",
// doubling up to the maximum.
constexpr int kFirstRetryMs = 100;
constexpr int kMaxRetryMs = 1000;
constexpr int kDonePollMs = 100;
// Exit status when the runner has gone: the node has nobody to report to.
constexpr int kRunnerGoneStatus = 3;

}  // namespace

NodeHost::NodeHost(int fd, std::string phase, CProgramArgumentsPtr args)
    : m_channel(fd), m_phase(std::move(phase)), m_args(std::move(args)) {}

NodeHost::~NodeHost() { m_controller.reset(); }

void NodeHost::Send(const CNMessageBase& message) {
    bool timedOut = false;
    if (CZuError err = m_channel.Send(message, NodeFrame::kSendTimeoutMs, timedOut))
        ZULOG_ERROR("Cannot send [%s] to the runner: %s", message.GetTag().c_str(), err.AsString().c_str());
}

void NodeHost::CompleteController(const CControllerDoneMessage& done) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_completed) return;
        m_completed = true;
        m_completionStatus = done.status;
    }
    ZULOG_NORMAL("Controller complete with status %d [%s]", done.status, done.text.c_str());
    Send(NodeFrame::Done(done));
    m_changed.notify_all();
}

bool NodeHost::IsCompleted() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_completed;
}

bool NodeHost::IsWindingDown() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopRequested || m_completed;
}

int NodeHost::Run(const ModuleLoader& module) {
    m_controller = module.CreateController(m_phase, m_args);
    if (!m_controller) {
        CompleteController({3, "the module does not serve phase [" + m_phase + "] on nodes", {}});
        return 1;
    }
    m_controller->AttachHost(this, m_args);

    std::vector<CNMessageBase> early;
    if (CZuError err = StartController(early)) {
        CompleteController({3, err.AsString(), {}});
        m_controller->Finalize();
        return 1;
    }
    std::thread reader([this, &early] {
        for (const auto& message : early) Dispatch(message);
        ReadMessages();
    });
    RunWorkers();
    if (!IsCompleted()) {
        while (!m_controller->isControllerDone())
            std::this_thread::sleep_for(std::chrono::milliseconds(kDonePollMs));
        CControllerDoneMessage done;
        if (CZuError err = m_controller->SetAdditionalCtrlDoneValues(done)) {
            done.status = 3;
            done.text = err.AsString();
        }
        CompleteController(done);
    }
    if (CZuError err = m_controller->Finalize()) ZULOG_ERROR("Finalize failed: %s", err.AsString().c_str());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reading = false;
    }
    reader.join();
    return m_completionStatus == 1 ? 0 : 1;
}

CZuError NodeHost::StartController(std::vector<CNMessageBase>& early) {
    if (CClientConfig* config = m_controller->getClientConfigObject())
        if (CZuError err = config->parseArguments(*m_args))
            return err.Push(FXLOC, "the node's arguments are not valid");
    std::vector<std::string> specificArguments;
    m_controller->addKaxSpecificArgument(specificArguments);
    if (CZuError err = m_controller->OnAgentStarted()) return err.Push(FXLOC, "OnAgentStarted failed");
    CControllerStartupMessage startup;
    if (CZuError err = m_controller->SetAdditionalStartupValues(startup.pairs))
        return err.Push(FXLOC, "the startup values could not be set");
    Send(NodeFrame::Startup(startup));

    CNMessageBase nodeInit;
    for (;;) {
        bool timedOut = false;
        if (CZuError err = m_channel.Receive(nodeInit, -1, timedOut))
            return err.Push(FXLOC, "no node-init message from the runner");
        if (nodeInit.GetTag() == FrameworkMessage::NodeInit) break;
        if (nodeInit.GetTag() == FrameworkMessage::NodeStop)
            m_stopRequested = true;
        else
            early.push_back(nodeInit);
    }
    if (CZuError err = m_controller->processNodeInit(nodeInit)) return err.Push(FXLOC, "processNodeInit failed");
    if (CZuError err = m_controller->OnControllerStarted()) return err.Push(FXLOC, "OnControllerStarted failed");
    return {};
}

void NodeHost::RunWorkers() {
    int workers = m_controller->getNumberOfWorkers();
    CStreamRequest request;
    CZuError err = m_controller->getStreamRequest(request);
    if (err && err.GetErrorCode() != ZuCode::NoStreamsRequired) {
        CompleteController({3, "the stream request failed: " + err.AsString(), {}});
        return;
    }
    int streams = err ? 0 : std::max(0, request.count);
    ZULOG_NORMAL("Node runs %d worker(s) on %d stream(s)", workers, streams);
    for (int s = 1; s <= streams; ++s)
        if (CZuError e = m_controller->OnStartStream(s)) ZULOG_ERROR("OnStartStream(%d) failed: %s", s, e.AsString().c_str());

    std::vector<std::thread> threads;
    for (int w = 1; w <= workers; ++w)
        threads.emplace_back([this, w, streams] { RunWorker(w, streams ? (w - 1) % streams + 1 : 0); });
    for (auto& t : threads) t.join();

    for (int s = 1; s <= streams; ++s)
        if (CZuError e = m_controller->OnStopStream(s)) ZULOG_ERROR("OnStopStream(%d) failed: %s", s, e.AsString().c_str());
}

void NodeHost::RunWorker(int worker, int stream) {
    int retryMs = kFirstRetryMs;
    while (!IsWindingDown()) {
        CTaskRequest request;
        if (CZuError err = m_controller->getTaskRequest(worker, request)) {
            ZULOG_ERROR("Worker %d: getTaskRequest failed: %s", worker, err.AsString().c_str());
            return;
        }
        request.streamNumber = stream;
        int64_t requestId;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            requestId = ++m_nextRequest;
        }
        Send(NodeFrame::Request(requestId, request));
        CNMessageBase answer;
        if (!WaitForAnswer(requestId, answer)) return;
        if (answer.GetTag() == NodeFrame::NoMoreTasks) {
            ZULOG(2, "Worker %d: no more tasks [%s]", worker, answer.GetString("text").c_str());
            return;
        }
        if (answer.GetTag() == NodeFrame::WaitForTask) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait_for(lock, std::chrono::milliseconds(retryMs),
                               [this] { return m_stopRequested || m_completed; });
            retryMs = std::min(retryMs * 2, kMaxRetryMs);
            continue;
        }
        retryMs = kFirstRetryMs;
        CTaskInfo task = NodeFrame::ReadTask(answer);
        CTaskCompleteMessage result;
        result.taskId = task.taskId;
        if (IsCompleted()) {  // the controller completed while the task was on its way
            result.status = TaskStatus::Failed;
            result.text = "the controller had completed before the task arrived";
            Send(NodeFrame::Complete(result));
            return;
        }
        ZULOG_NORMAL("Worker %d runs task %lld", worker, (long long)task.taskId);
        if (CZuError err = m_controller->OnTask(worker, task, result)) {
            result.status = TaskStatus::Failed;
            result.text = err.AsString();
        }
        result.taskId = task.taskId;
        Send(NodeFrame::Complete(result));
    }
}

bool NodeHost::WaitForAnswer(int64_t requestId, CNMessageBase& answer) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_answers.count(requestId) || !m_reading; });
    auto it = m_answers.find(requestId);
    if (it == m_answers.end()) return false;
    answer = std::move(it->second);
    m_answers.erase(it);
    return true;
}

void NodeHost::ReadMessages() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_reading) return;
        }
        CNMessageBase message;
        bool timedOut = false;
        CZuError err = m_channel.Receive(message, kDonePollMs, timedOut);
        if (!err) {
            Dispatch(message);
            continue;
        }
        if (timedOut) continue;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_completed) {
                m_reading = false;
                m_changed.notify_all();
                return;
            }
        }
        // Nobody is left to report to, and a task may be blocked for long:
        // end at once rather than linger as an orphan.
        ZULOG_ERROR("The runner has gone (%s); the node ends", err.AsString().c_str());
        _exit(kRunnerGoneStatus);
    }
}

void NodeHost::Dispatch(const CNMessageBase& message) {
    const std::string& tag = message.GetTag();
    if (tag == NodeFrame::TaskInfo || tag == NodeFrame::NoMoreTasks || tag == NodeFrame::WaitForTask) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answers[message.GetInt("requestId")] = message;
    } else if (tag == FrameworkMessage::NodeStop) {
        ZULOG_NORMAL("Node stop received");
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopRequested = true;
    } else if (tag == FrameworkMessage::NodeInit) {
        ZULOG_ERROR("A second node-init message was ignored");
        return;
    } else {
        if (CZuError err = m_controller->OnMessage(message))
            ZULOG_ERROR("OnMessage [%s] failed: %s", tag.c_str(), err.AsString().c_str());
        return;
    }
    m_changed.notify_all();
}
