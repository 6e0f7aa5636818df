#include "snapbackup/MongoDbClientConfig.h"

#include <cstdlib>

#include "host/Files.h"
#include "host/Platform.h"

namespace MongoDbKax {

CZuError MongoDbClientConfig::parseArguments(const CProgramArguments& args) {
    if (CZuError err = CClientConfig::parseArguments(args)) return err.Push(FXLOC);
    std::string level;
    if (args.GetValue("t", level))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "missing program argument -t");
    backupLevel = int32_t(std::strtol(level.c_str(), nullptr, 10));
    ferrantName = args.GetValueOrEmpty("d");
    rValue = args.GetValueOrEmpty("r");
    snap = args.IsFlagPresent("snap");
    const std::string results = TWPI_CommClient::getJobResultsDirectory(clientName);
    if (!results.empty())
        jobResultsDirectory =
            FXPath::Join(FXPath::Join(results, std::to_string(marlexId)), std::to_string(applicationId));
    return {};
}

}  // namespace MongoDbKax
