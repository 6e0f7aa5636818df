#include "host/ClusterMessages.h"

#include "host/MessageFields.h"

namespace App {
namespace {

const char* kConfigTag = "MongoDBConfig";
const char* kIpTag = "ip";

CZuError ExpectTag(const CNMessageBase& tree, const char* tag) {
    if (tree.GetTag() == tag) return {};
    return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData, "Expected a [%s] message, got [%s]",
                                   tag, tree.GetTag().c_str());
}

std::optional<CNMessageBase> ReadConfig(const CNMessageBase& tree) {
    if (const CNMessageBase* c = tree.GetChild(kConfigTag)) return *c;
    return std::nullopt;
}

void WriteConfig(const std::optional<CNMessageBase>& config, CNMessageBase& tree) {
    if (!config) return;
    CNMessageBase copy = *config;
    copy.SetTag(kConfigTag);
    tree.AddChild(copy);
}

}  // namespace

void ClientEntity::Serialize(CNMessageBase& tree) const {
    tree = CNMessageBase(kTag);
    tree.SetInt("clientId", clientId);
    tree.Set("clientName", clientName);
    tree.Set("hostName", hostName);
}

CZuError ClientEntity::Unserialize(const CNMessageBase& tree) {
    if (CZuError err = ExpectTag(tree, kTag)) return err.Push(FXLOC);
    *this = ClientEntity();
    if (CZuError err = MessageFields::ReadInt(tree, "clientId", clientId)) return err.Push(FXLOC);
    clientName = tree.GetString("clientName");
    hostName = tree.GetString("hostName");
    return {};
}

void DistributedClusterInstanceRequest::Serialize(CNMessageBase& tree) const {
    tree = CNMessageBase(kTag);
    tree.SetInt("appType", appType);
    tree.SetInt("operation", operation);
    tree.Set("instanceId", std::to_string(instanceId));
    WriteConfig(mongoDBConfig, tree);
}

CZuError DistributedClusterInstanceRequest::Unserialize(const CNMessageBase& tree) {
    if (CZuError err = ExpectTag(tree, kTag)) return err.Push(FXLOC);
    *this = DistributedClusterInstanceRequest();
    CZuError err;
    if ((err = MessageFields::ReadInt(tree, "appType", appType)) ||
        (err = MessageFields::ReadInt(tree, "operation", operation)) ||
        (err = MessageFields::ReadUInt(tree, "instanceId", instanceId)))
        return err.Push(FXLOC);
    mongoDBConfig = ReadConfig(tree);
    return {};
}

void DistributedClusterInstanceResponse::Serialize(CNMessageBase& tree) const {
    tree = CNMessageBase(kTag);
    tree.SetInt("errorCode", errorCode);
    tree.Set("errorString", errorString);
    WriteConfig(mongoDBConfig, tree);
}

CZuError DistributedClusterInstanceResponse::Unserialize(const CNMessageBase& tree) {
    if (CZuError err = ExpectTag(tree, kTag)) return err.Push(FXLOC);
    *this = DistributedClusterInstanceResponse();
    if (CZuError err = MessageFields::ReadInt(tree, "errorCode", errorCode)) return err.Push(FXLOC);
    errorString = tree.GetString("errorString");
    mongoDBConfig = ReadConfig(tree);
    return {};
}

void GetClientsForIPAddressRequest::Serialize(CNMessageBase& tree) const {
    tree = CNMessageBase(kTag);
    for (const std::string& ip : ipAddresses) tree.AddChild(kIpTag).Set("address", ip);
}

CZuError GetClientsForIPAddressRequest::Unserialize(const CNMessageBase& tree) {
    if (CZuError err = ExpectTag(tree, kTag)) return err.Push(FXLOC);
    ipAddresses.clear();
    for (const CNMessageBase* ip : tree.GetChildren(kIpTag))
        ipAddresses.push_back(ip->GetString("address"));
    return {};
}

void GetClientsForIPAddressResponse::Serialize(CNMessageBase& tree) const {
    tree = CNMessageBase(kTag);
    for (const ClientEntity& c : clients) {
        CNMessageBase child;
        c.Serialize(child);
        tree.AddChild(child);
    }
}

CZuError GetClientsForIPAddressResponse::Unserialize(const CNMessageBase& tree) {
    if (CZuError err = ExpectTag(tree, kTag)) return err.Push(FXLOC);
    clients.clear();
    for (const CNMessageBase* child : tree.GetChildren(ClientEntity::kTag)) {
        ClientEntity c;
        if (CZuError err = c.Unserialize(*child)) return err.Push(FXLOC);
        clients.push_back(std::move(c));
    }
    return {};
}

}  // namespace App
