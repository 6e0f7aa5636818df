// The shard records a finished snapshot backup writes: which snapshot
// (archive file) holds each replica set's data path and each of its mount
// paths, matched deepest volume first.
#include <gtest/gtest.h>

#include "CoordinatorTestSupport.h"
#include "host/MongoDBIndexRecords.h"
#include "host/SnapshotEngine.h"
#include "platform/IndexStore.h"
#include "platform/Settings.h"

using namespace MongoDbKax;
using namespace MongoDbKax::testing;

namespace {

class IndexMetadata : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(TWPI_PlatformBase::InitProcess("snapcoord-test").IsError());
        // The database view needs a live deployment; these cases are about the shard records.
        ASSERT_FALSE(TWSettings::Set("Kestrix", "bMongoDbEnableGranularRecovery", "false").IsError());
        TWClient node;
        node.name = node.shortName = "nodeA";
        node.networkHostName = "127.0.10.7";
        ASSERT_FALSE(TWClient::Save(node).IsError());
        nodeId = node.id;
        c = std::make_unique<DetachedCoordinator>();
        auto done = Done({{"OplogDumpStagingLocation", "/staging/nodeA"}});
        auto n = NodeNamed("nodeA", nodeId);
        ASSERT_FALSE(c->coordinator.ControllerDone(n, &done).IsError());
    }

    // A directory under the state root with one file in it.
    std::string Dir(const std::string& name) {
        const std::string dir = root.path + "/" + name;
        CZuDirectory::Create(dir);
        FXFile::WriteAll(dir + "/f", name);
        return dir;
    }

    uint64_t Snapshot(const std::string& path) {
        VolumeSnapshot s;
        s.jobId = c->jobId;
        s.attempt = 1;
        s.srcClientId = nodeId;
        s.srcPath = path;
        CZuError err = SnapshotEngine::CreateSnapshot(s);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return s.archiveFileId;
    }

    MongoRepSetInfo_t& Record(const std::string& dataPath, std::vector<std::string> mountPaths) {
        MongoRepSetInfo_t r = PlanRecord("rs0", "127.0.0.41", 27018);
        r.secondaryClientName = "nodeA";
        r.secondaryDataPath = dataPath;
        r.mountPaths = std::move(mountPaths);
        c->coordinator.GetPlan().push_back(r);
        return c->coordinator.GetPlan().back();
    }

    App::MongoDBShardInfo Written() {
        std::vector<IndexEntry> entries;
        EXPECT_FALSE(IndexStore::ListEntries(c->jobId, App::kShardViewName, "/", entries).IsError());
        App::MongoDBShardInfo shard;
        EXPECT_EQ(entries.size(), 1u);
        if (entries.size() == 1) {
            CNMessageBase metadata;
            EXPECT_FALSE(CNMessageBase::FromXml(entries[0].metadataXml, metadata).IsError());
            EXPECT_FALSE(shard.Unserialize(metadata.GetAllChildren().at(0)).IsError());
            EXPECT_EQ(entries[0].path, "/rs0");
        }
        return shard;
    }

    TempStateRoot root;
    uint64_t nodeId = 0;
    std::unique_ptr<DetachedCoordinator> c;
};

TEST_F(IndexMetadata, DataAndJournalOnTwoVolumesGiveTwoArchiveFilesAndTheDataOneIsTheRecords) {
    const std::string data = Dir("data"), journal = Dir("journals");
    const uint64_t dataFile = Snapshot(data), journalFile = Snapshot(journal);
    Record(data, {data + "|", journal + "|" + data + "/journal"});
    CZuError err = c->coordinator.createMongoDbMetadataInIndex();
    ASSERT_FALSE(err.IsError()) << err.AsString();
    const App::MongoDBShardInfo shard = Written();
    EXPECT_EQ(shard.archiveFileId, int64_t(dataFile));
    EXPECT_EQ(shard.nodeClientId, int64_t(nodeId));
    EXPECT_EQ(shard.oplogDumpStagingDir, "/staging/nodeA");
    EXPECT_EQ(shard.mountPathMap, "rs0#" + data + "||" + std::to_string(dataFile) + "," + journal + "|" + data +
                                      "/journal|" + std::to_string(journalFile));
    int64_t restart = 0;
    int done = 0;
    ASSERT_FALSE(IndexStore::GetIndexState(c->jobId, restart, done).IsError());
    EXPECT_EQ(restart, -1);
    EXPECT_EQ(done, 1);
}

TEST_F(IndexMetadata, TheDeepestVolumeMapsAPathBeforeAnAncestorVolume) {
    const std::string top = Dir("vol"), data = Dir("vol/data"), logs = Dir("vol/logs");
    const uint64_t topFile = Snapshot(top);
    const uint64_t dataFile = Snapshot(data);
    Record(data, {data + "|", logs + "|"});
    ASSERT_FALSE(c->coordinator.createMongoDbMetadataInIndex().IsError());
    const App::MongoDBShardInfo shard = Written();
    EXPECT_EQ(shard.archiveFileId, int64_t(dataFile));
    EXPECT_EQ(shard.mountPathMap, "rs0#" + logs + "||" + std::to_string(topFile) + "," + data + "||" +
                                      std::to_string(dataFile));
}

TEST_F(IndexMetadata, FailsWithoutWritingWhenAMountPathCannotBeUsed) {
    const std::string data = Dir("data");
    Snapshot(data);
    struct Case {
        const char* name;
        std::vector<std::string> mountPaths;
        const char* error;
    } cases[] = {
        {"an entry without a bar", {data}, "Found invalid mount path ["},
        {"a path no snapshot holds", {data + "|", "/elsewhere|"},
         "Internal errors. Could not map all mountpaths to their afiles, returning error"},
    };
    for (const auto& tc : cases) {
        c->coordinator.GetPlan().clear();
        Record(data, tc.mountPaths);
        CZuError err = c->coordinator.createMongoDbMetadataInIndex();
        EXPECT_NE(err.GetMessage().find(tc.error), std::string::npos) << tc.name << ": " << err.AsString();
        std::vector<IndexEntry> entries;
        ASSERT_FALSE(IndexStore::ListEntries(c->jobId, App::kShardViewName, "/", entries).IsError());
        EXPECT_TRUE(entries.empty()) << tc.name;
    }
}

TEST_F(IndexMetadata, ARecordWhoseNodeReportedAnEmptyStagingLocationFails) {
    const std::string data = Dir("data");
    Snapshot(data);
    Record(data, {data + "|"});
    auto empty = Done({{"OplogDumpStagingLocation", ""}});  // replaces the one reported in SetUp
    auto node = NodeNamed("nodeA", nodeId);
    ASSERT_FALSE(c->coordinator.ControllerDone(node, &empty).IsError());
    CZuError err = c->coordinator.createMongoDbMetadataInIndex();
    EXPECT_EQ(err.GetMessage(), "Found empty oplog dump staging info for node [" + std::to_string(nodeId) + "]");
}

}  // namespace
