// Job manager records in the state database.
//
// jobs              one row per job: what was run, by which client, its
//                   outcome, and the values the job clients keep between
//                   phases (restart string, XML blob, quit flag, post-op
//                   request).
// job_phases        one row per phase run, with the coordinator's phase
//                   status and detail and the runner's outcome.
// job_events        events and pending causes, arguments as a JSON array.
// job_misc_options  (job, option id) -> text.
// job_phase_params  parameters later phases of the job get (phase 2 = post-op).
#include "platform/JobStore.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>

#include "host/Platform.h"
#include "platform/StateDb.h"

KAX_STATE_SCHEMA("jobs",
                 "CREATE TABLE IF NOT EXISTS jobs ("
                 " job_id INTEGER PRIMARY KEY AUTOINCREMENT,"
                 " type TEXT NOT NULL,"
                 " client TEXT NOT NULL DEFAULT '',"
                 " app TEXT NOT NULL DEFAULT '',"
                 " args TEXT NOT NULL DEFAULT '',"
                 " status TEXT NOT NULL DEFAULT 'Running',"
                 " reason TEXT NOT NULL DEFAULT '',"
                 " phase TEXT NOT NULL DEFAULT '',"
                 " options_xml TEXT NOT NULL DEFAULT '',"
                 " restart_string TEXT NOT NULL DEFAULT '',"
                 " xml_blob TEXT NOT NULL DEFAULT '',"
                 " quit_flag INTEGER NOT NULL DEFAULT 0,"
                 " post_op_requested INTEGER NOT NULL DEFAULT 0,"
                 " start_time INTEGER NOT NULL DEFAULT 0,"
                 " end_time INTEGER NOT NULL DEFAULT 0)");
KAX_STATE_SCHEMA("job_phases",
                 "CREATE TABLE IF NOT EXISTS job_phases ("
                 " job_id INTEGER NOT NULL,"
                 " seq INTEGER NOT NULL,"
                 " phase TEXT NOT NULL,"
                 " args TEXT NOT NULL DEFAULT '',"
                 " outcome TEXT NOT NULL DEFAULT 'Running',"
                 " phase_status INTEGER NOT NULL DEFAULT 0,"
                 " status_detail INTEGER NOT NULL DEFAULT 0,"
                 " reason TEXT NOT NULL DEFAULT '',"
                 " start_time INTEGER NOT NULL DEFAULT 0,"
                 " end_time INTEGER NOT NULL DEFAULT 0,"
                 " PRIMARY KEY (job_id, seq))");
KAX_STATE_SCHEMA("job_events",
                 "CREATE TABLE IF NOT EXISTS job_events ("
                 " event_id INTEGER PRIMARY KEY AUTOINCREMENT,"
                 " job_id INTEGER NOT NULL,"
                 " time INTEGER NOT NULL,"
                 " kind TEXT NOT NULL,"
                 " message_id INTEGER NOT NULL DEFAULT 0,"
                 " arguments TEXT NOT NULL DEFAULT '[]',"
                 " text TEXT NOT NULL DEFAULT '',"
                 " process TEXT NOT NULL DEFAULT '')");
KAX_STATE_SCHEMA("job_misc_options",
                 "CREATE TABLE IF NOT EXISTS job_misc_options ("
                 " job_id INTEGER NOT NULL,"
                 " option_id INTEGER NOT NULL,"
                 " value TEXT NOT NULL,"
                 " PRIMARY KEY (job_id, option_id))");
KAX_STATE_SCHEMA("job_phase_params",
                 "CREATE TABLE IF NOT EXISTS job_phase_params ("
                 " job_id INTEGER NOT NULL,"
                 " phase_no INTEGER NOT NULL,"
                 " params TEXT NOT NULL,"
                 " PRIMARY KEY (job_id, phase_no))");

