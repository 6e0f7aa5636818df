// Discovery and balancer control of a sharded cluster of the test kit: one
// config-server set, two shards of three members, a router. Runs only when
// the kit has a router (mongos).
#include "tests/access/AccessTestSupport.h"
#include "tests/topology/TopologyKit.h"
#include "topology/MongoDBConfig.h"

namespace MongoDbKax::testing {
namespace {

class ShardedDiscoveryTest : public AccessTest {
protected:
    static void SetUpTestSuite() {
        if (!KitHasRouter()) return;
        s_dir = ScratchDir("sharded");
        s_cluster = new KitShardedCluster();
        s_cluster->Up(s_dir, 2, 3);
        s_tools32 = s_dir + "/tools32";
        Shell(kKitBin + "/mongo-cluster tooldir --dir '" + s_tools32 + "' --version 3.2.22 >/dev/null");
    }
    static void TearDownTestSuite() {
        delete s_cluster;
        s_cluster = nullptr;
        if (!s_dir.empty()) CZuDirectory::RemoveTree(s_dir);
    }
    void SetUp() override {
        if (!KitHasRouter())
            GTEST_SKIP() << "the test kit has no mongos in " << kKitBin << ": sharded clusters cannot be started";
        AccessTest::SetUp();
        ASSERT_TRUE(s_cluster->error.empty()) << s_cluster->error;
        RegisterMemberClients(*s_cluster->config);
        for (const auto& shard : s_cluster->shardSets) RegisterMemberClients(*shard);
        RegisterClient("node100", s_cluster->routerIp, {s_cluster->routerIp});
        instanceId = RegisterMongoInstance(s_cluster->routerIp, s_cluster->routerPort, "node100");
        ASSERT_NE(instanceId, 0u);
    }

    // "true" or "false" as the shell reports the balancer.
    std::string BalancerState() {
        std::string out = Shell(kKitBin + "/mongo --port " + std::to_string(s_cluster->routerPort) +
                                " --host " + s_cluster->routerIp +
                                " --quiet --eval \"sh.getBalancerState()\" 2>&1");
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
        return out;
    }

    static inline KitShardedCluster* s_cluster = nullptr;
    static inline std::string s_dir, s_tools32;
    uint64_t instanceId = 0;
};

TEST_F(ShardedDiscoveryTest, RouterThenConfigServersThenShardsInListShardsOrder) {
    MongoDbUtil util;
    ASSERT_EQ(util.InitializeForDiscovery(instanceId), 0);
    ASSERT_EQ(util.Discover(false), 0);
    const App::MongoDBConfig& config = *util.GetClusterConfig();
    EXPECT_EQ(config.clusterType, App::MongoClusterType::Sharded);
    ASSERT_EQ(config.serverList.size(), 1u + 3u + 2u * 3u);

    const App::MongoDBServer& router = config.serverList[0];
    EXPECT_EQ(router.serverType, App::MongoServerType::Router);
    EXPECT_EQ(router.hostName, s_cluster->routerIp);
    EXPECT_EQ(router.port, s_cluster->routerPort);
    EXPECT_TRUE(router.dbPath.empty());
    ASSERT_TRUE(router.clientEntity.has_value());
    EXPECT_EQ(router.clientEntity->clientName, "node100");

    std::vector<const KitReplicaSet*> sets = {s_cluster->config.get()};
    for (const auto& shard : s_cluster->shardSets) sets.push_back(shard.get());
    size_t at = 1;
    for (const KitReplicaSet* set : sets) {
        const bool configSet = set == s_cluster->config.get();
        int primaries = 0;
        for (int i = 0; i < set->Size(); ++i, ++at) {
            const App::MongoDBServer& s = config.serverList[at];
            SCOPED_TRACE(s.hostName + ":" + std::to_string(s.port));
            EXPECT_EQ(s.replicaSetName, set->state["setName"].get<std::string>());
            EXPECT_EQ(s.serverType, configSet ? App::MongoServerType::ConfigMember
                                              : App::MongoServerType::DataMember);
            EXPECT_EQ(s.hostName + ":" + std::to_string(s.port), set->Host(i));
            EXPECT_EQ(s.dbPath, set->Member(i)["dbpath"].get<std::string>());
            primaries += s.memberState == App::MongoMemberState::Primary;
            ASSERT_TRUE(s.clientEntity.has_value());
            const std::string ip = set->Ip(i);
            EXPECT_EQ(s.clientEntity->clientName, "node" + ip.substr(ip.rfind('.') + 1));
        }
        EXPECT_EQ(primaries, 1);
    }
    const MongoDbTopologyState& t = util.GetTopology();
    EXPECT_TRUE(t.sharded);
    EXPECT_EQ(t.configServerReplicaSetName, "cfg");
    EXPECT_EQ(t.replicaSetCount, 3u);
    EXPECT_EQ(t.replicaSetNames, (std::vector<std::string>{"cfg", "sh1", "sh2"}));
    // Sizes are kept per replica set; the router's "config" is the config-server set.
    ASSERT_EQ(util.listDB(), 0);
    for (const auto& [name, bytes] : util.GetTopology().shardSizes) {
        EXPECT_TRUE(name == "cfg" || name == "sh1" || name == "sh2") << name;
        EXPECT_GE(bytes, 0) << name;
    }
}

TEST_F(ShardedDiscoveryTest, BalancerStopsAndStartsThroughTheCommandAndThroughTheShellOn32) {
    MongoDbUtil current, v32;
    for (MongoDbUtil* util : {&current, &v32}) {
        util->SetMongoHost(s_cluster->routerIp);
        util->SetMongoPort(s_cluster->routerPort);
    }
    current.SetBinPath(kKitBin);
    v32.SetBinPath(s_tools32);
    ASSERT_TRUE(v32.isMongodVersion32());
    for (MongoDbUtil* util : {&current, &v32}) {
        SCOPED_TRACE(util == &v32 ? "3.2 shell" : "command");
        ASSERT_EQ(util->StopStartBalancer(true), 0);
        EXPECT_EQ(BalancerState(), "false");
        ASSERT_EQ(util->StopStartBalancer(false), 0);
        EXPECT_EQ(BalancerState(), "true");
    }
    EXPECT_NE(ReadLog().find("Balancer [stop] Successful"), std::string::npos);
}

}  // namespace
}  // namespace MongoDbKax::testing
