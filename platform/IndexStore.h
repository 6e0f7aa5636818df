#pragma once
// The backup index in the state database: one row per entry (job, view,
// path). The indexing connection writes record entries; the snapshot driver
// writes the "default" entries of the files it snapshotted; the browse
// client reads both.
#include <cstdint>
#include <string>
#include <vector>

#include "host/ZuError.h"

struct IndexEntry {
    int64_t jobId = 0;
    uint32_t marlexId = 0;
    uint32_t appId = 0;
    uint64_t archiveFileId = 0;
    std::string archiveFileType = "SNAP";  // "SNAP" or "TAPE"
    std::string view = "default";
    std::string path;
    std::string guid;
    std::string parentGuid;
    std::string versionGuid;
    bool isDirectory = false;
    int64_t size = 0;
    int64_t sequence = 0;
    uint32_t attribute1 = 0;
    uint32_t attribute2 = 0;
    std::string sourcePath;   // where the entry's data is, "" for records
    std::string metadataXml;  // the metadata message, "" for plain files
    int64_t time = 0;         // 0 = now
};

class IndexStore {
public:
    // Adds the entry, replacing the job's entry of the same view and path.
    static CZuError AddEntry(const IndexEntry& entry);
    // The job's entries of `view` under `pathPrefix` ("/" = all), in path order.
    static CZuError ListEntries(int64_t jobId, const std::string& view,
                                const std::string& pathPrefix, std::vector<IndexEntry>& entries);
    // The latest job of the application with entries of `view` written no
    // later than `toTime` (0 = any time); 0 when there is none.
    static CZuError LatestJobWithView(uint32_t marlexId, uint32_t appId, const std::string& view,
                                      int64_t toTime, int64_t& jobId);
    // Restart value and completion of a job's index.
    static CZuError SetRestartInfo(int64_t jobId, int64_t value);
    static CZuError SetBackupDone(int64_t jobId, int value);
    // -1 / 0 when never set.
    static CZuError GetIndexState(int64_t jobId, int64_t& restartInfo, int& backupDone);
};
