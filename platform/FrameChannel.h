#pragma once
// Framed XML messages over a stream socket, between the job runner and its
// node processes and between a launcher and a remote command: each frame is a
// 4-byte big-endian length followed by the XML text of one message.
//
// The socket is used non-blocking; every wait is bounded by the caller's
// limit. Sending may happen from several threads at once; receiving belongs
// to one thread.
#include <cstdint>
#include <mutex>
#include <string>

#include "host/Message.h"
#include "host/ZuError.h"

namespace FrameCode {
constexpr uint32_t Timeout = 1460;  // Win32 ERROR_TIMEOUT
}

class FrameChannel {
public:
    // Takes ownership of `fd` (-1: closed channel).
    explicit FrameChannel(int fd = -1);
    ~FrameChannel();
    FrameChannel(const FrameChannel&) = delete;
    FrameChannel& operator=(const FrameChannel&) = delete;

    // Closes the current socket, if any, and takes `fd`.
    void Reset(int fd);
    int GetFd() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    void Close();
    // No more sending; the peer reads end-of-stream after what was sent.
    void ShutdownWrite();

    // Sends one message, waiting up to `timeoutMs` (-1: no limit) for the
    // socket to take it. Error 1460 with `timedOut` set on a time-out (the
    // channel is unusable afterwards), 774 when the peer has gone.
    CZuError Send(const CNMessageBase& message, int timeoutMs, bool& timedOut);
    // Receives one message within `timeoutMs` (-1: no limit). Error 1460 with
    // `timedOut` set on a time-out (a partly received frame is kept for the
    // next call), 774 at end of stream (AtEof) or on a socket error, 13 for a
    // frame that is not a message.
    CZuError Receive(CNMessageBase& message, int timeoutMs, bool& timedOut);

    // For event loops: reads what the socket holds now (one read).
    CZuError ReadAvailable();
    // Takes the next complete message read so far; `got` false when none.
    CZuError PopMessage(CNMessageBase& message, bool& got);
    bool AtEof() const { return m_eof; }

private:
    CZuError WriteAll(const std::string& bytes, int timeoutMs, bool& timedOut);

    int m_fd;
    bool m_eof = false;
    bool m_broken = false;
    std::string m_inbox;
    std::mutex m_sendMutex;
};
