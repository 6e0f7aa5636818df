#pragma once
// One secondary member considered for a snapshot backup of its replica set.
#include <cstdint>
#include <string>

namespace MongoDbKax {

struct MongoDbSecondaryInfo_t {
    std::string replicaSetName;
    // Primary's optime seconds minus this member's; set once the primary is known.
    int32_t lagSeconds = 0;
    int32_t optimeSeconds = 0;  // "optime"."ts" seconds
    std::string oplogSyncTime;  // "optimeDate" text
    std::string mongoHost;      // host part of the member's name
    // Network host name of the owning backup client; mongoHost when none is known.
    std::string clientHost;
    int32_t port = 0;
    double priority = 0.0;
    bool hidden = false;
    int32_t votes = 0;
    int32_t slaveDelay = 0;  // seconds
};

}  // namespace MongoDbKax
