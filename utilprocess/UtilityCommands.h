#pragma once
// The commands of the utility process VADeverOREzuz. Each runs on the node
// it was started on (its focus client), attaches back to the process that
// started it, and answers with one name/value message.
#include <cstdint>
#include <string>

#include "host/Network.h"
#include "host/ProgramArguments.h"
#include "host/ZuError.h"

namespace MongoDbKax::Utility {

// "-updatetimestampinfo": records the replica set's oplog point after a full
// backup and starts the node's oplog cycle; replies "STATUS" = "SUCCESS".
// Error 774 on every failure (nothing is recorded when an argument is missing).
CZuError UpdateTimestampInfo(int argc, const char* const* argv, const CProgramArguments& args);

// "-rungetmongoversion": replies "MongoVersion" = the server version without
// its leading "v". Error 774.
CZuError GetMongoVersion(int argc, const char* const* argv, const CProgramArguments& args);

// "-runosccheck": whether the node's oplog dumps are due for a log backup.
// Returns 0 (run a backup now) or 1, after replying "STATUS"; ends the
// process with status 1 when it cannot attach or reply.
int RunOscCheck(int argc, const char* const* argv, const CProgramArguments& args);

// Recovery commands ("-runrecovery", "-runprepareforrestore"): the result
// (0 = success).
int RunRecovery(int argc, const char* const* argv, const CProgramArguments& args);
CZuError RunPrepareForRestore(int argc, const char* const* argv, const CProgramArguments& args);

// Shared by the commands.
//
// Attaches to the launcher; error 774 "Timed out while attaching back to the
// caller" on a time-out.
CZuError AttachBack(CTwNetwork& network, int argc, const char* const* argv);
// Sends one name/value message; error 774 "Timed out while sending message"
// on a time-out.
CZuError SendReply(CTwNetwork& network, const std::string& name, const std::string& value);
// A decimal argument read from its leading digits; 0 when absent.
uint64_t UnsignedArgument(const CProgramArguments& args, const char* name);

}  // namespace MongoDbKax::Utility
