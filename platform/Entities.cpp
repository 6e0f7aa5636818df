// Entities of the management database, kept in the state database.
//
// clients            one row per machine running the agent; `name` is the
//                    client name the product uses everywhere, `ip_addresses`
//                    its addresses joined by ",".
// mongodb_instances  one row per protected MongoDB deployment: the entry
//                    point (host, port; 0 = 27017), the database user and its
//                    password in TWPassword's protected form, the tool
//                    directory, the OS user owning the servers, and the
//                    pseudo-client that represents the deployment.
// applications       (marlex_id, app_id) -> instance; one per subclient.
#include <cstdlib>

#include "host/Entities.h"
#include "platform/StateDb.h"

KAX_STATE_SCHEMA("clients",
                 "CREATE TABLE IF NOT EXISTS clients ("
                 " id INTEGER PRIMARY KEY,"
                 " name TEXT NOT NULL UNIQUE,"
                 " short_name TEXT NOT NULL DEFAULT '',"
                 " net_host_name TEXT NOT NULL DEFAULT '',"
                 " ip_addresses TEXT NOT NULL DEFAULT '',"
                 " status INTEGER NOT NULL DEFAULT 0,"
                 " os_id INTEGER NOT NULL DEFAULT 0)");
KAX_STATE_SCHEMA("mongodb_instances",
                 "CREATE TABLE IF NOT EXISTS mongodb_instances ("
                 " id INTEGER PRIMARY KEY,"
                 " name TEXT NOT NULL,"
                 " pseudo_client_id INTEGER NOT NULL DEFAULT 0,"
                 " host TEXT NOT NULL DEFAULT '',"
                 " port INTEGER NOT NULL DEFAULT 0,"
                 " db_user TEXT NOT NULL DEFAULT '',"
                 " db_password TEXT NOT NULL DEFAULT '',"
                 " bin_path TEXT NOT NULL DEFAULT '',"
                 " os_user TEXT NOT NULL DEFAULT '')");
KAX_STATE_SCHEMA("applications",
                 "CREATE TABLE IF NOT EXISTS applications ("
                 " marlex_id INTEGER NOT NULL,"
                 " app_id INTEGER NOT NULL,"
                 " instance_id INTEGER NOT NULL,"
                 " backup_set_id INTEGER NOT NULL DEFAULT 0,"
                 " PRIMARY KEY (marlex_id, app_id))");

