// "-runosccheck": tells the caller whether this node's oplog dumps are due
// for a log backup, making one more dump when they are not.
#include <cstdlib>
#include <memory>

#include "access/MongoDbUtil.h"
#include "host/LogWriter.h"
#include "logbackup/OplogBackupRecords.h"
#include "utilprocess/UtilityCommands.h"

namespace MongoDbKax::Utility {

int RunOscCheck(int argc, const char* const* argv, const CProgramArguments& args) {
    CTwNetwork network;
    if (CZuError err = AttachBack(network, argc, argv)) {
        ZULOG_ERROR("Failed to attach back to caller during osc check: %s", err.AsString().c_str());
        std::exit(1);
    }
    int result = 1;
    int count = 0;
    MongoDbUtil util;
    CProgramArgumentsPtr shared = std::make_shared<CProgramArguments>(args);
    if (util.IntializeOSCContext(shared) != 0) {
        ZULOG_ERROR("Failed to initialize MongoDBUtil OSC context");
    } else {
        QualifyRet qualify;
        if (util.CheckStagingLocQualifyForBackup(qualify, count) != 0) {
            ZULOG_ERROR("Failed to check if staging location qualifies for backup [%s]", util.GetStagingDir().c_str());
        } else if (qualify.IsDue()) {
            ZULOG_NORMAL("Staging location is ready for backup  ....");
            result = 0;
        } else if (util.PerformOpLogDumps(true) != 0) {
            // A log backup then runs and reports the problem.
            ZULOG_ERROR("Failed to perform oplog dumps. Submitting backup ...");
            result = 0;
        } else {
            ++count;
            result = 1;
        }
    }
    std::string status = result == 0 ? "RUNBACKUP" : "DONOTRUNBACKUP";
    if (result == 1 && count >= 1) {
        ZULOG_NORMAL("Pending dumps found, returning PENDINGDUMPS to osc thread");
        status = "PENDINGDUMPS";
    }
    if (SendReply(network, "STATUS", status)) {
        ZULOG_ERROR("Failed to send osc status back to the caller");
        std::exit(1);
    }
    network.Disconnect(10);
    return result;
}

}  // namespace MongoDbKax::Utility
