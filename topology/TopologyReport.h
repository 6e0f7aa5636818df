#pragma once
// The operator's view of a deployment: discovery of a registered instance the
// way the console browses it (nothing is written back), and a readable table
// of what was found.
#include <cstdint>
#include <string>

#include "topology/MongoDBConfig.h"

namespace MongoDbKax::TopologyReport {

// One row per process: replica set, role, state, member, health, data path,
// bound addresses, journal and owning client; routers first, as discovered.
std::string FormatTable(const App::MongoDBConfig& config);

// Discovers instance `instanceId` from its master node, whose machine is the
// client `masterClient`. 0 with `config` filled; otherwise the discovery
// code with `errorText` in the console's words for wrong tools (127), failed
// authentication (13) and no process on the port (14).
int DiscoverInstance(uint64_t instanceId, const std::string& masterClient,
                     App::MongoDBConfig& config, std::string& errorText);

// The command of the operator tool: DiscoverInstance, then the table on
// standard output, or "kaxrun: <error text>" on standard error. Returns the
// process exit status: 0, or 1 on failure.
int RunTopologyCommand(uint64_t instanceId, const std::string& masterClient);

}  // namespace MongoDbKax::TopologyReport
