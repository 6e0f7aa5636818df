// The copy of a secondary's own configuration file that travels in its
// snapshot (a restore starts the server with it): made while locked, owner
// only, and a missing file does not fail the backup.
#include "platform/IndexStore.h"
#include "snapbackup/SnapNodeEventIds.h"
#include "tests/snapbackup/SnapNodeKit.h"

namespace MongoDbKax::testing {
namespace {

// A kit mongod started from a configuration file (no replica set: the oplog
// position is not asked for).
class NodeConfigCopyTest : public SnapNodeTest {
protected:
    void SetUp() override {
        SnapNodeTest::SetUp();
        SetSetting("bEnableMongoOpLogDumps", "false");
        dir = ScratchDir("snapconf");
        dbPath = dir + "/db";
        ASSERT_FALSE(CZuDirectory::Create(dbPath).IsError());
        port = FreePort("127.0.0.1");
        config = dir + "/mongod.conf";
        WriteFile(config, "storage:\n  dbPath: " + dbPath + "\nnet:\n  port: " + std::to_string(port) +
                              "\n  bindIp: 127.0.0.1\nsystemLog:\n  destination: file\n  path: " + dir +
                              "/mongod.log\nprocessManagement:\n  fork: true\n");
        bool ok = false;
        const std::string out = Shell(kKitBin + "/mongod --config '" + config + "' 2>&1", &ok);
        pid = ForkedPid(out);
        ASSERT_TRUE(ok) << out;
        RegisterInstance("127.0.0.1", port);
    }
    void TearDown() override {
        StopForked(pid);
        CZuDirectory::RemoveTree(dir);
    }

    NodeRun Run() {
        App::MongoDBServer server;
        server.hostName = "127.0.0.1";
        server.port = port;
        server.dbPath = dbPath;
        server.replicaSetName = "solo";
        App::MongoDBConfig payload;
        payload.serverList = {server};
        NodeRun run;
        RunNode(payload.SerializeToXml(), std::make_shared<MongoDbSnapBackup>(), run);
        return run;
    }

    std::string dir, dbPath, config;
    int port = 0;
    pid_t pid = 0;
};

TEST_F(NodeConfigCopyTest, TheServersConfigurationFileTravelsInTheSnapshotOwnerOnly) {
    const NodeRun run = Run();
    ASSERT_FALSE(run.taskError.IsError()) << run.taskError.AsString();
    const std::string copy = dbPath + "/tw_mongod_bkp.conf";
    EXPECT_EQ(ReadFileText(copy), ReadFileText(config));
    struct stat st;
    ASSERT_EQ(::stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::vector<IndexEntry> entries;
    ASSERT_FALSE(IndexStore::ListEntries(jobId, "default", "/solo" + copy, entries).IsError());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(ReadFileText(entries[0].sourcePath), ReadFileText(config));
}

TEST_F(NodeConfigCopyTest, AnUnreadableConfigurationFileIsReportedAndTheBackupGoesOn) {
    ASSERT_FALSE(FXFile::Delete(config).IsError());
    const NodeRun run = Run();
    ASSERT_FALSE(run.taskError.IsError()) << run.taskError.AsString();
    EXPECT_FALSE(FXFile::Exists(dbPath + "/tw_mongod_bkp.conf"));
    bool reported = false;
    for (const auto& e : Events(JobEventKind::Info))
        if (e.messageId == SnapNodeEventIds::kConfigCopyFailed)
            reported = e.arguments == std::vector<std::string>{"127.0.0.1:" + std::to_string(port)};
    EXPECT_TRUE(reported);
    EXPECT_NE(ReadLog().find("Failed to make a copy of mongod conf file [127.0.0.1:" + std::to_string(port) + "]"),
              std::string::npos);
}

}  // namespace
}  // namespace MongoDbKax::testing
