#include "host/PlatformInfo.h"

#include <limits>

#include "host/LogWriter.h"
#include "platform/Settings.h"

namespace {

// Looks the setting up and parses it; a value that does not parse is logged
// and leaves `out` alone, as an absent one does.
template <typename T>
bool ReadTyped(const std::string& section, const std::string& key, T& out,
               bool (*parse)(const std::string&, T&), const char* typeName) {
    std::string text;
    if (!TWSettings::Lookup(section, key, text)) return false;
    T value{};
    if (!parse(text, value)) {
        ZULOG_ERROR("Setting [%s/%s] is not a %s [%s]; default kept", section.c_str(), key.c_str(), typeName,
                    text.c_str());
        return false;
    }
    out = value;
    return true;
}

}  // namespace

bool TWPlatformInfo::getBoolean(const std::string& section, const std::string& key, bool& out) {
    return ReadTyped(section, key, out, &TWSettings::ParseBoolean, "boolean");
}

bool TWPlatformInfo::getNumber(const std::string& section, const std::string& key, int64_t& out) {
    return ReadTyped(section, key, out, &TWSettings::ParseNumber, "number");
}

bool TWPlatformInfo::getNumber(const std::string& section, const std::string& key, int& out) {
    int64_t value = 0;
    if (!getNumber(section, key, value)) return false;
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
        ZULOG_ERROR("Setting [%s/%s] value %lld is out of range; default kept", section.c_str(), key.c_str(),
                    static_cast<long long>(value));
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

bool TWPlatformInfo::getString(const std::string& section, const std::string& key, std::string& out) {
    return TWSettings::Lookup(section, key, out);
}
