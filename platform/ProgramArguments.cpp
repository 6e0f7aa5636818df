#include "host/ProgramArguments.h"

#include "host/Files.h"

CProgramArguments::CProgramArguments(int argc, const char* const* argv, int /*flags*/) {
    for (int i = 0; i < argc && argv && argv[i]; ++i) m_args.emplace_back(argv[i]);
}

CProgramArguments::CProgramArguments(std::vector<std::string> args) : m_args(std::move(args)) {}

bool CProgramArguments::IsFlagPresent(const std::string& name) const {
    const std::string wanted = "-" + name;
    for (size_t i = 1; i < m_args.size(); ++i)
        if (m_args[i] == wanted) return true;
    return false;
}

CZuError CProgramArguments::GetValue(const std::string& name, std::string& value) const {
    const std::string wanted = "-" + name;
    for (size_t i = m_args.size(); i-- > 1;) {
        if (m_args[i] != wanted) continue;
        if (i + 1 >= m_args.size()) break;
        value = m_args[i + 1];
        return CZuError::Success();
    }
    return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "program argument [%s] has no value",
                                   name.c_str());
}

std::string CProgramArguments::GetValueOrEmpty(const std::string& name) const {
    std::string value;
    return GetValue(name, value).IsError() ? std::string() : value;
}

std::string CProgramArguments::AsString() const {
    std::string text;
    for (size_t i = 1; i < m_args.size(); ++i) {
        if (i > 1) text += ' ';
        text += FXString::QuoteArgument(m_args[i]);
    }
    return text;
}
