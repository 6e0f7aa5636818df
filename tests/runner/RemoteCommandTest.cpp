// Remote commands: the utility process started for a client, one request and
// one reply, and time-outs told apart from failures. The utility here is a
// test program installed as "VADeverOREzuz" (fixtures/TestUtility.cpp).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "RunnerSupport.h"
#include "host/Network.h"

namespace {

constexpr uint32_t kTimeout = 1460;

class RemoteCommand : public testing::Test {
protected:
    void SetUp() override {
        m_root.Use();
        m_bin = std::filesystem::path(m_root.Path()).parent_path() / "bin";
        std::filesystem::create_directories(m_bin);
        std::filesystem::create_symlink(RUNNER_TEST_UTILITY, m_bin / "VADeverOREzuz");
        setenv("KAX_BIN", m_bin.c_str(), 1);
    }
    void TearDown() override { unsetenv("KAX_BIN"); }

    static CTwRemoteCommandRequest Request(const std::string& line) {
        CTwRemoteCommandRequest request;
        request.argumentLine = line;
        return request;
    }

    TestStateRoot m_root{{"cs", "nodeA"}};
    std::filesystem::path m_bin;
};

TEST_F(RemoteCommand, RoundTripRunsTheUtilityAsTheTargetClient) {
    CTwNetwork network;
    bool timedOut = true;
    // The target is named by its network host name; quoted arguments stay whole.
    CZuError err = network.Attach_RemoteCommand("127.0.10.2", Request("-echo -arg \"two words\""), timedOut, 10);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_FALSE(timedOut);

    CNMessageBase request("Request");
    request.Set("text", "hello");
    ASSERT_FALSE(network.SendXMLMessage(request, timedOut, 10).IsError());
    CNMessageBase reply;
    err = network.ReceiveXMLMessage(reply, timedOut, 30);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(reply.GetString("STATUS"), "SUCCESS");
    EXPECT_EQ(reply.GetString("text"), "hello");
    EXPECT_EQ(reply.GetString("focus"), "nodeA");
    EXPECT_EQ(reply.GetString("arg"), "two words");
    EXPECT_FALSE(network.Disconnect(10).IsError());
}

TEST_F(RemoteCommand, CommandThatNeverAnswersTimesOut) {
    CTwNetwork network;
    bool timedOut = false;
    ASSERT_FALSE(network.Attach_RemoteCommand("nodeA", Request("-silent"), timedOut, 10).IsError());
    CNMessageBase reply;
    CZuError err = network.ReceiveXMLMessage(reply, timedOut, 1);
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(err.GetErrorCode(), kTimeout);
    EXPECT_NE(network.GetLastErrorText().find("timed out"), std::string::npos);
    // The silent utility is ended rather than left behind.
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(network.Disconnect(0).IsError());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

struct AttachFailure {
    const char* name;
    const char* host;
    const char* program;
    const char* line;
    uint32_t code;
    const char* text;
};

class RemoteCommandAttach : public RemoteCommand, public testing::WithParamInterface<AttachFailure> {};

TEST_P(RemoteCommandAttach, FailsWithoutTimingOut) {
    const AttachFailure& c = GetParam();
    CTwNetwork network;
    CTwRemoteCommandRequest request = Request(c.line);
    request.programName = c.program;
    bool timedOut = true;
    CZuError err = network.Attach_RemoteCommand(c.host, request, timedOut, 10);
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(err.GetErrorCode(), c.code) << err.AsString();
    EXPECT_NE(network.GetLastErrorText().find(c.text), std::string::npos) << network.GetLastErrorText();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemoteCommandAttach,
    testing::Values(
        AttachFailure{"UtilityEndsBeforeAttaching", "nodeA", "VADeverOREzuz", "-noattach", 774,
                      "ended before attaching: exited with status 5"},
        AttachFailure{"ProgramThatIsNotInstalled", "nodeA", "NoSuchUtility", "", 774, "cannot run"},
        AttachFailure{"UnknownClient", "nosuch", "VADeverOREzuz", "-echo", 1168, "nosuch"},
        AttachFailure{"ProgramNameWithAPath", "nodeA", "../VADeverOREzuz", "-echo", 22, "invalid program name"}),
    [](const testing::TestParamInfo<AttachFailure>& info) { return info.param.name; });

}  // namespace
