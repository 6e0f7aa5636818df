// The snapshot engine on one machine: a snapshot is a copy of the volume in
// "<state root>/snapstore/afile_<archive file id>".
//
// snapshots  one row per volume snapshot: job, attempt, source client and
//            path, where the copy is, its mount state and copy figures. On
//            this machine a volume has exactly one snapshot, so volume_id
//            equals snapshot_id.
#include "host/SnapshotEngine.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "host/ArchiveManager.h"
#include "host/Files.h"
#include "host/LogWriter.h"
#include "host/Platform.h"
#include "platform/StateDb.h"
#include "platform/TreeCopy.h"

KAX_STATE_SCHEMA("snapshots",
                 "CREATE TABLE IF NOT EXISTS snapshots ("
                 " snapshot_id INTEGER PRIMARY KEY AUTOINCREMENT,"
                 " volume_id INTEGER NOT NULL DEFAULT 0,"
                 " job_id INTEGER NOT NULL,"
                 " attempt INTEGER NOT NULL DEFAULT 0,"
                 " marlex_id INTEGER NOT NULL DEFAULT 0,"
                 " afile_id INTEGER NOT NULL DEFAULT 0,"
                 " src_client_id INTEGER NOT NULL DEFAULT 0,"
                 " src_path TEXT NOT NULL,"
                 " store_path TEXT NOT NULL,"
                 " mount_path TEXT NOT NULL DEFAULT '',"
                 " mount_status INTEGER NOT NULL DEFAULT 39,"
                 " status INTEGER NOT NULL DEFAULT 1,"
                 " volume_status INTEGER NOT NULL DEFAULT 1,"
                 " create_time INTEGER NOT NULL DEFAULT 0,"
                 " files INTEGER NOT NULL DEFAULT 0,"
                 " bytes INTEGER NOT NULL DEFAULT 0,"
                 " copy_ms INTEGER NOT NULL DEFAULT 0)");

namespace {

using Row = StateDb::Row;

std::string Num(int64_t value) { return std::to_string(value); }

const char* kColumns =
    "snapshot_id, volume_id, job_id, attempt, marlex_id, afile_id, src_client_id, src_path, store_path,"
    " mount_path, mount_status, status, volume_status, create_time, files, bytes, copy_ms";

VolumeSnapshot FromRow(const Row& r) {
    VolumeSnapshot s;
    s.snapshotId = StateDb::Int(r, 0);
    s.volumeId = StateDb::Int(r, 1);
    s.jobId = StateDb::Int(r, 2);
    s.attempt = int(StateDb::Int(r, 3));
    s.marlexId = uint32_t(StateDb::Int(r, 4));
    s.archiveFileId = uint64_t(StateDb::Int(r, 5));
    s.srcClientId = uint64_t(StateDb::Int(r, 6));
    s.srcPath = StateDb::Text(r, 7);
    s.storePath = StateDb::Text(r, 8);
    s.mountPath = StateDb::Text(r, 9);
    s.mountStatus = int(StateDb::Int(r, 10));
    s.status = int(StateDb::Int(r, 11));
    s.volumeStatus = int(StateDb::Int(r, 12));
    s.createTime = StateDb::Int(r, 13);
    s.files = uint64_t(StateDb::Int(r, 14));
    s.bytes = uint64_t(StateDb::Int(r, 15));
    s.copyMilliseconds = uint64_t(StateDb::Int(r, 16));
    return s;
}

// The copy's store, as a physical path: a volume that contains the state
// root must not copy the store into itself.
CZuError StoreRoot(std::string& root) {
    root = SnapshotEngine::GetStoreRoot();
    if (CZuError err = CZuDirectory::Create(root, 0700))
        return err.Push(FXLOC, "cannot create the snapshot store [%s]", root.c_str());
    char resolved[PATH_MAX];
    if (::realpath(root.c_str(), resolved)) root = resolved;
    return {};
}

CZuError LoadSnapshot(int64_t snapshotId, VolumeSnapshot& out) {
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    std::vector<Row> rows;
    if (CZuError err = db->Query(std::string("SELECT ") + kColumns + " FROM snapshots WHERE snapshot_id = ?1",
                                 {Num(snapshotId)}, rows))
        return err.Push(FXLOC);
    if (rows.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "no snapshot %lld", (long long)snapshotId);
    out = FromRow(rows[0]);
    return {};
}

CZuError SetMount(VolumeSnapshot& snapshot, const std::string& mountPath, int status) {
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    int64_t changes = 0;
    if (CZuError err = db->Exec("UPDATE snapshots SET mount_path = ?2, mount_status = ?3 WHERE snapshot_id = ?1",
                                {Num(snapshot.snapshotId), mountPath, Num(status)}, &changes))
        return err.Push(FXLOC);
    if (changes == 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "no snapshot %lld",
                                       (long long)snapshot.snapshotId);
    snapshot.mountPath = mountPath;
    snapshot.mountStatus = status;
    return {};
}

// Removes a snapshot's copy, its record, its archive file and the index
// entries bound to that archive file.
CZuError DeleteOne(const VolumeSnapshot& s) {
    std::string store;
    if (CZuError err = StoreRoot(store)) return err.Push(FXLOC);
    // Only ever remove trees of the store: a damaged record must not point
    // the removal anywhere else.
    if (FXPath::IsAncestorOrSame(store, s.storePath) && FXPath::Normalize(s.storePath) != FXPath::Normalize(store)) {
        if (CZuError err = CZuDirectory::RemoveTree(s.storePath))
            return err.Push(FXLOC, "cannot remove the copy [%s] of snapshot %lld", s.storePath.c_str(),
                            (long long)s.snapshotId);
    } else {
        ZULOG_ERROR("Snapshot %lld names a copy [%s] outside the store [%s]; only its record is removed",
                    (long long)s.snapshotId, s.storePath.c_str(), store.c_str());
    }
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    CZuError err = db->Transaction([&]() -> CZuError {
        if (CZuError e = db->Exec("DELETE FROM snapshots WHERE snapshot_id = ?1", {Num(s.snapshotId)}))
            return e.Push(FXLOC);
        if (CZuError e = db->Exec("DELETE FROM index_entries WHERE job_id = ?1 AND afile_id = ?2",
                                  {Num(s.jobId), Num(int64_t(s.archiveFileId))}))
            return e.Push(FXLOC);
        CZuError e = db->Exec("DELETE FROM archive_files WHERE afile_id = ?1", {Num(int64_t(s.archiveFileId))});
        return e.Push(FXLOC);
    });
    if (err) return err.Push(FXLOC);
    ZULOG_NORMAL("Deleted snapshot %lld of [%s] (job %lld attempt %d, archive file %llu)", (long long)s.snapshotId,
                 s.srcPath.c_str(), (long long)s.jobId, s.attempt, (unsigned long long)s.archiveFileId);
    return {};
}

}  // namespace

