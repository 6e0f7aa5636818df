// Cost of discovering a deployment as it grows: wall time of one Discover
// and the administrative commands it sends per member, for replica sets of 3
// to 7 members and sharded clusters of 1 to 4 shards of 3 to 7 members.
// Deployments are test-kit processes started before timing; clusters need the
// kit's router (mongos) and are skipped without it.
//
//   build/bench/bench_topology --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "access/MongoDbUtil.h"
#include "host/Platform.h"
#include "tests/topology/TopologyKit.h"
#include "topology/MongoDBConfig.h"

namespace {

using namespace MongoDbKax;
using namespace MongoDbKax::testing;

std::string g_stateRoot;

// A state root of its own for the whole run, removed at exit.
bool PrepareStateRoot() {
    static bool ready = [] {
        g_stateRoot = ScratchDir("benchroot");
        ::setenv("KAX_ROOT", g_stateRoot.c_str(), 1);
        std::atexit([] { CZuDirectory::RemoveTree(g_stateRoot); });
        return TWPI_PlatformBase::InitProcess("bench_topology").IsSuccess();
    }();
    return ready;
}

// The part of a discovery that grows with the deployment: the scans of the
// replica sets through the driver and the client mapping, without the two
// tool runs (server version, shell ping) that every discovery starts with.
int ScanMembers(MongoDbUtil& util) {
    std::vector<App::MongoDBServer> servers;
    int rc = util.CheckIfShardedEnv();
    if (rc == 0 && util.GetTopology().sharded)
        rc = util.GetMongosServiceInfo(servers) || util.GetConfigRepSetInfo(servers) ||
             util.GetShardsInfo(servers);
    else
        rc = util.CheckIfReplicationIsEnabled() ||
             util.GetRepSetInfo("", util.GetMongoHost(), util.GetMongoPort(), servers, false);
    if (rc == 0) rc = util.GetClientsForMongoIPs() || util.UpdateMongoServerList(servers);
    util.GetClusterConfig()->serverList = std::move(servers);
    return rc;
}

// Discovers the instance once per iteration (whole, or its member scans
// only) and reports its cost.
void Measure(benchmark::State& state, uint64_t instanceId, bool whole) {
    uint64_t commands = 0, servers = 0;
    for (auto _ : state) {
        MongoDbUtil util;
        uint64_t id = instanceId;
        if (util.InitializeForDiscovery(id) != 0 || (whole ? util.Discover(true) : ScanMembers(util)) != 0) {
            state.SkipWithError("discovery failed; see the bench_topology log in the state root");
            return;
        }
        commands = util.GetTopology().commandsSent;
        servers = util.GetClusterConfig()->serverList.size();
    }
    state.counters["servers"] = static_cast<double>(servers);
    state.counters["commands"] = static_cast<double>(commands);
    state.counters["commands_per_server"] = servers ? double(commands) / double(servers) : 0;
}

// Deployments are kept from one benchmark to the next while their shape
// stays the same (the first argument, the measuring mode, varies fastest).
template <typename Deployment>
struct Kept {
    std::string shape, dir;
    std::unique_ptr<Deployment> deployment;
    uint64_t instanceId = 0;

    // The deployment of `shape`, started by `up` when the shape changed; null on failure.
    template <typename Up>
    Deployment* Get(const std::string& wanted, const char* tag, Up up, std::string& error) {
        if (wanted == shape && deployment) return deployment.get();
        Drop();
        dir = ScratchDir(tag);
        deployment = std::make_unique<Deployment>();
        if (!PrepareStateRoot() || !up(*deployment, dir)) {
            error = deployment->error;
            Drop();
            return nullptr;
        }
        shape = wanted;
        return deployment.get();
    }
    void Drop() {
        deployment.reset();
        if (!dir.empty()) CZuDirectory::RemoveTree(dir);
        dir.clear();
        shape.clear();
    }
    ~Kept() { Drop(); }
};

Kept<KitReplicaSet> g_set;
Kept<KitShardedCluster> g_cluster;

void BM_DiscoverReplicaSet(benchmark::State& state) {
    const int members = static_cast<int>(state.range(1));
    std::string error;
    KitReplicaSet* set = g_set.Get(std::to_string(members), "benchrs", [&](KitReplicaSet& s, const std::string& dir) {
        if (!s.Up(dir + "/rs", "members=" + std::to_string(members) + ", ip_base=110")) return false;
        RegisterMemberClients(s);
        g_set.instanceId = RegisterMongoInstance(s.Ip(0), s.Port(0), "node110");
        return true;
    }, error);
    if (!set) {
        state.SkipWithError(("cannot start the replica set: " + error).c_str());
        return;
    }
    Measure(state, g_set.instanceId, state.range(0) != 0);
}
// Arguments: whole discovery (1) or member scans only (0); members.
BENCHMARK(BM_DiscoverReplicaSet)
    ->ArgsProduct({{1, 0}, {3, 4, 5, 6, 7}})
    ->ArgNames({"whole", "members"})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_DiscoverShardedCluster(benchmark::State& state) {
    if (!KitHasRouter()) {
        state.SkipWithError("the test kit has no mongos: sharded clusters cannot be started");
        return;
    }
    const int members = static_cast<int>(state.range(1));
    const int shards = static_cast<int>(state.range(2));
    std::string error;
    KitShardedCluster* cluster = g_cluster.Get(
        std::to_string(shards) + "x" + std::to_string(members), "benchsh",
        [&](KitShardedCluster& c, const std::string& dir) {
            if (!c.Up(dir, shards, members)) return false;
            RegisterMemberClients(*c.config);
            for (const auto& shard : c.shardSets) RegisterMemberClients(*shard);
            RegisterClient("node100", c.routerIp, {c.routerIp});
            g_cluster.instanceId = RegisterMongoInstance(c.routerIp, c.routerPort, "node100");
            return true;
        },
        error);
    if (!cluster) {
        state.SkipWithError(("cannot start the cluster: " + error).c_str());
        return;
    }
    Measure(state, g_cluster.instanceId, state.range(0) != 0);
}
// Arguments: whole discovery (1) or member scans only (0); members per shard; shards.
BENCHMARK(BM_DiscoverShardedCluster)
    ->ArgsProduct({{1, 0}, {3, 5, 7}, {1, 2, 3, 4}})
    ->ArgNames({"whole", "members", "shards"})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
