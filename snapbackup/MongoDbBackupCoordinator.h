#pragma once
// The snapshot backup phase on the coordinating machine: discovers the
// deployment, stops the balancer of a sharded cluster, picks one secondary
// per replica set, gives every machine that runs chosen secondaries one task
// (snapshot them), and at the end restarts the balancer, writes the index
// records and hands each replica set's oplog point to the log backups.
//
// The job fails as a whole when any node or task fails; the failure is kept
// in the job status word, which OnComplete reads.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "access/MongoDbUtil.h"
#include "host/DistributedKax.h"
#include "logbackup/OplogBackupRecords.h"
#include "snapbackup/MongoDbClientConfig.h"
#include "topology/MongoDBServer.h"
#include "topology/MongoRepSetInfo.h"

class TWJobClient;
class TWJobControlClient;

namespace MongoDbKax {

// How long the node kept one secondary locked (its completion's
// "SecondaryLockWindowMs" pair).
struct SecondaryLockWindow_t {
    std::string replicaSetName;
    std::string host;
    uint32_t port = 0;
    int64_t milliseconds = 0;
};

class MongoDbBackupCoordinator : public DistributedKax::ICoordinator {
public:
    MongoDbBackupCoordinator();
    ~MongoDbBackupCoordinator() override;

    // Framework slots.
    bool isBackupJob() override { return false; }
    bool shouldSkipThisPhase() override { return false; }
    bool shouldExecCommand() override { return false; }
    bool shouldDistributeSubclientDirectory() override { return false; }
    DistributedKax::CClientConfig* getClientConfigObject() override { return m_config.get(); }
    CZuError initialize(DistributedKax::CClientConfig* config, CProgramArgumentsPtr args,
                        std::shared_ptr<TWJobClient> jobClient,
                        std::shared_ptr<TWJobControlClient> jobControlClient) override;
    std::string getNodeCommandName(const DistributedKax::CNode&) override { return {}; }
    // " -numstreams %d -t %d -d %s ".
    CZuError getCommandArgumentsForNode(const DistributedKax::CNode& node, std::string& args) override;
    CZuError ControllerDone(DistributedKax::CNode& node,
                            const DistributedKax::CControllerDoneMessage* done) override;
    void* getStreamAssignmentAdvisor() override { return nullptr; }
    // The node's task with its payload, "no more" (259) once any task failed
    // or none is left, or success without a task while a reassigned task
    // waits for another node.
    CZuError getTask(DistributedKax::CNode& node, const DistributedKax::CTaskRequest& request,
                     DistributedKax::CTaskInfo& info) override;
    CZuError OnTaskComplete(DistributedKax::CTask& task,
                            const DistributedKax::CTaskCompleteMessage& done) override;
    CZuError OnTaskAccepted(DistributedKax::CTask& task) override;
    bool isArchiveIndexRequired() override { return true; }
    CZuError OnTaskChange(DistributedKax::CTask& task, int& action) override;
    CZuError OnNodeChange(DistributedKax::CNode& node, int& action) override;
    // Error when the backup failed (earlier or here); see the .cpp files.
    CZuError OnComplete() override;

    // The job clients the framework gives initialize (its first step).
    void KeepJobClients(std::shared_ptr<TWJobClient> jobClient,
                        std::shared_ptr<TWJobControlClient> jobControlClient);

    // Planning: one plan record per replica set, one node and one task per
    // secondary host text.
    CZuError populateNodeAndTaskList();
    // Finds the record's secondary in the discovered server list; sets its
    // data path and, for the first server of a node, the node's client.
    CZuError GetSecondaryDataPath(MongoRepSetInfo_t& record, std::string& nodeName);

    // Completion.
    CZuError CleanupSnapshots();
    static bool IsFirstAttemptOfBackupPhase(const std::string& attemptToken);
    CZuError createMongoDbMetadataInIndex();
    // Oplog point hand-off.
    CZuError CreateOplogLastTimestampEntryInfo();
    CZuError UpdateOplogLastTimestampEntryForRepsets();
    CZuError UpdateTimestampInfoOnNodes();

    // State, for the framework's tests and the operator's view.
    std::vector<MongoRepSetInfo_t>& GetPlan() { return m_plan; }
    const std::vector<MongoDbOplogTimeStampInfo_t>& GetTimestampRecords() const { return m_timestamps; }
    const std::vector<std::string>& GetReceivedTimestampPairs() const { return m_timestampPairs; }
    const std::map<uint64_t, std::string>& GetStagingLocations() const { return m_stagingByClient; }
    const std::vector<SecondaryLockWindow_t>& GetLockWindows() const { return m_lockWindows; }
    bool IsJobFailed() const { return m_jobFailed; }
    void SetJobFailed() { m_jobFailed = true; }
    MongoDbUtil& GetUtil() { return m_util; }

private:
    CZuError InitializeInternal(CProgramArgumentsPtr args);
    CZuError SaveClusterConfig();
    void CollectDataAccessNodes(const App::MongoDBConfig& saved);
    void NameDataAccessNodes();
    void CarryDataAccessMarks(App::MongoDBConfig& discovered) const;
    CZuError UpdateRegionBasedStoragePolicy(uint64_t nodeClientId);
    CZuError AddNodeAndTask(int64_t& taskCount);
    CZuError BuildTaskPayload(DistributedKax::CTask& task, DistributedKax::CTaskInfo& info);
    void RaisePendingCause(uint32_t messageId, const std::vector<std::string>& arguments);
    void ReadLockWindow(const std::string& value);
    // Runs one step of the oplog point hand-off; its failure fails the job
    // with `failure` (a format taking the step's error text).
    CZuError HandOffStep(CZuError (MongoDbBackupCoordinator::*step)(), const char* failure);

    std::shared_ptr<MongoDbClientConfig> m_config;
    MongoDbUtil m_util;
    std::shared_ptr<TWJobClient> m_jobClient;
    std::shared_ptr<TWJobControlClient> m_jobControlClient;

    std::vector<MongoRepSetInfo_t> m_plan;
    std::vector<App::MongoDBServer> m_dataAccessNodes;
    // The node being assembled while planning.
    uint64_t m_nodeClientId = 0;
    std::string m_nodeName;
    std::vector<App::MongoDBServer> m_nodeServers;

    // What the nodes reported.
    std::vector<std::string> m_timestampPairs;          // "OplogLastEntryTSPerRepSet" values
    std::map<uint64_t, std::string> m_stagingByClient;  // node client id -> staging directory
    std::vector<SecondaryLockWindow_t> m_lockWindows;
    std::vector<MongoDbOplogTimeStampInfo_t> m_timestamps;

    bool m_regionBasedBackups = false;
    bool m_storagePolicyUpdated = false;
    bool m_jobFailed = false;
};

}  // namespace MongoDbKax
