// What the coordinator takes from the nodes' completion messages, the oplog
// point records it builds from them, and how it hands tasks out.
#include <gtest/gtest.h>

#include "CoordinatorTestSupport.h"
#include "platform/IndexStore.h"

using namespace MongoDbKax;
using namespace MongoDbKax::testing;
using DistributedKax::CTaskInfo;
using DistributedKax::CTaskRequest;

class CoordinatorCompletion : public ::testing::Test {
protected:
    TempStateRoot root;
};

TEST_F(CoordinatorCompletion, MountPathsGoToTheFirstPlanRecordOfTheExactReplicaSetName) {
    DetachedCoordinator c;
    auto& plan = c.coordinator.GetPlan();
    plan = {PlanRecord("rs0", "h", 1), PlanRecord("RS1", "h", 2), PlanRecord("rs1", "h", 3)};
    auto node = NodeNamed("nodeA");
    auto done = Done({{"MountPathsPerRepSet", "rs1#/data/rs1|,/journals/rs1|/data/rs1/journal"},
                      {"MountPathsPerRepSet", "rs0/data/rs0|"},  // no "#": changes nothing
                      {"MountPathsPerRepSet", "rs0#a#b"},       // three parts: ignored
                      {"SomethingElse", "x"}});
    ASSERT_FALSE(c.coordinator.ControllerDone(node, &done).IsError());
    EXPECT_TRUE(plan[0].mountPaths.empty());
    EXPECT_TRUE(plan[1].mountPaths.empty());
    EXPECT_EQ(plan[2].mountPaths, (std::vector<std::string>{"/data/rs1|", "/journals/rs1|/data/rs1/journal"}));
}

TEST_F(CoordinatorCompletion, KeepsTimestampPairsInArrivalOrderAndTheLastStagingLocationPerNode) {
    DetachedCoordinator c;
    auto a = NodeNamed("nodeA", 3), b = NodeNamed("nodeB", 4);
    auto first = Done({{"OplogLastEntryTSPerRepSet", "rs0:h:1:9:100"}, {"OplogDumpStagingLocation", "/s/old"},
                       {"OplogDumpStagingLocation", "/s/new"}});
    auto second = Done({{"OplogLastEntryTSPerRepSet", "rs1:h:2:9:200"}, {"OplogDumpStagingLocation", "/s/b"}});
    ASSERT_FALSE(c.coordinator.ControllerDone(a, &first).IsError());
    ASSERT_FALSE(c.coordinator.ControllerDone(b, &second).IsError());
    ASSERT_FALSE(c.coordinator.ControllerDone(b, nullptr).IsError());
    EXPECT_EQ(c.coordinator.GetReceivedTimestampPairs(), (std::vector<std::string>{"rs0:h:1:9:100", "rs1:h:2:9:200"}));
    EXPECT_EQ(c.coordinator.GetStagingLocations().at(3), "/s/new");
    EXPECT_EQ(c.coordinator.GetStagingLocations().at(4), "/s/b");
    EXPECT_FALSE(c.coordinator.IsJobFailed());
}

TEST_F(CoordinatorCompletion, AFailedCompletionFailsTheJob) {
    DetachedCoordinator c;
    auto node = NodeNamed("nodeA");
    auto done = Done({}, 3);
    ASSERT_FALSE(c.coordinator.ControllerDone(node, &done).IsError());
    EXPECT_TRUE(c.coordinator.IsJobFailed());
}

TEST_F(CoordinatorCompletion, LockWindowsBecomeInformationEventsOfTheJob) {
    DetachedCoordinator c;
    EvEvent::setJobId(c.jobId);
    auto node = NodeNamed("nodeA");
    auto done = Done({{"SecondaryLockWindowMs", "rs0:127.0.10.2:27102:1534"}, {"SecondaryLockWindowMs", "bad"}});
    ASSERT_FALSE(c.coordinator.ControllerDone(node, &done).IsError());
    ASSERT_EQ(c.coordinator.GetLockWindows().size(), 1u);
    EXPECT_EQ(c.coordinator.GetLockWindows()[0].milliseconds, 1534);
    std::vector<JobEventRecord> events;
    ASSERT_FALSE(JobStore::ListEvents(c.jobId, events).IsError());
    bool found = false;
    for (const auto& e : events)
        found |= e.text == "Secondary [127.0.10.2:27102] of replica set [rs0] was locked for [1534] ms";
    EXPECT_TRUE(found);
}

