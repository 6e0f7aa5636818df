// Dump passes against a replica set of the test kit: the node checks, the
// point a pass records, what a pass leaves behind when it stops, and numbered
// writes that must each end up in exactly one stored dump.
#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "access/MongoDbConnection.h"
#include "logbackup/OplogStoreFormat.h"
#include "tests/logbackup/LogBackupSupport.h"
#include "tests/topology/TopologyKit.h"

namespace MongoDbKax::testing {
namespace {

constexpr uint32_t kRolloverEvent = 0x07000118;

// A replica set of the kit per test suite, with its members' roles.
class KitPassTest : public LogBackupTest {
protected:
    static void StartSet(const std::string& kwargs) {
        s_dir = ScratchDir("logbackup");
        s_set = new KitReplicaSet();
        s_set->Up(s_dir + "/rs", kwargs);
    }
    static void TearDownTestSuite() {
        delete s_set;
        s_set = nullptr;
        CZuDirectory::RemoveTree(s_dir);
    }
    void SetUp() override {
        LogBackupTest::SetUp();
        ASSERT_TRUE(s_set && s_set->state.is_object()) << s_set->error;
        kitHasDump = FXFile::Exists(kKitBin + "/mongodump");
        const int primary = s_set->Host(0) == s_set->Primary() ? 0 : 1;
        primaryHost = s_set->Ip(primary);
        primaryPort = s_set->Port(primary);
        host = s_set->Ip(1 - primary);
        port = s_set->Port(1 - primary);
    }
    void TearDown() override {
        // Leave the secondary unlocked for the next test whatever happened.
        for (int i = 0; i < 4 && Locked(); ++i) util.UnQuiesceDB(host, port);
        LogBackupTest::TearDown();
    }

