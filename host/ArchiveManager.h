#pragma once
// The archive manager: archive files (one per snapshot volume or media
// stream of a job), the data mover (Ferrant) of a subclient and its storage
// policy.
#include <cstdint>
#include <string>
#include <vector>

#include "host/ZuError.h"

struct ArchiveFileInfo {
    uint64_t archiveFileId = 0;
    int64_t jobId = 0;
    uint32_t marlexId = 0;
    uint64_t clientId = 0;  // the client that wrote it
    int64_t creationTime = 0;
    bool isSnapshotData = false;
    // The identifier the next record of this archive file gets.
    int64_t nextIdentifier = 1;
};

class ArMgrClientAPI {
public:
    // Adds an archive file of `afile.jobId`; sets its id and creation time
    // (now, when not given).
    static CZuError createArchiveFile(ArchiveFileInfo& afile);
    // The job's archive files, oldest first; an empty list is success.
    static CZuError getArchFileListForJob(uint32_t marlexId, int64_t jobId,
                                          std::vector<ArchiveFileInfo>& files);

    // Region-based storage policy of a subclient for the node `clientId`.
    // One machine has one region: the policy never changes, the result is 0.
    static int setStoragePolicyByRegion(int64_t jobId, uint32_t marlexId, uint64_t clientId,
                                        uint32_t appId, int dataType, int& newPolicyId,
                                        bool& changed);
    // The data mover of the subclient (lookup kind 4): its client name. Error
    // 1168 when the subclient has none.
    static CZuError getFerrant(uint32_t marlexId, uint32_t appId, int lookupKind,
                               std::string& ferrant);
};
