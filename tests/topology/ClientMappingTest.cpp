// Members are tied to the backup clients of the management database: by
// client name, through the stored procedure for bound addresses, and the
// saved cluster configuration of an instance.
#include "host/ClusterMessages.h"
#include "host/StoredProcedure.h"
#include "tests/access/AccessTestSupport.h"
#include "tests/topology/TopologyKit.h"
#include "topology/MongoDBConfig.h"

namespace MongoDbKax::testing {
namespace {

class ClientMappingTest : public AccessTest {
protected:
    void SetUp() override {
        AccessTest::SetUp();
        node2 = RegisterClient("node2", "127.0.0.2", {"127.0.0.2", "10.1.0.2"});
        node3 = RegisterClient("node3", "node3.example.test", {"127.0.0.3"});
        node5 = RegisterClient("node5", "node5.example.test", {"10.1.0.22"});
        restoreOnly = RegisterClient("node4", "127.0.0.4", {"127.0.0.4"}, 2);
    }

    static App::MongoDBServer Server(const std::string& host, const std::string& bindIp) {
        App::MongoDBServer s;
        s.hostName = host;
        s.port = 27017;
        s.bindIp = bindIp;
        return s;
    }

    TWClient node2, node3, node5, restoreOnly;
    MongoDbUtil util;
};

TEST_F(ClientMappingTest, ProcedureReturnsTheClientsOfEachAddressUnderThatAddress) {
    std::vector<App::ClientEntity> entities;
    ASSERT_FALSE(util.GetTWclientsForIPs({"10.1.0.2", "192.0.2.1", "127.0.0.3", "node3.example.test"},
                                         entities)
                     .IsError());
    ASSERT_EQ(entities.size(), 3u);
    EXPECT_EQ(entities[0].clientId, static_cast<int64_t>(node2.id));
    EXPECT_EQ(entities[0].hostName, "10.1.0.2");
    EXPECT_EQ(entities[1].clientName, "node3");
    EXPECT_EQ(entities[1].hostName, "127.0.0.3");
    EXPECT_EQ(entities[2].clientName, "node3");
    EXPECT_EQ(entities[2].hostName, "node3.example.test");

    App::ClientEntity one;
    ASSERT_FALSE(util.GetTWclientForSingleIP("127.0.0.3", one).IsError());
    EXPECT_EQ(one.clientId, static_cast<int64_t>(node3.id));
    // Only a whole registered address counts: a prefix of one is no address.
    EXPECT_EQ(util.GetTWclientForSingleIP("10.1.0", one).GetErrorCode(), 774u);
    EXPECT_EQ(util.GetTWclientForSingleIP("192.0.2.1", one).GetErrorCode(), 774u);
}

TEST_F(ClientMappingTest, HostLookupByClientNameAndThroughOtherInterfaces) {
    struct Case {
        const char* host;
        bool alternate;
        const char* client;  // nullptr = not found
    };
    const std::vector<Case> cases = {
        {"node3", false, "node3"},
        {"node3", true, "node3"},
        {"10.1.0.2", false, nullptr},
        {"10.1.0.2", true, "node2"},
        {"NODE3", false, nullptr},
        {"192.0.2.1", true, nullptr},
    };
    for (const Case& c : cases) {
        App::ClientEntity e;
        const bool found = util.GetTwClientEntityForHost(c.host, e, c.alternate);
        EXPECT_EQ(found, c.client != nullptr) << c.host << " " << c.alternate;
        if (found && c.client) {
            EXPECT_EQ(e.clientName, c.client) << c.host;
        }
    }
}

TEST_F(ClientMappingTest, AClientNameMapsWithoutAskingTheManagementServer) {
    App::ClientEntity e;
    ASSERT_TRUE(util.GetTwClientEntityForHost("node2", e, true));
    EXPECT_EQ(e.clientId, static_cast<int64_t>(node2.id));
    EXPECT_EQ(e.hostName, "127.0.0.2");
    EXPECT_EQ(ReadLog().find("GetClientsForIPAddressRequest input"), std::string::npos);
}

TEST_F(ClientMappingTest, ServersWithoutClientTakeTheClientOfAWholeBoundAddress) {
    MongoDbTopologyState& t = util.GetTopology();
    t.boundIps = {"10.1.0.2", "10.1.0.22", "192.0.2.9", "127.0.0.3"};
    ASSERT_EQ(util.GetClientsForMongoIPs(), 0);

    App::MongoDBServer mapped = Server("db0", "127.0.0.3");
    mapped.clientEntity = App::ClientEntity();
    mapped.clientEntity->clientName = "kept";
    std::vector<App::MongoDBServer> servers = {
        Server("db1", "10.1.0.22"),              // not the client of its prefix 10.1.0.2
        Server("db2", "\"127.0.0.1, 10.1.0.2\""), // element of a list
        Server("db3", "192.0.2.9"),              // nobody's address
        mapped,                                   // already mapped: untouched
        Server("db4", "192.0.2.9,127.0.0.3"),    // first address that resolves wins
    };
    EXPECT_EQ(util.UpdateMongoServerList(servers), 0);
    auto clientOf = [&](size_t i) {
        return servers[i].clientEntity ? servers[i].clientEntity->clientName : std::string("-");
    };
    EXPECT_EQ(clientOf(0), "node5");
    EXPECT_EQ(clientOf(1), "node2");
    EXPECT_EQ(clientOf(2), "-");
    EXPECT_EQ(clientOf(3), "kept");
    EXPECT_EQ(clientOf(4), "node3");

    // Addresses are compared exactly, as text.
    App::ClientEntity e;
    EXPECT_FALSE(util.GetClientObjFromIPList("10.1.0.02", e));
    EXPECT_TRUE(util.GetClientObjFromIPList("10.1.0.22", e));

    t.boundIps.clear();
    EXPECT_EQ(util.GetClientsForMongoIPs(), -1);
    EXPECT_NE(ReadLog().find("Found Empty bind ip list"), std::string::npos);
}

TEST_F(ClientMappingTest, RestoreOnlyClientsAreKnownByNameOrHostName) {
    EXPECT_TRUE(util.IsRestoreOnlyClient("node4"));
    EXPECT_TRUE(util.IsRestoreOnlyClient("127.0.0.4"));
    EXPECT_FALSE(util.IsRestoreOnlyClient("node2"));
    EXPECT_FALSE(util.IsRestoreOnlyClient("127.0.0.2"));
    EXPECT_FALSE(util.IsRestoreOnlyClient("unknown-host"));
}

TEST_F(ClientMappingTest, SavedClusterConfigurationRoundTripsThroughTheProcedure) {
    MongoDBInstance instance;
    instance.instanceName = "inst1";
    instance.hostName = "127.0.0.2";
    const uint64_t instanceId = RegisterInstance(instance);

    App::MongoDBConfig read;
    EXPECT_EQ(util.GetMongoClusterConfigFromDB(instanceId, read).GetErrorCode(), 1168u);

    App::MongoDBConfig saved;
    saved.clusterType = App::MongoClusterType::ReplicaSet;
    saved.serverList = {Server("127.0.0.2", "127.0.0.2"), Server("127.0.0.3", "127.0.0.3")};
    saved.serverList[1].dataAccessNode = 1;
    App::DistributedClusterInstanceRequest update;
    update.operation = App::ClusterInstanceOp::Update;
    update.instanceId = instanceId;
    CNMessageBase tree;
    saved.Serialize(tree);
    update.mongoDBConfig = tree;
    std::string response;
    ASSERT_EQ(App_ExecuteSP::executeStoredProcedure(App::kSpDistributedClusterInstanceInfo,
                                                    update.SerializeToXml(), response),
              0)
        << response;

    ASSERT_FALSE(util.GetMongoClusterConfigFromDB(instanceId, read).IsError());
    EXPECT_EQ(read.SerializeToXml(), saved.SerializeToXml());
    EXPECT_EQ(read.serverList.at(1).dataAccessNode, 1);

    // An instance the management server does not know fails the request.
    const CZuError unknown = util.GetMongoClusterConfigFromDB(instanceId + 100, read);
    EXPECT_TRUE(unknown.IsError());
    EXPECT_NE(unknown.AsString().find("Stored procedure to get instance properties failed"),
              std::string::npos);
}

}  // namespace
}  // namespace MongoDbKax::testing