namespace {

std::string Text(const StateDb::Row& row, size_t column) {
    return column < row.size() && row[column] ? *row[column] : std::string();
}

uint64_t Unsigned(const StateDb::Row& row, size_t column) {
    return std::strtoull(Text(row, column).c_str(), nullptr, 10);
}

int Int(const StateDb::Row& row, size_t column) {
    return int(std::strtol(Text(row, column).c_str(), nullptr, 10));
}

std::string Join(const std::vector<std::string>& items) {
    std::string joined;
    for (const auto& item : items)
        joined += (joined.empty() ? "" : ",") + item;
    return joined;
}

std::vector<std::string> Split(const std::string& joined) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start < joined.size()) {
        size_t end = joined.find(',', start);
        if (end == std::string::npos)
            end = joined.size();
        if (end > start)
            items.push_back(joined.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

// Runs a query expected to return at most one row; 1168 when it returns none.
CZuError QueryOne(const std::string& sql, const StateDb::Params& params, StateDb::Row& row,
                  const std::string& what) {
    StateDb* db = nullptr;
    CZuError err = StateDb::Get(db);
    if (err)
        return err.Push(FXLOC);
    std::vector<StateDb::Row> rows;
    err = db->Query(sql, params, rows);
    if (err)
        return err.Push(FXLOC, "Failed to look up %s", what.c_str());
    if (rows.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, 1168, "Unknown %s", what.c_str());
    row = rows.front();
    return {};
}

constexpr const char* kClientColumns =
    "SELECT id, name, short_name, net_host_name, ip_addresses, status, os_id FROM clients ";

void ClientFromRow(const StateDb::Row& row, TWClient& out) {
    out.id = Unsigned(row, 0);
    out.name = Text(row, 1);
    out.shortName = Text(row, 2);
    out.networkHostName = Text(row, 3);
    out.ipAddresses = Split(Text(row, 4));
    out.status = Int(row, 5);
    out.osId = Int(row, 6);
}

}  // namespace

CZuError TWClient::ByName(const std::string& name, TWClient& out) {
    StateDb::Row row;
    CZuError err = QueryOne(std::string(kClientColumns) + "WHERE name = ?1", {name}, row,
                            "client [" + name + "]");
    if (err)
        return err.Push(FXLOC);
    ClientFromRow(row, out);
    return {};
}

CZuError TWClient::ById(uint64_t id, TWClient& out) {
    StateDb::Row row;
    CZuError err = QueryOne(std::string(kClientColumns) + "WHERE id = ?1", {std::to_string(id)},
                            row, "client id [" + std::to_string(id) + "]");
    if (err)
        return err.Push(FXLOC);
    ClientFromRow(row, out);
    return {};
}

CZuError TWClient::Save(TWClient& client) {
    if (client.name.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, 22, "A client needs a name");
    StateDb* db = nullptr;
    CZuError err = StateDb::Get(db);
    if (err)
        return err.Push(FXLOC);
    err = db->Exec(
        "INSERT INTO clients (name, short_name, net_host_name, ip_addresses, status, os_id)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT(name) DO UPDATE SET"
        " short_name = excluded.short_name, net_host_name = excluded.net_host_name,"
        " ip_addresses = excluded.ip_addresses, status = excluded.status, os_id = excluded.os_id",
        {client.name, client.shortName, client.networkHostName, Join(client.ipAddresses),
         std::to_string(client.status), std::to_string(client.osId)});
    if (err)
        return err.Push(FXLOC, "Failed to save client [%s]", client.name.c_str());
    TWClient saved;
    err = ByName(client.name, saved);
    if (err)
        return err.Push(FXLOC);
    client.id = saved.id;
    return {};
}

CZuError MongoDBInstance::ById(uint64_t instanceId, MongoDBInstance& out) {
    StateDb::Row row;
    CZuError err = QueryOne(
        "SELECT id, name, host, port, db_user, db_password, bin_path, os_user, pseudo_client_id"
        " FROM mongodb_instances WHERE id = ?1",
        {std::to_string(instanceId)}, row, "instance id [" + std::to_string(instanceId) + "]");
    if (err)
        return err.Push(FXLOC);
    out.instanceId = Unsigned(row, 0);
    out.instanceName = Text(row, 1);
    out.hostName = Text(row, 2);
    out.port = Int(row, 3);
    out.dbUser = Text(row, 4);
    out.encryptedDbPassword = Text(row, 5);
    out.binPath = Text(row, 6);
    out.osUser = Text(row, 7);
    out.pseudoClientId = Unsigned(row, 8);
    return {};
}

CZuError MongoDBInstance::Save(MongoDBInstance& instance) {
    StateDb* db = nullptr;
    CZuError err = StateDb::Get(db);
    if (err)
        return err.Push(FXLOC);
    StateDb::Params params = {instance.instanceName,
                              std::to_string(instance.pseudoClientId),
                              instance.hostName,
                              std::to_string(instance.port),
                              instance.dbUser,
                              instance.encryptedDbPassword,
                              instance.binPath,
                              instance.osUser};
    std::optional<std::string> id;
    if (instance.instanceId != 0)
        id = std::to_string(instance.instanceId);
    params.insert(params.begin(), id);
    err = db->Exec(
        "INSERT OR REPLACE INTO mongodb_instances"
        " (id, name, pseudo_client_id, host, port, db_user, db_password, bin_path, os_user)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
        params);
    if (err)
        return err.Push(FXLOC, "Failed to save instance [%s]", instance.instanceName.c_str());
    if (instance.instanceId == 0)
        instance.instanceId = uint64_t(db->LastInsertId());
    return {};
}

CZuError ApplicationId::Resolve() {
    StateDb::Row row;
    const std::string what =
        "application [" + std::to_string(marlexId) + ":" + std::to_string(appId) + "]";
    CZuError err = QueryOne(
        "SELECT a.instance_id, i.name, i.pseudo_client_id, a.backup_set_id"
        " FROM applications a JOIN mongodb_instances i ON i.id = a.instance_id"
        " WHERE a.marlex_id = ?1 AND a.app_id = ?2",
        {std::to_string(marlexId), std::to_string(appId)}, row, what);
    if (err)
        return err.Push(FXLOC);
    instanceId = Unsigned(row, 0);
    instanceName = Text(row, 1);
    clientId = Unsigned(row, 2);
    backupSetId = Unsigned(row, 3);
    return {};
}

CZuError ApplicationId::Save() {
    StateDb* db = nullptr;
    CZuError err = StateDb::Get(db);
    if (err)
        return err.Push(FXLOC);
    err = db->Exec(
        "INSERT OR REPLACE INTO applications (marlex_id, app_id, instance_id, backup_set_id)"
        " VALUES (?1, ?2, ?3, ?4)",
        {std::to_string(marlexId), std::to_string(appId), std::to_string(instanceId),
         std::to_string(backupSetId)});
    if (err)
        return err.Push(FXLOC, "Failed to save application [%u:%u]", marlexId, appId);
    return {};
}

CZuError ClientFromInstanceId::getClientId(uint64_t instanceId, uint64_t& clientId) {
    StateDb::Row row;
    CZuError err = QueryOne("SELECT pseudo_client_id FROM mongodb_instances WHERE id = ?1",
                            {std::to_string(instanceId)}, row,
                            "instance id [" + std::to_string(instanceId) + "]");
    if (err)
        return err.Push(FXLOC);
    clientId = Unsigned(row, 0);
    if (clientId == 0)
        return FXErrorUtil::ErrorWin32(FXLOC, 1168, "Instance [%lu] has no pseudo-client",
                                       static_cast<unsigned long>(instanceId));
    return {};
}
