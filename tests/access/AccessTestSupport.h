#pragma once
// Shared pieces of the access-layer tests: a fresh state root with a verbose
// log, settings and management entities, and a MongoDbUtil whose shell runs
// are answered by the test instead of a shell.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "access/MongoDbUtil.h"
#include "host/Entities.h"
#include "host/LogWriter.h"
#include "host/Password.h"
#include "host/Platform.h"
#include "host/PlatformInfo.h"
#include "platform/Settings.h"
#include "tests/support/TempStateRoot.h"

namespace MongoDbKax::testing {

// A state root of its own, the process log at its most verbose.
class AccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(TWPI_PlatformBase::InitProcess("test_access").IsError());
        ASSERT_NE(g_ptrLogWriter, nullptr);
        g_ptrLogWriter->SetLevel(7);
    }

    static void SetSetting(const std::string& name, const std::string& value) {
        CZuError err = TWSettings::Set(TWSettingSections::Agent, name, value);
        ASSERT_FALSE(err.IsError()) << err.AsString();
    }

    static void ClearStoredSettings() {
        std::vector<TWSettings::Entry> entries;
        ASSERT_FALSE(TWSettings::List(entries).IsError());
        for (const auto& entry : entries) {
            bool removed = false;
            ASSERT_FALSE(
                TWSettings::Unset(entry.section, entry.name, entry.client, removed).IsError());
        }
    }

    static std::string Protect(const std::string& clear) {
        std::string text;
        EXPECT_TRUE(TWPassword::encrypt(clear, text));
        return text;
    }

    // Registers the local client (the process's focus client), the instance's
    // pseudo-client, the instance, and application marlexId:appId bound to it.
    // Returns the instance id.
    static uint64_t RegisterInstance(MongoDBInstance instance, uint32_t marlexId = 2,
                                     uint32_t appId = 15) {
        TWClient node;
        node.name = "node1";
        node.shortName = "node1";
        node.networkHostName = "node1.example.test";
        node.ipAddresses = {"127.0.0.1"};
        EXPECT_FALSE(TWClient::Save(node).IsError());
        TWClient pseudo;
        pseudo.name = "mongo-cluster-pseudo";
        pseudo.shortName = "mcp";
        EXPECT_FALSE(TWClient::Save(pseudo).IsError());
        instance.pseudoClientId = pseudo.id;
        if (instance.instanceName.empty())
            instance.instanceName = "inst1";
        EXPECT_FALSE(MongoDBInstance::Save(instance).IsError());
        ApplicationId application(marlexId, appId);
        application.instanceId = instance.instanceId;
        EXPECT_FALSE(application.Save().IsError());
        TWPI_PlatformBase::SetFocusClientName("node1");
        return instance.instanceId;
    }

    TempStateRoot root;
};

// A MongoDbUtil whose shell commands go to `respond` and are recorded.
class ScriptedUtil : public MongoDbUtil {
public:
    struct Run {
        std::string command;
        bool secret = false;
    };
    // (command) -> exit status; fills the output.
    using Responder = std::function<int(const std::string& command, std::string& output)>;

    ScriptedUtil() = default;
    explicit ScriptedUtil(Responder responder) : respond(std::move(responder)) {}

    int ExecCmd(const std::string& command, std::string& output, std::string& errorOutput,
                bool commandHoldsSecret) override {
        runs.push_back({command, commandHoldsSecret});
        errorOutput.clear();
        output.clear();
        return respond ? respond(command, output) : 0;
    }

    Responder respond;
    std::vector<Run> runs;
};

}  // namespace MongoDbKax::testing
