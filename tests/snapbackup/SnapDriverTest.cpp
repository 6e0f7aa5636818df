// The snapshot driver: the order of the steps, the unquiesce after every
// quiesce, the clean-up of a failed run and the "default" file index.
#include <map>
#include <stdexcept>

#include "host/DBSnapBackup.h"
#include "platform/IndexStore.h"
#include "tests/snapbackup/SnapNodeSupport.h"

namespace MongoDbKax::testing {
namespace {

// A database module whose steps record that they ran and fail on demand.
class ScriptedSnap : public DBSnapBackup {
public:
    int FindDataPaths() override {
        for (const auto& v : volumes) AddMountPath(v);
        return Step("FindDataPaths");
    }
    int FetchDBList() override { return Step("FetchDBList"); }
    int CreateSnapEntityList() override {
        for (const auto& [source, index] : files)
            if (AddFileToList(source, index, "")) return -1;
        return Step("CreateSnapEntityList");
    }
    int QuiesceDB() override { return Step("QuiesceDB"); }
    int UnQuiesceDB() override {
        skipFlagAtUnquiesce = GetSkipFlag();
        return Step("UnQuiesceDB");
    }
    int CreateSnapShot() override {
        Step("CreateSnapShot");
        return DBSnapBackup::CreateSnapShot();
    }
    int PrepareIndex() override { return Step("PrepareIndex"); }
    int CreateIndex() override {
        Step("CreateIndex");
        return failing == "CreateIndex" ? -1 : DBSnapBackup::CreateIndex();
    }

    int Step(const std::string& name) {
        steps.push_back(name);
        if (name == throwing) throw std::runtime_error("broken step");
        return name == failing ? -1 : 0;
    }

    std::vector<std::string> volumes;
    std::vector<std::pair<std::string, std::string>> files;  // source path, index path
    std::string failing;
    std::string throwing;
    std::vector<std::string> steps;
    bool skipFlagAtUnquiesce = false;
};

class SnapDriverTest : public SnapNodeTest {
protected:
    void SetUp() override {
        SnapNodeTest::SetUp();
        data = root.File("data");
        ASSERT_FALSE(CZuDirectory::Create(data + "/db/journal").IsError());
        WriteFile(data + "/db/coll.wt", "collection");
        WriteFile(data + "/db/journal/j.1", "journal");
        snap.volumes = {data + "/db", data + "/db/journal"};
        snap.files = {{data + "/db/coll.wt", "/rs0" + data + "/db/coll.wt"},
                      {data + "/db/journal/j.1", "/rs0" + data + "/db/journal/j.1"}};
        const auto argv = NodeArgv(1);
        const auto raw = Pointers(argv);
        auto jobClient = std::make_shared<TWBackupJobClient>();
        ASSERT_FALSE(jobClient->init("localhost", jobId).IsError());
        auto control = std::make_shared<TWJobControlClient>();
        ASSERT_FALSE(control->init(jobId).IsError());
        ASSERT_EQ(snap.Initialize(int(raw.size()), raw.data(), jobClient, control), 0);
    }

    size_t StoredSnapshots() {
        std::vector<VolumeSnapshot> found;
        VolumeSnapQuery q;
        q.jobId = jobId;
        EXPECT_FALSE(SnapshotEngine::GetVolumeSnapshots(q, found).IsError());
        return found.size();
    }

