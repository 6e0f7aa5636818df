#pragma once
// Not built yet: the factory returns this stand-in, which fails every
// life-cycle call with an error naming the missing capability.
#include "entry/UnbuiltPhase.h"

namespace MongoDbKax {

class MongoDbBackupCopyCoordinator : public UnbuiltCoordinator {
public:
    MongoDbBackupCopyCoordinator() : UnbuiltCoordinator("Backup copy") {}
};

}  // namespace MongoDbKax
