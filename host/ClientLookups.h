#pragma once
// Client lookups of the management server beyond the lookup by name or id:
// by network host name, and by an address the client is reachable at.
#include <string>
#include <vector>

#include "host/Entities.h"

namespace ClientLookup {

// The client whose network host name is `hostName` (exact text); 1168 when none.
CZuError ByHostName(const std::string& hostName, TWClient& out);
// The client named `nameOrHost`, else the one with that network host name; 1168 when none.
CZuError ByNameOrHostName(const std::string& nameOrHost, TWClient& out);
// Every client reachable at `address`: its network host name is that text or
// the address is one of its registered IP addresses. In client id order.
CZuError ByAddress(const std::string& address, std::vector<TWClient>& out);

}  // namespace ClientLookup
