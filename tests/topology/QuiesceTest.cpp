// Write locks of one member: counts, nesting, and the release-3.2 refusal of
// a member that someone else already locked.
#include "tests/access/AccessTestSupport.h"
#include "tests/topology/TopologyKit.h"

namespace MongoDbKax::testing {
namespace {

class QuiesceTest : public AccessTest {
protected:
    static void SetUpTestSuite() {
        s_dir = ScratchDir("quiesce");
        s_set = new KitReplicaSet();
        s_set->Up(s_dir + "/rs", "members=2, ip_base=36");
        // Tools that present themselves as release 3.2.
        s_tools32 = s_dir + "/tools32";
        Shell(kKitBin + "/mongo-cluster tooldir --dir '" + s_tools32 + "' --version 3.2.22 >/dev/null");
    }
    static void TearDownTestSuite() {
        delete s_set;
        s_set = nullptr;
        CZuDirectory::RemoveTree(s_dir);
    }
    void SetUp() override {
        AccessTest::SetUp();
        ASSERT_TRUE(s_set && s_set->state.is_object()) << s_set->error;
        const int secondary = s_set->Host(0) == s_set->Primary() ? 1 : 0;
        host = s_set->Ip(secondary);
        port = s_set->Port(secondary);
        current.SetBinPath(kKitBin);
        v32.SetBinPath(s_tools32);
        ASSERT_FALSE(current.isMongodVersion32());
        ASSERT_TRUE(v32.isMongodVersion32());
    }
    void TearDown() override {
        // Leave the member unlocked for the next test whatever happened.
        for (int i = 0; i < 4 && Locked(); ++i) current.UnQuiesceDB(host, port);
    }

    bool Locked() {
        bool locked = false;
        EXPECT_FALSE(current.GetDBLockStatus(host, port, locked).IsError());
        return locked;
    }

    static inline KitReplicaSet* s_set = nullptr;
    static inline std::string s_dir, s_tools32;
    std::string host;
    int port = 0;
    MongoDbUtil current, v32;
};

TEST_F(QuiesceTest, NestedLocksNeedAsManyUnlocks) {
    EXPECT_FALSE(Locked());
    ASSERT_EQ(current.QuiesceDB(host, port), 0);
    EXPECT_TRUE(Locked());
    // A second lock nests (lock count 2) and still succeeds on current releases.
    ASSERT_EQ(current.QuiesceDB(host, port), 0);
    // An unlock that leaves the count above zero succeeds; the member stays locked.
    EXPECT_EQ(current.UnQuiesceDB(host, port), 0);
    EXPECT_TRUE(Locked());
    EXPECT_EQ(current.UnQuiesceDB(host, port), 0);
    EXPECT_FALSE(Locked());
    // Unlocking a member that is not locked is refused by the server.
    EXPECT_EQ(current.UnQuiesceDB(host, port), -1);
    EXPECT_NE(ReadLog().find("[fsync] succeeded"), std::string::npos);
}

TEST_F(QuiesceTest, Release32RefusesAnAlreadyLockedMemberWithoutLockingIt) {
    ASSERT_EQ(current.QuiesceDB(host, port), 0);  // someone else's lock
    EXPECT_EQ(v32.QuiesceDB(host, port), -1);
    EXPECT_NE(ReadLog().find("is already locked.  Make sure to run fsyncUnlock() before submitting "
                             "the backup"),
              std::string::npos);
    // Had the 3.2 path sent its lock, one unlock would leave the member locked.
    ASSERT_EQ(current.UnQuiesceDB(host, port), 0);
    EXPECT_FALSE(Locked());

    // An unlocked member is locked and unlocked normally on 3.2.
    EXPECT_EQ(v32.QuiesceDB(host, port), 0);
    EXPECT_TRUE(Locked());
    EXPECT_EQ(v32.UnQuiesceDB(host, port), 0);
    EXPECT_FALSE(Locked());
}

TEST_F(QuiesceTest, UnreachableMemberFails) {
    const int nobody = FreePort("127.0.0.39");
    EXPECT_EQ(current.QuiesceDB("127.0.0.39", nobody), -1);
    bool locked = true;
    const CZuError err = current.GetDBLockStatus("127.0.0.39", nobody, locked);
    EXPECT_TRUE(err.IsError());
    EXPECT_EQ(err.GetMessage(), "Failed to check if instance is in locked state.");
    EXPECT_FALSE(locked);
}

}  // namespace
}  // namespace MongoDbKax::testing
