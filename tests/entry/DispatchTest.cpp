// The job-phase dispatch table: which object each phase and argument
// combination yields, and when the restore branch reads the job's options.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <typeindex>
#include <vector>

#include "backupcopy/MongoDbBackupCopyController.h"
#include "backupcopy/MongoDbBackupCopyCoordinator.h"
#include "browse/CClientBrowse.h"
#include "cleanup/MongoDbPostOpCleanup.h"
#include "cleanup/MongoDbPostOpCleanupController.h"
#include "entry/GranularRecovery.h"
#include "granular/MongoDbGranularRestoreController.h"
#include "granular/MongoDbGranularRestoreCoordinator.h"
#include "host/JobOptions.h"
#include "host/ModuleExports.h"
#include "host/TWDC_FileSystem.h"
#include "logbackup/CMongoDbLogBackup.h"
#include "logbackup/CMongoDbLogBackupController.h"
#include "platform/JobStore.h"
#include "platform/Settings.h"
#include "restore/MongoDbRestoreController.h"
#include "restore/MongoDbRestoreCoordinator.h"
#include "snapbackup/MongoDbBackupController.h"
#include "snapbackup/MongoDbBackupCoordinator.h"
#include "tests/support/TempStateRoot.h"

namespace {

using namespace MongoDbKax;

const std::type_index kNull = typeid(void);

// What the job's stored options say about granular restore.
enum class Options { NoJob, NotGranular, Granular, GranularZero, NoMongoRecord, Malformed };

struct Case {
    const char* name;
    const char* phase;
    std::vector<std::string> args;
    std::optional<std::string> granularSetting;  // nullopt = absent
    Options options;
    std::type_index coordinator;
    std::type_index controller;
};

std::string OptionsXml(Options options) {
    if (options == Options::Malformed) return "<message tag=\"JobOptions\"";
    JobManager::JobOptions job;
    JobManager::RestoreOptions restore;
    JobManager::DistributedAppsRestoreOptions apps;
    apps.restoreType = 29;
    if (options != Options::NoMongoRecord) {
        JobManager::MongoDBRestoreOptions mongo;
        if (options == Options::Granular) mongo.granularRecovery = 1;
        if (options == Options::GranularZero) mongo.granularRecovery = 0;
        apps.mongoDBRestoreOptions = mongo;
    }
    restore.distributedAppsRestoreOptions = apps;
    job.restoreOptions = restore;
    return job.SerializeToXml();
}

// Creates a job holding the options; returns its id (0 for Options::NoJob).
int64_t StoreJob(Options options) {
    if (options == Options::NoJob) return 0;
    JobRecord job;
    job.type = "restore";
    EXPECT_TRUE(JobStore::CreateJob(job).IsSuccess());
    EXPECT_TRUE(JobStore::SetText(job.id, JobText::OptionsXml, OptionsXml(options)).IsSuccess());
    return job.id;
}

template <typename T>
std::type_index TypeOf(const T* object) {
    return object ? std::type_index(typeid(*object)) : kNull;
}

class DispatchTest : public StateRootTest {};

// "{job}" in the arguments stands for the id of the job the case stores.
std::shared_ptr<CProgramArguments> MakeArgs(const std::vector<std::string>& args, int64_t jobId) {
    std::vector<std::string> full = {"kaxjob"};
    for (std::string a : args) {
        if (size_t at = a.find("{job}"); at != std::string::npos) a.replace(at, 5, std::to_string(jobId));
        full.push_back(a);
    }
    return std::make_shared<CProgramArguments>(full);
}

TEST_F(DispatchTest, PhaseAndArgumentsSelectTheClass) {
    const std::type_index snapC = typeid(MongoDbBackupCoordinator), snapN = typeid(MongoDbBackupController);
    const std::type_index logC = typeid(CMongoDbLogBackup), logN = typeid(CMongoDbLogBackupController);
    const std::type_index copyC = typeid(MongoDbBackupCopyCoordinator), copyN = typeid(MongoDbBackupCopyController);
    const std::type_index fullC = typeid(MongoDbRestoreCoordinator), fullN = typeid(MongoDbRestoreController);
    const std::type_index granC = typeid(MongoDbGranularRestoreCoordinator);
    const std::type_index granN = typeid(MongoDbGranularRestoreController);
    const std::type_index postC = typeid(MongoDbPostOpCleanup), postN = typeid(MongoDbPostOpCleanupController);
    const std::type_index fsRestore = typeid(TWDC_FileSystem::CRestore);
    const std::type_index byJobC = typeid(TWDC_FileSystem::CRestoreByJob);
    const std::type_index byJobN = typeid(TWDC_FileSystem::CFSRestoreByJobController);
    const auto none = std::nullopt;
    const Options noJob = Options::NoJob;

    const Case cases[] = {
        {"plain backup is a snapshot backup", "backup", {}, none, noJob, snapC, snapN},
        {"log with t=2 is an oplog backup", "backup", {"-log", "-t", "2"}, none, noJob, logC, logN},
        {"log with t=1 is a snapshot backup", "backup", {"-log", "-t", "1"}, none, noJob, snapC, snapN},
        {"t=2 without log is a snapshot backup", "backup", {"-t", "2"}, none, noJob, snapC, snapN},
        {"snaptape is a backup copy", "backup", {"-snaptape"}, none, noJob, copyC, copyN},
        {"log t=1 with snaptape is a backup copy", "backup", {"-log", "-t", "1", "-snaptape"}, none, noJob, copyC, copyN},
        {"the log test comes before snaptape", "backup", {"-snaptape", "-log", "-t", "2"}, none, noJob, logC, logN},
        {"postop", "postop", {}, none, noJob, postC, postN},
        {"cleanup has a coordinator but no controller", "cleanup", {}, none, noJob, fsRestore, kNull},
        {"ifrestore is the framework's", "ifrestore", {}, none, noJob, byJobC, byJobN},
        {"phase names are exact: Backup", "Backup", {}, none, noJob, kNull, kNull},
        {"phase names are exact: trailing blank", "restore ", {"-j", "1"}, none, noJob, kNull, kNull},
        {"unknown phase", "copy", {}, none, noJob, kNull, kNull},
        {"restore of a granular job", "restore", {"-j", "{job}"}, none, Options::Granular, granC, fullN},
        {"restore of a granular job, setting true", "restore", {"-j", "{job}"}, "true", Options::Granular, granC, fullN},
        {"granular node flag picks the granular controller", "restore", {"-granular", "-j", "{job}"}, none, Options::Granular, granC, granN},
        {"restore of a full job", "restore", {"-j", "{job}"}, none, Options::NotGranular, fullC, fullN},
        {"granular field zero is a full restore", "restore", {"-j", "{job}"}, none, Options::GranularZero, fullC, fullN},
        {"setting false never reads the options", "restore", {"-j", "{job}"}, "false", Options::Granular, fullC, fullN},
        {"setting false needs no job id", "restore", {}, "false", noJob, fullC, fullN},
        {"missing job id is refused", "restore", {}, none, noJob, kNull, fullN},
        {"job id of no job is refused", "restore", {"-j", "99999"}, none, noJob, kNull, fullN},
        {"options without the MongoDB record are refused", "restore", {"-j", "{job}"}, none, Options::NoMongoRecord, kNull, fullN},
        {"malformed options are refused", "restore", {"-j", "{job}"}, none, Options::Malformed, kNull, fullN},
        {"trailing text after the job id is ignored", "restore", {"-j", "{job}x"}, none, Options::Granular, granC, fullN},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool removed = false;
        ASSERT_TRUE(TWSettings::Unset("Kestrix", "bMongoDbEnableGranularRecovery", "", removed).IsSuccess());
        if (c.granularSetting) {
            ASSERT_TRUE(TWSettings::Set("Kestrix", "bMongoDbEnableGranularRecovery", *c.granularSetting).IsSuccess());
        }
        int64_t jobId = StoreJob(c.options);
        auto programArgs = MakeArgs(c.args, jobId);

        std::unique_ptr<DistributedKax::ICoordinator> coordinator(
            createICoordinatorInstanceV1(c.phase, programArgs));
        std::unique_ptr<DistributedKax::CController> controller(
            createIControllerInstanceV1(c.phase, programArgs));
        EXPECT_EQ(TypeOf(coordinator.get()), c.coordinator);
        EXPECT_EQ(TypeOf(controller.get()), c.controller);
    }
}

TEST_F(DispatchTest, GranularCheckReportsWhyItFailed) {
    struct Check {
        const char* name;
        Options options;
        bool ok;
        bool granular;
        const char* message;
    };
    const Check checks[] = {
        {"granular job", Options::Granular, true, true, ""},
        {"full job", Options::NotGranular, true, false, ""},
        {"no such job", Options::NoJob, false, false, "Failed to get the xml options"},
        {"no MongoDB record", Options::NoMongoRecord, false, false,
         "Failed to get mongodb restore options from task xml"},
        {"malformed XML", Options::Malformed, false, false, "Failed to unserialize restore job options ["},
    };
    for (const Check& c : checks) {
        SCOPED_TRACE(c.name);
        int64_t jobId = c.options == Options::NoJob ? 424242 : StoreJob(c.options);
        bool granular = !c.granular;
        CZuError err = IsGranularRecoveryJob(jobId, granular);
        EXPECT_EQ(err.IsSuccess(), c.ok) << err.AsString();
        EXPECT_EQ(granular, c.granular);
        if (!c.ok) {
            EXPECT_EQ(err.GetErrorCode(), ZuCode::FunctionFailed);
            EXPECT_NE(err.AsString().find(c.message), std::string::npos) << err.AsString();
        }
    }
}

TEST_F(DispatchTest, GranularSettingAbsentMeansEnabled) {
    EXPECT_TRUE(IsGranularRecoveryEnabled());
    ASSERT_TRUE(TWSettings::Set("Kestrix", "bMongoDbEnableGranularRecovery", "false").IsSuccess());
    EXPECT_FALSE(IsGranularRecoveryEnabled());
    ASSERT_TRUE(TWSettings::Set("Kestrix", "bMongoDbEnableGranularRecovery", "true").IsSuccess());
    EXPECT_TRUE(IsGranularRecoveryEnabled());
}

TEST_F(DispatchTest, StandInsFailEveryLifeCycleCallNamingTheCapability) {
    auto args = MakeArgs({"-snaptape"}, 0);
    std::unique_ptr<DistributedKax::ICoordinator> coordinator(createICoordinatorInstanceV1("backup", args));
    ASSERT_NE(coordinator, nullptr);
    CZuError err = coordinator->initialize(coordinator->getClientConfigObject(), args, nullptr, nullptr);
    EXPECT_TRUE(err.IsError());
    EXPECT_NE(err.AsString().find("Backup copy is not available"), std::string::npos) << err.AsString();
    EXPECT_TRUE(coordinator->OnComplete().IsError());

    std::unique_ptr<DistributedKax::CController> controller(createIControllerInstanceV1("postop", args));
    ASSERT_NE(controller, nullptr);
    EXPECT_TRUE(controller->processNodeInit(CNMessageBase("NodeInit")).IsError());

    std::unique_ptr<DistributedKax::IClientBrowse> browse(createClientBrowseInstance(7));
    ASSERT_NE(browse, nullptr);
    CNMessageBase request, response, generic;
    EXPECT_TRUE(browse->MachineBrowse(request, response, generic).IsError());
}

TEST_F(DispatchTest, NullArgumentsYieldNull) {
    EXPECT_EQ(createICoordinatorInstanceV1(nullptr, MakeArgs({}, 0)), nullptr);
    EXPECT_EQ(createICoordinatorInstanceV1("backup", nullptr), nullptr);
    EXPECT_EQ(createIControllerInstanceV1("backup", nullptr), nullptr);
}

TEST(JobOptionsTest, RoundTripKeepsEveryField) {
    JobManager::MongoDBRestoreOptions mongo;
    mongo.granularRecovery = 1;
    mongo.oplogStagingPath = "/stage/oplog dir";
    mongo.automatedRecovery = true;
    mongo.recoveryOplogLimitTime = 1700000000;
    mongo.inPlace = true;
    mongo.retainStagingInstance = 0;
    mongo.recoverToTime = 1700000123;
    CNMessageBase shard("anything");
    shard.Set("sourceShard", "rs0");
    mongo.destShards.push_back(shard);
    JobManager::JobOptions in;
    in.restoreOptions.emplace();
    in.restoreOptions->unconditionalOverwrite = true;
    in.restoreOptions->destinationInstanceName = "prod <east>";
    in.restoreOptions->distributedAppsRestoreOptions.emplace();
    in.restoreOptions->distributedAppsRestoreOptions->restoreType = 29;
    in.restoreOptions->distributedAppsRestoreOptions->mongoDBRestoreOptions = mongo;

    JobManager::JobOptions out;
    ASSERT_TRUE(out.UnserializeFromXml(in.SerializeToXml()).IsSuccess());
    ASSERT_TRUE(out.restoreOptions && out.restoreOptions->distributedAppsRestoreOptions);
    EXPECT_TRUE(out.restoreOptions->unconditionalOverwrite);
    EXPECT_EQ(out.restoreOptions->destinationInstanceName, "prod <east>");
    const auto& m = *out.restoreOptions->distributedAppsRestoreOptions->mongoDBRestoreOptions;
    EXPECT_EQ(m.granularRecovery, 1);
    EXPECT_EQ(m.oplogStagingPath, "/stage/oplog dir");
    EXPECT_TRUE(m.automatedRecovery);
    EXPECT_EQ(m.recoveryOplogLimitTime, 1700000000u);
    EXPECT_TRUE(m.inPlace);
    EXPECT_FALSE(m.restoreOnly);
    EXPECT_EQ(m.retainStagingInstance, 0);
    EXPECT_EQ(m.recoverToTime, 1700000123u);
    ASSERT_EQ(m.destShards.size(), 1u);
    EXPECT_EQ(m.destShards[0].GetString("sourceShard"), "rs0");
    EXPECT_FALSE(m.granularEntities.size());
}

TEST(JobOptionsTest, MalformedNumberIsAnErrorNotZero) {
    CNMessageBase tree("JobOptions");
    tree.AddChild("restoreOptions").AddChild("distributedAppsRestoreOptions").AddChild("mongoDBRestoreOptions")
        .Set("granularRecovery", "yes");
    JobManager::JobOptions out;
    CZuError err = out.Unserialize(tree);
    EXPECT_EQ(err.GetErrorCode(), ZuCode::InvalidData);
}

}  // namespace
