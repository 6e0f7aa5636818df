#pragma once
// The payload of a snapshot backup task: the share of the cluster
// configuration that one node protects (the chosen secondaries running on
// that node). The coordinator attaches it to the node's task; in getTask it
// becomes the XML text the node's controller reads in OnTask.
#include <memory>

#include "host/FVBase.h"
#include "topology/MongoDBConfig.h"

namespace MongoDbKax {

class MongoDBNodeInfo : public FVBase {
public:
    MongoDBNodeInfo() = default;
    explicit MongoDBNodeInfo(App::MongoDBConfigPtr config) : m_config(std::move(config)) {}

    // Null when the task carries no configuration.
    const App::MongoDBConfigPtr& GetMongoDBConfig() const { return m_config; }
    void SetMongoDBConfig(App::MongoDBConfigPtr config) { m_config = std::move(config); }

private:
    App::MongoDBConfigPtr m_config;
};

using MongoDBNodeInfoPtr = std::shared_ptr<MongoDBNodeInfo>;

}  // namespace MongoDbKax
