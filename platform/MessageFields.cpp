#include "host/MessageFields.h"

#include <cerrno>
#include <cstdlib>
#include <string>

namespace MessageFields {
namespace {

CZuError Malformed(const CNMessageBase& m, const char* name, const std::string& text) {
    return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData,
                                   "Field [%s] of [%s] is not an integer: [%s]", name,
                                   m.GetTag().c_str(), text.c_str());
}

}  // namespace

CZuError ReadInt(const CNMessageBase& m, const char* name, int64_t& out) {
    std::string text;
    if (!m.Get(name, text)) return {};
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0') return Malformed(m, name, text);
    out = v;
    return {};
}

CZuError ReadUInt(const CNMessageBase& m, const char* name, uint64_t& out) {
    std::string text;
    if (!m.Get(name, text)) return {};
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || errno != 0 || *end != '\0')
        return Malformed(m, name, text);
    out = v;
    return {};
}

}  // namespace MessageFields
