#pragma once
// The framework's file-system restore model. The module uses CRestore,
// CRestoreByJob and CFSRestoreByJobController as they are for the "cleanup"
// and "ifrestore" phases, and derives its full restore classes from the rest.
// Until the restore model is built, CRestore has nothing to do (no nodes, no
// tasks) and the restore-by-job classes fail with an error naming what is
// missing.
#include "host/DistributedKax.h"

namespace TWDC_FileSystem {

class CRestoreClientConfig : public DistributedKax::CClientConfig {
public:
    explicit CRestoreClientConfig(int kind = 0) : CClientConfig(kind) {}
};

class CFSClientConfig : public DistributedKax::CClientConfig {
public:
    explicit CFSClientConfig(int kind = 0) : CClientConfig(kind) {}
};

class CRestore : public DistributedKax::ICoordinator {
public:
    explicit CRestore(bool flag);
    DistributedKax::CClientConfig* getClientConfigObject() override;
    CZuError initialize(DistributedKax::CClientConfig* config, CProgramArgumentsPtr args,
                        std::shared_ptr<TWJobClient> jobClient,
                        std::shared_ptr<TWJobControlClient> jobControlClient) override;
    // 259: the base makes no tasks.
    CZuError getTask(DistributedKax::CNode& node, const DistributedKax::CTaskRequest& request,
                     DistributedKax::CTaskInfo& info) override;
    CZuError OnComplete() override;
    bool GetFlag() const { return m_flag; }

protected:
    bool m_flag;
    CRestoreClientConfig m_config;
};

class CRestoreByJob : public CRestore {
public:
    explicit CRestoreByJob(bool flag) : CRestore(flag) {}
    CZuError initialize(DistributedKax::CClientConfig* config, CProgramArgumentsPtr args,
                        std::shared_ptr<TWJobClient> jobClient,
                        std::shared_ptr<TWJobControlClient> jobControlClient) override;
};

class CFSRestoreController : public DistributedKax::CController {
public:
    CZuError OnMessage(const CNMessageBase& message) override;
    CZuError OnTask(int worker, const DistributedKax::CTaskInfo& task,
                    DistributedKax::CTaskCompleteMessage& result) override;
    DistributedKax::CClientConfig* getClientConfigObject() override;

protected:
    CRestoreClientConfig m_config;
};

class CFSRestoreByJobController : public CFSRestoreController {};

}  // namespace TWDC_FileSystem
