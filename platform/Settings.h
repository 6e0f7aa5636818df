#pragma once
// Additional settings: the store behind TWPlatformInfo and the API of the
// operator's settings command.
//
// A setting is looked up, first match wins, in:
//   1. the state database, row of the focus client (per-client override),
//   2. the state database, row of client "" (the whole machine),
//   3. the settings file "<state root>/settings.ini".
// Names carry their type in the first letter: b boolean (true/false, yes/no,
// 1/0, any case), n signed 64-bit decimal number, s string, p password held in
// protected form (TWPassword text). Values are checked against that type when
// stored or read from the file.
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/ZuError.h"

class TWSettings {
public:
    struct Entry {
        std::string client;  // "" = the whole machine
        std::string section;
        std::string name;
        std::string value;   // p settings: the protected text
    };
    // (section, name) -> value
    using Values = std::map<std::pair<std::string, std::string>, std::string>;

    // Stores a setting in the state database, replacing an earlier value.
    // A p setting takes the password in clear and stores it protected. Error
    // 22 when the name has no type prefix or the value does not fit it.
    static CZuError Set(const std::string& section, const std::string& name, const std::string& value,
                        const std::string& client = "");
    // Removes a stored setting; `removed` tells whether it existed.
    static CZuError Unset(const std::string& section, const std::string& name, const std::string& client,
                          bool& removed);
    // Every stored setting, ordered by client, section and name (the file's
    // settings are not included).
    static CZuError List(std::vector<Entry>& entries);

    // The value that applies to this process (see the order above). False
    // when the setting is absent everywhere.
    static bool Lookup(const std::string& section, const std::string& name, std::string& value);

    // "<state root>/settings.ini".
    static std::string GetFilePath();
    // Reads a settings file. A missing file gives no values and success. Any
    // bad line fails the whole file with error 13 naming file and line.
    static CZuError LoadFile(const std::string& path, Values& values);

    // Error 22 unless `name` has a type prefix and `value` fits it (a p value
    // must be protected text).
    static CZuError CheckValue(const std::string& name, const std::string& value);
    static bool ParseBoolean(const std::string& text, bool& value);
    static bool ParseNumber(const std::string& text, int64_t& value);
};
