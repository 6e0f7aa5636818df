#pragma once
// Configuration of the snapshot backup coordinator: the framework's job
// values plus what the phase's program arguments and initialize add.
#include <cstdint>
#include <string>

#include "host/DistributedKax.h"
#include "snapbackup/SnapBackupArguments.h"

namespace MongoDbKax {

class MongoDbClientConfig : public DistributedKax::CClientConfig, public SnapBackupArguments {
public:
    // The base's values, then the snapshot backup's arguments (SnapBackupArguments).
    CZuError parseArguments(const CProgramArguments& args) override;

    uint64_t instanceId = 0;   // found in initialize
    std::string instanceName;  // found in initialize
};

}  // namespace MongoDbKax
