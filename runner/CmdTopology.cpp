// kaxrun topology
#include "runner/Commands.h"
#include "runner/ErrorText.h"
#include "runner/Registry.h"
#include "topology/TopologyReport.h"

namespace Cli {

int Topology(const CommandLine& line) {
    const std::string name = line.Positionals()[0];
    std::vector<Registry::InstanceView> instances;
    if (CZuError err = Registry::ListInstances(instances)) return Fail(ErrorText(err));
    for (const auto& view : instances)
        if (view.instance.instanceName == name)
            return MongoDbKax::TopologyReport::RunTopologyCommand(view.instance.instanceId, view.masterClient);
    return Fail("no instance named [" + name + "] is registered");
}

}  // namespace Cli
