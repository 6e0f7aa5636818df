// MongoDbUtil against the test kit's servers and shell: the connectivity
// probe, the server version, tool runs with credentials and TLS, running
// without authentication, and where secrets go.
#include <nlohmann/json.hpp>

#include "access/MongoDbConnection.h"
#include "access/MongoShellJson.h"
#include "tests/access/AccessTestSupport.h"
#include "tests/access/KitSupport.h"

namespace MongoDbKax::testing {
namespace {

const std::string kPingScript = "--eval \"db.runCommand({ ping:1 })\"";

class UtilKitTest : public AccessTest {
protected:
    void SetUp() override {
        AccessTest::SetUp();
        util.SetBinPath(KitBin());
    }

    std::string ShellPing(const std::string& host, int port) {
        return "mongo --port " + std::to_string(port) + " --host " + host + " --quiet " +
               kPingScript;
    }

    MongoDbUtil util;
};

TEST_F(UtilKitTest, ProbesAReplicaSetMemberThroughShellAndDriver) {
    KitReplicaSet& set = SharedKit::ReplicaSet();
    ASSERT_TRUE(set.up) << set.error;
    const int downPort = FreePort("127.0.0.1");
    for (const bool useShell : {true, false}) {
        SCOPED_TRACE(useShell ? "shell" : "driver");
        const KitMember& member = set.secondaries.at(0);
        EXPECT_EQ(util.CheckMongoConnectivity(member.ip, unsigned(member.port), useShell), 0);
        EXPECT_EQ(util.CheckMongoConnectivity("127.0.0.1", unsigned(downPort), useShell), -1);
    }
}

TEST_F(UtilKitTest, ShellPingReplyOfAMemberNeedsTheShellValueForms) {
    KitReplicaSet& set = SharedKit::ReplicaSet();
    ASSERT_TRUE(set.up) << set.error;
    const KitMember& member = set.secondaries.at(0);
    std::string output;
    ASSERT_EQ(util.RunMongoCmd(ShellPing(member.ip, member.port), MongoCmdOutput::Reply, output),
              0);
    // The shell prints $clusterTime with Timestamp(...) and BinData(...):
    // not JSON, so a plain reader would take a live member for a dead one.
    EXPECT_NE(output.find("Timestamp("), std::string::npos) << output;
    EXPECT_TRUE(nlohmann::json::parse(output, nullptr, false).is_discarded());
    nlohmann::json reply;
    ASSERT_TRUE(ParseShellJson(output, reply));
    EXPECT_EQ(MongoDbUtil::GetDoubleValue(reply, "ok"), 1.0);
    EXPECT_GT(reply["operationTime"]["$timestamp"]["t"].get<uint64_t>(), 0u);
}

TEST_F(UtilKitTest, ReadsTheVersionOfTheKitsMongod) {
    struct Case {
        const char* version;  // "" = the kit's default
        std::string expected;
        bool is32;
        bool is42OrAbove;
    };
    const std::vector<Case> cases = {
        {"", "4.4.6", false, true},
        {"3.2.22", "v3.2.22", true, false},
        {"4.0.3", "4.0.3", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        MongoDbUtil probe;
        std::string binPath = KitBin();
        if (*c.version) {
            binPath = root.File(std::string("tools-") + c.version);
            std::string out;
            ASSERT_EQ(RunShell(QuoteForShell(KitBin() + "/mongo-cluster") + " tooldir --dir " +
                                   QuoteForShell(binPath) + " --version " + c.version,
                               out),
                      0)
                << out;
        }
        probe.SetBinPath(binPath);
        EXPECT_EQ(probe.GetMongoDBServerVersion(), 0);
        EXPECT_EQ(probe.GetServerVersion(), c.expected);
        EXPECT_EQ(probe.isMongodVersion32(), c.is32);
        EXPECT_EQ(probe.IsMongodVersion42OrAbove(), c.is42OrAbove);
    }
}

TEST_F(UtilKitTest, ShellGetsThePasswordThroughTheHereDocument) {
    bool ready = false;
    KitMongod& mongod = SharedKit::AuthMongod(ready);
    ASSERT_TRUE(ready) << mongod.error;
    // The shell logs in before it runs the script, so a refused password fails the run.
    const std::string cmd = ShellPing("127.0.0.1", mongod.port);
    std::string output;
    util.SetDbCredentials(SharedKit::kAdminUser, SharedKit::kAdminPassword);
    ASSERT_EQ(util.RunMongoCmd(cmd, MongoCmdOutput::Reply, output), 0) << output;
    nlohmann::json reply;
    ASSERT_TRUE(ParseShellJson(output, reply)) << output;
    EXPECT_EQ(MongoDbUtil::GetDoubleValue(reply, "ok"), 1.0);

    util.SetDbCredentials(SharedKit::kAdminUser, "wrong password");
    EXPECT_NE(util.RunMongoCmd(cmd, MongoCmdOutput::Reply, output), 0);
    EXPECT_TRUE(util.isAuthenticationError(output)) << output;
}

TEST_F(UtilKitTest, ProbeWithWrongCredentials) {
    bool ready = false;
    KitMongod& mongod = SharedKit::AuthMongod(ready);
    ASSERT_TRUE(ready) << mongod.error;
    util.SetDbCredentials(SharedKit::kAdminUser, "wrong password");
    // ping needs no login: the shell probe runs without credentials.
    EXPECT_EQ(util.CheckMongoConnectivity("127.0.0.1", unsigned(mongod.port), true), 0);
    // The driver logs in with the instance's credentials first.
    EXPECT_EQ(util.CheckMongoConnectivity("127.0.0.1", unsigned(mongod.port), false), -1);
    EXPECT_TRUE(util.isAuthenticationError(""));
}

// An operation of another object, run through RunMethodWithoutAuth.
struct ListingCheck {
    MongoDbUtil* util;
    int calls = 0;
    CZuError ListDatabases(const std::string& host, int port) {
        ++calls;
        std::string reply;
        if (util->_RunMongoAdminCmd(host, port, "{\"listDatabases\": 1}", true, reply) != 0)
            return FXErrorUtil::ErrorWin32(FXLOC, 774, "%s",
                                           util->GetConnection()->GetLastErrorMsg());
        return {};
    }
};

TEST_F(UtilKitTest, RunMethodWithoutAuthReconnectsWithCredentialsAfterwards) {
    bool ready = false;
    KitMongod& mongod = SharedKit::AuthMongod(ready);
    ASSERT_TRUE(ready) << mongod.error;
    util.SetDbCredentials(SharedKit::kAdminUser, SharedKit::kAdminPassword);
    ListingCheck check{&util};
    // Connected with credentials to the same host and port before.
    ASSERT_FALSE(check.ListDatabases("127.0.0.1", mongod.port).IsError());

    bool suppressedInside = false;
    CZuError inside = util.RunMethodWithoutAuth([&] {
        suppressedInside = util.IsAuthAndTlsSuppressed() &&
                           util.GetConnection()->GetAuthSkipState() &&
                           util.GetConnection()->GetSslSkipState();
        return check.ListDatabases("127.0.0.1", mongod.port);
    });
    EXPECT_TRUE(suppressedInside);
    ASSERT_TRUE(inside.IsError());
    EXPECT_NE(inside.GetMessage().find("requires authentication"), std::string::npos)
        << inside.AsString();

    // Restored, and connected again with the credentials.
    EXPECT_FALSE(util.IsAuthAndTlsSuppressed());
    EXPECT_FALSE(util.GetConnection()->GetAuthSkipState());
    EXPECT_FALSE(util.GetConnection()->GetSslSkipState());
    EXPECT_FALSE(check.ListDatabases("127.0.0.1", mongod.port).IsError());

    // A member operation with its object and arguments.
    CZuError bound =
        util.RunMethodWithoutAuth(&ListingCheck::ListDatabases, &check, "127.0.0.1", mongod.port);
    EXPECT_TRUE(bound.IsError());
    EXPECT_EQ(check.calls, 4);
}

TEST_F(UtilKitTest, ToolsAndDriverUseTheConfiguredTls) {
    const KitCertificates* certs = nullptr;
    KitMongod& mongod = SharedKit::TlsMongod(certs);
    ASSERT_TRUE(mongod.up) << mongod.error;
    SetSetting("bEnableMongoSSL", "true");
    SetSetting("sMongoSSLClientCAFile", certs->caFile);
    SetSetting("sMongoSSLClientPEMKeyFile", certs->clientEncryptedPem);
    SetSetting("pMongoSSLClientPEMKeyPassword", certs->clientKeyPassword);
    MongoDbUtil tlsUtil;
    tlsUtil.SetBinPath(KitBin());
    EXPECT_EQ(tlsUtil.CheckMongoConnectivity("127.0.0.1", unsigned(mongod.port), true), 0);
    EXPECT_EQ(tlsUtil.CheckMongoConnectivity("127.0.0.1", unsigned(mongod.port), false), 0);
    // The key password stays out of the log.
    EXPECT_EQ(ReadLog().find(certs->clientKeyPassword), std::string::npos);

    // Without TLS the server does not answer.
    ClearStoredSettings();
    MongoDbUtil noTls;
    EXPECT_EQ(noTls.CheckMongoConnectivity("127.0.0.1", unsigned(mongod.port), false), -1);
}

// A stand-in `mongo` that records how it was called: its arguments and its
// standard input.
const char* kRecordingTool = R"sh(#!/bin/sh
record="$(dirname "$0")/record"
{
  printf 'ARGV'
  for a in "$@"; do printf ' [%s]' "$a"; done
  printf '\nSTDIN '
  cat
  printf '\n'
} >> "$record"
echo 'Enter password:'
echo '{ "ok" : 1 }'
)sh";

TEST_F(AccessTest, PasswordsReachTheToolOnlyThroughItsInput) {
    const std::string bin = root.File("bin");
    ASSERT_FALSE(CZuDirectory::Create(bin).IsError());
    ASSERT_FALSE(FXFile::WriteAll(bin + "/mongo", kRecordingTool, 0755).IsError());
    // A password the shell would expand or end early if it were not quoted.
    const std::string dbPassword = "Sup3r'$(touch PWNED)\"`x`\\ \nEOF";
    const std::string keyPassword = "K3y-Secr3t";
    SetSetting("bEnableMongoSSL", "true");
    SetSetting("sMongoSSLClientCAFile", "/etc/ssl/ca.pem");
    SetSetting("pMongoSSLClientPEMKeyPassword", keyPassword);

    MongoDbUtil util;
    util.SetBinPath(bin);
    util.SetDbCredentials("admin", dbPassword);
    std::string output;
    ASSERT_EQ(util.RunMongoCmd("mongo --port 1 --host h --quiet --eval \"1\"",
                               MongoCmdOutput::Reply, output),
              0);
    EXPECT_EQ(output, "{ \"ok\" : 1 }");

    std::string record;
    ASSERT_FALSE(FXFile::ReadAll(bin + "/record", record).IsError());
    const size_t argvLine = record.find("ARGV");
    const std::string argv = record.substr(argvLine, record.find('\n', argvLine) - argvLine);
    EXPECT_NE(argv.find("[-u] [admin] [--authenticationDatabase] [admin] [-p] []"),
              std::string::npos)
        << argv;
    EXPECT_EQ(argv.find("Sup3r"), std::string::npos) << argv;
    // The tool's input is the password, byte for byte.
    EXPECT_NE(record.find("STDIN " + dbPassword + "\n"), std::string::npos) << record;
    EXPECT_FALSE(FXFile::Exists("PWNED"));
    EXPECT_FALSE(FXFile::Exists(bin + "/PWNED"));

    // No log file of the state root holds either secret.
    std::vector<std::string> logs;
    ASSERT_FALSE(CZuDirectory::List(root.File("logs"), logs).IsError());
    ASSERT_FALSE(logs.empty());
    for (const std::string& name : logs) {
        std::string text;
        ASSERT_FALSE(FXFile::ReadAll(root.File("logs/" + name), text).IsError());
        EXPECT_EQ(text.find("Sup3r"), std::string::npos) << name;
        EXPECT_EQ(text.find(keyPassword), std::string::npos) << name;
        EXPECT_NE(text.find("Running cmd [mongo --port 1 --host h --quiet --eval \"1\"]"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace MongoDbKax::testing
