#include "access/MongoShellJson.h"

#include <cctype>
#include <cstdio>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

namespace MongoDbKax {

namespace {

bool IsIdentifierStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '$';
}
bool IsIdentifierChar(char c) {
    return IsIdentifierStart(c) || std::isdigit(static_cast<unsigned char>(c));
}

// Index just past the string literal that starts at `pos` (a double quote).
size_t SkipString(const std::string& text, size_t pos) {
    for (++pos; pos < text.size(); ++pos) {
        if (text[pos] == '\\')
            ++pos;
        else if (text[pos] == '"')
            return pos + 1;
    }
    return text.size();
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The arguments between the parentheses at `open`, split at top-level commas;
// `close` receives the index of the closing parenthesis.
std::optional<std::vector<std::string>> ReadArguments(const std::string& text, size_t open,
                                                      size_t& close) {
    std::vector<std::string> arguments;
    size_t start = open + 1;
    for (size_t pos = start; pos < text.size();) {
        const char c = text[pos];
        if (c == '"') {
            pos = SkipString(text, pos);
        } else if (c == ',' || c == ')') {
            arguments.push_back(Trim(text.substr(start, pos - start)));
            if (c == ')') {
                close = pos;
                if (arguments.size() == 1 && arguments[0].empty())
                    arguments.clear();
                return arguments;
            }
            start = ++pos;
        } else if (c == '(') {
            return std::nullopt;  // nested calls are not a shell value form
        } else {
            ++pos;
        }
    }
    return std::nullopt;
}

bool IsInteger(const std::string& text, bool allowSign) {
    size_t i = allowSign && !text.empty() && text[0] == '-' ? 1 : 0;
    if (i >= text.size())
        return false;
    for (; i < text.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

bool IsStringLiteral(const std::string& text) {
    return text.size() >= 2 && text.front() == '"' && SkipString(text, 0) == text.size();
}

// A number given bare or quoted, as in NumberLong(5) and NumberLong("5").
std::optional<std::string> IntegerArgument(const std::string& argument) {
    std::string inner = argument;
    if (IsStringLiteral(argument))
        inner = argument.substr(1, argument.size() - 2);
    if (!IsInteger(inner, true))
        return std::nullopt;
    return inner;
}

// Extended JSON for one constructor form, or nothing to leave it as printed.
std::optional<std::string> Rewrite(const std::string& name,
                                   const std::vector<std::string>& args) {
    if (name == "Timestamp" && args.size() == 2 && IsInteger(args[0], false) &&
        IsInteger(args[1], false))
        return "{\"$timestamp\":{\"t\":" + args[0] + ",\"i\":" + args[1] + "}}";
    if (name == "BinData" && args.size() == 2 && IsInteger(args[0], false) &&
        IsStringLiteral(args[1]) && args[0].size() <= 3) {
        char subType[8];
        std::snprintf(subType, sizeof(subType), "%02x", std::stoi(args[0]) & 0xff);
        return "{\"$binary\":{\"base64\":" + args[1] + ",\"subType\":\"" + subType + "\"}}";
    }
    if ((name == "NumberLong" || name == "NumberInt") && args.size() == 1)
        return IntegerArgument(args[0]);
    if (args.size() != 1 || !IsStringLiteral(args[0]))
        return std::nullopt;
    if (name == "NumberDecimal")
        return "{\"$numberDecimal\":" + args[0] + "}";
    if (name == "ObjectId")
        return "{\"$oid\":" + args[0] + "}";
    if (name == "ISODate")
        return "{\"$date\":" + args[0] + "}";
    if (name == "UUID")
        return "{\"$uuid\":" + args[0] + "}";
    return std::nullopt;
}

}  // namespace

std::string ShellTextToExtendedJson(const std::string& shellText) {
    std::string out;
    out.reserve(shellText.size());
    size_t pos = 0;
    while (pos < shellText.size()) {
        const char c = shellText[pos];
        if (c == '"') {
            const size_t end = SkipString(shellText, pos);
            out.append(shellText, pos, end - pos);
            pos = end;
            continue;
        }
        if (!IsIdentifierStart(c)) {
            out += c;
            ++pos;
            continue;
        }
        size_t end = pos;
        while (end < shellText.size() && IsIdentifierChar(shellText[end]))
            ++end;
        const std::string name = shellText.substr(pos, end - pos);
        size_t close = 0;
        if (end < shellText.size() && shellText[end] == '(') {
            if (auto args = ReadArguments(shellText, end, close)) {
                if (auto replacement = Rewrite(name, *args)) {
                    out += *replacement;
                    pos = close + 1;
                    continue;
                }
            }
        }
        out.append(name);
        pos = end;
    }
    return out;
}

bool ParseShellJson(const std::string& shellText, nlohmann::json& out) {
    nlohmann::json parsed =
        nlohmann::json::parse(ShellTextToExtendedJson(shellText), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object())
        return false;
    out = std::move(parsed);
    return true;
}

}  // namespace MongoDbKax
