#include "topology/TopologyCommand.h"

#include <nlohmann/json.hpp>

namespace MongoDbKax::TopologyCommand {

bool Parse(const std::string& text, JsonObject& out) {
    out = JsonObject::parse(text, nullptr, false);
    if (out.is_object()) return true;
    out = JsonObject::object();
    return false;
}

int Run(MongoDbUtil& util, const std::string& host, int port, const std::string& command,
        JsonObject& reply, std::string* text) {
    ++util.GetTopology().commandsSent;
    std::string replyText;
    const int rc = util._RunMongoAdminCmd(host, port, command, true, replyText);
    Parse(replyText, reply);
    if (text) *text = std::move(replyText);
    return rc == 0 ? 0 : -1;
}

}  // namespace MongoDbKax::TopologyCommand
