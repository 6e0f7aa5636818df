#pragma once
// What an operator reads of an error: its messages from the outermost to the
// innermost on one line, without codes and code locations (the log has those).
#include <string>

#include "host/ZuError.h"

std::string ErrorText(const CZuError& err);
