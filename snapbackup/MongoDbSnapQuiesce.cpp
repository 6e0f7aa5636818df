// MongoDbSnapBackup: locking the secondaries around the snapshot, and what
// is read from them meanwhile (their configuration file and, after the
// snapshot, where each replica set's oplog ends).
#include <sys/stat.h>

#include <cerrno>

#include <nlohmann/json.hpp>

#include "access/MongoDbConnection.h"
#include "host/Files.h"
#include "host/JobClient.h"
#include "host/LogWriter.h"
#include "host/PlatformInfo.h"
#include "snapbackup/MongoDbSnapBackup.h"
#include "snapbackup/SnapNodeEventIds.h"

namespace MongoDbKax {
namespace {

// The copy of a secondary's own configuration file that a restore starts it with.
constexpr const char* kConfigCopyName = "tw_mongod_bkp.conf";

uint64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return uint64_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace

int MongoDbSnapBackup::LockSecondary(size_t index, std::string& failure) {
    const MongoRepSetInfo_t& r = m_records[index];
    const int port = int(r.secondaryPort);
    // Whether someone else holds a lock already decides what the watchdog
    // may release should this process die mid-way.
    bool lockedBefore = false;
    if (CZuError err = m_util.GetDBLockStatus(r.secondaryHost, port, lockedBefore))
        ZULOG(2, "Lock state of [%s:%d] unknown before locking: %s", r.secondaryHost.c_str(), port,
              err.AsString().c_str());
    if (lockedBefore)
        ZULOG_NORMAL("Secondary [%s:%d] is already locked by someone else; its lock nests with ours",
                     r.secondaryHost.c_str(), port);
    m_lockGuard.WillLock(r.secondaryHost, port, lockedBefore);
    const int rc = m_util.QuiesceDB(r.secondaryHost, port);
    if (rc != 0) {
        failure = m_util.GetConnection()->GetLastErrorMsg();
        if (failure.empty())
            failure = FXString::Format("Failed to lock the secondary [%s:%d] of replica set [%s]",
                                       r.secondaryHost.c_str(), port, r.replicaSetName.c_str());
    }
    bool lockedNow = rc == 0;
    // A lock whose answer was lost may still have been taken.
    if (rc != 0 && !lockedBefore && !m_util.GetDBLockStatus(r.secondaryHost, port, lockedNow).IsError() && lockedNow)
        ZULOG_ERROR("The lock of [%s:%d] failed but the secondary is locked; it will be unlocked",
                    r.secondaryHost.c_str(), port);
    if (lockedNow) {
        m_locks[index].locked = true;
        m_locks[index].lockedAt = std::chrono::steady_clock::now();
        m_lockGuard.Locked(r.secondaryHost, port);
    }
    return rc;
}

int MongoDbSnapBackup::QuiesceDB() {
    ZULOG_NORMAL("QuiesceDB Begin. dbUser=[%s]", m_util.GetDbUser().c_str());
    m_lockTimes.clear();
    bool guarded = false;
    for (size_t i = 0; i < m_records.size(); ++i) {
        MongoRepSetInfo_t& record = m_records[i];
        record.quiesceSkipped = false;
        if (m_skipQuiesce && record.journalEnabled) {
            record.quiesceSkipped = true;
            ZULOG_NORMAL("Skipping QUIESCE during snap for repset [%s]", record.replicaSetName.c_str());
            continue;
        }
        if (!guarded) {
            guarded = true;
            if (CZuError err = m_lockGuard.Start(m_util))
                ZULOG_ERROR("No lock watchdog (a killed node would leave its secondaries locked): %s",
                            err.AsString().c_str());
        }
        std::string reason;
        if (LockSecondary(i, reason) != 0) {
            ZULOG_ERROR("m_mdbUtil::QuiesceDB returned failure");
            RaisePendingCause(SnapNodeEventIds::kQuiesceFailed, {reason});
            return -1;
        }
    }
    ZULOG_NORMAL("QuiesceDB done.");
    for (const MongoRepSetInfo_t& record : m_records) CopyMongodConfigFile(record);
    return 0;
}

void MongoDbSnapBackup::CopyMongodConfigFile(const MongoRepSetInfo_t& record) {
    const int port = int(record.secondaryPort);
    const std::string target = FXPath::Join(record.secondaryDataPath, kConfigCopyName);
    bool copied = false;
    std::string text;
    if (m_util._RunMongoAdminCmd(record.secondaryHost, port, "{\"getCmdLineOpts\" : 1}", true, text) == 0) {
        const JsonObject reply = JsonObject::parse(text, nullptr, false);
        if (!reply.is_object() || MongoDbUtil::GetDoubleValue(reply, "ok") != 1.0) {
            ZULOG_ERROR("getCmdLineOpts returned failure, result:[%s]", text.c_str());
        } else {
            const std::string config =
                MongoDbUtil::GetStringValue(MongoDbUtil::GetObjectValue(reply, "parsed"), "config");
            copied = true;
            if (!config.empty()) {
                ZULOG_NORMAL("Copying [%s] to [%s]", config.c_str(), target.c_str());
                // The file may hold key passwords: the copy is the owner's only.
                std::string content;
                CZuError err = FXFile::ReadAll(config, content);
                if (!err) err = FXFile::WriteAll(target, content, 0600);
                if (!err && ::chmod(target.c_str(), 0600) != 0)
                    err = FXErrorUtil::ErrorErrNo(FXLOC, errno, "chmod [%s]", target.c_str());
                if (err) {
                    ZULOG_ERROR("Failed to copy file [%s] to [%s] error - [%s]", config.c_str(), target.c_str(),
                                err.AsString().c_str());
                    copied = false;
                }
            }
        }
    }
    if (copied) return;
    ZULOG_ERROR("Failed to make a copy of mongod conf file [%s:%d] to [%s]", record.secondaryHost.c_str(), port,
                target.c_str());
    EvEvent::InfoEvent(SnapNodeEventIds::kConfigCopyFailed,
                       {FXString::Format("%s:%d", record.secondaryHost.c_str(), port)});
}

int MongoDbSnapBackup::UnQuiesceDB() {
    bool timestampFailed = false;
    bool unquiesceFailed = false;
    m_ctrlDoneValues.clear();
    // While the secondaries still hold their writes, their oplog position is
    // exactly what the snapshot holds.
    if (!GetSkipFlag()) {
        bool oplogDumps = true;
        TWPlatformInfo::getBoolean(TWSettingSections::Agent, "bEnableMongoOpLogDumps", oplogDumps);
        if (!oplogDumps) {
            ZULOG_NORMAL("MongoDB Oplog dumps disabled. Skip querying for Oplog last entry timestamp");
        } else {
            for (const MongoRepSetInfo_t& r : m_records) {
                uint64_t timestamp = 0;
                if (m_util.QueryOplogLastEntryTSFromDB(r.secondaryHost, r.secondaryPort, timestamp) != 0) {
                    ZULOG_ERROR("Failed to retrieve Oplog last entry timestamp for host [%s], port [%d]",
                                r.secondaryHost.c_str(), int(r.secondaryPort));
                    timestampFailed = true;
                    continue;
                }
                m_ctrlDoneValues.emplace_back(
                    "OplogLastEntryTSPerRepSet",
                    FXString::Format("%s:%s:%u:%lld:%lu", r.replicaSetName.c_str(), r.secondaryHost.c_str(),
                                     r.secondaryPort, (long long)GetJobId(), (unsigned long)timestamp));
            }
        }
    }

    bool anyLocked = false;
    for (size_t i = 0; i < m_records.size(); ++i) {
        // Only what this object locked: a member whose lock failed or never
        // came must not lose a lock someone else holds.
        if (!m_locks[i].locked) continue;
        anyLocked = true;
        const MongoRepSetInfo_t& r = m_records[i];
        if (m_util.UnQuiesceDB(r.secondaryHost, int(r.secondaryPort)) != 0) {
            ZULOG_ERROR("UnQuiesceDB failed for secondary host [%s], port [%d] error [%s]", r.secondaryHost.c_str(),
                        int(r.secondaryPort), m_util.GetConnection()->GetLastErrorMsg());
            unquiesceFailed = true;
            continue;
        }
        m_locks[i].locked = false;
        m_lockGuard.Unlocked(r.secondaryHost, int(r.secondaryPort));
        const uint64_t ms = MillisecondsSince(m_locks[i].lockedAt);
        m_lockTimes.push_back({r.replicaSetName, r.secondaryHost, r.secondaryPort, ms});
        ZULOG_NORMAL("Secondary [%s:%u] of replica set [%s] was locked for [%llu] ms", r.secondaryHost.c_str(),
                     r.secondaryPort, r.replicaSetName.c_str(), (unsigned long long)ms);
    }
    if (!anyLocked) ZULOG_NORMAL("Skipping UNQUIESCE during backup");
    // What could not be unlocked here, the watchdog keeps trying to unlock.
    m_lockGuard.Close();

    if (timestampFailed) RaisePendingCause(SnapNodeEventIds::kOplogTimestampMissing);
    if (unquiesceFailed) RaisePendingCause(SnapNodeEventIds::kUnquiesceFailed);
    if (timestampFailed || unquiesceFailed) return -1;

    m_oplogDumpStagingPath = m_util.GetStagingDir();
    ZULOG_NORMAL("Oplog dump staging location: [%s]", m_oplogDumpStagingPath.c_str());
    return 0;
}

}  // namespace MongoDbKax
