// The archive manager on one machine: archive files in the state database;
// the data mover and storage policy are the subclient's properties.
//
// archive_files  one row per archive file: its job, writer client, whether
//                it holds snapshot data, and the next record identifier.
#include "host/ArchiveManager.h"

#include <cstdlib>
#include <ctime>

#include "host/Subclient.h"
#include "platform/StateDb.h"

KAX_STATE_SCHEMA("archive_files",
                 "CREATE TABLE IF NOT EXISTS archive_files ("
                 " afile_id INTEGER PRIMARY KEY AUTOINCREMENT,"
                 " job_id INTEGER NOT NULL,"
                 " marlex_id INTEGER NOT NULL DEFAULT 0,"
                 " client_id INTEGER NOT NULL DEFAULT 0,"
                 " create_time INTEGER NOT NULL DEFAULT 0,"
                 " is_snap INTEGER NOT NULL DEFAULT 0,"
                 " next_id INTEGER NOT NULL DEFAULT 1)");

namespace {
std::string Num(int64_t value) { return std::to_string(value); }
int64_t Int(const StateDb::Row& row, size_t column) {
    return column < row.size() && row[column] ? std::strtoll(row[column]->c_str(), nullptr, 10) : 0;
}
}  // namespace

CZuError ArMgrClientAPI::createArchiveFile(ArchiveFileInfo& afile) {
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    if (afile.creationTime == 0) afile.creationTime = int64_t(::time(nullptr));
    int64_t id = 0;
    CZuError err = db->Insert(
        "INSERT INTO archive_files (job_id, marlex_id, client_id, create_time, is_snap, next_id)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
        {Num(afile.jobId), Num(afile.marlexId), Num(int64_t(afile.clientId)), Num(afile.creationTime),
         Num(afile.isSnapshotData ? 1 : 0), Num(afile.nextIdentifier)},
        id);
    if (err) return err.Push(FXLOC, "Failed to create an archive file for job %lld", (long long)afile.jobId);
    afile.archiveFileId = uint64_t(id);
    return {};
}

CZuError ArMgrClientAPI::getArchFileListForJob(uint32_t marlexId, int64_t jobId, std::vector<ArchiveFileInfo>& files) {
    files.clear();
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    std::vector<StateDb::Row> rows;
    // Marlex id 0 on either side matches any: callers that do not know it still find the job's files.
    CZuError err = db->Query(
        "SELECT afile_id, job_id, marlex_id, client_id, create_time, is_snap, next_id FROM archive_files"
        " WHERE job_id = ?1 AND (CAST(?2 AS INTEGER) = 0 OR marlex_id = 0 OR marlex_id = ?2) ORDER BY afile_id",
        {Num(jobId), Num(marlexId)}, rows);
    if (err) return err.Push(FXLOC);
    for (const auto& r : rows) {
        ArchiveFileInfo f;
        f.archiveFileId = uint64_t(Int(r, 0));
        f.jobId = Int(r, 1);
        f.marlexId = uint32_t(Int(r, 2));
        f.clientId = uint64_t(Int(r, 3));
        f.creationTime = Int(r, 4);
        f.isSnapshotData = Int(r, 5) != 0;
        f.nextIdentifier = Int(r, 6);
        files.push_back(f);
    }
    return {};
}

int ArMgrClientAPI::setStoragePolicyByRegion(int64_t, uint32_t marlexId, uint64_t, uint32_t appId, int,
                                             int& newPolicyId, bool& changed) {
    changed = false;
    TWSubclient subclient;
    if (TWSubclient::Get(marlexId, appId, subclient)) return 1;
    newPolicyId = subclient.storagePolicyId;
    return 0;
}

CZuError ArMgrClientAPI::getFerrant(uint32_t marlexId, uint32_t appId, int, std::string& ferrant) {
    TWSubclient subclient;
    if (CZuError err = TWSubclient::Get(marlexId, appId, subclient)) return err.Push(FXLOC);
    if (subclient.ferrant.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "subclient [%u:%u] has no data mover", marlexId,
                                       appId);
    ferrant = subclient.ferrant;
    return {};
}
