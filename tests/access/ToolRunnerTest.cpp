// The tool runner: the shell command RunMongoCmd composes for each tool and
// setting, the cleaning of tool output, and the helpers around it.
#include <sys/stat.h>

#include <optional>

#include "access/MongoDbConnection.h"
#include "tests/access/AccessTestSupport.h"

namespace MongoDbKax::testing {
namespace {

const std::string kBin = "/opt/mongodb/bin";
const std::string kCa = "/etc/ssl/ca.pem";

bool IsVersionRun(const std::string& command) {
    return command.find("mongod\" --version") != std::string::npos;
}

struct TlsSettings {
    bool enabled = false;
    std::string caFile;
    std::string pemKeyFile;
    std::string keyPassword;
};

class ToolRunnerTest : public AccessTest {
protected:
    static void Apply(const TlsSettings& tls) {
        SetSetting("bEnableMongoSSL", tls.enabled ? "true" : "false");
        SetSetting("sMongoSSLClientCAFile", tls.caFile);
        SetSetting("sMongoSSLClientPEMKeyFile", tls.pemKeyFile);
        bool removed = false;
        if (tls.keyPassword.empty())
            TWSettings::Unset(TWSettingSections::Agent, "pMongoSSLClientPEMKeyPassword", "",
                              removed);
        else
            SetSetting("pMongoSSLClientPEMKeyPassword", tls.keyPassword);
    }

