// Cost of one oplog dump pass as the range to dump grows, against running
// the kit's mongodump alone on the same range, and the pass with the tool run
// replaced by copying that range's dump into place: the last is what the
// module adds (secondary check, lock, rollover check, reading the dump back,
// the dump list and the timestamp file). The oplog of a 2-member kit replica
// set grows from one size to the next; each iteration dumps the whole range
// written since the starting point again.
//
//   build/bench/bench_logbackup --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "access/MongoDbConnection.h"
#include "access/MongoDbUtil.h"
#include "access/ShellQuoting.h"
#include "host/Entities.h"
#include "host/Platform.h"
#include "host/Process.h"
#include "logbackup/OplogDumpFile.h"
#include "logbackup/OplogStoreFormat.h"
#include "tests/topology/TopologyKit.h"

namespace {

using namespace MongoDbKax;
using namespace MongoDbKax::testing;

constexpr uint32_t kMarlexId = 2;
constexpr uint32_t kAppId = 15;

// The replica set, the utility set up for application 2:15 on it, and the
// range written so far.
struct Fixture {
    std::string root, dir, error;
    KitReplicaSet set;
    std::string primaryHost, host;
    int primaryPort = 0, port = 0;
    MongoDbUtil util{kAppId, kMarlexId};
    MongoDbConnection writer;
    uint64_t start = 0;  // the recorded point every pass dumps from
    int64_t written = 0;

    bool Up() {
        root = ScratchDir("benchlogroot");
        ::setenv("KAX_ROOT", root.c_str(), 1);
        if (TWPI_PlatformBase::InitProcess("bench_logbackup").IsError()) return Fail("no platform");
        dir = ScratchDir("benchlog");
        if (!set.Up(dir + "/rs", "members=2, ip_base=120")) return Fail(set.error);
        const int primary = set.Host(0) == set.Primary() ? 0 : 1;
        primaryHost = set.Ip(primary);
        primaryPort = set.Port(primary);
        host = set.Ip(1 - primary);
        port = set.Port(1 - primary);

        RegisterClient("node120", host, {host});
        const uint64_t instanceId = RegisterMongoInstance(host, port, "node120");
        ApplicationId application(kMarlexId, kAppId);
        application.instanceId = instanceId;
        if (!instanceId || application.Save().IsError() || util.Initialize() != 0)
            return Fail("cannot initialize the utility for application 2:15");
        if (writer.Connect(primaryHost, primaryPort, "", "")) return Fail("cannot reach the primary");
        // A point later than the oldest entry, so that no pass sees a rollover.
        uint64_t oldest = 0;
        util.GetFirstTimestampFromOplogCollection(host, port, oldest);
        while ((start = Newest()) <= oldest) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (!Insert(1)) return Fail("cannot write");
        }
        if (!RecordStart(true)) return Fail("cannot start a cycle");
        // The server version is learnt once per utility (a mongod run), not per pass.
        util.isMongodVersion32();
        return true;
    }
    ~Fixture() {
        set.Down();
        CZuDirectory::RemoveTree(dir);
        CZuDirectory::RemoveTree(root);
    }
    bool Fail(const std::string& why) {
        error = why;
        return false;
    }

