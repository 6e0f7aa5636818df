#include "host/PlatformInfo.h"

#include <limits>

#include "host/LogWriter.h"
#include "platform/Settings.h"

bool TWPlatformInfo::getBoolean(const std::string& section, const std::string& key, bool& out) {
    std::string text;
    if (!TWSettings::Lookup(section, key, text)) return false;
    bool value = false;
    if (!TWSettings::ParseBoolean(text, value)) {
        ZULOG_ERROR("Setting [%s/%s] is not a boolean [%s]; default kept", section.c_str(), key.c_str(),
                    text.c_str());
        return false;
    }
    out = value;
    return true;
}

bool TWPlatformInfo::getNumber(const std::string& section, const std::string& key, int64_t& out) {
    std::string text;
    if (!TWSettings::Lookup(section, key, text)) return false;
    int64_t value = 0;
    if (!TWSettings::ParseNumber(text, value)) {
        ZULOG_ERROR("Setting [%s/%s] is not a number [%s]; default kept", section.c_str(), key.c_str(),
                    text.c_str());
        return false;
    }
    out = value;
    return true;
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
