// kaxrun client ..., kaxrun instance ...
#include <cstdio>
#include <cstdlib>

#include "runner/Commands.h"
#include "runner/ErrorText.h"
#include "runner/Prompt.h"
#include "runner/Registry.h"
#include "runner/Table.h"

namespace Cli {

namespace {

std::string Joined(const std::vector<std::string>& items, const char* none = "-") {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
    return text.empty() ? none : text;
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

}  // namespace

int ClientRegister(const CommandLine& line) {
    Registry::ClientRegistration registration;
    registration.name = line.Positionals()[0];
    registration.host = line.Get("host");
    registration.ipAddresses = line.GetAll("ip");
    TWClient client;
    bool existed = false;
    if (CZuError err = Registry::RegisterClient(registration, client, existed)) return Fail(ErrorText(err));
    std::printf("%s client %s (id %llu, host %s)\n", existed ? "Updated" : "Registered", client.name.c_str(),
                (unsigned long long)client.id, client.networkHostName.c_str());
    return kOk;
}

int ClientList(const CommandLine&) {
    std::vector<TWClient> clients;
    if (CZuError err = Registry::ListClients(clients)) return Fail(ErrorText(err));
    if (clients.empty()) {
        std::printf("No clients are registered (add one with: kaxrun client register NAME)\n");
        return kOk;
    }
    TextTable table({"Id", "Name", "Host", "Addresses"});
    for (const auto& c : clients)
        table.AddRow({std::to_string(c.id), c.name, OrDash(c.networkHostName), Joined(c.ipAddresses)});
    std::printf("%s", table.Render().c_str());
    return kOk;
}

int InstanceRegister(const CommandLine& line) {
    Registry::InstanceRegistration registration;
    registration.name = line.Positionals()[0];
    registration.masterClient = line.Get("client");
    if (registration.masterClient.empty())
        return Fail("instance register: --client is required (the client of the master node)");
    std::string port = line.Get("port", "27017");
    char* end = nullptr;
    registration.port = int(std::strtol(port.c_str(), &end, 10));
    if (port.empty() || *end != '\0') return Fail("instance register: invalid port [" + port + "]");
    registration.host = line.Get("host");
    registration.dbUser = line.Get("user");
    registration.binPath = line.Get("bin-path");
    registration.osUser = line.Get("os-user");
    registration.applications = line.GetAll("app");
    registration.dataAccessNodes = line.GetAll("data-access");
    if (!registration.dbUser.empty()) {
        if (CZuError err = ReadSecret("Password for database user " + registration.dbUser + ": ",
                                      registration.password))
            return Fail(ErrorText(err));
        if (registration.password.empty()) return Fail("instance register: the password is empty");
    }
    Registry::InstanceView saved;
    CZuError err = Registry::RegisterInstance(registration, saved);
    registration.password.assign(registration.password.size(), '\0');
    if (err) return Fail(ErrorText(err));
    std::printf("Registered MongoDB instance %s (id %llu) on client %s, %s:%d%s\n", saved.instance.instanceName.c_str(),
                (unsigned long long)saved.instance.instanceId, saved.masterClient.c_str(),
                saved.instance.hostName.c_str(), saved.instance.port,
                saved.instance.dbUser.empty() ? "" : ", password stored encrypted");
    return kOk;
}

int InstanceList(const CommandLine&) {
    std::vector<Registry::InstanceView> instances;
    if (CZuError err = Registry::ListInstances(instances)) return Fail(ErrorText(err));
    if (instances.empty()) {
        std::printf("No MongoDB instances are registered (add one with: kaxrun instance register)\n");
        return kOk;
    }
    TextTable table({"Id", "Name", "Master client", "Host:port", "DB user", "Tool path", "OS user", "Applications",
                     "Data access nodes"});
    for (const auto& v : instances)
        table.AddRow({std::to_string(v.instance.instanceId), v.instance.instanceName, OrDash(v.masterClient),
                      v.instance.hostName + ":" + std::to_string(v.instance.port), OrDash(v.instance.dbUser),
                      OrDash(v.instance.binPath), OrDash(v.instance.osUser), Joined(v.applications),
                      Joined(v.dataAccessNodes)});
    std::printf("%s", table.Render().c_str());
    return kOk;
}

}  // namespace Cli
