// Job records, events and settings across runs and state roots; the job
// clients; stored procedure dispatch; the framing of messages.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "RunnerSupport.h"
#include "host/JobClient.h"
#include "host/JobManager.h"
#include "host/StoredProcedure.h"
#include "platform/FrameChannel.h"

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(JobRecords, PersistAcrossRunsAndStayInTheirStateRoot) {
    TestStateRoot a({"cs"}), b({"cs"});
    ASSERT_EQ(a.Kaxrun({"setting", "set", "Kestrix", "nMongoDbRecoveryConnectionAttemptInterval", "200"}).status, 0);
    ASSERT_EQ(a.RunTestPhase("restore", {"-scenario", "nolog"}).status, 0);
    ASSERT_EQ(a.RunTestPhase("restore", {"-scenario", "initfail"}).status, 1);
    ASSERT_EQ(b.RunTestPhase("restore", {"-scenario", "nolog"}).status, 0);

    // A later process sees what the earlier ones recorded.
    a.Use();
    std::vector<JobRecord> jobs;
    ASSERT_FALSE(JobStore::ListJobs(jobs).IsError());
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].id, 2);
    EXPECT_EQ(jobs[0].status, JobOutcome::Failed);
    EXPECT_EQ(jobs[1].status, JobOutcome::Completed);
    EXPECT_EQ(a.InfoTexts(1).back(), "complete phase=restore");
    EXPECT_TRUE(Contains(a.Kaxrun({"setting", "list"}).out, "nMongoDbRecoveryConnectionAttemptInterval"));

    b.Use();
    ASSERT_FALSE(JobStore::ListJobs(jobs).IsError());
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].status, JobOutcome::Completed);
    EXPECT_FALSE(Contains(b.Kaxrun({"jobs"}).out, "Failed"));
    EXPECT_FALSE(Contains(b.Kaxrun({"setting", "list"}).out, "nMongoDbRecoveryConnectionAttemptInterval"));
}

TEST(JobRecords, JobClientsKeepTheJobsValues) {
    TestStateRoot root;
    root.Use();
    JobRecord job;
    job.type = "backup";
    job.client = "cs";
    ASSERT_FALSE(JobStore::CreateJob(job).IsError());

    TWJobClient client;
    EXPECT_EQ(client.init("localhost", job.id + 1).GetErrorCode(), ZuCode::NotFound);
    ASSERT_FALSE(client.init("localhost", job.id).IsError());

    // Event arguments belong to the next pending cause only.
    client.addEventArgument("backup");
    client.addEventArgument("nodeA");
    ASSERT_FALSE(client.setPendingCauseAndEvent(0x07000114).IsError());
    ASSERT_FALSE(client.setPendingCauseAndEvent(0x070000F7).IsError());
    auto pending = root.Events(job.id, JobEventKind::Pending);
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].arguments, (std::vector<std::string>{"backup", "nodeA"}));
    EXPECT_TRUE(pending[1].arguments.empty());

    EXPECT_EQ(client.getRestartString(), "");
    ASSERT_FALSE(client.setRestartString("-o 3|-1").IsError());
    ASSERT_FALSE(client.setXmlBlob("<blob/>", 0).IsError());
    std::string blob;
    ASSERT_FALSE(client.getXmlBlob(blob, 2).IsError());
    EXPECT_EQ(blob, "<blob/>");
    EXPECT_EQ(TWJobClient().getRestartString(), "");  // an unbound client reads nothing

    auto jobClient = std::make_shared<TWJobClient>(client);
    auto control = std::make_shared<TWJobControlClient>();
    ASSERT_FALSE(control->init(job.id).IsError());
    EXPECT_FALSE(control->isQuitRequested());
    ASSERT_FALSE(control->setQuit(true).IsError());
    EXPECT_TRUE(control->isQuitRequested());

    TWBackupOperations operations(jobClient, control);
    operations.requestPostOpPhase();
    operations.concatPhaseParams(2, "-bypass -mongodb");
    operations.concatPhaseParams(2, "-lfjob 5");
    ASSERT_FALSE(operations.updateInfo().IsError());
    std::string params;
    bool requested = false;
    ASSERT_FALSE(JobStore::GetPhaseParams(job.id, 2, params).IsError());
    ASSERT_FALSE(JobStore::GetPostOpRequested(job.id, requested).IsError());
    EXPECT_EQ(params, "-bypass -mongodb -lfjob 5");
    EXPECT_TRUE(requested);

    std::string value;
    EXPECT_EQ(App::MiscOptions::getMiscOption(job.id, JM_MULTINDOE_PARTICIPATEDNODES, value).GetErrorCode(),
              ZuCode::NotFound);
    ASSERT_FALSE(App::MiscOptions::setMiscOption(job.id, JM_MULTINDOE_PARTICIPATEDNODES, "2,3").IsError());
    ASSERT_FALSE(App::MiscOptions::getMiscOption(job.id, JM_MULTINDOE_PARTICIPATEDNODES, value).IsError());
    EXPECT_EQ(value, "2,3");
    EXPECT_EQ(TWJobTask::GetJobOptionsXml(job.id, value).GetErrorCode(), ZuCode::NotFound);
}

