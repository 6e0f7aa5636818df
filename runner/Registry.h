#pragma once
// What the operator registers: clients (machine identities, each with its own
// loopback address and directories) and MongoDB instances with their
// applications and console configuration (master node client and the data
// access nodes the user chose).
#include <string>
#include <vector>

#include "host/Entities.h"
#include "host/ZuError.h"

namespace Registry {

struct ClientRegistration {
    std::string name;
    std::string host;  // network host name; "" picks the next free 127.0.10.x
    std::vector<std::string> ipAddresses;
};

// Adds the client or updates the one with that name (keeping its address
// unless a new one is given), and creates its directories. Error 22 for a
// name that cannot be a directory name or a host that is not an address.
CZuError RegisterClient(const ClientRegistration& registration, TWClient& saved, bool& existed);
// Pseudo-clients of instances are not listed.
CZuError ListClients(std::vector<TWClient>& clients);

struct InstanceRegistration {
    std::string name;
    std::string masterClient;  // the client of the master node
    std::string host;          // "" = the master client's network host name
    int port = 27017;
    std::string dbUser;
    std::string password;  // clear text, only in memory; stored protected
    std::string binPath;
    std::string osUser;
    std::vector<std::string> applications;     // "<marlex id>:<application id>"
    std::vector<std::string> dataAccessNodes;  // "host:port"
};

struct InstanceView {
    MongoDBInstance instance;
    std::string masterClient;
    std::vector<std::string> applications;
    std::vector<std::string> dataAccessNodes;
};

// Adds the instance or replaces the one with that name, with its
// pseudo-client (a client named after the instance, without an address).
CZuError RegisterInstance(const InstanceRegistration& registration, InstanceView& saved);
CZuError ListInstances(std::vector<InstanceView>& instances);
// The master node's client of the instance that owns application "mx:app".
CZuError CoordinatingClientOf(const std::string& application, std::string& client);

// Checks "<marlex id>:<application id>" (two unsigned 32-bit numbers).
bool IsApplicationText(const std::string& text);

}  // namespace Registry
