// MongoDbBackupCoordinator: what the nodes report at their end, the end of
// the phase, and the removal of snapshots that failed attempts left.
#include <cstdlib>
#include <map>

#include "host/Entities.h"
#include "host/Files.h"
#include "host/JobClient.h"
#include "host/LogWriter.h"
#include "host/PlatformInfo.h"
#include "host/SnapshotEngine.h"
#include "snapbackup/MongoDbBackupCoordinator.h"

namespace MongoDbKax {

using namespace DistributedKax;

namespace {

// Retrieval flags of the snapshot engine queries of the clean-up.
constexpr int kCleanupVolumeFlags = 29;
constexpr int kCleanupSnapshotFlags = 1053;
constexpr int kCopyType = 2;

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// Setting bEnableMongoOpLogDumps (section Kestrix, default true): every
// snapshot backup records each replica set's oplog point on its node, which
// starts the oplog cycle the log backups continue. false spares the nodes
// that step, but no oplog backup can then follow the snapshot.
bool OplogDumpsEnabled() {
    bool enabled = true;
    TWPlatformInfo::getBoolean(TWSettingSections::Agent, "bEnableMongoOpLogDumps", enabled);
    return enabled;
}

}  // namespace

CZuError MongoDbBackupCoordinator::ControllerDone(CNode& node, const CControllerDoneMessage* done) {
    ZULOG(3, "Processing Controller Done message for [%s]", node.clientName.c_str());
    if (!done) {
        ZULOG_NORMAL("Did not receive any ControllerDone message from [%s]", node.clientName.c_str());
        return {};
    }
    // A node that completed with a failure sent no values worth indexing.
    if (done->status == 3) m_jobFailed = true;
    if (done->pairs.empty()) {
        ZULOG_NORMAL("Did not receive any options from ControllerDone message for [%s]", node.clientName.c_str());
        return {};
    }
    for (const auto& [name, value] : done->pairs) {
        if (name == "MountPathsPerRepSet") {
            ZULOG_NORMAL("option [%s] value [%s]", name.c_str(), value.c_str());
            const std::vector<std::string> parts = Split(value, '#');
            if (parts.size() != 2) continue;
            for (MongoRepSetInfo_t& record : m_plan) {
                ZULOG(3, "[%s] [%s] [%s]", record.replicaSetName.c_str(), parts[0].c_str(), parts[1].c_str());
                if (record.replicaSetName != parts[0]) continue;
                record.mountPaths = Split(parts[1], ',');
                break;
            }
        } else if (name == "OplogLastEntryTSPerRepSet") {
            m_timestampPairs.push_back(value);
        } else if (name == "OplogDumpStagingLocation") {
            m_stagingByClient[node.clientId] = value;
            ZULOG_NORMAL("For client [%lu] [%s], oplog dump staging location is [%s]", (unsigned long)node.clientId,
                         node.clientName.c_str(), value.c_str());
        } else if (name == "SecondaryLockWindowMs") {
            ReadLockWindow(value);
        }
    }
    return {};
}

// "<replica set>:<host>:<port>:<milliseconds>"; the replica set name may
// itself hold ":", so the fields are taken from the right.
void MongoDbBackupCoordinator::ReadLockWindow(const std::string& value) {
    std::vector<std::string> parts = Split(value, ':');
    if (parts.size() < 4) {
        ZULOG_ERROR("Ignoring malformed lock window [%s]", value.c_str());
        return;
    }
    SecondaryLockWindow_t window;
    window.milliseconds = std::strtoll(parts.back().c_str(), nullptr, 10);
    window.port = uint32_t(std::strtoul(parts[parts.size() - 2].c_str(), nullptr, 10));
    window.host = parts[parts.size() - 3];
    parts.resize(parts.size() - 3);
    for (size_t i = 0; i < parts.size(); ++i) window.replicaSetName += (i ? ":" : "") + parts[i];
    m_lockWindows.push_back(window);
    const std::string text = FXString::Format("Secondary [%s:%u] of replica set [%s] was locked for [%lld] ms",
                                              window.host.c_str(), window.port, window.replicaSetName.c_str(),
                                              (long long)window.milliseconds);
    ZULOG_NORMAL("%s", text.c_str());
    if (CZuError err = EvEvent::InfoEvent(text)) ZULOG_ERROR("%s", err.AsString().c_str());
}

CZuError MongoDbBackupCoordinator::OnComplete() {
    if (m_util.GetTopology().sharded) {
        if (m_util.StopStartBalancer(false) != 0)
            ZULOG_ERROR("Failed to start the Balancer successfully");
        else
            ZULOG_NORMAL("Started the Balancer successfully");
    }
    if (m_jobFailed) {
        CleanupSnapshots();
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Failed to complete the snap backup");
    }
    // The nodes' oplog points are read before anything is written, so that a
    // malformed report fails the job without index records of a failed backup.
    const bool handOff = OplogDumpsEnabled();
    if (handOff) {
        if (CZuError err = HandOffStep(&MongoDbBackupCoordinator::CreateOplogLastTimestampEntryInfo,
                                       "Failed to construct oplog timestamp info with error [%s]"))
            return err.Push(FXLOC);
        if (CZuError err = HandOffStep(&MongoDbBackupCoordinator::UpdateOplogLastTimestampEntryForRepsets,
                                       "Failed to update oplog timestamp entry for repsets with error [%s]"))
            return err.Push(FXLOC);
    }
    if (CZuError err = createMongoDbMetadataInIndex()) {
        m_jobFailed = true;
        const std::string text =
            FXString::Format("Failed to create  MongoDB index metadata [%s].. Failing the backup", err.GetMessage().c_str());
        ZULOG_ERROR("%s", text.c_str());
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "%s", text.c_str());
    }
    if (!handOff) {
        ZULOG_NORMAL("MongoDB Oplog dumps disabled. Skip oplog timetamp updates");
        return {};
    }
    CZuError err = HandOffStep(&MongoDbBackupCoordinator::UpdateTimestampInfoOnNodes,
                               "Failed to update timestamp info on nodes with error [%s]");
    return err.Push(FXLOC);
}

