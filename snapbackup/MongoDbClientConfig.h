#pragma once
// Configuration of the snapshot backup coordinator: the framework's job
// values plus what the phase's program arguments and initialize add.
#include <cstdint>
#include <string>

#include "host/DistributedKax.h"

namespace MongoDbKax {

class MongoDbClientConfig : public DistributedKax::CClientConfig {
public:
    // The base's values, then "r", "t" (required, decimal), "d" and the flag
    // "snap". Error 22 when "t" is missing.
    CZuError parseArguments(const CProgramArguments& args) override;

    std::string rValue;
    uint64_t instanceId = 0;  // found in initialize
    int32_t backupLevel = 1;
    // The data mover; the region-based storage policy may replace it.
    std::string ferrantName;
    std::string instanceName;  // found in initialize
    // <client's job results directory>/<marlex id>/<application id>.
    std::string jobResultsDirectory;
    bool snap = false;
};

}  // namespace MongoDbKax
