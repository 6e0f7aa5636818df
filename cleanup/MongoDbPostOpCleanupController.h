#pragma once
// Not built yet: the factory returns this stand-in, which fails every
// life-cycle call with an error naming the missing capability.
#include "entry/UnbuiltPhase.h"

namespace MongoDbKax {

class MongoDbPostOpCleanupController : public UnbuiltController {
public:
    MongoDbPostOpCleanupController() : UnbuiltController("Post-operation cleanup") {}
};

}  // namespace MongoDbKax
