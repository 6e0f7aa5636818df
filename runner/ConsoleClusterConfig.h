#pragma once
// The console's share of an instance's saved cluster configuration: the
// members the user chose to back each replica set up from.
#include <cstdint>
#include <string>
#include <vector>

#include "host/ZuError.h"

namespace Registry {

// Marks exactly the members `dataAccessNodes` ("host:port") as data access
// nodes in the configuration saved with the instance (stored procedure
// DistributedClusterInstanceInfo), keeping everything else saved there; a
// member the saved configuration does not list yet is added with its host
// and port only.
CZuError SaveDataAccessNodes(uint64_t instanceId, const std::vector<std::string>& dataAccessNodes);

}  // namespace Registry
