#pragma once
// The database snapshot driver. A database module derives from it and
// supplies its own steps as overrides; the driver owns the order of the
// steps, the snapshot engine (host/SnapshotEngine.h) and the writing of the
// job's file index.
//
// RunSnapBackup runs, in this order:
//   ParseArgs, FindDataPaths, FetchDBList, CreateSnapEntityList, PrepareSnap,
//   QuiesceDB, Snap (CreateSnapShot, PostCreateSnapShot), UnQuiesceDB,
//   PrepareIndex, CreateIndex, SendIndexMetaData, RunVSAAppWareSnapsOperation,
//   and Cleanup on every path.
// UnQuiesceDB runs whenever QuiesceDB ran, also after a failed QuiesceDB or
// snapshot, so that the database never stays quiesced; a step that throws
// counts as failed. Steps return 0 for
// success; the first failing step ends the run. Snapshots taken by a run
// that fails are deleted before RunSnapBackup returns.
//
// The overrides build the mount-path list (the volumes to snapshot, one
// physical path each) in FindDataPaths, and the file list (every data file
// with its index path) in CreateSnapEntityList or, from the mounted
// snapshots, in PrepareIndex. The base CreateIndex writes one "default"
// index entry per listed file, bound to the archive file of the volume that
// holds it (the deepest volume whose path is the file's path or an ancestor
// of it), and one directory entry per folder above the files.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/SnapshotEngine.h"
#include "host/ZuError.h"

class TWJobClient;
class TWJobControlClient;

class DBSnapBackup {
public:
    DBSnapBackup();
    virtual ~DBSnapBackup();
    DBSnapBackup(const DBSnapBackup&) = delete;
    DBSnapBackup& operator=(const DBSnapBackup&) = delete;

    // Steps, in the platform's slot order.
    virtual int ParseArgs() { return 0; }
    virtual int FindDataPaths() { return 0; }
    virtual int PrepareSnap() { return 0; }
    // Snapshots every path of the mount-path list (CreateSnapShot), then PostCreateSnapShot.
    virtual int Snap();
    // Snapshots the mount-path list, one volume at a time; stops at the
    // first failure or when a quit is requested.
    virtual int CreateSnapShot();
    virtual int PostCreateSnapShot() { return 0; }
    virtual int QuiesceDB() { return 0; }
    virtual int UnQuiesceDB() { return 0; }
    virtual int FetchDBList() { return 0; }
    virtual int CreateSnapEntityList() { return 0; }
    virtual int PrepareIndex() { return 0; }
    // Writes the "default" entries of the file list (see above).
    virtual int CreateIndex();
    virtual int SendIndexMetaData() { return 0; }
    virtual int RunVSAAppWareSnapsOperation() { return 0; }
    // Unmounts what is still mounted. Runs at the end of every run.
    virtual int Cleanup();
    // Reads the job from the command line: "-j <job>" (else the job
    // client's), "-a <marlex>:<app>", "-cn <client>" (else the focus client;
    // the source client of the snapshots), "-token <job>:<phase>:<attempt>".
    // Keeps the two job clients. 0, or -1 with the reason logged.
    virtual int Initialize(int argc, const char* const* argv,
                           std::shared_ptr<TWJobClient> backupJobClient,
                           std::shared_ptr<TWJobControlClient> jobControlClient);
    // Called when the run has ended, whatever its outcome.
    virtual void ExitHere() {}

    // Runs the steps. The error names the step that failed and why.
    CZuError RunSnapBackup();

    // Asks a running RunSnapBackup to stop as at a quit request (any thread).
    void RequestStop() { m_stopRequested = true; }

    // What the run produced.
    const std::vector<VolumeSnapshot>& GetSnapshots() const { return m_snapshots; }
    // Milliseconds the snapshot step took (all volumes), 0 before it ran.
    uint64_t GetSnapMilliseconds() const { return m_snapMilliseconds; }

    int64_t GetJobId() const { return m_jobId; }
    uint32_t GetMarlexId() const { return m_marlexId; }
    uint32_t GetAppId() const { return m_appId; }
    int GetAttempt() const { return m_attempt; }
    uint64_t GetSourceClientId() const { return m_sourceClientId; }
    const std::string& GetSourceClientName() const { return m_sourceClientName; }

protected:
    // The job's quit flag, or a stop asked with RequestStop.
    bool IsQuitRequested();

    std::shared_ptr<TWJobClient> GetBackupJobClient() const { return m_backupJobClient; }
    std::shared_ptr<TWJobControlClient> GetJobControlClient() const { return m_jobControlClient; }
    // Raises a pending cause on the job with the given event arguments;
    // failures to record it are logged.
    void RaisePendingCause(uint32_t messageId, const std::vector<std::string>& arguments = {});

    // The volumes to snapshot. Returns false (and adds nothing) for a path
    // already listed.
    bool AddMountPath(const std::string& physicalPath);
    const std::vector<std::string>& GetMountPathList() const { return m_mountPaths; }

    // Set when the oplog (or log) position queries of UnQuiesceDB must not
    // run: the driver sets it when the quiesce or the snapshot failed, as
    // the position would describe no snapshot.
    bool GetSkipFlag() const { return m_skipFlag; }
    void SetSkipFlag(bool skip) { m_skipFlag = skip; }

    // Mounts every snapshot of this run; `pairs` = (source path, mount path).
    CZuError MountAllSnapshots(std::vector<std::pair<std::string, std::string>>& pairs);
    CZuError UnmountAllSnapshots();

    // Source path -> path in the mounted snapshot, for the files listed from
    // the snapshots.
    void CreateSourceToSnapIndexMap() { m_haveSnapPathMap = true; }
    bool HasSourceToSnapIndexMap() const { return m_haveSnapPathMap; }
    void AddSourceToSnapPath(const std::string& sourcePath, const std::string& snapPath);

    // Lists a file for the index: its source path, index path and the mount
    // point (volume) it was found under. Error 22 for an empty path.
    CZuError AddFileToList(const std::string& sourcePath, const std::string& indexPath,
                           const std::string& mountPoint);
    size_t GetFileCount() const { return m_files.size(); }

private:
    struct ListedFile {
        std::string sourcePath;
        std::string indexPath;
        std::string mountPoint;
    };
    using Step = int (DBSnapBackup::*)();
    // Runs one step; an exception counts as its failure.
    int RunStep(const char* name, Step step);
    // Deletes the snapshots of this run (after a failed run).
    void DeleteOwnSnapshots();
    const VolumeSnapshot* VolumeHolding(const std::string& sourcePath) const;

    std::shared_ptr<TWJobClient> m_backupJobClient;
    std::shared_ptr<TWJobControlClient> m_jobControlClient;
    int64_t m_jobId = 0;
    uint32_t m_marlexId = 0;
    uint32_t m_appId = 0;
    int m_attempt = 0;
    uint64_t m_sourceClientId = 0;
    std::string m_sourceClientName;

    std::atomic<bool> m_stopRequested{false};
    bool m_skipFlag = false;
    std::vector<std::string> m_mountPaths;
    std::vector<VolumeSnapshot> m_snapshots;
    uint64_t m_snapMilliseconds = 0;
    CZuError m_snapError;  // why the snapshot step failed
    bool m_haveSnapPathMap = false;
    std::map<std::string, std::string> m_snapPathMap;
    std::vector<ListedFile> m_files;
};
