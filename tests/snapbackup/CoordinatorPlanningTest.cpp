// Finding a chosen secondary in the discovered server list, and the client
// whose machine runs it (the node that will snapshot it).
#include <gtest/gtest.h>

#include "CoordinatorTestSupport.h"

using namespace MongoDbKax;
using namespace MongoDbKax::testing;

namespace {

App::MongoDBServer Server(const std::string& host, int64_t port, int64_t state, int64_t health, int64_t type,
                          const std::string& dbPath) {
    App::MongoDBServer s;
    s.hostName = host;
    s.port = port;
    s.memberState = state;
    s.health = health;
    s.serverType = type;
    s.replicaSetName = "rs0";
    s.dbPath = dbPath;
    return s;
}

App::ClientEntity Entity(int64_t id, const std::string& name) {
    App::ClientEntity e;
    e.clientId = id;
    e.clientName = name;
    return e;
}

class CoordinatorPlanning : public ::testing::Test {
protected:
    TempStateRoot root;
};

TEST_F(CoordinatorPlanning, TheSecondaryIsTheHealthySecondaryMemberAtTheExactHostAndPort) {
    DetachedCoordinator c;
    auto& servers = c.coordinator.GetUtil().GetClusterConfig()->serverList;
    using namespace App;
    servers = {Server("h1", 27018, MongoMemberState::Primary, 1, MongoServerType::DataMember, "/primary"),
               Server("h1", 27018, MongoMemberState::Secondary, 0, MongoServerType::DataMember, "/unhealthy"),
               Server("h1", 27018, MongoMemberState::Secondary, 1, MongoServerType::Router, "/router"),
               Server("H1", 27018, MongoMemberState::Secondary, 1, MongoServerType::DataMember, "/other-case"),
               Server("h1", 27019, MongoMemberState::Secondary, 1, MongoServerType::DataMember, "/other-port"),
               Server("h1", 27018, MongoMemberState::Secondary, 1, MongoServerType::ConfigMember, "/chosen"),
               Server("h1", 27018, MongoMemberState::Secondary, 1, MongoServerType::DataMember, "/later")};
    servers[5].clientEntity = Entity(12, "nodeA");
    MongoRepSetInfo_t record = PlanRecord("rs0", "h1", 27018);
    std::string nodeName;
    CZuError err = c.coordinator.GetSecondaryDataPath(record, nodeName);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(record.secondaryDataPath, "/chosen");
    EXPECT_EQ(nodeName, "nodeA");

    MongoRepSetInfo_t missing = PlanRecord("rs0", "h9", 27018);
    err = c.coordinator.GetSecondaryDataPath(missing, nodeName);
    EXPECT_EQ(err.GetErrorCode(), ZuCode::NotFound);
    EXPECT_EQ(err.GetMessage(), "Could not find the data path for the shard=[rs0] secondary node=[h9] port=[27018]");
}

TEST_F(CoordinatorPlanning, TheNodesClientComesFromTheMemberOrItsHostName) {
    TWClient registered;
    registered.name = registered.shortName = "nodeB";
    registered.networkHostName = "127.0.10.9";
    struct Case {
        const char* name;
        const char* host;
        bool hasEntity;
        int64_t entityId;
        uint32_t code;  // 0 = found
        const char* nodeName;
    } cases[] = {
        {"the member's client", "127.0.0.5", true, 44, 0, "nodeX"},
        {"client id 0: the host is a client's host name", "127.0.10.9", true, 0, 0, "nodeB"},
        {"client id 0: the host is a client's name", "nodeB", true, 0, 0, "nodeB"},
        {"client id 0 and no such client", "127.0.0.99", true, 0, ZuCode::NotFound, ""},
        {"no client at all", "127.0.0.5", false, 0, ZuCode::InvalidArgument, ""},
    };
    for (const auto& tc : cases) {
        DetachedCoordinator c;
        ASSERT_FALSE(TWClient::Save(registered).IsError());
        App::MongoDBServer s =
            Server(tc.host, 27018, App::MongoMemberState::Secondary, 1, App::MongoServerType::DataMember, "/d");
        if (tc.hasEntity) s.clientEntity = Entity(tc.entityId, tc.entityId ? "nodeX" : "");
        c.coordinator.GetUtil().GetClusterConfig()->serverList = {s};
        MongoRepSetInfo_t record = PlanRecord("rs0", tc.host, 27018);
        std::string nodeName;
        CZuError err = c.coordinator.GetSecondaryDataPath(record, nodeName);
        EXPECT_EQ(err.GetErrorCode(), tc.code) << tc.name << ": " << err.AsString();
        if (tc.code == 0) {
            EXPECT_EQ(nodeName, tc.nodeName) << tc.name;
        }
        if (!tc.hasEntity) {
            EXPECT_EQ(err.GetMessage(), "Invalid clientEntity");
        }
    }
}

}  // namespace
