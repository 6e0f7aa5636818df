#pragma once
// Local process execution.
#include <functional>
#include <string>
#include <sys/types.h>

class TwProcess {
public:
    // Runs `command` through /bin/sh -c (redirections and here-documents work).
    // Returns the shell's exit status: 127 when the shell cannot find the
    // program, 128+n when it died of signal n, -1 when no shell could be
    // started. Standard output and standard error are captured separately.
    // A command flagged `secret` never reaches a log line (it may carry a
    // password in a here-document).
    static int system(const std::string& command, std::string& out, std::string& err,
                      int flags = 0, bool secret = false);

    // Forks; the child runs `postFork` and exits with its result (it may also
    // exec). Returns the child's pid in the parent, or -1 with the reason in
    // `errorText` (at most `errorSize` bytes).
    static pid_t Fork(const std::function<int()>& postFork, char* errorText, size_t errorSize);
};
