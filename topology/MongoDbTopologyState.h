#pragma once
// What MongoDbUtil learns about a deployment during one run: discovery's
// findings, the clients that own the members' addresses, data sizes per
// replica set and the secondary candidates. Copied with the utility.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/ClusterMessages.h"
#include "topology/MongoDbSecondaryInfo.h"

namespace MongoDbKax {

struct MongoDbTopologyState {
    // Client that owns the master node's machine; 0 = not set (the local
    // client found by InitializeForDiscovery stands in then).
    uint64_t masterClientId = 0;
    bool sharded = false;
    std::string configServerReplicaSetName;
    std::string replicaSetName;  // of a deployment that is not sharded
    // Shards + 1 in a sharded cluster, 1 otherwise.
    uint64_t replicaSetCount = 0;
    std::vector<std::string> replicaSetNames;  // in the order they were scanned
    // Every address a member is bound to, except 127.0.0.1 and localhost; no duplicates.
    std::vector<std::string> boundIps;
    // The clients the management server returned for boundIps, in its order.
    std::vector<App::ClientEntity> resolvedClients;
    // Replica-set name -> bytes of data (listDB).
    std::map<std::string, int64_t> shardSizes;
    // Candidates of every replica set examined in the run (GetSecondaryNodes).
    std::vector<MongoDbSecondaryInfo_t> secondaries;
    // Administrative commands the topology operations sent (cost of a discovery).
    uint64_t commandsSent = 0;
};

}  // namespace MongoDbKax
