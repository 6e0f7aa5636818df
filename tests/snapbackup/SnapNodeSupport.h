#pragma once
// Shared pieces of the node-side snapshot tests: a state root with the
// node's client, a job, and (for the kit tests) an instance and application
// bound to a MongoDB server; the node's program arguments; the controller
// driven through one task the way the framework drives it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "host/DistributedKax.h"
#include "host/Entities.h"
#include "host/Files.h"
#include "host/JobClient.h"
#include "host/Platform.h"
#include "host/ProgramArguments.h"
#include "platform/JobStore.h"
#include "snapbackup/MongoDbBackupController.h"
#include "tests/access/AccessTestSupport.h"

namespace MongoDbKax::testing {

inline constexpr uint32_t kMarlexId = 2;
inline constexpr uint32_t kAppId = 15;
inline constexpr const char* kNodeClient = "nodeA";

// Records the completion a controller sends at once.
struct RecordingControllerHost : DistributedKax::IControllerHost {
    void CompleteController(const DistributedKax::CControllerDoneMessage& done) override { sent.push_back(done); }
    std::vector<DistributedKax::CControllerDoneMessage> sent;
};

struct NodeRun {
    CZuError taskError;
    CZuError doneError;
    DistributedKax::CControllerDoneMessage done;
    RecordingControllerHost host;
};

// A state root with the node's client (the focus client) and one job.
class SnapNodeTest : public AccessTest {
protected:
    void SetUp() override {
        AccessTest::SetUp();
        TWClient node;
        node.name = node.shortName = kNodeClient;
        node.networkHostName = "127.0.0.1";
        node.ipAddresses = {"127.0.0.1"};
        ASSERT_FALSE(TWClient::Save(node).IsError());
        clientId = node.id;
        TWPI_PlatformBase::SetFocusClientName(kNodeClient);
        JobRecord job;
        job.type = "backup";
        job.client = kNodeClient;
        ASSERT_FALSE(JobStore::CreateJob(job).IsError());
        jobId = job.id;
        EvEvent::setJobId(jobId);
    }

    // The instance (master node host:port, the kit's tools) and application
    // kMarlexId:kAppId bound to it. Returns the instance id.
    static uint64_t RegisterInstance(const std::string& host, int port) {
        TWClient pseudo;
        pseudo.name = pseudo.shortName = "cluster-pseudo";
        EXPECT_FALSE(TWClient::Save(pseudo).IsError());
        MongoDBInstance instance;
        instance.instanceName = "cluster1";
        instance.hostName = host;
        instance.port = port;
        instance.binPath = TEST_KIT_BIN;
        instance.pseudoClientId = pseudo.id;
        EXPECT_FALSE(MongoDBInstance::Save(instance).IsError());
        ApplicationId application(kMarlexId, kAppId);
        application.instanceId = instance.instanceId;
        EXPECT_FALSE(application.Save().IsError());
        return instance.instanceId;
    }

    // The node's program arguments, as the framework starts it.
    std::vector<std::string> NodeArgv(int attempt = 1) const {
        const std::string job = std::to_string(jobId);
        return {"kaxrun",  "node", "-j",  job,  "-cn", kNodeClient, "-a",         "2:15", "-apptype", "8",
                "-token", job + ":5:" + std::to_string(attempt), "-numstreams", "0",   "-t",       "1",
                "-d",      "media1", "-snap"};
    }
    CProgramArgumentsPtr NodeArgs(int attempt = 1) const {
        return std::make_shared<CProgramArguments>(NodeArgv(attempt));
    }

    std::vector<JobEventRecord> Events(const std::string& kind = "") const {
        std::vector<JobEventRecord> all, chosen;
        EXPECT_FALSE(JobStore::ListEvents(jobId, all).IsError());
        for (const auto& e : all)
            if (kind.empty() || e.kind == kind) chosen.push_back(e);
        return chosen;
    }
    bool HasPendingCause(uint32_t id) const {
        for (const auto& e : Events(JobEventKind::Pending))
            if (e.messageId == id) return true;
        return false;
    }

    // Drives a controller through one task, as the framework does.
    void RunNode(const std::string& payload, std::shared_ptr<MongoDbSnapBackup> snap, NodeRun& run) {
        MongoDbBackupController controller(std::move(snap));
        auto args = NodeArgs();
        controller.AttachHost(&run.host, args);
        ASSERT_FALSE(controller.getClientConfigObject()->parseArguments(*args).IsError());
        ASSERT_FALSE(controller.processNodeInit(CNMessageBase(DistributedKax::FrameworkMessage::NodeInit)).IsError());
        DistributedKax::CStreamRequest streams;
        EXPECT_EQ(controller.getStreamRequest(streams).GetErrorCode(), ZuCode::NoStreamsRequired);
        DistributedKax::CTaskInfo task;
        task.taskId = 1;
        task.payload = payload;
        DistributedKax::CTaskCompleteMessage result;
        run.taskError = controller.OnTask(1, task, result);
        EXPECT_TRUE(controller.isControllerDone());
        run.doneError = controller.SetAdditionalCtrlDoneValues(run.done);
    }

    uint64_t clientId = 0;
    int64_t jobId = 0;
};

// argv-style pointers into `args` (which must outlive them).
inline std::vector<const char*> Pointers(const std::vector<std::string>& args) {
    std::vector<const char*> raw;
    for (const auto& a : args) raw.push_back(a.c_str());
    return raw;
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFileText(const std::string& path) {
    std::string text;
    FXFile::ReadAll(path, text);
    return text;
}

// Every value of the pairs named `name`, in order.
inline std::vector<std::string> Values(const DistributedKax::NameValueList& pairs, const std::string& name) {
    std::vector<std::string> values;
    for (const auto& [n, v] : pairs)
        if (n == name) values.push_back(v);
    return values;
}

}  // namespace MongoDbKax::testing
