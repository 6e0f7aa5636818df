#pragma once
// The options of one operator command: "--name value", "--name=value",
// "--flag", positional words, and everything after "--" passed on untouched.
#include <string>
#include <vector>

struct OptionSpec {
    std::vector<std::string> values;      // options that take a value (may repeat)
    std::vector<std::string> flags;       // options without a value
    int minPositionals = 0;
    int maxPositionals = 0;
    bool passThrough = false;             // "--" and what follows is allowed
};

class CommandLine {
public:
    // False with `error` set for an unknown option, a missing value or a
    // wrong number of positional words. "--help" and "-h" are always known.
    bool Parse(const std::vector<std::string>& args, const OptionSpec& grammar, std::string& error);

    bool Has(const std::string& name) const;
    // The last value given, or `def`.
    std::string Get(const std::string& name, const std::string& def = "") const;
    std::vector<std::string> GetAll(const std::string& name) const;
    const std::vector<std::string>& Positionals() const { return m_positionals; }
    const std::vector<std::string>& PassedThrough() const { return m_passedThrough; }
    bool WantsHelp() const { return Has("help"); }

private:
    std::vector<std::pair<std::string, std::string>> m_values;
    std::vector<std::string> m_flags;
    std::vector<std::string> m_positionals;
    std::vector<std::string> m_passedThrough;
};
