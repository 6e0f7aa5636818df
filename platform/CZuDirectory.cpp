#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "host/Files.h"

CZuError CZuDirectory::Create(const std::string& path, unsigned mode) {
    if (path.empty()) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "empty directory path");
    if (FXFile::IsDirectory(path)) return CZuError::Success();
    std::string parent = FXPath::Parent(path);
    if (parent != path) {
        CZuError err = Create(parent, mode);
        if (err) return err.Push(FXLOC);
    }
    if (::mkdir(path.c_str(), mode) != 0 && !(errno == EEXIST && FXFile::IsDirectory(path)))
        return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot create directory [%s]", path.c_str());
    return CZuError::Success();
}

CZuError CZuDirectory::List(const std::string& dir, std::vector<std::string>& names,
                            const std::string& pattern) {
    names.clear();
    DIR* handle = ::opendir(dir.c_str());
    if (!handle) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot list directory [%s]", dir.c_str());
    while (struct dirent* entry = ::readdir(handle)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (!pattern.empty() && ::fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
        names.push_back(std::move(name));
    }
    ::closedir(handle);
    std::sort(names.begin(), names.end());
    return CZuError::Success();
}

CZuError CZuDirectory::DeleteByPattern(const std::string& dir, const std::string& pattern,
                                       int* deleted) {
    if (deleted) *deleted = 0;
    std::vector<std::string> names;
    CZuError err = List(dir, names, pattern);
    if (err) return err.Push(FXLOC);
    for (const std::string& name : names) {
        std::string path = FXPath::Join(dir, name);
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot delete [%s]", path.c_str());
        if (deleted) ++*deleted;
    }
    return CZuError::Success();
}

CZuError CZuDirectory::RemoveTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec) return FXErrorUtil::ErrorErrNo(FXLOC, ec.value(), "cannot remove [%s]", path.c_str());
    return CZuError::Success();
}

CZuError CZuDirectory::RemoveEmpty(const std::string& path) {
    if (::rmdir(path.c_str()) != 0)
        return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot remove directory [%s]", path.c_str());
    return CZuError::Success();
}
