// "-updatetimestampinfo": after a full backup, record on this node the oplog
// point the snapshot ended at, which starts the node's oplog cycle.
#include <cstdlib>

#include "access/MongoDbUtil.h"
#include "host/LogWriter.h"
#include "host/Platform.h"
#include "logbackup/OplogBackupRecords.h"
#include "utilprocess/UtilityCommands.h"

namespace MongoDbKax::Utility {

namespace {

constexpr int kDisconnectSeconds = 10;

// The record named by the arguments; false (logged) when any of the five is missing.
bool GetOplogTSInfo(const CProgramArguments& args, MongoDbOplogTimeStampInfo_t& record) {
    bool complete = true;
    auto read = [&](const char* name, const char* missing, const auto& use) {
        std::string text;
        if (args.GetValue(name, text)) {
            ZULOG_ERROR("%s", missing);
            complete = false;
        } else {
            use(text);
        }
    };
    read("repset", "Failed to get repset name", [&](const std::string& t) {
        record.replicaSetName = t;
        ZULOG_NORMAL("Using Repset name [%s]", t.c_str());
    });
    read("sechostname", "Failed to get hostname", [&](const std::string& t) {
        record.host = t;
        ZULOG_NORMAL("Using hostname [%s]", t.c_str());
    });
    read("secport", "Failed to get port", [&](const std::string& t) {
        record.port = uint32_t(std::strtoul(t.c_str(), nullptr, 10));
        ZULOG_NORMAL("Using secondary port [%s] [%u]", t.c_str(), record.port);
    });
    read("timestamp", "Failed to get oplog last entry timestamp", [&](const std::string& t) {
        record.timestamp = std::strtoull(t.c_str(), nullptr, 10);
        ZULOG_NORMAL("Using oplog last entry timestamp [%s] [%lu]", t.c_str(), (unsigned long)record.timestamp);
    });
    read("lfjid", "Invalid last full job id", [&](const std::string& t) {
        record.fullJobId = std::strtoll(t.c_str(), nullptr, 10);
        ZULOG_NORMAL("Using last full jobid [%s] [%lld]", t.c_str(), (long long)record.fullJobId);
    });
    return complete;
}

}  // namespace

CZuError UpdateTimestampInfo(int argc, const char* const* argv, const CProgramArguments& args) {
    CTwNetwork network;
    if (CZuError err = AttachBack(network, argc, argv)) return err.Push(FXLOC);

    const uint64_t instanceId = UnsignedArgument(args, "instid");
    ZULOG_NORMAL("Using instance id [%lu]", (unsigned long)instanceId);
    const uint64_t appId = UnsignedArgument(args, "appid");
    ZULOG_NORMAL("Using appid [%lu] for instance [%lu]", (unsigned long)appId, (unsigned long)instanceId);
    const uint64_t marlexId = UnsignedArgument(args, "mxid");
    ZULOG_NORMAL("Using mxid [%lu] for instance [%lu]", (unsigned long)marlexId, (unsigned long)instanceId);

    MongoDbOplogTimeStampInfo_t record;
    if (!GetOplogTSInfo(args, record))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Failed to get the oplog timestamp information from the arguments");

    MongoDbUtil util{uint32_t(appId), uint32_t(marlexId)};
    if (util.Initialize() != 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Failed to initialize MongoDbUtil for clientname [%s]",
                                       TWPI_Focus::getFocusClientName().c_str());
    if (util.SaveOplogLastEntryTSInFile(record, true) != 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure,
                                       "Failed to record the last entry timestamp for shard [%s]. Unable to start incremental oplog dumps.",
                                       record.replicaSetName.c_str());
    if (CZuError err = SendReply(network, "STATUS", "SUCCESS")) return err.Push(FXLOC);
    network.ReplyDisconnect(kDisconnectSeconds);
    network.Disconnect(kDisconnectSeconds);
    return {};
}

}  // namespace MongoDbKax::Utility
