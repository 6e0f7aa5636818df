#pragma once
// One job phase on the coordinating side: the framework that drives the
// module's coordinator, starts a node process per node it adds, carries
// tasks and messages between them and records the outcome on the job.
//
// One thread runs everything, so the coordinator's entry points never run at
// the same time; the coordinator still takes its task-list lock as its
// contract says (the lock is recursive, so the framework's own use of it
// nests).
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/DistributedKax.h"
#include "platform/FrameChannel.h"
#include "runner/ModuleLoader.h"

struct PhaseSpec {
    int64_t jobId = 0;
    std::string phase;
    // The phase's program arguments, without a program name.
    std::vector<std::string> args;
    std::string modulePath;
    // Receives one line per step worth telling the operator.
    std::function<void(const std::string&)> progress;
};

struct PhaseResult {
    std::string outcome;  // JobOutcome
    int phaseStatus = 0;
    int statusDetail = 0;
    std::string reason;  // why it failed, "" otherwise
    std::vector<uint64_t> nodeClientIds;  // every node of the phase, in order added
};

class PhaseRunner : public DistributedKax::ICoordinatorHost {
public:
    PhaseRunner(const ModuleLoader& module, PhaseSpec phaseSpec);
    ~PhaseRunner() override;

    // Runs the phase to its end: OnComplete runs whatever happened before.
    PhaseResult Run();

    CZuError DeliverToNode(DistributedKax::CNode& node, const CNMessageBase& message) override;

    // Asks the running phase to wind down (safe from a signal handler).
    static void RequestInterrupt();

private:
    struct NodeProcess;

    CZuError PrepareCoordinator();
    void DriveNodes();
    void StartNewNodes();
    void StartNode(DistributedKax::CNode& node);
    void SendStops();
    void HandleFrame(NodeProcess& proc, const CNMessageBase& frame);
    void HandleTaskRequest(NodeProcess& proc, const CNMessageBase& frame);
    void HandleTaskComplete(NodeProcess& proc, const DistributedKax::CTaskCompleteMessage& done);
    void HandleControllerDone(NodeProcess& proc, const CNMessageBase& frame);
    void OnNodeEnded(NodeProcess& proc);
    void NodeFailed(DistributedKax::CNode& node, bool startFailed, const std::string& reason,
                    const DistributedKax::CControllerDoneMessage* done);
    void HandleInterrupt();
    void Send(NodeProcess& proc, const CNMessageBase& message);

    void Fail(const std::string& reason);
    void Event(const char* kind, const std::string& text);
    void Progress(const std::string& line);
    NodeProcess* FindProcess(const DistributedKax::CNode& node);

    const ModuleLoader& m_module;
    PhaseSpec m_spec;
    CProgramArgumentsPtr m_args;
    std::unique_ptr<DistributedKax::ICoordinator> m_coordinator;
    std::map<std::string, std::unique_ptr<NodeProcess>> m_processes;  // by client name
    // Messages for nodes whose process has not started yet.
    std::map<std::string, std::vector<CNMessageBase>> m_queued;
    std::vector<std::string> m_failures;
    bool m_interrupted = false;
};
