#include <filesystem>

#include "host/Files.h"

std::string FXPath::Join(const std::string& head, const std::string& tail) {
    size_t start = tail.find_first_not_of('/');
    std::string rest = start == std::string::npos ? std::string() : tail.substr(start);
    if (head.empty()) return tail;
    if (rest.empty()) return head;
    if (head.back() == '/') return head + rest;
    return head + "/" + rest;
}

std::string FXPath::Parent(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return path.empty() ? "." : "/";
    size_t slash = path.rfind('/', end);
    if (slash == std::string::npos) return ".";
    size_t parentEnd = path.find_last_not_of('/', slash);
    if (parentEnd == std::string::npos) return "/";
    return path.substr(0, parentEnd + 1);
}

std::string FXPath::LastComponent(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return {};
    size_t slash = path.rfind('/', end);
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(start, end + 1 - start);
}

std::string FXPath::Normalize(const std::string& path) {
    if (path.empty()) return path;
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal.empty() ? "." : normal;
}

bool FXPath::IsAncestorOrSame(const std::string& ancestor, const std::string& path) {
    std::string a = Normalize(ancestor);
    std::string p = Normalize(path);
    if (a == p) return true;
    if (a == "/") return !p.empty() && p[0] == '/';
    return p.size() > a.size() && p.compare(0, a.size(), a) == 0 && p[a.size()] == '/';
}
