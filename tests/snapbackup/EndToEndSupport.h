#pragma once
// End-to-end snapshot backups through kaxrun: one state root and one test-kit
// deployment shared by the cases of a suite (starting servers is the slow
// part), clients that own the members' addresses, an instance and its
// application, kaxrun runs (also in the background, for faults injected
// while a job runs), and reading back what the job recorded.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "access/MongoDbConnection.h"
#include "access/MongoDbUtil.h"
#include "host/Files.h"
#include "host/Indexing.h"
#include "host/MongoDBIndexRecords.h"
#include "host/Process.h"
#include "platform/JobStore.h"
#include "platform/StateDb.h"

namespace MongoDbKax::testing {

inline const std::string kBuildDir = TEST_BUILD_DIR;
inline const std::string kKitTools = TEST_KIT_BIN;
inline const std::string kKitSources = std::string(TEST_SOURCE_DIR) + "/testkit";
inline constexpr const char* kApp = "2:1";
inline constexpr uint32_t kMarlex = 2, kAppId = 1;

struct CommandResult {
    int status = -1;
    std::string out;
};

inline CommandResult Sh(const std::string& command) {
    CommandResult r;
    std::string err;
    r.status = TwProcess::system(command, r.out, err);
    r.out += err;
    return r;
}

inline std::string Q(const std::string& text) { return FXString::ShellQuote(text); }

// Starts replica sets through the kit's Python launcher (members on
// 127.0.0.<ipBase + i>), and a router over them.
class KitDeployment {
public:
    ~KitDeployment() { Down(); }

    // `kwargs`: Python keyword arguments of mongokit.cluster.Cluster.
    nlohmann::json StartSet(const std::string& dir, const std::string& kwargs) {
        const std::string script = "import sys, json; sys.path.insert(0, " + PyStr(kKitSources) +
                                   "); from mongokit.cluster import Cluster; print(json.dumps(Cluster(" +
                                   PyStr(dir) + ", tool_dir=" + PyStr(kKitTools) + ", " + kwargs + ").up()))";
        CommandResult r = Sh("/usr/bin/python3 -c " + Q(script));
        nlohmann::json state = nlohmann::json::parse(r.out, nullptr, false);
        if (r.status != 0 || !state.is_object()) {
            error = "kit set did not start: " + r.out;
            return {};
        }
        m_sets.push_back(dir);
        return state;
    }

    // A router at `ip` over the config set, knowing `shards` ("name/host:port,...").
    bool StartRouter(const std::string& dir, const std::string& ip, const std::string& configSet,
                     const std::vector<std::string>& shards) {
        routerHost = ip;
        routerPort = FreePort(ip);
        CommandResult r = Sh(Q(kKitTools + "/mongos") + " --configdb " + Q(configSet) + " --port " +
                             std::to_string(routerPort) + " --bind_ip " + ip + " --fork --logpath " +
                             Q(dir + "/mongos.log"));
        const size_t at = r.out.find("forked process:");
        m_routerPid = at == std::string::npos ? 0 : std::atoi(r.out.c_str() + at + 15);
        if (r.status != 0) {
            error = "mongos did not start: " + r.out;
            return false;
        }
        MongoDbConnection c;
        if (c.Connect(ip, routerPort, "", "")) return Fail(std::string("router unreachable: ") + c.GetLastErrorMsg());
        for (const auto& shard : shards) {
            std::string reply;
            if (c.RunAdminCommand("{\"addShard\": \"" + shard + "\"}", false, reply))
                return Fail(std::string("addShard failed: ") + c.GetLastErrorMsg());
        }
        return true;
    }

    void Down() {
        if (m_routerPid > 0) {
            ::kill(m_routerPid, SIGTERM);
            for (int i = 0; i < 100 && ::kill(m_routerPid, 0) == 0; ++i) ::usleep(50000);
            m_routerPid = 0;
        }
        for (const auto& dir : m_sets) Sh(Q(kKitTools + "/mongo-cluster") + " down --dir " + Q(dir));
        m_sets.clear();
    }

    static std::string ConnectionString(const nlohmann::json& set) {
        std::string text = set["setName"].get<std::string>() + "/";
        for (size_t i = 0; i < set["members"].size(); ++i)
            text += (i ? "," : "") + set["members"][i]["host"].get<std::string>();
        return text;
    }

    static int FreePort(const std::string& ip) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        ::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
        socklen_t length = sizeof addr;
        int port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0)
            port = ntohs(addr.sin_port);
        ::close(fd);
        return port;
    }

    std::string routerHost;
    int routerPort = 0;
    std::string error;

private:
    static std::string PyStr(const std::string& s) { return nlohmann::json(s).dump(); }
    bool Fail(const std::string& why) {
        error = why;
        return false;
    }
    std::vector<std::string> m_sets;
    pid_t m_routerPid = 0;
};

// A state root of the suite, driven through kaxrun.
class KaxrunRoot {
public:
    KaxrunRoot() {
        char pattern[] = "/tmp/snapcoord-e2e.XXXXXX";
        const char* made = ::mkdtemp(pattern);
        base = made ? made : "/tmp/snapcoord-e2e.missing";
        root = base + "/root";
    }
    ~KaxrunRoot() {
        StateDb::Close();
        if (!::getenv("KEEP_E2E")) CZuDirectory::RemoveTree(base);
    }

