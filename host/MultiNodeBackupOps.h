#pragma once
// The framework's multi-node backup model (oplog backup and backup copy
// nodes). Filled in by the phases that use it.
#include "host/DistributedKax.h"

namespace MultiNodeBackupOps {

class MultiNodeBackupOpsControllerClientConfig : public DistributedKax::CClientConfig {};
class MultiNodeBackupOpsWorkerParams {};
class MultiNodeBackupOpsWorker {};
class MultiNodeBackupOpsController : public DistributedKax::CController {};
class MultiNodeBackupCopyOpsWorker {};
class MultiNodeBackupCopyOpsController : public DistributedKax::CController {};

}  // namespace MultiNodeBackupOps