namespace {

using Row = StateDb::Row;

// Column readers of the state database.
constexpr auto Text = &StateDb::Text;
constexpr auto Int = &StateDb::Int;


std::string Num(int64_t value) { return std::to_string(value); }

CZuError Db(StateDb*& db) {
    CZuError err = StateDb::Get(db);
    return err.Push(FXLOC);
}

CZuError QueryRows(const std::string& sql, const StateDb::Params& params, std::vector<Row>& rows) {
    StateDb* db = nullptr;
    if (CZuError err = Db(db)) return err.Push(FXLOC);
    CZuError err = db->Query(sql, params, rows);
    return err.Push(FXLOC);
}

// Runs an update of one job's row; 1168 when the job does not exist.
CZuError UpdateJob(int64_t jobId, const std::string& assignments, StateDb::Params params) {
    StateDb* db = nullptr;
    if (CZuError err = Db(db)) return err.Push(FXLOC);
    params.insert(params.begin(), Num(jobId));
    int64_t changes = 0;
    if (CZuError err = db->Exec("UPDATE jobs SET " + assignments + " WHERE job_id = ?1", params,
                                &changes))
        return err.Push(FXLOC);
    if (changes == 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "no job %lld", (long long)jobId);
    return {};
}

// The one column of a job's row; 1168 when the job does not exist.
CZuError JobColumn(int64_t jobId, const char* column, std::string& value) {
    std::vector<Row> rows;
    if (CZuError err = QueryRows(std::string("SELECT ") + column + " FROM jobs WHERE job_id = ?1",
                                 {Num(jobId)}, rows))
        return err.Push(FXLOC);
    if (rows.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "no job %lld", (long long)jobId);
    value = Text(rows[0], 0);
    return {};
}

CZuError RequireJob(int64_t jobId) {
    std::string id;
    CZuError err = JobColumn(jobId, "job_id", id);
    return err.Push(FXLOC);
}

const char* ColumnOf(JobText field) {
    switch (field) {
        case JobText::RestartString: return "restart_string";
        case JobText::XmlBlob: return "xml_blob";
        case JobText::OptionsXml: return "options_xml";
    }
    return "restart_string";
}

const char* kJobColumns =
    "job_id, type, client, app, args, status, reason, phase, quit_flag, start_time, end_time";

JobRecord JobFromRow(const Row& row) {
    JobRecord job;
    job.id = Int(row, 0);
    job.type = Text(row, 1);
    job.client = Text(row, 2);
    job.app = Text(row, 3);
    job.args = Text(row, 4);
    job.status = Text(row, 5);
    job.reason = Text(row, 6);
    job.phase = Text(row, 7);
    job.quit = Int(row, 8) != 0;
    job.startTime = Int(row, 9);
    job.endTime = Int(row, 10);
    return job;
}

std::string ProcessLabel() {
    std::string focus = TWPI_Focus::getFocusClientName();
    return "pid " + std::to_string(getpid()) + (focus.empty() ? "" : " on " + focus);
}

}  // namespace

CZuError JobStore::CreateJob(JobRecord& job) {
    StateDb* db = nullptr;
    if (CZuError err = Db(db)) return err.Push(FXLOC);
    job.startTime = std::time(nullptr);
    job.endTime = 0;
    job.status = JobOutcome::Running;
    int64_t id = 0;
    if (CZuError err = db->Insert(
            "INSERT INTO jobs (type, client, app, args, status, phase, start_time)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
            {job.type, job.client, job.app, job.args, job.status, job.phase, Num(job.startTime)}, id))
        return err.Push(FXLOC);
    job.id = id;
    return {};
}

CZuError JobStore::GetJob(int64_t jobId, JobRecord& job) {
    std::vector<Row> rows;
    if (CZuError err = QueryRows(std::string("SELECT ") + kJobColumns + " FROM jobs WHERE job_id = ?1",
                                 {Num(jobId)}, rows))
        return err.Push(FXLOC);
    if (rows.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "no job %lld", (long long)jobId);
    job = JobFromRow(rows[0]);
    return {};
}

CZuError JobStore::ListJobs(std::vector<JobRecord>& jobs) {
    std::vector<Row> rows;
    if (CZuError err = QueryRows(std::string("SELECT ") + kJobColumns + " FROM jobs ORDER BY job_id DESC",
                                 {}, rows))
        return err.Push(FXLOC);
    jobs.clear();
    for (const auto& row : rows) jobs.push_back(JobFromRow(row));
    return {};
}

CZuError JobStore::FinishJob(int64_t jobId, const std::string& outcome, const std::string& reason) {
    CZuError err = UpdateJob(jobId, "status = ?2, reason = ?3, end_time = ?4",
                             {outcome, reason, Num(std::time(nullptr))});
    return err.Push(FXLOC);
}

