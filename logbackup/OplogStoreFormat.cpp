#include "logbackup/OplogStoreFormat.h"

#include <cinttypes>
#include <limits>
#include <vector>

#include "host/Files.h"

namespace MongoDbKax {
namespace {

constexpr const char* kHostPrefix = "Hostname:";
constexpr const char* kResetMark = "1";

std::vector<std::string> SplitKeepingEmpty(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// Whole-token decimal numbers, so that a garbled or cut field is an error
// instead of a quietly different number.
bool ParseUnsignedToken(const std::string& token, uint64_t max, uint64_t& value) {
    if (token.empty() || token.size() > 20) return false;
    uint64_t result = 0;
    for (char c : token) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = uint64_t(c - '0');
        if (result > (max - digit) / 10) return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

bool ParseSignedToken(const std::string& token, int64_t& value) {
    const bool negative = !token.empty() && token[0] == '-';
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                                    : uint64_t(std::numeric_limits<int64_t>::max());
    if (!ParseUnsignedToken(negative ? token.substr(1) : token, limit, magnitude)) return false;
    value = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
    return true;
}

// Whole names rather than fragments, so that a copy an operator keeps beside
// a file ("oplog_rs0.ts.old") is not read as a second record of its set.
bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string TrimLineBreaks(const std::string& text) {
    const size_t first = text.find_first_not_of("\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of("\r\n") - first + 1);
}

bool ParseRecordLine(const std::string& line, MongoDbOplogTimeStampInfo_t& record) {
    std::vector<std::string> tokens = SplitKeepingEmpty(line, ':');
    bool mark = false;
    if (tokens.size() == 5) {
        if (tokens[0] != kResetMark) return false;
        mark = true;
        tokens.erase(tokens.begin());
    }
    if (tokens.size() != 4 || tokens[0].empty()) return false;
    uint64_t port = 0, timestamp = 0;
    int64_t jobId = 0;
    if (!ParseUnsignedToken(tokens[1], std::numeric_limits<uint32_t>::max(), port) ||
        !ParseUnsignedToken(tokens[2], std::numeric_limits<uint64_t>::max(), timestamp) ||
        !ParseSignedToken(tokens[3], jobId))
        return false;
    record.replicaSetName = tokens[0];
    record.port = uint32_t(port);
    record.timestamp = timestamp;
    record.fullJobId = jobId;
    record.resetMark = mark;
    return true;
}

}  // namespace

std::string OplogStoreFormat::TimestampFileName(const std::string& replicaSetName) {
    return FXString::Format("%s%s.ts", kDumpPrefix, replicaSetName.c_str());
}

bool OplogStoreFormat::IsTimestampFileName(const std::string& name) {
    return StartsWith(name, kDumpPrefix) && EndsWith(name, ".ts");
}

std::string OplogStoreFormat::TimestampFileText(const MongoDbOplogTimeStampInfo_t& record,
                                                bool resetMark) {
    return FXString::Format("%s%s:%u:%" PRIu64 ":%" PRId64 "\n", resetMark ? "1:" : "",
                            record.replicaSetName.c_str(), record.port, record.timestamp,
                            record.fullJobId) +
           kHostPrefix + record.host;
}

bool OplogStoreFormat::ParseTimestampFileText(const std::string& text,
                                              MongoDbOplogTimeStampInfo_t& record,
                                              std::string& badLine) {
    badLine.clear();
    const std::string body = TrimLineBreaks(text);
    if (body.empty()) return false;
    MongoDbOplogTimeStampInfo_t parsed;
    parsed.fileName = record.fileName;
    bool haveRecord = false, haveHost = false;
    for (std::string line : SplitKeepingEmpty(body, '\n')) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        bool ok;
        if (line.rfind(kHostPrefix, 0) == 0) {
            // Everything after the prefix, so that a host text holding ":"
            // (an IPv6 address) survives.
            ok = !haveHost;
            parsed.host = line.substr(std::char_traits<char>::length(kHostPrefix));
            haveHost = true;
        } else {
            ok = !haveRecord && ParseRecordLine(line, parsed);
            haveRecord = true;
        }
        if (!ok) {
            badLine = line;
            return false;
        }
    }
    if (!haveRecord) {
        badLine = body;
        return false;
    }
    record = parsed;
    return true;
}

std::string OplogStoreFormat::LastFullJobText(int64_t jobId) {
    return FXString::Format("%" PRId64, jobId);
}

bool OplogStoreFormat::ParseLastFullJobText(const std::string& text, int64_t& jobId) {
    size_t end = !text.empty() && text[0] == '-' ? 1 : 0;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    return ParseSignedToken(text.substr(0, end), jobId);
}

std::string OplogStoreFormat::LogFilesName(const std::string& replicaSetName) {
    return FXString::Format("%s_%s.twf", kLogFilesPrefix, replicaSetName.c_str());
}

bool OplogStoreFormat::IsLogFilesName(const std::string& name) {
    return StartsWith(name, kLogFilesPrefix) && EndsWith(name, ".twf");
}

std::string OplogStoreFormat::CollectLine(const std::string& dumpPath, int64_t size) {
    return FXString::Format("%s|%" PRId64 "\n", dumpPath.c_str(), size);
}

std::string OplogStoreFormat::CollectLinePath(const std::string& line) {
    const size_t bar = line.rfind('|');
    return bar == std::string::npos ? "" : line.substr(0, bar);
}

std::string OplogStoreFormat::ReplicaSetOfLogFiles(const std::string& path) {
    const std::string name = FXPath::LastComponent(path);
    const size_t at = name.find(kLogFilesPrefix);
    const size_t end = name.rfind(".twf");
    if (at == std::string::npos || end == std::string::npos) return "";
    const size_t start = at + std::char_traits<char>::length(kLogFilesPrefix) + 1;
    return end > start ? name.substr(start, end - start) : "";
}

std::string OplogStoreFormat::CollectFileName(int backupLevel, int n) {
    return FXString::Format("%s%s%d.twf", "Collect", backupLevel == 1 ? "Tot" : "Inc", n);
}

std::string OplogStoreFormat::RepsetMapLine(int n, const std::string& replicaSetName) {
    return FXString::Format("%d|%s|%s\n", n, replicaSetName.c_str(), "");
}

std::string OplogStoreFormat::DumpFileName(const std::string& replicaSetName,
                                           uint64_t fromTimestamp) {
    return FXString::Format("%s%s_%" PRIu64 ".bson", kDumpPrefix, replicaSetName.c_str(),
                            fromTimestamp);
}

bool OplogStoreFormat::IsDumpFileName(const std::string& name) {
    if (name == "." || name == ".." || name == "lost+found" || name == ".snapshot") return false;
    return name.find(kDumpPrefix) != std::string::npos;
}

}  // namespace MongoDbKax
