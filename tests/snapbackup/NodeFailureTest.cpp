// Whatever fails on the node, no secondary stays locked, the task fails with
// its reason, and the completion carries no values.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "snapbackup/SnapNodeEventIds.h"
#include "tests/snapbackup/SnapNodeKit.h"

namespace MongoDbKax::testing {
namespace {

class NodeFailureTest : public NodeKitTest {
protected:
    // The task failed with code 774 naming `reason`, nothing is locked and
    // the node reports no values.
    void ExpectFailedAndUnlocked(const NodeRun& run, const std::string& reason) {
        ASSERT_TRUE(run.taskError.IsError());
        EXPECT_EQ(run.taskError.GetErrorCode(), ZuCode::RemoteFailure);
        EXPECT_NE(run.taskError.AsString().find(reason), std::string::npos) << run.taskError.AsString();
        EXPECT_TRUE(run.doneError.IsError());
        EXPECT_TRUE(run.done.pairs.empty());
        for (int i = 0; i < s_set->Size(); ++i) EXPECT_FALSE(Locked(s_set->Ip(i), s_set->Port(i))) << i;
        EXPECT_TRUE(JobSnapshots().empty()) << "a failed run keeps no snapshot";
    }
};

TEST_F(NodeFailureTest, ASnapshotEngineFailureUnlocksAndFails) {
    // The store cannot be created: a file is in its place.
    WriteFile(SnapshotEngine::GetStoreRoot(), "not a directory");
    auto snap = std::make_shared<WatchedSnapBackup>();
    bool lockedDuringCopy = false;
    snap->whileLocked = [&] { lockedDuringCopy = SecondaryLocked(); };
    NodeRun run;
    RunNode(Payload({Server(secondary)}), snap, run);
    EXPECT_TRUE(lockedDuringCopy);
    ExpectFailedAndUnlocked(run, "Failed to Run Ostrel for the subclient [2:15]");
    EXPECT_NE(run.taskError.AsString().find("cannot create the snapshot store"), std::string::npos)
        << run.taskError.AsString();
    EXPECT_FALSE(HasPendingCause(SnapNodeEventIds::kUnquiesceFailed));
}

TEST_F(NodeFailureTest, ASecondaryDeadBeforeItsLockLeavesTheOthersUnlocked) {
    App::MongoDBServer dead = Server(secondary, "rs1");
    dead.hostName = "127.0.0.1";
    dead.port = FreePort("127.0.0.1");
    dead.dbPath = root.File("dead-member");
    ASSERT_FALSE(CZuDirectory::Create(dead.dbPath).IsError());
    NodeRun run;
    RunNode(Payload({Server(secondary), dead}), std::make_shared<MongoDbSnapBackup>(), run);
    ExpectFailedAndUnlocked(run, "Failed to Run Ostrel");
    EXPECT_NE(run.taskError.AsString().find("QuiesceDB failed"), std::string::npos) << run.taskError.AsString();
    const auto pending = Events(JobEventKind::Pending);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].messageId, SnapNodeEventIds::kQuiesceFailed);
    ASSERT_EQ(pending[0].arguments.size(), 1u);
    EXPECT_FALSE(pending[0].arguments[0].empty());
    EXPECT_NE(ReadLog().find("m_mdbUtil::QuiesceDB returned failure"), std::string::npos);
    EXPECT_EQ(ReadLog().find("Failed to retrieve Oplog last entry timestamp"), std::string::npos)
        << "no oplog position is read for a snapshot that was not taken";
}

TEST_F(NodeFailureTest, AQuitRequestDuringTheSnapshotUnlocksAndFails) {
    const std::vector<std::string> ways = {"job quit flag", "stop request"};
    for (const std::string& way : ways) {
        auto snap = std::make_shared<WatchedSnapBackup>();
        MongoDbSnapBackup* raw = snap.get();
        snap->whileLocked = [&, raw] {
            if (way == ways[0])
                ASSERT_FALSE(JobStore::SetQuit(jobId, true).IsError());
            else
                raw->RequestStop();
        };
        NodeRun run;
        RunNode(Payload({Server(secondary)}), snap, run);
        ExpectFailedAndUnlocked(run, "Failed to Run Ostrel");
        EXPECT_NE(run.taskError.AsString().find("error 995"), std::string::npos) << way << run.taskError.AsString();
        ASSERT_FALSE(JobStore::SetQuit(jobId, false).IsError());
    }
}

