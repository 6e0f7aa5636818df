// Discovery of test-kit deployments whose members belong to several clients:
// what each server entry holds, how the master is found, and the codes of
// the failures the console tells apart.
#include "tests/access/AccessTestSupport.h"
#include "tests/topology/TopologyKit.h"
#include "topology/MongoDBConfig.h"
#include "topology/TopologyReport.h"

namespace MongoDbKax::testing {
namespace {

constexpr const char* kKeyPassword = "TopSecret1";

// One three-member set for the whole suite; every member reads the same
// configuration file (journal off, a key password that must never travel).
class DiscoveryTest : public AccessTest {
protected:
    static void SetUpTestSuite() {
        s_dir = ScratchDir("discovery");
        s_confFile = s_dir + "/mongod.conf";
        FXFile::WriteAll(s_confFile, std::string("storage:\n  journal:\n    enabled: false\n"
                                                 "net:\n  ssl:\n    PEMKeyPassword: ") +
                                         kKeyPassword + "\n");
        s_set = new KitReplicaSet();
        s_set->Up(s_dir + "/rs", "members=3, ip_base=30, extra_args=['--config', '" + s_confFile + "']");
    }
    static void TearDownTestSuite() {
        delete s_set;
        s_set = nullptr;
        CZuDirectory::RemoveTree(s_dir);
    }
    void SetUp() override {
        AccessTest::SetUp();
        ASSERT_TRUE(s_set && s_set->state.is_object()) << s_set->error;
    }

    // Clients node30 and node31 own their members' addresses by host name;
    // node32's host name is a DNS name and the address is one of its IPs.
    void RegisterMemberClients(std::vector<std::string> masterIps = {"127.0.0.30"}) {
        RegisterClient("node30", "127.0.0.30", std::move(masterIps));
        RegisterClient("node31", "127.0.0.31", {"127.0.0.31"});
        RegisterClient("node32", "db32.example.test", {"127.0.0.32"});
    }

