// The lock watchdog: when its channel closes it unlocks what was reported
// locked and not unlocked, and never a lock someone else holds.
#include <chrono>
#include <thread>

#include "snapbackup/MemberLockGuard.h"
#include "tests/snapbackup/SnapNodeKit.h"

namespace MongoDbKax::testing {
namespace {

class NodeLockGuardTest : public NodeKitTest {
protected:
    // Closes the guard's channel and waits until its watchdog has ended.
    void CloseAndWait(MemberLockGuard& guard) {
        const pid_t pid = guard.GetWatchdogPid();
        ASSERT_GT(pid, 0);
        guard.Close();
        const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
        for (int i = 0; i < 300; ++i) {
            const std::string text = ReadFileText(stat);
            const size_t close = text.rfind(')');
            if (text.empty() || (close != std::string::npos && text.compare(close + 2, 1, "Z") == 0)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "the watchdog did not end";
    }
};

TEST_F(NodeLockGuardTest, UnlocksWhatWasLeftLockedAndOnlyThat) {
    struct Case {
        const char* what;
        bool lockedBefore;  // someone else's lock was there first
        bool confirmed;     // our lock was reported taken
        bool unlockedByUs;  // and reported released
        bool lockedAfter;
    };
    const std::vector<Case> cases = {
        {"locked and left", false, true, false, false},
        {"lock under way when the process died", false, false, false, false},
        {"someone else's lock, ours not taken", true, false, false, true},
        {"someone else's lock under ours", true, true, false, true},
        {"released normally", false, true, true, false},
    };
    for (const Case& c : cases) {
        if (c.lockedBefore) {
            ASSERT_EQ(kit.QuiesceDB(secIp, secPort), 0);
        }
        MemberLockGuard guard;
        ASSERT_FALSE(guard.Start(kit).IsError());
        guard.WillLock(secIp, secPort, c.lockedBefore);
        if (c.confirmed || !c.lockedBefore) {
            ASSERT_EQ(kit.QuiesceDB(secIp, secPort), 0);
        }
        if (c.confirmed) guard.Locked(secIp, secPort);
        if (c.unlockedByUs) {
            ASSERT_EQ(kit.UnQuiesceDB(secIp, secPort), 0);
            guard.Unlocked(secIp, secPort);
        }
        CloseAndWait(guard);
        EXPECT_EQ(SecondaryLocked(), c.lockedAfter) << c.what;
        for (int n = 0; n < 3 && SecondaryLocked(); ++n) kit.UnQuiesceDB(secIp, secPort);
    }
}

TEST_F(NodeLockGuardTest, AReleasedMemberLockedAgainByOthersStaysLocked) {
    MemberLockGuard guard;
    ASSERT_FALSE(guard.Start(kit).IsError());
    guard.WillLock(secIp, secPort, false);
    ASSERT_EQ(kit.QuiesceDB(secIp, secPort), 0);
    guard.Locked(secIp, secPort);
    ASSERT_EQ(kit.UnQuiesceDB(secIp, secPort), 0);
    guard.Unlocked(secIp, secPort);
    ASSERT_EQ(kit.QuiesceDB(secIp, secPort), 0);  // an operator's lock afterwards
    CloseAndWait(guard);
    EXPECT_TRUE(SecondaryLocked());
}

}  // namespace
}  // namespace MongoDbKax::testing
