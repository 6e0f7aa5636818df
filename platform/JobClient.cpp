// Job manager clients on top of the job store: every call goes to the state
// database at once, so another process of the same job sees it.
#include "host/JobClient.h"

#include <atomic>

#include "host/JobManager.h"
#include "host/LogWriter.h"
#include "platform/JobStore.h"

namespace {

CZuError CheckJobExists(int64_t jobId) {
    JobRecord job;
    CZuError err = JobStore::GetJob(jobId, job);
    return err.Push(FXLOC);
}

CZuError AddEvent(int64_t jobId, const char* kind, uint32_t messageId,
                  std::vector<std::string> arguments, std::string text) {
    JobEventRecord event;
    event.jobId = jobId;
    event.kind = kind;
    event.messageId = messageId;
    event.arguments = std::move(arguments);
    event.text = std::move(text);
    CZuError err = JobStore::AddEvent(std::move(event));
    return err.Push(FXLOC);
}

std::atomic<int64_t> g_eventJobId{0};

}  // namespace

// --- TWJobClient -------------------------------------------------------------

CZuError TWJobClient::init(const std::string& managementHost, int64_t jobId, int kind) {
    if (CZuError err = CheckJobExists(jobId)) return err.Push(FXLOC);
    m_jobId = jobId;
    m_eventArguments.clear();
    ZULOG(3, "Job client bound to job %lld (management host [%s], kind %d)", (long long)jobId,
          managementHost.c_str(), kind);
    return {};
}

CZuError TWJobClient::CheckBound(const FXCodeLocation& where) const {
    if (m_jobId > 0) return {};
    return FXErrorUtil::ErrorWin32(where, ZuCode::FunctionFailed, "the job client is not initialised");
}

void TWJobClient::addEventArgument(const std::string& argument) { m_eventArguments.push_back(argument); }

CZuError TWJobClient::setPendingCauseAndEvent(uint32_t messageId, int a1, int a2, bool b1, int eventType,
                                              bool b2, int a3, int a4, int a5, int a6) {
    if (CZuError err = CheckBound(FXLOC)) return err;
    std::vector<std::string> arguments;
    arguments.swap(m_eventArguments);
    std::string params = std::to_string(a1) + "," + std::to_string(a2) + "," + std::to_string(b1) + "," +
                         std::to_string(eventType) + "," + std::to_string(b2) + "," + std::to_string(a3) +
                         "," + std::to_string(a4) + "," + std::to_string(a5) + "," + std::to_string(a6);
    ZULOG_NORMAL("Pending cause 0x%08X on job %lld", messageId, (long long)m_jobId);
    CZuError err = AddEvent(m_jobId, JobEventKind::Pending, messageId, std::move(arguments), params);
    return err.Push(FXLOC);
}

std::string TWJobClient::getRestartString() {
    std::string text;
    if (CZuError err = getRestartString(text))
        ZULOG_ERROR("Cannot read the restart string: %s", err.AsString().c_str());
    return text;
}

CZuError TWJobClient::getRestartString(std::string& text) {
    text.clear();
    if (CZuError err = CheckBound(FXLOC)) return err;
    CZuError err = JobStore::GetText(m_jobId, JobText::RestartString, text);
    return err.Push(FXLOC);
}

CZuError TWJobClient::setRestartString(const std::string& text) {
    if (CZuError err = CheckBound(FXLOC)) return err;
    CZuError err = JobStore::SetText(m_jobId, JobText::RestartString, text);
    return err.Push(FXLOC);
}

CZuError TWJobClient::getXmlBlob(std::string& xml, int /*which*/) {
    xml.clear();
    if (CZuError err = CheckBound(FXLOC)) return err;
    CZuError err = JobStore::GetText(m_jobId, JobText::XmlBlob, xml);
    return err.Push(FXLOC);
}

CZuError TWJobClient::setXmlBlob(const std::string& xml, int /*which*/) {
    if (CZuError err = CheckBound(FXLOC)) return err;
    CZuError err = JobStore::SetText(m_jobId, JobText::XmlBlob, xml);
    return err.Push(FXLOC);
}

CZuError TWJobClient::sendJobInfoUpdate() {
    if (CZuError err = CheckBound(FXLOC)) return err;
    CZuError err = AddEvent(m_jobId, JobEventKind::Info, 0, {}, "Job information updated");
    return err.Push(FXLOC);
}

