#pragma once
// The one way the topology operations talk to a member: an administrative
// command through the utility's driver connection, its reply parsed, and the
// command counted in the utility's topology state.
#include <string>

#include "access/MongoDbUtil.h"

namespace MongoDbKax::TopologyCommand {

// 0 = the command succeeded and `reply` holds its parsed reply (an empty
// object when the text is not JSON); -1 = it failed (the connection's last
// error tells why). `text`, when given, receives the reply text.
int Run(MongoDbUtil& util, const std::string& host, int port, const std::string& command,
        JsonObject& reply, std::string* text = nullptr);

// False (and an empty object) when `text` is not a JSON object.
bool Parse(const std::string& text, JsonObject& out);

}  // namespace MongoDbKax::TopologyCommand
