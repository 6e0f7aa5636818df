// The file-system restore model's bases, as far as they exist yet.
#include "host/TWDC_FileSystem.h"

#include "host/LogWriter.h"

namespace TWDC_FileSystem {

namespace {
// Win32 ERROR_NOT_SUPPORTED.
constexpr uint32_t kNotSupported = 50;
}  // namespace

CRestore::CRestore(bool flag) : m_flag(flag) {}

DistributedKax::CClientConfig* CRestore::getClientConfigObject() { return &m_config; }

CZuError CRestore::initialize(DistributedKax::CClientConfig*, CProgramArgumentsPtr,
                              std::shared_ptr<TWJobClient>, std::shared_ptr<TWJobControlClient>) {
    ZULOG_NORMAL("File-system restore phase (flag %d): nothing to restore on this platform", int(m_flag));
    return {};
}

CZuError CRestore::getTask(DistributedKax::CNode&, const DistributedKax::CTaskRequest&,
                           DistributedKax::CTaskInfo& info) {
    info.Clear();
    return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NoMoreItems, "no more tasks found");
}

CZuError CRestore::OnComplete() { return {}; }

CZuError CRestoreByJob::initialize(DistributedKax::CClientConfig*, CProgramArgumentsPtr,
                                   std::shared_ptr<TWJobClient>, std::shared_ptr<TWJobControlClient>) {
    setPhaseStatus(DistributedKax::PhaseStatus::Failed, 1);
    return FXErrorUtil::ErrorWin32(FXLOC, kNotSupported, "restore by job is not available on this platform");
}

CZuError CFSRestoreController::OnMessage(const CNMessageBase& message) {
    ZULOG_NORMAL("Un-handled message %s", message.GetTag().c_str());
    return {};
}

CZuError CFSRestoreController::OnTask(int, const DistributedKax::CTaskInfo& task,
                                      DistributedKax::CTaskCompleteMessage& result) {
    result.taskId = task.taskId;
    result.status = DistributedKax::TaskStatus::Failed;
    return FXErrorUtil::ErrorWin32(FXLOC, kNotSupported, "file-system restore is not available on this platform");
}

DistributedKax::CClientConfig* CFSRestoreController::getClientConfigObject() { return &m_config; }

}  // namespace TWDC_FileSystem