std::string SnapshotEngine::GetStoreRoot() { return FXPath::Join(TWPI_PlatformBase::GetStateRoot(), "snapstore"); }

CZuError SnapshotEngine::CreateSnapshot(VolumeSnapshot& request, const SnapshotStopCheck& stop) {
    if (request.jobId <= 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "a snapshot needs a job id");
    if (request.srcPath.empty() || !FXFile::Exists(request.srcPath))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "the volume [%s] does not exist",
                                       request.srcPath.c_str());
    std::string store;
    if (CZuError err = StoreRoot(store)) return err.Push(FXLOC);
    static std::atomic<unsigned> s_counter{0};
    const std::string scratch =
        FXPath::Join(store, "partial-" + std::to_string(::getpid()) + "-" + std::to_string(++s_counter));

    TreeCopyStats stats;
    const auto start = std::chrono::steady_clock::now();
    CZuError err = TreeCopy::Copy(request.srcPath, scratch, store, stop, stats);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (err) {
        CZuDirectory::RemoveTree(scratch);
        FXFile::Delete(scratch);
        return err.Push(FXLOC, "Failed to snapshot the volume [%s]", request.srcPath.c_str());
    }

    ArchiveFileInfo afile;
    afile.jobId = request.jobId;
    afile.marlexId = request.marlexId;
    afile.clientId = request.srcClientId;
    afile.isSnapshotData = true;
    if ((err = ArMgrClientAPI::createArchiveFile(afile))) {
        CZuDirectory::RemoveTree(scratch);
        return err.Push(FXLOC);
    }
    VolumeSnapshot s = request;
    s.archiveFileId = afile.archiveFileId;
    s.storePath = FXPath::Join(store, "afile_" + std::to_string(afile.archiveFileId));
    s.mountPath.clear();
    s.mountStatus = SnapMountStatus::Available;
    s.createTime = int64_t(::time(nullptr));
    s.files = stats.files;
    s.bytes = stats.bytes;
    s.copyMilliseconds = uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    if ((err = FXFile::Move(scratch, s.storePath))) {
        CZuDirectory::RemoveTree(scratch);
        DeleteOne(s);
        return err.Push(FXLOC, "cannot move the copy of [%s] into place", request.srcPath.c_str());
    }

    StateDb* db = nullptr;
    if (!(err = StateDb::Get(db)))
        err = db->Transaction([&]() -> CZuError {
            int64_t id = 0;
            if (CZuError e = db->Insert(
                    "INSERT INTO snapshots (job_id, attempt, marlex_id, afile_id, src_client_id, src_path,"
                    " store_path, mount_status, status, volume_status, create_time, files, bytes, copy_ms)"
                    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)",
                    {Num(s.jobId), Num(s.attempt), Num(s.marlexId), Num(int64_t(s.archiveFileId)),
                     Num(int64_t(s.srcClientId)), s.srcPath, s.storePath, Num(s.mountStatus), Num(s.status),
                     Num(s.volumeStatus), Num(s.createTime), Num(int64_t(s.files)), Num(int64_t(s.bytes)),
                     Num(int64_t(s.copyMilliseconds))},
                    id))
                return e.Push(FXLOC);
            s.snapshotId = s.volumeId = id;
            CZuError e = db->Exec("UPDATE snapshots SET volume_id = ?1 WHERE snapshot_id = ?1", {Num(id)});
            return e.Push(FXLOC);
        });
    if (err) {
        DeleteOne(s);
        return err.Push(FXLOC, "cannot record the snapshot of [%s]", request.srcPath.c_str());
    }
    request = s;
    ZULOG_NORMAL("Snapshot %lld of [%s]: %llu files, %llu bytes in %llu ms (archive file %llu)",
                 (long long)s.snapshotId, s.srcPath.c_str(), (unsigned long long)s.files,
                 (unsigned long long)s.bytes, (unsigned long long)s.copyMilliseconds,
                 (unsigned long long)s.archiveFileId);
    return {};
}