    std::string data;
    ScriptedSnap snap;
};

TEST_F(SnapDriverTest, RunsTheStepsInOrderAndIndexesEachFileAgainstItsDeepestVolume) {
    CZuError err = snap.RunSnapBackup();
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(snap.steps, (std::vector<std::string>{"FindDataPaths", "FetchDBList", "CreateSnapEntityList",
                                                    "QuiesceDB", "CreateSnapShot", "UnQuiesceDB", "PrepareIndex",
                                                    "CreateIndex"}));
    EXPECT_FALSE(snap.skipFlagAtUnquiesce);
    EXPECT_EQ(snap.GetAttempt(), 1);
    EXPECT_EQ(snap.GetSourceClientId(), clientId);
    ASSERT_EQ(snap.GetSnapshots().size(), 2u);
    const VolumeSnapshot& db = snap.GetSnapshots()[0];
    const VolumeSnapshot& journal = snap.GetSnapshots()[1];

    std::vector<IndexEntry> entries;
    ASSERT_FALSE(IndexStore::ListEntries(jobId, "default", "/", entries).IsError());
    std::map<std::string, IndexEntry> byPath;
    for (const auto& e : entries) byPath[e.path] = e;
    const IndexEntry& coll = byPath.at("/rs0" + data + "/db/coll.wt");
    EXPECT_EQ(coll.archiveFileId, db.archiveFileId);
    EXPECT_EQ(coll.size, 10);
    EXPECT_EQ(ReadFileText(coll.sourcePath), "collection") << "the entry leads to the data in the copy";
    const IndexEntry& j = byPath.at("/rs0" + data + "/db/journal/j.1");
    EXPECT_EQ(j.archiveFileId, journal.archiveFileId) << "the deeper volume holds the journal";
    EXPECT_EQ(ReadFileText(j.sourcePath), "journal");
    for (const std::string& folder : std::vector<std::string>{"/rs0", "/rs0" + data, "/rs0" + data + "/db/journal"}) {
        ASSERT_TRUE(byPath.count(folder)) << folder;
        EXPECT_TRUE(byPath.at(folder).isDirectory) << folder;
    }
}

TEST_F(SnapDriverTest, UnquiesceFollowsEveryQuiesceAndAFailedRunKeepsNoSnapshot) {
    struct Case {
        const char* failing;
        std::vector<std::string> volumes;  // empty: the usual two
        const char* expectedInError;
        bool unquiesced;
        bool skipFlag;
    };
    const std::vector<Case> cases = {
        {"QuiesceDB", {}, "QuiesceDB failed", true, true},
        {"", {"/no/such/volume"}, "does not exist", true, true},
        {"UnQuiesceDB", {}, "UnQuiesceDB failed", true, false},
        {"CreateIndex", {}, "CreateIndex failed", true, false},
        {"FindDataPaths", {}, "FindDataPaths failed", false, false},
    };
    const std::vector<std::string> usual = snap.volumes;
    for (const Case& c : cases) {
        snap.steps.clear();
        snap.failing = c.failing;
        snap.volumes = c.volumes.empty() ? usual : c.volumes;
        CZuError err = snap.RunSnapBackup();
        ASSERT_TRUE(err.IsError()) << c.failing;
        EXPECT_NE(err.AsString().find(c.expectedInError), std::string::npos) << err.AsString();
        const bool unquiesced =
            std::find(snap.steps.begin(), snap.steps.end(), "UnQuiesceDB") != snap.steps.end();
        EXPECT_EQ(unquiesced, c.unquiesced) << c.failing;
        if (unquiesced) {
            EXPECT_EQ(snap.skipFlagAtUnquiesce, c.skipFlag) << c.failing;
        }
        EXPECT_EQ(StoredSnapshots(), 0u) << c.failing;
        EXPECT_TRUE(snap.GetSnapshots().empty()) << c.failing;
    }
}

TEST_F(SnapDriverTest, AStepThatThrowsFailsTheRunAndStillUnquiesces) {
    snap.throwing = "CreateSnapShot";
    CZuError err = snap.RunSnapBackup();
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(snap.steps.back(), "UnQuiesceDB");
    EXPECT_NE(ReadLog().find("Snap failed with an exception: broken step"), std::string::npos);
}

TEST_F(SnapDriverTest, AStopRequestEndsTheCopyAndStillUnquiesces) {
    snap.RequestStop();
    CZuError err = snap.RunSnapBackup();
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrorCode(), ZuCode::QuitRequested) << err.AsString();
    EXPECT_EQ(snap.steps.back(), "UnQuiesceDB");
    EXPECT_TRUE(snap.skipFlagAtUnquiesce);
    EXPECT_EQ(StoredSnapshots(), 0u);
}

TEST_F(SnapDriverTest, TheJobsQuitFlagStopsItToo) {
    ASSERT_FALSE(JobStore::SetQuit(jobId, true).IsError());
    EXPECT_EQ(snap.RunSnapBackup().GetErrorCode(), ZuCode::QuitRequested);
}

}  // namespace
}  // namespace MongoDbKax::testing
