#pragma once
// Quoting of values placed in a /bin/sh command line, so that a value is one
// word whatever characters it holds.
#include <string>

namespace MongoDbKax {

// The value in double quotes, with the characters the shell still interprets
// inside double quotes (\ " $ `) escaped.
inline std::string QuoteForShell(const std::string& value) {
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '\\' || c == '"' || c == '$' || c == '`')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// The value as it is when every character is plain (names, hosts, numbers),
// else quoted.
inline std::string ShellWord(const std::string& value) {
    if (value.empty())
        return "\"\"";
    for (unsigned char c : value) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || std::string("_@%+=:,./-").find(char(c)) !=
                                                         std::string::npos;
        if (!plain)
            return QuoteForShell(value);
    }
    return value;
}

}  // namespace MongoDbKax