TEST_F(NodeFailureTest, TheStopTasksMessageReachesTheSnapshot) {
    auto snap = std::make_shared<MongoDbSnapBackup>();
    MongoDbBackupController controller(snap);
    ASSERT_FALSE(controller.OnMessage(CNMessageBase(DistributedKax::FrameworkMessage::StopActiveTasks)).IsError());
    NodeRun run;
    RunNode(Payload({Server(secondary)}), snap, run);
    ExpectFailedAndUnlocked(run, "Failed to Run Ostrel");
    EXPECT_NE(ReadLog().find("Quit Flag set. Exiting..."), std::string::npos);
}

TEST_F(NodeFailureTest, APayloadThatIsNotAUsableClusterConfigurationFailsBeforeAnyLock) {
    App::MongoDBServer noPath = Server(secondary), noSet = Server(secondary), noHost = Server(secondary);
    noPath.dbPath.clear();
    noSet.replicaSetName.clear();
    noHost.hostName.clear();
    struct Case {
        std::string payload;
        const char* reason;
    };
    App::MongoDBConfig clearPassword;
    clearPassword.serverList = {Server(secondary)};
    clearPassword.credentials = App::MongoDBCredentials{"backup", "a password in clear"};
    const std::vector<Case> cases = {
        {"not xml at all", "Failed to get the task payload for the subclient [2:15]"},
        {clearPassword.SerializeToXml(), "Failed to decrypt the password of database user [backup]"},
        {CNMessageBase("SomethingElse").ToXml(), "Failed to get the task payload for the subclient [2:15]"},
        {Payload({}), "Failed to get the task payload for the subclient [2:15]"},
        {Payload({noPath}), "Failed to get the DataPath for the subclient [2:15]"},
        {Payload({noSet}), "Failed to get the repset for the subclient [2:15]"},
        {Payload({noHost}), "Failed to get the hostname for the subclient [2:15]"},
    };
    for (const Case& c : cases) {
        NodeRun run;
        RunNode(c.payload, std::make_shared<MongoDbSnapBackup>(), run);
        ExpectFailedAndUnlocked(run, c.reason);
    }
    EXPECT_EQ(ReadLog().find("QuiesceDB Begin"), std::string::npos) << "nothing was locked";
}

TEST_F(NodeFailureTest, TheConfigurationMessageGivesOneRecordPerReplicaSet) {
    MongoDbBackupController controller;
    RecordingControllerHost host;
    controller.AttachHost(&host, NodeArgs());
    ASSERT_FALSE(controller.processNodeInit(CNMessageBase(DistributedKax::FrameworkMessage::NodeInit)).IsError());
    App::MongoDBConfig config;
    config.serverList = {Server(secondary), Server(primary)};
    CNMessageBase message;
    config.Serialize(message);
    ASSERT_FALSE(controller.OnMessage(message).IsError());
    ASSERT_EQ(controller.GetRecords().size(), 1u) << "the first server of a replica set counts";
    EXPECT_EQ(controller.GetRecords()[0].secondaryPort, uint32_t(secPort));
    EXPECT_EQ(controller.GetDataPaths().size(), 2u);

    // A message without servers is sent back as a failed completion.
    config.serverList.clear();
    config.Serialize(message);
    EXPECT_TRUE(controller.OnMessage(message).IsError());
    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_EQ(host.sent[0].status, 3);
    EXPECT_NE(host.sent[0].text.find("Failed to get the secondary server list"), std::string::npos);
}

// The node process dies while its secondary is locked: the watchdog it
// started unlocks the secondary.
TEST_F(NodeFailureTest, AKilledNodeProcessLeavesNothingLocked) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const std::string payload = Payload({Server(secondary)});
    const pid_t node = ::fork();
    ASSERT_GE(node, 0);
    if (node == 0) {
        ::close(ready[0]);
        StateDb::Close();  // the child opens its own connection
        auto snap = std::make_shared<WatchedSnapBackup>();
        snap->whileLocked = [&] {
            if (::write(ready[1], "L", 1) != 1) ::_exit(2);
            for (;;) ::pause();
        };
        NodeRun run;
        RunNode(payload, snap, run);
        ::_exit(1);  // never reached: the parent kills this process first
    }
    ::close(ready[1]);
    char locked = 0;
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 60000), 1) << "the node never locked its secondary";
    ASSERT_EQ(::read(ready[0], &locked, 1), 1);
    ::close(ready[0]);
    EXPECT_TRUE(SecondaryLocked());
    ::kill(node, SIGKILL);
    int status = 0;
    ::waitpid(node, &status, 0);

    bool unlocked = false;
    for (int i = 0; i < 300 && !unlocked; ++i) {
        unlocked = !SecondaryLocked();
        if (!unlocked) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(unlocked);
    EXPECT_NE(ReadLog().find("Unlocked secondary [" + secIp + ":" + std::to_string(secPort) +
                             "] that the snapshot process left locked"),
              std::string::npos);
}

}  // namespace
}  // namespace MongoDbKax::testing
