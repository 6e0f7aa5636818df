// MongoDbSnapBackup: the data files for the index, listed from the live data
// paths or (by default) from the mounted snapshots.
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>

#include "host/Files.h"
#include "host/LogWriter.h"
#include "snapbackup/MongoDbSnapBackup.h"

namespace MongoDbKax {
namespace {

bool EndsWith(const std::string& text, const std::string& tail, bool ignoreCase) {
    if (text.size() < tail.size()) return false;
    const char* start = text.c_str() + text.size() - tail.size();
    return ignoreCase ? strcasecmp(start, tail.c_str()) == 0 : tail == start;
}

std::string WithSlash(const std::string& path) { return !path.empty() && path.back() == '/' ? path : path + "/"; }

size_t Depth(const std::string& path) {
    const std::string p = WithSlash(path);
    return size_t(std::count(p.begin(), p.end(), '/'));
}

}  // namespace

bool MongoDbSnapBackup::SkipFileFromBackup(const std::string& path, const std::string& replicaSetName) const {
    if (EndsWith(path, "mongod.lock", false)) {
        // Without a lock the server's lock file is part of the picture a
        // restore needs to see how the files were left.
        for (const MongoRepSetInfo_t& record : m_records)
            if (record.replicaSetName == replicaSetName && record.quiesceSkipped) return false;
        return true;
    }
    return EndsWith(path, "WiredTiger.backup", true) || EndsWith(path, "metrics.interim", false) ||
           EndsWith(path, ".sock", true);
}

int MongoDbSnapBackup::CreateSnapEntityList() {
    if (QuitRequested()) return -1;
    if (m_enumerateFromSnapshot) {
        ZULOG_NORMAL("Not creating snap entity list now. This will be done post snapshot");
        return 0;
    }
    return BuildFileMap(false);
}

int MongoDbSnapBackup::PrepareIndex() {
    if (QuitRequested()) return -1;
    if (!m_enumerateFromSnapshot) return 0;
    if (CZuError err = MountAllSnapshots(m_snapMounts)) {
        ZULOG_ERROR("Failed to mount snapshots. Error [%s]", err.AsString().c_str());
        return -1;
    }
    std::stable_sort(m_snapMounts.begin(), m_snapMounts.end(),
                     [](const auto& a, const auto& b) { return Depth(a.first) > Depth(b.first); });
    ZULOG_NORMAL("Mounted snapshots for preparing files list");
    CreateSourceToSnapIndexMap();
    if (BuildFileMap(true) != 0) {
        ZULOG_ERROR("Failed to create snap entity list post snapshot");
        return -1;
    }
    return 0;
}

int MongoDbSnapBackup::CreateIndex() {
    if (QuitRequested()) return -1;
    const int rc = DBSnapBackup::CreateIndex();
    if (m_enumerateFromSnapshot) {
        if (CZuError err = UnmountAllSnapshots())
            ZULOG_ERROR("Failed to unmount snapshot: %s", err.AsString().c_str());
        else
            ZULOG_NORMAL("Successfully Unmounted snapshots");
    }
    if (rc != 0) {
        ZULOG_ERROR("Create index operation failed");
        return -1;
    }
    return 0;
}

bool MongoDbSnapBackup::ToSnapshotPath(const std::string& sourcePath, std::string& snapPath) const {
    for (const auto& [sourceMount, snapMount] : m_snapMounts) {
        ZULOG(6, "srcPath [%s] srcMountPath [%s] mountPath [%s]", sourcePath.c_str(), sourceMount.c_str(),
              snapMount.c_str());
        const std::string mount = WithSlash(sourceMount);
        if (WithSlash(sourcePath).compare(0, mount.size(), mount) != 0) continue;
        snapPath = FXPath::Join(snapMount, sourcePath.substr(std::min(sourcePath.size(), mount.size() - 1)));
        ZULOG(6, "pathToEnumerate [%s] srcMount [%s] enumeratedMount [%s]", snapPath.c_str(), sourceMount.c_str(),
              snapMount.c_str());
        return true;
    }
    return false;
}

int MongoDbSnapBackup::BuildFileMap(bool fromSnapshot) {
    m_fileMap.clear();
    for (const auto& [replicaSetName, paths] : m_mountPathMap) {
        for (const RepSetMountPathInfo& path : paths) {
            ZULOG_NORMAL("Listing files under mount path [%s] for repset [%s]", path.physicalPath.c_str(),
                         replicaSetName.c_str());
            std::string root = path.physicalPath;
            if (fromSnapshot && !ToSnapshotPath(path.physicalPath, root)) {
                ZULOG_ERROR("Failed to convert source path to mount path for [%s]", path.physicalPath.c_str());
                ZULOG_ERROR("Failed to convert source path to mount path");
                return -1;
            }
            if (ListFilesUnder(replicaSetName, path.physicalPath, root, fromSnapshot) != 0) return -1;
        }
    }
    ZULOG_NORMAL("Total number of database files=[%d]", int(GetFileCount()));
    ZULOG_NORMAL("Populated snap entity list");
    return 0;
}

// Walks `enumerateRoot` (the mount path itself, or its place in the mounted
// snapshot) without following links; every entry is named by its source path.
int MongoDbSnapBackup::ListFilesUnder(const std::string& replicaSetName, const std::string& mountPath,
                                      const std::string& enumerateRoot, bool fromSnapshot) {
    std::vector<std::pair<std::string, std::string>> folders{{enumerateRoot, mountPath}};
    while (!folders.empty()) {
        const auto [dir, sourceDir] = folders.back();
        folders.pop_back();
        ZULOG(3, "Reading files from dir: [%s]", dir.c_str());
        std::vector<std::string> names;
        if (CZuError err = CZuDirectory::List(dir, names)) {
            ZULOG_ERROR("Failed to read directory [%s]: %s", dir.c_str(), err.AsString().c_str());
            return -1;
        }
        for (const std::string& name : names) {
            const std::string entry = FXPath::Join(dir, name);
            const std::string source = FXPath::Join(sourceDir, name);
            if (SkipFileFromBackup(source, replicaSetName)) {
                ZULOG(2, "Skipping file from backup [%s]", source.c_str());
                continue;
            }
            std::string indexPath;
            GetSnapIndexPath(replicaSetName, source, indexPath);
            m_fileMap[source] = indexPath;
            ZULOG(6, "path [%s] indexPath [%s]", source.c_str(), indexPath.c_str());
            if (fromSnapshot) {
                if (!HasSourceToSnapIndexMap()) {
                    ZULOG_ERROR("Source Path -> Snap Path index map is not initialized");
                    return -1;
                }
                AddSourceToSnapPath(source, entry);
            }
            struct stat st;
            if (::lstat(entry.c_str(), &st) != 0) continue;  // gone meanwhile (live listing)
            if (S_ISLNK(st.st_mode)) continue;
            if (S_ISDIR(st.st_mode)) {
                folders.emplace_back(entry, source);
                continue;
            }
            if (CZuError err = AddFileToList(source, indexPath, mountPath)) {
                ZULOG_ERROR("Failed to add mount point for path [%s], mount point [%s]", source.c_str(),
                            mountPath.c_str());
                return -1;
            }
            ZULOG(3, "Added [%s] to file list, mount point [%s] ", source.c_str(), mountPath.c_str());
        }
    }
    return 0;
}

}  // namespace MongoDbKax
