#include "platform/FrameChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

// Larger frames are refused: no message of the framework comes near it, and
// a corrupt length must not make the reader allocate without bound.
constexpr uint32_t kMaxFrame = 64u << 20;

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline` (-1 for none).
int Remaining(const Clock::time_point* deadline) {
    if (!deadline) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

CZuError Gone(const FXCodeLocation& where, const char* what) {
    return FXErrorUtil::ErrorWin32(where, ZuCode::RemoteFailure, "%s", what);
}

CZuError TimedOut(const FXCodeLocation& where, bool& timedOut, const char* what) {
    timedOut = true;
    return FXErrorUtil::ErrorWin32(where, FrameCode::Timeout, "%s", what);
}

}  // namespace

FrameChannel::FrameChannel(int fd) : m_fd(-1) { Reset(fd); }

FrameChannel::~FrameChannel() { Close(); }

void FrameChannel::Reset(int fd) {
    Close();
    m_fd = fd;
    m_eof = false;
    m_broken = false;
    m_inbox.clear();
    if (fd >= 0) {
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
}

void FrameChannel::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

void FrameChannel::ShutdownWrite() {
    if (m_fd >= 0) shutdown(m_fd, SHUT_WR);
}

CZuError FrameChannel::WriteAll(const std::string& bytes, int timeoutMs, bool& timedOut) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const Clock::time_point* limit = timeoutMs < 0 ? nullptr : &deadline;
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{m_fd, POLLOUT, 0};
            int ready = poll(&p, 1, Remaining(limit));
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                if (sent > 0) m_broken = true;  // the peer would read half a frame
                return TimedOut(FXLOC, timedOut, "timed out sending a message");
            }
            if (ready < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "poll failed while sending");
            continue;
        }
        m_broken = true;
        return Gone(FXLOC, "the peer has gone; the message was not sent");
    }
    return {};
}

CZuError FrameChannel::Send(const CNMessageBase& message, int timeoutMs, bool& timedOut) {
    timedOut = false;
    std::lock_guard<std::mutex> lock(m_sendMutex);
    if (m_fd < 0 || m_broken) return Gone(FXLOC, "the connection is closed");
    std::string xml = message.ToXml();
    if (xml.size() > kMaxFrame)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "message of %zu bytes is too large",
                                       xml.size());
    uint32_t length = uint32_t(xml.size());
    std::string frame;
    frame.reserve(4 + xml.size());
    for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(char((length >> shift) & 0xFF));
    frame += xml;
    CZuError err = WriteAll(frame, timeoutMs, timedOut);
    return err.Push(FXLOC);
}

CZuError FrameChannel::ReadAvailable() {
    if (m_fd < 0) return Gone(FXLOC, "the connection is closed");
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            m_inbox.append(buffer, size_t(n));
            return {};
        }
        if (n == 0) {
            m_eof = true;
            return {};
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
        if (errno == ECONNRESET) {
            m_eof = true;
            return {};
        }
        return FXErrorUtil::ErrorErrNo(FXLOC, errno, "reading from the connection failed");
    }
}

CZuError FrameChannel::PopMessage(CNMessageBase& message, bool& got) {
    got = false;
    if (m_inbox.size() < 4) return {};
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length = (length << 8) | uint8_t(m_inbox[size_t(i)]);
    if (length > kMaxFrame)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData, "frame of %u bytes is too large", length);
    if (m_inbox.size() < 4 + size_t(length)) return {};
    std::string xml = m_inbox.substr(4, length);
    m_inbox.erase(0, 4 + size_t(length));
    if (CZuError err = CNMessageBase::FromXml(xml, message)) return err.Push(FXLOC, "malformed frame");
    got = true;
    return {};
}

CZuError FrameChannel::Receive(CNMessageBase& message, int timeoutMs, bool& timedOut) {
    timedOut = false;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const Clock::time_point* limit = timeoutMs < 0 ? nullptr : &deadline;
    for (;;) {
        bool got = false;
        if (CZuError err = PopMessage(message, got)) return err.Push(FXLOC);
        if (got) return {};
        if (m_eof) return Gone(FXLOC, "the peer closed the connection");
        if (m_fd < 0) return Gone(FXLOC, "the connection is closed");
        pollfd p{m_fd, POLLIN, 0};
        int ready = poll(&p, 1, Remaining(limit));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "poll failed while receiving");
        if (ready == 0) return TimedOut(FXLOC, timedOut, "timed out waiting for a message");
        if (CZuError err = ReadAvailable()) return err.Push(FXLOC);
    }
}
