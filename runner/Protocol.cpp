#include "runner/Protocol.h"

namespace NodeFrame {

using namespace DistributedKax;

void PutPairs(CNMessageBase& message, const NameValueList& pairs) {
    for (const auto& [name, value] : pairs) {
        CNMessageBase& pair = message.AddChild("Pair");
        pair.Set("name", name);
        pair.Set("value", value);
    }
}

NameValueList GetPairs(const CNMessageBase& message) {
    NameValueList pairs;
    for (const CNMessageBase* pair : message.GetChildren("Pair"))
        pairs.emplace_back(pair->GetString("name"), pair->GetString("value"));
    return pairs;
}

CNMessageBase Startup(const CControllerStartupMessage& startup) {
    CNMessageBase frame(ControllerStartup);
    PutPairs(frame, startup.pairs);
    return frame;
}

CControllerStartupMessage ReadStartup(const CNMessageBase& frame) { return {GetPairs(frame)}; }

CNMessageBase Request(int64_t requestId, const CTaskRequest& request) {
    CNMessageBase frame(TaskRequest);
    frame.SetInt("requestId", requestId);
    frame.SetInt("stream", request.streamNumber);
    frame.SetInt("worker", request.workerNumber);
    frame.SetInt("kind", request.taskKind);
    return frame;
}

CTaskRequest ReadRequest(const CNMessageBase& frame) {
    CTaskRequest request;
    request.streamNumber = int(frame.GetInt("stream"));
    request.workerNumber = int(frame.GetInt("worker"));
    request.taskKind = int(frame.GetInt("kind"));
    return request;
}

CNMessageBase Task(int64_t requestId, const CTaskInfo& info) {
    CNMessageBase frame(info.IsEmpty() ? WaitForTask : TaskInfo);
    frame.SetInt("requestId", requestId);
    if (!info.IsEmpty()) {
        frame.SetInt("taskId", info.taskId);
        frame.Set("payload", info.payload);
        PutPairs(frame, info.pairs);
    }
    return frame;
}

CNMessageBase NoMore(int64_t requestId, const std::string& text) {
    CNMessageBase frame(NoMoreTasks);
    frame.SetInt("requestId", requestId);
    frame.Set("text", text);
    return frame;
}

CTaskInfo ReadTask(const CNMessageBase& frame) {
    CTaskInfo info;
    info.taskId = frame.GetInt("taskId");
    info.payload = frame.GetString("payload");
    info.pairs = GetPairs(frame);
    return info;
}

CNMessageBase Complete(const CTaskCompleteMessage& done) {
    CNMessageBase frame(TaskComplete);
    frame.SetInt("taskId", done.taskId);
    frame.SetInt("status", done.status);
    frame.Set("text", done.text);
    PutPairs(frame, done.pairs);
    return frame;
}

CTaskCompleteMessage ReadComplete(const CNMessageBase& frame) {
    CTaskCompleteMessage done;
    done.taskId = frame.GetInt("taskId");
    done.status = int(frame.GetInt("status", TaskStatus::Failed));
    done.text = frame.GetString("text");
    done.pairs = GetPairs(frame);
    return done;
}

CNMessageBase Done(const CControllerDoneMessage& done) {
    CNMessageBase frame(ControllerDone);
    frame.SetInt("status", done.status);
    frame.Set("text", done.text);
    PutPairs(frame, done.pairs);
    return frame;
}

CControllerDoneMessage ReadDone(const CNMessageBase& frame) {
    CControllerDoneMessage done;
    done.status = int(frame.GetInt("status", 3));
    done.text = frame.GetString("text");
    done.pairs = GetPairs(frame);
    return done;
}

}  // namespace NodeFrame
