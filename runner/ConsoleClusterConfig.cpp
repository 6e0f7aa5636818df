#include "runner/ConsoleClusterConfig.h"

#include <cstdlib>

#include "host/ClusterMessages.h"
#include "host/StoredProcedure.h"
#include "topology/MongoDBConfig.h"

namespace Registry {

namespace {

CZuError Execute(const App::DistributedClusterInstanceRequest& request, App::DistributedClusterInstanceResponse& response) {
    std::string responseXml;
    const int rc =
        App_ExecuteSP::executeStoredProcedure(App::kSpDistributedClusterInstanceInfo, request.SerializeToXml(), responseXml);
    if (rc != 0)
        return FXErrorUtil::ErrorWin32(FXLOC, uint32_t(rc), "the cluster configuration store failed: %s", responseXml.c_str());
    if (CZuError err = response.UnserializeFromXml(responseXml)) return err.Push(FXLOC);
    return {};
}

}  // namespace

CZuError SaveDataAccessNodes(uint64_t instanceId, const std::vector<std::string>& dataAccessNodes) {
    App::DistributedClusterInstanceRequest get;
    get.operation = App::ClusterInstanceOp::Get;
    get.instanceId = instanceId;
    App::DistributedClusterInstanceResponse saved;
    if (CZuError err = Execute(get, saved)) return err.Push(FXLOC);
    // Nothing chosen and nothing saved: no configuration to keep.
    if (!saved.mongoDBConfig && dataAccessNodes.empty()) return {};
    App::MongoDBConfig config;
    if (saved.mongoDBConfig)
        if (CZuError err = config.Unserialize(*saved.mongoDBConfig)) return err.Push(FXLOC);

    for (App::MongoDBServer& s : config.serverList) s.dataAccessNode = 0;
    for (const std::string& node : dataAccessNodes) {
        const size_t colon = node.rfind(':');
        const std::string host = node.substr(0, colon);
        const int64_t port = std::strtoll(node.c_str() + colon + 1, nullptr, 10);
        bool found = false;
        for (App::MongoDBServer& s : config.serverList)
            if (s.hostName == host && s.port == port) s.dataAccessNode = 1, found = true;
        if (found) continue;
        App::MongoDBServer chosen;
        chosen.hostName = host;
        chosen.port = port;
        chosen.dataAccessNode = 1;
        config.serverList.push_back(chosen);
    }
    App::DistributedClusterInstanceRequest update;
    update.operation = App::ClusterInstanceOp::Update;
    update.instanceId = instanceId;
    CNMessageBase tree;
    config.Serialize(tree);
    update.mongoDBConfig = tree;
    App::DistributedClusterInstanceResponse response;
    CZuError err = Execute(update, response);
    return err.Push(FXLOC);
}

}  // namespace Registry
