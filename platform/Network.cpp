// Remote commands on one machine: the utility process is started as a local
// child acting as the target client, and inherits one end of a socket pair
// (named to it by "-_rc <descriptor>"). It attaches by sending a first frame;
// after that the two sides exchange framed messages.
#include "host/Network.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "host/ClientLookups.h"
#include "host/Entities.h"
#include "host/Files.h"
#include "host/LogWriter.h"
#include "platform/ChildProcess.h"
#include "platform/FrameChannel.h"

namespace {

constexpr const char* kAttachTag = "RemoteCommandAttach";
constexpr const char* kChannelArgument = "-_rc";

int ToMs(int seconds) { return seconds < 0 ? -1 : seconds * 1000; }

bool IsPlainProgramName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The client with that network host name, else with that client name.
CZuError ResolveClient(const std::string& host, TWClient& client) {
    if (ClientLookup::ByHostName(host, client).IsSuccess()) return {};
    CZuError err = TWClient::ByName(host, client);
    return err.Push(FXLOC, "no client has the host name or client name [%s]", host.c_str());
}

}  // namespace

struct CTwNetwork::Impl {
    FrameChannel channel;
    pid_t child = -1;  // launcher side: the utility process
    std::string program;
    std::string lastError;

    CZuError Fail(CZuError err) {
        lastError = err.AsString();
        ZULOG_ERROR("Remote command [%s]: %s", program.c_str(), lastError.c_str());
        return err;
    }
};

CTwNetwork::CTwNetwork() : m_impl(std::make_unique<Impl>()) {}

CTwNetwork::~CTwNetwork() {
    if (m_impl->child > 0)
        Disconnect();
    else
        m_impl->channel.Close();
}

CZuError CTwNetwork::Attach_RemoteCommand(const std::string& host, const CTwRemoteCommandRequest& request,
                                          bool& timedOut, int attachSeconds) {
    timedOut = false;
    Impl& d = *m_impl;
    d.lastError.clear();
    d.program = request.programName;
    if (d.child > 0 || d.channel.IsOpen())
        return d.Fail(FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "already attached to a command"));
    if (!IsPlainProgramName(request.programName))
        return d.Fail(FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "invalid program name [%s]",
                                              request.programName.c_str()));
    TWClient client;
    if (CZuError err = ResolveClient(host, client)) return d.Fail(err.Push(FXLOC));

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return d.Fail(FXErrorUtil::ErrorErrNo(FXLOC, errno, "socketpair failed"));

    std::string path = FXPath::Join(ChildProcess::ProgramDirectory(), request.programName);
    std::vector<std::string> argv{path};
    for (auto& a : FXString::SplitArguments(request.argumentLine, " ", 1)) argv.push_back(a);
    argv.insert(argv.end(), {"-cn", client.name, kChannelArgument, std::to_string(fds[1])});

    ZULOG_NORMAL("Launching [%s %s] for client [%s] (fields %d %d %d)", request.programName.c_str(),
                 request.argumentLine.c_str(), client.name.c_str(), request.waitForReply, request.field2,
                 request.field3);
    pid_t pid = -1;
    CZuError err = ChildProcess::Spawn(path, argv, fds[1], pid);
    close(fds[1]);
    if (err) {
        close(fds[0]);
        return d.Fail(err.Push(FXLOC));
    }
    d.child = pid;
    d.channel.Reset(fds[0]);

    CNMessageBase hello;
    err = d.channel.Receive(hello, ToMs(attachSeconds), timedOut);
    if (!err && hello.GetTag() != kAttachTag)
        err = FXErrorUtil::ErrorWin32(FXLOC, ZuCode::RemoteFailure, "unexpected first message [%s]",
                                      hello.GetTag().c_str());
    if (err) {
        d.channel.Close();
        bool killed = false;
        int status = ChildProcess::Reap(d.child, timedOut ? 0 : 10000, killed);
        d.child = -1;
        if (timedOut)
            return d.Fail(err.Push(FXLOC, "[%s] did not attach within %d s", request.programName.c_str(),
                                   attachSeconds));
        return d.Fail(err.Push(FXLOC, "[%s] ended before attaching: %s", request.programName.c_str(),
                               ChildProcess::DescribeStatus(status).c_str()));
    }
    return {};
}

CZuError CTwNetwork::AttachBackToCaller(int argc, const char* const* argv, bool& timedOut,
                                        int timeoutSeconds) {
    timedOut = false;
    Impl& d = *m_impl;
    d.lastError.clear();
    int fd = -1;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == kChannelArgument) fd = std::atoi(argv[i + 1]);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
        return d.Fail(FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                              "no launcher to attach to (argument %s)", kChannelArgument));
    d.channel.Reset(fd);
    CNMessageBase hello(kAttachTag);
    hello.SetInt("pid", getpid());
    CZuError err = d.channel.Send(hello, ToMs(timeoutSeconds), timedOut);
    if (err) return d.Fail(err.Push(FXLOC, "cannot attach back to the launcher"));
    return {};
}

CZuError CTwNetwork::SendXMLMessage(const CNMessageBase& message, bool& timedOut, int timeoutSeconds) {
    m_impl->lastError.clear();
    CZuError err = m_impl->channel.Send(message, ToMs(timeoutSeconds), timedOut);
    if (err) return m_impl->Fail(err.Push(FXLOC));
    return {};
}

CZuError CTwNetwork::ReceiveXMLMessage(CNMessageBase& message, bool& timedOut, int timeoutSeconds) {
    m_impl->lastError.clear();
    CZuError err = m_impl->channel.Receive(message, ToMs(timeoutSeconds), timedOut);
    if (err) return m_impl->Fail(err.Push(FXLOC));
    return {};
}

CZuError CTwNetwork::Disconnect(int timeoutSeconds) {
    Impl& d = *m_impl;
    d.channel.Close();
    if (d.child <= 0) return {};
    bool killed = false;
    int status = ChildProcess::Reap(d.child, ToMs(timeoutSeconds < 0 ? 0 : timeoutSeconds), killed);
    d.child = -1;
    if (killed)
        ZULOG_ERROR("[%s] was still running %d s after the disconnect and was killed", d.program.c_str(),
                    timeoutSeconds);
    else
        ZULOG(3, "[%s] %s", d.program.c_str(), ChildProcess::DescribeStatus(status).c_str());
    return {};
}

CZuError CTwNetwork::ReplyDisconnect(int timeoutSeconds) {
    Impl& d = *m_impl;
    if (!d.channel.IsOpen()) return {};
    d.channel.ShutdownWrite();
    // Wait for the launcher to close, so it has read the reply.
    CNMessageBase ignored;
    bool timedOut = false;
    while (d.channel.Receive(ignored, ToMs(timeoutSeconds), timedOut).IsSuccess()) {
    }
    d.channel.Close();
    return {};
}

std::string CTwNetwork::GetLastErrorText() const { return m_impl->lastError; }
