#pragma once
// Deployments of the test kit for the topology tests: replica sets started
// through the kit's Python launcher (so that members can take extra options),
// lone servers, routers when the kit has them, and the clients and instance
// that describe them in the management database.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/Entities.h"
#include "host/Files.h"
#include "host/Password.h"
#include "host/Platform.h"

namespace MongoDbKax::testing {

inline const std::string kKitBin = TEST_KIT_BIN;
inline const std::string kKitSource = std::string(TEST_SOURCE_DIR) + "/testkit";

// Runs a shell command; its standard output, or "" with `ok` false on failure.
inline std::string Shell(const std::string& command, bool* ok = nullptr) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) {
        if (ok) *ok = false;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int status = ::pclose(p);
    if (ok) *ok = status == 0;
    return out;
}

// A scratch directory that outlives the per-test state roots.
inline std::string ScratchDir(const char* tag) {
    std::string pattern = std::string("/tmp/kaxtopo.") + tag + ".XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const char* made = ::mkdtemp(buf.data());
    return made ? made : "";
}

// A port nobody listens on at `ip` right now.
inline int FreePort(const std::string& ip) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// One replica set of the kit. `kwargs` are Python keyword arguments of the
// kit's Cluster (members=3, ip_base=30, extra_args=[...], user=..., ...).
class KitReplicaSet {
public:
    bool Up(const std::string& dir, const std::string& kwargs) {
        m_dir = dir;
        const std::string script =
            "import sys, json; sys.path.insert(0, '" + kKitSource +
            "'); from mongokit.cluster import Cluster; "
            "print(json.dumps(Cluster('" + dir + "', tool_dir='" + kKitBin + "', " + kwargs +
            ").up()))";
        bool ok = false;
        const std::string out = Shell("/usr/bin/python3 -c \"" + script + "\" 2>&1", &ok);
        state = nlohmann::json::parse(out, nullptr, false);
        if (!ok || !state.is_object()) {
            ADD_FAILURE() << "kit replica set did not start: " << out;
            return false;
        }
        return true;
    }
    void Down() {
        if (!m_dir.empty()) Shell(kKitBin + "/mongo-cluster down --dir '" + m_dir + "' >/dev/null 2>&1");
        m_dir.clear();
    }
    ~KitReplicaSet() { Down(); }

    const nlohmann::json& Member(int i) const { return state["members"][i]; }
    std::string Ip(int i) const { return Member(i)["ip"]; }
    int Port(int i) const { return Member(i)["port"]; }
    std::string Host(int i) const { return Member(i)["host"]; }
    // The current primary's "host:port".
    std::string Primary() const { return state["primary"]; }

    nlohmann::json state;

private:
    std::string m_dir;
};

// A lone kit mongod (no replica set) at ip:port.
class KitLoneServer {
public:
    bool Up(const std::string& dir, const std::string& ip) {
        m_dir = dir;
        port = FreePort(ip);
        CZuDirectory::Create(dir + "/db");
        bool ok = false;
        const std::string out = Shell(kKitBin + "/mongod --dbpath '" + dir + "/db' --port " +
                                          std::to_string(port) + " --bind_ip " + ip +
                                          " --fork --logpath '" + dir + "/mongod.log' 2>&1",
                                      &ok);
        if (!ok) ADD_FAILURE() << "lone mongod did not start: " << out;
        return ok;
    }
    ~KitLoneServer() {
        if (!m_dir.empty())
            Shell(kKitBin + "/mongod --shutdown --dbpath '" + m_dir + "/db' >/dev/null 2>&1");
    }
    int port = 0;

private:
    std::string m_dir;
};

// A client of the management database reachable at `ips`.
inline TWClient RegisterClient(const std::string& name, const std::string& host,
                               std::vector<std::string> ips, int status = 0) {
    TWClient c;
    c.name = name;
    c.shortName = name;
    c.networkHostName = host;
    c.ipAddresses = std::move(ips);
    c.status = status;
    EXPECT_FALSE(TWClient::Save(c).IsError());
    return c;
}

// An instance whose master node is host:port, owned by `masterClient`, which
// becomes the process's focus client. Returns the instance id.
inline uint64_t RegisterMongoInstance(const std::string& host, int port,
                                      const std::string& masterClient,
                                      const std::string& binPath = kKitBin,
                                      const std::string& user = "",
                                      const std::string& password = "") {
    TWClient pseudo;
    pseudo.name = "cluster-pseudo";
    pseudo.shortName = "cluster-pseudo";
    EXPECT_FALSE(TWClient::Save(pseudo).IsError());
    MongoDBInstance instance;
    instance.instanceName = "cluster1";
    instance.hostName = host;
    instance.port = port;
    instance.binPath = binPath;
    instance.dbUser = user;
    if (!password.empty()) {
        EXPECT_TRUE(TWPassword::encrypt(password, instance.encryptedDbPassword));
    }
    instance.pseudoClientId = pseudo.id;
    EXPECT_FALSE(MongoDBInstance::Save(instance).IsError());
    TWPI_PlatformBase::SetFocusClientName(masterClient);
    return instance.instanceId;
}

}  // namespace MongoDbKax::testing