    uint64_t Newest() {
        MongoDbConnection reader;
        std::vector<std::string> docs;
        if (reader.Connect(host, port, "", "") ||
            reader.getDocumentsFromCollection("local", "oplog.rs", docs, "{}",
                                              R"({"sort": {"$natural": -1}, "limit": 1})") ||
            docs.empty())
            return 0;
        return nlohmann::json::parse(docs[0])["ts"]["$timestamp"]["t"].get<uint64_t>();
    }
    // Inserts `count` documents of about 100 bytes, 500 to a command.
    bool Insert(int64_t count) {
        while (count > 0) {
            const int64_t batch = std::min<int64_t>(count, 500);
            std::string docs;
            for (int64_t i = 0; i < batch; ++i)
                docs += (i ? "," : "") + FXString::Format("{\"_id\": %lld, \"pad\": \"%s\"}",
                                                          (long long)++written,
                                                          std::string(80, 'p').c_str());
            std::string reply;
            if (writer.RunCommand("app", "{\"insert\": \"docs\", \"documents\": [" + docs + "]}",
                                  false, reply))
                return false;
            count -= batch;
        }
        return true;
    }
    // Grows the range after the starting point to `entries` documents and
    // waits until the secondary holds them.
    bool GrowTo(int64_t entries) {
        if (written < entries && !Insert(entries - written)) return false;
        MongoDbConnection reader;
        std::string reply;
        for (int i = 0; i < 600; ++i) {
            if (!reader.Connect(host, port, "", "") &&
                !reader.RunCommand("app", R"({"count": "docs"})", true, reply) &&
                nlohmann::json::parse(reply).value("n", 0) >= written)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // Puts the recorded point back to the start, so that the next pass
    // dumps the whole range again.
    bool Rewind() { return RecordStart(false); }
    bool RecordStart(bool startsCycle) {
        MongoDbOplogTimeStampInfo_t record;
        record.replicaSetName = "rs0";
        record.host = host;
        record.port = uint32_t(port);
        record.timestamp = start;
        record.fullJobId = 1;
        return util.SaveOplogLastEntryTSInFile(record, startsCycle) == 0;
    }
};

Fixture* Shared(benchmark::State& state) {
    static std::unique_ptr<Fixture> fixture;
    static bool tried = false;
    if (!tried) {
        tried = true;
        fixture = std::make_unique<Fixture>();
        if (!fixture->Up()) {
            state.SkipWithError(("cannot set up: " + fixture->error).c_str());
            fixture.reset();
            return nullptr;
        }
        std::atexit([] { fixture.reset(); });
    }
    if (!fixture) state.SkipWithError("set-up failed earlier");
    if (fixture && !fixture->GrowTo(state.range(0))) {
        state.SkipWithError("cannot grow the oplog");
        return nullptr;
    }
    return fixture.get();
}

void Report(benchmark::State& state, const std::string& dump) {
    OplogDumpFile::Summary summary;
    OplogDumpFile::Summarize(dump, summary);
    uint64_t bytes = 0;
    FXFile::Size(dump, bytes);
    state.counters["entries"] = double(summary.entries);
    state.counters["MB"] = double(bytes) / 1e6;
    state.counters["entries_per_s"] =
        benchmark::Counter(double(summary.entries), benchmark::Counter::kIsIterationInvariantRate);
}

// One whole pass of the module over the range.
void BM_DumpPass(benchmark::State& state) {
    Fixture* f = Shared(state);
    if (!f) return;
    for (auto _ : state) {
        state.PauseTiming();
        const bool rewound = f->Rewind();
        state.ResumeTiming();
        if (!rewound || f->util.PerformOpLogDumps(false) != 0) {
            state.SkipWithError("the pass failed; see the bench_logbackup log in the state root");
            return;
        }
    }
    Report(state, FXPath::Join(FXPath::Join(f->util.GetStagingDir(), "local"),
                               OplogStoreFormat::DumpFileName("rs0", f->start)));
}

// A utility whose mongodump runs are replaced by copying a dump of the range
// into place: what is left is the module's own work in a pass.
class ToolFreeUtil : public MongoDbUtil {
public:
    ToolFreeUtil(const MongoDbUtil& util, std::string dump) : MongoDbUtil(util), m_dump(std::move(dump)) {}
    int ExecCmd(const std::string& command, std::string& output, std::string& errorOutput,
                bool commandHoldsSecret) override {
        if (command.find("/mongodump\"") == std::string::npos)
            return MongoDbUtil::ExecCmd(command, output, errorOutput, commandHoldsSecret);
        output = "done dumping";
        return FXFile::Copy(m_dump, FXPath::Join(FXPath::Join(GetStagingDir(), "local"),
                                                 OplogStoreFormat::kFreshDumpName))
                   ? 1
                   : 0;
    }

private:
    std::string m_dump;
};

void BM_DumpPassWithoutTool(benchmark::State& state) {
    Fixture* f = Shared(state);
    if (!f) return;
    const std::string dump = FXPath::Join(FXPath::Join(f->util.GetStagingDir(), "local"),
                                          OplogStoreFormat::DumpFileName("rs0", f->start));
    const std::string copy = FXPath::Join(f->root, "range.bson");
    if (FXFile::Copy(dump, copy)) {
        state.SkipWithError("no dump of the range yet");
        return;
    }
    ToolFreeUtil util(f->util, copy);
    for (auto _ : state) {
        state.PauseTiming();
        const bool rewound = f->Rewind();
        state.ResumeTiming();
        if (!rewound || util.PerformOpLogDumps(false) != 0) {
            state.SkipWithError("the pass failed; see the bench_logbackup log in the state root");
            return;
        }
    }
    Report(state, dump);
}

// The same range with the kit's mongodump alone, run the way the module runs it.
void BM_MongodumpAlone(benchmark::State& state) {
    Fixture* f = Shared(state);
    if (!f) return;
    const std::string out = FXPath::Join(f->root, "alone");
    const std::string command = FXString::Format(
        "%s --port %d --host %s --db local --collection oplog.rs --out %s  --query "
        "'{\"ts\":{\"$gt\":{\"$timestamp\": {\"t\": %lu, \"i\": 1}}},\"ns\":{\"$nin\":"
        "[\"config.system.sessions\",\"config.transactions\",\"config.transaction_coordinators\"]}}'"
        " 2>&1",
        QuoteForShell(std::string(TEST_KIT_BIN) + "/mongodump").c_str(), f->port, f->host.c_str(),
        QuoteForShell(out).c_str(), (unsigned long)f->start);
    for (auto _ : state) {
        std::string output, errors;
        if (TwProcess::system(command, output, errors, 0, false) != 0) {
            state.SkipWithError(("mongodump failed: " + output).c_str());
            return;
        }
    }
    Report(state, out + "/local/oplog.rs.bson");
}

// Argument: documents written after the starting point. The oplog only
// grows, so both measurements of a size run before the next size is written.
const bool g_registered = [] {
    for (int docs : {100, 1000, 10000}) {
        using Measure = void (*)(benchmark::State&);
        const std::pair<const char*, Measure> measures[] = {
            {"BM_DumpPass", BM_DumpPass},
            {"BM_MongodumpAlone", BM_MongodumpAlone},
            {"BM_DumpPassWithoutTool", BM_DumpPassWithoutTool}};
        for (const auto& [name, fn] : measures)
            benchmark::RegisterBenchmark(name, fn)
                ->Arg(docs)->ArgNames({"docs"})->Iterations(3)->Repetitions(3)
                ->ReportAggregatesOnly(true)->UseRealTime()->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
