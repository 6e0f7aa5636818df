#pragma once
// Configuration of the snapshot backup controller on a node: the framework's
// job values plus what the node's program arguments add.
#include <cstdint>
#include <mutex>
#include <string>

#include "host/DistributedKax.h"

namespace MongoDbKax {

class MongoDbControlClientConfig : public DistributedKax::CClientConfig {
public:
    // The base's values, then "t" (required, decimal), "d", "r" and the flag
    // "snap". Error 22 when "t" is missing or not a number. "-numstreams" is
    // on the node's command line too; the controller does not use it.
    CZuError parseArguments(const CProgramArguments& args) override;

    // <client's job results directory>/<marlex id>/<application id>.
    std::string jobResultsDirectory;
    int32_t backupLevel = 1;
    std::string ferrantName;
    std::string rValue;
    bool snap = false;
    int32_t numberOfWorkers = 1;
    // Held for the whole of a task: one snapshot at a time on a node.
    std::mutex taskMutex;
};

}  // namespace MongoDbKax
