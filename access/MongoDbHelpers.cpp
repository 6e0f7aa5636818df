#include "access/MongoDbHelpers.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "host/LogWriter.h"

namespace MongoDbKax {

namespace {

size_t SeparatorCount(const std::string& path) {
    const size_t count = size_t(std::count(path.begin(), path.end(), '/'));
    return path.empty() || path.back() != '/' ? count + 1 : count;
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

}  // namespace

bool CmpDelimiterCount(const std::string& pathA, const std::string& pathB) {
    return SeparatorCount(pathA) > SeparatorCount(pathB);
}

uint64_t CountLines(const std::string& filePath) {
    std::unique_ptr<FILE, FileCloser> file(std::fopen(filePath.c_str(), "rb"));
    if (!file)
        return 0;
    uint64_t lines = 0;
    char buffer[64 * 1024];
    size_t read = 0;
    while ((read = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0)
        lines += uint64_t(std::count(buffer, buffer + read, '\n'));
    ZULOG(3, "Found [%llu] lines in [%s]", static_cast<unsigned long long>(lines),
          filePath.c_str());
    return lines;
}

}  // namespace MongoDbKax
