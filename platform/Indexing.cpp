// The indexing connection and the browse client over the index store.
#include "host/Indexing.h"

#include <openssl/sha.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "host/ArchiveManager.h"
#include "host/LogWriter.h"
#include "platform/IndexStore.h"

namespace {

constexpr const char* kMetadataTag = "IndexMetadata";

// "/a/b" -> "/a"; "/a" -> "/".
std::string ParentPath(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::string PathGuid(const std::string& path, char separator) {
    // A name-based (version 5 style) UUID: SHA-1 of the separator and the path.
    const std::string name = std::string(1, separator) + path;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(name.data()), name.size(), digest);
    digest[6] = (digest[6] & 0x0F) | 0x50;
    digest[8] = (digest[8] & 0x3F) | 0x80;
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", digest[0],
                  digest[1], digest[2], digest[3], digest[4], digest[5], digest[6], digest[7], digest[8],
                  digest[9], digest[10], digest[11], digest[12], digest[13], digest[14], digest[15]);
    return text;
}

std::string CIndexMetadata::Serialize() const {
    CNMessageBase tree(kMetadataTag);
    tree.Set("type", typeText);
    tree.Set("collection", collection);
    tree.Set("objectGuid", objectGuid);
    tree.Set("parentGuid", parentGuid);
    tree.Set("versionGuid", versionGuid);
    tree.AddChild(record);
    return tree.ToXml();
}

struct CIndexingConnection::Impl {
    bool open = false;
    int64_t jobId = 0;
    uint32_t marlexId = 0;
    uint32_t appId = 0;
    uint64_t archiveFileId = 0;
    bool haveMetadata = false;
    CIndexMetadata metadata;
};

CIndexingConnection::CIndexingConnection() : m_impl(std::make_unique<Impl>()) {}
CIndexingConnection::~CIndexingConnection() = default;

int64_t CIndexingConnection::GetJobId() const { return m_impl->jobId; }

CZuError CIndexingConnection::Open(uint32_t marlexId, uint32_t appId, uint32_t appType, int backupLevel,
                                   const std::string& attemptToken, const std::string& ferrant,
                                   const std::string& client) {
    char* end = nullptr;
    const long long job = std::strtoll(attemptToken.c_str(), &end, 10);
    if (job <= 0 || !end || (*end != ':' && *end != '\0'))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                       "attempt token [%s] names no job", attemptToken.c_str());
    Impl& d = *m_impl;
    d = Impl();
    d.open = true;
    d.jobId = job;
    d.marlexId = marlexId;
    d.appId = appId;
    ZULOG(2, "Index of job %lld opened for [%u:%u] type %u level %d media [%s] client [%s]", job, marlexId,
          appId, appType, backupLevel, ferrant.c_str(), client.c_str());
    return {};
}

CZuError CIndexingConnection::SendArchiveFileInfo(uint64_t archiveFileId) {
    Impl& d = *m_impl;
    if (!d.open) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "the index is not open");
    std::vector<ArchiveFileInfo> files;
    if (CZuError err = ArMgrClientAPI::getArchFileListForJob(d.marlexId, d.jobId, files)) return err.Push(FXLOC);
    for (const auto& f : files)
        if (f.archiveFileId == archiveFileId) {
            d.archiveFileId = archiveFileId;
            return {};
        }
    return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "job %lld has no archive file %llu",
                                   (long long)d.jobId, (unsigned long long)archiveFileId);
}

CZuError CIndexingConnection::SendMetadata(const CIndexMetadata& metadata) {
    Impl& d = *m_impl;
    if (!d.open) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "the index is not open");
    d.metadata = metadata;
    d.haveMetadata = true;
    return {};
}

CZuError CIndexingConnection::SendFileHeader(const CIndexFileHeader& header) {
    Impl& d = *m_impl;
    if (!d.open || d.archiveFileId == 0)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed,
                                       "no archive file was sent for entry [%s]", header.name.c_str());
    IndexEntry e;
    e.jobId = d.jobId;
    e.marlexId = d.marlexId;
    e.appId = d.appId;
    e.archiveFileId = d.archiveFileId;
    e.path = header.name;
    e.isDirectory = (header.directoryAttribute & IndexAttribute::Directory) != 0;
    e.size = header.size;
    e.sequence = header.sequence;
    e.attribute1 = header.attribute1;
    e.attribute2 = header.attribute2;
    e.time = header.time;
    if (d.haveMetadata) {
        e.view = d.metadata.typeText;
        e.guid = d.metadata.objectGuid;
        e.parentGuid = d.metadata.parentGuid;
        e.versionGuid = d.metadata.versionGuid;
        e.metadataXml = d.metadata.Serialize();
    } else {
        e.guid = PathGuid(header.name);
        e.parentGuid = PathGuid(ParentPath(header.name));
    }
    d.haveMetadata = false;
    if (CZuError err = IndexStore::AddEntry(e)) return err.Push(FXLOC);
    return {};
}

CZuError CIndexingConnection::updateRestartInfo(int64_t value) {
    if (!m_impl->open) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "the index is not open");
    CZuError err = IndexStore::SetRestartInfo(m_impl->jobId, value);
    return err.Push(FXLOC);
}

CZuError CIndexingConnection::backupDone(int value) {
    if (!m_impl->open) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "the index is not open");
    CZuError err = IndexStore::SetBackupDone(m_impl->jobId, value);
    return err.Push(FXLOC);
}

CZuError CIndexBrowseClient::Browse(const CIndexBrowseRequest& request, std::vector<CIndexBrowseItem>& items) {
    items.clear();
    int64_t jobId = request.jobFilter;
    if (jobId == 0) {
        if (CZuError err = IndexStore::LatestJobWithView(request.marlexId, request.appId, request.viewName,
                                                         request.toTime, jobId))
            return err.Push(FXLOC);
        if (jobId == 0) return {};
    }
    std::vector<IndexEntry> entries;
    if (CZuError err = IndexStore::ListEntries(jobId, request.viewName, request.path, entries))
        return err.Push(FXLOC);
    for (const IndexEntry& e : entries) {
        CIndexBrowseItem item;
        item.path = e.path;
        item.size = e.size;
        item.isDirectory = e.isDirectory;
        item.jobId = e.jobId;
        item.archiveFileId = e.archiveFileId;
        item.archiveFileType = e.archiveFileType;
        item.sourcePath = e.sourcePath;
        item.metadataXml = e.metadataXml;
        if (!e.metadataXml.empty()) {
            CNMessageBase tree;
            if (CZuError err = CNMessageBase::FromXml(e.metadataXml, tree))
                return err.Push(FXLOC, "index entry [%s] holds a malformed record", e.path.c_str());
            if (!tree.GetAllChildren().empty()) item.record = tree.GetAllChildren().front();
        }
        items.push_back(std::move(item));
    }
    return {};
}
