#pragma once
// Process-level platform state: the state root, the log file, the focus
// client (the machine identity this process acts as) and the management
// server's host name.
#include <string>

#include "host/ZuError.h"

class TWPI_PlatformBase {
public:
    // Initialises this process once: resolves the state root (environment
    // variable KAX_ROOT, default "/var/lib/kaxagent"), opens the process's log
    // file and sets the log level from the settings. Error 1168 when the
    // state root does not exist. Safe to call again (later calls only change
    // the focus client when one is given).
    static CZuError InitProcess(const std::string& processName,
                                const std::string& focusClient = "");
    static std::string GetStateRoot();

    static void SetFocusClientName(const std::string& client);
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
    // The per-client directory for job results (created on demand).
    static std::string getJobResultsDirectory(const std::string& clientName);
};
