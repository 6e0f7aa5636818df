// The snapshot engine: what a copy holds, how snapshots are recorded, found,
// mounted and deleted, and that a failed or stopped copy leaves nothing.
#include <sys/socket.h>
#include <sys/un.h>

#include "host/ArchiveManager.h"
#include "host/SnapshotEngine.h"
#include "platform/IndexStore.h"
#include "tests/snapbackup/SnapNodeSupport.h"

namespace MongoDbKax::testing {
namespace {

class SnapEngineTest : public SnapNodeTest {
protected:
    void SetUp() override {
        SnapNodeTest::SetUp();
        volume = root.File("volume");
        ASSERT_FALSE(CZuDirectory::Create(volume + "/sub").IsError());
    }

    VolumeSnapshot Snapshot(const std::string& path, int attempt = 1, uint64_t client = 0, int64_t job = 0) {
        VolumeSnapshot s;
        s.jobId = job ? job : jobId;
        s.attempt = attempt;
        s.marlexId = kMarlexId;
        s.srcClientId = client ? client : clientId;
        s.srcPath = path;
        CZuError err = SnapshotEngine::CreateSnapshot(s);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return s;
    }

    std::vector<VolumeSnapshot> Query(VolumeSnapQuery q) {
        std::vector<VolumeSnapshot> found;
        CZuError err = SnapshotEngine::GetVolumeSnapshots(q, found);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return found;
    }

    std::vector<std::string> StoreEntries() {
        std::vector<std::string> names;
        CZuDirectory::List(SnapshotEngine::GetStoreRoot(), names);
        return names;
    }

