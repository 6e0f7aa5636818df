#pragma once
// The snapshot of one node: finds the volumes that hold the data directories
// of the secondaries chosen on this machine, locks each secondary (fsync
// lock), lets the platform snapshot the volumes, unlocks the secondaries,
// records where each replica set's oplog ends and lists the data files for
// the index. The platform's DBSnapBackup runs the steps (RunSnapBackup);
// this class supplies the MongoDB ones.
//
// No secondary stays locked: the unquiesce step runs after every quiesce,
// failed or not, and unlocks exactly the secondaries this object locked; a
// watchdog process (MemberLockGuard) unlocks them should this process die
// in between.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "access/MongoDbUtil.h"
#include "host/DBSnapBackup.h"
#include "snapbackup/MemberLockGuard.h"
#include "topology/MongoRepSetInfo.h"

namespace MongoDbKax {

// One directory to snapshot for a replica set, and the symbolic link that
// leads to it ("" when it is the data path itself).
struct RepSetMountPathInfo {
    std::string physicalPath;
    std::string linkPath;
};
using RepSetMountPathMap = std::map<std::string, std::vector<RepSetMountPathInfo>>;

// How long one secondary was locked: from its lock to its unlock.
struct SecondaryLockTime_t {
    std::string replicaSetName;
    std::string host;
    uint32_t port = 0;
    uint64_t milliseconds = 0;
};

class MongoDbSnapBackup : public DBSnapBackup {
public:
    MongoDbSnapBackup();
    ~MongoDbSnapBackup() override;

    // Initialises the platform base and a copy of `util` from the command
    // line (the instance's credentials; the caller sets the task's through
    // GetUtil() afterwards), reads the subclient and the settings. 0, or -1 (logged; the pending cause for a failed snapshot
    // initialisation is raised when the utility or the subclient fails).
    int Initialize(const std::vector<std::string>& dataPaths, const std::vector<MongoRepSetInfo_t>& records,
                   int argc, const char* const* argv, std::shared_ptr<TWJobClient> backupJobClient,
                   std::shared_ptr<TWJobControlClient> jobControlClient, const MongoDbUtil& util);
    using DBSnapBackup::Initialize;

    // Steps supplied to the platform; 0 = success.
    int FindDataPaths() override;
    int QuiesceDB() override;
    int UnQuiesceDB() override;
    int FetchDBList() override;
    int CreateSnapEntityList() override;
    int PrepareIndex() override;
    int CreateIndex() override;

    // "/" + replica set + path: the index path of a data file.
    static void GetSnapIndexPath(const std::string& replicaSetName, const std::string& path, std::string& out);
    // True for files that are never backed up: "mongod.lock" (unless the
    // replica set was snapshotted without a lock), "WiredTiger.backup"
    // (any case), "metrics.interim", "*.sock" (any case).
    bool SkipFileFromBackup(const std::string& path, const std::string& replicaSetName) const;
    // The directories holding `dataPath`: itself (or, when it is a link, the
    // directory it leads to) and the directories its links lead to. 0 / -1.
    int GetMountPaths(const std::string& dataPath, std::vector<RepSetMountPathInfo>& paths);

    // What the run produced, for the controller's completion.
    const std::vector<MongoRepSetInfo_t>& GetRecords() const { return m_records; }
    const RepSetMountPathMap& GetMountPathMap() const { return m_mountPathMap; }
    // "OplogLastEntryTSPerRepSet" pairs, one per replica set whose position was read.
    const std::vector<std::pair<std::string, std::string>>& GetCtrlDoneValues() const { return m_ctrlDoneValues; }
    const std::string& GetOplogDumpStagingPath() const { return m_oplogDumpStagingPath; }
    const std::vector<SecondaryLockTime_t>& GetLockTimes() const { return m_lockTimes; }
    // Data file source path -> index path.
    const std::map<std::string, std::string>& GetFileMap() const { return m_fileMap; }
    MongoDbUtil& GetUtil() { return m_util; }

private:
    struct LockState {
        bool locked = false;  // locked by this object and not unlocked yet
        std::chrono::steady_clock::time_point lockedAt;
    };

    bool QuitRequested();
    // Locks the record's secondary; 0, or non-zero with the reason in `failure`.
    int LockSecondary(size_t index, std::string& failure);
    void CopyMongodConfigFile(const MongoRepSetInfo_t& record);
    // Lists the files of every mount path; from the mounted snapshots when
    // `fromSnapshot`. 0 / -1.
    int BuildFileMap(bool fromSnapshot);
    int ListFilesUnder(const std::string& replicaSetName, const std::string& mountPath,
                       const std::string& enumerateRoot, bool fromSnapshot);
    // The path under the mounted snapshot that holds `sourcePath`; false when none does.
    bool ToSnapshotPath(const std::string& sourcePath, std::string& snapPath) const;

    MongoDbUtil m_util;
    std::vector<std::string> m_dataPaths;
    std::vector<MongoRepSetInfo_t> m_records;
    std::vector<LockState> m_locks;
    MemberLockGuard m_lockGuard;
    std::vector<SecondaryLockTime_t> m_lockTimes;
    RepSetMountPathMap m_mountPathMap;
    std::map<std::string, std::string> m_fileMap;
    // (source mount, snapshot mount), deepest source first.
    std::vector<std::pair<std::string, std::string>> m_snapMounts;
    std::vector<std::pair<std::string, std::string>> m_ctrlDoneValues;
    std::string m_oplogDumpStagingPath;
    bool m_skipQuiesce = false;
    bool m_enumerateFromSnapshot = true;
};

}  // namespace MongoDbKax
