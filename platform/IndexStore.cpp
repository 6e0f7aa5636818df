// The backup index in the state database.
//
// index_entries  one row per (job, view, path): the archive file it is
//                bound to, GUIDs, file header values, where the data is and
//                the record's metadata message.
// index_jobs     per job: the index's restart value and its completion.
#include "platform/IndexStore.h"

#include <cstdlib>
#include <ctime>

#include "platform/StateDb.h"

KAX_STATE_SCHEMA("index_entries",
                 "CREATE TABLE IF NOT EXISTS index_entries ("
                 " job_id INTEGER NOT NULL,"
                 " marlex_id INTEGER NOT NULL DEFAULT 0,"
                 " app_id INTEGER NOT NULL DEFAULT 0,"
                 " afile_id INTEGER NOT NULL DEFAULT 0,"
                 " afile_type TEXT NOT NULL DEFAULT 'SNAP',"
                 " view TEXT NOT NULL,"
                 " path TEXT NOT NULL,"
                 " guid TEXT NOT NULL DEFAULT '',"
                 " parent_guid TEXT NOT NULL DEFAULT '',"
                 " version_guid TEXT NOT NULL DEFAULT '',"
                 " is_dir INTEGER NOT NULL DEFAULT 0,"
                 " size INTEGER NOT NULL DEFAULT 0,"
                 " seq INTEGER NOT NULL DEFAULT 0,"
                 " attr1 INTEGER NOT NULL DEFAULT 0,"
                 " attr2 INTEGER NOT NULL DEFAULT 0,"
                 " source_path TEXT NOT NULL DEFAULT '',"
                 " metadata_xml TEXT NOT NULL DEFAULT '',"
                 " time INTEGER NOT NULL DEFAULT 0,"
                 " PRIMARY KEY (job_id, view, path))");
KAX_STATE_SCHEMA("index_jobs",
                 "CREATE TABLE IF NOT EXISTS index_jobs ("
                 " job_id INTEGER PRIMARY KEY,"
                 " restart_info INTEGER NOT NULL DEFAULT 0,"
                 " backup_done INTEGER NOT NULL DEFAULT 0)");

namespace {

using Row = StateDb::Row;

// Column readers of the state database.
constexpr auto Text = &StateDb::Text;
constexpr auto Int = &StateDb::Int;
std::string Num(int64_t value) { return std::to_string(value); }

// "/a/" -> "/a"; "/" stays.
std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

CZuError SetJobColumn(int64_t jobId, const char* column, int64_t value) {
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    CZuError err = db->Exec(std::string("INSERT INTO index_jobs (job_id, ") + column +
                                ") VALUES (?1, ?2) ON CONFLICT(job_id) DO UPDATE SET " + column +
                                " = excluded." + column,
                            {Num(jobId), Num(value)});
    return err.Push(FXLOC);
}

}  // namespace

CZuError IndexStore::AddEntry(const IndexEntry& e) {
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    const int64_t time = e.time ? e.time : int64_t(::time(nullptr));
    CZuError err = db->Exec(
        "INSERT OR REPLACE INTO index_entries (job_id, marlex_id, app_id, afile_id, afile_type, view,"
        " path, guid, parent_guid, version_guid, is_dir, size, seq, attr1, attr2, source_path,"
        " metadata_xml, time) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14,"
        " ?15, ?16, ?17, ?18)",
        {Num(e.jobId), Num(e.marlexId), Num(e.appId), Num(int64_t(e.archiveFileId)), e.archiveFileType, e.view,
         e.path, e.guid, e.parentGuid, e.versionGuid, Num(e.isDirectory ? 1 : 0), Num(e.size), Num(e.sequence),
         Num(e.attribute1), Num(e.attribute2), e.sourcePath, e.metadataXml, Num(time)});
    return err.Push(FXLOC, "Failed to add index entry [%s] of job %lld", e.path.c_str(), (long long)e.jobId);
}

CZuError IndexStore::ListEntries(int64_t jobId, const std::string& view, const std::string& pathPrefix,
                                 std::vector<IndexEntry>& entries) {
    entries.clear();
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    const std::string prefix = WithoutTrailingSlash(pathPrefix.empty() ? "/" : pathPrefix);
    std::vector<Row> rows;
    // A prefix matches itself and what lies below it, not "/ab" for "/a".
    CZuError err = db->Query(
        "SELECT job_id, marlex_id, app_id, afile_id, afile_type, view, path, guid, parent_guid,"
        " version_guid, is_dir, size, seq, attr1, attr2, source_path, metadata_xml, time"
        " FROM index_entries WHERE job_id = ?1 AND view = ?2"
        " AND (?3 = '/' OR path = ?3 OR substr(path, 1, length(?3) + 1) = ?3 || '/')"
        " ORDER BY path",
        {Num(jobId), view, prefix}, rows);
    if (err) return err.Push(FXLOC);
    for (const Row& r : rows) {
        IndexEntry e;
        e.jobId = Int(r, 0);
        e.marlexId = uint32_t(Int(r, 1));
        e.appId = uint32_t(Int(r, 2));
        e.archiveFileId = uint64_t(Int(r, 3));
        e.archiveFileType = Text(r, 4);
        e.view = Text(r, 5);
        e.path = Text(r, 6);
        e.guid = Text(r, 7);
        e.parentGuid = Text(r, 8);
        e.versionGuid = Text(r, 9);
        e.isDirectory = Int(r, 10) != 0;
        e.size = Int(r, 11);
        e.sequence = Int(r, 12);
        e.attribute1 = uint32_t(Int(r, 13));
        e.attribute2 = uint32_t(Int(r, 14));
        e.sourcePath = Text(r, 15);
        e.metadataXml = Text(r, 16);
        e.time = Int(r, 17);
        entries.push_back(std::move(e));
    }
    return {};
}

CZuError IndexStore::LatestJobWithView(uint32_t marlexId, uint32_t appId, const std::string& view,
                                       int64_t toTime, int64_t& jobId) {
    jobId = 0;
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    std::vector<Row> rows;
    CZuError err = db->Query(
        "SELECT job_id FROM index_entries WHERE marlex_id = ?1 AND app_id = ?2 AND view = ?3"
        " GROUP BY job_id HAVING CAST(?4 AS INTEGER) = 0 OR min(time) <= CAST(?4 AS INTEGER) ORDER BY job_id DESC LIMIT 1",
        {Num(marlexId), Num(appId), view, Num(toTime)}, rows);
    if (err) return err.Push(FXLOC);
    if (!rows.empty()) jobId = Int(rows[0], 0);
    return {};
}

CZuError IndexStore::SetRestartInfo(int64_t jobId, int64_t value) {
    CZuError err = SetJobColumn(jobId, "restart_info", value);
    return err.Push(FXLOC);
}

CZuError IndexStore::SetBackupDone(int64_t jobId, int value) {
    CZuError err = SetJobColumn(jobId, "backup_done", value);
    return err.Push(FXLOC);
}

CZuError IndexStore::GetIndexState(int64_t jobId, int64_t& restartInfo, int& backupDone) {
    restartInfo = 0;
    backupDone = 0;
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    std::vector<Row> rows;
    if (CZuError err = db->Query("SELECT restart_info, backup_done FROM index_jobs WHERE job_id = ?1",
                                 {Num(jobId)}, rows))
        return err.Push(FXLOC);
    if (!rows.empty()) {
        restartInfo = Int(rows[0], 0);
        backupDone = int(Int(rows[0], 1));
    }
    return {};
}
