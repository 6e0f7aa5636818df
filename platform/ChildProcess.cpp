#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "host/Files.h"

namespace ChildProcess {

std::string SelfPath() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, size_t(n));
}

std::string ProgramDirectory() {
    const char* dir = std::getenv("KAX_BIN");
    if (dir && *dir) return dir;
    return FXPath::Parent(SelfPath());
}

CZuError Spawn(const std::string& path, const std::vector<std::string>& argv, int inheritFd, pid_t& pid) {
    pid = -1;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "pipe failed");
    int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);

    pid_t child = fork();
    if (child < 0) {
        int e = errno;
        close(errorPipe[0]);
        close(errorPipe[1]);
        if (devNull >= 0) close(devNull);
        return FXErrorUtil::ErrorErrNo(FXLOC, e, "fork failed");
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        if (devNull >= 0) dup2(devNull, STDIN_FILENO);
        if (inheritFd >= 0) {
            int flags = fcntl(inheritFd, F_GETFD);
            if (flags >= 0) fcntl(inheritFd, F_SETFD, flags & ~FD_CLOEXEC);
        }
        execv(path.c_str(), args.data());
        int e = errno;
        ssize_t ignored = write(errorPipe[1], &e, sizeof e);
        (void)ignored;
        _exit(127);
    }
    close(errorPipe[1]);
    if (devNull >= 0) close(devNull);
    int childErrno = 0;
    ssize_t n;
    do {
        n = read(errorPipe[0], &childErrno, sizeof childErrno);
    } while (n < 0 && errno == EINTR);
    close(errorPipe[0]);
    if (n == ssize_t(sizeof childErrno)) {
        int status = 0;
        waitpid(child, &status, 0);
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "cannot run [%s]: %s", path.c_str(),
                                       std::strerror(childErrno));
    }
    pid = child;
    return {};
}

int Reap(pid_t pid, int timeoutMs, bool& killed) {
    killed = false;
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno != EINTR) return status;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    killed = true;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string DescribeStatus(int waitStatus) {
    if (WIFEXITED(waitStatus)) return "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
    if (WIFSIGNALED(waitStatus)) {
        int sig = WTERMSIG(waitStatus);
        const char* name = strsignal(sig);
        return "killed by signal " + std::to_string(sig) + (name ? std::string(" (") + name + ")" : "");
    }
    return "ended with wait status " + std::to_string(waitStatus);
}

}  // namespace ChildProcess
