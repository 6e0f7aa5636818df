// The driver connection's settings and the failures it reports without a
// server: TLS set-up, socket timeout, reuse, bad input.
#include "access/MongoDbConnection.h"
#include "tests/access/AccessTestSupport.h"

namespace MongoDbKax::testing {
namespace {

class ConnectionSettingsTest : public AccessTest {};

struct TlsCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> settings;
    bool composite;  // construct with ("mcp", "inst1")
    bool enabled;
    std::string caFile;
    std::string pemKeyFile;
};

TEST_F(ConnectionSettingsTest, ReadsTlsSettingsCompositeNamesFirst) {
    const std::vector<TlsCase> cases = {
        {"nothing set", {}, true, false, "", ""},
        {"plain names", {{"bEnableMongoSSL", "true"}, {"sMongoSSLClientCAFile", "/ca"}}, false,
         true, "/ca", ""},
        {"composite true without plain",
         {{"bEnableMongoSSL_mcp_inst1", "true"}, {"sMongoSSLClientCAFile", "/ca"}}, true, true,
         "/ca", ""},
        {"composite false does not switch off a true plain setting",
         {{"bEnableMongoSSL_mcp_inst1", "false"},
          {"bEnableMongoSSL", "true"},
          {"sMongoSSLClientCAFile", "/ca"}},
         true, true, "/ca", ""},
        {"composite names ignored by the plain constructor",
         {{"bEnableMongoSSL_mcp_inst1", "true"}}, false, false, "", ""},
        {"composite values win, empty composite values fall back",
         {{"bEnableMongoSSL", "true"},
          {"sMongoSSLClientCAFile", "/plain-ca"},
          {"sMongoSSLClientCAFile_mcp_inst1", "/inst-ca"},
          {"sMongoSSLClientPEMKeyFile", "/plain.pem"},
          {"sMongoSSLClientPEMKeyFile_mcp_inst1", ""}},
         true, true, "/inst-ca", "/plain.pem"},
        {"switched off: file settings are not read",
         {{"bEnableMongoSSL", "false"}, {"sMongoSSLClientCAFile", "/ca"}}, true, false, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClearStoredSettings();
        for (const auto& [name, value] : c.settings)
            SetSetting(name, value);
        MongoDbConnection connection = c.composite ? MongoDbConnection("mcp", "inst1")
                                                   : MongoDbConnection();
        EXPECT_EQ(connection.isSslEnabled(), c.enabled);
        EXPECT_EQ(connection.IsSSLActive(), c.enabled);
        std::string value;
        EXPECT_EQ(connection.getSslCAFile(value), !c.caFile.empty());
        EXPECT_EQ(value, c.caFile);
        EXPECT_EQ(connection.getSslPEMKeyFile(value), !c.pemKeyFile.empty());
        EXPECT_EQ(value, c.pemKeyFile);
    }
}

TEST_F(ConnectionSettingsTest, KeyPasswordIsHeldDecrypted) {
    SetSetting("bEnableMongoSSL", "true");
    SetSetting("sMongoSSLClientCAFile", "/ca");
    SetSetting("pMongoSSLClientPEMKeyPassword", "key-secret");
    MongoDbConnection connection;
    std::string value;
    EXPECT_TRUE(connection.getSslPEMKeyPassword(value));
    EXPECT_EQ(value, "key-secret");
    EXPECT_EQ(ReadLog().find("key-secret"), std::string::npos);
}

TEST_F(ConnectionSettingsTest, TlsWithoutCaFileFailsEveryConnect) {
    SetSetting("bEnableMongoSSL", "true");
    SetSetting("pMongoSSLClientPEMKeyPassword", "never-read");
    MongoDbConnection connection;
    EXPECT_NE(ReadLog().find("CA File is mandatory when SSL is enabled. Returning Failure. "
                             "Provide full path to the CA file using setting "
                             "[sMongoSSLClientCAFile]"),
              std::string::npos);
    std::string password;
    EXPECT_FALSE(connection.getSslPEMKeyPassword(password));  // not read after the failure
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_TRUE(connection.Connect("127.0.0.1", 27017, "", ""));
        EXPECT_STREQ(connection.GetLastErrorMsg(),
                     "CA File path is empty. CA File path is mandatory when SSL is enabled.");
        EXPECT_EQ(connection.GetHost(), "");
        EXPECT_EQ(connection.GetPort(), 0);
    }
    // Suppressing TLS for the connection lets it connect without.
    connection.SetSslSkipState(true);
    EXPECT_FALSE(connection.IsSSLActive());
    EXPECT_TRUE(connection.isSslEnabled());
    EXPECT_FALSE(connection.Connect("127.0.0.1", 27017, "", ""));
}

TEST_F(ConnectionSettingsTest, SocketTimeoutSetting) {
    {
        MongoDbConnection connection;
        EXPECT_FALSE(connection.Connect("127.0.0.1", 1, "", ""));
        EXPECT_NE(ReadLog().find("Using default wait timeout (300 secs) for mongoc driver "
                                 "connections"),
                  std::string::npos);
        EXPECT_EQ(ReadLog().find("Using socket timeout"), std::string::npos);
    }
    SetSetting("nMongoConnectionSocketTimeoutInSec", "7");
    MongoDbConnection connection;
    EXPECT_NE(ReadLog().find("Found setting for mongo connection wait timeout [7] seconds"),
              std::string::npos);
    EXPECT_FALSE(connection.Connect("127.0.0.1", 1, "", ""));
    EXPECT_NE(ReadLog().find("Using socket timeout [7] seconds"), std::string::npos);
}

TEST_F(ConnectionSettingsTest, SameHostInOtherCaseAndPortReusesTheConnection) {
    MongoDbConnection connection;
    EXPECT_FALSE(connection.Connect("localhost", 1, "", ""));
    EXPECT_FALSE(connection.Connect("LocalHost", 1, "u", "p"));
    EXPECT_NE(ReadLog().find("Reusing existing connection to [LocalHost:1]"), std::string::npos);
    EXPECT_EQ(connection.GetHost(), "localhost");
    EXPECT_FALSE(connection.Connect("localhost", 2, "", ""));
    EXPECT_EQ(connection.GetPort(), 2);
    connection.Disconnect();
    EXPECT_EQ(connection.GetHost(), "");
    EXPECT_EQ(connection.GetPort(), 0);
    EXPECT_FALSE(connection.CheckConnection());
}

TEST_F(ConnectionSettingsTest, BadInputGivesClearErrors) {
    MongoDbConnection connection;
    std::string reply;
    std::vector<std::string> names;
    // Not connected.
    EXPECT_TRUE(connection.RunAdminCommand("{\"ping\": 1}", false, reply));
    EXPECT_STREQ(connection.GetLastErrorMsg(), "Not connected to a MongoDB server");
    EXPECT_FALSE(connection.GetDatabasesList(names));
    EXPECT_FALSE(connection.GetCollectionsInDatabase("admin", names));
    EXPECT_TRUE(connection.DeleteOne("d", "c", "{}"));
    EXPECT_TRUE(connection.getDocumentsFromCollection("d", "c", names, "", ""));

    // A host the URI parser refuses.
    EXPECT_TRUE(connection.Connect("[::1", 27017, "", ""));
    EXPECT_EQ(std::string(connection.GetLastErrorMsg()).rfind("failed to parse URI: ", 0), 0u);

    // JSON that is not JSON, with a client that never reaches a server.
    ASSERT_FALSE(connection.Connect("127.0.0.1", 1, "", ""));
    struct Case {
        const char* name;
        std::function<bool()> run;
        const char* prefix;
    };
    const std::vector<Case> cases = {
        {"command", [&] { return connection.RunCommand("admin", "{ping: ", false, reply); },
         "Failed to convert JSON command to BSON. JSON: [{ping: ] error: ["},
        {"update filter",
         [&] { return connection.UpdateOne("d", "c", "{", "{\"$set\": {}}", reply); },
         "Failed to convert JSON command to BSON. JSON: [{] error: ["},
        {"update document", [&] { return connection.UpdateOne("d", "c", "{}", "nope", reply); },
         "Failed to convert JSON command to BSON. JSON: [nope], error: ["},
        {"delete filter", [&] { return connection.DeleteOne("d", "c", "[1"); },
         "Failed to convert JSON command to BSON. JSON: [[1] error: ["},
        {"find filter",
         [&] { return connection.getDocumentsFromCollection("d", "c", names, "{x", ""); },
         "Failed to convert JSON command to BSON. JSON: [{x] error: ["},
        {"find options",
         [&] { return connection.getDocumentsFromCollection("d", "c", names, "", "{lim"); },
         "Failed to convert JSON command to BSON. JSON: [{lim], error: ["},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.run());
        EXPECT_EQ(std::string(connection.GetLastErrorMsg()).rfind(c.prefix, 0), 0u)
            << connection.GetLastErrorMsg();
    }
    EXPECT_TRUE(names.empty());
}

}  // namespace
}  // namespace MongoDbKax::testing
