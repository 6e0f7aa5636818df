#pragma once
// Servers of the MongoDB test kit for the access-layer tests: a replica set
// started with the kit's launcher, and single mongod processes (with
// authentication or TLS) on 127.0.0.1.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "access/ShellQuoting.h"
#include "host/Files.h"
#include "host/Process.h"

namespace MongoDbKax::testing {

inline std::string KitBin() { return TEST_KIT_BIN; }

inline std::string MakeTempDir(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + ".XXXXXX";
    const char* made = ::mkdtemp(pattern.data());
    return made ? made : "";
}

// Runs a command line; the exit status, with the output in `out`.
inline int RunShell(const std::string& command, std::string& out) {
    std::string err;
    const int rc = TwProcess::system(command, out, err, 0, false);
    out += err;
    return rc;
}

inline int FreePort(const char* ip) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    ::inet_pton(AF_INET, ip, &addr.sin_addr);
    socklen_t length = sizeof(addr);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

struct KitMember {
    std::string ip;
    int port = 0;
};

// A replica set of the kit, up for the object's lifetime.
class KitReplicaSet {
public:
    // `options` are extra launcher options (e.g. "--members 3 --ip-base 40").
    explicit KitReplicaSet(const std::string& options) : dir(MakeTempDir("access-rs")) {
        std::string out;
        const int rc = RunShell(QuoteForShell(KitBin() + "/mongo-cluster") + " up --dir " +
                                    QuoteForShell(dir + "/rs") + " " + options,
                                out);
        if (rc != 0) {
            error = "mongo-cluster up failed (" + std::to_string(rc) + "): " + out;
            return;
        }
        const nlohmann::json state = nlohmann::json::parse(out, nullptr, false);
        if (!state.is_object()) {
            error = "mongo-cluster printed no state: " + out;
            return;
        }
        const std::string primaryHost = state.value("primary", "");
        for (const auto& m : state["members"]) {
            KitMember member{m["ip"].get<std::string>(), m["port"].get<int>()};
            if (m["host"].get<std::string>() == primaryHost)
                primary = member;
            else
                secondaries.push_back(member);
        }
        up = primary.port != 0;
        if (!up)
            error = "no primary in: " + out;
    }
    ~KitReplicaSet() {
        std::string out;
        RunShell(QuoteForShell(KitBin() + "/mongo-cluster") + " down --dir " +
                     QuoteForShell(dir + "/rs"),
                 out);
        CZuDirectory::RemoveTree(dir);
    }
    KitReplicaSet(const KitReplicaSet&) = delete;
    KitReplicaSet& operator=(const KitReplicaSet&) = delete;

    // The member that is primary now (a set under load may have elected
    // another one since it started), waiting a while for an election; its
    // port is 0 when none is found. Refreshes `primary` and `secondaries`.
    KitMember CurrentPrimary();

    std::string dir;
    bool up = false;
    std::string error;
    KitMember primary;
    std::vector<KitMember> secondaries;
};

// One mongod on 127.0.0.1, up for the object's lifetime.
class KitMongod {
public:
    explicit KitMongod(const std::string& extraOptions = "")
        : dir(MakeTempDir("access-mongod")), port(FreePort("127.0.0.1")) {
        std::string out;
        const int rc = RunShell(QuoteForShell(KitBin() + "/mongod") + " --dbpath " +
                                    QuoteForShell(dir) + " --port " + std::to_string(port) +
                                    " --bind_ip 127.0.0.1 --logpath " +
                                    QuoteForShell(dir + "/mongod.log") + " --fork " +
                                    extraOptions,
                                out);
        up = rc == 0;
        if (!up)
            error = "mongod failed (" + std::to_string(rc) + "): " + out;
    }
    ~KitMongod() { Stop(); CZuDirectory::RemoveTree(dir); }
    KitMongod(const KitMongod&) = delete;
    KitMongod& operator=(const KitMongod&) = delete;

    void Stop() {
        if (!up)
            return;
        std::string out;
        RunShell(QuoteForShell(KitBin() + "/mongod") + " --shutdown --dbpath " +
                     QuoteForShell(dir),
                 out);
        up = false;
    }

    std::string dir;
    int port;
    bool up = false;
    std::string error;
};

// Throw-away CA, server and client certificates for 127.0.0.1.
struct KitCertificates {
    KitCertificates() : dir(MakeTempDir("access-certs")) {
        std::string out;
        if (RunShell(QuoteForShell(KitBin() + "/mongo-cluster") + " certs --dir " +
                         QuoteForShell(dir) + " --ip 127.0.0.1 --host localhost",
                     out) != 0)
            return;
        const nlohmann::json files = nlohmann::json::parse(out, nullptr, false);
        if (!files.is_object())
            return;
        caFile = files.value("caFile", "");
        serverPem = files.value("serverPem", "");
        clientPem = files.value("clientPem", "");
        clientEncryptedPem = files.value("clientEncryptedPem", "");
        FXFile::ReadAll(files.value("clientKeyPasswordFile", ""), clientKeyPassword);
        while (!clientKeyPassword.empty() && clientKeyPassword.back() == '\n')
            clientKeyPassword.pop_back();
    }
    ~KitCertificates() { CZuDirectory::RemoveTree(dir); }

    std::string dir;
    std::string caFile, serverPem, clientPem, clientEncryptedPem, clientKeyPassword;
};

// Servers shared by the test suites of this executable, started on first use
// and stopped after the last test.
struct SharedKit {
    // A 3-member replica set without authentication.
    static KitReplicaSet& ReplicaSet();
    // A single mongod with --auth whose user kAdminUser was created through
    // the localhost exception; `ready` tells whether that worked.
    static KitMongod& AuthMongod(bool& ready);
    // A single mongod requiring TLS with certificates from `certificates`.
    static KitMongod& TlsMongod(const KitCertificates*& certificates);
    static constexpr const char* kAdminUser = "admin";
    static constexpr const char* kAdminPassword = "Adm1n pw";
};

}  // namespace MongoDbKax::testing
