#include "topology/MongoDBServer.h"

#include "host/MessageFields.h"

namespace App {

void MongoDBServer::Serialize(CNMessageBase& tree) const {
    tree = CNMessageBase(kTag);
    tree.Set("version", version);
    tree.Set("storageEngine", storageEngine);
    if (clientEntity) {
        CNMessageBase child;
        clientEntity->Serialize(child);
        tree.AddChild(child);
    }
    tree.Set("hostName", hostName);
    tree.SetInt("port", port);
    tree.Set("dbPath", dbPath);
    tree.Set("logPath", logPath);
    tree.SetInt("journalEnabled", journalEnabled);
    tree.Set("commandLine", commandLine);
    tree.Set("configFile", configFile);
    tree.Set("configFileContents", configFileContents);
    tree.SetInt("serverType", serverType);
    tree.SetInt("memberState", memberState);
    tree.Set("replicaSetName", replicaSetName);
    tree.Set("binPath", binPath);
    tree.SetInt("health", health);
    tree.Set("bindIp", bindIp);
    tree.SetInt("dataAccessNode", dataAccessNode);
}

CZuError MongoDBServer::Unserialize(const CNMessageBase& tree) {
    if (tree.GetTag() != kTag)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData,
                                       "Expected a MongoDBServer message, got [%s]",
                                       tree.GetTag().c_str());
    return UnserializeFields(tree).Push(FXLOC);
}

CZuError MongoDBServer::UnserializeFields(const CNMessageBase& tree) {
    MongoDBServer s;
    CZuError err;
    if ((err = MessageFields::ReadInt(tree, "port", s.port)) ||
        (err = MessageFields::ReadInt(tree, "journalEnabled", s.journalEnabled)) ||
        (err = MessageFields::ReadInt(tree, "serverType", s.serverType)) ||
        (err = MessageFields::ReadInt(tree, "memberState", s.memberState)) ||
        (err = MessageFields::ReadInt(tree, "health", s.health)) ||
        (err = MessageFields::ReadInt(tree, "dataAccessNode", s.dataAccessNode)))
        return err.Push(FXLOC);
    if (const CNMessageBase* c = tree.GetChild(ClientEntity::kTag)) {
        s.clientEntity.emplace();
        if ((err = s.clientEntity->Unserialize(*c))) return err.Push(FXLOC);
    }
    s.version = tree.GetString("version");
    s.storageEngine = tree.GetString("storageEngine");
    s.hostName = tree.GetString("hostName");
    s.dbPath = tree.GetString("dbPath");
    s.logPath = tree.GetString("logPath");
    s.commandLine = tree.GetString("commandLine");
    s.configFile = tree.GetString("configFile");
    s.configFileContents = tree.GetString("configFileContents");
    s.replicaSetName = tree.GetString("replicaSetName");
    s.binPath = tree.GetString("binPath");
    s.bindIp = tree.GetString("bindIp");
    *this = std::move(s);
    return {};
}

}  // namespace App