CZuError JobStore::BeginPhase(int64_t jobId, const std::string& phase, const std::string& args,
                              int& seq) {
    StateDb* db = nullptr;
    if (CZuError err = Db(db)) return err.Push(FXLOC);
    return db->Transaction([&]() -> CZuError {
        std::vector<Row> rows;
        if (CZuError err = db->Query("SELECT COALESCE(MAX(seq), 0) + 1 FROM job_phases WHERE job_id = ?1",
                                     {Num(jobId)}, rows))
            return err.Push(FXLOC);
        seq = int(Int(rows.at(0), 0));
        if (CZuError err = UpdateJob(jobId, "phase = ?2, status = ?3, reason = ''",
                                     {phase, JobOutcome::Running}))
            return err.Push(FXLOC);
        CZuError err = db->Exec(
            "INSERT INTO job_phases (job_id, seq, phase, args, outcome, start_time)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
            {Num(jobId), Num(seq), phase, args, JobOutcome::Running, Num(std::time(nullptr))});
        return err.Push(FXLOC);
    });
}

CZuError JobStore::EndPhase(const JobPhaseRecord& phase) {
    StateDb* db = nullptr;
    if (CZuError err = Db(db)) return err.Push(FXLOC);
    int64_t changes = 0;
    if (CZuError err = db->Exec(
            "UPDATE job_phases SET outcome = ?3, phase_status = ?4, status_detail = ?5, reason = ?6,"
            " end_time = ?7 WHERE job_id = ?1 AND seq = ?2",
            {Num(phase.jobId), Num(phase.seq), phase.outcome, Num(phase.phaseStatus),
             Num(phase.statusDetail), phase.reason, Num(std::time(nullptr))},
            &changes))
        return err.Push(FXLOC);
    if (changes == 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "no phase %d of job %lld", phase.seq,
                                       (long long)phase.jobId);
    return {};
}

CZuError JobStore::ListPhases(int64_t jobId, std::vector<JobPhaseRecord>& phases) {
    std::vector<Row> rows;
    if (CZuError err = QueryRows(
            "SELECT job_id, seq, phase, args, outcome, phase_status, status_detail, reason,"
            " start_time, end_time FROM job_phases WHERE job_id = ?1 ORDER BY seq",
            {Num(jobId)}, rows))
        return err.Push(FXLOC);
    phases.clear();
    for (const auto& row : rows) {
        JobPhaseRecord p;
        p.jobId = Int(row, 0);
        p.seq = int(Int(row, 1));
        p.phase = Text(row, 2);
        p.args = Text(row, 3);
        p.outcome = Text(row, 4);
        p.phaseStatus = int(Int(row, 5));
        p.statusDetail = int(Int(row, 6));
        p.reason = Text(row, 7);
        p.startTime = Int(row, 8);
        p.endTime = Int(row, 9);
        phases.push_back(std::move(p));
    }
    return {};
}

CZuError JobStore::AddEvent(JobEventRecord event) {
    StateDb* db = nullptr;
    if (CZuError err = Db(db)) return err.Push(FXLOC);
    if (event.time == 0) event.time = std::time(nullptr);
    if (event.process.empty()) event.process = ProcessLabel();
    if (CZuError err = RequireJob(event.jobId)) return err.Push(FXLOC);
    int64_t id = 0;
    CZuError err = db->Insert(
        "INSERT INTO job_events (job_id, time, kind, message_id, arguments, text, process)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
        {Num(event.jobId), Num(event.time), event.kind, Num(event.messageId),
         nlohmann::json(event.arguments).dump(), event.text, event.process},
        id);
    return err.Push(FXLOC);
}

