// The utility process VADeverOREzuz started as coordinators start it: on a
// node (its focus client), attached back over the remote-command channel,
// answering with one name/value message.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "host/Entities.h"
#include "host/Files.h"
#include "host/NameValueMessage.h"
#include "host/Network.h"
#include "host/Platform.h"
#include "tests/support/TempStateRoot.h"

namespace {

constexpr const char* kNode = "nodeA";

class UtilityProcess : public StateRootTest {
protected:
    void SetUp() override {
        ::setenv("KAX_BIN", TEST_BUILD_DIR, 1);
        ASSERT_FALSE(TWPI_PlatformBase::InitProcess("utility-test").IsError());
        TWClient node;
        node.name = node.shortName = kNode;
        node.networkHostName = "127.0.10.5";
        ASSERT_FALSE(TWClient::Save(node).IsError());
        TWClient pseudo;
        pseudo.name = pseudo.shortName = "cluster1";
        ASSERT_FALSE(TWClient::Save(pseudo).IsError());
        MongoDBInstance instance;
        instance.instanceName = "cluster1";
        instance.hostName = "127.0.0.1";
        instance.port = 27017;
        instance.binPath = TEST_KIT_BIN;
        instance.pseudoClientId = pseudo.id;
        ASSERT_FALSE(MongoDBInstance::Save(instance).IsError());
        instanceId = instance.instanceId;
        ApplicationId app(2, 1);
        app.instanceId = instanceId;
        ASSERT_FALSE(app.Save().IsError());
    }

    // Runs the utility on the node; false when it ended without a reply
    // (a command line without a known command ends before attaching).
    bool Launch(const std::string& arguments, std::string& name, std::string& value) {
        CTwNetwork network;
        CTwRemoteCommandRequest request;
        request.argumentLine = arguments;
        bool timedOut = false;
        CNMessageBase reply;
        if (network.Attach_RemoteCommand("127.0.10.5", request, timedOut, 30) ||
            network.ReceiveXMLMessage(reply, timedOut, 60))
            return false;
        EXPECT_TRUE(App::ReadNameValueMessage(reply, name, value)) << reply.ToXml();
        return true;
    }

    std::string Osc(const std::string& file) const {
        std::string text;
        FXFile::ReadAll(root.path + "/clients/" + kNode + "/JobResults/2/1/osc/" + file, text);
        return text;
    }

    uint64_t instanceId = 0;
};

TEST_F(UtilityProcess, RecordsTheOplogPointAndStartsTheNodesCycle) {
    const std::string args = "-updatetimestampinfo -instid " + std::to_string(instanceId) +
                             " -appid 1 -mxid 2 -repset \"rs 1\" -sechostname \"db1.example\" -secport 27018 "
                             "-timestamp 1700000000 -lfjid 42";
    std::string name, value;
    ASSERT_TRUE(Launch(args, name, value));
    EXPECT_EQ(name, "STATUS");
    EXPECT_EQ(value, "SUCCESS");
    EXPECT_EQ(Osc("LAST_FULL_JOB"), "42");
    // An empty staging area: the first record of the cycle carries the reset mark.
    EXPECT_EQ(Osc("oplog_rs 1.ts"), "1:rs 1:27018:1700000000:42\nHostname:db1.example");
}

TEST_F(UtilityProcess, AMissingArgumentRecordsNothingAndSendsNoReply) {
    const std::string base = "-updatetimestampinfo -instid " + std::to_string(instanceId) + " -appid 1 -mxid 2";
    const char* cases[] = {
        " -repset rs0 -sechostname h -secport 1 -timestamp 5",              // no -lfjid
        " -sechostname h -secport 1 -timestamp 5 -lfjid 42",                // no -repset
        " -repset rs0 -secport 1 -timestamp 5 -lfjid 42",                   // no -sechostname
        " -repset rs0 -sechostname h -timestamp 5 -lfjid 42",               // no -secport
    };
    for (const char* missing : cases) {
        std::string name, value;
        EXPECT_FALSE(Launch(base + missing, name, value)) << missing << " got " << name << "=" << value;
        EXPECT_FALSE(FXFile::Exists(root.path + "/clients/" + kNode + "/JobResults/2/1/osc/LAST_FULL_JOB")) << missing;
    }
}

TEST_F(UtilityProcess, ReportsTheServerVersionWithoutItsLeadingV) {
    std::string name, value;
    ASSERT_TRUE(Launch("-rungetmongoversion -instid " + std::to_string(instanceId), name, value));
    EXPECT_EQ(name, "MongoVersion");
    EXPECT_EQ(value, "4.4.6");
}

TEST_F(UtilityProcess, FailsWithoutReplyOnAnUnknownInstanceOrCommand) {
    std::string name, value;
    EXPECT_FALSE(Launch("-rungetmongoversion -instid 0", name, value));
    EXPECT_FALSE(Launch("-rungetmongoversion -instid 999", name, value));
    EXPECT_FALSE(Launch("-nosuchcommand", name, value));
}

}  // namespace

namespace {

TEST_F(UtilityProcess, TheNodeCheckTellsWhetherALogBackupMustRunNow) {
    const std::string staging = root.path + "/clients/" + kNode + "/JobResults/2/1/local";
    struct Case {
        const char* name;
        const char* arguments;
        int dumpsWaiting;
        const char* status;
    } cases[] = {
        {"an application that is not MARLEX:APP", "-runosccheck -a bad -lognumth 1", 0, "DONOTRUNBACKUP"},
        {"the dump count threshold is reached", "-runosccheck -a 2:1 -lognumth 2", 2, "RUNBACKUP"},
        // No cycle was started on the node, so the dump pass fails: a log backup then reports it.
        {"a dump pass that fails", "-runosccheck -a 2:1 -lognumth 5", 1, "RUNBACKUP"},
    };
    for (const auto& tc : cases) {
        CZuDirectory::RemoveTree(staging);
        CZuDirectory::Create(staging);
        for (int i = 0; i < tc.dumpsWaiting; ++i)
            FXFile::WriteAll(staging + "/oplog_rs0_" + std::to_string(100 + i) + ".bson", "dump");
        std::string name, value;
        ASSERT_TRUE(Launch(tc.arguments, name, value)) << tc.name;
        EXPECT_EQ(name, "STATUS") << tc.name;
        EXPECT_EQ(value, tc.status) << tc.name;
        std::vector<std::string> files;
        CZuDirectory::List(staging, files);
        EXPECT_EQ(files.size(), size_t(tc.dumpsWaiting)) << tc.name << ": the check made a dump";
    }
}

}  // namespace