TEST(StoredProcedures, DispatchByNameAndReportFailures) {
    App_ExecuteSP::RegisterProcedure("TestDouble", [](const CNMessageBase& request, CNMessageBase& response) {
        if (!request.Has("n")) return FXErrorUtil::ErrorWin32(FXLOC, 87, "no number in the request");
        response.SetTag("TestDoubleResponse");
        response.SetInt("n", request.GetInt("n") * 2);
        return CZuError();
    });
    CNMessageBase request("TestDoubleRequest");
    request.SetInt("n", 21);
    std::string xml;
    ASSERT_EQ(App_ExecuteSP::executeStoredProcedure("TestDouble", request.ToXml(), xml), 0) << xml;
    CNMessageBase response;
    ASSERT_FALSE(CNMessageBase::FromXml(xml, response).IsError());
    EXPECT_EQ(response.GetInt("n"), 42);

    EXPECT_EQ(App_ExecuteSP::executeStoredProcedure("TestDouble", CNMessageBase("Empty").ToXml(), xml), 87);
    EXPECT_TRUE(Contains(xml, "no number in the request"));
    EXPECT_EQ(App_ExecuteSP::executeStoredProcedure("NoSuchProcedure", request.ToXml(), xml), 1168);
    EXPECT_TRUE(Contains(xml, "NoSuchProcedure"));
    EXPECT_EQ(App_ExecuteSP::executeStoredProcedure("TestDouble", "not xml <", xml), 13);
}

class Framing : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, m_fds), 0); }
    void TearDown() override {
        if (m_fds[1] >= 0) close(m_fds[1]);
    }
    void WriteRaw(const std::string& bytes) { ASSERT_EQ(write(m_fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    static std::string Frame(const std::string& xml) {
        uint32_t n = uint32_t(xml.size());
        return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + xml;
    }
    int m_fds[2] = {-1, -1};
};

TEST_F(Framing, MessageSplitAcrossWritesArrivesWhole) {
    FrameChannel channel(m_fds[0]);
    CNMessageBase sent("Split");
    sent.Set("k", "v");
    std::string frame = Frame(sent.ToXml());
    WriteRaw(frame.substr(0, 3));
    CNMessageBase got;
    bool timedOut = false;
    EXPECT_EQ(channel.Receive(got, 100, timedOut).GetErrorCode(), FrameCode::Timeout);
    EXPECT_TRUE(timedOut);
    WriteRaw(frame.substr(3));
    ASSERT_FALSE(channel.Receive(got, 1000, timedOut).IsError());
    EXPECT_EQ(got.GetTag(), "Split");
    EXPECT_EQ(got.GetString("k"), "v");
}

TEST_F(Framing, BadFramesAreErrorsNotTimeOuts) {
    FrameChannel channel(m_fds[0]);
    CNMessageBase got;
    bool timedOut = false;
    WriteRaw(Frame("not xml <"));
    EXPECT_EQ(channel.Receive(got, 1000, timedOut).GetErrorCode(), ZuCode::InvalidData);
    WriteRaw(std::string{char(0x7F), 0, 0, 0});  // a length beyond any message
    EXPECT_EQ(channel.Receive(got, 1000, timedOut).GetErrorCode(), ZuCode::InvalidData);
    EXPECT_FALSE(timedOut);
}

TEST_F(Framing, PeerThatClosesIsEndOfStream) {
    FrameChannel channel(m_fds[0]);
    close(m_fds[1]);
    m_fds[1] = -1;
    CNMessageBase got;
    bool timedOut = false;
    EXPECT_EQ(channel.Receive(got, 1000, timedOut).GetErrorCode(), ZuCode::RemoteFailure);
    EXPECT_TRUE(channel.AtEof());
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(channel.Send(got, 1000, timedOut).GetErrorCode(), ZuCode::RemoteFailure);
}

}  // namespace
