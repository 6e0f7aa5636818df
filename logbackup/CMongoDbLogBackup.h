#pragma once
// Not built yet: the factory returns this stand-in, which fails every
// life-cycle call with an error naming the missing capability.
#include "entry/UnbuiltPhase.h"

namespace MongoDbKax {

class CMongoDbLogBackup : public UnbuiltCoordinator {
public:
    CMongoDbLogBackup() : UnbuiltCoordinator("Oplog backup") {}
};

}  // namespace MongoDbKax
