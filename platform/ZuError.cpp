#include "host/ZuError.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "host/Files.h"

namespace {

const char* BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Short names of the codes the module uses, so that an operator reading a
// log line does not need a table.
const char* Win32CodeName(uint32_t code) {
    switch (code) {
    case 8: return "out of memory";
    case 12: return "out of memory";
    case 13: return "invalid data";
    case 14: return "wrong object type";
    case 22: return "invalid argument";
    case 87: return "missing element";
    case 232: return "no streams required";
    case 259: return "no more items";
    case 774: return "remote operation failed";
    case 995: return "quit requested";
    case 1168: return "not found";
    case 1279: return "replica set recovery failed";
    case 1287: return "empty server list";
    case 1359: return "internal failure";
    case 1627: return "function failed";
    case 4306: return "no suitable archive file";
    case 4312: return "object not found";
    default: return nullptr;
    }
}

}  // namespace

CZuError::CZuError(Kind kind, uint32_t code, const FXCodeLocation& where, std::string message)
    : m_kind(kind), m_code(code) {
    m_frames.push_back(Frame{where, std::move(message)});
}

std::string CZuError::GetMessage() const {
    for (const Frame& frame : m_frames)
        if (!frame.message.empty()) return frame.message;
    return {};
}

std::string CZuError::AsString() const {
    if (!IsError()) return "Success";
    std::string text;
    if (m_kind == Kind::ErrNo) {
        text = "errno " + std::to_string(m_code) + " (" + std::strerror(static_cast<int>(m_code)) + ")";
    } else {
        text = "error " + std::to_string(m_code);
        if (const char* name = Win32CodeName(m_code)) text += std::string(" (") + name + ")";
    }
    bool first = true;
    for (const Frame& frame : m_frames) {
        text += first ? ": " : " <- ";
        first = false;
        if (!frame.message.empty()) text += frame.message + " ";
        text += std::string("[") + frame.location.function + " " + BaseName(frame.location.file) +
                ":" + std::to_string(frame.location.line) + "]";
    }
    return text;
}

CZuError& CZuError::Push(const FXCodeLocation& where) {
    if (IsError()) m_frames.push_back(Frame{where, {}});
    return *this;
}

CZuError& CZuError::Push(const FXCodeLocation& where, const char* format, ...) {
    if (!IsError()) return *this;
    va_list args;
    va_start(args, format);
    m_frames.push_back(Frame{where, FXString::FormatV(format, args)});
    va_end(args);
    return *this;
}

namespace FXErrorUtil {

CZuError ErrorWin32(const FXCodeLocation& where, uint32_t code) {
    return CZuError(CZuError::Kind::Win32, code, where, {});
}

CZuError ErrorWin32(const FXCodeLocation& where, uint32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = FXString::FormatV(format, args);
    va_end(args);
    return CZuError(CZuError::Kind::Win32, code, where, std::move(message));
}

CZuError ErrorErrNo(const FXCodeLocation& where, int err) {
    return CZuError(CZuError::Kind::ErrNo, static_cast<uint32_t>(err), where, {});
}

CZuError ErrorErrNo(const FXCodeLocation& where, int err, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = FXString::FormatV(format, args);
    va_end(args);
    return CZuError(CZuError::Kind::ErrNo, static_cast<uint32_t>(err), where, std::move(message));
}

}  // namespace FXErrorUtil
