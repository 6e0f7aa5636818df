#pragma once
// The three entry points the module exports with C linkage, and their types
// as the framework looks them up with dlsym. The caller owns the returned
// object and deletes it through its virtual destructor; null means the module
// does not serve that phase.
#include "host/DistributedKax.h"
#include "host/ProgramArguments.h"

extern "C" {
DistributedKax::ICoordinator* createICoordinatorInstanceV1(const char* phase,
                                                          CProgramArgumentsPtr args);
DistributedKax::CController* createIControllerInstanceV1(const char* phase,
                                                        CProgramArgumentsPtr args);
DistributedKax::IClientBrowse* createClientBrowseInstance(int value);
}

using CreateCoordinatorFn = DistributedKax::ICoordinator* (*)(const char*, CProgramArgumentsPtr);
using CreateControllerFn = DistributedKax::CController* (*)(const char*, CProgramArgumentsPtr);
using CreateClientBrowseFn = DistributedKax::IClientBrowse* (*)(int);

inline constexpr const char* kCreateCoordinatorSymbol = "createICoordinatorInstanceV1";
inline constexpr const char* kCreateControllerSymbol = "createIControllerInstanceV1";
inline constexpr const char* kCreateClientBrowseSymbol = "createClientBrowseInstance";
