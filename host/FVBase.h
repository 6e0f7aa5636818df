#pragma once
// Base of every object the framework keeps for the module: a task's payload
// object and a node record's user data. The framework only holds them; the
// coordinator turns a payload into the task's payload text in getTask.
#include <memory>

class FVBase {
public:
    virtual ~FVBase() = default;
};

using FVBasePtr = std::shared_ptr<FVBase>;
