#include "snapbackup/MemberLockGuard.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "host/LogWriter.h"
#include "host/Platform.h"

namespace MongoDbKax {
namespace {

constexpr int kStartTimeoutMs = 10000;

// The watchdog's log: lines appended to the parent's log file with one
// write(2) each. The parent's writer is not usable after fork (its lock may
// have been held by another thread at that moment).
class DescriptorLog : public CLogWriterInterface {
public:
    DescriptorLog(int fd, int level) : m_fd(fd), m_level(level) {}
    int GetLevel() const override { return m_level; }
    void SetLevel(int level) override { m_level = level; }
    void WriteV(int level, const char* function, int line, const char* format, va_list args) override {
        if (m_fd < 0) return;
        char text[4096];
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        localtime_r(&now, &tm);
        int n = int(std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm));
        n += std::snprintf(text + n, sizeof text - size_t(n), " %d lock-guard %d %s:%d ", int(::getpid()),
                           level, function, line);
        if (n < int(sizeof text)) n += std::vsnprintf(text + n, sizeof text - size_t(n), format, args);
        n = std::min(n, int(sizeof text) - 1);
        text[n++] = '\n';
        if (::write(m_fd, text, size_t(n)) < 0) return;
    }

private:
    int m_fd;
    int m_level;
};

struct Member {
    std::string host;
    int port = 0;
    bool lockedBefore = false;
    bool confirmed = false;
    bool unlocked = false;
};

Member* Find(std::vector<Member>& members, const std::string& host, int port) {
    for (Member& m : members)
        if (m.host == host && m.port == port) return &m;
    return nullptr;
}

// One line: "<kind> <port> <extra> <host>".
void Apply(std::vector<Member>& members, const std::string& line) {
    char kind = 0;
    int port = 0, extra = 0, used = 0;
    if (std::sscanf(line.c_str(), "%c %d %d %n", &kind, &port, &extra, &used) < 3 || used <= 0) return;
    const std::string host = line.substr(size_t(used));
    Member* m = Find(members, host, port);
    if (kind == 'L') {
        if (!m) m = &members.emplace_back();
        *m = Member{host, port, extra != 0, false, false};
    } else if (m && kind == 'C') {
        m->confirmed = true;
    } else if (m && kind == 'U') {
        m->unlocked = true;
    }
}

// Unlocks the members the parent left locked; true when nothing is left.
bool ReleaseOnce(MongoDbUtil& util, std::vector<Member>& pending) {
    for (auto it = pending.begin(); it != pending.end();) {
        bool locked = false;
        if (CZuError err = util.GetDBLockStatus(it->host, it->port, locked)) {
            ++it;  // not answering now; try again later
            continue;
        }
        if (!locked) {
            ZULOG_NORMAL("Secondary [%s:%d] is not locked any more", it->host.c_str(), it->port);
        } else if (util.UnQuiesceDB(it->host, it->port) == 0) {
            ZULOG_NORMAL("Unlocked secondary [%s:%d] that the snapshot process left locked", it->host.c_str(),
                         it->port);
        } else {
            ++it;
            continue;
        }
        it = pending.erase(it);
    }
    return pending.empty();
}

[[noreturn]] void RunWatchdog(int channel, MongoDbUtil& util) {
    std::vector<Member> members;
    std::string buffer;
    char chunk[1024];
    for (;;) {
        const ssize_t n = ::read(channel, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buffer.append(chunk, size_t(n));
        for (size_t eol; (eol = buffer.find('\n')) != std::string::npos; buffer.erase(0, eol + 1))
            Apply(members, buffer.substr(0, eol));
    }
    std::vector<Member> pending;
    for (const Member& m : members) {
        if (m.unlocked) continue;
        if (!m.confirmed && m.lockedBefore) {
            ZULOG_ERROR("Secondary [%s:%d] was locked before the snapshot process tried to lock it; "
                        "leaving its lock to its owner",
                        m.host.c_str(), m.port);
            continue;
        }
        pending.push_back(m);
    }
    if (!pending.empty()) {
        ZULOG_ERROR("The snapshot process ended with %zu secondary(ies) not unlocked; unlocking them",
                    pending.size());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(MemberLockGuard::kRetrySeconds);
        auto delay = std::chrono::milliseconds(500);
        while (!ReleaseOnce(util, pending) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(delay);
            delay = std::min(delay * 2, std::chrono::milliseconds(10000));
        }
        for (const Member& m : pending)
            ZULOG_ERROR("Gave up unlocking secondary [%s:%d]: unlock it by hand (db.fsyncUnlock())",
                        m.host.c_str(), m.port);
    }
    ::_exit(0);
}

// Keeps 0-2 (on /dev/null) and `keep`, closes every other descriptor.
void CloseAllExcept(std::vector<int> keep) {
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd)
        if (null >= 0 && null != fd) ::dup2(null, fd);
    keep.erase(std::remove(keep.begin(), keep.end(), -1), keep.end());
    std::sort(keep.begin(), keep.end());
    unsigned from = 3;
    for (int fd : keep) {
        if (unsigned(fd) > from) ::close_range(from, unsigned(fd) - 1, 0);
        from = std::max(from, unsigned(fd) + 1);
    }
    ::close_range(from, ~0U, 0);
}

}  // namespace

