#include "runner/CommandLine.h"

#include <algorithm>

namespace {
bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}
}  // namespace

bool CommandLine::Parse(const std::vector<std::string>& args, const OptionSpec& grammar, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            if (!grammar.passThrough) {
                error = "unexpected \"--\"";
                return false;
            }
            m_passedThrough.assign(args.begin() + long(i) + 1, args.end());
            break;
        }
        if (arg == "-h" || arg == "--help") {
            m_flags.push_back("help");
            continue;
        }
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            std::string name = arg.substr(2), value;
            size_t eq = name.find('=');
            bool inlineValue = eq != std::string::npos;
            if (inlineValue) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
            }
            if (Contains(grammar.flags, name) && !inlineValue) {
                m_flags.push_back(name);
                continue;
            }
            if (!Contains(grammar.values, name)) {
                error = "unknown option --" + name;
                return false;
            }
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    error = "option --" + name + " needs a value";
                    return false;
                }
                value = args[++i];
            }
            m_values.emplace_back(name, value);
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        }
        m_positionals.push_back(arg);
    }
    if (WantsHelp()) return true;
    int count = int(m_positionals.size());
    if (count < grammar.minPositionals) {
        error = "missing argument";
        return false;
    }
    if (count > grammar.maxPositionals) {
        error = "unexpected argument \"" + m_positionals[size_t(grammar.maxPositionals)] + "\"";
        return false;
    }
    return true;
}

bool CommandLine::Has(const std::string& name) const {
    if (Contains(m_flags, name)) return true;
    for (const auto& [n, v] : m_values)
        if (n == name) return true;
    return false;
}

std::string CommandLine::Get(const std::string& name, const std::string& def) const {
    std::string value = def;
    for (const auto& [n, v] : m_values)
        if (n == name) value = v;
    return value;
}

std::vector<std::string> CommandLine::GetAll(const std::string& name) const {
    std::vector<std::string> all;
    for (const auto& [n, v] : m_values)
        if (n == name) all.push_back(v);
    return all;
}
