// The database snapshot driver: the order of the steps, the snapshots of the
// mount-path list and the "default" entries of the job's file index.
#include "host/DBSnapBackup.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <set>

#include "host/Entities.h"
#include "host/Files.h"
#include "host/Indexing.h"
#include "host/JobClient.h"
#include "host/LogWriter.h"
#include "host/Platform.h"
#include "host/ProgramArguments.h"
#include "platform/IndexStore.h"
#include "platform/StateDb.h"

namespace {

// How often a running copy asks whether the job should stop (each question
// reads the job's record).
constexpr auto kStopCheckInterval = std::chrono::milliseconds(250);

CZuError StepFailed(const FXCodeLocation& where, const char* step) {
    return FXErrorUtil::ErrorWin32(where, ZuCode::FunctionFailed, "%s failed", step);
}

// "/a/b/c" -> {"/a", "/a/b"}: the folders above an index path.
std::vector<std::string> FoldersAbove(const std::string& path) {
    std::vector<std::string> folders;
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        folders.push_back(path.substr(0, slash));
    return folders;
}

}  // namespace

DBSnapBackup::DBSnapBackup() = default;
DBSnapBackup::~DBSnapBackup() = default;

int DBSnapBackup::Initialize(int argc, const char* const* argv, std::shared_ptr<TWJobClient> backupJobClient,
                             std::shared_ptr<TWJobControlClient> jobControlClient) {
    m_backupJobClient = std::move(backupJobClient);
    m_jobControlClient = std::move(jobControlClient);
    CProgramArguments args(argc, argv);

    m_jobId = std::strtoll(args.GetValueOrEmpty("j").c_str(), nullptr, 10);
    if (m_jobId <= 0 && m_backupJobClient) m_jobId = m_backupJobClient->GetJobId();
    if (m_jobId <= 0) {
        ZULOG_ERROR("No job id for the snapshot: neither -j nor a bound job client");
        return -1;
    }
    const std::string app = args.GetValueOrEmpty("a");
    const size_t colon = app.find(':');
    if (colon != std::string::npos) {
        m_marlexId = uint32_t(std::strtoul(app.substr(0, colon).c_str(), nullptr, 10));
        m_appId = uint32_t(std::strtoul(app.substr(colon + 1).c_str(), nullptr, 10));
    }
    // The attempt is the third field of "<job>:<phase>:<attempt>".
    const std::string token = args.GetValueOrEmpty("token");
    const size_t first = token.find(':');
    const size_t second = first == std::string::npos ? first : token.find(':', first + 1);
    m_attempt = second == std::string::npos ? 0 : std::atoi(token.c_str() + second + 1);

    m_sourceClientName = args.GetValueOrEmpty("cn");
    if (m_sourceClientName.empty()) m_sourceClientName = TWPI_Focus::getFocusClientName();
    TWClient client;
    if (CZuError err = TWClient::ByName(m_sourceClientName, client)) {
        ZULOG_ERROR("Unknown source client [%s] for the snapshot: %s", m_sourceClientName.c_str(),
                    err.AsString().c_str());
        return -1;
    }
    m_sourceClientId = client.id;
    ZULOG(2, "Snapshot driver for job %lld attempt %d, application [%u:%u], client [%s] (%llu)",
          (long long)m_jobId, m_attempt, m_marlexId, m_appId, m_sourceClientName.c_str(),
          (unsigned long long)m_sourceClientId);
    return 0;
}

bool DBSnapBackup::IsQuitRequested() {
    return m_stopRequested || (m_jobControlClient && m_jobControlClient->isQuitRequested());
}

void DBSnapBackup::RaisePendingCause(uint32_t messageId, const std::vector<std::string>& arguments) {
    if (!m_backupJobClient) {
        ZULOG_ERROR("No job client: pending cause 0x%08X is not recorded", messageId);
        return;
    }
    for (const std::string& argument : arguments) m_backupJobClient->addEventArgument(argument);
    if (CZuError err = m_backupJobClient->setPendingCauseAndEvent(messageId))
        ZULOG_ERROR("Cannot record pending cause 0x%08X: %s", messageId, err.AsString().c_str());
}

bool DBSnapBackup::AddMountPath(const std::string& physicalPath) {
    for (const std::string& listed : m_mountPaths)
        if (listed == physicalPath) return false;
    m_mountPaths.push_back(physicalPath);
    return true;
}

