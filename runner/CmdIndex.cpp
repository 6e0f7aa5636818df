// kaxrun index
#include <cstdio>
#include <cstdlib>

#include "host/Message.h"
#include "platform/IndexStore.h"
#include "runner/Commands.h"
#include "runner/ErrorText.h"

namespace Cli {

namespace {

// The fields of the record the entry's metadata carries, one "name = value"
// line each, indented; "" when it carries none.
std::string RecordLines(const std::string& metadataXml) {
    CNMessageBase metadata;
    if (metadataXml.empty() || CNMessageBase::FromXml(metadataXml, metadata) || metadata.GetAllChildren().empty())
        return "";
    std::string text;
    for (const auto& [name, value] : metadata.GetAllChildren().front().GetPairs())
        text += "    " + name + " = " + value + "\n";
    return text;
}

}  // namespace

int Index(const CommandLine& line) {
    char* end = nullptr;
    const int64_t job = std::strtoll(line.Positionals()[0].c_str(), &end, 10);
    if (job <= 0 || *end != '\0') return Fail("index: invalid job id [" + line.Positionals()[0] + "]");
    std::vector<std::string> views{"SHARDView", "DBView", "default"};
    if (line.Has("view")) views = {line.Get("view")};
    for (const auto& view : views) {
        std::vector<IndexEntry> entries;
        if (CZuError err = IndexStore::ListEntries(job, view, "/", entries)) return Fail(ErrorText(err));
        // The file view of a snapshot is long; it is listed only when asked for.
        if (view == "default" && !line.Has("view")) {
            size_t files = 0;
            for (const auto& e : entries) files += e.isDirectory ? 0 : 1;
            std::printf("\nView default: %zu files (list them with: kaxrun index %lld --view default)\n", files,
                        (long long)job);
            continue;
        }
        std::printf("\nView %s\n", view.c_str());
        if (entries.empty()) std::printf("(none)\n");
        for (const auto& e : entries)
            std::printf("  %s  (%s, %lld bytes, archive file %llu)\n%s", e.path.c_str(), e.isDirectory ? "dir" : "file",
                        (long long)e.size, (unsigned long long)e.archiveFileId, RecordLines(e.metadataXml).c_str());
    }
    return kOk;
}

}  // namespace Cli
