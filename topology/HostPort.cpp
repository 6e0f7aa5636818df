#include "topology/HostPort.h"

#include <charconv>

namespace MongoDbKax {

bool SplitHostPort(const std::string& name, std::string& host, int& port) {
    const size_t colon = name.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == name.size()) return false;
    const std::string h = name.substr(0, colon);
    // A bare IPv6 address has several colons; only a bracketed one has a port.
    if (h.find(':') != std::string::npos && !(h.front() == '[' && h.back() == ']')) return false;
    int p = 0;
    const char* first = name.data() + colon + 1;
    const char* last = name.data() + name.size();
    auto [end, ec] = std::from_chars(first, last, p);
    if (ec != std::errc() || end != last || p < 0) return false;
    host = h;
    port = p;
    return true;
}

}  // namespace MongoDbKax
