#include "runner/Prompt.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

CZuError ReadSecret(const std::string& prompt, std::string& secret) {
    secret.clear();
    bool terminal = isatty(STDIN_FILENO);
    termios saved{};
    if (terminal) {
        std::fprintf(stderr, "%s", prompt.c_str());
        std::fflush(stderr);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    bool got = static_cast<bool>(std::getline(std::cin, secret));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    }
    if (!secret.empty() && secret.back() == '\r') secret.pop_back();
    if (!got) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "no password was given");
    return {};
}
