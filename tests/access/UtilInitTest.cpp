// MongoDbUtil initialization from the management database, the job's
// arguments and the settings, and the management entities themselves.
#include "access/MongoDbConnection.h"
#include "host/JobClient.h"
#include "platform/JobStore.h"
#include "topology/MongoDBConfig.h"
#include "tests/access/AccessTestSupport.h"

namespace MongoDbKax::testing {
namespace {

class UtilInitTest : public AccessTest {
protected:
    MongoDBInstance Instance(int port = 27018, const std::string& user = "admin",
                             const std::string& password = "s3cret") {
        MongoDBInstance instance;
        instance.instanceName = "inst1";
        instance.hostName = "db1.example.test";
        instance.port = port;
        instance.dbUser = user;
        instance.encryptedDbPassword = password.empty() ? "" : Protect(password);
        instance.binPath = "/opt/mongodb/bin";
        instance.osUser = "mongod";
        return instance;
    }

    static CProgramArgumentsPtr Args(std::vector<std::string> args) {
        args.insert(args.begin(), "prog");
        return std::make_shared<CProgramArguments>(args);
    }
};

TEST_F(UtilInitTest, EntitiesRoundTripThroughTheManagementDatabase) {
    TWClient client;
    client.name = "node7";
    client.shortName = "n7";
    client.networkHostName = "node7.example.test";
    client.ipAddresses = {"127.0.0.7", "10.0.0.7"};
    ASSERT_FALSE(TWClient::Save(client).IsError());
    ASSERT_NE(client.id, 0u);

    TWClient byName, byId;
    ASSERT_FALSE(TWClient::ByName("node7", byName).IsError());
    ASSERT_FALSE(TWClient::ById(client.id, byId).IsError());
    for (const TWClient* read : {&byName, &byId}) {
        EXPECT_EQ(read->shortName, "n7");
        EXPECT_EQ(read->networkHostName, "node7.example.test");
        EXPECT_EQ(read->ipAddresses, client.ipAddresses);
    }
    // Saving again under the same name updates the same client.
    client.networkHostName = "node7b";
    ASSERT_FALSE(TWClient::Save(client).IsError());
    ASSERT_FALSE(TWClient::ByName("node7", byName).IsError());
    EXPECT_EQ(byName.id, byId.id);
    EXPECT_EQ(byName.networkHostName, "node7b");

    TWClient unknown;
    EXPECT_EQ(TWClient::ByName("nobody", unknown).GetErrorCode(), 1168u);
    MongoDBInstance noInstance;
    EXPECT_EQ(MongoDBInstance::ById(999, noInstance).GetErrorCode(), 1168u);
    ApplicationId noApp(2, 99);
    EXPECT_EQ(noApp.Resolve().GetErrorCode(), 1168u);

    const uint64_t instanceId = RegisterInstance(Instance(), 2, 15);
    ApplicationId application(2, 15);
    ASSERT_FALSE(application.Resolve().IsError());
    EXPECT_EQ(application.instanceId, instanceId);
    EXPECT_EQ(application.instanceName, "inst1");
    uint64_t pseudoClientId = 0;
    ASSERT_FALSE(ClientFromInstanceId::getClientId(instanceId, pseudoClientId).IsError());
    EXPECT_EQ(application.clientId, pseudoClientId);
    TWClient pseudo;
    ASSERT_FALSE(TWClient::ById(pseudoClientId, pseudo).IsError());
    EXPECT_EQ(pseudo.shortName, "mcp");
}

TEST_F(UtilInitTest, ApplicationArgumentIsParsedWithAutomaticBase) {
    RegisterInstance(Instance(), 2, 15);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int expected;
        uint64_t marlexId;
        uint64_t appId;
    };
    const std::vector<Case> cases = {
        {"decimal", {"-a", "2:15"}, 0, 2, 15},
        {"hexadecimal", {"-a", "0x2:0x0F"}, 0, 2, 15},
        {"octal", {"-a", "02:017"}, 0, 2, 15},
        {"one part", {"-a", "15"}, 1, 2, 0},
        {"three parts", {"-a", "2:15:1"}, 1, 2, 0},
        {"not a number", {"-a", "x:15"}, 1, 2, 0},
        {"empty part", {"-a", ":15"}, 1, 2, 0},
        {"negative", {"-a", "-2:15"}, 1, 2, 0},
        {"too large for an id", {"-a", "2:4294967296"}, 1, 2, 0},
        {"absent", {}, 1, 2, 0},
        {"unknown application", {"-a", "3:15"}, 1, 3, 15},
        {"zero application id", {"-a", "2:0"}, 1, 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MongoDbUtil util;
        CProgramArgumentsPtr args = Args(c.args);
        EXPECT_EQ(util.Initialize(args), c.expected);
        EXPECT_EQ(util.GetMarlexId(), c.marlexId);
        EXPECT_EQ(util.GetAppId(), c.appId);
    }
    EXPECT_NE(ReadLog().find("Invalid application id, expected <marlex-id>:<application-number> [15]"),
              std::string::npos);
}

TEST_F(UtilInitTest, InitializeReadsTheInstanceAndPreparesTheDirectories) {
    const uint64_t instanceId = RegisterInstance(Instance(0), 2, 15);
    MongoDbUtil util(15, 2);
    ASSERT_EQ(util.Initialize(), 0);
    EXPECT_EQ(util.GetInstanceId(), instanceId);
    EXPECT_EQ(util.GetMongoHost(), "db1.example.test");
    EXPECT_EQ(util.GetMongoPort(), 27017);  // port 0 means the default
    EXPECT_EQ(util.GetDbUser(), "admin");
    EXPECT_TRUE(util.HasDbPassword());
    EXPECT_EQ(util.GetBinPath(), "/opt/mongodb/bin");
    EXPECT_EQ(util.GetOsUser(), "mongod");
    EXPECT_EQ(util.GetLocalHostName(), "node1.example.test");
    TWClient node;
    ASSERT_FALSE(TWClient::ByName("node1", node).IsError());
    EXPECT_EQ(util.GetClientId(), node.id);

    const std::string results = TWPI_CommClient::getJobResultsDirectory("node1");
    EXPECT_EQ(util.GetAppResultsDir(), results + "/2/15");
    EXPECT_EQ(util.GetOscDir(), results + "/2/15/osc");
    EXPECT_EQ(util.GetStagingDir(), results + "/2/15");
    EXPECT_TRUE(FXFile::IsDirectory(util.GetOscDir()));
    EXPECT_TRUE(FXFile::IsDirectory(util.GetStagingDir() + "/local"));
    // The password never reaches the log.
    EXPECT_EQ(ReadLog().find("s3cret"), std::string::npos);
}

TEST_F(UtilInitTest, StagingLocationSettingIsUsed) {
    RegisterInstance(Instance(), 2, 15);
    SetSetting("sOpLogDumpStagingLoc", root.File("staging"));
    MongoDbUtil util(15, 2);
    ASSERT_EQ(util.Initialize(), 0);
    EXPECT_EQ(util.GetStagingDir(), root.File("staging"));
    EXPECT_TRUE(FXFile::IsDirectory(root.File("staging/local")));
}

TEST_F(UtilInitTest, InitializeFailsOnMissingIds) {
    for (auto [appId, marlexId] : {std::pair<uint32_t, uint32_t>{0, 2}, {15, 0}}) {
        MongoDbUtil util(appId, marlexId);
        EXPECT_EQ(util.Initialize(), 1);
    }
    EXPECT_NE(ReadLog().find("Invalid parameters [appid:mxid] [15:0]"), std::string::npos);
}

TEST_F(UtilInitTest, DiscoveryNeedsAKnownFocusClientWithAHostName) {
    uint64_t instanceId = RegisterInstance(Instance(), 2, 15);
    struct Case {
        const char* name;
        std::string focus;
        const char* logged;
    };
    TWClient bare;
    bare.name = "bare";
    ASSERT_FALSE(TWClient::Save(bare).IsError());
    const std::vector<Case> cases = {
        {"no focus client", "", "Invalid focus client name"},
        {"unknown client", "ghost", "Failed to lookup for client info for client name [ghost]"},
        {"client without host name", "bare",
         "Failed to get network hostname for client name [bare]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TWPI_PlatformBase::SetFocusClientName(c.focus);
        MongoDbUtil util;
        EXPECT_EQ(util.InitializeForDiscovery(instanceId), 1);
        EXPECT_NE(ReadLog().find(c.logged), std::string::npos);
    }
    uint64_t unknownInstance = 12345;
    MongoDbUtil util;
    EXPECT_EQ(util.InitializeForDiscovery(unknownInstance), 1);
}

TEST_F(UtilInitTest, EmptyDbUserNeverDecrypts) {
    MongoDBInstance instance = Instance(27018, "", "");
    instance.encryptedDbPassword = "not protected text";
    RegisterInstance(instance);
    MongoDbUtil util;
    ASSERT_EQ(util.InitFromInstanceProp(instance), 0);
    EXPECT_EQ(util.GetDbUser(), "");
    EXPECT_FALSE(util.HasDbPassword());
    EXPECT_EQ(ReadLog().find("Failed to decrypt the password"), std::string::npos);
}

TEST_F(UtilInitTest, UndecryptablePasswordFails) {
    MongoDBInstance instance = Instance();
    instance.encryptedDbPassword = "v1:tampered";
    RegisterInstance(instance);
    MongoDbUtil util;
    EXPECT_EQ(util.InitFromInstanceProp(instance), 1);
    EXPECT_NE(ReadLog().find("Failed to decrypt the password"), std::string::npos);
}

TEST_F(UtilInitTest, SnapshotPhaseReadsSecondarySelectionSettings) {
    RegisterInstance(Instance(), 2, 15);
    SetSetting("bMongoDBUseLowestPriorityNode", "false");
    SetSetting("bMongoDBUseLeastLagNode", "true");
    SetSetting("bMongoDBUseDelayedLagNode", "true");

    MongoDbUtil other;
    CProgramArgumentsPtr plain = Args({"-a", "2:15"});
    ASSERT_EQ(other.Initialize(plain), 0);
    EXPECT_TRUE(other.UseLowestPriorityNode());
    EXPECT_FALSE(other.UseLeastLagNode());
    EXPECT_FALSE(other.UseDelayedLagNode());

    MongoDbUtil snap;
    CProgramArgumentsPtr snapArgs = Args({"-a", "2:15", "-snap"});
    ASSERT_EQ(snap.Initialize(snapArgs), 0);
    EXPECT_FALSE(snap.UseLowestPriorityNode());
    EXPECT_TRUE(snap.UseLeastLagNode());
    EXPECT_TRUE(snap.UseDelayedLagNode());
}

TEST_F(UtilInitTest, NodeCheckContextReadsItsThresholds) {
    RegisterInstance(Instance(), 2, 15);
    MongoDbUtil util;
    CProgramArgumentsPtr args = Args({"-a", "2:15", "-lognumth", "12", "-spaceth", "80"});
    ASSERT_EQ(util.IntializeOSCContext(args), 0);
    EXPECT_EQ(util.GetDumpCountThreshold(), 12u);
    EXPECT_EQ(util.GetSpaceThresholdPercent(), 80u);

    MongoDbUtil bad;
    CProgramArgumentsPtr badArgs = Args({"-a", "15", "-lognumth", "12"});
    EXPECT_EQ(bad.IntializeOSCContext(badArgs), 1);
    EXPECT_EQ(bad.GetDumpCountThreshold(), 0u);
}

TEST_F(UtilInitTest, RestoreInitialization) {
    const uint64_t instanceId = RegisterInstance(Instance(), 2, 15);
    {
        MongoDbUtil util;
        EXPECT_EQ(util.InitializeForRestore(7, 0, false, "", "", false), 1);
        EXPECT_EQ(util.GetDbUser(), "");  // nothing was read
        EXPECT_NE(ReadLog().find("Invalid destination instance id input"), std::string::npos);
    }
    {
        MongoDbUtil util;  // no such job
        EXPECT_EQ(util.InitializeForRestore(424242, instanceId, false, "", "", false), 1);
        EXPECT_NE(ReadLog().find("Unable to initialize job client object"), std::string::npos);
    }
    JobRecord job;
    job.type = "restore";
    job.client = "node1";
    ASSERT_FALSE(JobStore::CreateJob(job).IsError());
    SetSetting("nVADeverOREzuzTimeoutInMins", "5");
    MongoDbUtil util;
    ASSERT_EQ(util.InitializeForRestore(job.id, instanceId, true, "svc", "pw", true), 0);
    EXPECT_EQ(util.GetJobId(), job.id);
    ASSERT_NE(util.GetJobClient(), nullptr);
    EXPECT_EQ(util.GetJobClient()->GetJobId(), job.id);
    EXPECT_TRUE(util.IsAuthAndTlsSuppressed());
    EXPECT_TRUE(util.IsGranularRecovery());
    EXPECT_EQ(util.GetRunAsUser(), "svc");
    EXPECT_EQ(util.GetRecoveryTimeoutMins(), 5u);
    EXPECT_EQ(util.GetDbUser(), "admin");
}

TEST_F(UtilInitTest, PrepareRestoreTakesCredentialsFromTheClusterConfiguration) {
    const uint64_t instanceId = RegisterInstance(Instance(), 2, 15);
    {
        MongoDbUtil util;  // a message without credentials
        EXPECT_EQ(util.InitializeForPrepareRestore(instanceId), 0);
        EXPECT_EQ(util.GetDbUser(), "");
    }
    {
        auto* config = new App::MongoDBConfig();
        config->credentials = App::MongoDBCredentials{"restorer", Protect("pw")};
        MongoDbUtil util(config);
        EXPECT_EQ(util.InitializeForPrepareRestore(instanceId), 0);
        EXPECT_EQ(util.GetDbUser(), "restorer");
        EXPECT_TRUE(util.HasDbPassword());
    }
    {
        auto* config = new App::MongoDBConfig();
        config->credentials = App::MongoDBCredentials{"restorer", "garbage"};
        MongoDbUtil util(config);
        EXPECT_EQ(util.InitializeForPrepareRestore(instanceId), 1);
        EXPECT_NE(
            ReadLog().find("Failed to decrypt password. Property name: [MongoDB DB Password]"),
            std::string::npos);
    }
}

TEST_F(UtilInitTest, ConnectionTakesTheInstancesCompositeTlsSettings) {
    const uint64_t instanceId = RegisterInstance(Instance(), 2, 15);
    // The pseudo-client's short name is "mcp", the instance "inst1".
    SetSetting("bEnableMongoSSL_mcp_inst1", "true");
    SetSetting("sMongoSSLClientCAFile_mcp_inst1", "/etc/ssl/inst1-ca.pem");

    MongoDbUtil util;
    EXPECT_FALSE(util.GetConnection()->isSslEnabled());  // plain names only
    const auto before = util.GetConnection();
    EXPECT_EQ(util.InitializeMongoDbConnection(instanceId), 0);
    EXPECT_NE(util.GetConnection(), before);
    EXPECT_TRUE(util.IsSSLActive());
    std::string ca;
    EXPECT_TRUE(util.GetConnection()->getSslCAFile(ca));
    EXPECT_EQ(ca, "/etc/ssl/inst1-ca.pem");

    // A failing initialization keeps the connection in place.
    const auto kept = util.GetConnection();
    EXPECT_EQ(util.InitializeMongoDbConnection(uint64_t(0)), 1);
    EXPECT_EQ(util.InitializeMongoDbConnection(uint64_t(999)), 1);
    EXPECT_EQ(util.GetConnection(), kept);
}

}  // namespace
}  // namespace MongoDbKax::testing
