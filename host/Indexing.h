#pragma once
// The backup index: the indexing connection through which a backup job
// writes its entries (typed metadata records followed by file headers, all
// against an archive file), and the browse client that reads them back.
//
// Views: "default" (the files of a job), and the record views a module
// writes, e.g. "SHARDView" and "DBView". An entry is identified by job,
// view and path; writing the same path again in a job replaces it.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/Message.h"
#include "host/ZuError.h"

// Attribute words of file headers.
namespace IndexAttribute {
constexpr uint32_t Directory = 0x4000;
}

// The GUID of a path: stable for the same text, different for different
// texts (a name-based UUID of the path with its separator).
std::string PathGuid(const std::string& path, char separator = '/');

// One typed record of the index (the index metadata message carrying it).
struct CIndexMetadata {
    std::string typeText;         // the view: "SHARDView", "DBView", ...
    std::string collection = "default";
    std::string objectGuid;
    std::string parentGuid;
    std::string versionGuid;
    CNMessageBase record;         // the record itself

    // The metadata message as XML text (the record is a child of it).
    std::string Serialize() const;
};

struct CIndexFileHeader {
    std::string name;  // the entry's path
    int64_t time = 0;
    uint32_t attribute1 = 0;
    uint32_t attribute2 = 0;
    uint32_t directoryAttribute = 0;  // IndexAttribute::Directory or 0
    int64_t size = 0;
    int64_t sequence = 0;
};

class CIndexingConnection {
public:
    CIndexingConnection();
    ~CIndexingConnection();
    CIndexingConnection(const CIndexingConnection&) = delete;
    CIndexingConnection& operator=(const CIndexingConnection&) = delete;

    // Opens the index of the job named by the attempt token ("<job>:..."),
    // for the application. Error 22 for a token without a job id.
    CZuError Open(uint32_t marlexId, uint32_t appId, uint32_t appType, int backupLevel,
                  const std::string& attemptToken, const std::string& ferrant,
                  const std::string& client);
    // The archive file the next entries go against; error 1168 when the job
    // has no such archive file.
    CZuError SendArchiveFileInfo(uint64_t archiveFileId);
    // A metadata record; it becomes an entry with the next file header.
    CZuError SendMetadata(const CIndexMetadata& metadata);
    // Writes the entry: the file header with the metadata sent before it
    // (if any). Error 1627 before an archive file was sent.
    CZuError SendFileHeader(const CIndexFileHeader& header);
    // -1 = the index of this attempt is complete.
    CZuError updateRestartInfo(int64_t value);
    CZuError backupDone(int value);

    int64_t GetJobId() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// What a browse asks for.
struct CIndexBrowseRequest {
    uint32_t marlexId = 0;
    uint32_t appId = 0;
    std::string viewName = "default";
    // The job whose entries are read; 0 = the latest job of the application
    // that has entries of the view and started at or before toTime.
    int64_t jobFilter = 0;
    int64_t fromTime = 0;
    int64_t toTime = 0;  // 0 = now
    // Entries under this path ("/" = all).
    std::string path = "/";
};

struct CIndexBrowseItem {
    std::string path;
    int64_t size = 0;
    bool isDirectory = false;
    int64_t jobId = 0;
    uint64_t archiveFileId = 0;
    std::string archiveFileType;  // "SNAP" or "TAPE"
    std::string sourcePath;       // where the data is (files of a job)
    std::string metadataXml;      // the record's metadata message, "" for plain files
    // The record of the metadata message (tag "Message" when there is none).
    CNMessageBase record;
};

class CIndexBrowseClient {
public:
    // Items in path order. An empty result is success.
    static CZuError Browse(const CIndexBrowseRequest& request,
                           std::vector<CIndexBrowseItem>& items);
};
