#pragma once
// Free helpers of the module's namespace for paths and files.
#include <cstdint>
#include <string>

namespace MongoDbKax {

// true when pathA has more "/" separators than pathB, each counted as if it
// ended with "/". Orders sorts that must place deeper paths first.
bool CmpDelimiterCount(const std::string& pathA, const std::string& pathB);

// Number of "\n" bytes in the file (a last line without one is not counted);
// 0 when the file cannot be opened.
uint64_t CountLines(const std::string& filePath);

}  // namespace MongoDbKax
