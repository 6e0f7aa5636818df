// The utility process's side of the remote-command channel.
#include <cstdlib>

#include "host/LogWriter.h"
#include "host/NameValueMessage.h"
#include "utilprocess/UtilityCommands.h"

namespace MongoDbKax::Utility {

CZuError AttachBack(CTwNetwork& network, int argc, const char* const* argv) {
    bool timedOut = false;
    if (CZuError err = network.AttachBackToCaller(argc, argv, timedOut)) {
        if (timedOut) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Timed out while attaching back to the caller");
        return err.Push(FXLOC);
    }
    return {};
}

CZuError SendReply(CTwNetwork& network, const std::string& name, const std::string& value) {
    bool timedOut = false;
    if (CZuError err = network.SendXMLMessage(App::MakeNameValueMessage(name, value), timedOut, -1)) {
        if (timedOut) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "Timed out while sending message");
        return err.Push(FXLOC);
    }
    return {};
}

uint64_t UnsignedArgument(const CProgramArguments& args, const char* name) {
    return std::strtoull(args.GetValueOrEmpty(name).c_str(), nullptr, 10);
}

}  // namespace MongoDbKax::Utility
