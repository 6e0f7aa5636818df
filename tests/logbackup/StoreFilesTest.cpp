// The files oplog backup keeps on a node, byte for byte against golden
// copies, and how their texts are read back.
#include "logbackup/OplogStoreFormat.h"
#include "tests/logbackup/LogBackupSupport.h"

namespace MongoDbKax::testing {
namespace {

class StoreFilesTest : public LogBackupTest {
protected:
    // The golden text with {LOCAL} standing for this test's staging/local.
    std::string Golden(const std::string& name) {
        std::string text = GoldenFile(name);
        for (size_t at; (at = text.find("{LOCAL}")) != std::string::npos;)
            text.replace(at, 7, StagingLocal());
        return text;
    }
};

TEST_F(StoreFilesTest, TimestampFileAndLastFullJobMatchTheGoldenFiles) {
    ASSERT_EQ(util.SaveOplogLastEntryTSInFile(
                  Record("rs0", "db2.example.test", 27017, 1700000123, 42), true),
              0);
    EXPECT_EQ(ReadText(Osc("LAST_FULL_JOB")), GoldenFile("LAST_FULL_JOB"));
    EXPECT_EQ(ReadText(Osc("oplog_rs0.ts")), GoldenFile("oplog_rs0_cycle_start.ts"));

    // It reads back as it was written, the mark as the reset flag.
    std::vector<MongoDbOplogTimeStampInfo_t> records;
    bool reset = false;
    ASSERT_EQ(util.GetOplogLastEntryTSFromFile(records, reset), 0);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(reset);
    EXPECT_TRUE(records[0].resetMark);
    EXPECT_EQ(records[0].replicaSetName, "rs0");
    EXPECT_EQ(records[0].host, "db2.example.test");
    EXPECT_EQ(records[0].port, 27017u);
    EXPECT_EQ(records[0].timestamp, 1700000123u);
    EXPECT_EQ(records[0].fullJobId, 42);
    EXPECT_EQ(records[0].fileName, "oplog_rs0.ts");

    // A dump pass's record carries no mark.
    ASSERT_EQ(util.SaveOplogLastEntryTSInFile(
                  Record("rs0", "db2.example.test", 27017, 1700000456, 42), false),
              0);
    EXPECT_EQ(ReadText(Osc("oplog_rs0.ts")), GoldenFile("oplog_rs0_after_dump.ts"));
    ASSERT_EQ(util.GetOplogLastEntryTSFromFile(records, reset), 0);
    EXPECT_FALSE(reset);
    EXPECT_NE(ReadLog().find("Updated timestamp file ["), std::string::npos);
}

TEST_F(StoreFilesTest, DumpListMatchesTheGoldenFile) {
    const std::string first = StagingLocal("oplog_rs0_1700000123.bson");
    WriteText(first, "abc");
    MongoDbOplogDumpsCollectfileFormat_t entry{"rs0", first};
    ASSERT_EQ(util.UpdateOplogDumpsCollectFile(entry, false), 0);
    // A dump whose size cannot be read is listed with size 0.
    entry.dumpFilePath = StagingLocal("oplog_rs0_1700000456.bson");
    ASSERT_EQ(util.UpdateOplogDumpsCollectFile(entry, false), 0);
    EXPECT_EQ(ReadText(Osc("LogFiles_rs0.twf")), Golden("LogFiles_rs0.twf"));
    EXPECT_NE(ReadLog().find("Failed to get file size ["), std::string::npos);
}

TEST_F(StoreFilesTest, CollectFilesAndReplicaSetMapMatchTheGoldenFiles) {
    const std::string dumpA = StagingLocal("oplog_rsA_100.bson");
    const std::string dumpB = StagingLocal("oplog_rsB_200.bson");
    WriteText(dumpA, "a");
    WriteText(dumpB, "bb");
    WriteText(Osc("LogFiles_rsA.twf"), dumpA + "|1\n");
    WriteText(Osc("LogFiles_rsB.twf"), dumpB + "|2\n");
    WriteText(Osc("notes.txt"), "not a list");

    ASSERT_EQ(util.CreateCollectFilesForLogBackup(2), 0);
    EXPECT_EQ(ReadText(AppResults("CollectInc1.twf")), dumpA + "|1\n");
    EXPECT_EQ(ReadText(AppResults("CollectInc2.twf")), dumpB + "|2\n");
    EXPECT_EQ(ReadText(AppResults("MongoDbRepsetInfo.twf")), GoldenFile("MongoDbRepsetInfo.twf"));
    EXPECT_NE(ReadLog().find("Collect file [" + Osc("LogFiles_rsB.twf") + "] belongs to repset [rsB]"),
              std::string::npos);

    // A full (level 1) backup names them "Tot"; the earlier run's files and
    // map lines do not linger to be counted again.
    ASSERT_EQ(util.CreateCollectFilesForLogBackup(1), 0);
    EXPECT_EQ(ReadText(AppResults("CollectTot1.twf")), dumpA + "|1\n");
    EXPECT_FALSE(FXFile::Exists(AppResults("CollectInc1.twf")));
    EXPECT_EQ(ReadText(AppResults("MongoDbRepsetInfo.twf")), GoldenFile("MongoDbRepsetInfo.twf"));
}

TEST_F(StoreFilesTest, TimestampTextsReadBackOrFailAsAWhole) {
    struct Case {
        const char* name;
        std::string text;
        bool ok;
        MongoDbOplogTimeStampInfo_t expected;
    };
    const std::vector<Case> cases = {
        {"plain", "rs0:27017:1000:42\nHostname:h1", true, Record("rs0", "h1", 27017, 1000, 42)},
        {"reset mark", "1:rs0:27017:1000:42\nHostname:h1", true, Record("rs0", "h1", 27017, 1000, 42)},
        {"line breaks of another system", "rs0:27017:1000:42\r\nHostname:h1\r\n", true,
         Record("rs0", "h1", 27017, 1000, 42)},
        {"host line first", "Hostname:h1\nrs0:27017:1000:42\n", true,
         Record("rs0", "h1", 27017, 1000, 42)},
        {"no host line", "rs0:27017:1000:42", true, Record("rs0", "", 27017, 1000, 42)},
        {"IPv6 host", "rs0:27017:1000:42\nHostname:fe80::1", true,
         Record("rs0", "fe80::1", 27017, 1000, 42)},
        {"negative job id", "rs0:27017:1000:-3\nHostname:h1", true, Record("rs0", "h1", 27017, 1000, -3)},
        {"three tokens", "rs0:27017:1000\nHostname:h1", false, {}},
        {"cut in the timestamp", "rs0:27017:17", false, {}},
        {"unknown mark", "2:rs0:27017:1000:42\nHostname:h1", false, {}},
        {"garbled number", "rs0:27017:10x0:42\nHostname:h1", false, {}},
        {"port out of range", "rs0:99999999999:1000:42\nHostname:h1", false, {}},
        {"no replica set name", ":27017:1000:42\nHostname:h1", false, {}},
        {"two records", "rs0:27017:1000:42\nrs1:27017:1000:42", false, {}},
        {"host line only", "Hostname:h1", false, {}},
        {"empty", "", false, {}},
        {"line breaks only", "\n\r\n", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MongoDbOplogTimeStampInfo_t record;
        std::string badLine;
        ASSERT_EQ(OplogStoreFormat::ParseTimestampFileText(c.text, record, badLine), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(record.replicaSetName, c.expected.replicaSetName);
        EXPECT_EQ(record.host, c.expected.host);
        EXPECT_EQ(record.port, c.expected.port);
        EXPECT_EQ(record.timestamp, c.expected.timestamp);
        EXPECT_EQ(record.fullJobId, c.expected.fullJobId);
        EXPECT_EQ(record.resetMark, std::string(c.name) == "reset mark");
    }
}

TEST_F(StoreFilesTest, NamesOfTheStore) {
    EXPECT_EQ(OplogStoreFormat::DumpFileName("rs0", 1000), "oplog_rs0_1000.bson");
    EXPECT_EQ(OplogStoreFormat::TimestampFileName("rs0"), "oplog_rs0.ts");
    EXPECT_EQ(OplogStoreFormat::LogFilesName("rs0"), "LogFiles_rs0.twf");
    EXPECT_EQ(OplogStoreFormat::CollectFileName(1, 3), "CollectTot3.twf");
    EXPECT_EQ(OplogStoreFormat::CollectFileName(2, 1), "CollectInc1.twf");
    EXPECT_EQ(OplogStoreFormat::ReplicaSetOfLogFiles("/r/2/15/osc/LogFiles_my_rs.twf"), "my_rs");
    EXPECT_EQ(OplogStoreFormat::ReplicaSetOfLogFiles("/r/LogFiles/osc/LogFiles_rs1.twf"), "rs1");
    EXPECT_EQ(OplogStoreFormat::ReplicaSetOfLogFiles("/r/osc/LogFiles.twf"), "");

    struct Entry {
        const char* name;
        bool dump;
    };
    for (const Entry& e : std::vector<Entry>{{"oplog_rs0_1000.bson", true},
                                             {"x.oplog_y", true},
                                             {"lost+found", false},
                                             {".snapshot", false},
                                             {"oplog.rs.bson", false},
                                             {"oplog.rs.metadata.json", false}}) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(OplogStoreFormat::IsDumpFileName(e.name), e.dump);
    }
}

}  // namespace
}  // namespace MongoDbKax::testing
