#include "entry/UnbuiltPhase.h"

#include "host/LogWriter.h"

namespace MongoDbKax {
namespace {

CZuError MakeNotBuilt(const FXCodeLocation& where, const std::string& capability) {
    ZULOG_ERROR("%s is not available in this build of the MongoDB agent", capability.c_str());
    return FXErrorUtil::ErrorWin32(where, kCapabilityNotBuilt,
                                   "%s is not available in this build of the MongoDB agent",
                                   capability.c_str());
}

}  // namespace

CZuError UnbuiltCoordinator::NotBuilt(const FXCodeLocation& where) const {
    return MakeNotBuilt(where, m_capability);
}

CZuError UnbuiltCoordinator::initialize(DistributedKax::CClientConfig*, CProgramArgumentsPtr,
                                        std::shared_ptr<TWJobClient>,
                                        std::shared_ptr<TWJobControlClient>) {
    return NotBuilt(FXLOC);
}

CZuError UnbuiltCoordinator::getTask(DistributedKax::CNode&, const DistributedKax::CTaskRequest&,
                                     DistributedKax::CTaskInfo& info) {
    info.Clear();
    return NotBuilt(FXLOC);
}

CZuError UnbuiltCoordinator::OnComplete() {
    setPhaseStatus(2, 1);
    return NotBuilt(FXLOC);
}

CZuError UnbuiltController::NotBuilt(const FXCodeLocation& where) const {
    return MakeNotBuilt(where, m_capability);
}

CZuError UnbuiltController::processNodeInit(const CNMessageBase&) { return NotBuilt(FXLOC); }

CZuError UnbuiltController::OnMessage(const CNMessageBase&) { return NotBuilt(FXLOC); }

CZuError UnbuiltController::OnTask(int, const DistributedKax::CTaskInfo& task,
                                   DistributedKax::CTaskCompleteMessage& result) {
    result.taskId = task.taskId;
    result.status = DistributedKax::TaskStatus::Failed;
    return NotBuilt(FXLOC);
}

CZuError UnbuiltClientBrowse::MachineBrowse(const CNMessageBase&, CNMessageBase&, CNMessageBase&) {
    return MakeNotBuilt(FXLOC, "Cluster browse");
}

CZuError UnbuiltClientBrowse::CreateFolder(const CNMessageBase&, CNMessageBase&) {
    return MakeNotBuilt(FXLOC, "Cluster browse");
}

}  // namespace MongoDbKax
