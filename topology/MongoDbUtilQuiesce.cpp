// MongoDbUtil: write lock of one member and the cluster's balancer.
#include <strings.h>

#include <nlohmann/json.hpp>

#include "access/MongoDbUtil.h"
#include "access/ShellQuoting.h"
#include "host/LogWriter.h"
#include "topology/TopologyCommand.h"

namespace MongoDbKax {

int MongoDbUtil::QuiesceDB(const std::string& host, int port) {
    return PerformLockActionOnDB(host, port, true);
}

int MongoDbUtil::UnQuiesceDB(const std::string& host, int port) {
    return PerformLockActionOnDB(host, port, false);
}

int MongoDbUtil::PerformLockActionOnDB(const std::string& host, int port, bool lock) {
    const bool v32 = isMongodVersion32();
    if (v32 && lock) {
        // On 3.2 a second fsync lock would only nest; an operator's forgotten
        // lock must be released by the operator, not absorbed by the backup.
        bool locked = false;
        if (CZuError err = GetDBLockStatus(host, port, locked)) {
            ZULOG_ERROR("%s", err.AsString().c_str());
            return -1;
        }
        if (locked) {
            ZULOG_ERROR(
                "Instance at [%s:%d] is already locked.  Make sure to run fsyncUnlock() before "
                "submitting the backup",
                host.c_str(), port);
            return -1;
        }
    }
    const char* action = lock ? "fsync" : "fsyncUnlock";
    JsonObject reply;
    if (TopologyCommand::Run(*this, host, port,
                             lock ? R"({"fsync":1, "lock": true})" : R"({"fsyncUnlock":1})",
                             reply) != 0)
        return -1;
    if (GetDoubleValue(reply, "ok") != 1.0) {
        ZULOG_ERROR("[%s] command failed", action);
        return -1;
    }
    if (!v32 && lock) {
        const int count = GetIntValue(reply, "lockCount");
        if (count < 1) {
            ZULOG_ERROR("[%s] failed. lock cnt [%d]", action, count);
            return -1;
        }
    }
    ZULOG_NORMAL("[%s] succeeded", action);
    return 0;
}

CZuError MongoDbUtil::GetDBLockStatus(const std::string& host, int port, bool& locked) {
    locked = false;
    JsonObject reply;
    if (TopologyCommand::Run(*this, host, port, R"({"currentOp":true, "fsyncLock": true})", reply) !=
        0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed,
                                       "Failed to check if instance is in locked state.");
    locked = GetBoolean(reply, "fsyncLock");
    return {};
}

int MongoDbUtil::StopStartBalancer(bool stop) {
    if (isMongodVersion32()) return StopStartBalancerV32(stop);
    JsonObject reply;
    if (TopologyCommand::Run(*this, m_mongoHost, m_mongoPort,
                             stop ? R"({"balancerStop": 1})" : R"({"balancerStart": 1})",
                             reply) != 0)
        return -1;
    if (GetDoubleValue(reply, "ok") != 1.0) {
        ZULOG_ERROR("Failed to parse [%s] balancer command output", stop ? "stop" : "start");
        return -1;
    }
    return 0;
}

int MongoDbUtil::StopStartBalancerV32(bool stop) {
    const char* action = stop ? "stop" : "start";
    const std::string target =
        "mongo --port " + std::to_string(m_mongoPort) + " --host " + ShellWord(m_mongoHost);
    std::string output;
    // The shell may print nothing for the stop or start itself (the runner
    // reports that as -1); the state read afterwards is what decides.
    int rc = RunMongoCmd(target + (stop ? " --quiet --eval \"sh.stopBalancer()\""
                                        : " --quiet --eval \"sh.startBalancer()\""),
                         MongoCmdOutput::Text, output);
    if (rc != 0 && !(rc == -1 && output.empty())) {
        ZULOG_ERROR("Failed to [%s] balancer", action);
        return -1;
    }
    if (RunMongoCmd(target + " --quiet --eval \"sh.getBalancerState()\"", MongoCmdOutput::Text,
                    output) != 0) {
        // An empty output is what the runner reports as -1.
        if (output.empty())
            ZULOG_ERROR("Failed to get balancer state after running [%s] balancer command", action);
        else
            ZULOG_ERROR("Failed to run the getBalancerState command");
        return -1;
    }
    if (strcasecmp(output.c_str(), stop ? "false" : "true") != 0) {
        ZULOG_ERROR("Failed to [%s] balancer", action);
        return -1;
    }
    ZULOG_NORMAL("Balancer [%s] Successful", action);
    return 0;
}

}  // namespace MongoDbKax
