#pragma once
// Remote commands: starting the utility process on a client and exchanging
// one request and one reply message with it.
#include <memory>
#include <string>

#include "host/Message.h"
#include "host/ZuError.h"

class CTwNetwork {
public:
    CTwNetwork();
    ~CTwNetwork();

    // Launcher side: starts `program` with `argumentLine` (split quote-aware)
    // on the client whose network host name is `host`, and waits up to
    // `attachSeconds` for it to attach back.
    CZuError Attach_RemoteCommand(const std::string& host, const std::string& program,
                                  const std::string& argumentLine, int attachSeconds = 120);
    // Utility side: connects back to the launcher named in the arguments.
    CZuError AttachBackToCaller(int argc, const char* const* argv, bool& timedOut);

    // timeoutSeconds < 0 waits without limit; `timedOut` tells a time-out
    // apart from other failures.
    CZuError SendXMLMessage(const CNMessageBase& message, bool& timedOut, int timeoutSeconds = -1);
    CZuError ReceiveXMLMessage(CNMessageBase& message, bool& timedOut, int timeoutSeconds = -1);
    CZuError Disconnect(int timeoutSeconds = 10);
    CZuError ReplyDisconnect(int timeoutSeconds = 10);
    std::string GetLastErrorText() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
