#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/Files.h"

namespace {

// Writes all of `data` to `fd`; a write that makes no progress is reported
// as a short write instead of looping forever.
CZuError WriteFully(int fd, const std::string& data, const std::string& path) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FXErrorUtil::ErrorErrNo(FXLOC, errno, "write to [%s] failed after %zu of %zu bytes",
                                           path.c_str(), done, data.size());
        }
        if (n == 0)
            return FXErrorUtil::ErrorErrNo(FXLOC, EIO, "short write to [%s]: %zu of %zu bytes",
                                           path.c_str(), done, data.size());
        done += static_cast<size_t>(n);
    }
    return CZuError::Success();
}

CZuError WriteWithFlags(const std::string& path, const std::string& content, int flags,
                        unsigned mode) {
    int fd = ::open(path.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot open [%s] for writing", path.c_str());
    CZuError err = WriteFully(fd, content, path);
    if (::close(fd) != 0 && !err.IsError())
        err = FXErrorUtil::ErrorErrNo(FXLOC, errno, "closing [%s] failed", path.c_str());
    return err.Push(FXLOC);
}

}  // namespace

bool FXFile::Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool FXFile::IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FXFile::IsSymlink(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

CZuError FXFile::ResolveLink(const std::string& path, std::string& target) {
    char buffer[4096];
    ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "[%s] is not a readable link", path.c_str());
    std::string link(buffer, static_cast<size_t>(n));
    target = FXPath::Normalize(link[0] == '/' ? link : FXPath::Join(FXPath::Parent(path), link));
    return CZuError::Success();
}

CZuError FXFile::Size(const std::string& path, uint64_t& size) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot stat [%s]", path.c_str());
    size = static_cast<uint64_t>(st.st_size);
    return CZuError::Success();
}

CZuError FXFile::ReadAll(const std::string& path, std::string& content) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot open [%s]", path.c_str());
    content.clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            return FXErrorUtil::ErrorErrNo(FXLOC, err, "cannot read [%s]", path.c_str());
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return CZuError::Success();
}

CZuError FXFile::WriteAll(const std::string& path, const std::string& content, unsigned mode) {
    return WriteWithFlags(path, content, O_TRUNC, mode).Push(FXLOC);
}

CZuError FXFile::Append(const std::string& path, const std::string& content) {
    return WriteWithFlags(path, content, O_APPEND, 0644).Push(FXLOC);
}

CZuError FXFile::Copy(const std::string& from, const std::string& to) {
    struct stat st;
    if (::stat(from.c_str(), &st) != 0)
        return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot stat [%s]", from.c_str());
    std::string content;
    CZuError err = ReadAll(from, content);
    if (err) return err.Push(FXLOC);
    return WriteAll(to, content, st.st_mode & 07777).Push(FXLOC);
}

CZuError FXFile::Move(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0)
        return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot move [%s] to [%s]", from.c_str(), to.c_str());
    return CZuError::Success();
}

CZuError FXFile::Delete(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot delete [%s]", path.c_str());
    return CZuError::Success();
}
