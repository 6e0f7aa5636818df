// The timestamp store: which cycle a node is in, the records of that cycle,
// and what a bad or missing file does to a read.
#include "tests/logbackup/LogBackupSupport.h"

namespace MongoDbKax::testing {
namespace {

class TimestampStoreTest : public LogBackupTest {
protected:
    // Every file of the osc directory with its content.
    std::map<std::string, std::string> OscFiles() {
        std::vector<std::string> names;
        CZuDirectory::List(Osc(), names);
        std::map<std::string, std::string> files;
        for (const auto& name : names) files[name] = ReadText(Osc(name));
        return files;
    }
};

TEST_F(TimestampStoreTest, CycleStartWithDumpsWaitingKeepsTheLists) {
    WriteText(StagingLocal("oplog_rs0_100.bson"), "");
    WriteText(StagingLocal("oplog_rs0_200.bson"), "");
    StartCycle(42, {Record("rs0", "h1", 27017, 1000)});
    EXPECT_EQ(ReadText(Osc("oplog_rs0.ts")), "rs0:27017:1000:42\nHostname:h1");
    std::vector<MongoDbOplogTimeStampInfo_t> records;
    bool reset = true;
    ASSERT_EQ(util.GetOplogLastEntryTSFromFile(records, reset), 0);
    EXPECT_FALSE(reset);
    EXPECT_NE(ReadLog().find("Found oplog dumps on the staging disk, not resetting the timestamp "
                             "file [2]"),
              std::string::npos);
}

TEST_F(TimestampStoreTest, OnlyTheRecordsOfTheCurrentCycleAreRead) {
    StartCycle(42, {Record("rs0", "h1", 27017, 1000), Record("rs1", "h1", 27018, 1100)});
    WriteText(Osc("oplog_old.ts"), "old:27019:900:41\nHostname:h1");
    // A copy kept beside a timestamp file is not a record.
    WriteText(Osc("oplog_rs0.ts.keep"), "rs0:27017:1:42\nHostname:h1");

    const auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].replicaSetName, "rs0");
    EXPECT_EQ(records[1].replicaSetName, "rs1");
    EXPECT_NE(ReadLog().find("Skipping oplog timestamp file [oplog_old.ts] as it doesnt belong to "
                             "current cycle full job [42]"),
              std::string::npos);
    EXPECT_TRUE(util.IsFullBackupParticipatingNode(42));

    // With only an older cycle's file there is nothing to dump from.
    FXFile::Delete(Osc("oplog_rs0.ts"));
    FXFile::Delete(Osc("oplog_rs1.ts"));
    std::vector<MongoDbOplogTimeStampInfo_t> left;
    bool reset = false;
    EXPECT_EQ(util.GetOplogLastEntryTSFromFile(left, reset), 1);
    EXPECT_TRUE(left.empty());
    EXPECT_NE(ReadLog().find("No oplog timestamp files found in [" + Osc() +
                             "] for cycle full job [42]"),
              std::string::npos);
    EXPECT_FALSE(util.IsFullBackupParticipatingNode(42));
}

TEST_F(TimestampStoreTest, ABadFileFailsTheWholeReadAndThePassChangesNothing) {
    struct Case {
        const char* name;
        const char* file;
        std::string content;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"three tokens", "oplog_rs9.ts", "rs9:27017:1000\nHostname:h1", "Invalid line format in ["},
        {"cut short", "oplog_rs9.ts", "rs9:270", "Invalid line format in ["},
        {"garbled", "oplog_rs9.ts", "rs9:27017:1o00:42\nHostname:h1", "Invalid line format in ["},
        {"empty", "oplog_rs9.ts", "", "Found empty timestamp file ["},
        {"no LAST_FULL_JOB", "LAST_FULL_JOB", "", "Failed to fetch LAST_FULL_JOB"},
        {"garbled LAST_FULL_JOB", "LAST_FULL_JOB", "job42", "Unable to read content of file ["},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CZuDirectory::RemoveTree(Osc());
        CZuDirectory::Create(Osc());
        StartCycle(42, {Record("rs0", "h1", 27017, 1000)});
        WriteText(Osc("LogFiles_rs0.twf"), StagingLocal("oplog_rs0_900.bson") + "|5\n");
        if (std::string(c.file) == "LAST_FULL_JOB" && c.content.empty())
            FXFile::Delete(Osc(c.file));
        else
            WriteText(Osc(c.file), c.content);
        const auto before = OscFiles();

        std::vector<MongoDbOplogTimeStampInfo_t> records;
        bool reset = false;
        EXPECT_EQ(util.GetOplogLastEntryTSFromFile(records, reset), 1);
        EXPECT_TRUE(records.empty());
        EXPECT_NE(ReadLog().find(c.logged), std::string::npos);
        // No pass runs on part of the records, and nothing is deleted.
        EXPECT_EQ(util.PerformOpLogDumps(false), 1);
        EXPECT_EQ(OscFiles(), before);
        // The listed dumps still make the node take part, so that they get stored.
        EXPECT_TRUE(util.IsFullBackupParticipatingNode(42));
    }
}

TEST_F(TimestampStoreTest, AFailedQueryKeepsThePreviousPoint) {
    StartCycle(42, {Record("rs0", "127.0.0.1", 27017, 1000)});
    const std::string before = ReadText(Osc("oplog_rs0.ts"));
    // Nothing listens on port 1: the node cannot tell its last entry.
    EXPECT_EQ(util.SaveOplogLastEntryTSInFile(Record("rs0", "127.0.0.1", 1, 0, 42), false), 1);
    EXPECT_EQ(ReadText(Osc("oplog_rs0.ts")), before);
    EXPECT_NE(ReadLog().find("Failed to record the oplog last entry timestamp. Unable to  to start "
                             "incremental oplog dumps."),
              std::string::npos);
}

}  // namespace
}  // namespace MongoDbKax::testing
