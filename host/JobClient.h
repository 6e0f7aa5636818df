#pragma once
// Job manager clients of the running job, and the events shown to the user.
// Everything is recorded on the job in the state database, so it outlives the
// job's processes and shows in the operator's job view.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/ZuError.h"

class TWJobClient {
public:
    virtual ~TWJobClient() = default;
    // Binds the client to the job; error 1168 when no such job exists. The
    // management host and kind are the framework's and only recorded.
    CZuError init(const std::string& managementHost, int64_t jobId, int kind = 0);
    int64_t GetJobId() const { return m_jobId; }

    // Arguments for the next pending cause or event.
    void addEventArgument(const std::string& argument);
    // Records a pending cause (and its event) with the message id and the
    // arguments added since the last one. The numeric parameters are the
    // framework's; they are kept with the record.
    CZuError setPendingCauseAndEvent(uint32_t messageId, int a1 = 9, int a2 = 0, bool b1 = false,
                                     int eventType = 300, bool b2 = false, int a3 = 0, int a4 = 0,
                                     int a5 = 0, int a6 = 0);
    // "" when none was set.
    std::string getRestartString();
    CZuError getRestartString(std::string& text);
    CZuError setRestartString(const std::string& text);
    // The job's XML blob; `which` is the framework's selector and does not
    // pick a different blob (writers pass 0, readers 2).
    CZuError getXmlBlob(std::string& xml, int which = 2);
    CZuError setXmlBlob(const std::string& xml, int which = 0);
    // Publishes the values set so far (they are stored at once; this records
    // an information update on the job).
    CZuError sendJobInfoUpdate();

protected:
    CZuError CheckBound(const FXCodeLocation& where) const;

    int64_t m_jobId = 0;
    std::vector<std::string> m_eventArguments;
};

// The job client of a backup phase.
class TWBackupJobClient : public TWJobClient {};
// The job client of a restore phase (tested with dynamic_cast by the module).
class TWRestoreJobClient : public TWJobClient {};

class TWJobControlClient {
public:
    virtual ~TWJobControlClient() = default;
    CZuError init(int64_t jobId, const std::string& managementHost = "");
    int64_t GetJobId() const { return m_jobId; }
    // The job's quit flag: set by a coordinator (node start failure) or by the
    // operator. False when it cannot be read (the failure is logged).
    bool isQuitRequested();
    CZuError setQuit(bool quit);

protected:
    int64_t m_jobId = 0;
};

// Requests a job makes of its later phases (a log backup asks for the
// post-operation phase and gives it its parameters).
class TWBackupOperations {
public:
    TWBackupOperations(std::shared_ptr<TWJobClient> jobClient,
                       std::shared_ptr<TWJobControlClient> jobControlClient);
    // The runner runs the post-operation phase after this phase succeeds.
    void requestPostOpPhase() { m_postOpRequested = true; }
    // Appends `params` (blank-separated) to the arguments of the job's phase
    // number `phase` (1 = the first phase, 2 = the post-operation phase).
    void concatPhaseParams(int phase, const std::string& params);
    // Stores the requests made so far on the job.
    CZuError updateInfo();

private:
    int64_t m_jobId;
    bool m_postOpRequested = false;
    std::vector<std::pair<int, std::string>> m_phaseParams;
};

class EvEvent {
public:
    // Names this process's events; safe to call again.
    static CZuError initialize(const std::string& processName);
    // The job later events belong to (0: events are only logged).
    static void setJobId(int64_t jobId);
    static int64_t getJobId();
    // A major event by message id with its arguments.
    static CZuError MajorEvent(uint32_t messageId, const std::vector<std::string>& arguments);
    // An information event; message id 0 when it has none in the catalogue.
    static CZuError InfoEvent(uint32_t messageId, const std::vector<std::string>& arguments);
    static CZuError InfoEvent(const std::string& text);
};
