// MongoDbUtil: the dump lists of the replica sets ("LogFiles") and the
// numbered collect files and replica-set map a log backup consumes.
#include <cinttypes>

#include "access/MongoDbUtil.h"
#include "host/Files.h"
#include "host/JobClient.h"
#include "host/LogWriter.h"
#include "logbackup/OplogDumpPass.h"
#include "logbackup/OplogStoreFile.h"
#include "logbackup/OplogStoreFormat.h"

namespace MongoDbKax {
namespace {

// The complete lines of a list; a last line without its line break is kept
// only when it is a whole "<path>|<size>" (a cut one is a line an interrupted
// pass was writing; that pass recorded nothing, so its dump comes again).
std::vector<std::string> ReadListLines(const std::string& text, const std::string& path) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            const std::string last = text.substr(start);
            const size_t bar = last.rfind('|');
            const bool whole = bar != std::string::npos && bar + 1 < last.size() &&
                               last.find_first_not_of("0123456789", bar + 1) == std::string::npos;
            if (whole)
                lines.push_back(last + "\n");
            else
                ZULOG_ERROR("Dropping the cut last line [%s] of [%s]", last.c_str(), path.c_str());
            break;
        }
        lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line;
    return text;
}

}  // namespace

int MongoDbUtil::UpdateOplogDumpsCollectFile(MongoDbOplogDumpsCollectfileFormat_t& entry,
                                             const bool& reset) {
    if (int rc = CreateJobResultsDirectory()) return rc;
    const std::string path =
        FXPath::Join(m_oscDir, OplogStoreFormat::LogFilesName(entry.replicaSetName));
    ZULOG(2, "Updating collect file [%s] for repset [%s]", path.c_str(),
          entry.replicaSetName.c_str());
    uint64_t size = 0;
    if (CZuError err = FXFile::Size(entry.dumpFilePath, size)) {
        ZULOG_ERROR("Failed to get file size [%s] [%s]", entry.dumpFilePath.c_str(),
                    err.AsString().c_str());
        size = 0;
    }
    const std::string line = OplogStoreFormat::CollectLine(entry.dumpFilePath, int64_t(size));
    ZULOG(2, "Add line ---> [%s|%" PRId64 "]", entry.dumpFilePath.c_str(), int64_t(size));

    std::vector<std::string> lines;
    if (!reset && FXFile::Exists(path)) {
        std::string text;
        if (CZuError err = FXFile::ReadAll(path, text)) {
            ZULOG_ERROR("Failed to open file [%s] [%s]", path.c_str(), err.AsString().c_str());
            return 1;
        }
        lines = ReadListLines(text, path);
    }
    // A dump made again from the same point has the same name and holds all
    // the earlier one held: its line is brought up to date, not repeated.
    bool listed = false;
    for (std::string& existing : lines)
        if (OplogStoreFormat::CollectLinePath(existing) == entry.dumpFilePath) {
            existing = line;
            listed = true;
        }
    if (!listed) lines.push_back(line);
    if (CZuError err = OplogStoreFile::Replace(path, Join(lines))) {
        ZULOG_ERROR("Failed to update collect file [%s]", path.c_str());
        ZULOG_ERROR("%s", err.AsString().c_str());
        return 1;
    }
    return 0;
}

