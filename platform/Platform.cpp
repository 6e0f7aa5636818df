#include "host/Platform.h"

#include <cstdlib>
#include <mutex>

#include "host/Files.h"
#include "host/LogWriter.h"
#include "host/PlatformInfo.h"
#include "platform/FileLogWriter.h"

namespace {

constexpr const char* kDefaultStateRoot = "/var/lib/kaxagent";
constexpr int kDefaultLogLevel = 0;

struct ProcessState {
    std::mutex mutex;
    std::string focusClient;
    std::string corvaneHost = "localhost";
    std::string logFile;
};

ProcessState& State() {
    static ProcessState* state = new ProcessState();  // outlives static destructors
    return *state;
}

std::string ReadField(std::string ProcessState::*field) {
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().*field;
}

void WriteField(std::string ProcessState::*field, const std::string& value) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().*field = value;
}

// A name used as one path component: no separators and no climbing.
bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

}  // namespace

std::string TWPI_PlatformBase::GetStateRoot() {
    const char* root = std::getenv("KAX_ROOT");
    return root && *root ? std::string(root) : std::string(kDefaultStateRoot);
}

CZuError TWPI_PlatformBase::GetExistingStateRoot(std::string& root) {
    root = GetStateRoot();
    if (!FXFile::IsDirectory(root))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "state root [%s] does not exist", root.c_str());
    return CZuError::Success();
}

CZuError TWPI_PlatformBase::InitProcess(const std::string& processName, const std::string& focusClient) {
    std::string root;
    CZuError err = GetExistingStateRoot(root);
    if (err) return err.Push(FXLOC);
    // argv[0] will do: only its last component names the log.
    std::string name = FXPath::LastComponent(processName);
    if (!IsPlainName(name))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "invalid process name [%s]",
                                       processName.c_str());
    std::string logDir = FXPath::Join(root, "logs");
    err = CZuDirectory::Create(logDir, 0755);
    if (err) return err.Push(FXLOC);
    std::string logFile = FXPath::Join(logDir, name + ".log");

    FileLogWriter& writer = FileLogWriter::Instance();
    if (writer.GetPath() != logFile) {
        err = writer.Open(logFile);
        if (err) return err.Push(FXLOC);
    }
    WriteField(&ProcessState::logFile, logFile);
    if (!focusClient.empty()) WriteField(&ProcessState::focusClient, focusClient);
    g_ptrLogWriter = &writer;

    int level = kDefaultLogLevel;
    TWPlatformInfo::getNumber(TWSettingSections::Agent, "nLogLevel", level);
    writer.SetLevel(level < -1 ? -1 : level);
    ZULOG_NORMAL("Process [%s] started with state root [%s], log level %d, focus client [%s]",
                 name.c_str(), root.c_str(), writer.GetLevel(), TWPI_Focus::getFocusClientName().c_str());
    return CZuError::Success();
}

std::string TWPI_PlatformBase::GetLogFilePath() { return ReadField(&ProcessState::logFile); }

void TWPI_PlatformBase::SetFocusClientName(const std::string& client) {
    WriteField(&ProcessState::focusClient, client);
}

std::string TWPI_PlatformBase::GetCorvaneHostName() { return ReadField(&ProcessState::corvaneHost); }

void TWPI_PlatformBase::SetCorvaneHostName(const std::string& host) {
    WriteField(&ProcessState::corvaneHost, host);
}

std::string TWPI_Focus::getFocusClientName() { return ReadField(&ProcessState::focusClient); }

CZuError TWPI_CommClient::GetJobResultsDirectory(const std::string& clientName, std::string& dir) {
    dir.clear();
    if (!IsPlainName(clientName))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "invalid client name [%s]",
                                       clientName.c_str());
    std::string root;
    CZuError err = TWPI_PlatformBase::GetExistingStateRoot(root);
    if (err) return err.Push(FXLOC);
    std::string path = FXPath::Join(FXPath::Join(FXPath::Join(root, "clients"), clientName), "JobResults");
    err = CZuDirectory::Create(path, 0755);
    if (err) return err.Push(FXLOC);
    dir = path;
    return CZuError::Success();
}

std::string TWPI_CommClient::getJobResultsDirectory(const std::string& clientName) {
    std::string dir;
    CZuError err = GetJobResultsDirectory(clientName, dir);
    if (err) ZULOG_ERROR("No job results directory for client [%s]: %s", clientName.c_str(), err.AsString().c_str());
    return dir;
}