    bool Locked() {
        bool locked = false;
        EXPECT_FALSE(util.GetDBLockStatus(host, port, locked).IsError());
        return locked;
    }
    uint64_t OldestSecond() {
        uint64_t first = 0;
        CZuError err = util.GetFirstTimestampFromOplogCollection(host, port, first);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return first;
    }
    // Seconds of the newest entry of a member's oplog (the secondary's by default).
    uint64_t NewestSecond(bool ofPrimary = false) {
        MongoDbConnection connection;
        std::vector<std::string> docs;
        EXPECT_FALSE(connection.Connect(ofPrimary ? primaryHost : host,
                                        ofPrimary ? primaryPort : port, "", ""));
        EXPECT_FALSE(connection.getDocumentsFromCollection("local", "oplog.rs", docs, "{}",
                                                           R"({"sort": {"$natural": -1}, "limit": 1})"));
        if (docs.empty()) return 0;
        return nlohmann::json::parse(docs[0])["ts"]["$timestamp"]["t"].get<uint64_t>();
    }
    // Inserts documents with the given ids (and padding) through the primary.
    void Insert(MongoDbConnection& connection, int64_t fromId, int count, size_t padding = 0) {
        std::string docs;
        for (int i = 0; i < count; ++i)
            docs += (i ? "," : "") + FXString::Format("{\"_id\": %lld, \"pad\": \"%s\"}",
                                                      (long long)(fromId + i),
                                                      std::string(padding, 'p').c_str());
        std::string reply;
        ASSERT_FALSE(connection.RunCommand("app", "{\"insert\": \"docs\", \"documents\": [" + docs + "]}",
                                           false, reply))
            << connection.GetLastErrorMsg();
    }
    // Waits until the secondary holds the primary's newest entry.
    void AwaitSecondaryCaughtUp() {
        const uint64_t second = NewestSecond(true);
        for (int i = 0; i < 200 && NewestSecond() < second; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // Entries of that same second may still be on their way.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    // Writes until the secondary's newest entry is later than its oldest, and
    // returns that newest second: a point after which the oplog is known whole,
    // as a snapshot of the secondary would leave it.
    uint64_t PointAfterOldest(MongoDbConnection& writer) {
        const uint64_t oldest = OldestSecond();
        for (int i = 0; i < 20 && NewestSecond() <= oldest; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            Insert(writer, --m_fillerId, 1);
            AwaitSecondaryCaughtUp();
        }
        return NewestSecond();
    }
    std::string TimestampFile(const std::string& replicaSet = "rs0") {
        return ReadText(Osc("oplog_" + replicaSet + ".ts"));
    }
    std::vector<std::string> ListedDumps(const std::string& replicaSet = "rs0") {
        std::vector<std::string> paths;
        const std::string text = ReadText(Osc("LogFiles_" + replicaSet + ".twf"));
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1)
            paths.push_back(OplogStoreFormat::CollectLinePath(text.substr(start, end - start)));
        return paths;
    }
    // Answers mongodump runs with a dump of `entries` (all other tools run).
    void ScriptDumps(const std::vector<OplogEntry>& entries, int exitStatus = 0) {
        util.respond = [this, entries, exitStatus](const std::string& command, std::string& output) {
            if (command.find("/mongodump\"") == std::string::npos) {
                std::string errorOutput;
                return TwProcess::system(command, output, errorOutput, 0, false);
            }
            if (exitStatus == 0) WriteDump(StagingLocal("oplog.rs.bson"), entries);
            output = "done dumping local.oplog.rs";
            return exitStatus;
        };
    }

    static inline KitReplicaSet* s_set = nullptr;
    static inline std::string s_dir;
    bool kitHasDump = false;
    std::string host, primaryHost;
    int port = 0, primaryPort = 0;

private:
    int64_t m_fillerId = 0;
};

class DumpPassKitTest : public KitPassTest {
protected:
    static void SetUpTestSuite() { StartSet("members=2, ip_base=90"); }
};

TEST_F(DumpPassKitTest, NodeRoleAndRolloverChecks) {
    EXPECT_EQ(util.CheckForSecondaryRole(host, port), 0);
    EXPECT_EQ(util.CheckForSecondaryRole(primaryHost, primaryPort), 1);
    EXPECT_NE(ReadLog().find(FXString::Format("mongod at [%s:%d] is NOT secondary",
                                              primaryHost.c_str(), primaryPort)),
              std::string::npos);
    EXPECT_EQ(util.CheckForSecondaryRole("127.0.0.1", FreePort("127.0.0.1")), -1);

    const uint64_t first = OldestSecond();
    ASSERT_GT(first, 0u);
    uint64_t last = 0;
    ASSERT_EQ(util.QueryOplogLastEntryTSFromDB(host, unsigned(port), last), 0);
    EXPECT_GE(last, first);
    // Release 3.2 reads the member's own optime, and only a secondary's.
    MongoDbUtil v32;
    const std::string tools32 = s_dir + "/tools32";
    Shell(kKitBin + "/mongo-cluster tooldir --dir '" + tools32 + "' --version 3.2.22 >/dev/null");
    v32.SetBinPath(tools32);
    uint64_t own = 0;
    ASSERT_EQ(v32.QueryOplogLastEntryTSFromDB(host, unsigned(port), own), 0);
    EXPECT_GE(own, first);
    EXPECT_EQ(v32.QueryOplogLastEntryTSFromDB(primaryHost, unsigned(primaryPort), own), 1);
    EXPECT_NE(ReadLog().find("Unable to find timestamp field in json output ["), std::string::npos);

    const int64_t job = StartJob();
    struct Case {
        const char* name;
        uint64_t recorded;
        bool suppress;
        bool rolled;
    };
    const std::vector<Case> cases = {
        {"recorded after the oldest entry", first + 1, false, false},
        {"recorded at the oldest entry", first, false, true},
        {"recorded before the oldest entry", first - 1, false, true},
        {"node check", first - 1, true, true},
        {"whole oplog", 0, false, false},
    };
    size_t events = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool rolled = !c.rolled;
        CZuError err = util.HasOplogRolledOver(Record("rs0", host, uint32_t(port), c.recorded),
                                               c.suppress, rolled);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(rolled, c.rolled);
        if (c.rolled && !c.suppress) ++events;
        const auto recorded = Events(job);
        ASSERT_EQ(recorded.size(), events);
        if (events == 0) continue;
        EXPECT_EQ(recorded.back().kind, JobEventKind::Major);
        EXPECT_EQ(recorded.back().messageId, kRolloverEvent);
        EXPECT_EQ(recorded.back().arguments,
                  std::vector<std::string>{FXString::Format("%s:%d", host.c_str(), port)});
    }
    // The oldest entry of a node that does not answer cannot be read.
    bool rolled = false;
    EXPECT_EQ(util.HasOplogRolledOver(Record("rs0", "127.0.0.1", uint32_t(FreePort("127.0.0.1")),
                                             first), false, rolled)
                  .GetErrorCode(),
              ZuCode::InternalFailure);
}

TEST_F(DumpPassKitTest, APassStopsAtAPrimaryOrANodeThatDoesNotAnswer) {
    const uint64_t point = OldestSecond() + 1;
    const int deadPort = FreePort("127.0.0.1");
    struct Case {
        const char* name;
        std::string recordHost;
        int recordPort;
        uint64_t pendingDumps;
        bool suppress;
        int result;
        bool keepsTimestampFile;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"primary, nothing pending", primaryHost, primaryPort, 0, false, 2, false,
         "Deleted oplog timestamp file [oplog_rsA.ts] under ["},
        {"primary with pending dumps", primaryHost, primaryPort, 3, false, 2, true,
         "Pending dumps found, not deleting the timepstamp file."},
        {"primary seen by the node check", primaryHost, primaryPort, 0, true, 2, true,
         "Found primary role on mongod at host ["},
        {"node does not answer", "127.0.0.1", deadPort, 0, false, 1, true,
         "Failed to detect primary"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CZuDirectory::RemoveTree(Osc());
        // rsZ, on a good secondary, comes after the failing rsA.
        StartCycle(42, {Record("rsA", c.recordHost, uint32_t(c.recordPort), point),
                        Record("rsZ", host, uint32_t(port), point)});
        const std::string before = TimestampFile("rsA");
        const std::string untouched = TimestampFile("rsZ");
        util.SetPendingDumpCount(c.pendingDumps);
        EXPECT_EQ(util.PerformOpLogDumps(c.suppress), c.result);
        EXPECT_NE(ReadLog().find(c.logged), std::string::npos);
        EXPECT_EQ(FXFile::Exists(Osc("oplog_rsA.ts")), c.keepsTimestampFile);
        if (c.keepsTimestampFile) {
            EXPECT_EQ(TimestampFile("rsA"), before);
        }
        // Nothing was dumped or recorded for the records after it.
        EXPECT_FALSE(FXFile::Exists(Osc("LogFiles_rsZ.twf")));
        EXPECT_EQ(TimestampFile("rsZ"), untouched);
        EXPECT_FALSE(Locked());
    }
    util.SetPendingDumpCount(0);
}

TEST_F(DumpPassKitTest, APassRecordsTheLastEntryItsDumpHolds) {
    MongoDbConnection writer;
    ASSERT_FALSE(writer.Connect(primaryHost, primaryPort, "", ""));
    const uint32_t from = uint32_t(PointAfterOldest(writer));
    // The dump (scripted) ends at `last` while the node reports a later point,
    // as a dumped secondary does when it lags: recording the node's point
    // would skip the entries in between for good.
    const uint32_t last = from + 1;
    for (int i = 0; i < 20 && NewestSecond() <= last; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        Insert(writer, 100 + i, 1);
        AwaitSecondaryCaughtUp();
    }
    uint64_t reported = 0;
    ASSERT_EQ(util.QueryOplogLastEntryTSFromDB(host, unsigned(port), reported), 0);
    ASSERT_GT(reported, last);

    StartCycle(42, {Record("rs0", host, uint32_t(port), from)});
    ScriptDumps({{from, 2}, {last, 1}, {last, 7}});
    ASSERT_EQ(util.PerformOpLogDumps(false), 0);
    const std::string first = StagingLocal(OplogStoreFormat::DumpFileName("rs0", from));
    EXPECT_EQ(TimestampFile(), FXString::Format("rs0:%d:%u:42\nHostname:%s", port, last,
                                                host.c_str()));
    EXPECT_EQ(ListedDumps(), std::vector<std::string>{first});
    EXPECT_NE(util.runs.back().command.find(FXString::Format("{\"t\": %u, \"i\": 1}", from)),
              std::string::npos);
    EXPECT_FALSE(Locked());
    EXPECT_NE(ReadLog().find(FXString::Format("UnQuiesce the DB on mongod at host [%s:%d] ...",
                                              host.c_str(), port)),
              std::string::npos);

    // Nothing new: the point stays, and the dump made again from it is listed once.
    ScriptDumps({});
    ASSERT_EQ(util.PerformOpLogDumps(false), 0);
    ASSERT_EQ(util.PerformOpLogDumps(false), 0);
    const std::string second = StagingLocal(OplogStoreFormat::DumpFileName("rs0", last));
    EXPECT_EQ(ListedDumps(), (std::vector<std::string>{first, second}));
    EXPECT_NE(TimestampFile().find(FXString::Format(":%u:42", last)), std::string::npos);

    // A dump that cannot be read back records nothing and leaves the node unlocked.
    const std::string recorded = TimestampFile();
    util.respond = [this](const std::string& command, std::string& output) {
        if (command.find("/mongodump\"") == std::string::npos) {
            std::string errorOutput;
            return TwProcess::system(command, output, errorOutput, 0, false);
        }
        WriteText(StagingLocal("oplog.rs.bson"), "garbled");
        return 0;
    };
    EXPECT_EQ(util.PerformOpLogDumps(false), 1);
    EXPECT_EQ(TimestampFile(), recorded);
    EXPECT_FALSE(Locked());
}

TEST_F(DumpPassKitTest, EachReplicaSetsListStartsAfreshOnlyOnItsOwnMark) {
    const uint32_t from = uint32_t(OldestSecond() + 1);
    // rsA's cycle starts with an empty staging area (marked); rsB's after a
    // dump of its own is waiting (not marked).
    StartCycle(42, {Record("rsA", host, uint32_t(port), from)});
    const std::string waiting = StagingLocal("oplog_rsB_5.bson");
    WriteDump(waiting, {{5, 1}});
    WriteText(Osc("LogFiles_rsB.twf"), waiting + "|1\n");
    WriteText(Osc("LogFiles_rsA.twf"), StagingLocal("oplog_rsA_1.bson") + "|1\n");
    StartCycle(42, {Record("rsB", host, uint32_t(port), from)});
    bool reset = false;
    std::vector<MongoDbOplogTimeStampInfo_t> records;
    ASSERT_EQ(util.GetOplogLastEntryTSFromFile(records, reset), 0);
    ASSERT_TRUE(reset);

    ScriptDumps({{from + 1, 1}});
    ASSERT_EQ(util.PerformOpLogDumps(false), 0);
    EXPECT_EQ(ListedDumps("rsA"),
              std::vector<std::string>{StagingLocal(OplogStoreFormat::DumpFileName("rsA", from))});
    EXPECT_EQ(ListedDumps("rsB"),
              (std::vector<std::string>{waiting,
                                        StagingLocal(OplogStoreFormat::DumpFileName("rsB", from))}));
}

TEST_F(DumpPassKitTest, AFailedPassReleasesOnlyTheLocksItTook) {
    const uint32_t from = uint32_t(OldestSecond() + 1);
    StartCycle(42, {Record("rsA", host, uint32_t(port), from),
                    Record("rsB", "127.0.0.1", uint32_t(FreePort("127.0.0.1")), from)});
    MongoDbUtil other;
    other.SetBinPath(TEST_KIT_BIN);
    ASSERT_EQ(other.QuiesceDB(host, port), 0);  // someone else's lock, e.g. a snapshot's

    ScriptDumps({{from + 1, 1}});
    EXPECT_EQ(util.PerformOpLogDumps(false), 1);
    EXPECT_TRUE(Locked());
    ASSERT_EQ(other.UnQuiesceDB(host, port), 0);
    EXPECT_FALSE(Locked());

    // A dump that fails after the lock is released by the pass itself.
    CZuDirectory::RemoveTree(Osc());
    StartCycle(42, {Record("rsA", host, uint32_t(port), from)});
    ScriptDumps({}, 1);
    EXPECT_EQ(util.PerformOpLogDumps(false), 1);
    EXPECT_FALSE(Locked());
}

TEST_F(DumpPassKitTest, APassStopsAtARolloverAndKeepsThePoint) {
    const int64_t job = StartJob();
    const uint64_t first = OldestSecond();
    StartCycle(42, {Record("rs0", host, uint32_t(port), first)});
    const std::string before = TimestampFile();
    EXPECT_EQ(util.PerformOpLogDumps(false), 3);
    EXPECT_EQ(TimestampFile(), before);
    EXPECT_FALSE(FXFile::Exists(Osc("LogFiles_rs0.twf")));
    EXPECT_FALSE(Locked());
    const auto events = Events(job);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].messageId, kRolloverEvent);
    EXPECT_NE(ReadLog().find("Detected oplog rollover"), std::string::npos);
}

