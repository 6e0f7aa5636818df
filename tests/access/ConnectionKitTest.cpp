// The driver connection against the test kit's servers: commands, finds,
// updates, deletes, lists, reuse, credentials, TLS and the socket timeout.
#include <memory>
#include <regex>

#include <nlohmann/json.hpp>

#include "access/MongoDbConnection.h"
#include "tests/access/AccessTestSupport.h"
#include "tests/access/KitSupport.h"

namespace MongoDbKax::testing {
namespace {

using nlohmann::json;
// Commands keep their keys in order: the command name comes first.
using Command = nlohmann::ordered_json;

json Parse(const std::string& text) { return json::parse(text, nullptr, false); }

// The shared replica set; each test works in its own database.
class ConnectionKitTest : public AccessTest {
protected:
    void SetUp() override {
        AccessTest::SetUp();
        set = &SharedKit::ReplicaSet();
        ASSERT_TRUE(set->up) << set->error;
        ASSERT_NE(set->CurrentPrimary().port, 0);
        db = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }

    // Connects `connection` to the primary and fills collection "items" with
    // documents {_id: i, v: i, pad: "..."} for i in 0..count-1.
    void Fill(MongoDbConnection& connection, int count) {
        ASSERT_FALSE(connection.Connect(set->primary.ip, set->primary.port, "", ""));
        Command documents = Command::array();
        for (int i = 0; i < count; ++i)
            documents.push_back({{"_id", i}, {"v", i}, {"pad", "p"}});
        std::string reply;
        ASSERT_FALSE(connection.RunCommand(
            db, Command{{"insert", "items"}, {"documents", documents}}.dump(), false, reply))
            << connection.GetLastErrorMsg();
        ASSERT_EQ(Parse(reply)["n"], count);
    }

