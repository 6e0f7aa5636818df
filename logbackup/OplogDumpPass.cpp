#include "logbackup/OplogDumpPass.h"

#include <algorithm>
#include <cinttypes>

#include "host/Files.h"
#include "host/LogWriter.h"
#include "logbackup/OplogDumpFile.h"

namespace MongoDbKax {

OplogDumpPass::OplogDumpPass(MongoDbUtil& util, bool suppressRolloverEvent)
    : m_util(util), m_suppressRolloverEvent(suppressRolloverEvent) {}

int OplogDumpPass::Run() {
    std::vector<MongoDbOplogTimeStampInfo_t> records;
    bool reset = false;
    if (m_util.GetOplogLastEntryTSFromFile(records, reset) != 0) {
        ZULOG_ERROR("Failed to fetch oplog last entry timestamp file");
        return Failed;
    }
    for (const MongoDbOplogTimeStampInfo_t& record : records) {
        if (DumpReplicaSet(record)) continue;
        // The records after it wait for the next pass.
        while (!m_locked.empty()) Unlock(m_locked.back().first, m_locked.back().second);
        return m_primaryFound ? PrimaryFound : m_rolledOver ? RolledOver : Failed;
    }
    return Done;
}

bool OplogDumpPass::DumpReplicaSet(const MongoDbOplogTimeStampInfo_t& record) {
    MongoDbOplogTimeStampInfo_t point = record;
    if (point.host.empty()) point.host = m_util.GetMongoHost();
    const std::string& host = point.host;
    const int port = int(point.port);

    switch (m_util.CheckForSecondaryRole(host, port)) {
        case -1:
            ZULOG_ERROR("Failed to detect primary");
            return false;
        case 1:
            ZULOG_ERROR("Found primary role on mongod at host [%s:%d]. Stop the oplog dumps.",
                        host.c_str(), port);
            m_primaryFound = true;
            if (!m_suppressRolloverEvent) EndCycleOfPrimary(record);
            return false;
        default:
            ZULOG_NORMAL("Found secondary role on mongod at host [%s:%d] ...", host.c_str(), port);
    }

    // Locked first: a secondary that goes on applying entries also goes on
    // trimming its oplog, so only a check made under the lock proves that
    // nothing after the recorded point is gone by the time of the dump.
    if (!Lock(host, port)) return false;
    ZULOG_NORMAL("Checking for oplog rollover");
    bool rolled = false;
    if (CZuError err = m_util.HasOplogRolledOver(point, m_suppressRolloverEvent, rolled)) {
        // Without the oldest entry a gap could not be seen; nothing is recorded.
        ZULOG_ERROR("%s", err.AsString().c_str());
        return false;
    }
    if (rolled) {
        ZULOG_ERROR("Detected oplog rollover");
        m_rolledOver = true;
        return false;
    }

    MongoDbDumpInputs_t inputs;
    inputs.port = point.port;
    inputs.fromTimestamp = point.timestamp;
    inputs.host = host;
    inputs.outDir = m_util.GetStagingDir();
    inputs.replicaSetName = point.replicaSetName;
    std::string dumpPath;
    if (m_util.RunMongoDBDump(inputs) != 0 || m_util.RenameOplogDumpFile(inputs, dumpPath) != 0)
        return false;

    // The next point is the last entry this dump holds, not a point read from
    // the node afterwards: anything later goes into the next dump, and a
    // dump with nothing new keeps the point where it was.
    OplogDumpFile::Summary summary;
    if (CZuError err = OplogDumpFile::Summarize(dumpPath, summary)) {
        ZULOG_ERROR("Failed to read back oplog dump [%s]: %s", dumpPath.c_str(),
                    err.AsString().c_str());
        return false;
    }
    ZULOG(2, "Oplog dump [%s] holds [%" PRIu64 "] entries up to [%u:%u]", dumpPath.c_str(),
          summary.entries, summary.lastSeconds, summary.lastIncrement);

    MongoDbOplogDumpsCollectfileFormat_t listed{point.replicaSetName, dumpPath};
    if (m_util.UpdateOplogDumpsCollectFile(listed, record.resetMark) != 0) return false;

    MongoDbOplogTimeStampInfo_t next;
    next.replicaSetName = point.replicaSetName;
    next.port = point.port;
    next.fullJobId = point.fullJobId;
    next.host = host;
    next.timestamp = summary.entries != 0 ? std::max<uint64_t>(summary.lastSeconds, point.timestamp)
                                          : point.timestamp;
    if (m_util.SaveOplogLastEntryTSInFile(next, false) != 0) return false;

    return Unlock(host, port);
}

void OplogDumpPass::EndCycleOfPrimary(const MongoDbOplogTimeStampInfo_t& record) {
    if (m_util.GetPendingDumpCount() != 0) {
        ZULOG_NORMAL("Pending dumps found, not deleting the timepstamp file.");
        return;
    }
    const std::string& dir = m_util.GetOscDir();
    if (CZuError err = FXFile::Delete(FXPath::Join(dir, record.fileName))) {
        ZULOG_ERROR("Failed to delete the oplog timestamp file [%s*] under [%s]",
                    record.fileName.c_str(), dir.c_str());
        ZULOG_ERROR("%s", err.AsString().c_str());
        return;
    }
    ZULOG_NORMAL("Deleted oplog timestamp file [%s] under [%s]", record.fileName.c_str(),
                 dir.c_str());
}

bool OplogDumpPass::Lock(const std::string& host, int port) {
    ZULOG_NORMAL("Quiesce the DB on mongod at host [%s:%d] ...", host.c_str(), port);
    if (m_util.QuiesceDB(host, port) != 0) return false;
    m_locked.emplace_back(host, port);
    return true;
}

bool OplogDumpPass::Unlock(const std::string& host, int port) {
    ZULOG_NORMAL("UnQuiesce the DB on mongod at host [%s:%d] ...", host.c_str(), port);
    const auto held = std::find(m_locked.begin(), m_locked.end(), std::make_pair(host, port));
    if (held != m_locked.end()) m_locked.erase(held);
    return m_util.UnQuiesceDB(host, port) == 0;
}

}  // namespace MongoDbKax
