#pragma once
// Process-level platform state: the state root, the log file, the focus
// client (the machine identity this process acts as) and the management
// server's host name.
#include <string>

#include "host/ZuError.h"

class TWPI_PlatformBase {
public:
    // Initialises this process: checks the state root, opens the process's
    // log file "<state root>/logs/<processName>.log" (appending; only the last
    // path component of processName counts, so argv[0] will do) and sets the
    // log level from the setting nLogLevel of section Kestrix (default 0).
    // Error 1168 "state root [%s] does not exist" when the state root is
    // missing; nothing is logged then. Safe to call again: a later call
    // follows a changed KAX_ROOT and process name, re-reads the level, and
    // changes the focus client when one is given.
    static CZuError InitProcess(const std::string& processName,
                                const std::string& focusClient = "");

    // The state root: environment variable KAX_ROOT, default "/var/lib/kaxagent",
    // read at each call (whether or not it exists).
    static std::string GetStateRoot();
    // The state root when it exists as a directory, else error 1168.
    static CZuError GetExistingStateRoot(std::string& root);
    // The log file of this process ("" before InitProcess succeeded).
    static std::string GetLogFilePath();

    static void SetFocusClientName(const std::string& client);
    // The management server's host name (default "localhost").
    static std::string GetCorvaneHostName();
    static void SetCorvaneHostName(const std::string& host);
};

class TWPI_Focus {
public:
    // The client this process acts as ("" before it is set).
    static std::string getFocusClientName();
};

class TWPI_CommClient {
public:
    // "<state root>/clients/<client>/JobResults", created on demand; "" with an
    // error logged when it cannot be created. A client name that is empty or
    // not a plain file name (holding "/" or being "." or "..") is refused the
    // same way, so that no name can reach outside the clients directory.
    static std::string getJobResultsDirectory(const std::string& clientName);
    // The same with the reason of a failure.
    static CZuError GetJobResultsDirectory(const std::string& clientName, std::string& dir);
};
