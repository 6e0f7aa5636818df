#pragma once
// The snapshot engine. A volume is a directory (or a single file) on a
// client that holds database data; its snapshot is a copy of the volume's
// content, symbolic links kept as links, taken while the database holds its
// writes. Every snapshot is its own archive file (snapshot data) of the job
// that made it, so that the index binds the job's files to it.
//
// Snapshots are recorded in the state database with their job, the job's
// attempt and the source client, so that a later attempt of the same job can
// find and delete what a failed attempt left behind. Mounting exposes a
// snapshot's copy under a path readers can open (no kernel mount is needed:
// the mount path is the copy itself); unmounting withdraws that path.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "host/ZuError.h"

// Mount status values of a volume snapshot (both are valid, usable snapshots).
namespace SnapMountStatus {
constexpr int Available = 39;
constexpr int Mounted = 79;
}  // namespace SnapMountStatus

struct VolumeSnapshot {
    int64_t volumeId = 0;
    int64_t snapshotId = 0;
    int64_t jobId = 0;
    int attempt = 0;  // the job's attempt that took it (third field of the attempt token)
    uint32_t marlexId = 0;
    uint64_t archiveFileId = 0;
    uint64_t srcClientId = 0;
    std::string srcPath;    // the volume on the source client
    std::string storePath;  // where the copy is kept
    std::string mountPath;  // "" while not mounted
    int mountStatus = SnapMountStatus::Available;
    int status = 1;
    int volumeStatus = 1;
    int64_t createTime = 0;        // seconds since the epoch
    uint64_t files = 0;            // regular files copied
    uint64_t bytes = 0;            // bytes of those files
    uint64_t copyMilliseconds = 0; // how long the copy took
};

// Which snapshots a query returns. Zero fields match anything. The action,
// copy and retrieval values are the callers' selectors; on this machine a
// job's volumes and snapshots are the same records, so they do not narrow
// the result.
struct VolumeSnapQuery {
    int64_t jobId = 0;      // required
    int64_t snapJobId = 0;  // 0 = jobId
    uint32_t marlexId = 0;
    int actionFlags = 0;
    int copyPrecedence = 0;
    int copyType = 2;
    int retrievalFlags = 0;
    uint64_t archiveFileId = 0;
    int attempt = 0;
    uint64_t srcClientId = 0;
};

// Called now and then during a copy; true abandons it.
using SnapshotStopCheck = std::function<bool()>;

class SnapshotEngine {
public:
    // Snapshots the volume `request.srcPath` (an existing directory or file)
    // of client `request.srcClientId` for `request.jobId`/`attempt`/
    // `marlexId`: copies it into the store under the state root, creates its
    // archive file and records it; fills the rest of `request`. Sockets,
    // pipes and devices are not copied. A failed or stopped copy leaves
    // nothing behind (error 995 when `stop` said so).
    static CZuError CreateSnapshot(VolumeSnapshot& request, const SnapshotStopCheck& stop = {});

    // The snapshots the query selects, oldest first; none is success. Error
    // 22 without a job id.
    static CZuError GetVolumeSnapshots(const VolumeSnapQuery& query,
                                       std::vector<VolumeSnapshot>& snapshots);

    // Mounts the snapshot for `clientId` (0 = its source client): sets its
    // mount path and status. Mounting a mounted snapshot keeps its path.
    // Error 1168 when the snapshot is gone.
    static CZuError MountVolume(VolumeSnapshot& snapshot, uint64_t clientId = 0);
    static CZuError UnmountVolume(VolumeSnapshot& snapshot);

    // Deletes the snapshots (volume id, snapshot id) of source client
    // `srcClientId`: their copies, records, archive files and the index
    // entries bound to those archive files. A pair that names no snapshot of
    // that client is skipped (logged); the first failure is returned after
    // the rest were tried.
    static CZuError DeleteSnapshots(uint64_t srcClientId,
                                    const std::vector<std::pair<int64_t, int64_t>>& ids);

    // The directory under the state root that holds the copies.
    static std::string GetStoreRoot();
};