// --- TWJobControlClient ------------------------------------------------------

CZuError TWJobControlClient::init(int64_t jobId, const std::string& /*managementHost*/) {
    if (CZuError err = CheckJobExists(jobId)) return err.Push(FXLOC);
    m_jobId = jobId;
    return {};
}

bool TWJobControlClient::isQuitRequested() {
    bool quit = false;
    if (CZuError err = JobStore::GetQuit(m_jobId, quit)) {
        ZULOG_ERROR("Cannot read the quit flag of job %lld: %s", (long long)m_jobId, err.AsString().c_str());
        return false;
    }
    return quit;
}

CZuError TWJobControlClient::setQuit(bool quit) {
    ZULOG_NORMAL("Setting the quit flag of job %lld to %d", (long long)m_jobId, int(quit));
    CZuError err = JobStore::SetQuit(m_jobId, quit);
    return err.Push(FXLOC);
}

// --- TWBackupOperations ------------------------------------------------------

TWBackupOperations::TWBackupOperations(std::shared_ptr<TWJobClient> jobClient,
                                       std::shared_ptr<TWJobControlClient> jobControlClient)
    : m_jobId(jobClient ? jobClient->GetJobId() : jobControlClient ? jobControlClient->GetJobId() : 0) {}

void TWBackupOperations::concatPhaseParams(int phase, const std::string& params) {
    m_phaseParams.emplace_back(phase, params);
}

CZuError TWBackupOperations::updateInfo() {
    if (m_jobId <= 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "no job client for the backup operations");
    for (const auto& [phase, params] : m_phaseParams)
        if (CZuError err = JobStore::AppendPhaseParams(m_jobId, phase, params)) return err.Push(FXLOC);
    m_phaseParams.clear();
    if (m_postOpRequested)
        if (CZuError err = JobStore::SetPostOpRequested(m_jobId, true)) return err.Push(FXLOC);
    return {};
}

// --- EvEvent -----------------------------------------------------------------

CZuError EvEvent::initialize(const std::string& processName) {
    ZULOG(3, "Event service initialised for [%s]", processName.c_str());
    return {};
}

void EvEvent::setJobId(int64_t jobId) { g_eventJobId = jobId; }

int64_t EvEvent::getJobId() { return g_eventJobId; }

CZuError EvEvent::MajorEvent(uint32_t messageId, const std::vector<std::string>& arguments) {
    ZULOG_NORMAL("Major event 0x%08X", messageId);
    if (g_eventJobId <= 0) return {};
    CZuError err = AddEvent(g_eventJobId, JobEventKind::Major, messageId, arguments, "");
    return err.Push(FXLOC);
}

CZuError EvEvent::InfoEvent(uint32_t messageId, const std::vector<std::string>& arguments) {
    ZULOG(2, "Information event 0x%08X", messageId);
    if (g_eventJobId <= 0) return {};
    CZuError err = AddEvent(g_eventJobId, JobEventKind::Info, messageId, arguments, "");
    return err.Push(FXLOC);
}

CZuError EvEvent::InfoEvent(const std::string& text) {
    ZULOG(2, "Information event: %s", text.c_str());
    if (g_eventJobId <= 0) return {};
    CZuError err = AddEvent(g_eventJobId, JobEventKind::Info, 0, {}, text);
    return err.Push(FXLOC);
}

// --- job records the module reads ---------------------------------------------

CZuError TWJobTask::GetJobOptionsXml(int64_t jobId, std::string& xml) {
    if (CZuError err = JobStore::GetText(jobId, JobText::OptionsXml, xml)) return err.Push(FXLOC);
    if (xml.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "job %lld has no options", (long long)jobId);
    return {};
}

CZuError App::MiscOptions::getMiscOption(int64_t jobId, int optionId, std::string& value) {
    CZuError err = JobStore::GetMiscOption(jobId, optionId, value);
    return err.Push(FXLOC);
}

CZuError App::MiscOptions::setMiscOption(int64_t jobId, int optionId, const std::string& value) {
    CZuError err = JobStore::SetMiscOption(jobId, optionId, value);
    return err.Push(FXLOC);
}
