#pragma once
// The snapshot backup phase on a node. The coordinator gives the node one
// task whose payload is the cluster configuration of the secondaries running
// on this machine; the controller turns it into replica-set records, runs the
// node snapshot (MongoDbSnapBackup) once, and returns in its completion the
// mount paths, the oplog positions, the lock window of every secondary and
// the oplog dump staging location.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "access/MongoDbUtil.h"
#include "host/DistributedKax.h"
#include "snapbackup/MongoDbControlClientConfig.h"
#include "snapbackup/MongoDbSnapBackup.h"
#include "topology/MongoRepSetInfo.h"

class TWJobClient;
class TWJobControlClient;

namespace MongoDbKax {

class MongoDbBackupController : public DistributedKax::CController {
public:
    MongoDbBackupController();
    // Runs `snapBackup` as the node's snapshot (tests give a prepared one).
    explicit MongoDbBackupController(std::shared_ptr<MongoDbSnapBackup> snapBackup);
    ~MongoDbBackupController() override;

    // Framework operations, in slot order.
    // The cluster configuration message goes to handleMongoDbConfigMsg; the
    // stop-tasks message stops a running snapshot as a quit request would.
    // A handler's error is sent to the coordinator as a failed completion.
    CZuError OnMessage(const CNMessageBase& message) override;
    int getNumberOfWorkers() override;
    CZuError OnStartStream(int stream) override;
    CZuError OnStopStream(int stream) override;
    // Reads the payload and runs the snapshot; errors carry code 774.
    CZuError OnTask(int worker, const DistributedKax::CTaskInfo& task,
                    DistributedKax::CTaskCompleteMessage& result) override;
    CZuError OnStopTask(int64_t taskId) override;
    // The completion pairs, in this order: "OplogLastEntryTSPerRepSet" per
    // replica set ("rs:host:port:job:timestamp"), "MountPathsPerRepSet" per
    // replica set ("rs#physical|link,..."), "SecondaryLockWindowMs" per
    // locked secondary ("rs:host:port:milliseconds from lock to unlock"),
    // "OplogDumpStagingLocation". An error, and no pair, when the snapshot
    // did not complete.
    CZuError SetAdditionalCtrlDoneValues(DistributedKax::CControllerDoneMessage& done) override;
    // Error 232 when the node needs no stream.
    CZuError getStreamRequest(DistributedKax::CStreamRequest& request) override;
    CZuError getTaskRequest(int worker, DistributedKax::CTaskRequest& request) override;
    CZuError processNodeInit(const CNMessageBase& nodeInit) override;
    // False while a snapshot runs.
    bool isControllerDone() override;
    void addKaxSpecificArgument(std::vector<std::string>& names) override;
    void OnChildTimedOut() override;
    CZuError OnTaskCleanup(int64_t taskId) override;
    DistributedKax::CClientConfig* getClientConfigObject() override;
    virtual CZuError handleMongoDbConfigMsg(const CNMessageBase& message);

    // What the node read from its payload.
    const std::vector<std::string>& GetDataPaths() const { return m_dataPaths; }
    const std::vector<std::string>& GetReplicaSetNames() const { return m_replicaSetNames; }
    const std::vector<MongoRepSetInfo_t>& GetRecords() const { return m_records; }

private:
    // Parses a cluster configuration (XML) into the node's data paths and
    // records, and takes its credentials. `fromMessage` selects the texts of
    // the message handler.
    CZuError ReadNodePayload(const std::string& xml, bool fromMessage);
    CZuError PrepareJobClients();
    CZuError RunSnapshot();
    CZuError Failure(const FXCodeLocation& where, const char* format) const;

    MongoDbControlClientConfig m_config;
    std::shared_ptr<MongoDbSnapBackup> m_snapBackup;
    MongoDbUtil m_util;
    std::string m_dbPassword;  // clear text from the payload, wiped on destruction
    std::vector<std::string> m_dataPaths;
    std::vector<std::string> m_replicaSetNames;
    std::vector<MongoRepSetInfo_t> m_records;
    std::shared_ptr<TWJobControlClient> m_jobControlClient;
    std::shared_ptr<TWJobClient> m_backupJobClient;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    bool m_snapSucceeded = false;
};

}  // namespace MongoDbKax
