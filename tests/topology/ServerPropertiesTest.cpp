// Text rules for what discovery stores about one process.
#include <gtest/gtest.h>

#include "topology/ServerProperties.h"

namespace MongoDbKax {
namespace {

namespace SP = ServerProperties;

TEST(ServerPropertiesTest, KeyPasswordsAreMaskedToTheEndOfTheirLine) {
    struct Case {
        const char* name;
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"PEM key password", "net:\n  ssl:\n    PEMKeyPassword: s3cret\n    mode: requireSSL\n",
         "net:\n  ssl:\n    PEMKeyPassword:xxxxxxx\n    mode: requireSSL\n"},
        {"newer TLS name, last line without break", "  tls:\n    certificateKeyFilePassword: \"p w\"",
         "  tls:\n    certificateKeyFilePassword:xxxxxx"},
        {"cluster password and PEM password", "clusterPassword: a\nPEMKeyPassword:b\n",
         "clusterPassword:xx\nPEMKeyPassword:x\n"},
        {"nothing secret", "storage:\n  dbPath: /data/db\n", "storage:\n  dbPath: /data/db\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(SP::MaskKeyPasswords(c.in), c.out) << c.name;
}

TEST(ServerPropertiesTest, DataPathsUseForwardSlashesWithoutTrailingSeparator) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"C:\\data\\db\\", "C:/data/db"}, {"/data/db/", "/data/db"}, {"/data/db", "/data/db"},
        {"/data/db//", "/data/db/"}};
    for (const auto& [in, out] : cases) EXPECT_EQ(SP::NormalizeDbPath(in), out) << in;
}

TEST(ServerPropertiesTest, BindListKeepsOnlyRoutableAddressesOnce) {
    const std::string bindIp = SP::TrimBindIp("\" 10.0.0.5 , 127.0.0.1,localhost,10.0.0.5\" ");
    EXPECT_EQ(bindIp, "10.0.0.5 , 127.0.0.1,localhost,10.0.0.5");
    std::vector<std::string> bound = {"10.0.0.9"};
    std::vector<bool> added;
    for (const std::string& ip : SP::SplitBindList(bindIp)) added.push_back(SP::AddBoundIp(bound, ip));
    EXPECT_EQ(added, (std::vector<bool>{true, false, false, false}));
    EXPECT_EQ(bound, (std::vector<std::string>{"10.0.0.9", "10.0.0.5"}));
    EXPECT_TRUE(SP::SplitBindList(" , ").empty());
}

}  // namespace
}  // namespace MongoDbKax
