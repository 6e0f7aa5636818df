#include "topology/MongoDBConfig.h"

#include "host/MessageFields.h"

namespace App {
namespace {

const char* kServerTag = "server";
const char* kMasterTag = "masterNode";
const char* kCredentialsTag = "credentials";

void AddServer(CNMessageBase& tree, const MongoDBServer& server, const char* tag) {
    CNMessageBase child;
    server.Serialize(child);
    child.SetTag(tag);
    tree.AddChild(child);
}

}  // namespace

void MongoDBConfig::Serialize(CNMessageBase& tree) const {
    tree = CNMessageBase(kTag);
    tree.SetInt("clusterType", clusterType);
    for (const MongoDBServer& s : serverList) AddServer(tree, s, kServerTag);
    if (credentials) {
        CNMessageBase& c = tree.AddChild(kCredentialsTag);
        c.Set("userName", credentials->userName);
        c.Set("password", credentials->password);
    }
    if (masterNode) AddServer(tree, *masterNode, kMasterTag);
}

CZuError MongoDBConfig::Unserialize(const CNMessageBase& tree) {
    if (tree.GetTag() != kTag)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData,
                                       "Expected a MongoDBConfig message, got [%s]",
                                       tree.GetTag().c_str());
    MongoDBConfig c;
    if (CZuError err = MessageFields::ReadInt(tree, "clusterType", c.clusterType))
        return err.Push(FXLOC);
    for (const CNMessageBase* child : tree.GetChildren(kServerTag)) {
        MongoDBServer s;
        if (CZuError err = s.UnserializeFields(*child)) return err.Push(FXLOC);
        c.serverList.push_back(std::move(s));
    }
    if (const CNMessageBase* cred = tree.GetChild(kCredentialsTag))
        c.credentials = MongoDBCredentials{cred->GetString("userName"), cred->GetString("password")};
    if (const CNMessageBase* master = tree.GetChild(kMasterTag)) {
        c.masterNode.emplace();
        if (CZuError err = c.masterNode->UnserializeFields(*master)) return err.Push(FXLOC);
    }
    *this = std::move(c);
    return {};
}

}  // namespace App
