#pragma once
// A process's program arguments: "-name value" pairs and "-flag" switches.
// Names are given without the leading "-". The value of a name is the
// argument after its last occurrence.
#include <memory>
#include <string>
#include <vector>

#include "host/ZuError.h"

class CProgramArguments {
public:
    // `flags` is reserved (always 0).
    CProgramArguments(int argc, const char* const* argv, int flags = 0);
    explicit CProgramArguments(std::vector<std::string> args);

    // True when "-name" occurs anywhere.
    bool IsFlagPresent(const std::string& name) const;
    // Error 1168 and no value when "-name" is absent or is the last argument.
    CZuError GetValue(const std::string& name, std::string& value) const;
    // The value, or "" when absent.
    std::string GetValueOrEmpty(const std::string& name) const;

    const std::vector<std::string>& GetArgs() const { return m_args; }
    // The arguments after argv[0], joined with blanks; an argument holding
    // blanks or quotes is double-quoted so that FXString::SplitArguments
    // gives it back unchanged.
    std::string AsString() const;

private:
    std::vector<std::string> m_args;  // argv[0] included
};

using CProgramArgumentsPtr = std::shared_ptr<CProgramArguments>;
