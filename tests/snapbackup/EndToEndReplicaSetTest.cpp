// Snapshot backups of a test-kit replica set through kaxrun, each member on a
// client of its own: the backup itself and the faults that must fail it
// cleanly. The cases share one replica set and one state root and run in
// order: starting the servers is what takes time.
#include <gtest/gtest.h>

#include <fstream>

#include "EndToEndSupport.h"
#include "host/Entities.h"
#include "host/JobManager.h"
#include "host/SnapshotEngine.h"

using namespace MongoDbKax;
using namespace MongoDbKax::testing;

namespace {

constexpr const char* kMarker = "snapcoord-e2e-order-marker";

struct Member {
    std::string ip;
    int port = 0;
    std::string dbpath;
    pid_t pid = 0;
    int id = 0;
    std::string Client() const { return "n" + ip.substr(ip.rfind('.') + 1); }
};

class EndToEndReplicaSet : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(root.Kaxrun("init").status, 0);
        set = kit.StartSet(root.base + "/rs", "members=3, ip_base=40, set_name='rs0'");
        ASSERT_TRUE(set.is_object()) << kit.error;
        for (const auto& m : set["members"]) {
            Member member{m["ip"], m["port"], m["dbpath"], m["pid"], m["_id"]};
            if (m["host"] == set["primary"]) primary = member;
            members.push_back(member);
        }
        ASSERT_EQ(root.Kaxrun("client register cs").status, 0);
        for (const auto& m : members)
            ASSERT_EQ(root.Kaxrun("client register " + m.Client() + " --host " + m.ip).status, 0);
        CommandResult r = root.Kaxrun("instance register rs1 --client cs --host " + primary.ip + " --port " +
                                      std::to_string(primary.port) + " --bin-path " + Q(kKitTools) + " --app " + kApp);
        ASSERT_EQ(r.status, 0) << r.out;
        LoadSampleData();
    }

    void LoadSampleData() {
        MongoDbConnection c;
        ASSERT_FALSE(c.Connect(primary.ip, primary.port, "", "")) << c.GetLastErrorMsg();
        std::string reply;
        const std::string insert = std::string(R"({"insert": "orders", "documents": [{"_id": 1, "item": ")") +
                                   kMarker + R"("}, {"_id": 2, "item": "lamp"}], "writeConcern": {"w": 3}})";
        ASSERT_FALSE(c.RunCommand("shop", insert, false, reply)) << c.GetLastErrorMsg();
    }

    Member ByHost(const std::string& host, int64_t port) const {
        for (const auto& m : members)
            if (m.ip == host && m.port == port) return m;
        return {};
    }

    void ExpectNothingLocked(double waitSeconds = 0) {
        for (const auto& m : members)
            EXPECT_TRUE(WaitFor(waitSeconds, [&] { return !IsLocked(m.ip, m.port); }))
                << m.ip << ":" << m.port << " is still fsync-locked";
    }

    void ExpectFailedWith(int64_t job, const std::string& reasonPart) {
        const JobRecord record = root.Job(job);
        EXPECT_EQ(record.status, JobOutcome::Failed);
        const auto events = root.EventTexts(job);
        EXPECT_TRUE(Contains(events, reasonPart) || record.reason.find(reasonPart) != std::string::npos)
            << "reason: " << record.reason << "\nevents:\n" << Joined(events);
    }

    App::MongoDBShardInfo ShardRecord(int64_t job) {
        const auto items = root.Browse(job, App::kShardViewName);
        App::MongoDBShardInfo shard;
        EXPECT_EQ(items.size(), 1u);
        if (!items.empty()) {
            EXPECT_FALSE(shard.Unserialize(items[0].record).IsError());
        }
        return shard;
    }

    // Runs a backup in the background and hands `during` the node process
    // of `client` as soon as it runs; returns the job's exit status.
    template <typename During>
    int BackupWhile(const std::string& client, During during, const std::string& env = "") {
        // Jobs are numbered in order, so the new job's id is known before it exists.
        const int64_t next = root.LastJobId() + 1;
        auto job = std::async(std::launch::async, [&] { return root.Backup(0, env).status; });
        pid_t node = 0;
        WaitFor(30, [&] { return (node = FindNodeProcess(root.root, client, next)) != 0; });
        EXPECT_NE(node, 0) << "no node process for " << client;
        if (node) during(node);
        return job.get();
    }

    KaxrunRoot root;
    KitDeployment kit;
    nlohmann::json set;
    Member primary;
    std::vector<Member> members;
};

