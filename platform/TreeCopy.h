#pragma once
// Copies a directory tree (or one file) the way a snapshot needs it: file
// contents, modes and modification times, directories, and symbolic links as
// links (never followed). Sockets, pipes and devices are not data and are
// skipped.
#include <cstdint>
#include <functional>
#include <string>

#include "host/ZuError.h"

struct TreeCopyStats {
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint64_t directories = 0;
    uint64_t links = 0;
    uint64_t skipped = 0;  // sockets, pipes, devices, the excluded tree
};

namespace TreeCopy {
// Copies `from` to `to`, which must not exist yet. The tree at `exclude`
// (when it lies inside `from`) is left out, so that a copy never copies its
// own destination. `stop` is asked between files; when it answers true the
// copy ends with error 995. On failure `to` is left partly written: the
// caller removes it.
CZuError Copy(const std::string& from, const std::string& to, const std::string& exclude,
              const std::function<bool()>& stop, TreeCopyStats& stats);
}  // namespace TreeCopy
