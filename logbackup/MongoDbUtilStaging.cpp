// MongoDbUtil: the dumps waiting in the staging location and the rule that
// makes a node due for a log backup.
#include <cinttypes>

#include "access/MongoDbUtil.h"
#include "host/Files.h"
#include "host/LogWriter.h"
#include "logbackup/OplogStoreFormat.h"

namespace MongoDbKax {

int MongoDbUtil::CountOplogDumpsInStagingLoc(uint64_t& count) {
    const std::string dir = FXPath::Join(m_stagingDir, "local");
    std::vector<std::string> names;
    if (CZuError err = CZuDirectory::List(dir, names)) {
        ZULOG_ERROR("Failed to open the directory [%s] [%s]", dir.c_str(), err.AsString().c_str());
        return 1;
    }
    for (const std::string& name : names)
        if (OplogStoreFormat::IsDumpFileName(name)) ++count;
    return 0;
}

int MongoDbUtil::CheckStagingLocQualifyForBackup(QualifyRet& qualify, int& dumpCount) {
    qualify.value = QualifyRet::NotDue;
    const std::string dir = FXPath::Join(m_stagingDir, "local");
    uint64_t count = 0;
    if (CountOplogDumpsInStagingLoc(count) != 0) {
        ZULOG_ERROR("Failed to count the number of dump files in [%s]", dir.c_str());
        return 1;
    }
    dumpCount = int(count);
    ZULOG_NORMAL("Threshold (number of dump files) [%" PRIu64
                 "] Threshold (disk used space) [%" PRIu64 " percent]",
                 m_dumpCountThreshold, m_spaceThresholdPercent);

    if (m_dumpCountThreshold != 0) {
        if (count != 0 && count >= m_dumpCountThreshold) {
            ZULOG_NORMAL("Threshold is reached. Found number of dump files [%" PRIu64
                         "] in staging location [%s]",
                         count, dir.c_str());
            qualify.value = QualifyRet::Due;
            return 0;
        }
        ZULOG_NORMAL("Found number of dump files [%" PRIu64 "] in [%s]", count, dir.c_str());
    }

    if (m_spaceThresholdPercent != 0) {
        bool more = false;
        uint64_t used = 0, total = 0;
        CZuError err = CTWDSpaceCheck::isSpaceConsumedMoreThanPercentage(
            dir, double(m_spaceThresholdPercent), more, used, total);
        if (err) ZULOG_ERROR("%s", err.AsString().c_str());
        const int usedPercent = total != 0 ? int(used * 100 / total) : 0;
        // A node without dumps has nothing to back up, however full its disk.
        if (!err && more && count != 0) {
            ZULOG_NORMAL("Threshold is reached. Found disk used space [%d percent] in staging "
                         "location [%s]",
                         usedPercent, dir.c_str());
            qualify.value = QualifyRet::Due;
            return 0;
        }
        ZULOG_NORMAL("Found disk used percentage [%d percent] on [%s]", usedPercent, dir.c_str());
    }
    ZULOG_NORMAL("Thresholds are not met .... ");
    return 0;
}

}  // namespace MongoDbKax
