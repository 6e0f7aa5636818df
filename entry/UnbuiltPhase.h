#pragma once
// Stand-ins for phase classes this build does not have yet. The factories
// return them so that the framework sees the phase as served, and every
// life-cycle call fails with an error naming the missing capability: a phase
// never succeeds silently without doing its work.
#include <string>

#include "host/DistributedKax.h"

namespace MongoDbKax {

// Win32 ERROR_NOT_SUPPORTED.
inline constexpr uint32_t kCapabilityNotBuilt = 50;

class UnbuiltCoordinator : public DistributedKax::ICoordinator {
public:
    explicit UnbuiltCoordinator(std::string capability) : m_capability(std::move(capability)) {}
    const std::string& GetCapability() const { return m_capability; }

    DistributedKax::CClientConfig* getClientConfigObject() override { return &m_config; }
    CZuError initialize(DistributedKax::CClientConfig* config, CProgramArgumentsPtr args,
                        std::shared_ptr<TWJobClient> jobClient,
                        std::shared_ptr<TWJobControlClient> jobControlClient) override;
    CZuError getTask(DistributedKax::CNode& node, const DistributedKax::CTaskRequest& request,
                     DistributedKax::CTaskInfo& info) override;
    CZuError OnComplete() override;

private:
    CZuError NotBuilt(const FXCodeLocation& where) const;

    std::string m_capability;
    DistributedKax::CClientConfig m_config;
};

class UnbuiltController : public DistributedKax::CController {
public:
    explicit UnbuiltController(std::string capability) : m_capability(std::move(capability)) {}
    const std::string& GetCapability() const { return m_capability; }

    DistributedKax::CClientConfig* getClientConfigObject() override { return &m_config; }
    CZuError processNodeInit(const CNMessageBase& nodeInit) override;
    CZuError OnMessage(const CNMessageBase& message) override;
    CZuError OnTask(int worker, const DistributedKax::CTaskInfo& task,
                    DistributedKax::CTaskCompleteMessage& result) override;

private:
    CZuError NotBuilt(const FXCodeLocation& where) const;

    std::string m_capability;
    DistributedKax::CClientConfig m_config;
};

class UnbuiltClientBrowse : public DistributedKax::IClientBrowse {
public:
    explicit UnbuiltClientBrowse(int value) : m_value(value) {}
    int GetValue() const { return m_value; }
    CZuError MachineBrowse(const CNMessageBase& request, CNMessageBase& response,
                           CNMessageBase& genericResponse) override;
    CZuError CreateFolder(const CNMessageBase& request, CNMessageBase& response) override;

private:
    int m_value;
};

}  // namespace MongoDbKax
