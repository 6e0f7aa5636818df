#pragma once
// Starting the platform's own programs (node processes, the utility process)
// as children that inherit one socket, and telling how they ended.
#include <sys/types.h>

#include <string>
#include <vector>

#include "host/ZuError.h"

namespace ChildProcess {

// The directory holding the platform's programs: environment variable
// KAX_BIN, else the directory of the running program.
std::string ProgramDirectory();
// The running program's path.
std::string SelfPath();

// Starts `path` with `argv` (argv[0] included). `inheritFd` stays open in the
// child (every other descriptor of this process is close-on-exec); standard
// input is /dev/null. Error 774 naming the reason when the program cannot be
// started (exec's own failure included).
CZuError Spawn(const std::string& path, const std::vector<std::string>& argv, int inheritFd,
               pid_t& pid);

// Waits up to `timeoutMs` for the child to end, then kills it (SIGKILL) and
// waits for that. Returns the wait status; `killed` tells whether it was killed.
int Reap(pid_t pid, int timeoutMs, bool& killed);

// "exited with status 3", "killed by signal 6 (Aborted)".
std::string DescribeStatus(int waitStatus);

}  // namespace ChildProcess
