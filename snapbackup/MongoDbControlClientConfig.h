#pragma once
// Configuration of the snapshot backup controller on a node: the framework's
// job values plus what the node's program arguments add.
#include <cstdint>
#include <mutex>

#include "host/DistributedKax.h"
#include "snapbackup/SnapBackupArguments.h"

namespace MongoDbKax {

class MongoDbControlClientConfig : public DistributedKax::CClientConfig, public SnapBackupArguments {
public:
    // The base's values, then the snapshot backup's arguments
    // (SnapBackupArguments). "-numstreams" is on the node's command line too;
    // the controller does not use it.
    CZuError parseArguments(const CProgramArguments& args) override;

    int32_t numberOfWorkers = 1;
    // Held for the whole of a task: one snapshot at a time on a node.
    std::mutex taskMutex;
};

}  // namespace MongoDbKax
