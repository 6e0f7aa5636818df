#pragma once
// Not built yet: the factory returns this stand-in, which fails every call
// with an error naming the missing capability.
#include "entry/UnbuiltPhase.h"

namespace MongoDbKax {

class CClientBrowse : public UnbuiltClientBrowse {
public:
    explicit CClientBrowse(int value) : UnbuiltClientBrowse(value) {}
};

}  // namespace MongoDbKax
