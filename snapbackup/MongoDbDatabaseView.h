#pragma once
// Index entries written by MongoDB backups: the common form of an entry
// (metadata record + file header against one archive file) and the database
// view (every user database once, with its collections). The snapshot
// backup writes both; the oplog backup refreshes the database view.
#include <cstdint>
#include <string>
#include <vector>

#include "access/MongoDbUtil.h"
#include "host/Indexing.h"
#include "snapbackup/MongoDbDatabaseEntity.h"

namespace MongoDbKax {

class MongoDbDatabaseView {
public:
    explicit MongoDbDatabaseView(MongoDbUtil& util) : m_util(util) {}

    // One index entry: `record` as metadata of type `type` at `path`, then
    // its file header (directory attribute when `directory`). Error 774 with
    // the step that failed.
    static CZuError SendMetadataAndFileHeader(CIndexingConnection& connection, uint64_t archiveFileId,
                                              const CNMessageBase& record, const std::string& type,
                                              const std::string& path, int64_t size, int64_t sequence,
                                              bool directory);

    // Writes the database view of the discovered deployment against the
    // archive file. Error 774.
    CZuError UpdateDBView(CIndexingConnection& connection, uint64_t archiveFileId);

    // Every user database once: under "#MONGOS#" when the router knows it,
    // else under its replica set, with its collections. Error 774.
    CZuError GetDbAndCollectionEntityList(std::vector<MongoDbDatabaseEntity_t>& databases);

private:
    CZuError GetDatabasesCreatedThroughRouter(std::vector<MongoDbDatabaseEntity_t>& routerDatabases);
    CZuError ListDatabases(const std::string& replicaSetName, std::vector<MongoDbDatabaseEntity_t>& databases);
    CZuError PrimaryOf(const std::string& replicaSetName, std::string& host, int& port) const;
    void SelectDatabases(std::vector<MongoDbDatabaseEntity_t>& listed,
                         const std::vector<MongoDbDatabaseEntity_t>& routerDatabases,
                         std::vector<MongoDbDatabaseEntity_t>& selected) const;
    CZuError FillCollections(std::vector<MongoDbDatabaseEntity_t>& databases);
    // Connects the utility's connection to host:port (credentials included). false = failure.
    bool Connect(const std::string& host, int port);

    MongoDbUtil& m_util;
};

}  // namespace MongoDbKax
