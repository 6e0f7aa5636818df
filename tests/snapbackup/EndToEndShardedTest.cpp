// A snapshot backup of a test-kit sharded cluster through kaxrun: a config
// replica set and two shards of three members, a router. The two shards run
// their members on the same addresses (other ports), so the secondaries
// chosen for them share a host text: one node protects both.
#include <gtest/gtest.h>

#include "EndToEndSupport.h"
#include "host/Entities.h"
#include "host/JobManager.h"

using namespace MongoDbKax;
using namespace MongoDbKax::testing;

namespace {

std::string ClientOf(const std::string& ip) { return "n" + ip.substr(ip.rfind('.') + 1); }

// The member of a set by its _id.
const nlohmann::json& MemberOf(const nlohmann::json& set, int id) { return set["members"][size_t(id)]; }

std::string BalancerMode(const std::string& host, int port) {
    MongoDbConnection c;
    std::string reply;
    if (c.Connect(host, port, "", "") || c.RunAdminCommand(R"({"balancerStatus": 1})", false, reply)) return "?";
    const auto doc = nlohmann::json::parse(reply, nullptr, false);
    return doc.is_object() ? doc.value("mode", "?") : "?";
}

TEST(EndToEndSharded, OneSecondaryPerReplicaSetAndOneNodePerSecondaryHost) {
    if (!FXFile::Exists(kKitTools + "/mongos")) GTEST_SKIP() << "the test kit has no router";
    KaxrunRoot root;
    KitDeployment kit;
    ASSERT_EQ(root.Kaxrun("init").status, 0);
    const auto cfg = kit.StartSet(root.base + "/cfg", "members=3, ip_base=70, set_name='cfg', cluster_role='configsvr'");
    ASSERT_TRUE(cfg.is_object()) << kit.error;
    const auto sh1 = kit.StartSet(root.base + "/sh1", "members=3, ip_base=80, set_name='sh1', cluster_role='shardsvr'");
    ASSERT_TRUE(sh1.is_object()) << kit.error;
    const auto sh2 = kit.StartSet(root.base + "/sh2", "members=3, ip_base=80, set_name='sh2', cluster_role='shardsvr'");
    ASSERT_TRUE(sh2.is_object()) << kit.error;
    ASSERT_TRUE(kit.StartRouter(root.base, "127.0.0.98", KitDeployment::ConnectionString(cfg),
                                {KitDeployment::ConnectionString(sh1), KitDeployment::ConnectionString(sh2)}))
        << kit.error;

    ASSERT_EQ(root.Kaxrun("client register cs").status, 0);
    for (const auto* set : {&cfg, &sh1})
        for (const auto& m : (*set)["members"])
            ASSERT_EQ(root.Kaxrun("client register " + ClientOf(m["ip"]) + " --host " + m["ip"].get<std::string>()).status, 0);
    // The user chose member 1 of each shard: both on 127.0.0.81.
    const auto& a = MemberOf(sh1, 1);
    const auto& b = MemberOf(sh2, 1);
    CommandResult r = root.Kaxrun("instance register cluster1 --client cs --host " + kit.routerHost + " --port " +
                                  std::to_string(kit.routerPort) + " --bin-path " + Q(kKitTools) + " --app " + kApp +
                                  " --data-access " + a["host"].get<std::string>() + " --data-access " +
                                  b["host"].get<std::string>());
    ASSERT_EQ(r.status, 0) << r.out;

    MongoDbConnection router;
    ASSERT_FALSE(router.Connect(kit.routerHost, kit.routerPort, "", "")) << router.GetLastErrorMsg();
    std::string reply;
    ASSERT_FALSE(router.RunCommand("shop", R"({"insert": "orders", "documents": [{"_id": 1, "item": "desk"}]})", false,
                                   reply))
        << router.GetLastErrorMsg();

    r = root.Backup();
    const int64_t job = root.LastJobId();
    ASSERT_EQ(r.status, 0) << r.out << Joined(root.EventTexts(job));

    // One task per secondary host: the two shards' secondaries share 127.0.0.81.
    size_t tasks = 0;
    for (size_t at = 0; (at = r.out.find(": handed to node ", at)) != std::string::npos; ++at) ++tasks;
    EXPECT_EQ(tasks, 2u) << r.out;
    EXPECT_NE(r.out.find("handed to node n81"), std::string::npos) << r.out;
    // Its one task listed both shards' secondaries: the node snapshotted both.
    const auto events = root.EventTexts(job);
    for (const auto& member : {a, b})
        EXPECT_TRUE(Contains(events, " | 127.0.0.81 | " + std::to_string(member["port"].get<int>()) + " | "))
            << Joined(events);

    root.Use();
    TWClient shardNode;
    ASSERT_FALSE(TWClient::ByName("n81", shardNode).IsError());
    std::map<std::string, App::MongoDBShardInfo> shards;
    for (const auto& item : root.Browse(job, App::kShardViewName)) {
        App::MongoDBShardInfo s;
        ASSERT_FALSE(s.Unserialize(item.record).IsError());
        EXPECT_EQ(item.path, "/" + s.replicaSetName);
        shards[s.replicaSetName] = s;
    }
    ASSERT_EQ(shards.size(), 3u);
    EXPECT_EQ(shards["cfg"].configServer, 1);
    EXPECT_NE(shards["cfg"].secondaryHost, MemberOf(cfg, 0)["ip"].get<std::string>());
    for (const auto& [set, member] : {std::pair{"sh1", &a}, std::pair{"sh2", &b}}) {
        const auto& s = shards[set];
        EXPECT_EQ(s.configServer, 0);
        EXPECT_EQ(s.secondaryHost, (*member)["ip"].get<std::string>());
        EXPECT_EQ(s.secondaryPort, (*member)["port"].get<int>());
        EXPECT_EQ(s.secondaryDataPath, (*member)["dbpath"].get<std::string>());
        EXPECT_EQ(s.nodeClientId, int64_t(shardNode.id));
        const std::string ts = root.OscFile("n81", std::string("oplog_") + set + ".ts");
        EXPECT_EQ(ts.rfind(std::string("1:") + set + ":" + std::to_string(s.secondaryPort) + ":", 0), 0u) << ts;
    }
    EXPECT_EQ(root.OscFile("n81", "LAST_FULL_JOB"), std::to_string(job));
    EXPECT_EQ(root.OscFile(ClientOf(shards["cfg"].secondaryHost), "LAST_FULL_JOB"), std::to_string(job));

    // The database created through the router is indexed once, under "#MONGOS#".
    std::vector<std::string> dbView;
    for (const auto& item : root.Browse(job, App::kDBViewName)) dbView.push_back(item.path);
    EXPECT_EQ(dbView, (std::vector<std::string>{"/#MONGOS#~shop", "/#MONGOS#~shop/orders"}));

    // The balancer was stopped for the job and runs again; no member stayed locked.
    std::string log;
    FXFile::ReadAll(root.root + "/logs/kaxrun.log", log);
    EXPECT_NE(log.find("Stopped the Balancer successfully"), std::string::npos);
    EXPECT_NE(log.find("Started the Balancer successfully"), std::string::npos);
    EXPECT_EQ(BalancerMode(kit.routerHost, kit.routerPort), "full");
    for (const auto* set : {&cfg, &sh1, &sh2})
        for (const auto& m : (*set)["members"])
            EXPECT_FALSE(IsLocked(m["ip"], m["port"])) << m["host"];

    // A failed job also runs the balancer again and leaves nothing locked.
    const std::string store = root.root + "/snapstore";
    ASSERT_EQ(::rename(store.c_str(), (store + ".aside").c_str()), 0);
    ASSERT_FALSE(FXFile::WriteAll(store, "not a directory").IsError());
    EXPECT_NE(root.Backup().status, 0);
    EXPECT_EQ(root.Job(root.LastJobId()).status, JobOutcome::Failed);
    EXPECT_TRUE(Contains(root.EventTexts(root.LastJobId()), "failed on node")) << Joined(root.EventTexts(root.LastJobId()));
    EXPECT_EQ(BalancerMode(kit.routerHost, kit.routerPort), "full");
    for (const auto* set : {&cfg, &sh1, &sh2})
        for (const auto& m : (*set)["members"])
            EXPECT_FALSE(IsLocked(m["ip"], m["port"])) << m["host"];

    // Config servers without a usable secondary (the user chose their
    // primary): planning fails before any node is added; the balancer, stopped
    // for the job, runs again.
    r = root.Kaxrun("instance register cluster1 --client cs --host " + kit.routerHost + " --port " +
                    std::to_string(kit.routerPort) + " --bin-path " + Q(kKitTools) + " --app " + kApp +
                    " --data-access " + MemberOf(cfg, 0)["host"].get<std::string>());
    ASSERT_EQ(r.status, 0) << r.out;
    r = root.Backup();
    EXPECT_NE(r.status, 0);
    EXPECT_NE(root.Job(root.LastJobId()).reason.find("No suitable secondary nodes found for replica set [cfg]"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("node n"), std::string::npos) << "a node was started: " << r.out;
    EXPECT_EQ(BalancerMode(kit.routerHost, kit.routerPort), "full");
}

}  // namespace
