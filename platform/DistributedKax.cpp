// The framework's base classes: what coordinators and controllers inherit.
#include "host/DistributedKax.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "host/Entities.h"
#include "host/LogWriter.h"
#include "host/Platform.h"

namespace DistributedKax {

namespace {

// A whole decimal number in [min, max]; false otherwise.
bool ParseNumber(const std::string& text, long long min, long long max, long long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0' && value >= min && value <= max;
}

CZuError BadArgument(const FXCodeLocation& where, const char* name, const std::string& value) {
    return FXErrorUtil::ErrorWin32(where, ZuCode::InvalidArgument,
                                   "invalid or missing program argument -%s [%s]", name, value.c_str());
}

}  // namespace

bool FindValue(const NameValueList& pairs, const std::string& name, std::string& value) {
    for (const auto& [n, v] : pairs)
        if (n == name) {
            value = v;
            return true;
        }
    return false;
}

CZuError CClientConfig::parseArguments(const CProgramArguments& args) {
    long long number = 0;
    std::string job = args.GetValueOrEmpty("j");
    if (!ParseNumber(job, 1, INT64_MAX, number)) return BadArgument(FXLOC, "j", job);
    jobId = number;

    std::string app = args.GetValueOrEmpty("a");
    if (!app.empty()) {
        size_t colon = app.find(':');
        long long mx = 0, id = 0;
        if (colon == std::string::npos || !ParseNumber(app.substr(0, colon), 0, UINT32_MAX, mx) ||
            !ParseNumber(app.substr(colon + 1), 0, UINT32_MAX, id))
            return BadArgument(FXLOC, "a", app);
        marlexId = uint32_t(mx);
        applicationId = uint32_t(id);
    }
    std::string type = args.GetValueOrEmpty("apptype");
    if (!type.empty()) {
        if (!ParseNumber(type, 0, UINT32_MAX, number)) return BadArgument(FXLOC, "apptype", type);
        applicationType = uint32_t(number);
    }
    clientName = args.GetValueOrEmpty("cn");
    if (clientName.empty()) clientName = TWPI_Focus::getFocusClientName();
    attemptToken = args.GetValueOrEmpty("token");
    return {};
}

bool CTask::WasHandedTo(const std::string& node) const {
    return std::find(handedTo.begin(), handedTo.end(), node) != handedTo.end();
}

int CNode::getStreamsNeeded(int kind) const {
    auto it = maxStreamsNeeded.find(kind);
    return it == maxStreamsNeeded.end() ? 0 : it->second;
}

// --- ICoordinator services ---------------------------------------------------

CZuError ICoordinator::addNode(uint64_t clientId) {
    TWClient client;
    if (CZuError err = TWClient::ById(clientId, client))
        return err.Push(FXLOC, "Failed to add node id[%llu]", (unsigned long long)clientId);
    return AddNodeRecord(client.id, client.name, client.networkHostName);
}

CZuError ICoordinator::addNode(const std::string& clientName) {
    TWClient client;
    if (CZuError err = TWClient::ByName(clientName, client))
        return err.Push(FXLOC, "Failed to add node [%s]", clientName.c_str());
    return AddNodeRecord(client.id, client.name, client.networkHostName);
}

CZuError ICoordinator::AddNodeRecord(uint64_t clientId, const std::string& clientName,
                                     const std::string& hostName) {
    std::lock_guard<std::recursive_mutex> lock(m_taskListLock);
    for (const auto& node : m_nodes)
        if (node.clientId == clientId) return {};
    CNode node;
    node.clientId = clientId;
    node.clientName = clientName;
    node.hostName = hostName;
    node.cpuCount = std::max(1, int(std::thread::hardware_concurrency()));
    m_nodes.push_back(std::move(node));
    ZULOG(2, "Added node [%s] (client id %llu)", clientName.c_str(), (unsigned long long)clientId);
    return {};
}

CNode* ICoordinator::GetNodeByClientName(const std::string& clientName) {
    std::lock_guard<std::recursive_mutex> lock(m_taskListLock);
    for (auto& node : m_nodes)
        if (node.clientName == clientName) return &node;
    return nullptr;
}

CZuError ICoordinator::sendMessageToNode(const std::string& nodeName, const CNMessageBase& message) {
    CNode* node = GetNodeByClientName(nodeName);
    if (!node)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "no node [%s] in this phase", nodeName.c_str());
    if (!m_host)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed,
                                       "no framework runs this coordinator; cannot send to node [%s]",
                                       nodeName.c_str());
    if (CZuError err = m_host->DeliverToNode(*node, message)) return err.Push(FXLOC);
    if (message.GetTag() == FrameworkMessage::NodeStop && node->state != NodeState::Ended)
        node->state = NodeState::Stopped;
    return {};
}

CTask* ICoordinator::GetTaskById(int64_t taskId) {
    std::lock_guard<std::recursive_mutex> lock(m_taskListLock);
    for (auto& task : m_tasks)
        if (task.id == taskId) return &task;
    return nullptr;
}

// --- CController services ----------------------------------------------------

CZuError CController::getStreamRequest(CStreamRequest& request) {
    request = CStreamRequest();
    long long streams = 0;
    std::string text = m_args ? m_args->GetValueOrEmpty("numstreams") : std::string();
    if (!text.empty() && ParseNumber(text, 0, 1024, streams) && streams > 0) {
        request.streamType = 1;
        request.count = int(streams);
    }
    return {};
}

CZuError CController::processNodeInit(const CNMessageBase& nodeInit) {
    m_nodeInitValues = nodeInit.GetPairs();
    return {};
}

std::string CController::GetNodeInitValue(const std::string& name) const {
    std::string value;
    FindValue(m_nodeInitValues, name, value);
    return value;
}

void CController::sendControllerComplete(int status, const std::string& text) {
    if (!m_host) {
        ZULOG_ERROR("No framework runs this controller; completion [%d] [%s] is lost", status, text.c_str());
        return;
    }
    CControllerDoneMessage done;
    done.status = status;
    done.text = text;
    m_host->CompleteController(done);
}

}  // namespace DistributedKax
