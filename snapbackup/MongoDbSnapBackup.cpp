// MongoDbSnapBackup: initialisation and the volumes to snapshot.
#include "snapbackup/MongoDbSnapBackup.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "host/Files.h"
#include "host/LogWriter.h"
#include "host/PlatformInfo.h"
#include "host/Subclient.h"
#include "snapbackup/SnapNodeEventIds.h"

namespace MongoDbKax {

MongoDbSnapBackup::MongoDbSnapBackup() = default;
MongoDbSnapBackup::~MongoDbSnapBackup() = default;

int MongoDbSnapBackup::Initialize(const std::vector<std::string>& dataPaths,
                                  const std::vector<MongoRepSetInfo_t>& records, int argc,
                                  const char* const* argv, std::shared_ptr<TWJobClient> backupJobClient,
                                  std::shared_ptr<TWJobControlClient> jobControlClient, const MongoDbUtil& util) {
    if (DBSnapBackup::Initialize(argc, argv, backupJobClient, jobControlClient) != 0) {
        ZULOG_ERROR("DBSnapBackup::Initialize() failed");
        return -1;
    }
    ZULOG_NORMAL("instanceId = [%lu] dbUser=[%s]", (unsigned long)util.GetInstanceId(), util.GetDbUser().c_str());
    auto args = std::make_shared<CProgramArguments>(argc, argv);
    m_util = util;
    if (m_util.Initialize(args) != 0) {
        ZULOG_ERROR("Failed to initialize MongoDB util object");
        RaisePendingCause(SnapNodeEventIds::kSnapInitFailed);
        return -1;
    }
    TWSubclient subclient;
    if (CZuError err = TWSubclient::Get(GetMarlexId(), GetAppId(), subclient)) {
        ZULOG_ERROR("getSubclient failed [%d - %s]", int(err.GetErrorCode()), err.AsString().c_str());
        RaisePendingCause(SnapNodeEventIds::kSnapInitFailed);
        return -1;
    }
    ZULOG_NORMAL(subclient.blockLevel ? "BlockLevel has been setup" : "BlockLevel has not been setup.");

    m_dataPaths = dataPaths;
    for (const std::string& path : m_dataPaths) ZULOG_NORMAL("Data Path = [%s]", path.c_str());
    m_records = records;
    m_locks.assign(m_records.size(), LockState());

    m_skipQuiesce = false;
    TWPlatformInfo::getBoolean(TWSettingSections::Agent, "bSkipMongoDBQuiesce", m_skipQuiesce);
    if (m_skipQuiesce)
        ZULOG_NORMAL("Additional setting [%s] is set to skip Quiesce/UnQuiesce during snap", "bSkipMongoDBQuiesce");
    m_enumerateFromSnapshot = true;
    TWPlatformInfo::getBoolean(TWSettingSections::Agent, "bMongoDbEnumerateFilesFromSnapshot",
                               m_enumerateFromSnapshot);
    if (m_enumerateFromSnapshot) ZULOG_NORMAL("Files will be enumerated from snapshot");
    return 0;
}

bool MongoDbSnapBackup::QuitRequested() {
    if (!IsQuitRequested()) return false;
    ZULOG_ERROR("Quit Flag set. Exiting...");
    return true;
}

void MongoDbSnapBackup::GetSnapIndexPath(const std::string& replicaSetName, const std::string& path,
                                         std::string& out) {
    out = "/" + replicaSetName + path;
}

int MongoDbSnapBackup::GetMountPaths(const std::string& dataPath, std::vector<RepSetMountPathInfo>& paths) {
    char resolved[PATH_MAX];
    if (FXFile::IsSymlink(dataPath)) {
        if (!::realpath(dataPath.c_str(), resolved)) {
            ZULOG_ERROR("Failed to find physical path for link [%s]", dataPath.c_str());
            return -1;
        }
        ZULOG_NORMAL("Found dbPath symbolic link [%s] --- > [%s]", dataPath.c_str(), resolved);
        if (!FXFile::IsDirectory(resolved)) {
            ZULOG_ERROR("The data path [%s] leads to [%s], which is not a directory", dataPath.c_str(), resolved);
            return -1;
        }
        paths.push_back({resolved, dataPath});
        ZULOG_NORMAL("Add dbPath physical path [%s] to mount paths list", resolved);
    } else {
        paths.push_back({dataPath, ""});
        ZULOG_NORMAL("Add dbPath [%s] to mount paths list", dataPath.c_str());
    }

    // Per-database or journal directories placed on other volumes are links here.
    std::vector<std::string> names;
    if (CZuError err = CZuDirectory::List(dataPath, names)) {
        ZULOG_ERROR("CZuDirectory::GetEntry failed with error [%d:%s] .\n", int(err.GetErrorCode()),
                    err.AsString().c_str());
        return -1;
    }
    for (const std::string& name : names) {
        const std::string entry = FXPath::Join(dataPath, name);
        if (!FXFile::IsSymlink(entry)) continue;
        if (!::realpath(entry.c_str(), resolved)) {
            ZULOG_ERROR("Failed to find physical path for link [%s]", entry.c_str());
            continue;
        }
        ZULOG_NORMAL("Found symbolic link [%s] --- > [%s]", entry.c_str(), resolved);
        paths.push_back({resolved, entry});
        ZULOG_NORMAL("Add [%s] to mount paths list", resolved);
    }
    return 0;
}

int MongoDbSnapBackup::FindDataPaths() {
    if (QuitRequested()) return -1;
    m_mountPathMap.clear();
    for (const MongoRepSetInfo_t& record : m_records) {
        ZULOG_NORMAL("Found dbPath=[%s] for ReplicaSet [%s]", record.secondaryDataPath.c_str(),
                     record.replicaSetName.c_str());
        std::vector<RepSetMountPathInfo> paths;
        if (GetMountPaths(record.secondaryDataPath, paths) != 0) return -1;
        m_mountPathMap[record.replicaSetName] = std::move(paths);
    }
    for (const auto& [replicaSetName, paths] : m_mountPathMap)
        for (const RepSetMountPathInfo& path : paths)
            if (AddMountPath(path.physicalPath))
                ZULOG_NORMAL("Add mount path [%s] for ReplicaSet [%s]", path.physicalPath.c_str(),
                             replicaSetName.c_str());
    if (GetMountPathList().empty()) {
        ZULOG_ERROR("Failed to populate database mount paths list");
        return -1;
    }
    return 0;
}

int MongoDbSnapBackup::FetchDBList() { return QuitRequested() ? -1 : 0; }

}  // namespace MongoDbKax
