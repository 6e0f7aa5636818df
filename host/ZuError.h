#pragma once
// The one way failures travel: a value object holding success, or a code with
// messages and the code locations pushed on the way up, so that a failure
// reads like a short stack.
#include <cstdint>
#include <string>
#include <vector>

struct FXCodeLocation {
    const char* file = "";
    const char* function = "";
    int line = 0;
};

// The location of the statement that uses it.
#define FXLOC (FXCodeLocation{__FILE__, __func__, __LINE__})

class CZuError {
public:
    enum class Kind { None, Win32, ErrNo };

    struct Frame {
        FXCodeLocation location;
        std::string message;  // may be empty
    };

    // Success.
    CZuError() = default;
    static CZuError Success() { return CZuError(); }

    bool IsError() const { return m_kind != Kind::None; }
    bool IsSuccess() const { return !IsError(); }
    explicit operator bool() const { return IsError(); }

    // 0 on success.
    uint32_t GetErrorCode() const { return m_code; }
    Kind GetKind() const { return m_kind; }
    // The innermost (first) message, or "" when none was given.
    std::string GetMessage() const;
    const std::vector<Frame>& GetFrames() const { return m_frames; }

    // "code 1627: first message <- function (file:line) ..." Success gives "Success".
    std::string AsString() const;

    // Adds the caller's location (and optionally a message) on the way up.
    // Pushing onto a success is a no-op, so `return err.Push(FXLOC);` is safe.
    CZuError& Push(const FXCodeLocation& where);
    CZuError& Push(const FXCodeLocation& where, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    // Used by FXErrorUtil; prefer those factories.
    CZuError(Kind kind, uint32_t code, const FXCodeLocation& where, std::string message);

private:
    Kind m_kind = Kind::None;
    uint32_t m_code = 0;
    std::vector<Frame> m_frames;
};

namespace FXErrorUtil {
// Win32-style codes used across the module: 8, 12, 13, 14, 22, 87, 232, 259,
// 774, 995, 1168, 1279, 1287, 1359, 1627, 4306, 4312.
CZuError ErrorWin32(const FXCodeLocation& where, uint32_t code);
CZuError ErrorWin32(const FXCodeLocation& where, uint32_t code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
CZuError ErrorErrNo(const FXCodeLocation& where, int err);
CZuError ErrorErrNo(const FXCodeLocation& where, int err, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
}  // namespace FXErrorUtil

// Frequently used codes.
namespace ZuCode {
constexpr uint32_t OutOfMemory = 8;
constexpr uint32_t InvalidData = 13;
constexpr uint32_t WrongType = 14;
constexpr uint32_t InvalidArgument = 22;
constexpr uint32_t MissingElement = 87;
constexpr uint32_t NoStreamsRequired = 232;
constexpr uint32_t NoMoreItems = 259;
constexpr uint32_t RemoteFailure = 774;
constexpr uint32_t QuitRequested = 995;
constexpr uint32_t NotFound = 1168;
constexpr uint32_t ReplicaSetRecoveryFailed = 1279;
constexpr uint32_t EmptyServerList = 1287;
constexpr uint32_t InternalFailure = 1359;
constexpr uint32_t FunctionFailed = 1627;
constexpr uint32_t NoSuitableArchiveFile = 4306;
}  // namespace ZuCode
