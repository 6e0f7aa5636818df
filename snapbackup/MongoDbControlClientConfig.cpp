#include "snapbackup/MongoDbControlClientConfig.h"

namespace MongoDbKax {

CZuError MongoDbControlClientConfig::parseArguments(const CProgramArguments& args) {
    if (CZuError err = CClientConfig::parseArguments(args)) return err.Push(FXLOC);
    CZuError err = Read(args, *this);
    return err.Push(FXLOC);
}

}  // namespace MongoDbKax
