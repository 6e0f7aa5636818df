// Registrations go through the entity API (host/Entities.h); the listings and
// lookups by name that API does not offer read the ids from its tables and
// then use the API.
#include "runner/Registry.h"
#include "runner/ConsoleClusterConfig.h"

#include <cctype>
#include <cstdlib>
#include <set>

#include "host/Files.h"
#include "host/Password.h"
#include "host/Platform.h"
#include "platform/StateDb.h"

// The console configuration of an instance: the client of its master node
// and the data access nodes ("host:port" joined by ",") the user chose.
KAX_STATE_SCHEMA("console_configs",
                 "CREATE TABLE IF NOT EXISTS console_configs ("
                 " instance_id INTEGER PRIMARY KEY,"
                 " master_client TEXT NOT NULL,"
                 " data_access_nodes TEXT NOT NULL DEFAULT '')");

namespace Registry {

namespace {

using Row = StateDb::Row;

// Column readers of the state database.
constexpr auto Text = &StateDb::Text;

CZuError Query(const std::string& sql, const StateDb::Params& params, std::vector<Row>& rows) {
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    CZuError err = db->Query(sql, params, rows);
    return err.Push(FXLOC);
}

CZuError Invalid(const FXCodeLocation& where, const char* what, const std::string& value) {
    return FXErrorUtil::ErrorWin32(where, ZuCode::InvalidArgument, "invalid %s [%s]", what, value.c_str());
}

// A client or instance name doubles as a directory name.
bool IsPlainName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.' || name[0] == '-') return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '.' && c != '_' && c != '-') return false;
    return true;
}

bool IsHostText(const std::string& host) {
    if (host.empty() || host.size() > 253) return false;
    for (unsigned char c : host)
        if (!std::isalnum(c) && c != '.' && c != '-' && c != ':') return false;
    return true;
}

bool IsHostPort(const std::string& text) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || !IsHostText(text.substr(0, colon))) return false;
    std::string port = text.substr(colon + 1);
    char* end = nullptr;
    long value = std::strtol(port.c_str(), &end, 10);
    return !port.empty() && *end == '\0' && value > 0 && value < 65536;
}

std::vector<std::string> SplitList(const std::string& joined) {
    std::vector<std::string> items;
    for (auto& item : FXString::SplitArguments(joined, ",", 0)) items.push_back(item);
    return items;
}

std::string JoinList(const std::vector<std::string>& items) {
    std::string joined;
    for (const auto& item : items) joined += (joined.empty() ? "" : ",") + item;
    return joined;
}

// The first 127.0.x.y (x from 10) that no client uses as host or address.
CZuError NextFreeAddress(std::string& address) {
    std::vector<Row> rows;
    if (CZuError err = Query("SELECT net_host_name, ip_addresses FROM clients", {}, rows)) return err.Push(FXLOC);
    std::set<std::string> used;
    for (const auto& row : rows) {
        used.insert(Text(row, 0));
        for (auto& ip : SplitList(Text(row, 1))) used.insert(ip);
    }
    for (int x = 10; x < 255; ++x)
        for (int y = 1; y < 255; ++y) {
            std::string candidate = "127.0." + std::to_string(x) + "." + std::to_string(y);
            if (!used.count(candidate)) {
                address = candidate;
                return {};
            }
        }
    return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "no free loopback address is left");
}

CZuError CreateClientDirectories(const std::string& name) {
    std::string results;
    if (CZuError err = TWPI_CommClient::GetJobResultsDirectory(name, results)) return err.Push(FXLOC);
    CZuError err = CZuDirectory::Create(FXPath::Join(FXPath::Parent(results), "Subclient"));
    return err.Push(FXLOC);
}

CZuError InstanceIdByName(const std::string& name, uint64_t& id) {
    std::vector<Row> rows;
    if (CZuError err = Query("SELECT id FROM mongodb_instances WHERE name = ?1", {name}, rows)) return err.Push(FXLOC);
    id = rows.empty() ? 0 : std::strtoull(Text(rows[0], 0).c_str(), nullptr, 10);
    return {};
}