    // kaxrun with this root; `env` is prepended to the command line ("A=b ").
    CommandResult Kaxrun(const std::string& args, const std::string& env = "") const {
        return Sh(env + Q(kBuildDir + "/kaxrun") + " --root " + Q(root) + " " + args + " </dev/null");
    }
    // A snapshot backup of the application (a new job, or attempt n of `job`).
    CommandResult Backup(int64_t job = 0, const std::string& env = "") const {
        return Kaxrun("run backup --app " + std::string(kApp) + " --module " + Q(kBuildDir + "/libmongodbagent.so") +
                          (job ? " --job " + std::to_string(job) : "") + " -- -t 1 -snap",
                      env);
    }
    // Makes this process read the root's records.
    void Use() const { ::setenv("KAX_ROOT", root.c_str(), 1); }

    int64_t LastJobId() const {
        Use();
        std::vector<JobRecord> jobs;
        if (JobStore::ListJobs(jobs) || jobs.empty()) return 0;
        return jobs.front().id;
    }
    JobRecord Job(int64_t id) const {
        Use();
        JobRecord job;
        JobStore::GetJob(id, job);
        return job;
    }
    // Every event text and argument of the job, one string per event.
    std::vector<std::string> EventTexts(int64_t id) const {
        Use();
        std::vector<JobEventRecord> events;
        JobStore::ListEvents(id, events);
        std::vector<std::string> texts;
        for (const auto& e : events) {
            std::string t = e.kind + ": " + e.text;
            for (const auto& a : e.arguments) t += " | " + a;
            texts.push_back(t);
        }
        return texts;
    }
    std::vector<CIndexBrowseItem> Browse(int64_t job, const std::string& view) const {
        Use();
        CIndexBrowseRequest request;
        request.marlexId = kMarlex;
        request.appId = kAppId;
        request.viewName = view;
        request.jobFilter = job;
        std::vector<CIndexBrowseItem> items;
        CZuError err = CIndexBrowseClient::Browse(request, items);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return items;
    }
    std::string OscFile(const std::string& client, const std::string& name) const {
        std::string text;
        FXFile::ReadAll(root + "/clients/" + client + "/JobResults/2/1/osc/" + name, text);
        return text;
    }

    std::string base, root;
};

inline bool Contains(const std::vector<std::string>& texts, const std::string& part) {
    for (const auto& t : texts)
        if (t.find(part) != std::string::npos) return true;
    return false;
}

inline std::string Joined(const std::vector<std::string>& texts) {
    std::string all;
    for (const auto& t : texts) all += t + "\n";
    return all;
}

// Whether the member is fsync-locked now; false when it does not answer.
inline bool IsLocked(const std::string& host, int port) {
    MongoDbUtil util;
    bool locked = false;
    return util.GetDBLockStatus(host, port, locked).IsSuccess() && locked;
}

// Whether the member answers as a secondary of its replica set.
inline bool IsSecondary(const std::string& host, int port) {
    MongoDbConnection c;
    std::string reply;
    if (c.Connect(host, port, "", "") || c.RunAdminCommand(R"({"isMaster": 1})", true, reply)) return false;
    const auto doc = nlohmann::json::parse(reply, nullptr, false);
    return doc.is_object() && doc.value("secondary", false);
}

// Whether process `pid` is a node process of `client` of job `job` under `root`.
inline bool IsNodeProcess(pid_t pid, const std::string& root, const std::string& client, int64_t job) {
    std::string cmdline, environ;
    FXFile::ReadAll("/proc/" + std::to_string(pid) + "/cmdline", cmdline);
    FXFile::ReadAll("/proc/" + std::to_string(pid) + "/environ", environ);
    return cmdline.find(std::string("node") + '\0' + "--phase") != std::string::npos &&
           cmdline.find(std::string("-cn") + '\0' + client + '\0') != std::string::npos &&
           cmdline.find(std::string("-j") + '\0' + std::to_string(job) + '\0') != std::string::npos &&
           environ.find("KAX_ROOT=" + root) != std::string::npos;
}

// The pid of the node process of `client` for job `job` under `root`, or 0. A
// process the node forked (its lock watchdog) looks the same; the node is
// the one whose parent is not a node process.
inline pid_t FindNodeProcess(const std::string& root, const std::string& client, int64_t job) {
    DIR* proc = ::opendir("/proc");
    if (!proc) return 0;
    pid_t found = 0;
    while (dirent* e = ::readdir(proc)) {
        const pid_t pid = std::atoi(e->d_name);
        if (pid <= 0 || !IsNodeProcess(pid, root, client, job)) continue;
        std::string stat;
        FXFile::ReadAll("/proc/" + std::string(e->d_name) + "/stat", stat);
        const size_t close = stat.rfind(')');
        const pid_t parent = close == std::string::npos ? 0 : std::atoi(stat.c_str() + close + 4);
        if (!IsNodeProcess(parent, root, client, job)) found = pid;
    }
    ::closedir(proc);
    return found;
}

// Waits up to `seconds` for `condition`.
template <typename Condition>
bool WaitFor(double seconds, Condition condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

}  // namespace MongoDbKax::testing
