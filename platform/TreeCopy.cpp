#include "platform/TreeCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "host/Files.h"
#include "host/LogWriter.h"

namespace {

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

CZuError CopyFileContent(const std::string& from, const std::string& to, const struct stat& st,
                         TreeCopyStats& stats) {
    Fd in, out;
    in.fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in.fd < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot open [%s]", from.c_str());
    out.fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
    if (out.fd < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot create [%s]", to.c_str());
    // copy_file_range lets the kernel move the bytes (or share extents);
    // plain read/write covers file systems that refuse it.
    bool kernelCopy = true;
    std::vector<char> buffer;
    for (;;) {
        ssize_t n = -1;
        if (kernelCopy) {
            n = ::copy_file_range(in.fd, nullptr, out.fd, nullptr, size_t(1) << 30, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
        } else {
            if (buffer.empty()) buffer.resize(1 << 20);
            n = ::read(in.fd, buffer.data(), buffer.size());
            for (ssize_t done = 0; n > 0 && done < n;) {
                const ssize_t w = ::write(out.fd, buffer.data() + done, size_t(n - done));
                if (w < 0) {
                    if (errno == EINTR) continue;
                    return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot write [%s]", to.c_str());
                }
                done += w;
            }
        }
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot copy [%s] to [%s]", from.c_str(), to.c_str());
        }
        stats.bytes += uint64_t(n);
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.fd, times);
    if (::close(out.fd) != 0) {
        out.fd = -1;
        return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot close [%s]", to.c_str());
    }
    out.fd = -1;
    ++stats.files;
    return {};
}

class Copier {
public:
    Copier(std::string exclude, const std::function<bool()>& stop, TreeCopyStats& stats)
        : m_exclude(std::move(exclude)), m_stop(stop), m_stats(stats) {}

    CZuError CopyEntry(const std::string& from, const std::string& to) {
        if (m_stop && m_stop())
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::QuitRequested, "the copy of [%s] was stopped",
                                           from.c_str());
        if (!m_exclude.empty() && FXPath::IsAncestorOrSame(m_exclude, from)) {
            ++m_stats.skipped;
            return {};
        }
        struct stat st;
        if (::lstat(from.c_str(), &st) != 0)
            return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot read [%s]", from.c_str());
        if (S_ISREG(st.st_mode)) return CopyFileContent(from, to, st, m_stats).Push(FXLOC);
        if (S_ISLNK(st.st_mode)) return CopyLink(from, to);
        if (S_ISDIR(st.st_mode)) return CopyDirectory(from, to, st);
        ZULOG(3, "Not copying [%s]: not a file, directory or link", from.c_str());
        ++m_stats.skipped;
        return {};
    }

private:
    CZuError CopyLink(const std::string& from, const std::string& to) {
        std::vector<char> target(4096);
        const ssize_t n = ::readlink(from.c_str(), target.data(), target.size() - 1);
        if (n < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot read link [%s]", from.c_str());
        target[size_t(n)] = '\0';
        if (::symlink(target.data(), to.c_str()) != 0)
            return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot create link [%s]", to.c_str());
        ++m_stats.links;
        return {};
    }

    CZuError CopyDirectory(const std::string& from, const std::string& to, const struct stat& st) {
        if (::mkdir(to.c_str(), 0700) != 0)
            return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot create directory [%s]", to.c_str());
        std::vector<std::string> names;
        {
            DIR* dir = ::opendir(from.c_str());
            if (!dir) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot open directory [%s]", from.c_str());
            errno = 0;
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") names.push_back(name);
                errno = 0;
            }
            const int readError = errno;
            ::closedir(dir);
            if (readError)
                return FXErrorUtil::ErrorErrNo(FXLOC, readError, "cannot read directory [%s]", from.c_str());
        }
        for (const std::string& name : names)
            if (CZuError err = CopyEntry(FXPath::Join(from, name), FXPath::Join(to, name))) return err.Push(FXLOC);
        // Mode and times last: a read-only directory must still take its entries.
        ::chmod(to.c_str(), st.st_mode & 07777);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
        ++m_stats.directories;
        return {};
    }

    std::string m_exclude;
    const std::function<bool()>& m_stop;
    TreeCopyStats& m_stats;
};

}  // namespace

namespace TreeCopy {

CZuError Copy(const std::string& from, const std::string& to, const std::string& exclude,
              const std::function<bool()>& stop, TreeCopyStats& stats) {
    stats = TreeCopyStats();
    if (FXFile::Exists(to) || FXFile::IsSymlink(to))
        return FXErrorUtil::ErrorErrNo(FXLOC, EEXIST, "the copy's destination [%s] exists", to.c_str());
    // A link given as the volume is followed: the caller named it for its content.
    std::string source = from;
    if (FXFile::IsSymlink(from)) {
        char resolved[PATH_MAX];
        if (!::realpath(from.c_str(), resolved))
            return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot resolve [%s]", from.c_str());
        source = resolved;
    }
    struct stat st;
    if (::lstat(source.c_str(), &st) != 0)
        return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot read [%s]", source.c_str());
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                       "[%s] is neither a directory nor a file", from.c_str());
    Copier copier(exclude, stop, stats);
    return copier.CopyEntry(source, to).Push(FXLOC);
}

}  // namespace TreeCopy
