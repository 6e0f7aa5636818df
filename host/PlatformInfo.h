#pragma once
// Additional settings by section and name. Names carry a type prefix:
// b boolean, n number, s string, p encrypted password (getString gives the
// protected text; TWPassword::decrypt turns it into the password).
// Every getter returns true only when the setting exists and its value fits
// the getter's type; otherwise the output keeps the caller's default.
#include <cstdint>
#include <string>

namespace TWSettingSections {
inline constexpr const char* Agent = "Kestrix";
inline constexpr const char* FileSystemAgent = "FileSystemAgent";
}  // namespace TWSettingSections

class TWPlatformInfo {
public:
    static bool getBoolean(const std::string& section, const std::string& key, bool& out);
    static bool getNumber(const std::string& section, const std::string& key, int64_t& out);
    static bool getNumber(const std::string& section, const std::string& key, int& out);
    static bool getString(const std::string& section, const std::string& key, std::string& out);
};
