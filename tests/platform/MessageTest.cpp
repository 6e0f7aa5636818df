#include <gtest/gtest.h>

#include "host/Message.h"
#include "tests/support/TempStateRoot.h"

namespace {

// A cluster description with a nested list, awkward texts and repeated pairs.
CNMessageBase SampleCluster() {
    CNMessageBase cluster("App::MongoDBConfig");
    cluster.Set("masterNode", "host1:27017");
    cluster.SetInt("instanceId", -9000000000LL);
    cluster.Set("odd text", " leading and trailing \n\ttabs <tags> & \"quotes\" 'apostrophes' ünïcødé ");
    cluster.Set("empty", "");
    cluster.Add("OplogLastEntryTSPerRepSet", "rs0:h1:27017:5:100");
    cluster.Add("OplogLastEntryTSPerRepSet", "rs1:h2:27018:5:200");
    CNMessageBase& servers = cluster.AddChild("serverList");
    for (int i = 0; i < 3; ++i) {
        CNMessageBase& server = servers.AddChild("server");
        server.Set("host", "h" + std::to_string(i));
        server.SetInt("port", 27017 + i);
        CNMessageBase& paths = server.AddChild("dataPaths");
        for (int j = 0; j <= i; ++j) paths.AddChild("path").Set("value", "/data/" + std::to_string(j));
    }
    cluster.AddChild("credentials").Set("user", "admin");
    cluster.AddChild("emptyChild");
    return cluster;
}

void ExpectSameTree(const CNMessageBase& a, const CNMessageBase& b) {
    EXPECT_EQ(a.GetTag(), b.GetTag());
    EXPECT_EQ(a.GetPairs(), b.GetPairs());
    ASSERT_EQ(a.GetAllChildren().size(), b.GetAllChildren().size()) << a.GetTag();
    for (size_t i = 0; i < a.GetAllChildren().size(); ++i)
        ExpectSameTree(a.GetAllChildren()[i], b.GetAllChildren()[i]);
}

TEST(MessageTest, XmlRoundTripKeepsPairsNestedListsAndOrder) {
    CNMessageBase original = SampleCluster();
    CNMessageBase parsed;
    CZuError err = CNMessageBase::FromXml(original.ToXml(), parsed);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    ExpectSameTree(original, parsed);

    EXPECT_EQ(parsed.GetInt("instanceId"), -9000000000LL);
    EXPECT_EQ(parsed.GetAll("OplogLastEntryTSPerRepSet"),
              (std::vector<std::string>{"rs0:h1:27017:5:100", "rs1:h2:27018:5:200"}));
    const CNMessageBase* servers = parsed.GetChild("serverList");
    ASSERT_NE(servers, nullptr);
    auto list = servers->GetChildren("server");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[2]->GetString("host"), "h2");
    EXPECT_EQ(list[2]->GetInt("port"), 27019);
    EXPECT_EQ(list[2]->GetChild("dataPaths")->GetChildren("path").size(), 3u);
}

TEST(MessageTest, AccessorsAndDefaults) {
    CNMessageBase m("T");
    m.Set("a", "1");
    m.Set("b", "x");
    m.Set("a", "2");  // replaces in place
    ASSERT_EQ(m.GetPairs().size(), 2u);
    EXPECT_EQ(m.GetPairs()[0], (std::pair<std::string, std::string>{"a", "2"}));
    EXPECT_EQ(m.GetInt("b", 7), 7);  // not a number
    EXPECT_EQ(m.GetInt("missing", 8), 8);
    EXPECT_EQ(m.GetString("missing", "d"), "d");
    EXPECT_FALSE(m.Has("missing"));
    EXPECT_EQ(m.GetChild("none"), nullptr);
}

TEST(MessageTest, MalformedXmlGivesInvalidDataWithTheParsersText) {
    struct Case {
        const char* xml;
        const char* expected;  // part of the message
    };
    const Case cases[] = {
        {"", "XML"},
        {"<message tag=\"a\"><pair name=\"x\" value=\"1\"></message>", "mismatch"},
        {"<message tag=\"a\"", "malformed XML"},
        {"not xml at all", "XML"},
        {"<other/>", "expected <message"},
        {"<message/>", "expected <message"},
        {"<message tag=\"a\"><pair name=\"x\"/></message>", "lacks its name or value"},
        {"<message tag=\"a\">loose text</message>", "unexpected text"},
        {"<message tag=\"a\"><unknown/></message>", "expected <message"},
    };
    for (const Case& c : cases) {
        CNMessageBase out("untouched");
        out.Set("keep", "me");
        CZuError err = CNMessageBase::FromXml(c.xml, out);
        ASSERT_TRUE(err.IsError()) << c.xml;
        EXPECT_EQ(err.GetErrorCode(), ZuCode::InvalidData) << c.xml;
        EXPECT_NE(err.AsString().find(c.expected), std::string::npos) << err.AsString();
        EXPECT_EQ(out.GetTag(), "untouched");
        EXPECT_EQ(out.GetString("keep"), "me");
    }
}

// A typed message maps its fields onto the tree; the base does the XML.
struct NodeInfo : CNMessageBase {
    std::string host;
    int64_t port = 0;
    std::vector<std::string> paths;

    void Serialize(CNMessageBase& tree) const override {
        tree.SetTag("NodeInfo");
        tree.Set("host", host);
        tree.SetInt("port", port);
        for (const auto& p : paths) tree.AddChild("path").Set("value", p);
    }
    CZuError Unserialize(const CNMessageBase& tree) override {
        if (tree.GetTag() != "NodeInfo")
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::WrongType, "not a NodeInfo");
        host = tree.GetString("host");
        port = tree.GetInt("port");
        paths.clear();
        for (const auto* p : tree.GetChildren("path")) paths.push_back(p->GetString("value"));
        return CZuError::Success();
    }
};

TEST(MessageTest, TypedMessageRoundTripsThroughAFile) {
    TempStateRoot root;
    NodeInfo info;
    info.host = "node a";
    info.port = 27018;
    info.paths = {"/d1", "/d 2"};
    std::string path = root.File("node.xml");
    ASSERT_FALSE(info.WriteToFile(path).IsError());

    NodeInfo back;
    CZuError err = CNMessageBase::ReadFromFile(path, back);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(back.host, "node a");
    EXPECT_EQ(back.port, 27018);
    EXPECT_EQ(back.paths, info.paths);

    CNMessageBase wrong("Other");
    ASSERT_FALSE(wrong.WriteToFile(path).IsError());
    EXPECT_EQ(CNMessageBase::ReadFromFile(path, back).GetErrorCode(), ZuCode::WrongType);
    EXPECT_TRUE(CNMessageBase::ReadFromFile(root.File("missing.xml"), back).IsError());
}

}  // namespace