CZuError SnapshotEngine::GetVolumeSnapshots(const VolumeSnapQuery& q, std::vector<VolumeSnapshot>& snapshots) {
    snapshots.clear();
    const int64_t job = q.snapJobId ? q.snapJobId : q.jobId;
    if (job <= 0) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "a snapshot query needs a job id");
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    std::vector<Row> rows;
    if (CZuError err = db->Query(
            std::string("SELECT ") + kColumns +
                " FROM snapshots WHERE job_id = ?1 AND (CAST(?2 AS INTEGER) = 0 OR marlex_id = ?2) AND (CAST(?3 AS INTEGER) = 0 OR afile_id = ?3)"
                " AND (CAST(?4 AS INTEGER) = 0 OR attempt = ?4) AND (CAST(?5 AS INTEGER) = 0 OR src_client_id = ?5) ORDER BY snapshot_id",
            {Num(job), Num(q.marlexId), Num(int64_t(q.archiveFileId)), Num(q.attempt), Num(int64_t(q.srcClientId))},
            rows))
        return err.Push(FXLOC);
    for (const Row& r : rows) snapshots.push_back(FromRow(r));
    return {};
}

CZuError SnapshotEngine::MountVolume(VolumeSnapshot& snapshot, uint64_t clientId) {
    VolumeSnapshot current;
    if (CZuError err = LoadSnapshot(snapshot.snapshotId, current)) return err.Push(FXLOC);
    if (!FXFile::Exists(current.storePath))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "the copy [%s] of snapshot %lld is gone",
                                       current.storePath.c_str(), (long long)current.snapshotId);
    snapshot = current;
    if (CZuError err = SetMount(snapshot, current.storePath, SnapMountStatus::Mounted)) return err.Push(FXLOC);
    ZULOG(2, "Mounted snapshot %lld of [%s] at [%s] for client %llu", (long long)snapshot.snapshotId,
          snapshot.srcPath.c_str(), snapshot.mountPath.c_str(),
          (unsigned long long)(clientId ? clientId : snapshot.srcClientId));
    return {};
}

CZuError SnapshotEngine::UnmountVolume(VolumeSnapshot& snapshot) {
    CZuError err = SetMount(snapshot, "", SnapMountStatus::Available);
    return err.Push(FXLOC);
}

CZuError SnapshotEngine::DeleteSnapshots(uint64_t srcClientId, const std::vector<std::pair<int64_t, int64_t>>& ids) {
    CZuError first;
    for (const auto& [volumeId, snapshotId] : ids) {
        VolumeSnapshot s;
        CZuError err = LoadSnapshot(snapshotId, s);
        if (err && err.GetErrorCode() == ZuCode::NotFound) {
            ZULOG(2, "Snapshot %lld of volume %lld is already gone", (long long)snapshotId, (long long)volumeId);
            continue;
        }
        if (!err && (s.volumeId != volumeId || s.srcClientId != srcClientId)) {
            ZULOG_ERROR("Snapshot %lld is not of volume %lld of client %llu; not deleted", (long long)snapshotId,
                        (long long)volumeId, (unsigned long long)srcClientId);
            continue;
        }
        if (!err) err = DeleteOne(s);
        if (err && !first) first = err.Push(FXLOC);
    }
    return first;
}
