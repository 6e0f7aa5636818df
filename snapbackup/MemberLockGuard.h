#pragma once
// Makes sure no member stays fsync-locked when the process that locked it
// dies. A member's fsync lock outlives the connection and the process that
// took it, so a node killed between lock and unlock would leave the
// secondary holding its writes and its replication until someone unlocks it.
//
// Start() forks a watchdog process (its own session, none of the parent's
// files or sockets) that reads the parent's lock reports from a pipe. When
// the pipe closes while a member reported locked has not been reported
// unlocked - the parent died, or it could not unlock - the watchdog unlocks
// that member itself, retrying for a while when the member does not answer.
// A member whose lock was being taken when the parent died is unlocked only
// if it was not locked before the parent tried, so a lock someone else holds
// is never released.
#include <sys/types.h>

#include <string>

#include "access/MongoDbUtil.h"

namespace MongoDbKax {

class MemberLockGuard {
public:
    MemberLockGuard() = default;
    // Closes the pipe: the watchdog unlocks what is still reported locked, then ends.
    ~MemberLockGuard();
    MemberLockGuard(const MemberLockGuard&) = delete;
    MemberLockGuard& operator=(const MemberLockGuard&) = delete;

    // Starts the watchdog with a copy of `util` (credentials, TLS, tools)
    // and a connection of its own. A guard that is running keeps running.
    CZuError Start(const MongoDbUtil& util);
    bool IsRunning() const { return m_pipe >= 0; }
    // The watchdog's process id (0 before Start).
    pid_t GetWatchdogPid() const { return m_watchdogPid; }

    // Reports, in this order per member: about to lock (and whether it was
    // locked already), locked, unlocked.
    void WillLock(const std::string& host, int port, bool lockedBefore);
    void Locked(const std::string& host, int port);
    void Unlocked(const std::string& host, int port);

    // Closes the pipe now (as the destructor does).
    void Close();

    // How long the watchdog keeps trying to unlock a member that does not answer.
    static constexpr int kRetrySeconds = 600;

private:
    void Report(char what, const std::string& host, int port, int extra);

    int m_pipe = -1;
    pid_t m_watchdogPid = 0;
};

}  // namespace MongoDbKax
