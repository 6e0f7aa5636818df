#pragma once
// Member names as replica sets report them: "host:port", or "[address]:port"
// for an IPv6 address (the brackets stay part of the host text).
#include <string>

namespace MongoDbKax {

// False (outputs untouched) when the name is not of that form or the port is
// not a decimal number.
bool SplitHostPort(const std::string& name, std::string& host, int& port);

}  // namespace MongoDbKax
