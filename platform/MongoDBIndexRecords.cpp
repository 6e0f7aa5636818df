#include "host/MongoDBIndexRecords.h"

#include "host/MessageFields.h"

namespace App {

namespace {

CZuError CheckTag(const CNMessageBase& tree, const char* tag) {
    if (tree.GetTag() == tag) return {};
    return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData, "Expected a %s record, got [%s]", tag,
                                   tree.GetTag().c_str());
}

// Reads the listed integer fields; the first malformed one is the error.
CZuError ReadInts(const CNMessageBase& tree, std::initializer_list<std::pair<const char*, int64_t*>> fields) {
    for (const auto& [name, out] : fields)
        if (CZuError err = MessageFields::ReadInt(tree, name, *out)) return err.Push(FXLOC);
    return {};
}

}  // namespace

void MongoDBShardInfo::Serialize(CNMessageBase& tree) const {
    tree = CNMessageBase(kTag);
    tree.SetInt("secondaryPort", secondaryPort);
    tree.SetInt("shardSize", shardSize);
    tree.SetInt("optimeSeconds", optimeSeconds);
    tree.Set("replicaSetName", replicaSetName);
    tree.Set("secondaryDataPath", secondaryDataPath);
    tree.Set("primaryDataPath", primaryDataPath);
    tree.SetInt("primaryPort", primaryPort);
    tree.SetInt("archiveFileId", archiveFileId);
    tree.SetInt("configServer", configServer);
    tree.SetInt("nodeClientId", nodeClientId);
    tree.Set("secondaryHost", secondaryHost);
    tree.Set("primaryHost", primaryHost);
    tree.Set("mountPathMap", mountPathMap);
    tree.Set("oplogDumpStagingDir", oplogDumpStagingDir);
}

CZuError MongoDBShardInfo::Unserialize(const CNMessageBase& tree) {
    if (CZuError err = CheckTag(tree, kTag)) return err.Push(FXLOC);
    MongoDBShardInfo r;
    if (CZuError err = ReadInts(tree, {{"secondaryPort", &r.secondaryPort},
                                       {"shardSize", &r.shardSize},
                                       {"optimeSeconds", &r.optimeSeconds},
                                       {"primaryPort", &r.primaryPort},
                                       {"archiveFileId", &r.archiveFileId},
                                       {"configServer", &r.configServer},
                                       {"nodeClientId", &r.nodeClientId}}))
        return err.Push(FXLOC);
    r.replicaSetName = tree.GetString("replicaSetName");
    r.secondaryDataPath = tree.GetString("secondaryDataPath");
    r.primaryDataPath = tree.GetString("primaryDataPath");
    r.secondaryHost = tree.GetString("secondaryHost");
    r.primaryHost = tree.GetString("primaryHost");
    r.mountPathMap = tree.GetString("mountPathMap");
    r.oplogDumpStagingDir = tree.GetString("oplogDumpStagingDir");
    *this = std::move(r);
    return {};
}

void MongoDBDatabaseRecord::Serialize(CNMessageBase& tree) const {
    tree = CNMessageBase(kTag);
    tree.Set("name", name);
    tree.SetInt("size", size);
    tree.Set("replicaSet", replicaSet);
    tree.SetInt("sharded", sharded);
    tree.SetInt("createdOnReplicaSet", createdOnReplicaSet);
    tree.SetInt("systemDatabase", systemDatabase);
}

CZuError MongoDBDatabaseRecord::Unserialize(const CNMessageBase& tree) {
    if (CZuError err = CheckTag(tree, kTag)) return err.Push(FXLOC);
    MongoDBDatabaseRecord r;
    if (CZuError err = ReadInts(tree, {{"size", &r.size},
                                       {"sharded", &r.sharded},
                                       {"createdOnReplicaSet", &r.createdOnReplicaSet},
                                       {"systemDatabase", &r.systemDatabase}}))
        return err.Push(FXLOC);
    r.name = tree.GetString("name");
    r.replicaSet = tree.GetString("replicaSet");
    *this = std::move(r);
    return {};
}

void MongoDBCollectionRecord::Serialize(CNMessageBase& tree) const {
    tree = CNMessageBase(kTag);
    tree.Set("name", name);
    tree.SetInt("size", size);
    tree.Set("replicaSet", replicaSet);
    tree.Set("databaseName", databaseName);
    tree.SetInt("createdOnReplicaSet", createdOnReplicaSet);
    tree.SetInt("systemDatabase", systemDatabase);
}

CZuError MongoDBCollectionRecord::Unserialize(const CNMessageBase& tree) {
    if (CZuError err = CheckTag(tree, kTag)) return err.Push(FXLOC);
    MongoDBCollectionRecord r;
    if (CZuError err = ReadInts(tree, {{"size", &r.size},
                                       {"createdOnReplicaSet", &r.createdOnReplicaSet},
                                       {"systemDatabase", &r.systemDatabase}}))
        return err.Push(FXLOC);
    r.name = tree.GetString("name");
    r.replicaSet = tree.GetString("replicaSet");
    r.databaseName = tree.GetString("databaseName");
    *this = std::move(r);
    return {};
}

}  // namespace App
