// The recovery commands of the utility process come with full restore; until
// then they fail without doing anything.
#include "host/LogWriter.h"
#include "utilprocess/UtilityCommands.h"

namespace MongoDbKax::Utility {

int RunRecovery(int, const char* const*, const CProgramArguments&) {
    ZULOG_ERROR("Recovery is not available in this build");
    return 1;
}

CZuError RunPrepareForRestore(int, const char* const*, const CProgramArguments&) {
    return FXErrorUtil::ErrorWin32(FXLOC, 50, "Preparing for restore is not available in this build");
}

}  // namespace MongoDbKax::Utility
