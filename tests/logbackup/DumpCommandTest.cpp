// One oplog dump: the mongodump command line, what counts as a dump having
// been made, the dump's own name, and reading a dump back.
#include "logbackup/OplogDumpFile.h"
#include "tests/logbackup/LogBackupSupport.h"

namespace MongoDbKax::testing {
namespace {

class DumpCommandTest : public LogBackupTest {
protected:
    MongoDbDumpInputs_t Inputs(uint64_t from, const std::string& outDir) {
        MongoDbDumpInputs_t inputs;
        inputs.port = 27018;
        inputs.host = "db2.example.test";
        inputs.fromTimestamp = from;
        inputs.outDir = outDir;
        inputs.replicaSetName = "rs0";
        return inputs;
    }
    // The caller's part of the last command run (after the quoted tool path).
    std::string LastArguments() {
        const std::string& full = util.runs.back().command;
        const std::string tool = "\"" + std::string(TEST_KIT_BIN) + "/mongodump\" ";
        EXPECT_EQ(full.rfind(tool, 0), 0u) << full;
        return full.substr(tool.size());
    }
};

TEST_F(DumpCommandTest, CommandLineDumpsAfterTheRecordedSecond) {
    const std::string plainDir = util.GetStagingDir();
    const std::string oddDir = root.File("stage $HOME `x`");
    struct Case {
        const char* name;
        uint64_t from;
        std::string outDir;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"whole oplog", 0, plainDir,
         "--port 27018 --host db2.example.test --db local --collection oplog.rs --out \"" +
             plainDir + "\"  2>&1"},
        {"after second 1000", 1000, plainDir,
         "--port 27018 --host db2.example.test --db local --collection oplog.rs --out \"" +
             plainDir +
             "\"  --query '{\"ts\":{\"$gt\":{\"$timestamp\": {\"t\": 1000, \"i\": 1}}},\"ns\":{\"$nin\":"
             "[\"config.system.sessions\",\"config.transactions\",\"config.transaction_coordinators\"]}}'"
             " 2>&1"},
        {"directory the shell would expand", 0, oddDir,
         "--port 27018 --host db2.example.test --db local --collection oplog.rs --out "
         "\"" + root.File("stage \\$HOME \\`x\\`") + "\"  2>&1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        util.respond = [&](const std::string&, std::string& output) {
            WriteText(FXPath::Join(c.outDir, "local/oplog.rs.bson"), "");
            output = "done dumping local.oplog.rs (0 documents)";
            return 0;
        };
        CZuDirectory::Create(FXPath::Join(c.outDir, "local"));
        ASSERT_EQ(util.RunMongoDBDump(Inputs(c.from, c.outDir)), 0);
        EXPECT_EQ(LastArguments(), c.expected);
    }
    EXPECT_NE(ReadLog().find("mongod dump command [mongodump --port 27018"), std::string::npos);
}

TEST_F(DumpCommandTest, ADumpCountsOnlyWhenTheToolMadeOneNow) {
    struct Case {
        const char* name;
        int exitStatus;
        const char* output;
        bool writesDump;
        bool staleDumpBefore;
        int expected;
    };
    const std::vector<Case> cases = {
        {"tool reports success", 0, "done dumping", true, false, 0},
        {"quiet tool", 0, "", true, false, 0},
        {"tool failed", 1, "Failed: error connecting to db server", false, false, 1},
        {"tool failed after writing", 2, "Failed: cursor lost", true, false, 1},
        {"success without a dump", 0, "done", false, false, 1},
        {"only an earlier run's dump", 0, "done", false, true, 1},
    };
    const std::string fresh = StagingLocal("oplog.rs.bson");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FXFile::Delete(fresh);
        if (c.staleDumpBefore) WriteText(fresh, "stale");
        util.respond = [&](const std::string&, std::string& output) {
            if (c.writesDump) WriteText(fresh, "");
            output = c.output;
            return c.exitStatus;
        };
        EXPECT_EQ(util.RunMongoDBDump(Inputs(1000, util.GetStagingDir())), c.expected);
        if (c.expected != 0) {
            EXPECT_NE(ReadLog().find("Failed to create oplog dump ["), std::string::npos);
        }
    }
}

TEST_F(DumpCommandTest, FreshDumpTakesItsNameReplacingAnEarlierOne) {
    const MongoDbDumpInputs_t inputs = Inputs(1000, util.GetStagingDir());
    WriteText(StagingLocal("oplog_rs0_1000.bson"), "earlier");
    WriteText(StagingLocal("oplog.rs.bson"), "fresh");
    std::string newPath;
    ASSERT_EQ(util.RenameOplogDumpFile(inputs, newPath), 0);
    EXPECT_EQ(newPath, StagingLocal("oplog_rs0_1000.bson"));
    EXPECT_EQ(ReadText(newPath), "fresh");
    EXPECT_FALSE(FXFile::Exists(StagingLocal("oplog.rs.bson")));

    EXPECT_EQ(util.RenameOplogDumpFile(inputs, newPath), 1);
    EXPECT_NE(ReadLog().find("Failed to rename file [" + StagingLocal("oplog.rs.bson") + "] to ["),
              std::string::npos);
    EXPECT_EQ(ReadText(StagingLocal("oplog_rs0_1000.bson")), "fresh");
}

TEST_F(DumpCommandTest, ReadingADumpBackFindsItsLastEntryOrRefusesIt) {
    struct Case {
        const char* name;
        std::vector<OplogEntry> entries;
        size_t cutBytes;
        bool ok;
        uint64_t count;
        uint32_t lastSeconds, lastIncrement;
    };
    const std::vector<Case> cases = {
        {"in order", {{1000, 1}, {1000, 2}, {1003, 1}}, 0, true, 3, 1003, 1},
        {"latest is not last", {{1003, 4}, {1001, 1}}, 0, true, 2, 1003, 4},
        {"empty", {}, 0, true, 0, 0, 0},
        {"cut in the last entry", {{1000, 1}, {1001, 1}}, 5, false, 0, 0, 0},
    };
    const std::string path = root.File("dump.bson");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteDump(path, c.entries, c.cutBytes);
        OplogDumpFile::Summary summary;
        CZuError err = OplogDumpFile::Summarize(path, summary);
        ASSERT_EQ(err.IsSuccess(), c.ok) << err.AsString();
        if (!c.ok) {
            EXPECT_EQ(err.GetErrorCode(), ZuCode::InvalidData);
            continue;
        }
        EXPECT_EQ(summary.entries, c.count);
        EXPECT_EQ(summary.lastSeconds, c.lastSeconds);
        EXPECT_EQ(summary.lastIncrement, c.lastIncrement);
    }
    // An entry without its timestamp is not an oplog entry.
    WriteText(path, std::string("\x05\x00\x00\x00\x00", 5));
    OplogDumpFile::Summary summary;
    EXPECT_EQ(OplogDumpFile::Summarize(path, summary).GetErrorCode(), ZuCode::InvalidData);
    EXPECT_TRUE(OplogDumpFile::Summarize(root.File("absent.bson"), summary).IsError());
}

}  // namespace
}  // namespace MongoDbKax::testing
