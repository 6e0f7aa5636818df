// The node snapshot's view of the data paths: which directories are
// volumes, which files never reach the index, and the index paths.
#include "snapbackup/MongoDbSnapBackup.h"
#include "tests/snapbackup/SnapNodeSupport.h"

namespace MongoDbKax::testing {
namespace {

class SnapMountPathsTest : public SnapNodeTest {
protected:
    void SetUp() override {
        SnapNodeTest::SetUp();
        RegisterInstance("127.0.0.1", 1);
        base = root.File("vols");
        ASSERT_FALSE(CZuDirectory::Create(base + "/db").IsError());
        ASSERT_FALSE(CZuDirectory::Create(base + "/journalvol").IsError());
        ASSERT_FALSE(CZuDirectory::Create(base + "/realdb").IsError());
    }

    int Initialize(MongoDbSnapBackup& snap, const std::vector<MongoRepSetInfo_t>& records) {
        const auto argv = NodeArgv();
        const auto raw = Pointers(argv);
        auto jobClient = std::make_shared<TWBackupJobClient>();
        EXPECT_FALSE(jobClient->init("localhost", jobId).IsError());
        std::vector<std::string> dataPaths;
        for (const auto& r : records) dataPaths.push_back(r.secondaryDataPath);
        return snap.Initialize(dataPaths, records, int(raw.size()), raw.data(), jobClient, nullptr, MongoDbUtil());
    }

    static MongoRepSetInfo_t Record(const std::string& name, const std::string& dataPath) {
        MongoRepSetInfo_t r;
        r.replicaSetName = name;
        r.secondaryDataPath = dataPath;
        r.secondaryHost = "127.0.0.1";
        r.secondaryPort = 1;
        return r;
    }

    std::string base;
};

TEST_F(SnapMountPathsTest, DataPathsAndTheirLinksBecomeVolumes) {
    // db: a plain directory whose journal lives on another volume, plus a
    // link nothing can resolve; dblink: a data path that is itself a link.
    ASSERT_EQ(::symlink((base + "/journalvol").c_str(), (base + "/db/journal").c_str()), 0);
    ASSERT_EQ(::symlink((base + "/gone").c_str(), (base + "/db/dangling").c_str()), 0);
    ASSERT_EQ(::symlink((base + "/realdb").c_str(), (base + "/dblink").c_str()), 0);
    WriteFile(base + "/db/collection-0.wt", "x");

    struct Case {
        std::string dataPath;
        std::vector<std::pair<std::string, std::string>> expected;  // physical, link
    };
    const std::vector<Case> cases = {
        {base + "/db", {{base + "/db", ""}, {base + "/journalvol", base + "/db/journal"}}},
        {base + "/dblink", {{base + "/realdb", base + "/dblink"}}},
        {base + "/realdb", {{base + "/realdb", ""}}},
    };
    MongoDbSnapBackup snap;
    for (const Case& c : cases) {
        std::vector<RepSetMountPathInfo> paths;
        ASSERT_EQ(snap.GetMountPaths(c.dataPath, paths), 0) << c.dataPath;
        std::vector<std::pair<std::string, std::string>> got;
        for (const auto& p : paths) got.emplace_back(p.physicalPath, p.linkPath);
        EXPECT_EQ(got, c.expected) << c.dataPath;
    }
    std::vector<RepSetMountPathInfo> none;
    EXPECT_EQ(snap.GetMountPaths(base + "/missing", none), -1);
    EXPECT_NE(ReadLog().find("Failed to find physical path for link [" + base + "/db/dangling]"), std::string::npos);
}

TEST_F(SnapMountPathsTest, ReplicaSetsSharingAVolumeSnapshotItOnce) {
    ASSERT_EQ(::symlink((base + "/journalvol").c_str(), (base + "/db/journal").c_str()), 0);
    ASSERT_EQ(::symlink((base + "/journalvol").c_str(), (base + "/realdb/journal").c_str()), 0);
    MongoDbSnapBackup snap;
    ASSERT_EQ(Initialize(snap, {Record("rs0", base + "/db"), Record("rs1", base + "/realdb")}), 0);
    ASSERT_EQ(snap.FindDataPaths(), 0);
    EXPECT_EQ(snap.GetMountPathMap().at("rs0").size(), 2u);
    EXPECT_EQ(snap.GetMountPathMap().at("rs1").size(), 2u);
    EXPECT_NE(ReadLog().find("Add mount path [" + base + "/journalvol] for ReplicaSet [rs0]"), std::string::npos);
    EXPECT_EQ(ReadLog().find("Add mount path [" + base + "/journalvol] for ReplicaSet [rs1]"), std::string::npos)
        << "a volume is snapshotted once";
}

TEST_F(SnapMountPathsTest, AQuitRequestStopsBeforeAnyVolumeIsFound) {
    MongoDbSnapBackup snap;
    ASSERT_EQ(Initialize(snap, {Record("rs0", base + "/db")}), 0);
    snap.RequestStop();
    EXPECT_EQ(snap.FindDataPaths(), -1);
    EXPECT_NE(ReadLog().find("Quit Flag set. Exiting..."), std::string::npos);
}

TEST_F(SnapMountPathsTest, ServerFilesThatAreNotDataNeverReachTheIndex) {
    MongoRepSetInfo_t unlocked = Record("rs1", base + "/realdb");
    unlocked.quiesceSkipped = true;  // snapshotted without a lock
    MongoDbSnapBackup snap;
    ASSERT_EQ(Initialize(snap, {Record("rs0", base + "/db"), unlocked}), 0);
    struct Case {
        const char* path;
        const char* replicaSet;
        bool skipped;
    };
    for (const Case& c : std::vector<Case>{{"/d/mongod.lock", "rs0", true},
                                           {"/d/mongod.lock", "rs1", false},
                                           {"/d/MONGOD.LOCK", "rs0", false},
                                           {"/d/WiredTiger.backup", "rs0", true},
                                           {"/d/wiredtiger.BACKUP", "rs0", true},
                                           {"/d/diagnostic.data/metrics.interim", "rs0", true},
                                           {"/d/diagnostic.data/METRICS.INTERIM", "rs0", false},
                                           {"/tmp/mongodb-27017.sock", "rs0", true},
                                           {"/tmp/mongodb-27017.SOCK", "rs0", true},
                                           {"/d/WiredTiger.wt", "rs0", false},
                                           {"/d/collection-7.wt", "rs0", false}})
        EXPECT_EQ(snap.SkipFileFromBackup(c.path, c.replicaSet), c.skipped) << c.path << " " << c.replicaSet;
}

TEST_F(SnapMountPathsTest, IndexPathIsSlashReplicaSetThenTheSourcePath) {
    std::string out;
    MongoDbSnapBackup::GetSnapIndexPath("rs0", "/data/db/collection-7.wt", out);
    EXPECT_EQ(out, "/rs0/data/db/collection-7.wt");
    MongoDbSnapBackup::GetSnapIndexPath("cfg", "/var/lib/mongo/WiredTiger", out);
    EXPECT_EQ(out, "/cfg/var/lib/mongo/WiredTiger");
}

}  // namespace
}  // namespace MongoDbKax::testing
