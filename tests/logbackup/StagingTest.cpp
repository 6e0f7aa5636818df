// The staging location of the dumps and the rule that makes a node due for
// a log backup.
#include "tests/logbackup/LogBackupSupport.h"

namespace MongoDbKax::testing {
namespace {

class StagingTest : public LogBackupTest {
protected:
    static CProgramArgumentsPtr Args(std::vector<std::string> args) {
        args.insert(args.begin(), "VADeverOREzuz");
        return std::make_shared<CProgramArguments>(args);
    }
};

TEST_F(StagingTest, CountsEveryDumpButTheEntriesOfTheFileSystem) {
    for (const char* name : {"oplog_rs0_100.bson", "oplog_rs1_5.bson", "x.oplog_y", ".snapshot",
                             "oplog.rs.bson", "oplog.rs.metadata.json", "notes"})
        WriteText(StagingLocal(name), "");
    CZuDirectory::Create(StagingLocal("lost+found"));
    uint64_t count = 5;  // the count is added to
    ASSERT_EQ(util.CountOplogDumpsInStagingLoc(count), 0);
    EXPECT_EQ(count, 5u + 3u);

    CZuDirectory::RemoveTree(StagingLocal());
    EXPECT_EQ(util.CountOplogDumpsInStagingLoc(count), 1);
    EXPECT_NE(ReadLog().find("Failed to open the directory [" + StagingLocal()), std::string::npos);
}

TEST_F(StagingTest, DueByDumpCountOrByDiskUseButNeverWithoutDumps) {
    struct Case {
        const char* name;
        const char* countThreshold;
        const char* spaceThreshold;  // percent used; 1 is passed on any real disk
        int dumps;
        bool due;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"count reached", "3", "0", 3, true,
         "Threshold is reached. Found number of dump files [3] in staging location"},
        {"count not reached", "3", "0", 2, false, "Found number of dump files [2] in"},
        {"disk use reached", "3", "1", 2, true,
         "Threshold is reached. Found disk used space ["},
        {"full disk without dumps", "0", "1", 0, false, "Found disk used percentage ["},
        {"no thresholds", "0", "0", 5, false, "Thresholds are not met .... "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MongoDbUtil check;
        CProgramArgumentsPtr args = Args({"-a", "2:15", "-lognumth", c.countThreshold, "-spaceth",
                                          c.spaceThreshold});
        ASSERT_EQ(check.IntializeOSCContext(args), 0);
        CZuDirectory::RemoveTree(StagingLocal());
        CZuDirectory::Create(StagingLocal());
        for (int i = 0; i < c.dumps; ++i)
            WriteText(StagingLocal("oplog_rs0_" + std::to_string(i) + ".bson"), "");
        QualifyRet qualify;
        int count = -1;
        ASSERT_EQ(check.CheckStagingLocQualifyForBackup(qualify, count), 0);
        EXPECT_EQ(qualify.IsDue(), c.due);
        EXPECT_EQ(qualify.value, c.due ? QualifyRet::Due : QualifyRet::NotDue);
        EXPECT_EQ(count, c.dumps);
        EXPECT_NE(ReadLog().find(c.logged), std::string::npos);
    }
}

TEST_F(StagingTest, StagingLocationFromTheSettingOrAClearError) {
    const std::string configured = root.File("staging area");
    SetSetting("sOpLogDumpStagingLoc", configured);
    ASSERT_EQ(util.SetOplogDumpsStagingLocation(), 0);
    EXPECT_EQ(util.GetStagingDir(), configured);
    EXPECT_TRUE(FXFile::IsDirectory(configured + "/local"));

    // A location below a plain file cannot be made.
    WriteText(root.File("plain"), "");
    SetSetting("sOpLogDumpStagingLoc", root.File("plain/staging"));
    EXPECT_EQ(util.SetOplogDumpsStagingLocation(), 1);
    EXPECT_NE(ReadLog().find("Failed to create staging directory for dumps [" +
                             root.File("plain/staging/local") + "]"),
              std::string::npos);
    MongoDbUtil fresh(kAppId, kMarlexId);
    EXPECT_EQ(fresh.Initialize(), 1);
    EXPECT_NE(ReadLog().find("Failed to set staging location for oplog dumps"), std::string::npos);
    // Nothing already staged was touched.
    EXPECT_TRUE(FXFile::IsDirectory(configured + "/local"));
}

}  // namespace
}  // namespace MongoDbKax::testing
