#pragma once
// A snapshot backup coordinator bound to a job of a fresh state root,
// without a deployment (no initialize): its configuration and job clients
// are set as initialize sets them, and tests give it the plan and tasks they
// need.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/Entities.h"
#include "host/JobClient.h"
#include "platform/JobStore.h"
#include "snapbackup/MongoDBNodeInfo.h"
#include "snapbackup/MongoDbBackupCoordinator.h"
#include "tests/support/TempStateRoot.h"
#include "topology/MongoDBConfig.h"

namespace MongoDbKax::testing {

class DetachedCoordinator {
public:
    explicit DetachedCoordinator(const std::string& attempt = "1") {
        TWPI_PlatformBase::InitProcess("snapcoord-test");
        JobRecord job;
        job.type = "backup";
        job.client = "cs";
        EXPECT_FALSE(JobStore::CreateJob(job).IsError());
        jobId = job.id;
        jobClient = std::make_shared<TWBackupJobClient>();
        controlClient = std::make_shared<TWJobControlClient>();
        EXPECT_FALSE(jobClient->init("localhost", jobId).IsError());
        EXPECT_FALSE(controlClient->init(jobId).IsError());
        const std::string id = std::to_string(jobId);
        auto args = std::make_shared<CProgramArguments>(
            std::vector<std::string>{"kaxrun", "-j", id, "-token", id + ":5:" + attempt, "-t", "1"});
        EXPECT_FALSE(coordinator.getClientConfigObject()->parseArguments(*args).IsError());
        coordinator.KeepJobClients(jobClient, controlClient);
    }

    // A task of node `node` protecting one secondary of `replicaSet`.
    DistributedKax::CTask& AddTask(const std::string& node, const std::string& replicaSet, int status = 1) {
        auto config = std::make_shared<App::MongoDBConfig>();
        App::MongoDBServer server;
        server.hostName = "127.0.10.9";
        server.port = 27017;
        server.replicaSetName = replicaSet;
        server.dbPath = "/data/" + replicaSet;
        config->serverList.push_back(server);
        DistributedKax::CTask task;
        task.id = int64_t(coordinator.GetTaskList().size()) + 1;
        task.status = status;
        task.name = task.nodeName = node;
        task.payload = std::make_shared<MongoDBNodeInfo>(config);
        coordinator.GetTaskList().push_back(task);
        return coordinator.GetTaskList().back();
    }

    int64_t jobId = 0;
    std::shared_ptr<TWJobClient> jobClient;
    std::shared_ptr<TWJobControlClient> controlClient;
    MongoDbBackupCoordinator coordinator;
};

inline DistributedKax::CNode NodeNamed(const std::string& name, uint64_t id = 7) {
    DistributedKax::CNode node;
    node.clientName = name;
    node.clientId = id;
    return node;
}

inline DistributedKax::CControllerDoneMessage Done(const DistributedKax::NameValueList& pairs, int status = 1) {
    DistributedKax::CControllerDoneMessage done;
    done.status = status;
    done.pairs = pairs;
    return done;
}

inline MongoRepSetInfo_t PlanRecord(const std::string& name, const std::string& host, uint32_t port) {
    MongoRepSetInfo_t r;
    r.replicaSetName = name;
    r.secondaryHost = host;
    r.secondaryPort = port;
    return r;
}

}  // namespace MongoDbKax::testing
