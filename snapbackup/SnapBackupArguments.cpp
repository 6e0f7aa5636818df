#include "snapbackup/SnapBackupArguments.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "host/Files.h"
#include "host/Platform.h"

namespace MongoDbKax {

CZuError SnapBackupArguments::Read(const CProgramArguments& args, const DistributedKax::CClientConfig& config) {
    std::string level;
    if (args.GetValue("t", level))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "missing program argument -t");
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(level.c_str(), &end, 10);
    if (level.empty() || errno || *end || value < INT32_MIN || value > INT32_MAX)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "invalid program argument -t [%s]",
                                       level.c_str());
    backupLevel = int32_t(value);
    ferrantName = args.GetValueOrEmpty("d");
    rValue = args.GetValueOrEmpty("r");
    snap = args.IsFlagPresent("snap");
    const std::string results = TWPI_CommClient::getJobResultsDirectory(config.clientName);
    if (!results.empty())
        jobResultsDirectory = FXPath::Join(FXPath::Join(results, std::to_string(config.marlexId)),
                                           std::to_string(config.applicationId));
    return {};
}

}  // namespace MongoDbKax
