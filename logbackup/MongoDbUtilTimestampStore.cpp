// MongoDbUtil: the timestamp store of oplog backup on a node: which full
// backup started the current cycle, and up to which point each replica set's
// oplog has been dumped.
#include <strings.h>

#include <cinttypes>

#include <nlohmann/json.hpp>

#include "access/MongoDbConnection.h"
#include "access/MongoDbUtil.h"
#include "host/Files.h"
#include "host/LogWriter.h"
#include "logbackup/OplogStoreFile.h"
#include "logbackup/OplogStoreFormat.h"

namespace MongoDbKax {

int MongoDbUtil::RecordCurrentFullJobId(const int64_t& jobId) {
    const std::string path = FXPath::Join(m_oscDir, OplogStoreFormat::kLastFullJobFile);
    ZULOG(2, "LAST_FULL_JOB file [%s]", path.c_str());
    if (CZuError err = OplogStoreFile::Replace(path, OplogStoreFormat::LastFullJobText(jobId))) {
        ZULOG_ERROR("Failed to record FULL job id [%" PRId64 "] of the current cycle in file [%s]",
                    jobId, path.c_str());
        ZULOG_ERROR("%s", err.AsString().c_str());
        return 1;
    }
    return 0;
}

int MongoDbUtil::GetLastFullJobId(int64_t& jobId) {
    const std::string path = FXPath::Join(m_oscDir, OplogStoreFormat::kLastFullJobFile);
    std::string text;
    if (FXFile::ReadAll(path, text) || !OplogStoreFormat::ParseLastFullJobText(text, jobId)) {
        ZULOG_ERROR("Unable to read content of file [%s]", path.c_str());
        return 1;
    }
    ZULOG(2, "Found last full backup job id [%" PRId64 "]", jobId);
    return 0;
}

int MongoDbUtil::SaveOplogLastEntryTSInFile(const MongoDbOplogTimeStampInfo_t& record,
                                            bool startsCycle) {
    if (int rc = CreateJobResultsDirectory()) return rc;
    bool resetMark = false;
    if (startsCycle) {
        if (RecordCurrentFullJobId(record.fullJobId) != 0) {
            ZULOG_ERROR("Failed to record the full job id of the current cycle [%" PRId64 "]",
                        record.fullJobId);
            return 1;
        }
        uint64_t count = 0;
        if (CountOplogDumpsInStagingLoc(count) != 0) {
            // Dumps may be waiting where they could not be counted: their
            // lists must not be started afresh.
            ZULOG_ERROR("Failed to count the number of dump files");
        } else if (count != 0) {
            ZULOG_NORMAL("Found oplog dumps on the staging disk, not resetting the timestamp file "
                         "[%" PRIu64 "]",
                         count);
        } else {
            resetMark = true;
        }
    }

    MongoDbOplogTimeStampInfo_t saved = record;
    if (saved.host.empty()) saved.host = m_mongoHost;
    if (saved.timestamp == 0 &&
        QueryOplogLastEntryTSFromDB(saved.host, saved.port, saved.timestamp) != 0) {
        ZULOG_ERROR("Failed to record the oplog last entry timestamp. Unable to  to start "
                    "incremental oplog dumps.");
        return 1;
    }
    // Written whole or not at all: the previous point stays when this fails.
    const std::string path =
        FXPath::Join(m_oscDir, OplogStoreFormat::TimestampFileName(saved.replicaSetName));
    const std::string text = OplogStoreFormat::TimestampFileText(saved, resetMark);
    if (CZuError err = OplogStoreFile::Replace(path, text)) {
        ZULOG_ERROR("Failed to write to  oplog timestamp file [%s]", path.c_str());
        ZULOG_ERROR("%s", err.AsString().c_str());
        return 1;
    }
    ZULOG_NORMAL("Updated timestamp file [%s] with [%s]", path.c_str(), text.c_str());
    return 0;
}

int MongoDbUtil::GetOplogLastEntryTSFromFile(std::vector<MongoDbOplogTimeStampInfo_t>& records,
                                             bool& reset) {
    records.clear();
    reset = false;
    int64_t cycleJobId = 0;
    if (GetLastFullJobId(cycleJobId) != 0) {
        ZULOG_ERROR("Failed to fetch LAST_FULL_JOB. Unable to identify oplog timestamp files of "
                    "current cycle.");
        return 1;
    }
    std::vector<std::string> names;
    if (CZuError err = CZuDirectory::List(m_oscDir, names)) {
        ZULOG_ERROR("Failed to open job results directory [%s]", m_oscDir.c_str());
        ZULOG_ERROR("CZuDirectory::GetEntry failed with error [%u:%s]", err.GetErrorCode(),
                    err.AsString().c_str());
        return 1;
    }
    for (const std::string& name : names) {
        if (!OplogStoreFormat::IsTimestampFileName(name)) continue;
        const std::string path = FXPath::Join(m_oscDir, name);
        std::string text;
        if (FXFile::ReadAll(path, text) || text.empty()) {
            ZULOG_ERROR("Found empty timestamp file [%s]. Unable to find oplog last entry",
                        path.c_str());
            records.clear();
            return 1;
        }
        MongoDbOplogTimeStampInfo_t record;
        record.fileName = name;
        std::string badLine;
        if (!OplogStoreFormat::ParseTimestampFileText(text, record, badLine)) {
            ZULOG_ERROR("Invalid line format in [%s]. Failed to fetch last entry timestamp "
                        "recorderd by previous backup",
                        path.c_str());
            ZULOG_ERROR("Line: [%s]", badLine.c_str());
            records.clear();
            return 1;
        }
        if (record.fullJobId != cycleJobId) {
            ZULOG_ERROR("Skipping oplog timestamp file [%s] as it doesnt belong to current cycle "
                        "full job [%" PRId64 "]",
                        name.c_str(), cycleJobId);
            continue;
        }
        ZULOG(2, "Found oplog timestamp file [%s] for current cycle full job [%" PRId64 "]",
              name.c_str(), cycleJobId);
        if (record.resetMark) {
            reset = true;
            ZULOG_NORMAL("Reset the OSC log files list");
        }
        records.push_back(std::move(record));
    }
    if (records.empty()) {
        ZULOG_ERROR("No oplog timestamp files found in [%s] for cycle full job [%" PRId64 "]",
                    m_oscDir.c_str(), cycleJobId);
        return 1;
    }
    return 0;
}

int MongoDbUtil::QueryOplogLastEntryTSFromDB(const std::string& host, const unsigned& port,
                                             uint64_t& timestamp) {
    if (m_connection->Connect(host, int(port), m_dbUser, m_dbPassword)) {
        ZULOG_ERROR("Failed to connect to mongodb host:[%s] port:[%d]", host.c_str(), int(port));
        ZULOG_ERROR("Error: [%s]", m_connection->GetLastErrorMsg());
        return -1;
    }
    std::string text;
    if (m_connection->RunAdminCommand("{ \"replSetGetStatus\": 1}", false, text)) {
        ZULOG_ERROR("Failed to get replication set info for [%s:%d]", host.c_str(), int(port));
        ZULOG_ERROR("Error: [%s]", m_connection->GetLastErrorMsg());
        return -1;
    }
    const JsonObject reply = JsonObject::parse(text, nullptr, false);
    if (!reply.is_object() || GetDoubleValue(reply, "ok") != 1.0) {
        ZULOG_ERROR("Failed to get replication set info for [%s:%d], cmd output: [%s]",
                    host.c_str(), int(port), text.c_str());
        return -1;
    }
    auto secondsOf = [](const JsonObject& optime) {
        return GetUInt64Value(GetObjectValue(GetObjectValue(optime, "ts"), "$timestamp"), "t");
    };
    uint64_t value = 0;
    if (isMongodVersion32()) {
        const JsonObject members = GetArrayValue(reply, "members");
        if (members.empty()) {
            ZULOG_ERROR("Failed to find members element");
            ZULOG_ERROR("cmd output:[%s]", text.c_str());
            return 1;
        }
        // Only the member addressed exactly as the set names it.
        const std::string self = FXString::Format("%s:%d", host.c_str(), int(port));
        for (const JsonObject& member : members)
            if (strcasecmp(GetStringValue(member, "stateStr").c_str(), "SECONDARY") == 0 &&
                strcasecmp(GetStringValue(member, "name").c_str(), self.c_str()) == 0)
                value = secondsOf(GetObjectValue(member, "optime"));
    } else {
        value = secondsOf(GetObjectValue(GetObjectValue(reply, "optimes"), "lastCommittedOpTime"));
    }
    if (value == 0) {
        ZULOG_ERROR("Unable to find timestamp field in json output [%s]", text.c_str());
        return 1;
    }
    timestamp = value;
    ZULOG_NORMAL("oplog last entry timestamp [%" PRIu64 "] for mongod at port [%d]", timestamp,
                 int(port));
    return 0;
}

bool MongoDbUtil::IsFullBackupParticipatingNode(int64_t /*fullJobId*/) {
    std::vector<MongoDbOplogTimeStampInfo_t> records;
    bool reset = false;
    if (GetOplogLastEntryTSFromFile(records, reset) == 0) return true;
    // Dumps still listed must be backed up even when the cycle's records
    // cannot be read: a node skipped here would have them cleaned up unstored.
    std::vector<std::string> names;
    if (!m_oscDir.empty() && !CZuDirectory::List(m_oscDir, names))
        for (const std::string& name : names) {
            uint64_t size = 0;
            if (OplogStoreFormat::IsLogFilesName(name) &&
                !FXFile::Size(FXPath::Join(m_oscDir, name), size) && size != 0) {
                ZULOG_NORMAL("Dumps are listed in [%s]; taking part in the log backup to store them",
                             name.c_str());
                return true;
            }
        }
    return false;
}

}  // namespace MongoDbKax