    std::string volume;
};

TEST_F(SnapEngineTest, CopyKeepsContentModesAndLinksAndLeavesOutSocketsAndPipes) {
    WriteFile(volume + "/a.wt", "collection bytes");
    ::chmod((volume + "/a.wt").c_str(), 0640);
    WriteFile(volume + "/sub/b.wt", std::string(3 * 1024 * 1024, 'x'));
    ASSERT_EQ(::symlink("a.wt", (volume + "/relative").c_str()), 0);
    ASSERT_EQ(::symlink("/elsewhere/journal", (volume + "/journal").c_str()), 0);
    ASSERT_EQ(::mkfifo((volume + "/pipe").c_str(), 0600), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = volume + "/mongodb-27017.sock";
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sockPath.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    VolumeSnapshot s = Snapshot(volume);
    ::close(sock);
    ASSERT_GT(s.snapshotId, 0);
    EXPECT_EQ(s.volumeId, s.snapshotId);
    EXPECT_EQ(ReadFileText(s.storePath + "/a.wt"), "collection bytes");
    EXPECT_EQ(ReadFileText(s.storePath + "/sub/b.wt").size(), 3u * 1024 * 1024);
    struct stat st;
    ASSERT_EQ(::stat((s.storePath + "/a.wt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::string target;
    ASSERT_FALSE(FXFile::ResolveLink(s.storePath + "/journal", target).IsError());
    EXPECT_EQ(target, "/elsewhere/journal") << "links are copied as links, never followed";
    ASSERT_TRUE(FXFile::IsSymlink(s.storePath + "/relative"));
    EXPECT_FALSE(FXFile::Exists(s.storePath + "/pipe"));
    EXPECT_FALSE(FXFile::Exists(s.storePath + "/mongodb-27017.sock"));
    EXPECT_EQ(s.files, 2u);
    EXPECT_EQ(s.bytes, 16u + 3u * 1024 * 1024);

    // Its own archive file of the job, holding snapshot data.
    std::vector<ArchiveFileInfo> afiles;
    ASSERT_FALSE(ArMgrClientAPI::getArchFileListForJob(kMarlexId, jobId, afiles).IsError());
    ASSERT_EQ(afiles.size(), 1u);
    EXPECT_EQ(afiles[0].archiveFileId, s.archiveFileId);
    EXPECT_TRUE(afiles[0].isSnapshotData);
    EXPECT_EQ(afiles[0].clientId, clientId);
    // The copy is not touched by later changes of the volume.
    WriteFile(volume + "/a.wt", "changed later");
    EXPECT_EQ(ReadFileText(s.storePath + "/a.wt"), "collection bytes");
}

TEST_F(SnapEngineTest, AVolumeGivenAsLinkIsCopiedFromWhereItLeads) {
    WriteFile(volume + "/a.wt", "data");
    const std::string link = root.File("dblink");
    ASSERT_EQ(::symlink(volume.c_str(), link.c_str()), 0);
    VolumeSnapshot s = Snapshot(link);
    EXPECT_FALSE(FXFile::IsSymlink(s.storePath));
    EXPECT_EQ(ReadFileText(s.storePath + "/a.wt"), "data");
}

TEST_F(SnapEngineTest, AVolumeHoldingTheStoreDoesNotCopyTheStoreIntoItself) {
    WriteFile(volume + "/a.wt", "data");
    Snapshot(volume);
    VolumeSnapshot whole = Snapshot(root.path);  // the state root holds the store
    EXPECT_EQ(ReadFileText(whole.storePath + "/volume/a.wt"), "data");
    EXPECT_FALSE(FXFile::Exists(whole.storePath + "/snapstore"));
}

TEST_F(SnapEngineTest, QueriesSelectByJobAttemptClientAndArchiveFile) {
    WriteFile(volume + "/a.wt", "data");
    TWClient other;
    other.name = other.shortName = "nodeB";
    ASSERT_FALSE(TWClient::Save(other).IsError());
    JobRecord otherJob;
    otherJob.type = "backup";
    ASSERT_FALSE(JobStore::CreateJob(otherJob).IsError());

    const VolumeSnapshot first = Snapshot(volume, 1);
    Snapshot(volume, 2);
    Snapshot(volume, 1, other.id);
    Snapshot(volume, 1, 0, otherJob.id);

    struct Case {
        const char* what;
        VolumeSnapQuery query;
        size_t expected;
    };
    VolumeSnapQuery byJob;
    byJob.jobId = jobId;
    VolumeSnapQuery bySnapJob;  // the snapshot job id alone also names the job
    bySnapJob.jobId = 999999;
    bySnapJob.snapJobId = jobId;
    VolumeSnapQuery byAttempt = byJob;
    byAttempt.attempt = 1;
    VolumeSnapQuery byClient = byJob;
    byClient.srcClientId = other.id;
    VolumeSnapQuery byAfile = byJob;
    byAfile.archiveFileId = first.archiveFileId;
    VolumeSnapQuery withCallerFlags = byJob;  // selectors that do not narrow
    withCallerFlags.retrievalFlags = 1053;
    withCallerFlags.actionFlags = 2;
    withCallerFlags.marlexId = kMarlexId;
    VolumeSnapQuery otherMarlex = byJob;
    otherMarlex.marlexId = kMarlexId + 1;
    for (const Case& c : std::vector<Case>{{"job", byJob, 3},
                                           {"snapshot job", bySnapJob, 3},
                                           {"attempt", byAttempt, 2},
                                           {"client", byClient, 1},
                                           {"archive file", byAfile, 1},
                                           {"caller's flags", withCallerFlags, 3},
                                           {"other marlex id", otherMarlex, 0}})
        EXPECT_EQ(Query(c.query).size(), c.expected) << c.what;

    std::vector<VolumeSnapshot> none;
    EXPECT_EQ(SnapshotEngine::GetVolumeSnapshots(VolumeSnapQuery(), none).GetErrorCode(), ZuCode::InvalidArgument);
}

TEST_F(SnapEngineTest, MountExposesTheCopyAndUnmountWithdrawsIt) {
    WriteFile(volume + "/a.wt", "data");
    VolumeSnapshot s = Snapshot(volume);
    EXPECT_EQ(s.mountStatus, SnapMountStatus::Available);
    ASSERT_FALSE(SnapshotEngine::MountVolume(s).IsError());
    EXPECT_EQ(s.mountStatus, SnapMountStatus::Mounted);
    EXPECT_EQ(ReadFileText(s.mountPath + "/a.wt"), "data");
    VolumeSnapQuery q;
    q.jobId = jobId;
    EXPECT_EQ(Query(q).at(0).mountPath, s.mountPath);
    ASSERT_FALSE(SnapshotEngine::UnmountVolume(s).IsError());
    EXPECT_EQ(s.mountPath, "");
    EXPECT_EQ(Query(q).at(0).mountStatus, SnapMountStatus::Available);
}

TEST_F(SnapEngineTest, DeleteRemovesCopyRecordArchiveFileAndItsIndexEntriesOnly) {
    WriteFile(volume + "/a.wt", "data");
    VolumeSnapshot gone = Snapshot(volume);
    VolumeSnapshot kept = Snapshot(volume);
    for (const VolumeSnapshot* s : {&gone, &kept}) {
        IndexEntry entry;
        entry.jobId = jobId;
        entry.archiveFileId = s->archiveFileId;
        entry.path = "/rs0/data/" + std::to_string(s->archiveFileId);
        ASSERT_FALSE(IndexStore::AddEntry(entry).IsError());
    }

    // Pairs of another client, or that name nothing, delete nothing.
    EXPECT_FALSE(SnapshotEngine::DeleteSnapshots(clientId + 100, {{gone.volumeId, gone.snapshotId}}).IsError());
    EXPECT_FALSE(SnapshotEngine::DeleteSnapshots(clientId, {{4242, 4242}}).IsError());
    EXPECT_TRUE(FXFile::Exists(gone.storePath));

    ASSERT_FALSE(SnapshotEngine::DeleteSnapshots(clientId, {{gone.volumeId, gone.snapshotId}}).IsError());
    EXPECT_FALSE(FXFile::Exists(gone.storePath));
    EXPECT_TRUE(FXFile::Exists(kept.storePath));
    VolumeSnapQuery q;
    q.jobId = jobId;
    const auto left = Query(q);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].snapshotId, kept.snapshotId);
    std::vector<ArchiveFileInfo> afiles;
    ASSERT_FALSE(ArMgrClientAPI::getArchFileListForJob(kMarlexId, jobId, afiles).IsError());
    ASSERT_EQ(afiles.size(), 1u);
    EXPECT_EQ(afiles[0].archiveFileId, kept.archiveFileId);
    std::vector<IndexEntry> entries;
    ASSERT_FALSE(IndexStore::ListEntries(jobId, "default", "/", entries).IsError());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].archiveFileId, kept.archiveFileId);
}

TEST_F(SnapEngineTest, StoppedOrFailedCopiesLeaveNothingBehind) {
    WriteFile(volume + "/a.wt", "data");
    WriteFile(volume + "/sub/b.wt", "more");
    VolumeSnapshot stopped;
    stopped.jobId = jobId;
    stopped.srcClientId = clientId;
    stopped.srcPath = volume;
    EXPECT_EQ(SnapshotEngine::CreateSnapshot(stopped, [] { return true; }).GetErrorCode(), ZuCode::QuitRequested);

    VolumeSnapshot missing = stopped;
    missing.srcPath = volume + "/no-such-directory";
    EXPECT_EQ(SnapshotEngine::CreateSnapshot(missing).GetErrorCode(), ZuCode::NotFound);

    VolumeSnapshot noJob = stopped;
    noJob.jobId = 0;
    EXPECT_EQ(SnapshotEngine::CreateSnapshot(noJob).GetErrorCode(), ZuCode::InvalidArgument);

    EXPECT_TRUE(StoreEntries().empty());
    VolumeSnapQuery q;
    q.jobId = jobId;
    EXPECT_TRUE(Query(q).empty());
    std::vector<ArchiveFileInfo> afiles;
    ASSERT_FALSE(ArMgrClientAPI::getArchFileListForJob(kMarlexId, jobId, afiles).IsError());
    EXPECT_TRUE(afiles.empty());
}

}  // namespace
}  // namespace MongoDbKax::testing