CZuError JobStore::ListEvents(int64_t jobId, std::vector<JobEventRecord>& events) {
    std::vector<Row> rows;
    if (CZuError err = QueryRows(
            "SELECT event_id, job_id, time, kind, message_id, arguments, text, process"
            " FROM job_events WHERE job_id = ?1 ORDER BY event_id",
            {Num(jobId)}, rows))
        return err.Push(FXLOC);
    events.clear();
    for (const auto& row : rows) {
        JobEventRecord e;
        e.id = Int(row, 0);
        e.jobId = Int(row, 1);
        e.time = Int(row, 2);
        e.kind = Text(row, 3);
        e.messageId = uint32_t(Int(row, 4));
        nlohmann::json args = nlohmann::json::parse(Text(row, 5), nullptr, false);
        if (args.is_array())
            for (const auto& a : args)
                if (a.is_string()) e.arguments.push_back(a.get<std::string>());
        e.text = Text(row, 6);
        e.process = Text(row, 7);
        events.push_back(std::move(e));
    }
    return {};
}

CZuError JobStore::GetText(int64_t jobId, JobText field, std::string& value) {
    CZuError err = JobColumn(jobId, ColumnOf(field), value);
    return err.Push(FXLOC);
}

CZuError JobStore::SetText(int64_t jobId, JobText field, const std::string& value) {
    CZuError err = UpdateJob(jobId, std::string(ColumnOf(field)) + " = ?2", {value});
    return err.Push(FXLOC);
}

CZuError JobStore::GetQuit(int64_t jobId, bool& quit) {
    std::string value;
    if (CZuError err = JobColumn(jobId, "quit_flag", value)) return err.Push(FXLOC);
    quit = value != "0" && !value.empty();
    return {};
}

CZuError JobStore::SetQuit(int64_t jobId, bool quit) {
    CZuError err = UpdateJob(jobId, "quit_flag = ?2", {Num(quit ? 1 : 0)});
    return err.Push(FXLOC);
}

CZuError JobStore::GetMiscOption(int64_t jobId, int optionId, std::string& value) {
    std::vector<Row> rows;
    if (CZuError err = QueryRows("SELECT value FROM job_misc_options WHERE job_id = ?1 AND option_id = ?2",
                                 {Num(jobId), Num(optionId)}, rows))
        return err.Push(FXLOC);
    if (rows.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "job %lld has no misc option %d",
                                       (long long)jobId, optionId);
    value = Text(rows[0], 0);
    return {};
}

CZuError JobStore::SetMiscOption(int64_t jobId, int optionId, const std::string& value) {
    StateDb* db = nullptr;
    if (CZuError err = Db(db)) return err.Push(FXLOC);
    if (CZuError err = RequireJob(jobId)) return err.Push(FXLOC);
    CZuError err = db->Exec(
        "INSERT INTO job_misc_options (job_id, option_id, value) VALUES (?1, ?2, ?3)"
        " ON CONFLICT (job_id, option_id) DO UPDATE SET value = excluded.value",
        {Num(jobId), Num(optionId), value});
    return err.Push(FXLOC);
}

CZuError JobStore::AppendPhaseParams(int64_t jobId, int phaseNo, const std::string& params) {
    StateDb* db = nullptr;
    if (CZuError err = Db(db)) return err.Push(FXLOC);
    if (CZuError err = RequireJob(jobId)) return err.Push(FXLOC);
    CZuError err = db->Exec(
        "INSERT INTO job_phase_params (job_id, phase_no, params) VALUES (?1, ?2, ?3)"
        " ON CONFLICT (job_id, phase_no) DO UPDATE SET params = params || ' ' || excluded.params",
        {Num(jobId), Num(phaseNo), params});
    return err.Push(FXLOC);
}

CZuError JobStore::GetPhaseParams(int64_t jobId, int phaseNo, std::string& params) {
    std::vector<Row> rows;
    if (CZuError err = QueryRows("SELECT params FROM job_phase_params WHERE job_id = ?1 AND phase_no = ?2",
                                 {Num(jobId), Num(phaseNo)}, rows))
        return err.Push(FXLOC);
    params = rows.empty() ? std::string() : Text(rows[0], 0);
    return {};
}

CZuError JobStore::SetPostOpRequested(int64_t jobId, bool requested) {
    CZuError err = UpdateJob(jobId, "post_op_requested = ?2", {Num(requested ? 1 : 0)});
    return err.Push(FXLOC);
}

CZuError JobStore::GetPostOpRequested(int64_t jobId, bool& requested) {
    std::string value;
    if (CZuError err = JobColumn(jobId, "post_op_requested", value)) return err.Push(FXLOC);
    requested = value != "0" && !value.empty();
    return {};
}
