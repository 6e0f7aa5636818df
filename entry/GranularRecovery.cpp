#include "entry/GranularRecovery.h"

#include "host/JobManager.h"
#include "host/JobOptions.h"
#include "host/LogWriter.h"
#include "host/PlatformInfo.h"

namespace MongoDbKax {

bool IsGranularRecoveryEnabled() {
    bool enabled = true;
    bool value = true;
    if (TWPlatformInfo::getBoolean(TWSettingSections::Agent, "bMongoDbEnableGranularRecovery",
                                   value))
        enabled = value;
    ZULOG_NORMAL("Granular recovery is [%s]", enabled ? "enabled" : "disabled");
    return enabled;
}

CZuError IsGranularRecoveryJob(int64_t jobId, bool& granular) {
    granular = false;

    std::string xml;
    if (CZuError err = TWJobTask::GetJobOptionsXml(jobId, xml); err.IsError()) {
        ZULOG_ERROR("Failed to get the xml options: %s", err.AsString().c_str());
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed,
                                       "Failed to get the xml options");
    }

    JobManager::JobOptions options;
    if (CZuError err = options.UnserializeFromXml(xml); err.IsError()) {
        ZULOG_ERROR("Failed to unserialize restore job options: %s", err.AsString().c_str());
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed,
                                       "Failed to unserialize restore job options [%s]",
                                       xml.c_str());
    }

    if (!options.restoreOptions || !options.restoreOptions->distributedAppsRestoreOptions ||
        !options.restoreOptions->distributedAppsRestoreOptions->mongoDBRestoreOptions)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed,
                                       "Failed to get mongodb restore options from task xml");

    const auto& mongo = *options.restoreOptions->distributedAppsRestoreOptions->mongoDBRestoreOptions;
    if (mongo.granularRecovery) granular = *mongo.granularRecovery != 0;
    return {};
}

}  // namespace MongoDbKax
