#include "snapbackup/MongoDbDatabaseView.h"

#include <ctime>
#include <map>
#include <nlohmann/json.hpp>

#include "access/MongoDbConnection.h"
#include "host/Files.h"
#include "host/LogWriter.h"
#include "host/MongoDBIndexRecords.h"
#include "topology/MongoDBConfig.h"

namespace MongoDbKax {

namespace {

// File header attribute words of MongoDB index entries.
constexpr uint32_t kAttribute1 = 1028;
constexpr uint32_t kAttribute2 = 20672;

CZuError Failure(const FXCodeLocation& where, const std::string& text) {
    return FXErrorUtil::ErrorWin32(where, ZuCode::RemoteFailure, "%s", text.c_str());
}

std::string ParentOf(const std::string& path) {
    std::string trimmed = path;
    while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
    std::string parent = FXPath::Parent(trimmed.empty() ? "/" : trimmed);
    while (!parent.empty() && parent.back() == '/') parent.pop_back();
    return parent.empty() ? "/" : parent;
}

int64_t Bytes(const nlohmann::json& value) {
    if (value.is_number_integer()) return value.get<int64_t>();
    if (value.is_number()) return int64_t(value.get<double>());
    return 0;
}

bool IsSystemDatabase(const std::string& name) { return name == "admin" || name == "config" || name == "local"; }

}  // namespace

CZuError MongoDbDatabaseView::SendMetadataAndFileHeader(CIndexingConnection& connection, uint64_t archiveFileId,
                                                        const CNMessageBase& record, const std::string& type,
                                                        const std::string& path, int64_t size, int64_t sequence,
                                                        bool directory) {
    ZULOG(2, "Sending file info for: [%s]", path.c_str());
    if (CZuError err = connection.SendArchiveFileInfo(archiveFileId)) {
        ZULOG_ERROR("%s", err.AsString().c_str());
        return Failure(FXLOC, "Failed to send afile info");
    }
    const int64_t now = int64_t(::time(nullptr));
    CIndexMetadata metadata;
    metadata.typeText = type;
    metadata.collection = "default";
    metadata.objectGuid = PathGuid(path, '/');
    metadata.parentGuid = PathGuid(ParentOf(path), '/');
    metadata.versionGuid = PathGuid(FXString::Format("%s.%lld", path.c_str(), (long long)now), '/');
    metadata.record = record;
    ZULOG(3, "metadata serialized [%s]", metadata.Serialize().c_str());
    if (CZuError err = connection.SendMetadata(metadata)) {
        ZULOG_ERROR("%s", err.AsString().c_str());
        return Failure(FXLOC, "Failed to send metadata for file:[" + path + "]");
    }
    CIndexFileHeader header;
    header.name = path;
    header.time = now;
    header.attribute1 = kAttribute1;
    header.attribute2 = kAttribute2;
    header.directoryAttribute = directory ? IndexAttribute::Directory : 0;
    header.size = size;
    header.sequence = sequence;
    if (CZuError err = connection.SendFileHeader(header)) {
        ZULOG_ERROR("%s", err.AsString().c_str());
        return Failure(FXLOC, "Failed to send file info");
    }
    return {};
}

CZuError MongoDbDatabaseView::UpdateDBView(CIndexingConnection& connection, uint64_t archiveFileId) {
    std::vector<MongoDbDatabaseEntity_t> databases;
    if (CZuError err = GetDbAndCollectionEntityList(databases)) {
        ZULOG_ERROR("%s", err.AsString().c_str());
        return Failure(FXLOC, "Failed to get Db and collections list");
    }
    for (const MongoDbDatabaseEntity_t& db : databases) {
        const std::string dbPath = "/" + db.replicaSetName + "~" + db.name;
        App::MongoDBDatabaseRecord dbRecord;
        dbRecord.name = db.name;
        dbRecord.size = db.size;
        dbRecord.replicaSet = db.replicaSetName;
        dbRecord.sharded = db.sharded;
        dbRecord.createdOnReplicaSet = db.createdOnReplicaSet;
        dbRecord.systemDatabase = db.systemDatabase;
        CNMessageBase tree;
        dbRecord.Serialize(tree);
        int64_t sequence = 1;
        if (SendMetadataAndFileHeader(connection, archiveFileId, tree, App::kDBViewName, dbPath, db.size, sequence++,
                                      true))
            return Failure(FXLOC, "Failed to send metadata and file header for file [" + dbPath + "]");
        for (const MongoDbCollectionEnity_t& c : db.collections) {
            const std::string path = dbPath + "/" + c.name;
            App::MongoDBCollectionRecord record;
            record.name = c.name;
            record.size = c.size;
            record.replicaSet = db.replicaSetName;
            record.databaseName = db.name;
            record.createdOnReplicaSet = db.createdOnReplicaSet;
            record.systemDatabase = db.systemDatabase;
            record.Serialize(tree);
            if (SendMetadataAndFileHeader(connection, archiveFileId, tree, App::kDBViewName, path, c.size, sequence++,
                                          false))
                return Failure(FXLOC, "Failed to send metadata and file header for file [" + path + "]");
        }
    }
    return {};
}

bool MongoDbDatabaseView::Connect(const std::string& host, int port) {
    // The utility's admin command connects with the instance's credentials.
    std::string reply;
    return m_util._RunMongoAdminCmd(host, port, R"({"ping": 1})", false, reply) == 0;
}

CZuError MongoDbDatabaseView::GetDatabasesCreatedThroughRouter(std::vector<MongoDbDatabaseEntity_t>& routerDatabases) {
    const std::string& host = m_util.GetMongoHost();
    const int port = m_util.GetMongoPort();
    if (!Connect(host, port))
        return Failure(FXLOC, FXString::Format("Failed to connect to mongodb host:[%s] port: [%d]", host.c_str(), port));
    std::vector<std::string> documents;
    if (m_util.GetConnection()->getDocumentsFromCollection("config", "databases", documents, "{}", ""))
        return Failure(FXLOC, "Failed to get documents from database collection in config database on mongos router");
    for (const std::string& text : documents) {
        const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
        if (!doc.is_object()) continue;
        MongoDbDatabaseEntity_t db;
        db.name = MongoDbUtil::GetStringValue(doc, "_id");
        db.sharded = MongoDbUtil::GetBoolean(doc, "partitioned");
        ZULOG(2, "Found [%s]", db.name.c_str());
        routerDatabases.push_back(db);
    }
    return {};
}

CZuError MongoDbDatabaseView::PrimaryOf(const std::string& replicaSetName, std::string& host, int& port) const {
    host.clear();
    port = 0;
    if (replicaSetName == App::kMongosReplicaSetName) {
        host = m_util.GetMongoHost();
        port = m_util.GetMongoPort();
    } else {
        for (const App::MongoDBServer& s : m_util.GetClusterConfig()->serverList)
            if (s.replicaSetName == replicaSetName && s.memberState == App::MongoMemberState::Primary) {
                host = s.hostName;
                port = int(s.port);
                break;
            }
    }
    if (host.empty() || port < 1)
        return Failure(FXLOC, FXString::Format("Failed to get primary hostname and port for repset [%s]. hostname: [%s], port:[%d]",
                                               replicaSetName.c_str(), host.c_str(), port));
    return {};
}

CZuError MongoDbDatabaseView::ListDatabases(const std::string& replicaSetName,
                                            std::vector<MongoDbDatabaseEntity_t>& databases) {
    std::string host;
    int port = 0;
    if (CZuError err = PrimaryOf(replicaSetName, host, port)) return err.Push(FXLOC);
    std::string text;
    if (m_util._RunMongoAdminCmd(host, port, R"({ "listDatabases" : 1 })", false, text) != 0)
        return Failure(FXLOC, "listDatabases command failed");
    const nlohmann::json reply = nlohmann::json::parse(text, nullptr, false);
    if (!reply.is_object() || !reply.contains("databases") || !reply["databases"].is_array())
        return Failure(FXLOC, "listDatabases command failed");
    for (const auto& d : reply["databases"]) {
        MongoDbDatabaseEntity_t db;
        db.name = MongoDbUtil::GetStringValue(d, "name");
        db.size = d.contains("sizeOnDisk") ? Bytes(d["sizeOnDisk"]) : 0;
        db.replicaSetName = replicaSetName;
        ZULOG(2, "Found Db [%s], size [%lld]", db.name.c_str(), (long long)db.size);
        databases.push_back(db);
    }
    return {};
}

void MongoDbDatabaseView::SelectDatabases(std::vector<MongoDbDatabaseEntity_t>& listed,
                                          const std::vector<MongoDbDatabaseEntity_t>& routerDatabases,
                                          std::vector<MongoDbDatabaseEntity_t>& selected) const {
    const bool sharded = m_util.GetTopology().sharded;
    for (MongoDbDatabaseEntity_t& db : listed) {
        if (IsSystemDatabase(db.name)) {
            ZULOG(2, "Skipping system database [%s] on replica set [%s]", db.name.c_str(), db.replicaSetName.c_str());
            continue;
        }
        if (sharded) {
            for (const MongoDbDatabaseEntity_t& r : routerDatabases)
                if (r.name == db.name) {
                    db.createdOnReplicaSet = false;
                    db.sharded = r.sharded;
                }
            const bool underRouter = db.replicaSetName == App::kMongosReplicaSetName;
            if (underRouter == db.createdOnReplicaSet) {
                ZULOG(2, "Skipping database [%s] on replica set [%s]", db.name.c_str(), db.replicaSetName.c_str());
                continue;
            }
        }
        ZULOG(2, "Adding Db [%s], size [%lld]", db.name.c_str(), (long long)db.size);
        selected.push_back(db);
    }
}

CZuError MongoDbDatabaseView::FillCollections(std::vector<MongoDbDatabaseEntity_t>& databases) {
    std::map<std::string, std::string> primaries;  // replica set -> "host:port"
    for (MongoDbDatabaseEntity_t& db : databases) {
        std::string host;
        int port = 0;
        auto known = primaries.find(db.replicaSetName);
        if (known == primaries.end()) {
            if (CZuError err = PrimaryOf(db.replicaSetName, host, port)) return err.Push(FXLOC);
            primaries[db.replicaSetName] = FXString::Format("%s%s%d", host.c_str(), ":", port);
        } else {
            const size_t colon = known->second.rfind(':');
            host = known->second.substr(0, colon);
            port = std::atoi(known->second.c_str() + colon + 1);
        }
        if (!Connect(host, port))
            return Failure(FXLOC, FXString::Format("Failed to connect to mongodb on [%s] port: [%d]", host.c_str(), port));
        std::vector<std::string> names;
        auto connection = m_util.GetConnection();
        if (!connection->GetCollectionsInDatabase(db.name, names))
            return Failure(FXLOC, FXString::Format("Failed to get collections for database: [%s]. Error: [%s]",
                                                   db.name.c_str(), connection->GetLastErrorMsg()));
        for (const std::string& name : names) {
            const std::string command = nlohmann::json{{"collStats", name}}.dump();
            std::string text;
            if (connection->RunCommand(db.name, command, false, text)) {
                ZULOG_ERROR("Error: [%s]", connection->GetLastErrorMsg());
                return Failure(FXLOC, FXString::Format("Failed to run collStats command on [%s.%s], for host: [%s] port: [%d]",
                                                       db.name.c_str(), name.c_str(), host.c_str(), port));
            }
            const nlohmann::json reply = nlohmann::json::parse(text, nullptr, false);
            MongoDbCollectionEnity_t c;
            c.name = name;
            c.size = reply.is_object() && reply.contains("storageSize") ? Bytes(reply["storageSize"]) : 0;
            ZULOG(2, "Found collection [%s], size [%lld]", c.name.c_str(), (long long)c.size);
            db.collections.push_back(c);
        }
    }
    return {};
}

CZuError MongoDbDatabaseView::GetDbAndCollectionEntityList(std::vector<MongoDbDatabaseEntity_t>& databases) {
    databases.clear();
    std::vector<MongoDbDatabaseEntity_t> routerDatabases;
    if (m_util.GetTopology().sharded) {
        if (CZuError err = GetDatabasesCreatedThroughRouter(routerDatabases)) return err.Push(FXLOC);
        std::vector<MongoDbDatabaseEntity_t> listed;
        if (ListDatabases(App::kMongosReplicaSetName, listed)) return Failure(FXLOC, "Failed to get databases from mongos router");
        SelectDatabases(listed, routerDatabases, databases);
    }
    for (const std::string& name : m_util.GetTopology().replicaSetNames) {
        std::vector<MongoDbDatabaseEntity_t> listed;
        if (ListDatabases(name, listed))
            return Failure(FXLOC, FXString::Format("Failed to get databases for replica set [%s]", name.c_str()));
        SelectDatabases(listed, routerDatabases, databases);
    }
    if (CZuError err = FillCollections(databases)) {
        ZULOG_ERROR("%s", err.AsString().c_str());
        return Failure(FXLOC, "Failed to get collections");
    }
    for (const auto& db : databases) {
        ZULOG_NORMAL("==>D [/%s/%s] == size:[%lld] == SystemDatabase:[%s] == CreatedOnReplicaSet:[%s] == Sharded:[%s]",
                     db.replicaSetName.c_str(), db.name.c_str(), (long long)db.size, db.systemDatabase ? "true" : "false",
                     db.createdOnReplicaSet ? "true" : "false", db.sharded ? "true" : "false");
        for (const auto& c : db.collections) ZULOG_NORMAL("======>C [%s] == [%lld]", c.name.c_str(), (long long)c.size);
    }
    return {};
}

}  // namespace MongoDbKax
