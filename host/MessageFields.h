#pragma once
// Strict reading of numeric fields of typed messages. A field that is present
// but not a number is an error (13) rather than a silent zero, because these
// fields decide which server, port or client a job works on. An absent field
// leaves the output unchanged.
#include <cstdint>

#include "host/Message.h"

namespace MessageFields {
CZuError ReadInt(const CNMessageBase& m, const char* name, int64_t& out);
CZuError ReadUInt(const CNMessageBase& m, const char* name, uint64_t& out);
}  // namespace MessageFields
