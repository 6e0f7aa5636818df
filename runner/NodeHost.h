#pragma once
// One node process ("kaxrun node"): the framework that drives the module's
// controller on a participating client and talks to the coordinating runner
// over the socket it inherited.
//
// Life cycle: getClientConfigObject and parseArguments, OnAgentStarted,
// SetAdditionalStartupValues (sent as the startup message), processNodeInit
// with the runner's node-init message, OnControllerStarted,
// getNumberOfWorkers, getStreamRequest (OnStartStream per stream), then one
// thread per worker (numbered from 1) asking for tasks (getTaskRequest) and
// running them (OnTask) until it is told "no more" or the node is stopped;
// then OnStopStream per stream, isControllerDone until true,
// SetAdditionalCtrlDoneValues, the completion message and Finalize.
// Messages from the runner are read on their own thread: stop-tasks and
// application messages go to OnMessage, node-stop winds the workers down.
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/DistributedKax.h"
#include "platform/FrameChannel.h"

class ModuleLoader;

class NodeHost : public DistributedKax::IControllerHost {
public:
    NodeHost(int fd, std::string phase, CProgramArgumentsPtr args);
    ~NodeHost() override;

    // Runs the controller's life cycle; returns the process exit status.
    int Run(const ModuleLoader& module);

    void CompleteController(const DistributedKax::CControllerDoneMessage& done) override;

private:
    CZuError StartController(std::vector<CNMessageBase>& early);
    void RunWorkers();
    void RunWorker(int worker, int stream);
    void ReadMessages();
    void Dispatch(const CNMessageBase& message);
    // Waits for the answer to request `requestId`; false when the runner has gone.
    bool WaitForAnswer(int64_t requestId, CNMessageBase& answer);
    void Send(const CNMessageBase& message);
    bool IsWindingDown();
    bool IsCompleted();

    FrameChannel m_channel;
    std::string m_phase;
    CProgramArgumentsPtr m_args;
    std::unique_ptr<DistributedKax::CController> m_controller;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<int64_t, CNMessageBase> m_answers;
    int64_t m_nextRequest = 0;
    bool m_stopRequested = false;  // node-stop received
    bool m_completed = false;      // the completion was sent
    int m_completionStatus = 0;
    bool m_reading = true;         // the reader thread runs
};
