#pragma once
// The node-side snapshot against a test-kit replica set: one set per test
// suite, the instance bound to it, and a node snapshot whose copy step can
// be watched (it runs while the secondaries are locked).
#include <functional>

#include "access/MongoDbConnection.h"
#include "snapbackup/MongoDbBackupController.h"
#include "tests/snapbackup/SnapNodeSupport.h"
#include "tests/topology/TopologyKit.h"
#include "topology/MongoDBConfig.h"

namespace MongoDbKax::testing {

// A node snapshot that runs `whileLocked` just before it copies the volumes.
class WatchedSnapBackup : public MongoDbSnapBackup {
public:
    int CreateSnapShot() override {
        if (whileLocked) whileLocked();
        return MongoDbSnapBackup::CreateSnapShot();
    }
    std::function<void()> whileLocked;
};

class NodeKitTest : public SnapNodeTest {
protected:
    static void SetUpTestSuite() {
        s_dir = ScratchDir("snapnode");
        s_set = new KitReplicaSet();
        s_set->Up(s_dir + "/rs", "members=3, ip_base=150");
    }
    static void TearDownTestSuite() {
        delete s_set;
        s_set = nullptr;
        CZuDirectory::RemoveTree(s_dir);
    }

    void SetUp() override {
        SnapNodeTest::SetUp();
        ASSERT_TRUE(s_set && s_set->state.is_object()) << (s_set ? s_set->error : "");
        for (int i = 0; i < s_set->Size(); ++i)
            if (s_set->Host(i) == s_set->Primary())
                primary = i;
            else if (secondary < 0)
                secondary = i;
        ASSERT_GE(primary, 0);
        ASSERT_GE(secondary, 0);
        secIp = s_set->Ip(secondary);
        secPort = s_set->Port(secondary);
        secDbPath = s_set->Member(secondary)["dbpath"];
        RegisterInstance(s_set->Ip(primary), s_set->Port(primary));
        kit.SetBinPath(kKitBin);
    }

    void TearDown() override {
        // Whatever a test did, the next one finds every member unlocked.
        for (int i = 0; i < s_set->Size(); ++i)
            for (int n = 0; n < 4 && Locked(s_set->Ip(i), s_set->Port(i)); ++n)
                kit.UnQuiesceDB(s_set->Ip(i), s_set->Port(i));
    }

    bool Locked(const std::string& ip, int port) {
        bool locked = false;
        CZuError err = kit.GetDBLockStatus(ip, port, locked);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return locked;
    }
    bool SecondaryLocked() { return Locked(secIp, secPort); }

    // Inserts {marker: <marker>} into app.docs through the primary; `w` is the write concern.
    void Insert(const std::string& marker, int w) {
        MongoDbConnection primaryConnection;
        ASSERT_FALSE(primaryConnection.Connect(s_set->Ip(primary), s_set->Port(primary), "", ""));
        std::string reply;
        ASSERT_FALSE(primaryConnection.RunCommand(
            "app",
            "{\"insert\": \"docs\", \"documents\": [{\"marker\": \"" + marker +
                "\"}], \"writeConcern\": {\"w\": " + std::to_string(w) + ", \"wtimeout\": 20000}}",
            false, reply))
            << primaryConnection.GetLastErrorMsg();
        ASSERT_NE(reply.find("\"ok\""), std::string::npos) << reply;
    }

    App::MongoDBServer Server(int member, const std::string& setName = "rs0") const {
        App::MongoDBServer s;
        s.hostName = s_set->Ip(member);
        s.port = s_set->Port(member);
        s.dbPath = s_set->Member(member)["dbpath"];
        s.replicaSetName = setName;
        s.journalEnabled = 1;
        return s;
    }

    static std::string Payload(const std::vector<App::MongoDBServer>& servers) {
        App::MongoDBConfig config;
        config.clusterType = App::MongoClusterType::ReplicaSet;
        config.serverList = servers;
        return config.SerializeToXml();
    }

    // Whether any file under `dir` holds `text`.
    static bool TreeContains(const std::string& dir, const std::string& text) {
        std::vector<std::string> names;
        CZuDirectory::List(dir, names);
        for (const std::string& name : names) {
            const std::string path = FXPath::Join(dir, name);
            if (FXFile::IsSymlink(path)) continue;
            if (FXFile::IsDirectory(path) ? TreeContains(path, text)
                                          : ReadFileText(path).find(text) != std::string::npos)
                return true;
        }
        return false;
    }

    std::vector<VolumeSnapshot> JobSnapshots() const {
        std::vector<VolumeSnapshot> found;
        VolumeSnapQuery q;
        q.jobId = jobId;
        EXPECT_FALSE(SnapshotEngine::GetVolumeSnapshots(q, found).IsError());
        return found;
    }

    static inline KitReplicaSet* s_set = nullptr;
    static inline std::string s_dir;
    int primary = -1;
    int secondary = -1;
    std::string secIp;
    int secPort = 0;
    std::string secDbPath;
    MongoDbUtil kit;  // the test's own view of the members
};

}  // namespace MongoDbKax::testing
