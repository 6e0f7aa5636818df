#pragma once
// The frames between the runner and its node processes. Each frame is one
// message (platform/FrameChannel.h); its tag tells its kind. Name/value lists
// travel as "Pair" children, so that a name may repeat.
//
//   runner -> node   NodeInit (the coordinator's pairs), NodeStop,
//                    StopActiveTasks, TaskInfo / NoMoreTasks / WaitForTask
//                    (answers carrying the request's "requestId"), and any
//                    application message.
//   node -> runner   ControllerStartup, TaskRequest, TaskComplete,
//                    ControllerDone.
#include "host/DistributedKax.h"
#include "host/Message.h"

namespace NodeFrame {
// Both sides read all the time, so a send that cannot finish in this time
// means the other side hangs.
constexpr int kSendTimeoutMs = 30000;

inline constexpr const char* ControllerStartup = "ControllerStartup";
inline constexpr const char* TaskRequest = "TaskRequest";
inline constexpr const char* TaskInfo = "TaskInfo";
inline constexpr const char* NoMoreTasks = "NoMoreTasks";
inline constexpr const char* WaitForTask = "WaitForTask";
inline constexpr const char* TaskComplete = "TaskComplete";
inline constexpr const char* ControllerDone = "ControllerDone";

void PutPairs(CNMessageBase& message, const DistributedKax::NameValueList& pairs);
DistributedKax::NameValueList GetPairs(const CNMessageBase& message);

CNMessageBase Startup(const DistributedKax::CControllerStartupMessage& startup);
DistributedKax::CControllerStartupMessage ReadStartup(const CNMessageBase& frame);

CNMessageBase Request(int64_t requestId, const DistributedKax::CTaskRequest& request);
DistributedKax::CTaskRequest ReadRequest(const CNMessageBase& frame);

// An answer to request `requestId`: the task, or WaitForTask when it is empty.
CNMessageBase Task(int64_t requestId, const DistributedKax::CTaskInfo& info);
CNMessageBase NoMore(int64_t requestId, const std::string& text);
DistributedKax::CTaskInfo ReadTask(const CNMessageBase& frame);

CNMessageBase Complete(const DistributedKax::CTaskCompleteMessage& done);
DistributedKax::CTaskCompleteMessage ReadComplete(const CNMessageBase& frame);

CNMessageBase Done(const DistributedKax::CControllerDoneMessage& done);
DistributedKax::CControllerDoneMessage ReadDone(const CNMessageBase& frame);
}  // namespace NodeFrame
