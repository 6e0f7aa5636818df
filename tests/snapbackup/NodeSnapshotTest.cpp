// The node's snapshot of a kit secondary: locked while its volumes are
// copied, unlocked after, the copy holding exactly what the secondary held,
// and the completion carrying what the coordinator needs.
#include <chrono>
#include <ctime>
#include <map>
#include <thread>

#include "platform/IndexStore.h"
#include "snapbackup/SnapNodeEventIds.h"
#include "tests/snapbackup/SnapNodeKit.h"

namespace MongoDbKax::testing {
namespace {

class NodeSnapshotTest : public NodeKitTest {
protected:
    void TearDown() override {
        if (!journalLink.empty()) FXFile::Delete(journalLink);
        NodeKitTest::TearDown();
    }

    // A journal directory placed on another volume, as a link in the data path.
    void LinkJournalElsewhere() {
        journalVolume = root.File("journal-volume");
        ASSERT_FALSE(CZuDirectory::Create(journalVolume).IsError());
        WriteFile(journalVolume + "/j.0", "journal record");
        journalLink = secDbPath + "/journal";
        ASSERT_EQ(::symlink(journalVolume.c_str(), journalLink.c_str()), 0);
    }

    std::string journalVolume, journalLink;
};

TEST_F(NodeSnapshotTest, SnapshotsALockedSecondaryAndReportsWhatTheCoordinatorNeeds) {
    LinkJournalElsewhere();
    const int64_t before = int64_t(std::time(nullptr));
    Insert("marker-before-snapshot", 3);

    auto snap = std::make_shared<WatchedSnapBackup>();
    bool lockedDuringCopy = false;
    snap->whileLocked = [&] {
        lockedDuringCopy = SecondaryLocked();
        // A write the locked secondary must not take into its snapshot.
        Insert("marker-while-locked", 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    };
    NodeRun run;
    RunNode(Payload({Server(secondary)}), snap, run);
    ASSERT_FALSE(run.taskError.IsError()) << run.taskError.AsString();
    ASSERT_FALSE(run.doneError.IsError()) << run.doneError.AsString();
    EXPECT_TRUE(lockedDuringCopy);
    EXPECT_FALSE(SecondaryLocked());

    // The data: the copy of the data path holds what the secondary held
    // when it was locked, and nothing written after.
    const auto snapshots = JobSnapshots();
    ASSERT_EQ(snapshots.size(), 2u);
    std::map<std::string, VolumeSnapshot> byVolume;
    for (const auto& s : snapshots) byVolume[s.srcPath] = s;
    const VolumeSnapshot& data = byVolume.at(secDbPath);
    EXPECT_TRUE(TreeContains(data.storePath, "marker-before-snapshot"));
    EXPECT_FALSE(TreeContains(data.storePath, "marker-while-locked"));
    EXPECT_EQ(ReadFileText(byVolume.at(journalVolume).storePath + "/j.0"), "journal record");
    EXPECT_EQ(data.mountStatus, SnapMountStatus::Available) << "unmounted after indexing";
    // Unlocked, the secondary catches up with the primary.
    bool caughtUp = false;
    for (int i = 0; i < 100 && !caughtUp; ++i) {
        caughtUp = TreeContains(secDbPath, "marker-while-locked");
        if (!caughtUp) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(caughtUp);

    // The completion, pair by pair, in order.
    const auto& pairs = run.done.pairs;
    ASSERT_EQ(pairs.size(), 4u);
    const std::string member = secIp + ":" + std::to_string(secPort);
    EXPECT_EQ(pairs[0].first, "OplogLastEntryTSPerRepSet");
    const std::string prefix = "rs0:" + member + ":" + std::to_string(jobId) + ":";
    ASSERT_EQ(pairs[0].second.compare(0, prefix.size(), prefix), 0) << pairs[0].second;
    const int64_t timestamp = std::atoll(pairs[0].second.c_str() + prefix.size());
    EXPECT_GE(timestamp, before - 1);
    EXPECT_LE(timestamp, int64_t(std::time(nullptr)));
    EXPECT_EQ(pairs[1], (std::pair<std::string, std::string>{
                            "MountPathsPerRepSet", "rs0#" + secDbPath + "|," + journalVolume + "|" + journalLink}));
    EXPECT_EQ(pairs[2].first, "SecondaryLockWindowMs");
    const std::string windowPrefix = "rs0:" + member + ":";
    ASSERT_EQ(pairs[2].second.compare(0, windowPrefix.size(), windowPrefix), 0) << pairs[2].second;
    EXPECT_GE(std::atoll(pairs[2].second.c_str() + windowPrefix.size()), 300) << "the lock spans the copy";
    EXPECT_EQ(pairs[3].first, "OplogDumpStagingLocation");
    EXPECT_TRUE(FXFile::IsDirectory(pairs[3].second)) << pairs[3].second;

    // The index: data files under "/rs0" + their source path, bound to the
    // volume that holds them; never the server's lock file.
    std::vector<IndexEntry> entries;
    ASSERT_FALSE(IndexStore::ListEntries(jobId, "default", "/", entries).IsError());
    std::map<std::string, IndexEntry> byPath;
    for (const auto& e : entries) byPath[e.path] = e;
    EXPECT_EQ(byPath.count("/rs0" + secDbPath + "/mongod.lock"), 0u);
    EXPECT_EQ(byPath.count("/rs0" + secDbPath + "/storage.bson"), 1u);
    ASSERT_EQ(byPath.count("/rs0" + journalVolume + "/j.0"), 1u);
    EXPECT_EQ(byPath.at("/rs0" + journalVolume + "/j.0").archiveFileId, byVolume.at(journalVolume).archiveFileId);
    bool collectionIndexed = false;
    for (const auto& [path, e] : byPath)
        if (path.rfind("/rs0" + secDbPath + "/app/", 0) == 0 && !e.isDirectory) {
            collectionIndexed = true;
            EXPECT_EQ(e.archiveFileId, data.archiveFileId);
            EXPECT_TRUE(ReadFileText(e.sourcePath).find("marker-before-snapshot") != std::string::npos);
        }
    EXPECT_TRUE(collectionIndexed);

    // The information event of the replica set.
    bool reported = false;
    for (const auto& e : Events(JobEventKind::Info))
        if (e.messageId == SnapNodeEventIds::kSnapCompleted)
            reported = e.arguments == std::vector<std::string>{"rs0", secIp, std::to_string(secPort), secDbPath};
    EXPECT_TRUE(reported);
}

TEST_F(NodeSnapshotTest, WithQuiesceSkippedOnlyASecondaryWithoutJournalIsLocked) {
    SetSetting("bSkipMongoDBQuiesce", "true");
    struct Case {
        const char* what;
        bool journal;
        bool locked;
    };
    for (const Case& c : std::vector<Case>{{"journaled", true, false}, {"without journal", false, true}}) {
        App::MongoDBServer server = Server(secondary);
        server.journalEnabled = c.journal ? 1 : 0;
        auto snap = std::make_shared<WatchedSnapBackup>();
        bool lockedDuringCopy = !c.locked;
        snap->whileLocked = [&] { lockedDuringCopy = SecondaryLocked(); };
        NodeRun run;
        RunNode(Payload({server}), snap, run);
        ASSERT_FALSE(run.taskError.IsError()) << c.what << ": " << run.taskError.AsString();
        EXPECT_EQ(lockedDuringCopy, c.locked) << c.what;
        EXPECT_FALSE(SecondaryLocked()) << c.what;
        EXPECT_EQ(Values(run.done.pairs, "SecondaryLockWindowMs").size(), c.locked ? 1u : 0u) << c.what;
        // Without a lock, the lock file shows a restore how the files were left.
        std::vector<IndexEntry> entries;
        ASSERT_FALSE(IndexStore::ListEntries(jobId, "default", "/rs0" + secDbPath + "/mongod.lock", entries)
                         .IsError());
        EXPECT_EQ(entries.size(), c.locked ? 0u : 1u) << c.what;
        // The next case starts without this one's snapshots and entries.
        std::vector<std::pair<int64_t, int64_t>> ids;
        for (const auto& s : JobSnapshots()) ids.emplace_back(s.volumeId, s.snapshotId);
        ASSERT_FALSE(SnapshotEngine::DeleteSnapshots(clientId, ids).IsError());
    }
}

TEST_F(NodeSnapshotTest, AJournalFieldMissingFromThePayloadMeansJournaling) {
    SetSetting("bSkipMongoDBQuiesce", "true");
    std::string payload = Payload({Server(secondary)});
    const std::string field = "<pair name=\"journalEnabled\" value=\"1\" />";
    ASSERT_NE(payload.find(field), std::string::npos) << payload;
    payload.erase(payload.find(field), field.size());
    auto snap = std::make_shared<WatchedSnapBackup>();
    bool lockedDuringCopy = true;
    snap->whileLocked = [&] { lockedDuringCopy = SecondaryLocked(); };
    NodeRun run;
    RunNode(payload, snap, run);
    ASSERT_FALSE(run.taskError.IsError()) << run.taskError.AsString();
    EXPECT_FALSE(lockedDuringCopy);
}

TEST_F(NodeSnapshotTest, WithOplogDumpsOffNoOplogPositionIsReported) {
    SetSetting("bEnableMongoOpLogDumps", "false");
    NodeRun run;
    RunNode(Payload({Server(secondary)}), std::make_shared<MongoDbSnapBackup>(), run);
    ASSERT_FALSE(run.taskError.IsError()) << run.taskError.AsString();
    EXPECT_TRUE(Values(run.done.pairs, "OplogLastEntryTSPerRepSet").empty());
    EXPECT_EQ(Values(run.done.pairs, "MountPathsPerRepSet").size(), 1u);
    EXPECT_NE(ReadLog().find("MongoDB Oplog dumps disabled. Skip querying for Oplog last entry timestamp"),
              std::string::npos);
}

}  // namespace
}  // namespace MongoDbKax::testing