int MongoDbUtil::CreateCollectFilesForLogBackup(int backupLevel) {
    const std::string stagingLocal = FXPath::Join(m_stagingDir, "local");
    uint64_t pending = 0;
    if (CountOplogDumpsInStagingLoc(pending) != 0) {
        ZULOG_ERROR("Failed to count the number of dump files in [%s]", stagingLocal.c_str());
        return 1;
    }
    m_pendingDumpCount = pending;

    auto proceedWithPending = [&]() {
        if (pending == 0) return false;
        ZULOG_NORMAL("Proceeding with backup as [%" PRIu64
                     "] dumps are found in the staging location [%s]",
                     pending, stagingLocal.c_str());
        return true;
    };
    switch (PerformOpLogDumps(false)) {
        case OplogDumpPass::PrimaryFound:
            ZULOG_ERROR("Failed to do Oplog dump on primary node");
            if (!proceedWithPending()) {
                ZULOG_ERROR("This usually indicates role reversal. Failed to backup MongoDB oplog "
                            "dumps. Submit FULL SNAP backup immediately to resync the oplog dumps");
                return 1;
            }
            break;
        case OplogDumpPass::RolledOver:
            if (!proceedWithPending()) {
                ZULOG_ERROR("Oplog rollover has been detected. Submit FULL SNAP backup immediately "
                            "to resync the oplog dumps");
                return 1;
            }
            break;
        case OplogDumpPass::Failed:
            ZULOG_ERROR("Failed to perform oplog dump. Proceeding with backup ... ");
            break;
        default:
            break;
    }

    // Numbered files and map lines left by an earlier, unfinished log backup
    // would be counted and mapped with this one's.
    CZuDirectory::DeleteByPattern(m_appResultsDir, "Collect*.twf");
    FXFile::Delete(FXPath::Join(m_appResultsDir, OplogStoreFormat::kRepsetMapFile));

    std::vector<std::string> names;
    if (CZuError err = CZuDirectory::List(m_oscDir, names)) {
        ZULOG_ERROR("Failed to open directory [%s] error [%s]", m_oscDir.c_str(),
                    err.AsString().c_str());
        return 1;
    }
    int n = 0;
    for (const std::string& name : names) {
        if (!OplogStoreFormat::IsLogFilesName(name)) {
            ZULOG(3, "Skipping file [%s]", name.c_str());
            continue;
        }
        ++n;
        const std::string list = FXPath::Join(m_oscDir, name);
        const std::string collect =
            FXPath::Join(m_appResultsDir, OplogStoreFormat::CollectFileName(backupLevel, n));
        std::string text;
        CZuError err = FXFile::ReadAll(list, text);
        std::vector<std::string> kept;
        if (!err) {
            // A listed dump that is gone cannot be stored; the backup goes on
            // with the others and the operator is told which one is missing.
            for (const std::string& line : ReadListLines(text, list)) {
                const std::string dump = OplogStoreFormat::CollectLinePath(line);
                if (!dump.empty() && FXFile::Exists(dump)) {
                    kept.push_back(line);
                    continue;
                }
                const std::string why = FXString::Format(
                    "Oplog dump [%s] listed in [%s] is missing from the staging location; it "
                    "cannot be backed up",
                    dump.empty() ? line.substr(0, line.size() - 1).c_str() : dump.c_str(),
                    list.c_str());
                ZULOG_ERROR("%s", why.c_str());
                EvEvent::InfoEvent(why);
            }
            err = FXFile::WriteAll(collect, Join(kept));
        }
        if (err) {
            ZULOG_ERROR("Failed to create backup collect file from [%s] error [%s]", list.c_str(),
                        err.AsString().c_str());
            return 1;
        }
        ZULOG_NORMAL("Created collect file for backup [%s]", collect.c_str());
        if (UpdateCollectFilesInfoMap(list, n) != 0) return 1;
    }
    if (n == 0) {
        ZULOG_ERROR("Found 0 files (LogFiles_<repsetname>.twf)  under [%s]", m_oscDir.c_str());
        return 1;
    }
    return 0;
}

int MongoDbUtil::UpdateCollectFilesInfoMap(const std::string& collectFilePath, const int& n) {
    if (SetOplogDumpsStagingLocation() != 0) return 1;
    const std::string path = FXPath::Join(m_appResultsDir, OplogStoreFormat::kRepsetMapFile);
    const std::string replicaSet = OplogStoreFormat::ReplicaSetOfLogFiles(collectFilePath);
    if (replicaSet.empty()) {
        ZULOG_ERROR("Failed to find repset name from collect file [%s]", collectFilePath.c_str());
        return 1;
    }
    ZULOG(2, "Collect file [%s] belongs to repset [%s]", collectFilePath.c_str(),
          replicaSet.c_str());
    if (CZuError err = FXFile::Append(path, OplogStoreFormat::RepsetMapLine(n, replicaSet))) {
        ZULOG_ERROR("Failed to update map file [%s] for repset [%s]", path.c_str(),
                    replicaSet.c_str());
        ZULOG_ERROR("%s", err.AsString().c_str());
        return 1;
    }
    return 0;
}

}  // namespace MongoDbKax
