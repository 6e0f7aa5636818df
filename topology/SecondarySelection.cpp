#include "topology/SecondarySelection.h"

#include <strings.h>

#include <nlohmann/json.hpp>

#include "host/LogWriter.h"
#include "topology/HostPort.h"

namespace MongoDbKax::SecondarySelection {
namespace {

bool SameName(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// Indexes of the candidates of one replica set, in list order.
std::vector<int> OfReplicaSet(const std::vector<MongoDbSecondaryInfo_t>& candidates,
                              const std::string& replicaSetName) {
    std::vector<int> out;
    for (size_t i = 0; i < candidates.size(); ++i)
        if (SameName(candidates[i].replicaSetName, replicaSetName)) out.push_back(static_cast<int>(i));
    return out;
}

// The candidate with the smallest key; ties keep the earlier one.
template <typename Key>
int Smallest(const std::vector<MongoDbSecondaryInfo_t>& candidates,
             const std::string& replicaSetName, Key key) {
    int best = -1;
    for (int i : OfReplicaSet(candidates, replicaSetName))
        if (best < 0 || key(candidates[i]) < key(candidates[best])) best = i;
    return best;
}

using U = MongoDbUtil;

// The member's optime seconds, from the status member.
uint64_t OptimeSeconds(const JsonObject& member) {
    const JsonObject ts = U::GetObjectValue(U::GetObjectValue(member, "optime"), "ts");
    return U::GetUInt64Value(U::GetObjectValue(ts, "$timestamp"), "t");
}

int32_t SlaveDelay(const JsonObject& configMember) {
    // Servers from 5.0 on report the delay under its newer name.
    if (configMember.contains("slaveDelay")) return U::GetIntValue(configMember, "slaveDelay");
    return U::GetIntValue(configMember, "secondaryDelaySecs");
}

}  // namespace

int GatherCandidates(const std::string& replicaSetName, const JsonObject& statusMembers,
                     const JsonObject& configMembers, const ClientHostLookup& clientHost,
                     const RestoreOnlyTest& isRestoreOnly,
                     std::vector<MongoDbSecondaryInfo_t>& candidates) {
    if (!statusMembers.is_array() || statusMembers.empty() || !configMembers.is_array() ||
        configMembers.empty()) {
        ZULOG_ERROR("Failed to find members info from json output");
        return -1;
    }
    bool primarySeen = false, secondarySeen = false;
    uint64_t primaryTime = 0;
    for (const JsonObject& status : statusMembers) {
        for (const JsonObject& config : configMembers) {
            if (!status.is_object() || !config.is_object() ||
                U::GetIntValue(status, "_id") != U::GetIntValue(config, "_id"))
                continue;
            const std::string name = U::GetStringValue(status, "name");
            const int state = U::GetIntValue(status, "state");
            const uint64_t optime = OptimeSeconds(status);
            const std::string optimeDate =
                U::GetStringValue(U::GetObjectValue(status, "optimeDate"), "$date");
            if (state == 1) {
                ZULOG(2, "Detected primary: [%s] for replica set [%s]", name.c_str(),
                      replicaSetName.c_str());
                primaryTime = optime;
                primarySeen = true;
                continue;
            }
            if (state != 2) {
                ZULOG(2, "Skipping [%s], not secondary", name.c_str());
                continue;
            }
            ZULOG(2, "Detected secondary: [%s]", name.c_str());
            MongoDbSecondaryInfo_t c;
            c.replicaSetName = replicaSetName;
            std::string host;
            int port = 0;
            if (SplitHostPort(name, host, port)) {
                c.mongoHost = host;
                c.clientHost = clientHost(host);
                c.port = port;
            }
            if (c.clientHost.empty()) c.clientHost = c.mongoHost;
            if (isRestoreOnly(c.clientHost)) {
                ZULOG(2, "Skipping restore only client from backup");
                continue;
            }
            c.optimeSeconds = static_cast<int32_t>(optime);
            c.oplogSyncTime = optimeDate;
            c.priority = U::GetDoubleValue(config, "priority");
            c.votes = U::GetIntValue(config, "votes");
            c.hidden = U::GetBoolean(config, "hidden");
            c.slaveDelay = SlaveDelay(config);
            ZULOG(2,
                  "Found secondary member for replica set [%s] mongohost [%s] port[%d] priority "
                  "[%f] oplogsyntime [%s] twHost [%s] hidden [%d] slaveDelay [%d]",
                  c.replicaSetName.c_str(), c.mongoHost.c_str(), c.port, c.priority,
                  c.oplogSyncTime.c_str(), c.clientHost.c_str(), c.hidden, c.slaveDelay);
            candidates.push_back(std::move(c));
            secondarySeen = true;
        }
    }
    if (!primarySeen) {
        ZULOG_ERROR("Failed to detect primary member in replica set [%s]", replicaSetName.c_str());
        return -1;
    }
    if (!secondarySeen) {
        ZULOG_ERROR("Failed to identify secondary member in replica set [%s]",
                    replicaSetName.c_str());
        return -1;
    }
    for (int i : OfReplicaSet(candidates, replicaSetName))
        candidates[i].lagSeconds = static_cast<int32_t>(primaryTime) - candidates[i].optimeSeconds;
    return 0;
}

int ByUser(const std::vector<MongoDbSecondaryInfo_t>& candidates, const std::string& replicaSetName,
           const std::vector<App::MongoDBServer>& userChoice) {
    int chosen = -1;
    for (int i : OfReplicaSet(candidates, replicaSetName)) {
        const MongoDbSecondaryInfo_t& c = candidates[i];
        for (const App::MongoDBServer& s : userChoice) {
            if (s.port != c.port || !SameName(s.hostName, c.mongoHost)) continue;
            ZULOG(2, "Found secondary node [%s:%d] in the replica set [%s] with id [%d]",
                  c.mongoHost.c_str(), c.port, replicaSetName.c_str(), i);
            chosen = i;
        }
    }
    return chosen;
}

int LeastLag(const std::vector<MongoDbSecondaryInfo_t>& candidates,
             const std::string& replicaSetName) {
    return Smallest(candidates, replicaSetName,
                    [](const MongoDbSecondaryInfo_t& c) { return c.lagSeconds; });
}

int DelayedLag(const std::vector<MongoDbSecondaryInfo_t>& candidates,
               const std::string& replicaSetName) {
    for (int i : OfReplicaSet(candidates, replicaSetName)) {
        const MongoDbSecondaryInfo_t& c = candidates[i];
        if (c.hidden && c.priority == 0.0 && c.slaveDelay >= 1) return i;
    }
    return -1;
}

int LowestPriority(const std::vector<MongoDbSecondaryInfo_t>& candidates,
                   const std::string& replicaSetName) {
    return Smallest(candidates, replicaSetName,
                    [](const MongoDbSecondaryInfo_t& c) { return c.priority; });
}

int First(const std::vector<MongoDbSecondaryInfo_t>& candidates, const std::string& replicaSetName) {
    const std::vector<int> all = OfReplicaSet(candidates, replicaSetName);
    return all.empty() ? -1 : all.front();
}

int Choose(const std::vector<MongoDbSecondaryInfo_t>& candidates, const std::string& replicaSetName,
           const std::vector<App::MongoDBServer>& userChoice, const Settings& settings) {
    const char* rs = replicaSetName.c_str();
    if (!userChoice.empty()) {
        ZULOG_NORMAL("Use secondary node specified by the user in the replica set [%s]", rs);
        return ByUser(candidates, replicaSetName, userChoice);
    }
    if (settings.useLeastLagNode) {
        ZULOG_NORMAL("Use secondary node with least lag from primary node in the replica set [%s]",
                     rs);
        return LeastLag(candidates, replicaSetName);
    }
    if (settings.useDelayedLagNode) {
        ZULOG_NORMAL(
            "Use secondary node with delayed lag from primary node in the replica set [%s]", rs);
        return DelayedLag(candidates, replicaSetName);
    }
    if (settings.useLowestPriorityNode) {
        ZULOG_NORMAL("Use secondary node with lowest priority in the replica set [%s]", rs);
        return LowestPriority(candidates, replicaSetName);
    }
    const int first = First(candidates, replicaSetName);
    ZULOG_NORMAL("Use the first secondary node in the replica set [%s] config [%d]", rs, first);
    return first;
}

}  // namespace MongoDbKax::SecondarySelection
