#include "host/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/LogWriter.h"

extern char** environ;

namespace {

// What a log line shows in place of a command that may hold a secret.
constexpr const char* kWithheld = "<command withheld>";
// Where a secret command's shell reads its script.
constexpr int kScriptFd = 3;

struct Pipe {
    int fd[2] = {-1, -1};
    ~Pipe() { CloseBoth(); }
    bool Open() { return ::pipe2(fd, O_CLOEXEC) == 0; }
    void Close(int end) {
        if (fd[end] >= 0) ::close(fd[end]);
        fd[end] = -1;
    }
    void CloseBoth() {
        Close(0);
        Close(1);
    }
};

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

// Reads both output pipes until both reach end of file, while writing
// `input` to `inFd` (then closing it). Doing all of it in one loop keeps a
// child that fills one pipe while we wait on another from blocking.
void ExchangeWithChild(int outFd, int errFd, std::string& out, std::string& err, int inFd,
                       const std::string& input) {
    struct pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {inFd, POLLOUT, 0}};
    std::string* sinks[2] = {&out, &err};
    size_t written = 0;
    if (inFd >= 0 && input.empty()) {
        ::close(inFd);
        fds[2].fd = -1;
    }
    // A shell that exits before reading all its input must not kill us with
    // SIGPIPE: block it on this thread and discard any that arrives.
    sigset_t pipeSignal, previousMask;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    const bool writing = fds[2].fd >= 0;
    if (writing) pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
    int open = 2;
    char buffer[65536];
    while (open > 0 || fds[2].fd >= 0) {
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;  // end of file (or a read error): stop watching
                --open;
            }
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0) {
            // Without POLLOUT the reader is gone (POLLERR): the rest is not wanted.
            bool readerGone = !(fds[2].revents & POLLOUT);
            if (!readerGone) {
                ssize_t n = ::write(fds[2].fd, input.data() + written, input.size() - written);
                if (n > 0) written += static_cast<size_t>(n);
                readerGone = n < 0 && errno != EINTR && errno != EAGAIN;
            }
            if (written == input.size() || readerGone) {
                ::close(fds[2].fd);
                fds[2].fd = -1;
            }
        }
    }
    if (writing) {
        const struct timespec immediately = {0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &immediately) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    }
}

}  // namespace

int TwProcess::system(const std::string& command, std::string& out, std::string& err, int /*flags*/,
                      bool secret) {
    out.clear();
    err.clear();
    const char* shown = secret ? kWithheld : command.c_str();
    ZULOG(3, "Running [%s]", shown);

    // A secret command reaches the shell through a pipe rather than its
    // argument vector, which any user on the machine can read in /proc.
    Pipe outPipe, errPipe, scriptPipe;
    if (!outPipe.Open() || !errPipe.Open() || (secret && !scriptPipe.Open())) {
        ZULOG_ERROR("Cannot create pipes for [%s]: %s", shown, std::strerror(errno));
        return -1;
    }
    SpawnSetup setup;
    // The child reads nothing from us: a command that asks for input gets end
    // of file instead of hanging on the job's terminal or socket.
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, outPipe.fd[1], 1);
    posix_spawn_file_actions_adddup2(&setup.actions, errPipe.fd[1], 2);
    if (secret) posix_spawn_file_actions_adddup2(&setup.actions, scriptPipe.fd[0], kScriptFd);
    // Default signal handling and no blocked signals, whatever this process set up.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    // The script closes its own descriptor first so that the programs it
    // starts do not inherit it.
    const std::string script = secret ? "exec " + std::to_string(kScriptFd) + "<&-\n" + command + "\n" : "";
    const std::string scriptPath = "/dev/fd/" + std::to_string(kScriptFd);
    const char* argvPlain[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    const char* argvSecret[] = {"/bin/sh", scriptPath.c_str(), nullptr};
    const char** argv = secret ? argvSecret : argvPlain;
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, "/bin/sh", &setup.actions, &setup.attributes, const_cast<char* const*>(argv),
                           environ);
    if (rc != 0) {
        ZULOG_ERROR("Cannot start /bin/sh for [%s]: %s", shown, std::strerror(rc));
        return -1;
    }
    outPipe.Close(1);
    errPipe.Close(1);
    scriptPipe.Close(0);
    int scriptFd = scriptPipe.fd[1];
    scriptPipe.fd[1] = -1;  // closed by ExchangeWithChild
    ExchangeWithChild(outPipe.fd[0], errPipe.fd[0], out, err, scriptFd, script);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            ZULOG_ERROR("Cannot wait for [%s]: %s", shown, std::strerror(errno));
            return -1;
        }
    }
    int result = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    ZULOG(3, "Command [%s] ended with status %d (%zu bytes of output, %zu of errors)", shown, result, out.size(),
          err.size());
    return result;
}

pid_t TwProcess::Fork(const std::function<int()>& postFork, char* errorText, size_t errorSize) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int result = 1;
        try {
            result = postFork ? postFork() : 0;
        } catch (...) {
        }
        ::_exit(result);
    }
    if (pid < 0) {
        int error = errno;
        ZULOG_ERROR("fork failed: %s", std::strerror(error));
        if (errorText && errorSize > 0) std::snprintf(errorText, errorSize, "fork failed: %s", std::strerror(error));
    }
    return pid;
}
