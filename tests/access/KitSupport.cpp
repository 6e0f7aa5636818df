#include "tests/access/KitSupport.h"

#include <chrono>
#include <memory>
#include <thread>

#include "access/MongoDbConnection.h"

namespace MongoDbKax::testing {
namespace {

std::unique_ptr<KitReplicaSet> s_replicaSet;
std::unique_ptr<KitMongod> s_authMongod;
bool s_authReady = false;
std::unique_ptr<KitCertificates> s_certificates;
std::unique_ptr<KitMongod> s_tlsMongod;

class SharedKitEnvironment : public ::testing::Environment {
public:
    void TearDown() override {
        s_replicaSet.reset();
        s_authMongod.reset();
        s_tlsMongod.reset();
        s_certificates.reset();
    }
};

[[maybe_unused]] ::testing::Environment* const s_environment =
    ::testing::AddGlobalTestEnvironment(new SharedKitEnvironment);

}  // namespace

KitMember KitReplicaSet::CurrentPrimary() {
    std::vector<KitMember> members = secondaries;
    members.insert(members.begin(), primary);
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (size_t i = 0; i < members.size(); ++i) {
            MongoDbConnection connection;
            std::string reply;
            if (connection.Connect(members[i].ip, members[i].port, "", "") ||
                connection.RunAdminCommand("{\"hello\": 1}", true, reply))
                continue;
            const nlohmann::json hello = nlohmann::json::parse(reply, nullptr, false);
            if (hello.is_object() && hello.value("isWritablePrimary", false)) {
                primary = members[i];
                members.erase(members.begin() + long(i));
                secondaries = members;
                return primary;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return {};
}

KitReplicaSet& SharedKit::ReplicaSet() {
    if (!s_replicaSet)
        s_replicaSet = std::make_unique<KitReplicaSet>("--members 3 --ip-base 30");
    return *s_replicaSet;
}

KitMongod& SharedKit::AuthMongod(bool& ready) {
    if (!s_authMongod) {
        s_authMongod = std::make_unique<KitMongod>("--auth");
        MongoDbConnection connection;
        std::string reply;
        s_authReady = s_authMongod->up &&
                      !connection.Connect("127.0.0.1", s_authMongod->port, "", "") &&
                      !connection.RunAdminCommand(
                          std::string("{\"createUser\": \"") + kAdminUser + "\", \"pwd\": \"" +
                              kAdminPassword + "\", \"roles\": [\"root\"]}",
                          false, reply);
    }
    ready = s_authReady;
    return *s_authMongod;
}

KitMongod& SharedKit::TlsMongod(const KitCertificates*& certificates) {
    if (!s_tlsMongod) {
        s_certificates = std::make_unique<KitCertificates>();
        s_tlsMongod = std::make_unique<KitMongod>(
            "--tlsMode requireTLS --tlsCertificateKeyFile " +
            QuoteForShell(s_certificates->serverPem) + " --tlsCAFile " +
            QuoteForShell(s_certificates->caFile));
    }
    certificates = s_certificates.get();
    return *s_tlsMongod;
}

}  // namespace MongoDbKax::testing