TEST_F(EndToEndReplicaSet, SnapshotBackupAndTheFaultsThatFailIt) {
    // --- a backup: one secondary locked, snapshotted, unlocked; records and oplog point -------
    Member chosen;
    int64_t job = 0;
    {
        SCOPED_TRACE("backup");
        CommandResult r = root.Backup();
        job = root.LastJobId();
        ASSERT_EQ(r.status, 0) << r.out << Joined(root.EventTexts(job));
        EXPECT_EQ(root.Job(job).status, JobOutcome::Completed);

        App::MongoDBShardInfo shard = ShardRecord(job);
        chosen = ByHost(shard.secondaryHost, shard.secondaryPort);
        ASSERT_NE(chosen.port, 0) << "the shard record names no member: " << shard.secondaryHost;
        EXPECT_NE(chosen.port, primary.port);
        EXPECT_EQ(shard.replicaSetName, "rs0");
        EXPECT_EQ(shard.secondaryDataPath, chosen.dbpath);
        EXPECT_EQ(shard.primaryHost, primary.ip);
        EXPECT_EQ(shard.primaryPort, primary.port);
        EXPECT_EQ(shard.primaryDataPath, primary.dbpath);
        EXPECT_EQ(shard.configServer, 0);
        EXPECT_EQ(shard.mountPathMap, "rs0#" + chosen.dbpath + "||" + std::to_string(shard.archiveFileId));
        EXPECT_EQ(shard.oplogDumpStagingDir, root.root + "/clients/" + chosen.Client() + "/JobResults/2/1");
        TWClient node;
        root.Use();
        ASSERT_FALSE(TWClient::ByName(chosen.Client(), node).IsError());
        EXPECT_EQ(shard.nodeClientId, int64_t(node.id));

        // The database view lists the sample collection once, under its replica set.
        std::vector<std::string> dbView;
        for (const auto& item : root.Browse(job, App::kDBViewName)) dbView.push_back(item.path);
        EXPECT_EQ(dbView, (std::vector<std::string>{"/rs0~shop", "/rs0~shop/orders"}));

        // The file index holds the collection's data file, and the snapshot holds its documents.
        std::string copied;
        for (const auto& item : root.Browse(job, "default"))
            if (item.path == "/rs0" + chosen.dbpath + "/shop/orders.kcol") {
                EXPECT_EQ(item.archiveFileId, uint64_t(shard.archiveFileId));
                FXFile::ReadAll(item.sourcePath, copied);
            }
        EXPECT_NE(copied.find(kMarker), std::string::npos) << "the snapshot lacks the sample documents";

        // The utility process recorded the oplog point on the node.
        EXPECT_EQ(root.OscFile(chosen.Client(), "LAST_FULL_JOB"), std::to_string(job));
        const std::string ts = root.OscFile(chosen.Client(), "oplog_rs0.ts");
        const std::string head = "1:rs0:" + std::to_string(chosen.port) + ":";
        EXPECT_EQ(ts.compare(0, head.size(), head), 0) << ts;
        EXPECT_NE(ts.find(":" + std::to_string(job) + "\nHostname:" + chosen.ip), std::string::npos) << ts;
        EXPECT_EQ(ts.find(head + "0:"), std::string::npos) << "no oplog point was recorded: " << ts;

        std::string nodes;
        EXPECT_FALSE(JobStore::GetMiscOption(job, JM_MULTINDOE_PARTICIPATEDNODES, nodes).IsError());
        EXPECT_EQ(nodes, std::to_string(node.id));
        EXPECT_TRUE(Contains(root.EventTexts(job), "Secondary [" + chosen.ip + ":" + std::to_string(chosen.port) +
                                                       "] of replica set [rs0] was locked for ["));
        ExpectNothingLocked();

        // From now on the user's choice keeps the same secondary protected.
        r = root.Kaxrun("instance register rs1 --client cs --host " + primary.ip + " --port " +
                        std::to_string(primary.port) + " --bin-path " + Q(kKitTools) + " --app " + kApp +
                        " --data-access " + chosen.ip + ":" + std::to_string(chosen.port));
        ASSERT_EQ(r.status, 0) << r.out;
    }

    // --- the snapshot engine fails ------------------------------------------------------------
    {
        SCOPED_TRACE("snapshot engine failure");
        const std::string store = root.root + "/snapstore";
        ASSERT_EQ(::rename(store.c_str(), (store + ".aside").c_str()), 0);
        ASSERT_FALSE(FXFile::WriteAll(store, "not a directory").IsError());
        EXPECT_NE(root.Backup().status, 0);
        ExpectFailedWith(root.LastJobId(), "failed on node [" + chosen.Client() + "]");
        ::unlink(store.c_str());
        ASSERT_EQ(::rename((store + ".aside").c_str(), store.c_str()), 0);
        ExpectNothingLocked();
    }

    // --- the chosen secondary dies before its lock ----------------------------------------------
    {
        SCOPED_TRACE("secondary dead before its lock");
        const int status = BackupWhile(chosen.Client(), [&](pid_t) { ::kill(chosen.pid, SIGKILL); });
        EXPECT_NE(status, 0);
        ExpectFailedWith(root.LastJobId(), "failed on node [" + chosen.Client() + "]");
        CommandResult r = Sh(Q(kKitTools + "/mongo-cluster") + " start-member --dir " + Q(root.base + "/rs") +
                             " --member " + std::to_string(chosen.id));
        ASSERT_EQ(r.status, 0) << r.out;
        nlohmann::json state = nlohmann::json::parse(r.out, nullptr, false);
        if (state.is_object() && state.contains("pid")) chosen.pid = state["pid"];
        EXPECT_TRUE(WaitFor(30, [&] { return IsSecondary(chosen.ip, chosen.port); })) << "the member did not rejoin";
        ExpectNothingLocked(20);
    }

    // Many small files make the copy, and so the lock, last long enough to act
    // while a job runs; they stay for the two cases that need it.
    const std::string bulk = chosen.dbpath + "/zz-bulk";
    CZuDirectory::Create(bulk);
    for (int i = 0; i < 20000; ++i) std::ofstream(bulk + "/f" + std::to_string(i)) << i;

    // --- the node process is killed while its secondary is locked for the snapshot --------------
    {
        SCOPED_TRACE("node killed during the snapshot");
        bool sawLock = false;
        const int status = BackupWhile(chosen.Client(), [&](pid_t node) {
            sawLock = WaitFor(30, [&] { return IsLocked(chosen.ip, chosen.port); });
            ::kill(node, SIGKILL);
        });
        EXPECT_TRUE(sawLock) << "the secondary was never seen locked";
        EXPECT_NE(status, 0);
        ExpectFailedWith(root.LastJobId(), "node [" + chosen.Client() + "]");
        ExpectNothingLocked(30);
    }

    // --- the operator asks the job to quit -----------------------------------------------------
    {
        SCOPED_TRACE("quit request");
        const int status = BackupWhile(chosen.Client(), [&](pid_t) {
            // The coordinating kaxrun is the process whose command line names this state root.
            DIR* proc = ::opendir("/proc");
            while (dirent* e = proc ? ::readdir(proc) : nullptr) {
                std::string cmdline;
                FXFile::ReadAll("/proc/" + std::string(e->d_name) + "/cmdline", cmdline);
                if (cmdline.find(root.root) != std::string::npos && cmdline.find(std::string("run") + '\0') != std::string::npos)
                    ::kill(std::atoi(e->d_name), SIGINT);
            }
            if (proc) ::closedir(proc);
        });
        EXPECT_NE(status, 0);
        ExpectFailedWith(root.LastJobId(), "interrupted by the operator");
        ExpectNothingLocked(20);
    }

    CZuDirectory::RemoveTree(bulk);

    // --- the utility process fails on the node; a second attempt cleans the first up ------------
    {
        SCOPED_TRACE("utility failure, then a second attempt");
        const std::string bin = root.base + "/bin";
        CZuDirectory::Create(bin);
        const std::string wrapper = bin + "/VADeverOREzuz";
        FXFile::WriteAll(wrapper,
                         "#!/bin/sh\ncase \" $* \" in *\" -cn " + chosen.Client() + " \"*) exit 3;; esac\nexec " +
                             Q(kBuildDir + "/VADeverOREzuz") + " \"$@\"\n",
                         0755);
        EXPECT_NE(root.Backup(0, "KAX_BIN=" + Q(bin) + " ").status, 0);
        const int64_t failed = root.LastJobId();
        ExpectFailedWith(failed, "Failed to update timestamp info on nodes");
        ExpectNothingLocked();

        root.Use();
        std::vector<VolumeSnapshot> first;
        VolumeSnapQuery query;
        query.jobId = failed;
        ASSERT_FALSE(SnapshotEngine::GetVolumeSnapshots(query, first).IsError());
        ASSERT_FALSE(first.empty()) << "the failed attempt left no snapshot to clean up";

        CommandResult r = root.Backup(failed);
        EXPECT_EQ(r.status, 0) << r.out << Joined(root.EventTexts(failed));
        std::vector<VolumeSnapshot> now;
        ASSERT_FALSE(SnapshotEngine::GetVolumeSnapshots(query, now).IsError());
        for (const auto& s : now) EXPECT_EQ(s.attempt, 2) << "snapshot " << s.snapshotId << " of attempt 1 survived";
        for (const auto& s : first) EXPECT_FALSE(FXFile::Exists(s.storePath)) << s.storePath;
        EXPECT_EQ(ShardRecord(failed).archiveFileId, int64_t(now.empty() ? 0 : now[0].archiveFileId));
    }

}

}  // namespace
