#pragma once
// The program arguments a snapshot backup phase adds to the framework's job
// values, read the same way by the coordinator and by the nodes.
#include <cstdint>
#include <string>

#include "host/DistributedKax.h"

namespace MongoDbKax {

struct SnapBackupArguments {
    // "t" (required, decimal), "d", "r" and the flag "snap"; the job results
    // directory of `config`'s client with its Marlex id and application id
    // appended. Error 22 when "t" is missing or not a number.
    CZuError Read(const CProgramArguments& args, const DistributedKax::CClientConfig& config);

    // <client's job results directory>/<marlex id>/<application id>.
    std::string jobResultsDirectory;
    int32_t backupLevel = 1;
    std::string ferrantName;  // the data mover
    std::string rValue;
    bool snap = false;
};

}  // namespace MongoDbKax