MemberLockGuard::~MemberLockGuard() { Close(); }

void MemberLockGuard::Close() {
    if (m_pipe >= 0) ::close(m_pipe);
    m_pipe = -1;
}

CZuError MemberLockGuard::Start(const MongoDbUtil& util) {
    if (m_pipe >= 0) return {};
    // Everything that reads settings or the management database happens
    // here, before the fork: the watchdog only talks to the members.
    MongoDbUtil watchdogUtil(util);
    watchdogUtil.isMongodVersion32();
    if (watchdogUtil.GetInstanceId() == 0 ||
        watchdogUtil.InitializeMongoDbConnection(watchdogUtil.GetInstanceId()) != 0)
        watchdogUtil.InitializeMongoDbConnection(std::string(), std::string());

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot create the lock watchdog's channel");
    const std::string logPath = TWPI_PlatformBase::GetLogFilePath();
    const int logFd = logPath.empty() ? -1 : ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    const int level = g_ptrLogWriter ? g_ptrLogWriter->GetLevel() : 0;

    const pid_t child = ::fork();
    if (child == 0) {
        // A session of its own, and a grandchild nobody waits for: neither a
        // kill of the parent's process group nor its exit ends the watchdog.
        ::setsid();
        if (::fork() != 0) ::_exit(0);
        CloseAllExcept({pair[0], logFd});
        ::prctl(PR_SET_NAME, "kax-lockguard");
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        ::signal(SIGPIPE, SIG_IGN);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        static DescriptorLog log(logFd, level);
        g_ptrLogWriter = &log;
        const pid_t self = ::getpid();
        if (::write(pair[0], &self, sizeof self) != ssize_t(sizeof self)) ::_exit(1);
        RunWatchdog(pair[0], watchdogUtil);
    }
    const int forkError = errno;
    ::close(pair[0]);
    if (logFd >= 0) ::close(logFd);
    if (child < 0) {
        ::close(pair[1]);
        return FXErrorUtil::ErrorErrNo(FXLOC, forkError, "cannot start the lock watchdog");
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The watchdog announces itself once it is ready to listen.
    pollfd ready{pair[1], POLLIN, 0};
    pid_t pid = 0;
    if (::poll(&ready, 1, kStartTimeoutMs) != 1 || ::read(pair[1], &pid, sizeof pid) != ssize_t(sizeof pid)) {
        ::close(pair[1]);
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "the lock watchdog did not start");
    }
    m_pipe = pair[1];
    m_watchdogPid = pid;
    ZULOG(2, "Started the lock watchdog (process %d)", int(pid));
    return {};
}

void MemberLockGuard::Report(char what, const std::string& host, int port, int extra) {
    if (m_pipe < 0) return;
    const std::string line = std::string(1, what) + " " + std::to_string(port) + " " + std::to_string(extra) +
                             " " + host + "\n";
    if (::send(m_pipe, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
        ZULOG_ERROR("The lock watchdog did not take [%c %s:%d]: %s", what, host.c_str(), port, strerror(errno));
}

void MemberLockGuard::WillLock(const std::string& host, int port, bool lockedBefore) {
    Report('L', host, port, lockedBefore ? 1 : 0);
}
void MemberLockGuard::Locked(const std::string& host, int port) { Report('C', host, port, 0); }
void MemberLockGuard::Unlocked(const std::string& host, int port) { Report('U', host, port, 0); }

}  // namespace MongoDbKax
