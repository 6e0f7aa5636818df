#include "runner/JobRunner.h"

#include <algorithm>

#include "host/DistributedKax.h"
#include "host/Files.h"
#include "host/JobManager.h"
#include "host/LogWriter.h"
#include "platform/JobStore.h"
#include "runner/ErrorText.h"
#include "runner/PhaseRunner.h"

namespace {

// The phase code of the attempt token (the backup phase is 5).
int PhaseCode(const std::string& phase) {
    static const std::pair<const char*, int> codes[] = {
        {"backup", 5}, {"restore", 6}, {"postop", 7}, {"cleanup", 8}, {"ifrestore", 9}};
    for (const auto& [name, code] : codes)
        if (phase == name) return code;
    return 0;
}

bool HasFlag(const std::vector<std::string>& args, const std::string& flag) {
    return std::find(args.begin(), args.end(), "-" + flag) != args.end();
}

std::string Join(const std::vector<uint64_t>& ids) {
    std::string text;
    for (uint64_t id : ids) text += (text.empty() ? "" : ",") + std::to_string(id);
    return text;
}

// Arguments as one line that splits back into the same arguments.
std::string ArgumentLine(const std::vector<std::string>& args) {
    std::vector<std::string> argv{""};
    argv.insert(argv.end(), args.begin(), args.end());
    return CProgramArguments(argv).AsString();
}

// Later outcomes never make a job look better than an earlier one.
int Severity(const std::string& outcome) {
    if (outcome == JobOutcome::Failed) return 2;
    if (outcome == JobOutcome::CompletedWithErrors) return 1;
    return 0;
}

}  // namespace

struct JobRunner::PhaseOutcome {
    PhaseResult result;
    std::vector<std::string> args;  // the phase's full arguments
};

JobRunner::JobRunner(const ModuleLoader& module, Progress progress)
    : m_module(module), m_progress(std::move(progress)) {}

CZuError JobRunner::Run(const JobRequest& request, JobResult& result) {
    JobRecord job;
    if (request.jobId > 0) {
        if (CZuError err = JobStore::GetJob(request.jobId, job)) return err.Push(FXLOC);
    } else {
        job.type = request.phase;
        job.client = request.client;
        job.app = request.app;
        job.args = ArgumentLine(request.args);
        if (CZuError err = JobStore::CreateJob(job)) return err.Push(FXLOC, "cannot create the job");
    }
    result.jobId = job.id;
    CZuError err = RunPhases(job.id, request, result);
    if (err) {
        // The job must not stay "Running" when the runner could not go on.
        if (CZuError finish = JobStore::FinishJob(job.id, JobOutcome::Failed, ErrorText(err)))
            ZULOG_ERROR("Cannot record the end of job %lld: %s", (long long)job.id, finish.AsString().c_str());
    }
    return err;
}

CZuError JobRunner::RunPhases(int64_t jobId, const JobRequest& request, JobResult& result) {
    if (!request.optionsXml.empty())
        if (CZuError err = JobStore::SetText(jobId, JobText::OptionsXml, request.optionsXml)) return err.Push(FXLOC);
    if (m_progress) m_progress("job " + std::to_string(jobId) + " started on client " + request.client);

    std::string outcome = JobOutcome::Completed, reason;
    auto note = [&](const PhaseOutcome& phase) {
        if (Severity(phase.result.outcome) > Severity(outcome)) {
            outcome = phase.result.outcome;
            reason = phase.result.reason;
        }
    };

    PhaseOutcome first;
    if (CZuError err = RunPhase(jobId, request, request.phase, request.args, first)) return err.Push(FXLOC);
    note(first);
    bool failed = first.result.outcome == JobOutcome::Failed;

    if (!failed && request.phase == "backup" && !HasFlag(first.args, "log") && !HasFlag(first.args, "snaptape") &&
        first.result.outcome == JobOutcome::Completed) {
        if (CZuError err = App::MiscOptions::setMiscOption(jobId, JM_MULTINDOE_PARTICIPATEDNODES,
                                                           Join(first.result.nodeClientIds)))
            return err.Push(FXLOC);
    }
    bool postOp = false;
    if (CZuError err = JobStore::GetPostOpRequested(jobId, postOp)) return err.Push(FXLOC);
    if (!failed && postOp) {
        if (CZuError err = JobStore::SetPostOpRequested(jobId, false)) return err.Push(FXLOC);
        std::string params;
        if (CZuError err = JobStore::GetPhaseParams(jobId, 2, params)) return err.Push(FXLOC);
        PhaseOutcome postop;
        if (CZuError err = RunPhase(jobId, request, "postop", FXString::SplitArguments(params, " ", 1), postop))
            return err.Push(FXLOC);
        note(postop);
    }
    if (!failed && request.phase == "restore" && !HasFlag(first.args, "log") &&
        first.result.statusDetail != 2) {
        std::vector<std::string> args = request.args;
        args.push_back("-log");
        PhaseOutcome logPhase;
        if (CZuError err = RunPhase(jobId, request, "restore", args, logPhase)) return err.Push(FXLOC);
        note(logPhase);
    }

    if (CZuError err = JobStore::FinishJob(jobId, outcome, reason)) return err.Push(FXLOC);
    result.outcome = outcome;
    result.reason = reason;
    return {};
}

CZuError JobRunner::RunPhase(int64_t jobId, const JobRequest& request, const std::string& phase,
                             const std::vector<std::string>& phaseArgs, PhaseOutcome& outcome) {
    std::vector<JobPhaseRecord> earlier;
    if (CZuError err = JobStore::ListPhases(jobId, earlier)) return err.Push(FXLOC);
    int attempt = 1 + int(std::count_if(earlier.begin(), earlier.end(),
                                        [&](const JobPhaseRecord& p) { return p.phase == phase; }));
    std::string id = std::to_string(jobId);
    outcome.args = {"-j", id, "-cn", request.client, "-token",
                    id + ":" + std::to_string(PhaseCode(phase)) + ":" + std::to_string(attempt)};
    if (!request.app.empty()) outcome.args.insert(outcome.args.end(), {"-a", request.app, "-apptype", "8"});
    outcome.args.insert(outcome.args.end(), phaseArgs.begin(), phaseArgs.end());

    int seq = 0;
    if (CZuError err = JobStore::BeginPhase(jobId, phase, ArgumentLine(outcome.args), seq))
        return err.Push(FXLOC);

    PhaseSpec phaseSpec;
    phaseSpec.jobId = jobId;
    phaseSpec.phase = phase;
    phaseSpec.args = outcome.args;
    phaseSpec.modulePath = m_module.GetPath();
    phaseSpec.progress = m_progress;
    outcome.result = PhaseRunner(m_module, phaseSpec).Run();

    JobPhaseRecord record;
    record.jobId = jobId;
    record.seq = seq;
    record.phase = phase;
    record.outcome = outcome.result.outcome;
    record.phaseStatus = outcome.result.phaseStatus;
    record.statusDetail = outcome.result.statusDetail;
    record.reason = outcome.result.reason;
    if (CZuError err = JobStore::EndPhase(record)) return err.Push(FXLOC);
    return {};
}