    static inline KitReplicaSet* s_set = nullptr;
    static inline std::string s_dir, s_confFile;
};

TEST_F(DiscoveryTest, ReplicaSetMembersAreDescribedWithTheirClients) {
    RegisterMemberClients();
    uint64_t instanceId = RegisterMongoInstance(s_set->Ip(0), s_set->Port(0), "node30");
    MongoDbUtil util;
    ASSERT_EQ(util.InitializeForDiscovery(instanceId), 0);
    ASSERT_EQ(util.Discover(false), 0);

    const App::MongoDBConfig& config = *util.GetClusterConfig();
    EXPECT_EQ(config.clusterType, App::MongoClusterType::ReplicaSet);
    ASSERT_EQ(config.serverList.size(), 3u);
    const char* clients[] = {"node30", "node31", "node32"};
    int primaries = 0;
    for (int i = 0; i < 3; ++i) {
        const App::MongoDBServer& s = config.serverList[i];
        SCOPED_TRACE(s_set->Host(i));
        EXPECT_EQ(s.hostName, s_set->Ip(i));
        EXPECT_EQ(s.port, s_set->Port(i));
        EXPECT_EQ(s.serverType, App::MongoServerType::DataMember);
        EXPECT_EQ(s.replicaSetName, "rs0");
        EXPECT_EQ(s.memberState, s_set->Host(i) == s_set->Primary() ? App::MongoMemberState::Primary
                                                                    : App::MongoMemberState::Secondary);
        primaries += s.memberState == App::MongoMemberState::Primary;
        EXPECT_EQ(s.health, 1);
        EXPECT_EQ(s.dbPath, s_set->Member(i)["dbpath"].get<std::string>());
        EXPECT_EQ(s.logPath, s_set->Member(i)["logpath"].get<std::string>());
        EXPECT_EQ(s.bindIp, s_set->Ip(i));
        EXPECT_EQ(s.journalEnabled, 0);
        EXPECT_EQ(s.version, "4.4.6");
        EXPECT_EQ(s.storageEngine, "wiredTiger");
        EXPECT_NE(s.commandLine.find("--replSet rs0"), std::string::npos) << s.commandLine;
        EXPECT_EQ(s.configFile, s_confFile);
        ASSERT_TRUE(s.clientEntity.has_value());
        EXPECT_EQ(s.clientEntity->clientName, clients[i]);
        EXPECT_EQ(s.clientEntity->hostName, s_set->Ip(i));
    }
    EXPECT_EQ(primaries, 1);
    // The configuration file is read on the master's own host only, key password masked.
    const std::string& contents = config.serverList[0].configFileContents;
    EXPECT_NE(contents.find("journal:"), std::string::npos);
    EXPECT_NE(contents.find("PEMKeyPassword:xxxxxxxxxxx\n"), std::string::npos) << contents;
    EXPECT_TRUE(config.serverList[1].configFileContents.empty());
    EXPECT_TRUE(config.serverList[2].configFileContents.empty());
    EXPECT_EQ(config.SerializeToXml().find(kKeyPassword), std::string::npos);

    const MongoDbTopologyState& t = util.GetTopology();
    EXPECT_EQ(t.replicaSetCount, 1u);
    EXPECT_EQ(t.replicaSetNames, std::vector<std::string>{"rs0"});
    EXPECT_EQ(t.boundIps, (std::vector<std::string>{"127.0.0.30", "127.0.0.31", "127.0.0.32"}));
    EXPECT_FALSE(t.sharded);

    ASSERT_EQ(util.listDB(), 0);
    EXPECT_EQ(util.GetTopology().shardSizes.count("rs0"), 1u);

    // The protected secondary of the set comes with its client's host name.
    const std::string primary = s_set->Primary();
    const size_t colon = primary.rfind(':');
    const int chosen = util.GetSecondaryNodes("rs0", primary.substr(0, colon),
                                              std::stoi(primary.substr(colon + 1)), {});
    ASSERT_GE(chosen, 0);
    const MongoDbSecondaryInfo_t& c = util.GetTopology().secondaries.at(chosen);
    EXPECT_NE(c.mongoHost + ":" + std::to_string(c.port), primary);
    EXPECT_EQ(c.clientHost, c.mongoHost == "127.0.0.32" ? "db32.example.test" : c.mongoHost);
    EXPECT_EQ(util.GetTopology().secondaries.size(), 2u);
}

TEST_F(DiscoveryTest, OperatorTableShowsEveryMemberWithRoleStateAndClient) {
    RegisterMemberClients();
    const TWClient node32 = RegisterClient("node32", "db32.example.test", {"127.0.0.32"});
    const uint64_t instanceId = RegisterMongoInstance(s_set->Ip(0), s_set->Port(0), "node30");
    App::MongoDBConfig config;
    std::string errorText;
    ASSERT_EQ(TopologyReport::DiscoverInstance(instanceId, "node30", config, errorText), 0) << errorText;
    const std::string table = TopologyReport::FormatTable(config);
    EXPECT_EQ(table.rfind("Replica set: 1 replica set, 3 processes\n", 0), 0u) << table;
    EXPECT_NE(table.find("Replica set  Role  State"), std::string::npos) << table;
    for (int i = 0; i < 3; ++i) {
        // Each member's row: its set, role, state, address, data path and client.
        const std::string state = s_set->Host(i) == s_set->Primary() ? "PRIMARY  " : "SECONDARY";
        const size_t row = table.find("rs0          data  " + state + "  " + s_set->Host(i));
        ASSERT_NE(row, std::string::npos) << table;
        const std::string line = table.substr(row, table.find('\n', row) - row);
        EXPECT_NE(line.find(s_set->Member(i)["dbpath"].get<std::string>()), std::string::npos) << line;
        EXPECT_NE(line.find("off"), std::string::npos) << line;
    }
    EXPECT_NE(table.find("node32 (id " + std::to_string(node32.id) + ")"), std::string::npos) << table;
}

TEST_F(DiscoveryTest, MasterReachableOnlyThroughItsClientsOtherAddress) {
    for (const bool browse : {false, true}) {
        SCOPED_TRACE(browse ? "browse" : "job");
        // Nothing listens at 127.0.0.29; the master client is also reachable at .30.
        RegisterMemberClients({"127.0.0.29", "127.0.0.30"});
        const uint64_t instanceId = RegisterMongoInstance("127.0.0.29", s_set->Port(0), "node30");
        MongoDbUtil util;
        uint64_t id = instanceId;
        ASSERT_EQ(util.InitializeForDiscovery(id), 0);
        ASSERT_EQ(util.Discover(browse), 0);
        EXPECT_EQ(util.GetMongoHost(), "127.0.0.30");
        EXPECT_EQ(util.GetClusterConfig()->serverList.size(), 3u);
        MongoDBInstance stored;
        ASSERT_FALSE(MongoDBInstance::ById(instanceId, stored).IsError());
        EXPECT_EQ(stored.hostName, browse ? "127.0.0.29" : "127.0.0.30");
    }
}

TEST_F(DiscoveryTest, FailuresAreToldApartByTheirCodes) {
    const std::string scratch = ScratchDir("lone");
    auto lone = std::make_unique<KitLoneServer>();
    ASSERT_TRUE(lone->Up(scratch, "127.0.0.40")) << lone->error;
    RegisterClient("node40", "127.0.0.40", {"127.0.0.40"});
    RegisterClient("node41", "127.0.0.41", {"127.0.0.41", "127.0.0.42"});

    struct Case {
        const char* name;
        std::string host;
        int port;
        std::string client, binPath;
        int code;
        const char* logLine;
        std::string operatorText;
    };
    const std::vector<Case> cases = {
        {"single server without replica set", "127.0.0.40", lone->port, "node40", kKitBin, -1,
         "Replication has not been eanabled. Single server is not supported.",
         "Discovery failed with code -1; the agent log tells why"},
        {"no process on the port", "127.0.0.41", FreePort("127.0.0.41"), "node41", kKitBin, 14,
         "Cannot find any mongod/mongos process that listens to the given port on the master node",
         "Cannot find any mongod/mongos process that listens to the given port on the master node"},
        {"tools not found", s_set->Ip(0), s_set->Port(0), "node40", scratch + "/nobin", 127,
         "mongod binary is not found", "Incorrect binary path"},
    };
    for (const Case& c : cases) {
        const uint64_t instanceId = RegisterMongoInstance(c.host, c.port, c.client, c.binPath);
        MongoDbUtil util;
        uint64_t id = instanceId;
        ASSERT_EQ(util.InitializeForDiscovery(id), 0) << c.name;
        EXPECT_EQ(util.Discover(false), c.code) << c.name;
        EXPECT_NE(ReadLog().find(c.logLine), std::string::npos) << c.name;
        EXPECT_TRUE(util.GetClusterConfig()->serverList.empty()) << c.name;
        App::MongoDBConfig config;
        std::string errorText;
        EXPECT_EQ(TopologyReport::DiscoverInstance(instanceId, c.client, config, errorText), c.code);
        EXPECT_EQ(errorText, c.operatorText) << c.name;
    }
    lone.reset();
    CZuDirectory::RemoveTree(scratch);
}

// A set that requires authentication: the right password discovers it, a
// wrong one is told apart as an authentication failure.
TEST_F(DiscoveryTest, WrongCredentialsGiveTheAuthenticationCode) {
    const std::string scratch = ScratchDir("auth");
    KitReplicaSet secured;
    ASSERT_TRUE(secured.Up(scratch + "/rs", "members=1, ip_base=45, set_name='rsAuth', user='admin', "
                                            "password='Right-pw1'"))
        << secured.error;
    RegisterClient("node45", "127.0.0.45", {"127.0.0.45"});
    for (const auto& [password, code] : {std::pair<std::string, int>{"Wrong-pw", 13}, {"Right-pw1", 0}}) {
        const uint64_t instanceId =
            RegisterMongoInstance(secured.Ip(0), secured.Port(0), "node45", kKitBin, "admin", password);
        MongoDbUtil util;
        uint64_t id = instanceId;
        ASSERT_EQ(util.InitializeForDiscovery(id), 0);
        EXPECT_EQ(util.Discover(false), code) << password;
        App::MongoDBConfig config;
        std::string errorText;
        EXPECT_EQ(TopologyReport::DiscoverInstance(instanceId, "node45", config, errorText), code);
        if (code == 13) {
            EXPECT_EQ(errorText,
                      "Failed to authenticate to mongodb server. Please check the provided DB "
                      "username and password");
        }
    }
    EXPECT_NE(ReadLog().find("Authentication Error during discovery, exiting"), std::string::npos);
    secured.Down();
    CZuDirectory::RemoveTree(scratch);
}

}  // namespace
}  // namespace MongoDbKax::testing