CZuError LoadView(uint64_t instanceId, InstanceView& view) {
    if (CZuError err = MongoDBInstance::ById(instanceId, view.instance)) return err.Push(FXLOC);
    std::vector<Row> rows;
    if (CZuError err = Query("SELECT master_client, data_access_nodes FROM console_configs WHERE instance_id = ?1",
                             {std::to_string(instanceId)}, rows))
        return err.Push(FXLOC);
    if (!rows.empty()) {
        view.masterClient = Text(rows[0], 0);
        view.dataAccessNodes = SplitList(Text(rows[0], 1));
    }
    if (CZuError err = Query("SELECT marlex_id, app_id FROM applications WHERE instance_id = ?1"
                             " ORDER BY marlex_id, app_id",
                             {std::to_string(instanceId)}, rows))
        return err.Push(FXLOC);
    view.applications.clear();
    for (const auto& row : rows) view.applications.push_back(Text(row, 0) + ":" + Text(row, 1));
    return {};
}

}  // namespace

bool IsApplicationText(const std::string& text) {
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (i != colon && !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    return std::strtoull(text.c_str(), nullptr, 10) <= UINT32_MAX &&
           std::strtoull(text.c_str() + colon + 1, nullptr, 10) <= UINT32_MAX && text.size() < 24;
}

CZuError RegisterClient(const ClientRegistration& registration, TWClient& saved, bool& existed) {
    if (!IsPlainName(registration.name)) return Invalid(FXLOC, "client name", registration.name);
    if (!registration.host.empty() && !IsHostText(registration.host))
        return Invalid(FXLOC, "host address", registration.host);
    for (const auto& ip : registration.ipAddresses)
        if (!IsHostText(ip)) return Invalid(FXLOC, "IP address", ip);

    TWClient client;
    existed = TWClient::ByName(registration.name, client).IsSuccess();
    client.name = registration.name;
    client.shortName = registration.name;
    if (!registration.host.empty())
        client.networkHostName = registration.host;
    else if (client.networkHostName.empty())
        if (CZuError err = NextFreeAddress(client.networkHostName)) return err.Push(FXLOC);
    client.ipAddresses = registration.ipAddresses.empty() ? std::vector<std::string>{client.networkHostName}
                                                          : registration.ipAddresses;
    if (CZuError err = TWClient::Save(client)) return err.Push(FXLOC);
    if (CZuError err = CreateClientDirectories(client.name)) return err.Push(FXLOC);
    saved = client;
    return {};
}

CZuError ListClients(std::vector<TWClient>& clients) {
    std::vector<Row> rows;
    if (CZuError err = Query("SELECT id FROM clients WHERE id NOT IN"
                             " (SELECT pseudo_client_id FROM mongodb_instances) ORDER BY id",
                             {}, rows))
        return err.Push(FXLOC);
    clients.clear();
    for (const auto& row : rows) {
        TWClient client;
        if (CZuError err = TWClient::ById(std::strtoull(Text(row, 0).c_str(), nullptr, 10), client))
            return err.Push(FXLOC);
        clients.push_back(std::move(client));
    }
    return {};
}

CZuError RegisterInstance(const InstanceRegistration& registration, InstanceView& saved) {
    if (!IsPlainName(registration.name)) return Invalid(FXLOC, "instance name", registration.name);
    if (registration.port <= 0 || registration.port > 65535)
        return Invalid(FXLOC, "port", std::to_string(registration.port));
    if (!registration.host.empty() && !IsHostText(registration.host)) return Invalid(FXLOC, "host", registration.host);
    for (const auto& app : registration.applications)
        if (!IsApplicationText(app)) return Invalid(FXLOC, "application (want MARLEX:APP)", app);
    for (const auto& node : registration.dataAccessNodes)
        if (!IsHostPort(node)) return Invalid(FXLOC, "data access node (want HOST:PORT)", node);
    if (registration.password.empty() != registration.dbUser.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                       "a database user and its password go together");

    TWClient master;
    if (CZuError err = TWClient::ByName(registration.masterClient, master))
        return err.Push(FXLOC, "the master node's client [%s] is not registered", registration.masterClient.c_str());

    uint64_t instanceId = 0;
    if (CZuError err = InstanceIdByName(registration.name, instanceId)) return err.Push(FXLOC);
    MongoDBInstance instance;
    if (instanceId != 0)
        if (CZuError err = MongoDBInstance::ById(instanceId, instance)) return err.Push(FXLOC);

    TWClient pseudo;
    if (TWClient::ByName(registration.name, pseudo).IsSuccess() && pseudo.id != instance.pseudoClientId)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                       "a client named [%s] exists; the instance needs a name of its own",
                                       registration.name.c_str());
    pseudo = TWClient();
    pseudo.name = registration.name;
    pseudo.shortName = registration.name;
    if (CZuError err = TWClient::Save(pseudo)) return err.Push(FXLOC);

    instance.instanceId = instanceId;
    instance.instanceName = registration.name;
    instance.hostName = registration.host.empty() ? master.networkHostName : registration.host;
    instance.port = registration.port;
    instance.dbUser = registration.dbUser;
    instance.encryptedDbPassword.clear();
    if (!registration.password.empty() && !TWPassword::encrypt(registration.password, instance.encryptedDbPassword))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "the password could not be protected");
    instance.binPath = registration.binPath;
    instance.osUser = registration.osUser;
    instance.pseudoClientId = pseudo.id;
    if (CZuError err = MongoDBInstance::Save(instance)) return err.Push(FXLOC);

    for (const auto& app : registration.applications) {
        size_t colon = app.find(':');
        ApplicationId application(uint32_t(std::strtoul(app.substr(0, colon).c_str(), nullptr, 10)),
                                  uint32_t(std::strtoul(app.substr(colon + 1).c_str(), nullptr, 10)));
        application.instanceId = instance.instanceId;
        if (CZuError err = application.Save()) return err.Push(FXLOC);
    }
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return err.Push(FXLOC);
    if (CZuError err = db->Exec(
            "INSERT INTO console_configs (instance_id, master_client, data_access_nodes) VALUES (?1, ?2, ?3)"
            " ON CONFLICT (instance_id) DO UPDATE SET master_client = excluded.master_client,"
            " data_access_nodes = excluded.data_access_nodes",
            {std::to_string(instance.instanceId), master.name, JoinList(registration.dataAccessNodes)}))
        return err.Push(FXLOC);
    if (CZuError err = SaveDataAccessNodes(instance.instanceId, registration.dataAccessNodes)) return err.Push(FXLOC);
    CZuError err = LoadView(instance.instanceId, saved);
    return err.Push(FXLOC);
}