    KitReplicaSet* set = nullptr;
    std::string db;
};

TEST_F(ConnectionKitTest, RunsCommandsOnPrimaryAndSecondary) {
    MongoDbConnection connection;
    Fill(connection, 1);
    std::string reply;
    ASSERT_FALSE(connection.RunAdminCommand("{\"ping\": 1}", false, reply));
    EXPECT_EQ(Parse(reply)["ok"], 1.0);
    EXPECT_TRUE(connection.CheckConnection());

    const KitMember& secondary = set->secondaries.at(0);
    ASSERT_FALSE(connection.Connect(secondary.ip, secondary.port, "", ""));
    EXPECT_EQ(connection.GetHost(), secondary.ip);
    ASSERT_FALSE(connection.RunAdminCommand("{\"replSetGetStatus\": 1}", true, reply))
        << connection.GetLastErrorMsg();
    EXPECT_EQ(Parse(reply)["myState"], 2);

    // A command the server refuses.
    EXPECT_TRUE(connection.RunAdminCommand("{\"noSuchCommand\": 1}", true, reply));
    EXPECT_NE(std::string(connection.GetLastErrorMsg())
                  .find("Run admin command failed, error message: [no such command"),
              std::string::npos)
        << connection.GetLastErrorMsg();
}

TEST_F(ConnectionKitTest, LongReplyIsReturnedWholeAndLoggedCut) {
    MongoDbConnection connection;
    Fill(connection, 0);
    const std::string big(5000, 'x');
    std::string reply;
    ASSERT_FALSE(connection.RunCommand(
        db, Command{{"insert", "items"}, {"documents", {{{"_id", 1}, {"big", big}}}}}.dump(), false,
        reply));
    ASSERT_FALSE(connection.RunCommand(db, "{\"find\": \"items\"}", false, reply));
    ASSERT_GT(reply.size(), 5000u);
    EXPECT_EQ(Parse(reply)["cursor"]["firstBatch"][0]["big"], big);

    // The log line holds the first 2048 characters of the reply and "...".
    const std::string log = ReadLog();
    const std::string logged = "jsonOut=[" + reply.substr(0, 2048) + "...]";
    EXPECT_NE(log.find(logged), std::string::npos);
    EXPECT_EQ(log.find(reply), std::string::npos);
}

TEST_F(ConnectionKitTest, FindAppendsWithSortLimitAndProjection) {
    MongoDbConnection connection;
    Fill(connection, 5);
    std::vector<std::string> documents = {"kept"};
    ASSERT_FALSE(connection.getDocumentsFromCollection(
        db, "items", documents, "{\"v\": {\"$gte\": 2}}",
        "{\"sort\": {\"v\": -1}, \"limit\": 2, \"projection\": {\"pad\": 0}}"))
        << connection.GetLastErrorMsg();
    ASSERT_EQ(documents.size(), 3u);
    EXPECT_EQ(documents[0], "kept");
    EXPECT_EQ(Parse(documents[1]), json({{"_id", 4}, {"v", 4}}));
    EXPECT_EQ(Parse(documents[2]), json({{"_id", 3}, {"v", 3}}));

    // An empty filter reads everything; a filter matching nothing succeeds empty.
    std::vector<std::string> all;
    ASSERT_FALSE(connection.getDocumentsFromCollection(db, "items", all, "", ""));
    EXPECT_EQ(all.size(), 5u);
    std::vector<std::string> none;
    ASSERT_FALSE(connection.getDocumentsFromCollection(db, "items", none, "{\"v\": 99}", ""));
    EXPECT_TRUE(none.empty());
    // The oldest oplog entry in natural order, as the oplog dumps read it.
    std::vector<std::string> first;
    ASSERT_FALSE(connection.getDocumentsFromCollection(
        "local", "oplog.rs", first, "{}", "{\"sort\": {\"$natural\": 1}, \"limit\": 1}"));
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(Parse(first[0])["ts"].contains("$timestamp"));
}

TEST_F(ConnectionKitTest, UpdatesAndDeletesOneDocument) {
    MongoDbConnection connection;
    Fill(connection, 3);
    std::string reply;
    ASSERT_FALSE(connection.UpdateOne(db, "items", "{\"v\": {\"$gte\": 0}}",
                                      "{\"$set\": {\"flag\": true}}", reply))
        << connection.GetLastErrorMsg();
    EXPECT_EQ(Parse(reply)["modifiedCount"], 1);
    std::vector<std::string> flagged;
    ASSERT_FALSE(connection.getDocumentsFromCollection(db, "items", flagged, "{\"flag\": true}", ""));
    EXPECT_EQ(flagged.size(), 1u);

    ASSERT_FALSE(connection.DeleteOne(db, "items", "{\"v\": {\"$gte\": 0}}"));
    std::vector<std::string> left;
    ASSERT_FALSE(connection.getDocumentsFromCollection(db, "items", left, "", ""));
    EXPECT_EQ(left.size(), 2u);

    // Writes on a secondary are refused.
    const KitMember& secondary = set->secondaries.at(0);
    ASSERT_FALSE(connection.Connect(secondary.ip, secondary.port, "", ""));
    EXPECT_TRUE(connection.DeleteOne(db, "items", "{}"));
    EXPECT_EQ(std::string(connection.GetLastErrorMsg()).rfind("Delete failed, error: [", 0), 0u);
    EXPECT_TRUE(connection.UpdateOne(db, "items", "{}", "{\"$set\": {\"a\": 1}}", reply));
    EXPECT_EQ(std::string(connection.GetLastErrorMsg()).rfind("Update failed, error: [", 0), 0u);
}

TEST_F(ConnectionKitTest, ListsDatabasesAndCollections) {
    MongoDbConnection connection;
    Fill(connection, 1);
    std::vector<std::string> databases = {"kept"};
    EXPECT_TRUE(connection.GetDatabasesList(databases));
    EXPECT_EQ(databases.front(), "kept");
    EXPECT_NE(std::find(databases.begin(), databases.end(), db), databases.end());
    std::vector<std::string> collections;
    EXPECT_TRUE(connection.GetCollectionsInDatabase(db, collections));
    EXPECT_EQ(collections, std::vector<std::string>{"items"});
}

TEST_F(ConnectionKitTest, ServerThatIsDownFailsCleanly) {
    MongoDbConnection connection;
    const int port = FreePort("127.0.0.1");
    ASSERT_FALSE(connection.Connect("127.0.0.1", port, "", ""));  // no contact yet
    EXPECT_FALSE(connection.CheckConnection());
    EXPECT_EQ(std::string(connection.GetLastErrorMsg()).rfind("Check connection failed", 0), 0u);
    std::string reply;
    EXPECT_TRUE(connection.RunAdminCommand("{\"ping\": 1}", false, reply));
    std::vector<std::string> names;
    EXPECT_FALSE(connection.GetDatabasesList(names));
    EXPECT_TRUE(connection.getDocumentsFromCollection("a", "b", names, "", ""));
    EXPECT_TRUE(names.empty());
}

TEST_F(ConnectionKitTest, SocketTimeoutEndsAWaitForALockedPrimary) {
    MongoDbConnection locker;
    Fill(locker, 1);
    std::string reply;
    ASSERT_FALSE(locker.RunAdminCommand("{\"fsync\": 1, \"lock\": true}", false, reply))
        << locker.GetLastErrorMsg();

    SetSetting("nMongoConnectionSocketTimeoutInSec", "1");
    MongoDbConnection writer;
    ASSERT_FALSE(writer.Connect(set->primary.ip, set->primary.port, "", ""));
    EXPECT_TRUE(writer.UpdateOne(db, "items", "{\"_id\": 0}", "{\"$set\": {\"w\": 1}}", reply));
    const std::string error = writer.GetLastErrorMsg();
    ASSERT_FALSE(locker.RunAdminCommand("{\"fsyncUnlock\": 1}", false, reply))
        << locker.GetLastErrorMsg();
    EXPECT_NE(error.find("timeout"), std::string::npos) << error;
}

// ---- a single mongod with authentication ------------------------------------

class AuthKitTest : public AccessTest {
protected:
    void SetUp() override {
        AccessTest::SetUp();
        bool ready = false;
        KitMongod& mongod = SharedKit::AuthMongod(ready);
        ASSERT_TRUE(ready) << mongod.error;
        port = mongod.port;
    }
    int Port() const { return port; }

