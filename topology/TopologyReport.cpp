#include "topology/TopologyReport.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "access/MongoDbUtil.h"
#include "host/Entities.h"

namespace MongoDbKax::TopologyReport {
namespace {

std::string Role(const App::MongoDBServer& s) {
    switch (s.serverType) {
        case App::MongoServerType::Router: return "router";
        case App::MongoServerType::ConfigMember: return "config";
        case App::MongoServerType::DataMember: return "data";
        default: return "?";
    }
}

std::string State(const App::MongoDBServer& s) {
    if (s.serverType == App::MongoServerType::Router) return "-";
    switch (s.memberState) {
        case App::MongoMemberState::Primary: return "PRIMARY";
        case App::MongoMemberState::Secondary: return "SECONDARY";
        case App::MongoMemberState::Arbiter: return "ARBITER";
        default: return "OTHER";
    }
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

std::string Client(const App::MongoDBServer& s) {
    if (!s.clientEntity) return "(none)";
    return s.clientEntity->clientName + " (id " + std::to_string(s.clientEntity->clientId) + ")";
}

std::string Render(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width;
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) {
            if (width.size() <= i) width.push_back(0);
            width[i] = std::max(width[i], row[i].size());
        }
    std::string out;
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (size_t i = 0; i < cells.size(); ++i)
            text += cells[i] + (i + 1 < cells.size() ? std::string(width[i] - cells[i].size() + 2, ' ') : "");
        out += text + "\n";
    };
    line(rows.front());
    std::vector<std::string> rule;
    for (size_t w : width) rule.push_back(std::string(w, '-'));
    line(rule);
    for (size_t r = 1; r < rows.size(); ++r) line(rows[r]);
    return out;
}

}  // namespace

std::string FormatTable(const App::MongoDBConfig& config) {
    std::vector<std::string> sets;
    for (const App::MongoDBServer& s : config.serverList)
        if (s.serverType != App::MongoServerType::Router &&
            std::find(sets.begin(), sets.end(), s.replicaSetName) == sets.end())
            sets.push_back(s.replicaSetName);
    std::string out = config.clusterType == App::MongoClusterType::Sharded ? "Sharded cluster"
                                                                           : "Replica set";
    out += ": " + std::to_string(sets.size()) + " replica set" + (sets.size() == 1 ? "" : "s") +
           ", " + std::to_string(config.serverList.size()) + " processes\n";
    std::vector<std::vector<std::string>> rows = {{"Replica set", "Role", "State", "Member", "Health",
                                                   "Data path", "Bound to", "Journal", "Client"}};
    for (const App::MongoDBServer& s : config.serverList) {
        const bool router = s.serverType == App::MongoServerType::Router;
        rows.push_back({router ? "-" : s.replicaSetName, Role(s), State(s),
                        s.hostName + ":" + std::to_string(s.port),
                        router ? "-" : std::to_string(s.health), OrDash(s.dbPath), OrDash(s.bindIp),
                        router ? "-" : (s.journalEnabled ? "on" : "off"), Client(s)});
    }
    return out + Render(rows);
}

int DiscoverInstance(uint64_t instanceId, const std::string& masterClient,
                     App::MongoDBConfig& config, std::string& errorText) {
    MongoDbUtil util;
    MongoDBInstance instance;
    TWClient master;
    CZuError err = MongoDBInstance::ById(instanceId, instance);
    if (err.IsSuccess()) err = TWClient::ByName(masterClient, master);
    if (err || util.InitFromInstanceProp(instance) != 0) {
        errorText = err ? err.GetMessage() : "Failed to read the instance's properties";
        return -1;
    }
    util.GetTopology().masterClientId = master.id;
    // As the console browses: an address found through the master client is
    // used for this discovery only.
    const int rc = util.Discover(true);
    switch (rc) {
        case 0:
            config = *util.GetClusterConfig();
            return 0;
        case 127: errorText = "Incorrect binary path"; break;
        case 13:
            errorText =
                "Failed to authenticate to mongodb server. Please check the provided DB username and "
                "password";
            break;
        case 14:
            errorText =
                "Cannot find any mongod/mongos process that listens to the given port on the master "
                "node";
            break;
        default:
            errorText = "Discovery failed with code " + std::to_string(rc) +
                        "; the agent log tells why";
    }
    return rc;
}

int RunTopologyCommand(uint64_t instanceId, const std::string& masterClient) {
    App::MongoDBConfig config;
    std::string errorText;
    if (DiscoverInstance(instanceId, masterClient, config, errorText) != 0) {
        std::fprintf(stderr, "kaxrun: %s\n", errorText.c_str());
        return 1;
    }
    std::fputs(FormatTable(config).c_str(), stdout);
    return 0;
}

}  // namespace MongoDbKax::TopologyReport
