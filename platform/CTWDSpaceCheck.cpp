#include <sys/statvfs.h>

#include <cerrno>

#include "host/Files.h"

CZuError CTWDSpaceCheck::isSpaceConsumedMoreThanPercentage(const std::string& path, double percent,
                                                           bool& more, uint64_t& used,
                                                           uint64_t& total) {
    struct statvfs fs;
    if (::statvfs(path.c_str(), &fs) != 0)
        return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot query free space of [%s]", path.c_str());
    uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
    used = (static_cast<uint64_t>(fs.f_blocks) - fs.f_bfree) * unit;
    total = used + static_cast<uint64_t>(fs.f_bavail) * unit;
    more = total != 0 && static_cast<double>(used) * 100.0 > percent * static_cast<double>(total);
    return CZuError::Success();
}