CZuError MongoDbBackupCoordinator::HandOffStep(CZuError (MongoDbBackupCoordinator::*step)(), const char* failure) {
    CZuError err = (this->*step)();
    if (!err) return {};
    m_jobFailed = true;
    ZULOG_ERROR("%s", err.AsString().c_str());
    return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, failure, err.GetMessage().c_str());
}

bool MongoDbBackupCoordinator::IsFirstAttemptOfBackupPhase(const std::string& attemptToken) {
    const std::vector<std::string> parts = Split(attemptToken, ':');
    if (parts.size() < 3 || parts[1] != "5" || parts[2] != "1") return false;
    ZULOG_NORMAL("Skip snapshot cleanup APIs, this is first attempt of backup phase");
    return true;
}

CZuError MongoDbBackupCoordinator::CleanupSnapshots() {
    const MongoDbClientConfig& cfg = *m_config;
    if (IsFirstAttemptOfBackupPhase(cfg.attemptToken)) return {};
    ZULOG_NORMAL("Cleanup snapshots created from failed attempts ...");
    VolumeSnapQuery query;
    query.jobId = cfg.jobId;
    query.snapJobId = cfg.jobId;
    query.marlexId = cfg.marlexId;
    query.copyPrecedence = 0;
    query.copyType = kCopyType;
    query.retrievalFlags = kCleanupVolumeFlags;
    std::vector<VolumeSnapshot> volumes, snapshots;
    CZuError err = SnapshotEngine::GetVolumeSnapshots(query, volumes);
    if (!err) {
        query.retrievalFlags = kCleanupSnapshotFlags;
        err = SnapshotEngine::GetVolumeSnapshots(query, snapshots);
    }
    if (err) {
        ZULOG_ERROR("Unable to fetch the snapshot information [%s]", err.AsString().c_str());
        return {};
    }
    std::map<uint64_t, std::vector<std::pair<int64_t, int64_t>>> bySourceClient;
    for (const VolumeSnapshot& volume : volumes)
        for (const VolumeSnapshot& snap : snapshots)
            if (snap.volumeId == volume.volumeId)
                bySourceClient[volume.srcClientId].emplace_back(volume.volumeId, snap.snapshotId);
    for (const auto& [client, ids] : bySourceClient)
        if (CZuError del = SnapshotEngine::DeleteSnapshots(client, ids))
            ZULOG_ERROR("Unable to delete snapshots created from failed attempts  [%s]", del.AsString().c_str());
    return {};
}

}  // namespace MongoDbKax
