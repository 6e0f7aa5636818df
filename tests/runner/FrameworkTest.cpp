// The framework stand-in drives a test module (fixtures/TestModule.cpp)
// through kaxrun with real node processes; the module's coordinator records
// every call it gets as an event of the job, which these tests read back.
#include <gtest/gtest.h>

#include <algorithm>

#include "RunnerSupport.h"
#include "host/Entities.h"
#include "host/JobManager.h"

namespace {

const std::vector<std::string> kClients{"cs", "nodeA", "nodeB"};

uint64_t ClientId(const TestStateRoot& root, const std::string& name) {
    root.Use();
    TWClient client;
    EXPECT_FALSE(TWClient::ByName(name, client).IsError());
    return client.id;
}

JobRecord Job(const TestStateRoot& root, int64_t id) {
    root.Use();
    JobRecord job;
    CZuError err = JobStore::GetJob(id, job);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    return job;
}

TEST(Framework, TwoNodesTakeTasksExchangeMessagesAndReportCompletionPairs) {
    TestStateRoot root(kClients);
    KaxrunResult r = root.RunTestPhase("backup", {"-scenario", "tasks"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Job 1 Completed"), std::string::npos) << r.out;

    auto texts = root.InfoTexts(1);
    // Three addNode calls in initialize and one more in loadNodeConfiguration: two nodes.
    EXPECT_TRUE(HasText(texts, "initialize phase=backup job=1 client=cs log=0 lfjob="));
    EXPECT_TRUE(HasText(texts, "nodes 2"));
    for (const std::string node : {"nodeA", "nodeB"}) {
        SCOPED_TRACE(node);
        EXPECT_TRUE(HasText(texts, "started " + node + " StartupKey=" + node));
        // The first answer was "ask again later"; the node asked again and got its tasks.
        int wait = IndexOf(texts, "wait " + node);
        int firstTask = IndexOf(texts, "task " + std::string(node == "nodeA" ? "1" : "3"));
        EXPECT_GE(wait, 0);
        EXPECT_GT(firstTask, wait);
        // Both workers ran until told "no more" and the node completed with its pairs,
        // the message sent to it and the node-init pair included, repeated names kept.
        EXPECT_TRUE(HasText(texts, "done " + node + " status=1 Ping=ping " + node + ";Greeting=hello " + node +
                                       ";NodeFlag=value with blank;Tasks=2;Repeated=1;Repeated=2;StopTasks=0"));
    }
    // Each task went to the worker whose number matches its slot, workers numbered from 1.
    EXPECT_TRUE(HasText(texts, "task 1 node=nodeA status=5 worker=1;slot=1;echo=echo 1"));
    EXPECT_TRUE(HasText(texts, "task 2 node=nodeA status=5 worker=2;slot=2;echo=echo 2"));
    EXPECT_TRUE(HasText(texts, "task 3 node=nodeB status=5 worker=1;slot=1;echo=echo 3"));
    EXPECT_TRUE(HasText(texts, "task 4 node=nodeB status=5 worker=2;slot=2;echo=echo 4"));
    EXPECT_TRUE(HasText(texts, "idle"));
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "complete phase=backup");

    EXPECT_EQ(Job(root, 1).status, JobOutcome::Completed);
    std::string nodes;
    EXPECT_FALSE(App::MiscOptions::getMiscOption(1, JM_MULTINDOE_PARTICIPATEDNODES, nodes).IsError());
    EXPECT_EQ(nodes, std::to_string(ClientId(root, "nodeA")) + "," + std::to_string(ClientId(root, "nodeB")));
}

TEST(Framework, CoordinatorStopsNodesThatWouldWaitForever) {
    TestStateRoot root(kClients);
    KaxrunResult r = root.RunTestPhase("backup", {"-scenario", "stop"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    auto texts = root.InfoTexts(1);
    for (const std::string node : {"nodeA", "nodeB"}) {
        SCOPED_TRACE(node);
        // Stopped once, after its tasks; the stop-tasks message reached OnMessage.
        int stopping = IndexOf(texts, "stopping " + node);
        EXPECT_GT(stopping, IndexOf(texts, "task " + std::string(node == "nodeA" ? "2" : "4")));
        EXPECT_EQ(std::count(texts.begin(), texts.end(), "stopping " + node), 1);
        int done = IndexOf(texts, "done " + node + " status=1");
        EXPECT_GT(done, stopping);
        EXPECT_NE(texts[size_t(done)].find("Tasks=2;Repeated=1;Repeated=2;StopTasks=1"), std::string::npos);
    }
}

TEST(Framework, CrashingNodeIsReportedThroughOnNodeChangeAndFailsTheJob) {
    TestStateRoot root(kClients);
    KaxrunResult r = root.RunTestPhase("backup", {"-scenario", "crash"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(LineCount(r.err), 1) << r.err;
    EXPECT_NE(r.err.find("job 1 failed: node [nodeB] ended without completing: killed by signal 6"),
              std::string::npos)
        << r.err;

    auto texts = root.InfoTexts(1);
    EXPECT_GE(IndexOf(texts, "nodechange nodeB startFailed=0 reason=killed by signal 6"), 0);
    EXPECT_GE(IndexOf(texts, "task 3 node=nodeB status=6"), 0);  // the task it was running failed
    EXPECT_TRUE(HasText(texts, "done nodeB null"));
    EXPECT_GE(IndexOf(texts, "done nodeA status=1"), 0);  // the other node is not disturbed
    EXPECT_EQ(texts.back(), "complete phase=backup");

    JobRecord job = Job(root, 1);
    EXPECT_EQ(job.status, JobOutcome::Failed);
    EXPECT_NE(job.reason.find("nodeB"), std::string::npos);
    std::string nodes;
    EXPECT_EQ(App::MiscOptions::getMiscOption(1, JM_MULTINDOE_PARTICIPATEDNODES, nodes).GetErrorCode(),
              ZuCode::NotFound);
}

TEST(Framework, NodeThatCannotStartGetsPendingCauseAndQuitFlag) {
    TestStateRoot root(kClients);
    KaxrunResult r = root.RunTestPhase("backup", {"-scenario", "startfail"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("node [nodeB] failed to start"), std::string::npos) << r.err;

    auto texts = root.InfoTexts(1);
    EXPECT_GE(IndexOf(texts, "nodechange nodeB startFailed=1 reason=cannot run [" TEST_BUILD_DIR "/no-such-node-program]"),
              0);
    EXPECT_TRUE(HasText(texts, "done nodeB null"));
    auto pending = root.Events(1, JobEventKind::Pending);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].messageId, 0x07000114u);
    EXPECT_EQ(pending[0].arguments, (std::vector<std::string>{"backup", "nodeB"}));
    EXPECT_TRUE(Job(root, 1).quit);
}

TEST(Framework, CoordinatorWhoseInitializeFailsStillGetsOnComplete) {
    TestStateRoot root(kClients);
    KaxrunResult r = root.RunTestPhase("backup", {"-scenario", "initfail"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("test initialize failure"), std::string::npos) << r.err;
    EXPECT_EQ(root.InfoTexts(1), (std::vector<std::string>{
                                     "initialize phase=backup job=1 client=cs log=0 lfjob=", "complete phase=backup"}));
}

struct FollowUpCase {
    const char* name;
    const char* phase;
    std::vector<std::string> args;
    std::vector<std::string> phases;  // the phases the job ran
    const char* lastInitialize;       // what the last phase's initialize saw
};

class FollowUpPhases : public testing::TestWithParam<FollowUpCase> {};

TEST_P(FollowUpPhases, RunnerRunsThePhasesThatFollow) {
    const FollowUpCase& c = GetParam();
    TestStateRoot root(kClients);
    KaxrunResult r = root.RunTestPhase(c.phase, c.args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    root.Use();
    std::vector<JobPhaseRecord> phases;
    ASSERT_FALSE(JobStore::ListPhases(1, phases).IsError());
    std::vector<std::string> names;
    for (const auto& p : phases) {
        names.push_back(p.phase);
        EXPECT_EQ(p.outcome, JobOutcome::Completed);
    }
    EXPECT_EQ(names, c.phases);
    std::string lastInitialize;
    for (const auto& text : root.InfoTexts(1))
        if (text.compare(0, 11, "initialize ") == 0) lastInitialize = text;
    EXPECT_EQ(lastInitialize, c.lastInitialize);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FollowUpPhases,
    testing::Values(
        FollowUpCase{"PostOpAfterBackupThatAskedForIt", "backup", {"-scenario", "postop"}, {"backup", "postop"},
                     "initialize phase=postop job=1 client=cs log=0 lfjob=7"},
        FollowUpCase{"LogPhaseAfterRestoreDataPhase", "restore", {}, {"restore", "restore"},
                     "initialize phase=restore job=1 client=cs log=1 lfjob="},
        FollowUpCase{"NoLogPhaseWhenDetailSaysNotNeeded", "restore", {"-scenario", "nolog"}, {"restore"},
                     "initialize phase=restore job=1 client=cs log=0 lfjob="}),
    [](const testing::TestParamInfo<FollowUpCase>& info) { return info.param.name; });

}  // namespace
