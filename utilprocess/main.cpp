// VADeverOREzuz: the utility process coordinators start on other nodes for
// node-local work. The first command flag found decides what runs; callers
// read the reply message, not the exit status, which is 1 for every end but
// a successful timestamp record (0) and the node check (its result).
#include <cstdlib>

#include "host/JobClient.h"
#include "host/LogWriter.h"
#include "host/Platform.h"
#include "utilprocess/UtilityCommands.h"

using namespace MongoDbKax;

int main(int argc, char** argv) {
    CProgramArguments args(argc, argv);
    if (TWPI_PlatformBase::InitProcess(argv[0], args.GetValueOrEmpty("cn")) ||
        EvEvent::initialize("VADeverOREzuz"))
        std::exit(1);
    ZULOG_NORMAL("Enter VADeverOrEzuz process ...");

    if (args.IsFlagPresent("runosccheck")) return Utility::RunOscCheck(argc, argv, args);
    if (args.IsFlagPresent("runrecovery")) {
        const int64_t jobId = std::strtoll(args.GetValueOrEmpty("rstJobId").c_str(), nullptr, 10);
        if (jobId <= 0) {
            ZULOG_ERROR("Failed to get restore job id from program arguments");
            return 1;
        }
        EvEvent::setJobId(jobId);
        return Utility::RunRecovery(argc, argv, args);
    }
    if (args.IsFlagPresent("rungetmongoversion")) {
        ZULOG_NORMAL("Getting mongo version for instance [%lu]",
                     (unsigned long)Utility::UnsignedArgument(args, "instid"));
        if (CZuError err = Utility::GetMongoVersion(argc, argv, args)) {
            ZULOG_ERROR("Failed to get mongo version: %s", err.AsString().c_str());
            std::exit(1);
        }
    }
    if (args.IsFlagPresent("runprepareforrestore")) {
        ZULOG_NORMAL("Preparing cluster [%lu] for restore ....", (unsigned long)Utility::UnsignedArgument(args, "instid"));
        if (CZuError err = Utility::RunPrepareForRestore(argc, argv, args)) {
            ZULOG_ERROR("Failed to prepare for restore: %s", err.AsString().c_str());
            std::exit(1);
        }
    }
    if (args.IsFlagPresent("updatetimestampinfo")) {
        if (CZuError err = Utility::UpdateTimestampInfo(argc, argv, args)) {
            ZULOG_ERROR("Failed to update timestamp info: %s", err.AsString().c_str());
            std::exit(1);
        }
        ZULOG_NORMAL("Successfully completed update timestamp info");
        return 0;
    }
    std::exit(1);
}
