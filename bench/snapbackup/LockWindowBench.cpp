// How long a node snapshot keeps its secondary locked, against the time the
// snapshot engine itself spends copying the volume inside that window: the
// difference is the module's overhead while the secondary holds its writes
// (lock and unlock commands, the configuration-file copy, the oplog position
// query). One test-kit replica set; the secondary's data path is padded with
// files of the given size so the copy dominates more and more.
//
//   build/bench/bench_snapbackup --benchmark_counters_tabular=true
//
// Reported per data size: time = the lock window (manual time), copy_ms =
// the engine's copy time, overhead_ms = lock window - copy time, overhead_pct
// = overhead_ms / lock window, MB = the data copied.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "host/Entities.h"
#include "host/JobClient.h"
#include "host/Platform.h"
#include "platform/JobStore.h"
#include "snapbackup/MongoDbSnapBackup.h"
#include "tests/topology/TopologyKit.h"
#include "topology/MongoDBServer.h"

namespace {

using namespace MongoDbKax;
using namespace MongoDbKax::testing;

constexpr uint32_t kMarlexId = 2, kAppId = 15;
constexpr const char* kNodeClient = "bench-node";

struct Bench {
    std::string root, dir;
    KitReplicaSet set;
    App::MongoDBServer secondary;
    std::string padDir;
    std::string error;

    bool Up() {
        root = ScratchDir("snapbenchroot");
        ::setenv("KAX_ROOT", root.c_str(), 1);
        if (TWPI_PlatformBase::InitProcess("bench_snapbackup").IsError()) return Fail("no state root");
        dir = ScratchDir("snapbench");
        if (!set.Up(dir + "/rs", "members=3, ip_base=160")) return Fail(set.error);
        TWClient node;
        node.name = node.shortName = kNodeClient;
        node.networkHostName = "127.0.0.1";
        if (TWClient::Save(node).IsError()) return Fail("cannot register the node's client");
        int primary = 0;
        for (int i = 0; i < set.Size(); ++i)
            if (set.Host(i) == set.Primary()) primary = i;
        const uint64_t instanceId = RegisterMongoInstance(set.Ip(primary), set.Port(primary), kNodeClient);
        ApplicationId application(kMarlexId, kAppId);
        application.instanceId = instanceId;
        if (!instanceId || application.Save().IsError()) return Fail("cannot register the instance");
        const int s = primary == 0 ? 1 : 0;
        secondary.hostName = set.Ip(s);
        secondary.port = set.Port(s);
        secondary.dbPath = set.Member(s)["dbpath"];
        secondary.replicaSetName = "rs0";
        padDir = secondary.dbPath + "/benchpad";
        return true;
    }
    bool Fail(const std::string& why) {
        error = why;
        return false;
    }
    // Replaces the padding with `mb` MB in files of at most 8 MB.
    void Pad(int64_t mb) {
        CZuDirectory::RemoveTree(padDir);
        CZuDirectory::Create(padDir);
        const std::string chunk(1 << 20, 'p');
        for (int64_t i = 0; i < mb; ++i)
            FXFile::Append(padDir + "/pad-" + std::to_string(i / 8) + ".bin", chunk);
    }
    ~Bench() {
        set.Down();
        CZuDirectory::RemoveTree(dir);
        CZuDirectory::RemoveTree(root);
    }
};

Bench* g_bench = nullptr;

// One node snapshot of the secondary as job `jobId`.
bool SnapOnce(benchmark::State& state, int64_t jobId, MongoDbSnapBackup& snap) {
    const std::string job = std::to_string(jobId);
    const std::vector<std::string> args = {"bench", "-j", job, "-cn", kNodeClient, "-a", "2:15",
                                           "-token", job + ":5:1", "-t", "1", "-snap"};
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    auto jobClient = std::make_shared<TWBackupJobClient>();
    auto control = std::make_shared<TWJobControlClient>();
    if (jobClient->init("localhost", jobId) || control->init(jobId)) {
        state.SkipWithError("cannot bind the job clients");
        return false;
    }
    MongoRepSetInfo_t record;
    record.replicaSetName = g_bench->secondary.replicaSetName;
    record.secondaryHost = g_bench->secondary.hostName;
    record.secondaryPort = uint32_t(g_bench->secondary.port);
    record.secondaryDataPath = g_bench->secondary.dbPath;
    if (snap.Initialize({record.secondaryDataPath}, {record}, int(argv.size()), argv.data(), jobClient, control,
                        MongoDbUtil()) != 0) {
        state.SkipWithError("the node snapshot did not initialise; see the log in the state root");
        return false;
    }
    if (CZuError err = snap.RunSnapBackup()) {
        state.SkipWithError(("the node snapshot failed: " + err.AsString()).c_str());
        return false;
    }
    return !snap.GetLockTimes().empty();
}

void BM_LockWindowAgainstCopyTime(benchmark::State& state) {
    if (!g_bench) {
        static Bench bench;
        if (!bench.Up()) {
            state.SkipWithError(("cannot start the replica set: " + bench.error).c_str());
            return;
        }
        g_bench = &bench;
    }
    g_bench->Pad(state.range(0));
    double lockMs = 0, copyMs = 0, bytes = 0;
    for (auto _ : state) {
        JobRecord job;
        job.type = "backup";
        job.client = kNodeClient;
        if (JobStore::CreateJob(job).IsError()) {
            state.SkipWithError("cannot create a job");
            return;
        }
        MongoDbSnapBackup snap;
        if (!SnapOnce(state, job.id, snap)) return;
        const double lock = double(snap.GetLockTimes()[0].milliseconds);
        state.SetIterationTime(lock / 1000.0);
        lockMs += lock;
        copyMs += double(snap.GetSnapMilliseconds());
        std::vector<std::pair<int64_t, int64_t>> ids;
        for (const auto& s : snap.GetSnapshots()) {
            ids.emplace_back(s.volumeId, s.snapshotId);
            bytes += double(s.bytes);
        }
        SnapshotEngine::DeleteSnapshots(snap.GetSourceClientId(), ids);
    }
    const double n = double(state.iterations());
    state.counters["lock_ms"] = lockMs / n;
    state.counters["copy_ms"] = copyMs / n;
    state.counters["overhead_ms"] = (lockMs - copyMs) / n;
    state.counters["overhead_pct"] = lockMs > 0 ? 100.0 * (lockMs - copyMs) / lockMs : 0;
    state.counters["MB"] = bytes / n / (1024.0 * 1024.0);
}
// Argument: MB of padding in the secondary's data path.
BENCHMARK(BM_LockWindowAgainstCopyTime)
    ->Arg(0)
    ->Arg(16)
    ->Arg(64)
    ->Arg(256)
    ->ArgName("padMB")
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
