#pragma once
// Deployments of the test kit for the topology tests and benchmarks: replica
// sets started through the kit's Python launcher (so that members can take
// extra options), lone servers, sharded clusters when the kit has a router,
// and the clients and instance that describe them in the management database.
// Failures are returned with their text, so that tests and benchmarks each
// report them their own way.
#include <arpa/inet.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "access/MongoDbConnection.h"
#include "host/Entities.h"
#include "host/Files.h"
#include "host/Password.h"
#include "host/Platform.h"

namespace MongoDbKax::testing {

inline const std::string kKitBin = TEST_KIT_BIN;
inline const std::string kKitSource = std::string(TEST_SOURCE_DIR) + "/testkit";

// Runs a shell command; its standard output (and error, when redirected).
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
    inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

inline bool KitHasRouter() { return FXFile::Exists(kKitBin + "/mongos"); }

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
        if (ok && state.is_object()) return true;
        error = "kit replica set did not start: " + out;
        return false;
    }
    void Down() {
        if (!m_dir.empty()) Shell(kKitBin + "/mongo-cluster down --dir '" + m_dir + "' >/dev/null 2>&1");
        m_dir.clear();
    }
    ~KitReplicaSet() { Down(); }

    const nlohmann::json& Member(int i) const { return state["members"][i]; }
    int Size() const { return static_cast<int>(state["members"].size()); }
    std::string Ip(int i) const { return Member(i)["ip"]; }
    int Port(int i) const { return Member(i)["port"]; }
    std::string Host(int i) const { return Member(i)["host"]; }
    std::string Primary() const { return state["primary"]; }  // "host:port"
    // "name/host:port,host:port,..." as shards and routers are given a set.
    std::string ConnectionString() const {
        std::string text = state["setName"].get<std::string>() + "/";
        for (int i = 0; i < Size(); ++i) text += (i ? "," : "") + Host(i);
        return text;
    }

    nlohmann::json state;
    std::string error;

private:
    std::string m_dir;
};

// Stops a forked kit server by its pid and waits until it is gone.
inline void StopForked(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200 && ::kill(pid, 0) == 0; ++i) ::usleep(50000);
}

// The pid a kit server prints when it forks ("forked process: <pid>"), or 0.
inline pid_t ForkedPid(const std::string& output) {
    const size_t at = output.find("forked process:");
    return at == std::string::npos ? 0 : std::atoi(output.c_str() + at + 15);
}

// A lone kit mongod (no replica set) at ip:port.
class KitLoneServer {
public:
    bool Up(const std::string& dir, const std::string& ip) {
        port = FreePort(ip);
        CZuDirectory::Create(dir + "/db");
        bool ok = false;
        error = Shell(kKitBin + "/mongod --dbpath '" + dir + "/db' --port " + std::to_string(port) +
                          " --bind_ip " + ip + " --fork --logpath '" + dir + "/mongod.log' 2>&1",
                      &ok);
        m_pid = ForkedPid(error);
        return ok;
    }
    ~KitLoneServer() { StopForked(m_pid); }
    int port = 0;
    std::string error;

private:
    pid_t m_pid = 0;
};

// A sharded cluster: a config-server set (ip base 50), `shards` (at most 4)
// shard sets of `members` (at most 7) each (ip bases 60, 70, ...; named sh1,
// sh2, ...), and a router at 127.0.0.100 that knows every shard.
class KitShardedCluster {
public:
    bool Up(const std::string& dir, int shards, int members) {
        config = std::make_unique<KitReplicaSet>();
        if (!config->Up(dir + "/cfg", "members=3, ip_base=50, set_name='cfg', cluster_role='configsvr'"))
            return Failed(config->error);
        for (int s = 0; s < shards; ++s) {
            auto shard = std::make_unique<KitReplicaSet>();
            const std::string name = "sh" + std::to_string(s + 1);
            if (!shard->Up(dir + "/" + name, "members=" + std::to_string(members) +
                                                 ", ip_base=" + std::to_string(60 + 10 * s) +
                                                 ", set_name='" + name + "', cluster_role='shardsvr'"))
                return Failed(shard->error);
            shardSets.push_back(std::move(shard));
        }
        routerIp = "127.0.0.100";
        routerPort = FreePort(routerIp);
        bool ok = false;
        const std::string out =
            Shell(kKitBin + "/mongos --configdb '" + config->ConnectionString() + "' --port " +
                      std::to_string(routerPort) + " --bind_ip " + routerIp + " --fork --logpath '" +
                      dir + "/mongos.log' 2>&1",
                  &ok);
        if (!ok) return Failed("mongos did not start: " + out);
        m_routerPid = ForkedPid(out);
        MongoDbConnection connection;
        if (connection.Connect(routerIp, routerPort, "", ""))
            return Failed(std::string("cannot reach the router: ") + connection.GetLastErrorMsg());
        for (const auto& shard : shardSets) {
            std::string reply;
            if (connection.RunAdminCommand("{\"addShard\": \"" + shard->ConnectionString() + "\"}", false,
                                           reply))
                return Failed(std::string("addShard failed: ") + connection.GetLastErrorMsg());
        }
        return true;
    }
    ~KitShardedCluster() { StopForked(m_routerPid); }

    std::unique_ptr<KitReplicaSet> config;
    std::vector<std::unique_ptr<KitReplicaSet>> shardSets;
    std::string routerIp;
    int routerPort = 0;
    std::string error;

private:
    bool Failed(const std::string& why) {
        error = why;
        return false;
    }
    pid_t m_routerPid = 0;
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
    TWClient::Save(c);
    return c;
}

// Clients "node<x>" owning 127.0.0.<x> for every member of `set`.
inline void RegisterMemberClients(const KitReplicaSet& set) {
    for (int i = 0; i < set.Size(); ++i) {
        const std::string ip = set.Ip(i);
        RegisterClient("node" + ip.substr(ip.rfind('.') + 1), ip, {ip});
    }
}

// An instance whose master node is host:port, owned by `masterClient`, which
// becomes the process's focus client. Returns the instance id (0 on failure).
inline uint64_t RegisterMongoInstance(const std::string& host, int port,
                                      const std::string& masterClient,
                                      const std::string& binPath = kKitBin,
                                      const std::string& user = "",
                                      const std::string& password = "") {
    TWClient pseudo;
    pseudo.name = "cluster-pseudo";
    pseudo.shortName = "cluster-pseudo";
    TWClient::Save(pseudo);
    MongoDBInstance instance;
    instance.instanceName = "cluster1";
    instance.hostName = host;
    instance.port = port;
    instance.binPath = binPath;
    instance.dbUser = user;
    if (!password.empty() && !TWPassword::encrypt(password, instance.encryptedDbPassword)) return 0;
    instance.pseudoClientId = pseudo.id;
    if (MongoDBInstance::Save(instance).IsError()) return 0;
    TWPI_PlatformBase::SetFocusClientName(masterClient);
    return instance.instanceId;
}

}  // namespace MongoDbKax::testing
