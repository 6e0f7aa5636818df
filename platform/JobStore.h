#pragma once
// The job manager's records in the state database: jobs, their phases, their
// events and pending causes, misc options and the parameters later phases
// get. The job clients (host/JobClient.h) and the job runner read and write
// jobs only through this class.
#include <cstdint>
#include <string>
#include <vector>

#include "host/ZuError.h"

// Outcome texts of jobs and phases.
namespace JobOutcome {
inline constexpr const char* Running = "Running";
inline constexpr const char* Completed = "Completed";
inline constexpr const char* CompletedWithErrors = "Completed with errors";
inline constexpr const char* Failed = "Failed";
}  // namespace JobOutcome

// Kinds of job events.
namespace JobEventKind {
inline constexpr const char* Pending = "pending";  // a pending cause (why the job needs attention)
inline constexpr const char* Major = "major";
inline constexpr const char* Info = "info";
inline constexpr const char* Error = "error";      // a failure the framework saw
}  // namespace JobEventKind

struct JobRecord {
    int64_t id = 0;
    std::string type;    // the first phase the operator ran
    std::string client;  // the coordinating client
    std::string app;     // "<marlex id>:<application id>", or ""
    std::string args;    // the job's base arguments, as one line
    std::string status = JobOutcome::Running;
    std::string reason;  // why it failed, "" otherwise
    std::string phase;   // the phase running or run last
    bool quit = false;
    int64_t startTime = 0;  // seconds since the epoch
    int64_t endTime = 0;    // 0 while running
};

struct JobPhaseRecord {
    int64_t jobId = 0;
    int seq = 0;  // 1, 2, ... in the order the phases ran
    std::string phase;
    std::string args;
    std::string outcome = JobOutcome::Running;
    int phaseStatus = 0;   // the coordinator's phase status (0 = not set)
    int statusDetail = 0;  // the coordinator's status detail
    std::string reason;
    int64_t startTime = 0;
    int64_t endTime = 0;
};

struct JobEventRecord {
    int64_t id = 0;
    int64_t jobId = 0;
    int64_t time = 0;
    std::string kind = JobEventKind::Info;
    uint32_t messageId = 0;  // 0 when the event has no catalogue id
    std::vector<std::string> arguments;
    std::string text;     // free text, or the framework parameters of a pending cause
    std::string process;  // the process that raised it
};

// Text fields of a job that the job clients read and write.
enum class JobText { RestartString, XmlBlob, OptionsXml };

class JobStore {
public:
    // Adds the job; sets id and start time. The status starts as Running.
    static CZuError CreateJob(JobRecord& job);
    // Error 1168 when there is no such job.
    static CZuError GetJob(int64_t jobId, JobRecord& job);
    // Every job, newest first.
    static CZuError ListJobs(std::vector<JobRecord>& jobs);
    static CZuError FinishJob(int64_t jobId, const std::string& outcome, const std::string& reason);

    // Records that `phase` starts on the job; `seq` numbers it.
    static CZuError BeginPhase(int64_t jobId, const std::string& phase, const std::string& args,
                               int& seq);
    // Stores the outcome, statuses and reason of a phase begun with BeginPhase.
    static CZuError EndPhase(const JobPhaseRecord& phase);
    static CZuError ListPhases(int64_t jobId, std::vector<JobPhaseRecord>& phases);

    // Sets time and process when they are not given. Error 1168 for no such job.
    static CZuError AddEvent(JobEventRecord event);
    // Oldest first.
    static CZuError ListEvents(int64_t jobId, std::vector<JobEventRecord>& events);

    static CZuError GetText(int64_t jobId, JobText field, std::string& value);
    static CZuError SetText(int64_t jobId, JobText field, const std::string& value);
    static CZuError GetQuit(int64_t jobId, bool& quit);
    static CZuError SetQuit(int64_t jobId, bool quit);

    // Error 1168 when the option is not set.
    static CZuError GetMiscOption(int64_t jobId, int optionId, std::string& value);
    static CZuError SetMiscOption(int64_t jobId, int optionId, const std::string& value);

    // Parameters for the job's phase number `phaseNo` (2 = post-operation).
    static CZuError AppendPhaseParams(int64_t jobId, int phaseNo, const std::string& params);
    // "" when none were given.
    static CZuError GetPhaseParams(int64_t jobId, int phaseNo, std::string& params);
    static CZuError SetPostOpRequested(int64_t jobId, bool requested);
    static CZuError GetPostOpRequested(int64_t jobId, bool& requested);
};
