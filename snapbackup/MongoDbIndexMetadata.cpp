// MongoDbBackupCoordinator: the index records of a finished snapshot backup
// (one shard record per replica set, and the database view), so that a
// restore finds every replica set's data without the cluster.
#include <algorithm>
#include <cstdlib>
#include <set>

#include "entry/GranularRecovery.h"
#include "host/ArchiveManager.h"
#include "host/ClientLookups.h"
#include "host/Entities.h"
#include "host/Files.h"
#include "host/Indexing.h"
#include "host/LogWriter.h"
#include "host/MongoDBIndexRecords.h"
#include "host/SnapshotEngine.h"
#include "snapbackup/MongoDbBackupCoordinator.h"
#include "snapbackup/MongoDbDatabaseView.h"

namespace MongoDbKax {

namespace {

constexpr int kSnapActionFlags = 2;
constexpr int kCopyType = 2;
constexpr int kIndexRetrievalFlags = 61;

CZuError Failure(const FXCodeLocation& where, const std::string& text) {
    return FXErrorUtil::ErrorWin32(where, ZuCode::RemoteFailure, "%s", text.c_str());
}

size_t Depth(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return size_t(std::count(path.begin(), path.end(), '/'));
}

// The attempt number of a token "<job>:<phase>:<attempt>"; 0 when it has none.
int AttemptOf(const std::string& token) {
    const size_t first = token.find(':');
    const size_t second = first == std::string::npos ? first : token.find(':', first + 1);
    return second == std::string::npos ? 0 : std::atoi(token.c_str() + second + 1);
}

}  // namespace

CZuError MongoDbBackupCoordinator::createMongoDbMetadataInIndex() {
    const MongoDbClientConfig& cfg = *m_config;
    VolumeSnapQuery query;
    query.jobId = cfg.jobId;
    query.snapJobId = cfg.jobId;
    query.marlexId = cfg.marlexId;
    query.actionFlags = kSnapActionFlags;
    query.copyPrecedence = 0;
    query.copyType = kCopyType;
    query.retrievalFlags = kIndexRetrievalFlags;
    // Only this attempt's snapshots hold this attempt's data.
    query.attempt = AttemptOf(cfg.attemptToken);
    std::vector<VolumeSnapshot> volumes;
    if (CZuError err = SnapshotEngine::GetVolumeSnapshots(query, volumes)) {
        const std::string text = "Failed to get SnapShot info for snapshot JID [" + std::to_string(cfg.jobId) +
                                 "]: " + err.GetMessage() + "\n";
        ZULOG_ERROR("%s", text.c_str());
        return Failure(FXLOC, text);
    }
    std::stable_sort(volumes.begin(), volumes.end(), [](const VolumeSnapshot& a, const VolumeSnapshot& b) {
        return Depth(a.srcPath) > Depth(b.srcPath);
    });

    std::set<std::string> mappedKeys;
    for (const VolumeSnapshot& volume : volumes) {
        ZULOG_NORMAL("Snapshot afileId=[%d] path=[%s] srcclientId=[%d]", int(volume.archiveFileId), volume.srcPath.c_str(),
                     int(volume.srcClientId));
        if (volume.mountStatus != SnapMountStatus::Available && volume.mountStatus != SnapMountStatus::Mounted)
            return Failure(FXLOC, FXString::Format("Found invalid volume status [%d] [%d] [%d]. Failing the index operation.",
                                                   volume.mountStatus, volume.status, volume.volumeStatus));
        for (MongoRepSetInfo_t& record : m_plan) {
            ZULOG(2, "Get client info for host [%s] repset [%s]", record.secondaryClientName.c_str(),
                  record.replicaSetName.c_str());
            TWClient client;
            if (ClientLookup::ByNameOrHostName(record.secondaryClientName, client)) {
                ZULOG_ERROR("Failed to get client id for host [%s] repset [%s]", record.secondaryClientName.c_str(),
                            record.replicaSetName.c_str());
                continue;
            }
            if (client.id != volume.srcClientId) continue;
            for (const std::string& entry : record.mountPaths) {
                ZULOG(2, "replica set [%s] dbPath [%s] mountPath [%s]", record.replicaSetName.c_str(),
                      record.secondaryDataPath.c_str(), entry.c_str());
                const size_t bar = entry.find('|');
                if (bar == std::string::npos || entry.find('|', bar + 1) != std::string::npos)
                    return Failure(FXLOC, FXString::Format("Found invalid mount path [%s] for repset [%s]. Failing the operation.",
                                                           entry.c_str(), record.replicaSetName.c_str()));
                const std::string physical = entry.substr(0, bar), link = entry.substr(bar + 1);
                const std::string key = FXString::Format("%d:%s", int(volume.srcClientId), physical.c_str());
                if (mappedKeys.count(key)) {
                    ZULOG(2, "This mountpath [%s] has already been mapped to an afile, skipping", physical.c_str());
                    continue;
                }
                if (!FXPath::IsAncestorOrSame(volume.srcPath, physical)) continue;
                record.nodeClientId = int32_t(volume.srcClientId);
                record.archiveFileMap[uint32_t(volume.archiveFileId)] = entry;
                // Volumes come deepest first: the first one that holds the data
                // path is its volume; an ancestor volume mapping another mount
                // path of the set holds other data.
                if (record.archiveFileId == 0 &&
                    (FXPath::IsAncestorOrSame(volume.srcPath, record.secondaryDataPath) ||
                     (!link.empty() && FXPath::Normalize(link) == FXPath::Normalize(record.secondaryDataPath)))) {
                    record.archiveFileId = uint32_t(volume.archiveFileId);
                    ZULOG_NORMAL("Mapped afileId [%d] for replica set [%s] dbPath [%s]", int(volume.archiveFileId),
                                 record.replicaSetName.c_str(), record.secondaryDataPath.c_str());
                }
                ZULOG_NORMAL("Mapped afileId [%d] for replica set [%s] dbPath [%s] mountPath [%s] symlink [%s] clientid [%d]",
                             int(volume.archiveFileId), record.replicaSetName.c_str(), record.secondaryDataPath.c_str(),
                             physical.c_str(), link.c_str(), int(volume.srcClientId));
                mappedKeys.insert(key);
            }
        }
    }
    size_t mountPathCount = 0;
    for (const MongoRepSetInfo_t& record : m_plan) mountPathCount += record.mountPaths.size();
    ZULOG_NORMAL("Mount paths count = [%lu]", (unsigned long)mountPathCount);
    if (mappedKeys.size() != mountPathCount)
        return Failure(FXLOC, "Internal errors. Could not map all mountpaths to their afiles, returning error");

    std::vector<ArchiveFileInfo> archiveFiles;
    if (ArMgrClientAPI::getArchFileListForJob(cfg.marlexId, cfg.jobId, archiveFiles) || archiveFiles.empty())
        return Failure(FXLOC, "Archive file retrieval failed");
    const uint64_t archiveFileId = archiveFiles.front().archiveFileId;

    CIndexingConnection connection;
    ZULOG_NORMAL("marlex id: %d, appID: %d, appType: %lu, bkpLevel: %d, token: %s, ferrant: %s, client: %s",
                 int(cfg.marlexId), int(cfg.applicationId), (unsigned long)cfg.applicationType, cfg.backupLevel,
                 cfg.attemptToken.c_str(), cfg.ferrantName.c_str(), cfg.clientName.c_str());
    if (connection.Open(cfg.marlexId, cfg.applicationId, cfg.applicationType, cfg.backupLevel, cfg.attemptToken,
                        cfg.ferrantName, cfg.clientName))
        return Failure(FXLOC, "Failed to initialize IndexingConnection");

    for (MongoRepSetInfo_t& record : m_plan) {
        ZULOG_NORMAL("Replica set name=[%s] dbPath=[%s] ArchFileId=[%d]", record.replicaSetName.c_str(),
                     record.secondaryDataPath.c_str(), int(record.archiveFileId));
        if (m_stagingByClient.empty()) return Failure(FXLOC, "Found empty map fpr oplog dump staging info, returing error");
        auto staging = m_stagingByClient.find(uint64_t(record.nodeClientId));
        if (staging == m_stagingByClient.end() || staging->second.empty())
            return Failure(FXLOC, FXString::Format("Found empty oplog dump staging info for node [%d]", int(record.nodeClientId)));
        if (record.archiveFileMap.empty())
            return Failure(FXLOC, FXString::Format("Failed to add index metadata for repset [%s]", record.replicaSetName.c_str()));
        std::string entries;
        for (const auto& [afile, entry] : record.archiveFileMap) entries += FXString::Format("%s|%d,", entry.c_str(), int(afile));
        entries.pop_back();
        record.mountPathRecord = record.replicaSetName + "#" + entries;
        record.oplogDumpStagingLocation = staging->second;

        App::MongoDBShardInfo shard;
        shard.secondaryPort = record.secondaryPort;
        shard.shardSize = record.shardSize;
        shard.optimeSeconds = record.optimeSeconds;
        shard.replicaSetName = record.replicaSetName;
        shard.secondaryDataPath = record.secondaryDataPath;
        shard.primaryDataPath = record.primaryDataPath;
        shard.primaryPort = record.primaryPort;
        shard.archiveFileId = record.archiveFileId;
        shard.configServer = record.configServer ? 1 : 0;
        shard.nodeClientId = record.nodeClientId;
        shard.secondaryHost = record.secondaryHost;
        shard.primaryHost = record.primaryHost;
        shard.mountPathMap = record.mountPathRecord;
        shard.oplogDumpStagingDir = record.oplogDumpStagingLocation;
        CNMessageBase tree;
        shard.Serialize(tree);
        if (MongoDbDatabaseView::SendMetadataAndFileHeader(connection, archiveFileId, tree, App::kShardViewName,
                                                           "/" + record.replicaSetName, record.shardSize, 1, false))
            return Failure(FXLOC, FXString::Format("Failed to update send index metadata for repset [%s]",
                                                   record.replicaSetName.c_str()));
    }
    if (IsGranularRecoveryEnabled()) {
        if (CZuError err = MongoDbDatabaseView(m_util).UpdateDBView(connection, archiveFileId)) {
            ZULOG_ERROR("%s", err.AsString().c_str());
            return Failure(FXLOC, "Failed to update db view");
        }
    } else {
        ZULOG_NORMAL("Skipping Update DBView");
    }
    if (connection.updateRestartInfo(-1)) return Failure(FXLOC, "Updating restart info in index failed");
    if (connection.backupDone(1)) return Failure(FXLOC, "Index BackupDone operation failed");
    ZULOG_NORMAL("Idx Backup done");
    return {};
}

}  // namespace MongoDbKax