    int port = 0;
};

TEST_F(AuthKitTest, CredentialsAcceptedAndRefused) {
    struct Case {
        const char* name;
        std::string user, password;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"right password", SharedKit::kAdminUser, SharedKit::kAdminPassword, true},
        {"wrong password", "admin", "wrong", false},
        {"unknown user", "nobody", "x", false},
        {"no credentials", "", "", false},
        {"user without password connects without credentials", "admin", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MongoDbConnection connection;
        ASSERT_FALSE(connection.Connect("127.0.0.1", Port(), c.user, c.password));
        std::string reply;
        EXPECT_EQ(connection.RunAdminCommand("{\"listDatabases\": 1}", false, reply),
                  !c.accepted);
        std::vector<std::string> names;
        EXPECT_EQ(connection.GetDatabasesList(names), c.accepted);
        EXPECT_EQ(connection.getDocumentsFromCollection("admin", "system.version", names, "", ""),
                  !c.accepted);
        if (!c.accepted) {
            MongoDbUtil util;
            util.GetConnection()->Connect("127.0.0.1", Port(), c.user, c.password);
            std::string ignored;
            util.GetConnection()->RunAdminCommand("{\"listDatabases\": 1}", false, ignored);
            EXPECT_TRUE(util.isAuthenticationError("")) << util.GetConnection()->GetLastErrorMsg();
        }
    }
}

// ---- a single mongod that requires TLS ----------------------------------------

class TlsKitTest : public AccessTest {
protected:
    void SetUp() override {
        AccessTest::SetUp();
        KitMongod& mongod = SharedKit::TlsMongod(certs);
        ASSERT_FALSE(certs->caFile.empty());
        ASSERT_TRUE(mongod.up) << mongod.error;
        port = mongod.port;
    }

    const KitCertificates* certs = nullptr;
    int port = 0;
};

TEST_F(TlsKitTest, ConnectsWithTheConfiguredCaAndClientKey) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> settings;
        bool answers;
    };
    const std::vector<Case> cases = {
        {"CA and client certificate",
         {{"bEnableMongoSSL", "true"},
          {"sMongoSSLClientCAFile", certs->caFile},
          {"sMongoSSLClientPEMKeyFile", certs->clientPem}},
         true},
        {"encrypted client key with its password",
         {{"bEnableMongoSSL", "true"},
          {"sMongoSSLClientCAFile", certs->caFile},
          {"sMongoSSLClientPEMKeyFile", certs->clientEncryptedPem},
          {"pMongoSSLClientPEMKeyPassword", certs->clientKeyPassword}},
         true},
        {"TLS not switched on", {}, false},
        {"a CA that did not sign the server",
         {{"bEnableMongoSSL", "true"},
          {"sMongoSSLClientCAFile", certs->clientPem},
          {"sMongoSSLClientPEMKeyFile", certs->clientPem}},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClearStoredSettings();
        for (const auto& [name, value] : c.settings)
            SetSetting(name, value);
        MongoDbConnection connection;
        ASSERT_FALSE(connection.Connect("127.0.0.1", port, "", ""));
        EXPECT_EQ(connection.CheckConnection(), c.answers) << connection.GetLastErrorMsg();
    }
}

}  // namespace
}  // namespace MongoDbKax::testing
