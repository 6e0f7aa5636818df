#pragma once
// Remote commands: starting the utility process on a client and exchanging
// one request and one reply message with it.
//
// On one machine a "remote" command is a local process that acts as the
// target client (its focus client) and talks to the launcher over a socket
// it inherits. Every wait is bounded by its time limit; a time-out is told
// apart from other failures through `timedOut`.
#include <memory>
#include <string>

#include "host/Message.h"
#include "host/ZuError.h"

// What to run on the target client.
struct CTwRemoteCommandRequest {
    // A program of the platform's program directory (no path separators).
    std::string programName = "VADeverOREzuz";
    // The command's arguments as one line; double-quoted runs stay whole.
    std::string argumentLine;
    // The framework's three numeric fields, carried as given.
    int waitForReply = 1;
    int field2 = 0;
    int field3 = 0;
};

class CTwNetwork {
public:
    CTwNetwork();
    ~CTwNetwork();  // disconnects (see Disconnect)
    CTwNetwork(const CTwNetwork&) = delete;
    CTwNetwork& operator=(const CTwNetwork&) = delete;

    // Launcher side: starts the request's program for the client whose
    // network host name (or client name) is `host`, and waits up to
    // `attachSeconds` for it to attach back. Error 1168 for an unknown client,
    // 22 for a bad program name, 774 when the program cannot start or ends
    // before attaching, 1460 (timedOut) when it does not attach in time.
    CZuError Attach_RemoteCommand(const std::string& host, const CTwRemoteCommandRequest& request,
                                  bool& timedOut, int attachSeconds = 120);
    // Utility side: attaches to the launcher named by the program arguments
    // (the framework's "-_rc" argument). Error 22 when there is none.
    CZuError AttachBackToCaller(int argc, const char* const* argv, bool& timedOut,
                                int timeoutSeconds = 120);

    // timeoutSeconds < 0 waits without limit. Error 1460 with `timedOut` set
    // on a time-out; 774 when the peer has gone or the connection failed.
    CZuError SendXMLMessage(const CNMessageBase& message, bool& timedOut, int timeoutSeconds = -1);
    CZuError ReceiveXMLMessage(CNMessageBase& message, bool& timedOut, int timeoutSeconds = -1);
    // Launcher side: closes the connection and waits up to `timeoutSeconds`
    // for the utility to end; a utility still running then is killed.
    CZuError Disconnect(int timeoutSeconds = 10);
    // Utility side: closes its sending side and waits up to `timeoutSeconds`
    // for the launcher to close, so the reply is read before the process ends.
    CZuError ReplyDisconnect(int timeoutSeconds = 10);
    // The text of the last failure ("" after success).
    std::string GetLastErrorText() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
