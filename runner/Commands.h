#pragma once
// The operator's commands of kaxrun. Each command documents itself (--help)
// and returns the process exit status: 0 success, 1 failure (one line on
// standard error says why), 2 a command line that cannot be used.
#include <string>
#include <vector>

#include "host/ZuError.h"
#include "runner/CommandLine.h"

namespace Cli {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

struct Command {
    const char* name;     // the command words, e.g. "client register"
    const char* usage;    // synopsis after "kaxrun"
    const char* summary;  // one line for the command list
    const char* details;  // what it does and its options
    OptionSpec options;
    int (*run)(const CommandLine& line);
    bool needsStateRoot = true;
};

const std::vector<Command>& AllCommands();

// Prints "kaxrun: <message>" on standard error; returns kFailed.
int Fail(const std::string& message);

// Commands, by group.
int Init(const CommandLine& line);
int ClientRegister(const CommandLine& line);
int ClientList(const CommandLine& line);
int InstanceRegister(const CommandLine& line);
int InstanceList(const CommandLine& line);
int SettingSet(const CommandLine& line);
int SettingUnset(const CommandLine& line);
int SettingList(const CommandLine& line);
int Run(const CommandLine& line);
int Jobs(const CommandLine& line);
int JobShow(const CommandLine& line);
int Topology(const CommandLine& line);
int Index(const CommandLine& line);

// Seconds since the epoch as local "YYYY-MM-DD HH:MM:SS"; "-" for 0.
std::string FormatTime(int64_t seconds);

}  // namespace Cli
