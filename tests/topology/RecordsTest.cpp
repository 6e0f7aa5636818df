// The cluster configuration and server messages survive the XML trip whole,
// and a malformed message is refused without touching the object.
#include <gtest/gtest.h>

#include "host/ClusterMessages.h"
#include "topology/MongoDBConfig.h"

namespace {

App::MongoDBServer FullServer(int n) {
    App::MongoDBServer s;
    s.version = "4.4.6";
    s.storageEngine = "wiredTiger";
    App::ClientEntity e;
    e.clientId = 40 + n;
    e.clientName = "node" + std::to_string(n);
    e.hostName = "127.0.0." + std::to_string(n);
    s.clientEntity = e;
    s.hostName = "db" + std::to_string(n) + ".example.test";
    s.port = 27017 + n;
    s.dbPath = "/data/db" + std::to_string(n);
    s.logPath = "/var/log/mongod.log";
    s.journalEnabled = 1;
    s.commandLine = "mongod --config /etc/mongod.conf";
    s.configFile = "/etc/mongod.conf";
    s.configFileContents = "net:\n  bindIp: \"a, b\" <&>\n  ssl:\n    PEMKeyPassword:xxxx\n";
    s.serverType = App::MongoServerType::ConfigMember;
    s.memberState = App::MongoMemberState::Secondary;
    s.replicaSetName = "cfg";
    s.binPath = "/opt/mongodb/bin";
    s.health = 1;
    s.bindIp = "127.0.0." + std::to_string(n) + ",localhost";
    s.dataAccessNode = 1;
    return s;
}

void ExpectSameServer(const App::MongoDBServer& a, const App::MongoDBServer& b) {
    EXPECT_EQ(a.SerializeToXml(), b.SerializeToXml());
    ASSERT_EQ(a.clientEntity.has_value(), b.clientEntity.has_value());
    if (a.clientEntity) {
        EXPECT_EQ(a.clientEntity->clientId, b.clientEntity->clientId);
        EXPECT_EQ(a.clientEntity->clientName, b.clientEntity->clientName);
        EXPECT_EQ(a.clientEntity->hostName, b.clientEntity->hostName);
    }
    EXPECT_EQ(a.port, b.port);
    EXPECT_EQ(a.configFileContents, b.configFileContents);
    EXPECT_EQ(a.dataAccessNode, b.dataAccessNode);
}

TEST(RecordsTest, ConfigurationRoundTripKeepsEveryFieldAndTheServerOrder) {
    App::MongoDBConfig config;
    config.clusterType = App::MongoClusterType::Sharded;
    config.serverList = {FullServer(1), FullServer(2), App::MongoDBServer()};
    config.credentials = App::MongoDBCredentials{"admin", "protected-text"};
    App::MongoDBServer master;
    master.port = 27017;
    master.binPath = "/opt/mongodb/bin";
    master.clientEntity = App::ClientEntity();
    master.clientEntity->clientId = 7;
    config.masterNode = master;

    App::MongoDBConfig back;
    ASSERT_FALSE(back.UnserializeFromXml(config.SerializeToXml()).IsError());
    EXPECT_EQ(back.clusterType, 3);
    ASSERT_EQ(back.serverList.size(), 3u);
    for (size_t i = 0; i < 3; ++i) ExpectSameServer(config.serverList[i], back.serverList[i]);
    // A server that was never mapped stays without a client.
    EXPECT_FALSE(back.serverList[2].clientEntity.has_value());
    ASSERT_TRUE(back.credentials.has_value());
    EXPECT_EQ(back.credentials->userName, "admin");
    EXPECT_EQ(back.credentials->password, "protected-text");
    ASSERT_TRUE(back.masterNode.has_value());
    ExpectSameServer(*config.masterNode, *back.masterNode);
    EXPECT_EQ(back.SerializeToXml(), config.SerializeToXml());
}

TEST(RecordsTest, EmptyConfigurationHasNoCredentialsNorMaster) {
    App::MongoDBConfig back;
    back.credentials = App::MongoDBCredentials{"stale", "x"};
    ASSERT_FALSE(back.UnserializeFromXml(App::MongoDBConfig().SerializeToXml()).IsError());
    EXPECT_TRUE(back.serverList.empty());
    EXPECT_FALSE(back.credentials.has_value());
    EXPECT_FALSE(back.masterNode.has_value());
}

TEST(RecordsTest, MalformedMessagesAreRefusedAndLeaveTheObjectAlone) {
    App::MongoDBConfig good;
    good.clusterType = 2;
    good.serverList = {FullServer(1)};
    const std::string xml = good.SerializeToXml();

    struct Case {
        const char* name;
        std::string xml;
    };
    auto replace = [&](const std::string& from, const std::string& to) {
        std::string s = xml;
        const size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return s.replace(at, from.size(), to);
    };
    const std::vector<Case> cases = {
        {"port that is not a number", replace("27018", "27x18")},
        {"client id that is not a number", replace("41", "forty-one")},
        {"another message", App::MongoDBServer().SerializeToXml()},
        {"not XML", "<MongoDBConfig"},
    };
    for (const Case& c : cases) {
        App::MongoDBConfig target;
        target.clusterType = 3;
        const CZuError err = target.UnserializeFromXml(c.xml);
        EXPECT_EQ(err.GetErrorCode(), 13u) << c.name;
        EXPECT_EQ(target.clusterType, 3) << c.name;
        EXPECT_TRUE(target.serverList.empty()) << c.name;
    }
}

TEST(RecordsTest, LookupMessagesRoundTrip) {
    App::GetClientsForIPAddressResponse response;
    App::ClientEntity e;
    e.clientId = 3;
    e.clientName = "node3";
    e.hostName = "127.0.0.3";
    response.clients = {e, e};
    response.clients[1].hostName = "10.0.0.3";
    App::GetClientsForIPAddressResponse back;
    ASSERT_FALSE(back.UnserializeFromXml(response.SerializeToXml()).IsError());
    ASSERT_EQ(back.clients.size(), 2u);
    EXPECT_EQ(back.clients[1].hostName, "10.0.0.3");
    EXPECT_EQ(back.clients[0].clientId, 3);

    App::DistributedClusterInstanceRequest request;
    request.operation = App::ClusterInstanceOp::Update;
    request.instanceId = 18446744073709551615ull;
    App::MongoDBConfig config;
    config.clusterType = 2;
    CNMessageBase tree;
    config.Serialize(tree);
    request.mongoDBConfig = tree;
    App::DistributedClusterInstanceRequest requestBack;
    ASSERT_FALSE(requestBack.UnserializeFromXml(request.SerializeToXml()).IsError());
    EXPECT_EQ(requestBack.instanceId, request.instanceId);
    EXPECT_EQ(requestBack.operation, 2);
    ASSERT_TRUE(requestBack.mongoDBConfig.has_value());
    App::MongoDBConfig configBack;
    ASSERT_FALSE(configBack.Unserialize(*requestBack.mongoDBConfig).IsError());
    EXPECT_EQ(configBack.clusterType, 2);
}

}  // namespace
