// The module's three exported entry points: given the phase the framework is
// about to run and the process's program arguments, construct the one object
// that handles it. The factories keep no state and never throw: every failure
// is a null result, which the framework reads as "phase not served".
#include <exception>
#include <sstream>

#include "backupcopy/MongoDbBackupCopyController.h"
#include "backupcopy/MongoDbBackupCopyCoordinator.h"
#include "browse/CClientBrowse.h"
#include "cleanup/MongoDbPostOpCleanup.h"
#include "cleanup/MongoDbPostOpCleanupController.h"
#include "entry/GranularRecovery.h"
#include "granular/MongoDbGranularRestoreController.h"
#include "granular/MongoDbGranularRestoreCoordinator.h"
#include "host/LogWriter.h"
#include "host/ModuleExports.h"
#include "host/TWDC_FileSystem.h"
#include "logbackup/CMongoDbLogBackup.h"
#include "logbackup/CMongoDbLogBackupController.h"
#include "restore/MongoDbRestoreController.h"
#include "restore/MongoDbRestoreCoordinator.h"
#include "snapbackup/MongoDbBackupController.h"
#include "snapbackup/MongoDbBackupCoordinator.h"

#define MODULE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace MongoDbKax;

bool IsOplogBackup(const CProgramArguments& args) {
    return args.IsFlagPresent("log") && args.GetValueOrEmpty("t") == "2";
}

DistributedKax::ICoordinator* CreateRestoreCoordinator(const CProgramArguments& args) {
    if (!IsGranularRecoveryEnabled()) {
        ZULOG_ERROR("Granular Recovery is not enabled");
        return new MongoDbRestoreCoordinator();
    }
    std::string jobIdText = args.GetValueOrEmpty("j");
    if (jobIdText.empty()) {
        ZULOG_ERROR("Failed to get Job Id from program arguments");
        return nullptr;
    }
    int64_t jobId = 0;
    std::istringstream(jobIdText) >> jobId;

    bool granular = false;
    if (IsGranularRecoveryJob(jobId, granular).IsError()) {
        ZULOG_ERROR("Error during Granular Recovery Job check, returning null");
        return nullptr;
    }
    if (granular) {
        ZULOG(6, "Returning granular restore coordinator");
        return new MongoDbGranularRestoreCoordinator();
    }
    return new MongoDbRestoreCoordinator();
}

DistributedKax::ICoordinator* CreateCoordinator(const std::string& phase,
                                                const CProgramArguments& args) {
    if (phase == "backup") {
        if (IsOplogBackup(args)) {
            ZULOG_NORMAL("Mongo DB Oplog Backup");
            return new CMongoDbLogBackup();
        }
        if (args.IsFlagPresent("snaptape")) {
            ZULOG_NORMAL("Mongo DB Backup Copy");
            return new MongoDbBackupCopyCoordinator();
        }
        ZULOG_NORMAL("Mongo DB Snap Backup");
        return new MongoDbBackupCoordinator();
    }
    if (phase == "postop") return new MongoDbPostOpCleanup();
    if (phase == "cleanup") return new TWDC_FileSystem::CRestore(true);
    if (phase == "restore") return CreateRestoreCoordinator(args);
    if (phase == "ifrestore") return new TWDC_FileSystem::CRestoreByJob(false);
    return nullptr;
}

DistributedKax::CController* CreateController(const std::string& phase,
                                              const CProgramArguments& args) {
    if (phase == "backup") {
        if (IsOplogBackup(args)) {
            ZULOG_NORMAL("Mongo DB Oplog Backup");
            return new CMongoDbLogBackupController();
        }
        if (args.IsFlagPresent("snaptape")) return new MongoDbBackupCopyController();
        return new MongoDbBackupController();
    }
    if (phase == "postop") return new MongoDbPostOpCleanupController();
    if (phase == "restore") {
        if (args.IsFlagPresent("granular")) return new MongoDbGranularRestoreController();
        return new MongoDbRestoreController();
    }
    if (phase == "ifrestore") return new TWDC_FileSystem::CFSRestoreByJobController();
    return nullptr;
}

}  // namespace

MODULE_EXPORT DistributedKax::ICoordinator* createICoordinatorInstanceV1(const char* phase,
                                                                        CProgramArgumentsPtr args) {
    if (!phase || !args) return nullptr;
    try {
        return CreateCoordinator(phase, *args);
    } catch (const std::exception& e) {
        ZULOG_ERROR("Failed to create the coordinator of phase [%s]: %s", phase, e.what());
        return nullptr;
    }
}

MODULE_EXPORT DistributedKax::CController* createIControllerInstanceV1(const char* phase,
                                                                      CProgramArgumentsPtr args) {
    if (!phase || !args) return nullptr;
    try {
        return CreateController(phase, *args);
    } catch (const std::exception& e) {
        ZULOG_ERROR("Failed to create the controller of phase [%s]: %s", phase, e.what());
        return nullptr;
    }
}

MODULE_EXPORT DistributedKax::IClientBrowse* createClientBrowseInstance(int value) {
    try {
        return new CClientBrowse(value);
    } catch (const std::exception& e) {
        ZULOG_ERROR("Failed to create the browse object: %s", e.what());
        return nullptr;
    }
}