CZuError DBSnapBackup::RunSnapBackup() {
    m_mountPaths.clear();
    m_snapshots.clear();
    m_files.clear();
    m_snapPathMap.clear();
    m_haveSnapPathMap = false;
    m_snapMilliseconds = 0;
    m_skipFlag = false;
    m_snapError = CZuError();

    CZuError result = [this]() -> CZuError {
        const std::pair<const char*, Step> before[] = {{"ParseArgs", &DBSnapBackup::ParseArgs},
                                                       {"FindDataPaths", &DBSnapBackup::FindDataPaths},
                                                       {"FetchDBList", &DBSnapBackup::FetchDBList},
                                                       {"CreateSnapEntityList", &DBSnapBackup::CreateSnapEntityList},
                                                       {"PrepareSnap", &DBSnapBackup::PrepareSnap}};
        for (const auto& [name, step] : before)
            if (RunStep(name, step)) return StepFailed(FXLOC, name);

        const int quiesced = RunStep("QuiesceDB", &DBSnapBackup::QuiesceDB);
        const int snapped = quiesced == 0 ? RunStep("Snap", &DBSnapBackup::Snap) : -1;
        if (quiesced != 0 || snapped != 0) m_skipFlag = true;
        // Whatever happened above, the database must not stay quiesced.
        const int unquiesced = RunStep("UnQuiesceDB", &DBSnapBackup::UnQuiesceDB);
        if (quiesced) return StepFailed(FXLOC, "QuiesceDB");
        if (snapped) {
            if (m_snapError) return m_snapError.Push(FXLOC, "Snap failed");
            return StepFailed(FXLOC, "Snap");
        }
        if (unquiesced) return StepFailed(FXLOC, "UnQuiesceDB");

        const std::pair<const char*, Step> after[] = {
            {"PrepareIndex", &DBSnapBackup::PrepareIndex},
            {"CreateIndex", &DBSnapBackup::CreateIndex},
            {"SendIndexMetaData", &DBSnapBackup::SendIndexMetaData},
            {"RunVSAAppWareSnapsOperation", &DBSnapBackup::RunVSAAppWareSnapsOperation}};
        for (const auto& [name, step] : after)
            if (RunStep(name, step)) return StepFailed(FXLOC, name);
        return {};
    }();

    Cleanup();
    if (result) DeleteOwnSnapshots();
    ExitHere();
    return result;
}

// An exception is a failed step: it must not skip the unquiesce.
int DBSnapBackup::RunStep(const char* name, Step step) {
    try {
        return (this->*step)();
    } catch (const std::exception& e) {
        ZULOG_ERROR("%s failed with an exception: %s", name, e.what());
    } catch (...) {
        ZULOG_ERROR("%s failed with an exception", name);
    }
    return -1;
}

int DBSnapBackup::Snap() {
    if (CreateSnapShot()) return -1;
    return PostCreateSnapShot();
}

int DBSnapBackup::CreateSnapShot() {
    if (m_mountPaths.empty()) {
        m_snapError = FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "no volume to snapshot");
        ZULOG_ERROR("%s", m_snapError.AsString().c_str());
        return -1;
    }
    auto nextCheck = std::chrono::steady_clock::now();
    bool stop = false;
    const SnapshotStopCheck shouldStop = [&]() {
        const auto now = std::chrono::steady_clock::now();
        if (!stop && now >= nextCheck) {
            stop = IsQuitRequested();
            nextCheck = now + kStopCheckInterval;
        }
        return stop;
    };
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& path : m_mountPaths) {
        VolumeSnapshot snapshot;
        snapshot.jobId = m_jobId;
        snapshot.attempt = m_attempt;
        snapshot.marlexId = m_marlexId;
        snapshot.srcClientId = m_sourceClientId;
        snapshot.srcPath = path;
        ZULOG_NORMAL("Creating snapshot of volume [%s]", path.c_str());
        if (CZuError err = SnapshotEngine::CreateSnapshot(snapshot, shouldStop)) {
            m_snapError = err.Push(FXLOC);
            ZULOG_ERROR("Snapshot of volume [%s] failed: %s", path.c_str(), m_snapError.AsString().c_str());
            return -1;
        }
        m_snapshots.push_back(snapshot);
    }
    m_snapMilliseconds = uint64_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    return 0;
}

CZuError DBSnapBackup::MountAllSnapshots(std::vector<std::pair<std::string, std::string>>& pairs) {
    pairs.clear();
    for (VolumeSnapshot& snapshot : m_snapshots) {
        if (CZuError err = SnapshotEngine::MountVolume(snapshot, m_sourceClientId)) return err.Push(FXLOC);
        pairs.emplace_back(snapshot.srcPath, snapshot.mountPath);
    }
    return {};
}

