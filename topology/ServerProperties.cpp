#include "topology/ServerProperties.h"

#include <algorithm>

namespace MongoDbKax::ServerProperties {
namespace {

std::string Trim(const std::string& text, const char* chars) {
    const size_t first = text.find_first_not_of(chars);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(chars) - first + 1);
}

bool IsLoopbackName(const std::string& address) {
    return address == "127.0.0.1" || address == "localhost";
}

}  // namespace

std::string MaskKeyPasswords(const std::string& text) {
    static const std::string kKey = "Password:";
    std::string masked = text;
    size_t pos = 0;
    while ((pos = masked.find(kKey, pos)) != std::string::npos) {
        pos += kKey.size();
        const size_t end = std::min(masked.find('\n', pos), masked.size());
        std::fill(masked.begin() + pos, masked.begin() + end, 'x');
        pos = end;
    }
    return masked;
}

std::string NormalizeDbPath(const std::string& path) {
    std::string p = path;
    std::replace(p.begin(), p.end(), '\\', '/');
    if (!p.empty() && p.back() == '/') p.pop_back();
    return p;
}

std::string TrimBindIp(const std::string& bindIp) { return Trim(bindIp, " \""); }

std::vector<std::string> SplitBindList(const std::string& bindIp) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= bindIp.size()) {
        size_t end = bindIp.find(',', start);
        if (end == std::string::npos) end = bindIp.size();
        const std::string address = Trim(bindIp.substr(start, end - start), " \t");
        if (!address.empty()) out.push_back(address);
        start = end + 1;
    }
    return out;
}

bool AddBoundIp(std::vector<std::string>& list, const std::string& address) {
    if (address.empty() || IsLoopbackName(address)) return false;
    if (std::find(list.begin(), list.end(), address) != list.end()) return false;
    list.push_back(address);
    return true;
}

}  // namespace MongoDbKax::ServerProperties
