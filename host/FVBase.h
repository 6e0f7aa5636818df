#pragma once
// Base of every object the framework carries for the module (task payloads,
// per-node data). Payloads travel between processes as text.
#include <memory>
#include <string>

class FVBase {
public:
    virtual ~FVBase() = default;
    // The payload text sent with a task (default: empty).
    virtual std::string ToPayloadText() const { return {}; }
};

using FVBasePtr = std::shared_ptr<FVBase>;