CZuError ListInstances(std::vector<InstanceView>& instances) {
    std::vector<Row> rows;
    if (CZuError err = Query("SELECT id FROM mongodb_instances ORDER BY id", {}, rows)) return err.Push(FXLOC);
    instances.clear();
    for (const auto& row : rows) {
        InstanceView view;
        if (CZuError err = LoadView(std::strtoull(Text(row, 0).c_str(), nullptr, 10), view)) return err.Push(FXLOC);
        instances.push_back(std::move(view));
    }
    return {};
}

CZuError CoordinatingClientOf(const std::string& application, std::string& client) {
    if (!IsApplicationText(application)) return Invalid(FXLOC, "application (want MARLEX:APP)", application);
    size_t colon = application.find(':');
    ApplicationId app(uint32_t(std::strtoul(application.substr(0, colon).c_str(), nullptr, 10)),
                      uint32_t(std::strtoul(application.substr(colon + 1).c_str(), nullptr, 10)));
    if (CZuError err = app.Resolve()) return err.Push(FXLOC, "application [%s] is not registered", application.c_str());
    InstanceView view;
    if (CZuError err = LoadView(app.instanceId, view)) return err.Push(FXLOC);
    if (view.masterClient.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "instance [%s] has no master node client",
                                       view.instance.instanceName.c_str());
    client = view.masterClient;
    return {};
}

}  // namespace Registry
