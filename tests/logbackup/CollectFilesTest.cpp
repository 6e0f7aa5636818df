// The dump lists of the replica sets and the collect files a log backup
// takes from them.
#include "tests/logbackup/LogBackupSupport.h"

namespace MongoDbKax::testing {
namespace {

class CollectFilesTest : public LogBackupTest {
protected:
    std::string Dump(const std::string& name, const std::string& bytes = "x") {
        const std::string path = StagingLocal(name);
        WriteText(path, bytes);
        return path;
    }
    int List(const std::string& replicaSet, const std::string& path, bool reset) {
        MongoDbOplogDumpsCollectfileFormat_t entry{replicaSet, path};
        return util.UpdateOplogDumpsCollectFile(entry, reset);
    }
};

TEST_F(CollectFilesTest, ListsStartAfreshOnResetAndNameEachDumpOnce) {
    struct Case {
        const char* name;
        std::string before;  // the list's text before
        bool reset;
        std::string after;   // with {NEW} for the new dump's line
    };
    const std::string older = Dump("oplog_rs0_100.bson", "12");
    const std::string fresh = Dump("oplog_rs0_200.bson", "123");
    const std::string line = fresh + "|3\n";
    const std::vector<Case> cases = {
        {"reset drops a longer older list", older + "|2\n" + older + "x|7\n" + older + "y|9\n", true,
         line},
        {"appended", older + "|2\n", false, older + "|2\n" + line},
        {"first dump", "", false, line},
        // A dump made again from the same point replaces the earlier one and
        // holds all it held: one line, with the new size.
        {"same dump again", fresh + "|1\n" + older + "|2\n", false, line + older + "|2\n"},
        {"cut last line dropped", older + "|2\n" + StagingLocal("oplog_rs0_1"), false,
         older + "|2\n" + line},
        {"whole last line without break kept", older + "|2", false, older + "|2\n" + line},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FXFile::Delete(Osc("LogFiles_rs0.twf"));
        if (!c.before.empty()) WriteText(Osc("LogFiles_rs0.twf"), c.before);
        ASSERT_EQ(List("rs0", fresh, c.reset), 0);
        EXPECT_EQ(ReadText(Osc("LogFiles_rs0.twf")), c.after);
    }
}

TEST_F(CollectFilesTest, NoListsMeansNothingToBackUp) {
    EXPECT_EQ(util.CreateCollectFilesForLogBackup(2), 1);
    EXPECT_NE(ReadLog().find("Found 0 files (LogFiles_<repsetname>.twf)  under [" + Osc() + "]"),
              std::string::npos);
    // The pass before it had no cycle to dump; the backup went on regardless.
    EXPECT_NE(ReadLog().find("Failed to perform oplog dump. Proceeding with backup ... "),
              std::string::npos);
}

TEST_F(CollectFilesTest, AListedDumpThatIsGoneIsLeftOutAndReported) {
    const int64_t job = StartJob();
    const std::string kept = Dump("oplog_rs0_100.bson", "ab");
    const std::string gone = StagingLocal("oplog_rs0_200.bson");
    const std::string list = kept + "|2\n" + gone + "|7\n" + "no separator\n";
    WriteText(Osc("LogFiles_rs0.twf"), list);

    ASSERT_EQ(util.CreateCollectFilesForLogBackup(2), 0);
    EXPECT_EQ(ReadText(AppResults("CollectInc1.twf")), kept + "|2\n");
    // The list itself stays as it was; nothing is deleted.
    EXPECT_EQ(ReadText(Osc("LogFiles_rs0.twf")), list);
    EXPECT_TRUE(FXFile::Exists(kept));
    const std::string why = "Oplog dump [" + gone + "] listed in [" + Osc("LogFiles_rs0.twf") +
                            "] is missing from the staging location; it cannot be backed up";
    EXPECT_NE(ReadLog().find(why), std::string::npos);
    bool reported = false;
    for (const auto& event : Events(job)) reported |= event.text == why;
    EXPECT_TRUE(reported);
}

TEST_F(CollectFilesTest, StaleCollectFilesOfAnUnfinishedBackupAreReplaced) {
    const std::string dump = Dump("oplog_rsB_100.bson");
    WriteText(Osc("LogFiles_rsB.twf"), dump + "|1\n");
    // Left by an earlier log backup of two replica sets that did not finish.
    WriteText(AppResults("CollectInc1.twf"), "/old/oplog_rsA_1.bson|1\n");
    WriteText(AppResults("CollectInc2.twf"), "/old/oplog_rsB_1.bson|1\n");
    WriteText(AppResults("MongoDbRepsetInfo.twf"), "1|rsA|\n2|rsB|\n");

    ASSERT_EQ(util.CreateCollectFilesForLogBackup(2), 0);
    EXPECT_EQ(ReadText(AppResults("CollectInc1.twf")), dump + "|1\n");
    EXPECT_FALSE(FXFile::Exists(AppResults("CollectInc2.twf")));
    EXPECT_EQ(ReadText(AppResults("MongoDbRepsetInfo.twf")), "1|rsB|\n");
}

TEST_F(CollectFilesTest, MapNeedsAReplicaSetInTheListName) {
    EXPECT_EQ(util.UpdateCollectFilesInfoMap(Osc("LogFiles.twf"), 1), 1);
    EXPECT_NE(ReadLog().find("Failed to find repset name from collect file ["), std::string::npos);
    EXPECT_FALSE(FXFile::Exists(AppResults("MongoDbRepsetInfo.twf")));
}

}  // namespace
}  // namespace MongoDbKax::testing
