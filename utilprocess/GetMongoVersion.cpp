// "-rungetmongoversion": the MongoDB server version of an instance, as this
// node's tools report it.
#include "access/MongoDbUtil.h"
#include "host/Entities.h"
#include "host/LogWriter.h"
#include "utilprocess/UtilityCommands.h"

namespace MongoDbKax::Utility {

CZuError GetMongoVersion(int argc, const char* const* argv, const CProgramArguments& args) {
    CTwNetwork network;
    if (CZuError err = AttachBack(network, argc, argv)) return err.Push(FXLOC);
    const uint64_t instanceId = UnsignedArgument(args, "instid");
    if (instanceId == 0) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Invalid destination instanceid");

    MongoDbUtil util;
    MongoDBInstance instance;
    if (MongoDBInstance::ById(instanceId, instance) || util.InitFromInstanceProp(instance) != 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Failed to initialize MongoDBUtil for instance [%lu]",
                                       (unsigned long)instanceId);
    if (util.GetMongoDBServerVersion() != 0) {
        ZULOG_ERROR("Failed to get mongo db server version");
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Failed to get mongo db server version");
    }
    std::string version = util.GetServerVersion();
    if (!version.empty() && version[0] == 'v') version.erase(0, 1);
    ZULOG_NORMAL("Found mongo db server version [%s] on instance [%lu]", version.c_str(), (unsigned long)instanceId);
    ZULOG_NORMAL("Sending mongo version [%s] to the caller", version.c_str());
    if (CZuError err = SendReply(network, "MongoVersion", version)) return err.Push(FXLOC);
    return {};
}

}  // namespace MongoDbKax::Utility