CZuError DBSnapBackup::UnmountAllSnapshots() {
    CZuError first;
    for (VolumeSnapshot& snapshot : m_snapshots)
        if (!snapshot.mountPath.empty())
            if (CZuError err = SnapshotEngine::UnmountVolume(snapshot); err && !first) first = err.Push(FXLOC);
    return first;
}

int DBSnapBackup::Cleanup() {
    if (CZuError err = UnmountAllSnapshots()) {
        ZULOG_ERROR("Failed to unmount the snapshots: %s", err.AsString().c_str());
        return -1;
    }
    return 0;
}

void DBSnapBackup::DeleteOwnSnapshots() {
    if (m_snapshots.empty()) return;
    std::vector<std::pair<int64_t, int64_t>> ids;
    for (const VolumeSnapshot& snapshot : m_snapshots) ids.emplace_back(snapshot.volumeId, snapshot.snapshotId);
    ZULOG_NORMAL("Deleting the %zu snapshot(s) of the failed run", ids.size());
    if (CZuError err = SnapshotEngine::DeleteSnapshots(m_sourceClientId, ids))
        ZULOG_ERROR("Failed to delete the snapshots of the failed run: %s", err.AsString().c_str());
    m_snapshots.clear();
}

void DBSnapBackup::AddSourceToSnapPath(const std::string& sourcePath, const std::string& snapPath) {
    m_snapPathMap[sourcePath] = snapPath;
}

CZuError DBSnapBackup::AddFileToList(const std::string& sourcePath, const std::string& indexPath,
                                     const std::string& mountPoint) {
    if (sourcePath.empty() || indexPath.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                       "a listed file needs a source path and an index path");
    m_files.push_back({sourcePath, indexPath, mountPoint});
    return {};
}

const VolumeSnapshot* DBSnapBackup::VolumeHolding(const std::string& sourcePath) const {
    const VolumeSnapshot* best = nullptr;
    for (const VolumeSnapshot& snapshot : m_snapshots)
        if (FXPath::IsAncestorOrSame(snapshot.srcPath, sourcePath) &&
            (!best || snapshot.srcPath.size() > best->srcPath.size()))
            best = &snapshot;
    return best;
}

int DBSnapBackup::CreateIndex() {
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) {
        ZULOG_ERROR("%s", err.AsString().c_str());
        return -1;
    }
    size_t written = 0;
    CZuError err = db->Transaction([&]() -> CZuError {
        std::set<std::string> folders;
        for (const ListedFile& file : m_files) {
            const VolumeSnapshot* volume = VolumeHolding(file.sourcePath);
            if (!volume)
                return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "no snapshot holds [%s]",
                                               file.sourcePath.c_str());
            // Where the file's data is: the mounted path when the files were
            // listed from the snapshots, else its place in the volume's copy.
            const std::string copyPath = FXPath::Join(
                volume->storePath, file.sourcePath.substr(FXPath::Normalize(volume->srcPath).size()));
            struct stat st;
            if (::lstat(copyPath.c_str(), &st) != 0) {
                ZULOG(2, "[%s] was listed but is not in the snapshot; not indexed", file.sourcePath.c_str());
                continue;
            }
            auto mapped = m_snapPathMap.find(file.sourcePath);
            const std::string dataPath = mapped != m_snapPathMap.end() ? mapped->second : copyPath;
            IndexEntry entry;
            entry.jobId = m_jobId;
            entry.marlexId = m_marlexId;
            entry.appId = m_appId;
            entry.archiveFileId = volume->archiveFileId;
            entry.archiveFileType = "SNAP";
            entry.view = "default";
            entry.path = file.indexPath;
            entry.guid = PathGuid(file.indexPath);
            entry.parentGuid = PathGuid(FXPath::Parent(file.indexPath));
            entry.size = int64_t(st.st_size);
            entry.sourcePath = dataPath;
            if (CZuError e = IndexStore::AddEntry(entry)) return e.Push(FXLOC);
            ++written;
            for (const std::string& folder : FoldersAbove(file.indexPath)) {
                if (!folders.insert(folder).second) continue;
                IndexEntry dir = entry;
                dir.path = folder;
                dir.guid = PathGuid(folder);
                dir.parentGuid = PathGuid(FXPath::Parent(folder));
                dir.isDirectory = true;
                dir.attribute1 = IndexAttribute::Directory;
                dir.size = 0;
                dir.sourcePath.clear();
                if (CZuError e = IndexStore::AddEntry(dir)) return e.Push(FXLOC);
            }
        }
        return {};
    });
    if (err) {
        ZULOG_ERROR("Failed to write the file index: %s", err.AsString().c_str());
        return -1;
    }
    ZULOG_NORMAL("Indexed %zu file(s) of job %lld", written, (long long)m_jobId);
    return 0;
}
