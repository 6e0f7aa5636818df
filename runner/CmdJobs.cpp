// kaxrun run, kaxrun jobs, kaxrun job show
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "host/Entities.h"
#include "host/Files.h"
#include "host/JobManager.h"
#include "host/Message.h"
#include "host/Platform.h"
#include "platform/JobStore.h"
#include "runner/Commands.h"
#include "runner/ErrorText.h"
#include "runner/JobRunner.h"
#include "runner/PhaseRunner.h"
#include "runner/Registry.h"
#include "runner/Table.h"

namespace Cli {

namespace {

bool ParseJobId(const std::string& text, int64_t& id) {
    char* end = nullptr;
    id = std::strtoll(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && id > 0;
}

std::string MessageId(uint32_t id) {
    if (id == 0) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", id);
    return text;
}

std::string Arguments(const JobEventRecord& e) {
    std::string text;
    for (const auto& a : e.arguments) text += (text.empty() ? "" : ", ") + a;
    if (!e.text.empty() && e.kind != std::string(JobEventKind::Pending)) text += (text.empty() ? "" : "; ") + e.text;
    return text.empty() ? "-" : text;
}

// The coordinator's status values; 0 means it set none.
std::string NumberOrDash(int value) { return value ? std::to_string(value) : "-"; }

void OnInterrupt(int) { PhaseRunner::RequestInterrupt(); }

// An interrupt stops the job's nodes in order instead of killing the runner.
void CatchInterrupts() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void PrintLine(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// The job's summary: the information the module reported in its own words
// (how long each protected secondary was locked, for one).
void PrintSummary(int64_t jobId) {
    std::vector<JobEventRecord> events;
    if (JobStore::ListEvents(jobId, events)) return;
    for (const auto& e : events)
        if (e.kind == std::string(JobEventKind::Info) && e.messageId == 0 && !e.text.empty()) PrintLine("  " + e.text);
}

}  // namespace

int Run(const CommandLine& line) {
    JobRequest request;
    request.phase = line.Positionals()[0];
    request.client = line.Get("client");
    request.app = line.Get("app");
    request.args = line.PassedThrough();
    if (!request.app.empty() && !Registry::IsApplicationText(request.app))
        return Fail("run: invalid application [" + request.app + "] (want MARLEX:APP, e.g. 2:1)");
    if (request.client.empty()) {
        if (request.app.empty()) return Fail("run: give the coordinating client (--client) or an application (--app)");
        if (CZuError err = Registry::CoordinatingClientOf(request.app, request.client)) return Fail(ErrorText(err));
    }
    TWClient client;
    if (CZuError err = TWClient::ByName(request.client, client))
        return Fail("run: client " + request.client + " is not registered");
    if (line.Has("job") && !ParseJobId(line.Get("job"), request.jobId))
        return Fail("run: invalid job id [" + line.Get("job") + "]");
    if (line.Has("options")) {
        if (CZuError err = FXFile::ReadAll(line.Get("options"), request.optionsXml))
            return Fail("run: cannot read the options file " + line.Get("options") + ": " + ErrorText(err));
        CNMessageBase parsed;
        if (CZuError err = CNMessageBase::FromXml(request.optionsXml, parsed))
            return Fail("run: the options file is not a message: " + ErrorText(err));
    }
    ModuleLoader module;
    if (CZuError err = module.Load(line.Get("module", ModuleLoader::DefaultPath()))) return Fail(ErrorText(err));
    TWPI_PlatformBase::SetFocusClientName(request.client);

    CatchInterrupts();
    JobResult result;
    if (CZuError err = JobRunner(module, PrintLine).Run(request, result)) {
        std::string job = result.jobId ? "job " + std::to_string(result.jobId) + ": " : "";
        return Fail(job + ErrorText(err));
    }
    std::string id = std::to_string(result.jobId);
    PrintSummary(result.jobId);
    if (result.outcome == JobOutcome::Failed) return Fail("job " + id + " failed: " + result.reason);
    PrintLine("Job " + id + " " + result.outcome + (result.reason.empty() ? "" : ": " + result.reason));
    return kOk;
}

int Jobs(const CommandLine&) {
    std::vector<JobRecord> jobs;
    if (CZuError err = JobStore::ListJobs(jobs)) return Fail(ErrorText(err));
    if (jobs.empty()) {
        std::printf("No jobs yet (start one with: kaxrun run PHASE)\n");
        return kOk;
    }
    TextTable table({"Job", "Type", "Client", "Application", "Phase", "Status", "Started", "Ended"});
    for (const auto& j : jobs)
        table.AddRow({std::to_string(j.id), j.type, j.client, j.app.empty() ? "-" : j.app, j.phase, j.status,
                      FormatTime(j.startTime), FormatTime(j.endTime)});
    std::printf("%s", table.Render().c_str());
    return kOk;
}

int JobShow(const CommandLine& line) {
    int64_t id = 0;
    if (!ParseJobId(line.Positionals()[0], id)) return Fail("job show: invalid job id [" + line.Positionals()[0] + "]");
    JobRecord job;
    if (CZuError err = JobStore::GetJob(id, job))
        return Fail(err.GetErrorCode() == ZuCode::NotFound ? "there is no job " + std::to_string(id) : ErrorText(err));
    std::vector<JobPhaseRecord> phases;
    std::vector<JobEventRecord> events;
    if (CZuError err = JobStore::ListPhases(id, phases)) return Fail(ErrorText(err));
    if (CZuError err = JobStore::ListEvents(id, events)) return Fail(ErrorText(err));

    std::printf("Job %lld\n", (long long)job.id);
    TextTable summary({"Field", "Value"});
    summary.AddRow({"Type", job.type});
    summary.AddRow({"Client", job.client});
    summary.AddRow({"Application", job.app.empty() ? "-" : job.app});
    summary.AddRow({"Arguments", job.args.empty() ? "-" : job.args});
    summary.AddRow({"Status", job.status});
    if (!job.reason.empty()) summary.AddRow({"Reason", job.reason});
    summary.AddRow({"Started", FormatTime(job.startTime)});
    summary.AddRow({"Ended", FormatTime(job.endTime)});
    summary.AddRow({"Quit flag", job.quit ? "set" : "clear"});
    std::string nodes;
    if (App::MiscOptions::getMiscOption(id, JM_MULTINDOE_PARTICIPATEDNODES, nodes).IsSuccess())
        summary.AddRow({"Participating nodes", nodes});
    std::printf("%s", summary.Render().c_str());

    std::printf("\nPhases\n");
    TextTable phaseTable({"#", "Phase", "Outcome", "Status", "Detail", "Started", "Ended", "Reason"});
    for (const auto& p : phases)
        phaseTable.AddRow({std::to_string(p.seq), p.phase, p.outcome, NumberOrDash(p.phaseStatus),
                           NumberOrDash(p.statusDetail), FormatTime(p.startTime), FormatTime(p.endTime),
                           p.reason.empty() ? "-" : p.reason});
    std::printf("%s", phaseTable.Empty() ? "(none)\n" : phaseTable.Render().c_str());

    std::printf("\nPending causes\n");
    TextTable pending({"Time", "Message", "Arguments"});
    for (const auto& e : events)
        if (e.kind == std::string(JobEventKind::Pending))
            pending.AddRow({FormatTime(e.time), MessageId(e.messageId), Arguments(e)});
    std::printf("%s", pending.Empty() ? "(none)\n" : pending.Render().c_str());

    std::printf("\nEvents\n");
    TextTable eventTable({"Time", "Kind", "Message", "Details", "Raised by"});
    for (const auto& e : events)
        if (e.kind != std::string(JobEventKind::Pending))
            eventTable.AddRow({FormatTime(e.time), e.kind, MessageId(e.messageId), Arguments(e), e.process});
    std::printf("%s", eventTable.Empty() ? "(none)\n" : eventTable.Render().c_str());
    return kOk;
}

}  // namespace Cli