// The union of the dumps of passes made while numbered documents are written.
TEST_F(DumpPassKitTest, WritesDuringPassesEndUpInExactlyOneDump) {
    if (!kitHasDump) GTEST_SKIP() << "the test kit has no mongodump yet";
    MongoDbConnection writer;
    ASSERT_FALSE(writer.Connect(primaryHost, primaryPort, "", ""));
    const uint64_t start = PointAfterOldest(writer);
    StartCycle(42, {Record("rs0", host, uint32_t(port), start)});

    constexpr int kDocuments = 400;
    std::atomic<bool> writing{true};
    std::thread load([&] {
        MongoDbConnection connection;
        if (connection.Connect(primaryHost, primaryPort, "", "")) return;
        for (int id = 1; id <= kDocuments; id += 4) {
            std::string reply;
            std::string docs;
            for (int i = id; i < id + 4; ++i) docs += (i > id ? "," : "") + FXString::Format("{\"_id\": %d}", i);
            connection.RunCommand("app", "{\"insert\": \"docs\", \"documents\": [" + docs + "]}",
                                  false, reply);
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        writing = false;
    });
    int passes = 0;
    while (writing) {
        EXPECT_EQ(util.PerformOpLogDumps(false), 0);
        ++passes;
    }
    load.join();
    AwaitSecondaryCaughtUp();
    ASSERT_EQ(util.PerformOpLogDumps(false), 0);
    ++passes;
    EXPECT_GE(passes, 3);

    // Every entry the secondary holds after the starting point, from the dumps.
    std::map<std::pair<uint32_t, uint32_t>, int> copies;  // ts -> number of dumps holding it
    std::map<int64_t, int> documents;                       // _id -> inserts found
    std::set<uint32_t> boundaries;                          // seconds a dump started after
    for (const std::string& path : ListedDumps()) {
        boundaries.insert(uint32_t(std::stoull(path.substr(path.rfind('_') + 1))));
        for (const OplogEntry& e : ReadDump(path)) {
            ++copies[{e.seconds, e.increment}];
            if (e.ns == "app.docs") ++documents[e.id];
        }
    }
    for (int id = 1; id <= kDocuments; ++id) EXPECT_EQ(documents.count(id), 1u) << "document " << id;
    // An entry is in two dumps only when it lies in the second a later dump
    // started from (replay of such entries is idempotent).
    for (const auto& [ts, n] : copies) {
        if (n > 1) {
            EXPECT_TRUE(boundaries.count(ts.first)) << ts.first << ":" << ts.second;
        }
    }

    MongoDbConnection reader;
    ASSERT_FALSE(reader.Connect(host, port, "", ""));
    std::vector<std::string> oplog;
    ASSERT_FALSE(reader.getDocumentsFromCollection(
        "local", "oplog.rs", oplog,
        FXString::Format(R"({"ts": {"$gt": {"$timestamp": {"t": %lu, "i": 1}}}})",
                         (unsigned long)start),
        ""));
    size_t missing = 0;
    for (const std::string& text : oplog) {
        const auto ts = nlohmann::json::parse(text)["ts"]["$timestamp"];
        missing += copies.count({ts["t"].get<uint32_t>(), ts["i"].get<uint32_t>()}) == 0;
    }
    EXPECT_EQ(missing, 0u) << "of " << oplog.size() << " entries after the start";
    EXPECT_GE(oplog.size(), size_t(kDocuments));
}

class RolloverKitTest : public KitPassTest {
protected:
    // An oplog of about 50 kB, which a few hundred padded inserts overrun.
    static void SetUpTestSuite() { StartSet("members=2, ip_base=94, oplog_size_mb=0.05"); }
};

TEST_F(RolloverKitTest, AnOplogOverrunBetweenPassesIsDetectedAndPendingDumpsAreKept) {
    if (!kitHasDump) GTEST_SKIP() << "the test kit has no mongodump yet";
    const int64_t job = StartJob();
    MongoDbConnection writer;
    ASSERT_FALSE(writer.Connect(primaryHost, primaryPort, "", ""));
    StartCycle(42, {Record("rs0", host, uint32_t(port), PointAfterOldest(writer))});
    Insert(writer, 10, 5);
    AwaitSecondaryCaughtUp();
    ASSERT_EQ(util.PerformOpLogDumps(false), 0);
    const std::string recorded = TimestampFile();
    const auto listed = ListedDumps();
    ASSERT_EQ(listed.size(), 1u);

    // Later seconds only, then far more than the oplog holds.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    // Each batch is a fraction of the oplog and the secondary catches up in
    // between, so it overruns the oplog without ever falling off its primary's.
    for (int batch = 0; batch < 10; ++batch) {
        Insert(writer, 1000 + batch * 50, 50, 200);
        AwaitSecondaryCaughtUp();
    }

    EXPECT_EQ(util.PerformOpLogDumps(false), 3);
    EXPECT_EQ(TimestampFile(), recorded);
    EXPECT_EQ(ListedDumps(), listed);
    EXPECT_FALSE(Locked());
    const auto events = Events(job);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].messageId, kRolloverEvent);
    EXPECT_EQ(events[0].arguments,
              std::vector<std::string>{FXString::Format("%s:%d", host.c_str(), port)});

    // The log backup still stores the dump made before the rollover.
    ASSERT_EQ(util.CreateCollectFilesForLogBackup(2), 0);
    EXPECT_EQ(ReadText(AppResults("CollectInc1.twf")), ReadText(Osc("LogFiles_rs0.twf")));
    EXPECT_NE(ReadLog().find("Proceeding with backup as [1] dumps are found in the staging location"),
              std::string::npos);
    // Without pending dumps the log backup asks for a full backup instead.
    FXFile::Delete(listed[0]);
    EXPECT_EQ(util.CreateCollectFilesForLogBackup(2), 1);
    EXPECT_NE(ReadLog().find("Oplog rollover has been detected. Submit FULL SNAP backup immediately "
                             "to resync the oplog dumps"),
              std::string::npos);
}

}  // namespace
}  // namespace MongoDbKax::testing
