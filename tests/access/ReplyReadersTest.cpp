// Readers of parsed replies, the shell's value forms, the connectivity probe
// through a scripted shell, and the path and file helpers.
#include <nlohmann/json.hpp>

#include "access/MongoDbHelpers.h"
#include "access/MongoShellJson.h"
#include "tests/access/AccessTestSupport.h"

namespace MongoDbKax::testing {
namespace {

using U = MongoDbUtil;

const JsonObject kReply = JsonObject::parse(R"({
    "s": "text", "i": 7, "neg": -3, "big": 5000000000, "d": 1.5, "one": 1.0, "t": true,
    "o": {"k": 1}, "a": [1, 2], "n": null,
    "ts": {"$timestamp": {"t": 1700000000, "i": 3}}
})");

TEST(ReplyReaders, PresentKeysReadTheirValues) {
    EXPECT_EQ(U::GetStringValue(kReply, "s"), "text");
    EXPECT_EQ(U::GetIntValue(kReply, "i"), 7);
    EXPECT_EQ(U::GetIntValue(kReply, "neg"), -3);
    EXPECT_TRUE(U::GetBoolean(kReply, "t"));
    EXPECT_EQ(U::GetUInt64Value(kReply, "big"), 5000000000u);
    EXPECT_DOUBLE_EQ(U::GetDoubleValue(kReply, "d"), 1.5);
    EXPECT_EQ(U::GetObjectValue(kReply, "o"), JsonObject::parse(R"({"k": 1})"));
    EXPECT_EQ(U::GetArrayValue(kReply, "a"), JsonObject::parse("[1, 2]"));
    // A BSON timestamp is read through its Extended JSON wrapper.
    EXPECT_EQ(U::GetUInt64Value(U::GetObjectValue(kReply, "ts").at("$timestamp"), "t"),
              1700000000u);
}

TEST(ReplyReaders, OkReadsAsANumberWhetherIntegerOrDouble) {
    EXPECT_EQ(U::GetDoubleValue(kReply, "i"), 7.0);
    EXPECT_EQ(U::GetDoubleValue(kReply, "one"), 1.0);
}

struct DefaultCase {
    const char* name;
    const char* key;
};

// Missing, null and mistyped keys all give the reader's default.
TEST(ReplyReaders, MissingNullAndMistypedKeysGiveDefaults) {
    const std::vector<DefaultCase> cases = {
        {"missing", "absent"}, {"null", "n"}, {"string", "s"}, {"double", "d"},
        {"object", "o"},       {"array", "a"}, {"bool", "t"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string key = c.key;
        if (key != "s") {
            EXPECT_EQ(U::GetStringValue(kReply, key), "");
        }
        if (key != "o") {
            EXPECT_EQ(U::GetObjectValue(kReply, key), JsonObject::object());
        }
        if (key != "a") {
            EXPECT_EQ(U::GetArrayValue(kReply, key), JsonObject::array());
        }
        if (key != "t") {
            EXPECT_FALSE(U::GetBoolean(kReply, key));
        }
        EXPECT_EQ(U::GetIntValue(kReply, key), 0);
        EXPECT_EQ(U::GetUInt64Value(kReply, key), 0u);
        uint64_t untouched = 42;
        EXPECT_FALSE(U::GetUInt64ValueV2(kReply, key, untouched));
        EXPECT_EQ(untouched, 42u);
    }
    // Numbers of the wrong kind.
    EXPECT_EQ(U::GetIntValue(kReply, "big"), 0);  // does not fit 32 bits
    EXPECT_EQ(U::GetUInt64Value(kReply, "neg"), 0u);
    EXPECT_EQ(U::GetDoubleValue(kReply, "s"), 0.0);
    EXPECT_EQ(U::GetDoubleValue(kReply, "n"), 0.0);
}

TEST(ReplyReaders, UnparsableRepliesReadAsEmpty) {
    for (const char* text : {"", "{\"ok\": 1", "garbage", "[1, 2]", "{\"ok\": }"}) {
        SCOPED_TRACE(text);
        const JsonObject reply = JsonObject::parse(text, nullptr, false);
        EXPECT_EQ(U::GetDoubleValue(reply, "ok"), 0.0);
        EXPECT_EQ(U::GetStringValue(reply, "version"), "");
        EXPECT_EQ(U::GetObjectValue(reply, "o"), JsonObject::object());
    }
}

TEST(ReplyReaders, VectorObjectReaders) {
    const JsonVObject reply = JsonVObject::parse(R"({"o": {"b": 1, "a": 2}, "f": false, "n": null})");
    JsonVObject out;
    ASSERT_TRUE(U::GetObjectValueV(reply, "o", out));
    EXPECT_EQ(out.begin().key(), "b");  // insertion order kept
    bool flag = true;
    EXPECT_TRUE(U::GetBooleanValueV(reply, "f", flag));
    EXPECT_FALSE(flag);

    JsonVObject untouched = JsonVObject::array();
    bool untouchedFlag = true;
    for (const char* key : {"absent", "n", "f"})
        EXPECT_FALSE(U::GetObjectValueV(reply, key, untouched)) << key;
    for (const char* key : {"absent", "n", "o"})
        EXPECT_FALSE(U::GetBooleanValueV(reply, key, untouchedFlag)) << key;
    EXPECT_TRUE(untouched.is_array());
    EXPECT_TRUE(untouchedFlag);
}

// What the legacy shell prints for db.runCommand({ ping:1 }) on a replica-set
// member of 3.6 and later.
const std::string kMemberPing =
    "{\n"
    "\t\"ok\" : 1,\n"
    "\t\"$clusterTime\" : {\n"
    "\t\t\"clusterTime\" : Timestamp(1700000000, 1),\n"
    "\t\t\"signature\" : {\n"
    "\t\t\t\"hash\" : BinData(0,\"AAAAAAAAAAAAAAAAAAAAAAAAAAA=\"),\n"
    "\t\t\t\"keyId\" : NumberLong(0)\n"
    "\t\t}\n"
    "\t},\n"
    "\t\"operationTime\" : Timestamp(1700000000, 1)\n"
    "}";

TEST(ShellJson, ReadsAReplicaSetMembersPingReply) {
    // Plain JSON cannot read it...
    EXPECT_TRUE(JsonObject::parse(kMemberPing, nullptr, false).is_discarded());
    // ...the shell's value forms become Extended JSON.
    JsonObject reply;
    ASSERT_TRUE(ParseShellJson(kMemberPing, reply));
    EXPECT_EQ(U::GetDoubleValue(reply, "ok"), 1.0);
    const JsonObject cluster = U::GetObjectValue(reply, "$clusterTime");
    EXPECT_EQ(cluster["clusterTime"]["$timestamp"]["t"], 1700000000);
    EXPECT_EQ(cluster["clusterTime"]["$timestamp"]["i"], 1);
    EXPECT_EQ(cluster["signature"]["hash"]["$binary"]["subType"], "00");
    EXPECT_EQ(cluster["signature"]["keyId"], 0);
}

TEST(ShellJson, RewritesOnlyWellFormedValueFormsOutsideStrings) {
    struct Case {
        std::string shell;
        std::string json;  // "" = not an object after the rewrite
    };
    const std::vector<Case> cases = {
        {R"({ "n" : NumberLong("9007199254740993"), "i" : NumberInt(-4) })",
         R"({"n": 9007199254740993, "i": -4})"},
        {R"({ "id" : ObjectId("5f1d7a9e8c3b2a1d0e9f8a7b"), "d" : ISODate("2024-01-02T03:04:05Z") })",
         R"({"id": {"$oid": "5f1d7a9e8c3b2a1d0e9f8a7b"}, "d": {"$date": "2024-01-02T03:04:05Z"}})"},
        {R"({ "u" : UUID("0b9c1f7e-2bb6-4a40-9d2a-7b1e3c1d8f00"), "x" : NumberDecimal("1.5") })",
         R"({"u": {"$uuid": "0b9c1f7e-2bb6-4a40-9d2a-7b1e3c1d8f00"}, "x": {"$numberDecimal": "1.5"}})"},
        {R"j({ "s" : "Timestamp(1, 2) stays text", "e" : "a \"q\" NumberLong(1)" })j",
         R"j({"s": "Timestamp(1, 2) stays text", "e": "a \"q\" NumberLong(1)"})j"},
        {R"({ "t" : Timestamp(1) })", ""},
        {R"({ "f" : Unknown(1) })", ""},
        {R"({ "t" : Timestamp(1, 2)  )", ""},
        {"Timestamp(", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shell);
        JsonObject parsed = JsonObject::object();
        const bool ok = ParseShellJson(c.shell, parsed);
        EXPECT_EQ(ok, !c.json.empty());
        if (ok) {
            EXPECT_EQ(parsed, JsonObject::parse(c.json));
        }
    }
}

