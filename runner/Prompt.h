#pragma once
// Reading a secret from the operator.
#include <string>

#include "host/ZuError.h"

// On a terminal: shows `prompt` and reads one line with echo off. Otherwise
// reads one line from standard input (for scripts), without a prompt.
// Error 22 when nothing could be read.
CZuError ReadSecret(const std::string& prompt, std::string& secret);