TEST(CoordinatorAttempt, OnlyTheFirstAttemptOfTheBackupPhaseSkipsTheCleanup) {
    struct Case {
        const char* token;
        bool first;
    } cases[] = {{"12:5:1", true}, {"12:5:2", false}, {"12:6:1", false}, {"12:5", false}, {"", false},
                 {"12:5:1:extra", true}};
    for (const auto& c : cases)
        EXPECT_EQ(MongoDbBackupCoordinator::IsFirstAttemptOfBackupPhase(c.token), c.first) << c.token;
}

TEST_F(CoordinatorCompletion, TimestampPairsBecomeRecordsAndMalformedOnesAreRefused) {
    struct Case {
        std::vector<std::string> values;
        bool ok;
        const char* error;
    } cases[] = {
        {{}, false, "Failed to get timestamp info from controller done message"},
        {{"rs0:h1:27017:12:1700000000", "rs 1:h2:27018:12:5"}, true, ""},
        {{"rs0:h1:27017:12"}, false, "Malformed OplogLastEntryTSPerRepSet value [rs0:h1:27017:12]"},
        {{"rs0:h1:port:12:5"}, false, "Malformed"},
        {{"rs0:h1:27017:12:5:6"}, false, "Malformed"},
        {{"rs0:h1:27017:12:-5"}, false, "Malformed"},
    };
    for (const auto& tc : cases) {
        DetachedCoordinator c;
        auto node = NodeNamed("nodeA");
        DistributedKax::NameValueList pairs;
        for (const auto& v : tc.values) pairs.push_back({"OplogLastEntryTSPerRepSet", v});
        auto done = Done(pairs);
        c.coordinator.ControllerDone(node, &done);
        CZuError err = c.coordinator.CreateOplogLastTimestampEntryInfo();
        EXPECT_EQ(err.IsSuccess(), tc.ok) << err.AsString();
        if (!tc.ok) {
            EXPECT_NE(err.GetMessage().find(tc.error), std::string::npos) << err.GetMessage();
            continue;
        }
        const auto& records = c.coordinator.GetTimestampRecords();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[1].replicaSetName, "rs 1");
        EXPECT_EQ(records[1].host, "h2");
        EXPECT_EQ(records[1].port, 27018u);
        EXPECT_EQ(records[0].fullJobId, 12);
        EXPECT_EQ(records[0].timestamp, 1700000000u);
    }
}

TEST_F(CoordinatorCompletion, TimestampsMatchPlanRecordsByExactNameHostAndPort) {
    DetachedCoordinator c;
    auto& plan = c.coordinator.GetPlan();
    plan = {PlanRecord("rs0", "db1.example", 27017), PlanRecord("rs1", "db2.example", 27018),
            PlanRecord("rs2", "db3.example", 27019)};
    auto node = NodeNamed("nodeA");
    auto done = Done({{"OplogLastEntryTSPerRepSet", "rs0:db1.example:27017:5:111"},
                      {"OplogLastEntryTSPerRepSet", "rs1:127.0.0.8:27018:5:222"},   // IP instead of the name
                      {"OplogLastEntryTSPerRepSet", "RS2:db3.example:27019:5:333"}}); // other case
    c.coordinator.ControllerDone(node, &done);
    ASSERT_FALSE(c.coordinator.CreateOplogLastTimestampEntryInfo().IsError());
    CZuError err = c.coordinator.UpdateOplogLastTimestampEntryForRepsets();
    ASSERT_FALSE(err.IsError());
    EXPECT_EQ(plan[0].oplogLastTimestamp, 111);
    EXPECT_EQ(plan[1].oplogLastTimestamp, 0);
    EXPECT_EQ(plan[2].oplogLastTimestamp, 0);

    // An unmatched replica set is not handed to its node with "ask the node
    // now": the entries since the snapshot would never be dumped.
    err = c.coordinator.UpdateTimestampInfoOnNodes();
    EXPECT_EQ(err.GetErrorCode(), ZuCode::RemoteFailure);
    EXPECT_NE(err.GetMessage().find("No oplog point was reported for repset [rs1], host [db2.example], port [27018]"),
              std::string::npos)
        << err.GetMessage();

    plan = {PlanRecord("rs9", "db9.example", 1)};
    err = c.coordinator.UpdateOplogLastTimestampEntryForRepsets();
    EXPECT_EQ(err.GetMessage(), "Failed to update Oplog last entry timestamps for repsets");
}

