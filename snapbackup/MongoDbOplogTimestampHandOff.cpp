// MongoDbBackupCoordinator: turning the nodes' oplog points into timestamp
// records and having every node record its replica sets' points, so that
// the oplog backups of the new cycle start exactly where the snapshot ended.
#include <cerrno>
#include <cstdlib>

#include "host/Entities.h"
#include "host/Files.h"
#include "host/LogWriter.h"
#include "host/NameValueMessage.h"
#include "host/Network.h"
#include "snapbackup/MongoDbBackupCoordinator.h"

namespace MongoDbKax {

namespace {

constexpr int kAttachSeconds = 120;
constexpr const char* kUtilityProgram = "VADeverOREzuz";

bool ParseSigned(const std::string& text, int64_t& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value <= max;
}

// A value for a double-quoted argument of the utility's command line: the
// quotes keep blanks, and a quote or backslash inside is escaped so that
// the value cannot end the argument early.
std::string Escaped(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

CZuError MongoDbBackupCoordinator::CreateOplogLastTimestampEntryInfo() {
    if (m_timestampPairs.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure,
                                       "Failed to get timestamp info from controller done message");
    m_timestamps.clear();
    for (const std::string& value : m_timestampPairs) {
        std::vector<std::string> t;
        size_t start = 0;
        for (size_t at; (at = value.find(':', start)) != std::string::npos; start = at + 1)
            t.push_back(value.substr(start, at - start));
        t.push_back(value.substr(start));
        uint64_t port = 0, timestamp = 0;
        int64_t jobId = 0;
        // The nodes always send five fields; anything else is refused rather than guessed at.
        if (t.size() != 5 || t[0].empty() || t[1].empty() || !ParseUnsigned(t[2], UINT32_MAX, port) ||
            !ParseSigned(t[3], jobId) || !ParseUnsigned(t[4], UINT64_MAX, timestamp))
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData,
                                           "Malformed OplogLastEntryTSPerRepSet value [%s]: expected "
                                           "<replica set>:<host>:<port>:<job id>:<timestamp>",
                                           value.c_str());
        ZULOG(3, "tokens [%s] [%s] [%s] [%s] [%s]", t[0].c_str(), t[1].c_str(), t[2].c_str(), t[3].c_str(),
              t[4].c_str());
        MongoDbOplogTimeStampInfo_t record;
        record.replicaSetName = t[0];
        record.host = t[1];
        record.port = uint32_t(port);
        record.fullJobId = jobId;
        record.timestamp = timestamp;
        m_timestamps.push_back(record);
    }
    if (m_timestamps.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure,
                                       "Failed to populate timestamp info from controller done message");
    return {};
}

CZuError MongoDbBackupCoordinator::UpdateOplogLastTimestampEntryForRepsets() {
    bool matched = false;
    for (MongoRepSetInfo_t& record : m_plan)
        for (const MongoDbOplogTimeStampInfo_t& ts : m_timestamps)
            if (ts.replicaSetName == record.replicaSetName && ts.port == record.secondaryPort &&
                ts.host == record.secondaryHost) {
                record.oplogLastTimestamp = int64_t(ts.timestamp);
                matched = true;
            }
    if (!matched)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Failed to update Oplog last entry timestamps for repsets");
    return {};
}

CZuError MongoDbBackupCoordinator::UpdateTimestampInfoOnNodes() {
    // A replica set without a reported point would start its oplog cycle at
    // whatever the node holds when the utility asks, silently skipping every
    // entry written since the snapshot; a point-in-time restore would then
    // miss them. Refuse before any node is touched, so the backup fails as a
    // whole instead of leaving a gap.
    for (const MongoRepSetInfo_t& record : m_plan)
        if (record.oplogLastTimestamp == 0)
            return FXErrorUtil::ErrorWin32(
                FXLOC, ZuCode::RemoteFailure,
                "No oplog point was reported for repset [%s], host [%s], port [%u]; its oplog backups "
                "cannot start where this snapshot ends",
                record.replicaSetName.c_str(), record.secondaryHost.c_str(), record.secondaryPort);

    const MongoDbClientConfig& cfg = *m_config;
    for (const MongoRepSetInfo_t& record : m_plan) {
        const char* format = "timestamp info for repset [%s], host [%s], port [%u] with timestamp [%lu], last full job [%lld]";
        const std::string what =
            FXString::Format(format, record.replicaSetName.c_str(), record.secondaryHost.c_str(), record.secondaryPort,
                             (unsigned long)record.oplogLastTimestamp, (long long)cfg.jobId);
        ZULOG_NORMAL("Updating %s", what.c_str());

        TWClient node;
        if (CZuError err = TWClient::ById(uint64_t(record.nodeClientId), node)) return err.Push(FXLOC);
        CTwRemoteCommandRequest request;
        request.programName = kUtilityProgram;
        request.argumentLine = FXString::Format(
            "-updatetimestampinfo -instid %lu -appid %u -mxid %u -repset \"%s\" -sechostname \"%s\" -secport %u "
            "-timestamp %lu -lfjid %lld",
            (unsigned long)cfg.instanceId, cfg.applicationId, cfg.marlexId, Escaped(record.replicaSetName).c_str(),
            Escaped(record.secondaryHost).c_str(), record.secondaryPort, (unsigned long)record.oplogLastTimestamp,
            (long long)cfg.jobId);
        request.waitForReply = 1;
        request.field2 = 0;
        request.field3 = 0;
        ZULOG_NORMAL("Launching process [%s] args [%s] on [%s] to update timestamp info", kUtilityProgram,
                     request.argumentLine.c_str(), node.networkHostName.c_str());

        CTwNetwork network;
        bool timedOut = false;
        if (CZuError err = network.Attach_RemoteCommand(node.networkHostName, request, timedOut, kAttachSeconds)) {
            ZULOG_ERROR("Failed to launch [%s] due to ERROR [%lx] [%s]", kUtilityProgram,
                        (unsigned long)err.GetErrorCode(), network.GetLastErrorText().c_str());
            return err.Push(FXLOC, "Failed to launch [%s] on [%s]", kUtilityProgram, node.networkHostName.c_str());
        }
        CNMessageBase reply;
        if (CZuError err = network.ReceiveXMLMessage(reply, timedOut, -1))
            return err.Push(FXLOC, "No reply from [%s] on [%s] for the update of %s", kUtilityProgram,
                            node.networkHostName.c_str(), what.c_str());
        network.Disconnect();
        std::string name, value;
        if (!App::ReadNameValueMessage(reply, name, value))
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Failed to cast the response message from [%s]",
                                           node.networkHostName.c_str());
        if (value != "SUCCESS") {
            const std::string text = "Failed to update " + what;
            ZULOG_ERROR("%s", text.c_str());
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "%s", text.c_str());
        }
        ZULOG_NORMAL("Successfully updated %s", what.c_str());
    }
    return {};
}

}  // namespace MongoDbKax
