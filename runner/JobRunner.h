#pragma once
// A job from the operator's point of view: its record, the base arguments
// every phase process gets, the phases in order (the one asked for, then the
// follow-ups the runner decides) and the job's outcome.
//
// Base arguments of every phase: "-j <job>", "-cn <coordinating client>",
// "-token <job>:<phase code>:<attempt>", with an application also
// "-a <marlex id>:<application id>" and "-apptype 8", then the operator's
// own arguments. Follow-ups: after a snapshot backup phase (phase "backup"
// without "-log" and "-snaptape") that completed, misc option 42 of the job
// lists the node client ids; after a backup phase that requested the
// post-operation phase, phase "postop" runs with the base arguments and the
// parameters stored for job phase 2; after a "restore" phase without "-log"
// that did not fail and whose status detail is not 2, "restore" runs again
// with "-log".
#include <functional>
#include <string>
#include <vector>

#include "host/ZuError.h"
#include "runner/ModuleLoader.h"

struct JobRequest {
    std::string phase;
    std::string client;  // coordinating client
    std::string app;     // "<marlex id>:<application id>", or ""
    std::vector<std::string> args;  // the operator's phase arguments
    std::string optionsXml;         // the job's options message, or ""
    int64_t jobId = 0;              // 0: a new job; else run the phase on that job
};

struct JobResult {
    int64_t jobId = 0;
    std::string outcome;
    std::string reason;
};

class JobRunner {
public:
    using Progress = std::function<void(const std::string&)>;
    JobRunner(const ModuleLoader& module, Progress progress);

    // Creates (or reopens) the job and runs its phases. An error means the
    // job could not be run at all; a failed phase is a result.
    CZuError Run(const JobRequest& request, JobResult& result);

private:
    struct PhaseOutcome;
    CZuError RunPhases(int64_t jobId, const JobRequest& request, JobResult& result);
    CZuError RunPhase(int64_t jobId, const JobRequest& request, const std::string& phase,
                      const std::vector<std::string>& phaseArgs, PhaseOutcome& outcome);

    const ModuleLoader& m_module;
    Progress m_progress;
};