TEST_F(CoordinatorCompletion, AFailedJobCompletesWithAnErrorAndWritesNoIndex) {
    DetachedCoordinator c;
    c.coordinator.SetJobFailed();
    CZuError err = c.coordinator.OnComplete();
    EXPECT_EQ(err.GetMessage(), "Failed to complete the snap backup");
    EXPECT_EQ(err.GetErrorCode(), ZuCode::RemoteFailure);
    int64_t restart = 0;
    int done = 0;
    ASSERT_FALSE(IndexStore::GetIndexState(c.jobId, restart, done).IsError());
    EXPECT_EQ(done, 0);
}

// --- handing the tasks out ------------------------------------------------------

TEST_F(CoordinatorCompletion, GetTaskHandsTheNodeItsOwnTaskWithItsServers) {
    DetachedCoordinator c;
    c.AddTask("nodeA", "rs0");
    c.AddTask("nodeB", "rs1");
    auto node = NodeNamed("nodeB");
    CTaskInfo info;
    ASSERT_FALSE(c.coordinator.getTask(node, CTaskRequest{0, 1, 0}, info).IsError());
    EXPECT_EQ(info.taskId, 2);
    App::MongoDBConfig payload;
    ASSERT_FALSE(payload.UnserializeFromXml(info.payload).IsError());
    ASSERT_EQ(payload.serverList.size(), 1u);
    EXPECT_EQ(payload.serverList[0].replicaSetName, "rs1");
    ASSERT_TRUE(payload.credentials.has_value());
    EXPECT_TRUE(payload.credentials->password.empty());
}

TEST_F(CoordinatorCompletion, GetTaskAnswersByTheStatesOfTheNodesTasks) {
    using namespace DistributedKax;
    struct Case {
        const char* name;
        std::vector<int> statuses;   // of nodeA's tasks
        int worker;
        bool quit;
        uint32_t code;               // 0 = success
        int64_t taskId;              // 0 = no task
    } cases[] = {
        {"a new task is handed out", {TaskStatus::New}, 1, false, 0, 1},
        {"worker 0 takes any slot", {TaskStatus::New}, 0, false, 0, 1},
        {"no task for another worker slot", {TaskStatus::New}, 2, false, ZuCode::NoMoreItems, 0},
        {"a completed task leaves nothing", {TaskStatus::Completed}, 1, false, ZuCode::NoMoreItems, 0},
        {"a failed task stops every node", {TaskStatus::Failed, TaskStatus::New}, 1, false, ZuCode::NoMoreItems, 0},
        {"a stopped task stops every node", {TaskStatus::Stopped}, 1, false, ZuCode::NoMoreItems, 0},
        {"a quit request gives no task", {TaskStatus::New}, 1, true, ZuCode::NoMoreItems, 0},
    };
    for (const auto& tc : cases) {
        DetachedCoordinator c;
        for (int s : tc.statuses) c.AddTask("nodeA", "rs0", s);
        c.AddTask("nodeB", "rs1");
        if (tc.quit) c.controlClient->setQuit(true);
        auto node = NodeNamed("nodeA");
        CTaskInfo info;
        CZuError err = c.coordinator.getTask(node, CTaskRequest{0, tc.worker, 0}, info);
        EXPECT_EQ(err.GetErrorCode(), tc.code) << tc.name << ": " << err.AsString();
        EXPECT_EQ(info.taskId, tc.taskId) << tc.name;
        const bool failed = tc.quit || tc.statuses[0] == TaskStatus::Failed || tc.statuses[0] == TaskStatus::Stopped;
        EXPECT_EQ(c.coordinator.IsJobFailed(), failed) << tc.name;
    }
}

TEST_F(CoordinatorCompletion, AReassignedTaskGoesOnlyToANodeThatHasNotTriedIt) {
    DetachedCoordinator c;
    auto& task = c.AddTask("nodeA", "rs0", DistributedKax::TaskStatus::Handed);
    auto node = NodeNamed("nodeA");
    CTaskInfo info;
    ASSERT_FALSE(c.coordinator.getTask(node, CTaskRequest{0, 1, 0}, info).IsError());
    EXPECT_EQ(info.taskId, 1);
    task.handedTo.push_back("nodeA");
    info.Clear();
    ASSERT_FALSE(c.coordinator.getTask(node, CTaskRequest{0, 1, 0}, info).IsError());
    EXPECT_TRUE(info.IsEmpty());
}