struct ProbeCase {
    const char* name;
    int shellStatus;
    std::string shellOutput;
    int expected;
};

TEST_F(AccessTest, ConnectivityProbeThroughTheShell) {
    const std::string banner =
        "MongoDB shell version v4.4.6\nconnecting to: mongodb://db1:27017/\n"
        "Implicit session: session { \"id\" : UUID(\"0b9c1f7e-2bb6-4a40-9d2a-7b1e3c1d8f00\") }\n"
        "MongoDB server version: 4.4.6\n";
    const std::vector<ProbeCase> cases = {
        {"standalone reply", 0, banner + "{ \"ok\" : 1 }\n", 0},
        {"replica-set member reply with shell value forms", 0, banner + kMemberPing + "\n", 0},
        {"server answers ok 0", 0, "{ \"ok\" : 0, \"errmsg\" : \"x\" }", -1},
        {"ok 2 is not exactly 1", 0, "{ \"ok\" : 2 }", -1},
        {"truncated reply", 0, "{ \"ok\" : 1, ", -1},
        {"nothing printed", 0, "", -1},
        {"authentication refused", 1, "Error: Authentication failed. :\nconnect@src/mongo", 1},
        {"server down", 1,
         "MongoDB shell version v4.4.6\nconnecting to: mongodb://db1:27017/\nError: couldn't "
         "connect to server db1:27017, connection attempt failed: SocketException: Connection "
         "refused",
         -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedUtil util([&](const std::string&, std::string& output) {
            output = c.shellOutput;
            return c.shellStatus;
        });
        util.SetBinPath("/opt/mongodb/bin");
        util.SetDbCredentials("admin", "s3cret");
        EXPECT_EQ(util.CheckMongoConnectivity("db1", 27017, true), c.expected);
        ASSERT_EQ(util.runs.size(), 1u);
        // The probe runs without credentials.
        EXPECT_EQ(util.runs[0].command,
                  "\"/opt/mongodb/bin/mongo\" --port 27017 --host db1 --eval \"db.runCommand({ "
                  "ping:1 })\" 2>&1");
        EXPECT_FALSE(util.runs[0].secret);
    }
}

TEST_F(AccessTest, ConnectivityProbeQuotesAHostileHostName) {
    ScriptedUtil util([](const std::string&, std::string& output) {
        output = "{ \"ok\" : 1 }";
        return 0;
    });
    util.SetBinPath("/b");
    EXPECT_EQ(util.CheckMongoConnectivity("db1;touch x", 1, true), 0);
    ASSERT_EQ(util.runs.size(), 1u);
    EXPECT_NE(util.runs[0].command.find("--host \"db1;touch x\" --eval"), std::string::npos);
}

TEST(PathHelpers, CmpDelimiterCountOrdersDeeperPathsFirst) {
    struct Case {
        const char* a;
        const char* b;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"/a/b", "/a/b/", false}, {"/a/b/", "/a/b", false}, {"/a/b/c", "/a/b", true},
        {"/a", "/a/b", false},    {"a/b", "a", true},        {"", "/", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CmpDelimiterCount(c.a, c.b), c.expected) << c.a << " vs " << c.b;
}

TEST_F(AccessTest, CountLinesCountsLineBreaks) {
    const std::vector<std::pair<std::string, uint64_t>> cases = {
        {"x\ny", 1}, {"x\ny\n", 2}, {"", 0}, {std::string(200000, '\n'), 200000}};
    for (const auto& [content, expected] : cases) {
        const std::string path = root.File("lines.txt");
        ASSERT_FALSE(FXFile::WriteAll(path, content).IsError());
        EXPECT_EQ(CountLines(path), expected);
    }
    EXPECT_EQ(CountLines(root.File("missing.txt")), 0u);
}

}  // namespace
}  // namespace MongoDbKax::testing
