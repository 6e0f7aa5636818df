#include "host/Files.h"

#include <cstdio>
#include <string>
#include <vector>

std::string FXString::FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0) return format;  // an encoding error: keep the raw format visible
    if (static_cast<size_t>(needed) < sizeof small) return std::string(small, needed);
    std::string text(static_cast<size_t>(needed), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

std::string FXString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FXString::FormatV(format, args);
    va_end(args);
    return text;
}

std::vector<std::string> FXString::SplitArguments(const std::string& text,
                                                  const std::string& separators, int quoteAware) {
    std::vector<std::string> pieces;
    std::string current;
    bool inPiece = false;  // true once a quoted run was seen, so "" counts
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoteAware && c == '"') {
            inPiece = true;
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < text.size() &&
                    (text[i + 1] == '"' || text[i + 1] == '\\'))
                    ++i;
                current += text[i];
            }
            continue;  // an unterminated run ends with the text
        }
        if (separators.find(c) != std::string::npos) {
            if (inPiece || !current.empty()) pieces.push_back(current);
            current.clear();
            inPiece = false;
            continue;
        }
        current += c;
    }
    if (inPiece || !current.empty()) pieces.push_back(current);
    return pieces;
}

std::string FXString::ShellQuote(const std::string& value) {
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string FXString::QuoteArgument(const std::string& value) {
    if (!value.empty() && value.find_first_of(" \t\"") == std::string::npos) return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}
