#pragma once
// The options message of a restore job, as far as the module reads it:
// job options -> restore options -> distributed-apps restore options ->
// MongoDB restore options. Lists whose element types belong to later phases
// (destination shards, granular entities) are kept as message trees.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/Message.h"

namespace JobManager {

struct MongoDBRestoreOptions {
    std::optional<int64_t> granularRecovery;  // set and non-zero: granular restore
    std::string oplogStagingPath;
    bool automatedRecovery = false;
    uint64_t recoveryOplogLimitTime = 0;
    bool shutdownAndRemoveData = false;
    bool inPlace = false;
    bool restoreOnly = false;
    std::optional<int64_t> retainStagingInstance;
    uint64_t recoverToTime = 0;
    std::vector<CNMessageBase> destShards;        // App::MongoDBDestShard
    std::vector<CNMessageBase> granularEntities;  // App::MongoDBDestGranularEntity
};

struct DistributedAppsRestoreOptions {
    int64_t restoreType = 0;
    std::optional<MongoDBRestoreOptions> mongoDBRestoreOptions;
};

struct RestoreOptions {
    bool unconditionalOverwrite = false;
    std::string destinationInstanceName;
    std::optional<DistributedAppsRestoreOptions> distributedAppsRestoreOptions;
};

class JobOptions : public CNMessageBase {
public:
    JobOptions() : CNMessageBase("JobOptions") {}
    void Serialize(CNMessageBase& tree) const override;
    // Error 13 when the tree is not a job-options message or a field is malformed.
    CZuError Unserialize(const CNMessageBase& tree) override;

    std::optional<RestoreOptions> restoreOptions;
};

}  // namespace JobManager