TEST_F(CoordinatorCompletion, AnEmptyTaskListFailsTheJob) {
    DetachedCoordinator c;
    auto node = NodeNamed("nodeA");
    CTaskInfo info;
    CZuError err = c.coordinator.getTask(node, CTaskRequest{0, 1, 0}, info);
    EXPECT_EQ(err.GetErrorCode(), ZuCode::NoMoreItems);
    EXPECT_EQ(err.GetMessage(), "no more task found");
    EXPECT_TRUE(c.coordinator.IsJobFailed());
}

TEST_F(CoordinatorCompletion, AFailedTaskFailsTheOthersStillToRunAndTheJob) {
    using namespace DistributedKax;
    DetachedCoordinator c;
    auto& failed = c.AddTask("nodeA", "rs0", TaskStatus::Failed);
    c.AddTask("nodeB", "rs1", TaskStatus::Running);
    c.AddTask("nodeC", "rs2", TaskStatus::Completed);
    int action = 0;
    ASSERT_FALSE(c.coordinator.OnTaskChange(failed, action).IsError());
    EXPECT_EQ(action, Action::None);
    EXPECT_EQ(c.coordinator.GetTaskList()[1].status, TaskStatus::Failed);
    EXPECT_EQ(c.coordinator.GetTaskList()[2].status, TaskStatus::Completed);
    EXPECT_TRUE(c.coordinator.IsJobFailed());
}

TEST_F(CoordinatorCompletion, ANodeThatFailedToStartSetsTheQuitFlagAndAPendingCause) {
    DetachedCoordinator c;
    auto node = NodeNamed("nodeA");
    node.failed = node.startFailed = true;
    int action = 0;
    ASSERT_FALSE(c.coordinator.OnNodeChange(node, action).IsError());
    EXPECT_EQ(action, DistributedKax::Action::NodeStartFailed);
    EXPECT_TRUE(c.controlClient->isQuitRequested());
    EXPECT_TRUE(c.coordinator.IsJobFailed());
    std::vector<JobEventRecord> events;
    ASSERT_FALSE(JobStore::ListEvents(c.jobId, events).IsError());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().messageId, 0x07000114u);
    EXPECT_EQ(events.back().arguments, (std::vector<std::string>{"backup", "nodeA"}));
}

TEST_F(CoordinatorCompletion, AMalformedOplogPointFailsTheJobBeforeAnythingIsIndexed) {
    DetachedCoordinator c;
    c.coordinator.GetPlan() = {PlanRecord("rs0", "h", 1)};
    auto node = NodeNamed("nodeA");
    auto done = Done({{"OplogLastEntryTSPerRepSet", "rs0:h:1:9"}, {"OplogDumpStagingLocation", "/s"}});
    ASSERT_FALSE(c.coordinator.ControllerDone(node, &done).IsError());
    CZuError err = c.coordinator.OnComplete();
    EXPECT_EQ(err.GetMessage(),
              "Failed to construct oplog timestamp info with error [Malformed OplogLastEntryTSPerRepSet value [rs0:h:1:9]: "
              "expected <replica set>:<host>:<port>:<job id>:<timestamp>]");
    EXPECT_TRUE(c.coordinator.IsJobFailed());
    int64_t restart = 0;
    int indexed = 0;
    ASSERT_FALSE(IndexStore::GetIndexState(c.jobId, restart, indexed).IsError());
    EXPECT_EQ(indexed, 0);
}

TEST_F(CoordinatorCompletion, AFailedInitializeFailsTheCompletionToo) {
    DetachedCoordinator c;
    // No application: the utility cannot be initialized.
    auto args = std::make_shared<CProgramArguments>(
        std::vector<std::string>{"kaxrun", "-j", std::to_string(c.jobId), "-t", "1"});
    CZuError err = c.coordinator.initialize(c.coordinator.getClientConfigObject(), args, c.jobClient, c.controlClient);
    EXPECT_EQ(err.GetMessage(), "Failed to initialize MongoDB util object");
    EXPECT_TRUE(c.coordinator.IsJobFailed());
    EXPECT_EQ(c.coordinator.OnComplete().GetMessage(), "Failed to complete the snap backup");
}