    // A runner whose mongod reports `versionText` and whose other tools print
    // a reply document.
    static ScriptedUtil::Responder Tools(const std::string& versionText) {
        return [versionText](const std::string& command, std::string& output) {
            output = IsVersionRun(command) ? versionText : "{ \"ok\" : 1 }";
            return 0;
        };
    }
};

struct CompositionCase {
    const char* name;
    std::string cmd;
    TlsSettings tls;
    std::string versionText;
    std::string user;
    std::string password;
    bool suppressAuthAndTls;
    bool skipAuth;
    bool skipTls;
    int expectedRc;
    // The tool run (version probes aside); nullopt = no tool ran.
    std::optional<std::string> expectedCommand;
    bool expectedSecret;
};

TEST_F(ToolRunnerTest, ComposesTheShellCommandForEachToolAndSetting) {
    const TlsSettings caOnly{true, kCa, "", ""};
    const std::string creds =
        " -u admin --authenticationDatabase admin -p \"\" <<'EOF'\ns3cret\nEOF\n";
    const std::string balancer =
        "mongo --port 27017 --host db1 --quiet --eval \"sh.getBalancerState()\"";
    const std::string balancerFull =
        "\"/opt/mongodb/bin/mongo\" --port 27017 --host db1 --quiet --eval "
        "\"sh.getBalancerState()\"";

    const std::vector<CompositionCase> cases = {
        {"worked example: shell before 4.2 gets ssl names, then credentials by here-document",
         balancer, caOnly, "db version v4.1.13", "admin", "s3cret", false, false, false, 0,
         balancerFull + " --ssl --sslCAFile \"/etc/ssl/ca.pem\" 2>&1" + creds, true},
        {"shell on 4.2 gets tls names", balancer, caOnly, "db version v4.2.0", "admin", "s3cret",
         false, false, false, 0,
         balancerFull + " --tls --tlsCAFile \"/etc/ssl/ca.pem\" 2>&1" + creds, true},
        {"mongodump on 4.2 keeps ssl names", "mongodump --port 27017 --host db1 --out \"/d\"",
         caOnly, "db version v4.2.0", "admin", "s3cret", false, false, false, 0,
         "\"/opt/mongodb/bin/mongodump\" --port 27017 --host db1 --out \"/d\" --ssl --sslCAFile "
         "\"/etc/ssl/ca.pem\" 2>&1" +
             creds,
         true},
        {"mongod --version never gets credentials or TLS", "mongod --version", caOnly,
         "db version v4.2.0", "admin", "s3cret", false, false, false, 0,
         "\"/opt/mongodb/bin/mongod\" --version 2>&1", false},
        {"mongos start never gets credentials or TLS", "mongos --port 27018 --configdb cfg/h:1",
         caOnly, "db version v4.2.0", "admin", "s3cret", false, false, false, 0,
         "\"/opt/mongodb/bin/mongos\" --port 27018 --configdb cfg/h:1 2>&1", false},
        {"suppressed auth and TLS: neither is added", "mongo --eval \"x\"", caOnly,
         "db version v4.2.0", "admin", "s3cret", true, false, false, 0,
         "\"/opt/mongodb/bin/mongo\" --eval \"x\" 2>&1", false},
        {"skipAuth keeps TLS and drops credentials", "mongo --eval \"x\"", caOnly,
         "db version v4.1.0", "admin", "s3cret", false, true, false, 0,
         "\"/opt/mongodb/bin/mongo\" --eval \"x\" --ssl --sslCAFile \"/etc/ssl/ca.pem\" 2>&1",
         false},
        {"skipTls keeps credentials and drops TLS", "mongo --eval \"x\"", caOnly,
         "db version v4.1.0", "admin", "s3cret", false, false, true, 0,
         "\"/opt/mongodb/bin/mongo\" --eval \"x\" 2>&1" + creds, true},
        {"leading blanks still get the bin path", "   mongo --eval \"x\"", {}, "", "", "", false,
         false, false, 0, "\"/opt/mongodb/bin/mongo\" --eval \"x\" 2>&1", false},
        {"a bare tool name is quoted whole", "mongo", {}, "", "", "", false, false, false, 0,
         "\"/opt/mongodb/bin/mongo\" 2>&1", false},
        {"key password without key file still adds the password option", "mongo --eval \"x\"",
         {true, kCa, "", "kp"}, "db version v4.1.0", "", "", false, false, false, 0,
         "\"/opt/mongodb/bin/mongo\" --eval \"x\" --ssl --sslCAFile \"/etc/ssl/ca.pem\" "
         "--sslPEMKeyPassword \"kp\" 2>&1",
         true},
        {"key file and password with tls names", "mongo --eval \"x\"",
         {true, kCa, "/etc/ssl/client.pem", "kp"}, "db version v4.4.1", "", "", false, false,
         false, 0,
         "\"/opt/mongodb/bin/mongo\" --eval \"x\" --tls --tlsCAFile \"/etc/ssl/ca.pem\" "
         "--tlsCertificateKeyFile \"/etc/ssl/client.pem\" --tlsCertificateKeyFilePassword "
         "\"kp\" 2>&1",
         true},
        {"TLS on without a CA file fails before running the tool", "mongo --eval \"x\"",
         {true, "", "", ""}, "db version v4.1.0", "admin", "s3cret", false, false, false, -1,
         std::nullopt, false},
        {"a password line equal to EOF gets another delimiter", "mongo --eval \"x\"", {}, "",
         "admin", "EOF", false, false, false, 0,
         "\"/opt/mongodb/bin/mongo\" --eval \"x\" 2>&1 -u admin --authenticationDatabase admin "
         "-p \"\" <<'EOF1'\nEOF\nEOF1\n",
         true},
        {"a user name with shell characters stays one word", "mongo --eval \"x\"", {}, "",
         "o'brien $x", "pw", false, false, false, 0,
         "\"/opt/mongodb/bin/mongo\" --eval \"x\" 2>&1 -u \"o'brien \\$x\" "
         "--authenticationDatabase admin -p \"\" <<'EOF'\npw\nEOF\n",
         true},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Apply(c.tls);
        ScriptedUtil util(Tools(c.versionText));
        util.SetBinPath(kBin);
        util.SetDbCredentials(c.user, c.password);
        util.SetAuthAndTlsSuppressed(c.suppressAuthAndTls);
        std::string output;
        EXPECT_EQ(util.RunMongoCmd(c.cmd, MongoCmdOutput::Raw, output, c.skipAuth, c.skipTls),
                  c.expectedRc);
        const bool versionCommand = c.cmd == "mongod --version";
        std::optional<ScriptedUtil::Run> toolRun;
        for (const auto& run : util.runs)
            if (versionCommand || !IsVersionRun(run.command))
                toolRun = run;
        if (!c.expectedCommand) {
            EXPECT_FALSE(toolRun.has_value());
            continue;
        }
        ASSERT_TRUE(toolRun.has_value());
        EXPECT_EQ(toolRun->command, *c.expectedCommand);
        EXPECT_EQ(toolRun->secret, c.expectedSecret);
    }
}

TEST_F(ToolRunnerTest, BinPathWithShellCharactersIsEscapedInsideItsQuotes) {
    ScriptedUtil util(Tools(""));
    util.SetBinPath("/opt/my \"odd\" $dir`x`");
    std::string full;
    EXPECT_EQ(util.PrependMongoBinPath("mongo --eval 1", full), 0);
    EXPECT_EQ(full, "\"/opt/my \\\"odd\\\" \\$dir\\`x\\`/mongo\" --eval 1");
}

struct CleaningCase {
    const char* name;
    int kind;
    int toolStatus;
    std::string raw;
    int expectedRc;
    std::string expectedOutput;
};

TEST_F(ToolRunnerTest, CleansToolOutputByKind) {
    const std::string banner =
        "MongoDB shell version v4.4.6\nconnecting to: mongodb://db1:27017/?compressors=disabled\n"
        "Implicit session: session { \"id\" : UUID(\"0b9c1f7e-2bb6-4a40-9d2a-7b1e3c1d8f00\") }\n"
        "MongoDB server version: 4.4.6\n";
    const std::vector<CleaningCase> cases = {
        {"kind 11: prompt, line break and document give the document", 11, 0,
         "Enter password:\n{ ok : 1 }", 0, "{ ok : 1 }"},
        {"kind 11: banner and session line before the reply are dropped", 11, 0,
         banner + "{\n\t\"ok\" : 1\n}\n", 0, "{\n\t\"ok\" : 1\n}"},
        {"kind 11: a reply nested after text is cut to the object holding ok", 11, 0,
         "noise { \"a\" : 1 } more {\n \"ok\" : 0, \"errmsg\" : \"x\" }", 0,
         "{\n \"ok\" : 0, \"errmsg\" : \"x\" }"},
        {"kind 7: true and a line break give true", 7, 0, "true\n", 0, "true"},
        {"kind 7: only blanks and line breaks give -1", 7, 0, "  \n \r\n\t ", -1, ""},
        {"kind 7: a document loses its line breaks", 7, 0, "{\n\"a\" : 1\r\n}\n", 0,
         "{\"a\" : 1}"},
        {"kind 7: a lone prompt stays (nothing follows it)", 7, 0, "Enter password:", 0,
         "Enter password:"},
        {"kind 8: text without a brace is left whole", 8, 0,
         "db version v3.2.22\ngit version: abc\n", 0, "db version v3.2.22\ngit version: abc"},
        {"kind 8: text before the first brace is dropped", 8, 0,
         "db version v4.4.6\nBuild Info: {\n \"version\": \"4.4.6\"\n}", 0,
         "{\n \"version\": \"4.4.6\"\n}"},
        {"a failed tool returns its status with the raw output", 7, 1,
         "Error: couldn't connect to server\n", 1, "Error: couldn't connect to server\n"},
        {"a tool that prints nothing gives -1", 8, 0, "", -1, ""},
        {"a tool not found gives 127", 8, 127, "sh: 1: mongo: not found\n", 127,
         "sh: 1: mongo: not found\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedUtil util([&](const std::string&, std::string& output) {
            output = c.raw;
            return c.toolStatus;
        });
        util.SetBinPath(kBin);
        std::string output = "stale";
        EXPECT_EQ(util.RunMongoCmd("mongo --eval \"x\"", c.kind, output), c.expectedRc);
        EXPECT_EQ(output, c.expectedOutput);
    }
}

struct VersionCase {
    const char* name;
    int toolStatus;
    std::string toolOutput;
    int expectedRc;
    std::string expectedVersion;
    bool is32;
    bool is42OrAbove;
};

TEST_F(ToolRunnerTest, ReadsTheServerVersionAndItsPredicates) {
    const std::vector<VersionCase> cases = {
        {"3.2 text form", 0, "db version v3.2.22\ngit version: 1a2b\nallocator: tcmalloc\n", 0,
         "v3.2.22", true, false},
        {"4.1.13 is below 4.2", 0, "db version v4.1.13\n", 0, "v4.1.13", false, false},
        {"4.2.0 is 4.2 or above", 0, "db version v4.2.0\n", 0, "v4.2.0", false, true},
        {"a one-part version counts as its major", 0, "db version 5\n", 0, "5", false, true},
        {"two-digit major", 0, "db version v10.0\n", 0, "v10.0", false, true},
        {"JSON build information", 0,
         "db version v4.4.6\nBuild Info: {\n    \"version\": \"4.4.6\",\n    \"gitVersion\": "
         "\"72e66213c2c3eab37d9358d5e78ad7f5c1d0d0d7\",\n    \"modules\": []\n}\n",
         0, "4.4.6", false, true},
        {"mongod missing", 127, "sh: 1: /opt/mongodb/bin/mongod: not found\n", 127, "", false,
         false},
        {"mongod failing", 1, "error\n", -1, "", false, false},
        {"truncated JSON", 0, "Build Info: {\n \"version\": \"4.", -1, "", false, false},
        {"JSON whose version is not a string", 0, "{\"version\": 44}", -1, "", false, false},
        {"nothing printed", 0, "", -1, "", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedUtil util([&](const std::string&, std::string& output) {
            output = c.toolOutput;
            return c.toolStatus;
        });
        util.SetBinPath(kBin);
        EXPECT_EQ(util.GetMongoDBServerVersion(), c.expectedRc);
        EXPECT_EQ(util.GetServerVersion(), c.expectedVersion);
        EXPECT_EQ(util.isMongodVersion32(), c.is32);
        EXPECT_EQ(util.IsMongodVersion42OrAbove(), c.is42OrAbove);
    }
}

TEST_F(ToolRunnerTest, ServerVersionIsAskedOnceOnceKnown) {
    ScriptedUtil util([](const std::string&, std::string& output) {
        output = "db version v4.2.3\n";
        return 0;
    });
    EXPECT_TRUE(util.IsMongodVersion42OrAbove());
    EXPECT_FALSE(util.isMongodVersion32());
    EXPECT_TRUE(util.IsMongodVersion42OrAbove());
    EXPECT_EQ(util.runs.size(), 1u);
}

TEST_F(ToolRunnerTest, SplitsACommandLineIntoANewArgumentVector) {
    struct Case {
        std::string line;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"snap -t 5 -d \"/data/my dir\"", {"snap", "-t", "5", "-d", "/data/my dir"}},
        {"  one  ", {"one"}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        char** argv = nullptr;
        ASSERT_EQ(MongoDbUtil::GetArgv(c.line, argv), int(c.expected.size()));
        for (size_t i = 0; i < c.expected.size(); ++i)
            EXPECT_STREQ(argv[i], c.expected[i].c_str());
        EXPECT_EQ(argv[c.expected.size()], nullptr);
        MongoDbUtil::DeleteArgv(argv);
        EXPECT_EQ(argv, nullptr);
    }
}

TEST_F(ToolRunnerTest, RecognisesAuthenticationErrors) {
    MongoDbUtil util;
    const std::vector<std::pair<std::string, bool>> cases = {
        {"command listDatabases requires authentication", true},
        {"Error: Authentication failed.", true},
        {"there are no users authenticated", true},
        {"AUTHENTICATION FAILED", true},
        {"Error: couldn't connect to server 127.0.0.1:1, connection attempt failed", false},
        // Empty text reads the connection's last error, which is empty here.
        {"", false},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(util.isAuthenticationError(text), expected);
    }
}

TEST_F(ToolRunnerTest, ValidatesTheBinPath) {
    MongoDbUtil util;
    const std::string dir = root.File("bin");
    util.SetBinPath(dir);
    std::string why;
    EXPECT_EQ(util.ValidateMongoBinPath(why), 1);
    EXPECT_EQ(why, "Failed to stat directory [" + dir + "]");

    ASSERT_FALSE(CZuDirectory::Create(dir).IsError());
    EXPECT_EQ(util.ValidateMongoBinPath(why), 1);
    EXPECT_EQ(why, "Failed to stat mongo binary [" + dir + "/mongo]");

    ASSERT_FALSE(FXFile::WriteAll(dir + "/mongo", "#!/bin/sh\n", 0755).IsError());
    EXPECT_EQ(util.ValidateMongoBinPath(why), 0);
    EXPECT_EQ(why, "");
}

TEST_F(ToolRunnerTest, MissingBinPathGivesToolNotFound) {
    // The real shell runs here: the tool directory does not exist.
    MongoDbUtil util;
    util.SetBinPath(root.File("no-such-dir"));
    std::string output;
    EXPECT_EQ(util.RunMongoCmd("mongod --version", MongoCmdOutput::Raw, output), 127);
    EXPECT_EQ(util.GetMongoDBServerVersion(), 127);
    EXPECT_FALSE(util.IsMongodVersion42OrAbove());
    EXPECT_FALSE(util.isMongodVersion32());
}

}  // namespace
}  // namespace MongoDbKax::testing
