#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "host/LogWriter.h"
#include "host/Platform.h"
#include "tests/support/TempStateRoot.h"

namespace {

TEST(PlatformTest, MissingStateRootIsAClearError) {
    TempStateRoot root;
    std::string missing = root.File("does-not-exist");
    ::setenv("KAX_ROOT", missing.c_str(), 1);
    CZuError err = TWPI_PlatformBase::InitProcess("test_platform");
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrorCode(), ZuCode::NotFound);
    EXPECT_EQ(err.GetMessage(), "state root [" + missing + "] does not exist");

    StateDb* db = nullptr;
    EXPECT_EQ(StateDb::Get(db).GetErrorCode(), ZuCode::NotFound);
    EXPECT_EQ(db, nullptr);
    std::string dir;
    EXPECT_TRUE(TWPI_CommClient::GetJobResultsDirectory("client1", dir).IsError());
    EXPECT_FALSE(FXFile::Exists(missing));  // nothing creates it behind the operator's back
}

TEST(PlatformTest, DefaultStateRoot) {
    const char* saved = ::getenv("KAX_ROOT");
    std::string previous = saved ? saved : "";
    ::unsetenv("KAX_ROOT");
    EXPECT_EQ(TWPI_PlatformBase::GetStateRoot(), "/var/lib/kaxagent");
    if (!previous.empty()) ::setenv("KAX_ROOT", previous.c_str(), 1);
}

TEST(PlatformTest, LogLinesCarryTimePidLevelFunctionAndLine) {
    TempStateRoot root;
    ASSERT_FALSE(TWPI_PlatformBase::InitProcess("/usr/bin/test_platform", "client1").IsError());
    EXPECT_EQ(TWPI_PlatformBase::GetLogFilePath(), root.File("logs/test_platform.log"));
    EXPECT_EQ(TWPI_Focus::getFocusClientName(), "client1");

    ZULOG_ERROR("an error %s %lld %llu %zu %.1f %lx", "text", -1LL, 2ULL, size_t(3), 4.5, 255UL);
    ZULOG(1, "too verbose for level 0");
    std::string log = ReadLog();
    std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )" + std::to_string(::getpid()) +
                    R"( \d+ -1 .*TestBody\(\):\d+ an error text -1 2 3 4\.5 ff\n)");
    EXPECT_TRUE(std::regex_search(log, line)) << log;
    EXPECT_EQ(log.find("too verbose"), std::string::npos);
}

TEST(PlatformTest, ConcurrentLinesStayWhole) {
    TempStateRoot root;
    ASSERT_FALSE(TWPI_PlatformBase::InitProcess("test_platform").IsError());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) ZULOG_NORMAL("thread %d line %d %s", t, i, std::string(300, 'x').c_str());
        });
    for (auto& thread : threads) thread.join();
    std::string log = ReadLog();
    size_t lines = 0;
    std::regex whole(R"(thread \d line \d+ x{300}$)");
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        std::string lineText = log.substr(start, end - start);
        if (lineText.find("thread ") != std::string::npos) {
            ++lines;
            EXPECT_TRUE(std::regex_search(lineText, whole)) << lineText;
        }
        start = end + 1;
    }
    EXPECT_EQ(lines, 800u);
}

TEST(PlatformTest, JobResultsDirectoryIsCreatedPerClient) {
    TempStateRoot root;
    std::string dir = TWPI_CommClient::getJobResultsDirectory("client1");
    EXPECT_EQ(dir, root.File("clients/client1/JobResults"));
    EXPECT_TRUE(FXFile::IsDirectory(dir));
    for (const char* bad : {"", ".", "..", "../escape", "a/b"}) {
        std::string refused;
        EXPECT_TRUE(TWPI_CommClient::GetJobResultsDirectory(bad, refused).IsError()) << bad;
        EXPECT_EQ(refused, "");
    }
    EXPECT_FALSE(FXFile::Exists(root.File("escape")));
}

}  // namespace
