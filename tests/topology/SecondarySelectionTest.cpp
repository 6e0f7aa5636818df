// Which secondary a snapshot backup protects, for every selection mode, from
// replica-set status and configuration replies as a server sends them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/access/AccessTestSupport.h"
#include "topology/SecondarySelection.h"

namespace MongoDbKax::testing {
namespace {

namespace Sel = SecondarySelection;

// One member as both replies describe it.
struct Member {
    std::string name;
    int state = 2;
    uint32_t optime = 1000;
    double priority = 1;
    bool hidden = false;
    int slaveDelay = 0;
    bool restoreOnly = false;
};

Member Primary(const std::string& name, uint32_t optime = 1000) {
    return Member{name, 1, optime, 1};
}

struct Replies {
    JsonObject status = JsonObject::array();
    JsonObject config = JsonObject::array();
};

Replies Build(const std::vector<Member>& members) {
    Replies r;
    int id = 0;
    for (const Member& m : members) {
        // Status and configuration list the members in different orders; "_id" ties them.
        r.status.push_back({{"_id", id},
                            {"name", m.name},
                            {"health", 1.0},
                            {"state", m.state},
                            {"optime", {{"ts", {{"$timestamp", {{"t", m.optime}, {"i", 1}}}}}, {"t", 1}}},
                            {"optimeDate", {{"$date", "2024-01-01T00:00:00Z"}}}});
        r.config.insert(r.config.begin(), JsonObject{{"_id", id},
                                                     {"host", m.name},
                                                     {"priority", m.priority},
                                                     {"hidden", m.hidden},
                                                     {"slaveDelay", m.slaveDelay},
                                                     {"votes", 1}});
        ++id;
    }
    return r;
}

int Gather(const std::string& rs, const std::vector<Member>& members,
           std::vector<MongoDbSecondaryInfo_t>& candidates) {
    const Replies r = Build(members);
    // Members on 127.0.0.x belong to the client "node<x>".
    auto clientHost = [](const std::string& host) -> std::string {
        if (host.rfind("127.0.0.", 0) == 0) return "node" + host.substr(8);
        return "";
    };
    auto restoreOnly = [&](const std::string& client) {
        for (const Member& m : members)
            if (m.restoreOnly && clientHost(m.name.substr(0, m.name.find(':'))) == client)
                return true;
        return false;
    };
    return Sel::GatherCandidates(rs, r.status, r.config, clientHost, restoreOnly, candidates);
}

App::MongoDBServer Chosen(const std::string& host, int port) {
    App::MongoDBServer s;
    s.hostName = host;
    s.port = port;
    s.dataAccessNode = 1;
    return s;
}

Sel::Settings Modes(bool lowestPriority, bool leastLag, bool delayed) {
    Sel::Settings s;
    s.useLowestPriorityNode = lowestPriority;
    s.useLeastLagNode = leastLag;
    s.useDelayedLagNode = delayed;
    return s;
}

const Sel::Settings kDefault = Modes(true, false, false);

TEST(SecondarySelectionTest, ChoiceForEveryModeAndSetting) {
    struct Case {
        const char* name;
        std::vector<Member> members;
        Sel::Settings settings;
        std::vector<App::MongoDBServer> userChoice;
        std::string expected;  // "host:port" of the chosen member, "" = none
    };
    const Member p = Primary("127.0.0.1:27017", 1000);
    const std::vector<Case> cases = {
        {"lowest priority by default", {p, {"127.0.0.2:27018", 2, 1000, 1}, {"127.0.0.3:27019", 2, 1000, 0.5}},
         kDefault, {}, "127.0.0.3:27019"},
        {"equal priorities keep status order", {p, {"127.0.0.3:27019", 2, 990, 1}, {"127.0.0.2:27018", 2, 1000, 1}},
         kDefault, {}, "127.0.0.3:27019"},
        {"priority 0 hidden member is the lowest", {p, {"127.0.0.2:27018", 2, 1000, 1}, {"127.0.0.3:27019", 2, 1000, 0, true}},
         kDefault, {}, "127.0.0.3:27019"},
        {"least lag", {p, {"127.0.0.2:27018", 2, 900, 0.5}, {"127.0.0.3:27019", 2, 990, 1}},
         Modes(true, true, false), {}, "127.0.0.3:27019"},
        {"least lag ties keep the earlier", {p, {"127.0.0.2:27018", 2, 990}, {"127.0.0.3:27019", 2, 990}},
         Modes(false, true, false), {}, "127.0.0.2:27018"},
        {"least lag wins over delayed", {p, {"127.0.0.2:27018", 2, 700, 0, true, 3600}, {"127.0.0.3:27019", 2, 999}},
         Modes(true, true, true), {}, "127.0.0.3:27019"},
        {"delayed member", {p, {"127.0.0.2:27018", 2, 999}, {"127.0.0.3:27019", 2, 400, 0, true, 600}},
         Modes(true, false, true), {}, "127.0.0.3:27019"},
        {"delayed mode without a delayed member finds none", {p, {"127.0.0.2:27018", 2, 999, 0.5}, {"127.0.0.3:27019", 2, 999}},
         Modes(true, false, true), {}, ""},
        {"hidden priority-0 member without delay is not delayed", {p, {"127.0.0.2:27018", 2, 999, 0, true, 0}},
         Modes(false, false, true), {}, ""},
        {"delayed but visible member is not taken", {p, {"127.0.0.2:27018", 2, 999, 0, false, 600}},
         Modes(false, false, true), {}, ""},
        {"every setting off takes the first secondary", {p, {"127.0.0.2:27018", 2, 999, 5}, {"127.0.0.3:27019", 2, 999, 0.1}},
         Modes(false, false, false), {}, "127.0.0.2:27018"},
        {"user choice wins over every setting", {p, {"127.0.0.2:27018", 2, 999, 0.1}, {"127.0.0.3:27019", 2, 500, 5}},
         Modes(true, true, true), {Chosen("127.0.0.3", 27019)}, "127.0.0.3:27019"},
        {"two user choices: the later in status order", {p, {"db2.example.test:27018"}, {"db3.example.test:27019"}},
         kDefault, {Chosen("DB3.example.test", 27019), Chosen("db2.EXAMPLE.test", 27018)}, "db3.example.test:27019"},
        {"user choice on another port does not match", {p, {"127.0.0.2:27018"}},
         kDefault, {Chosen("127.0.0.2", 27099)}, ""},
        {"user chose the primary: no secondary matches", {p, {"127.0.0.2:27018"}},
         kDefault, {Chosen("127.0.0.1", 27017)}, ""},
        {"arbiter, recovering, down and rollback members are skipped",
         {{"127.0.0.4:27020", 7, 0, 0}, {"127.0.0.5:27021", 3, 999, 0}, p, {"127.0.0.6:27022", 8, 999, 0},
          {"127.0.0.7:27023", 9, 999, 0}, {"127.0.0.2:27018", 2, 999, 1}},
         kDefault, {}, "127.0.0.2:27018"},
        {"restore-only client is never chosen", {p, {"127.0.0.2:27018", 2, 999, 0.1, false, 0, true}, {"127.0.0.3:27019", 2, 999, 1}},
         kDefault, {}, "127.0.0.3:27019"},
    };
    for (const Case& c : cases) {
        std::vector<MongoDbSecondaryInfo_t> candidates;
        const int gathered = Gather("rs0", c.members, candidates);
        const int index =
            gathered == 0 ? Sel::Choose(candidates, "rs0", c.userChoice, c.settings) : -1;
        std::string got;
        if (index >= 0) got = candidates[index].mongoHost + ":" + std::to_string(candidates[index].port);
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

class SelectionLogTest : public AccessTest {};

TEST_F(SelectionLogTest, ReplicaSetsWithoutAUsableSecondaryAreRefusedWithTheReason) {
    struct Case {
        const char* name;
        std::vector<Member> members;
        const char* logLine;
    };
    const std::vector<Case> cases = {
        {"only secondary runs on a restore-only client",
         {Primary("127.0.0.1:27017"), {"127.0.0.2:27018", 2, 999, 1, false, 0, true}},
         "Failed to identify secondary member in replica set [rsA]"},
        {"no secondary at all", {Primary("127.0.0.1:27017"), {"127.0.0.4:27020", 7}},
         "Failed to identify secondary member in replica set [rsB]"},
        {"no primary", {{"127.0.0.2:27018"}, {"127.0.0.3:27019"}},
         "Failed to detect primary member in replica set [rsC]"},
        {"no members", {}, "Failed to find members info from json output"},
    };
    const char* names[] = {"rsA", "rsB", "rsC", "rsD"};
    for (size_t i = 0; i < cases.size(); ++i) {
        std::vector<MongoDbSecondaryInfo_t> candidates;
        EXPECT_EQ(Gather(names[i], cases[i].members, candidates), -1) << cases[i].name;
        EXPECT_NE(ReadLog().find(cases[i].logLine), std::string::npos) << cases[i].name;
    }
}

TEST(SecondarySelectionTest, CandidateRecordsCarryLagClientAndConfiguration) {
    std::vector<MongoDbSecondaryInfo_t> candidates;
    ASSERT_EQ(Gather("rs0",
                     {{"db9.example.test:27030", 2, 940, 2.5, true, 60}, Primary("127.0.0.1:27017", 1000),
                      {"127.0.0.3:27019", 2, 1000, 1}},
                     candidates),
              0);
    ASSERT_EQ(candidates.size(), 2u);
    const MongoDbSecondaryInfo_t& a = candidates[0];
    EXPECT_EQ(a.replicaSetName, "rs0");
    EXPECT_EQ(a.mongoHost, "db9.example.test");
    EXPECT_EQ(a.clientHost, "db9.example.test");  // no client: the mongo host stands in
    EXPECT_EQ(a.port, 27030);
    // The primary comes later in the status, yet the lag is measured against it.
    EXPECT_EQ(a.lagSeconds, 60);
    EXPECT_EQ(a.optimeSeconds, 940);
    EXPECT_EQ(a.oplogSyncTime, "2024-01-01T00:00:00Z");
    EXPECT_DOUBLE_EQ(a.priority, 2.5);
    EXPECT_TRUE(a.hidden);
    EXPECT_EQ(a.slaveDelay, 60);
    EXPECT_EQ(a.votes, 1);
    EXPECT_EQ(candidates[1].clientHost, "node3");
    EXPECT_EQ(candidates[1].lagSeconds, 0);
}

TEST(SecondarySelectionTest, EachReplicaSetChoosesAmongItsOwnCandidatesOnly) {
    std::vector<MongoDbSecondaryInfo_t> candidates;
    ASSERT_EQ(Gather("shardA", {Primary("127.0.0.1:27017"), {"127.0.0.2:27018", 2, 999, 0.1}}, candidates), 0);
    ASSERT_EQ(Gather("ShardB", {Primary("127.0.0.1:27027"), {"127.0.0.3:27028", 2, 999, 3},
                                {"127.0.0.4:27029", 2, 999, 2}},
                     candidates),
              0);
    // The list keeps every run's candidates; indexes point into the whole list.
    ASSERT_EQ(candidates.size(), 3u);
    EXPECT_EQ(Sel::Choose(candidates, "shardb", {}, kDefault), 2);
    EXPECT_EQ(Sel::Choose(candidates, "SHARDA", {}, kDefault), 0);
    EXPECT_EQ(Sel::Choose(candidates, "shardC", {}, Modes(false, false, false)), -1);
    // A user choice for another replica set's member does not leak across.
    EXPECT_EQ(Sel::Choose(candidates, "shardB", {Chosen("127.0.0.2", 27018)}, kDefault), -1);
}

TEST(SecondarySelectionTest, ServersFromFiveOnReportTheDelayUnderItsNewName) {
    Replies r = Build({Primary("127.0.0.1:27017"), {"127.0.0.2:27018", 2, 500, 0, true, 0}});
    for (JsonObject& m : r.config) {
        m.erase("slaveDelay");
        m["secondaryDelaySecs"] = 3600;
    }
    std::vector<MongoDbSecondaryInfo_t> candidates;
    ASSERT_EQ(Sel::GatherCandidates("rs0", r.status, r.config, [](const std::string&) { return ""; },
                                    [](const std::string&) { return false; }, candidates),
              0);
    EXPECT_EQ(Sel::Choose(candidates, "rs0", {}, Modes(false, false, true)), 0);
}

}  // namespace
}  // namespace MongoDbKax::testing
