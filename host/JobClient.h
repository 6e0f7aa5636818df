#pragma once
// Job manager clients of the running job, and the events shown to the user.
#include <cstdint>
#include <string>
#include <vector>

#include "host/ZuError.h"

class TWJobClient {
public:
    virtual ~TWJobClient() = default;
    CZuError init(const std::string& managementHost, int64_t jobId, int kind);
    int64_t GetJobId() const { return m_jobId; }

    // Arguments for the next pending cause / event.
    void addEventArgument(const std::string& argument);
    // Records a pending cause with its message id and the arguments added so far
    // (the remaining parameters are the framework's and passed through).
    CZuError setPendingCauseAndEvent(uint32_t messageId, int a1 = 9, int a2 = 0, bool b1 = false,
                                     int eventType = 300, bool b2 = false, int a3 = 0, int a4 = 0,
                                     int a5 = 0, int a6 = 0);
    std::string getRestartString();
    CZuError setRestartString(const std::string& text);

protected:
    int64_t m_jobId = 0;
    std::vector<std::string> m_eventArguments;
};

class TWJobControlClient {
public:
    virtual ~TWJobControlClient() = default;
    CZuError init(int64_t jobId, const std::string& managementHost);
    bool isQuitRequested();
    CZuError setQuit(bool quit);

protected:
    int64_t m_jobId = 0;
};

class EvEvent {
public:
    static CZuError initialize(const std::string& processName);
    static void setJobId(int64_t jobId);
    // Records a major event by message id with its arguments.
    static CZuError MajorEvent(uint32_t messageId, const std::vector<std::string>& arguments);
    // Records an information event with free text.
    static CZuError InfoEvent(const std::string& text);
};
