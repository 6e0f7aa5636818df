#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/LogWriter.h"
#include "host/Process.h"
#include "tests/support/TempStateRoot.h"

namespace {

struct CommandCase {
    const char* what;
    const char* command;
    int status;
    const char* out;
    const char* err;
};

TEST(ProcessTest, StatusAndSeparateOutputs) {
    const CommandCase cases[] = {
        {"success", "echo hello", 0, "hello\n", ""},
        {"exit status", "echo partial; exit 3", 3, "partial\n", ""},
        {"program not found", "no_such_program_kax_test", 127, "", nullptr},
        {"separate streams", "echo to-out; echo to-err >&2", 0, "to-out\n", "to-err\n"},
        {"merged by the caller", "(echo a; echo b >&2) 2>&1", 0, "a\nb\n", ""},
        {"here-document", "cat <<'EOF'\nline one\n$NOT_EXPANDED\nEOF", 0, "line one\n$NOT_EXPANDED\n", ""},
        {"no inherited input", "cat; echo done", 0, "done\n", ""},
        {"killed by a signal", "kill -9 $$", 128 + 9, "", ""},
        {"quoting survives", "printf '%s|' 'a b' \"c'd\"", 0, "a b|c'd|", ""},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::string out, err;
        EXPECT_EQ(TwProcess::system(c.command, out, err), c.status);
        EXPECT_EQ(out, c.out);
        if (c.err) {
            EXPECT_EQ(err, c.err);
        }
    }
}

TEST(ProcessTest, NotFoundMessageGoesToStandardError) {
    std::string out, err;
    EXPECT_EQ(TwProcess::system("no_such_program_kax_test --x", out, err), 127);
    EXPECT_NE(err.find("no_such_program_kax_test"), std::string::npos);
}

TEST(ProcessTest, LargeOutputOnBothStreamsDoesNotDeadlock) {
    // Megabytes on standard error before any standard output: a reader that
    // waited for standard output first would never see the child finish.
    std::string out, err;
    int status = TwProcess::system(
        "head -c 3000000 /dev/zero | tr '\\0' e >&2; head -c 3000000 /dev/zero | tr '\\0' o", out, err);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.size(), 3000000u);
    EXPECT_EQ(err.size(), 3000000u);
    EXPECT_EQ(out.find_first_not_of('o'), std::string::npos);
    EXPECT_EQ(err.find_first_not_of('e'), std::string::npos);
}

TEST(ProcessTest, SecretCommandNeverReachesTheLog) {
    TempStateRoot root;
    ASSERT_FALSE(FXFile::WriteAll(root.File("settings.ini"), "[Kestrix]\nnLogLevel = 7\n").IsError());
    ASSERT_FALSE(TWPI_PlatformBase::InitProcess("test_platform").IsError());

    std::string out, err;
    EXPECT_EQ(TwProcess::system("echo visible-marker-8731", out, err), 0);
    EXPECT_EQ(TwProcess::system("cat <<'EOF'\nsecret-marker-5524\nEOF\nexit 4", out, err, 0, true), 4);
    EXPECT_EQ(out, "secret-marker-5524\n");
    EXPECT_EQ(TwProcess::system("no_such_program secret-marker-5524", out, err, 0, true), 127);

    std::string log = ReadLog();
    EXPECT_NE(log.find("visible-marker-8731"), std::string::npos);  // the log works at this level
    EXPECT_NE(log.find("<command withheld>"), std::string::npos);
    EXPECT_EQ(log.find("secret-marker-5524"), std::string::npos);
}

// Any user can read a process's argument vector, so a secret command must
// not be in the shell's, nor in that of the programs it starts.
TEST(ProcessTest, SecretCommandIsNotInAnyArgumentVector) {
    std::string out, err;
    const std::string command =
        "tr '\\0' ' ' < /proc/$$/cmdline; echo; sh -c 'tr \"\\\\0\" \" \" < /proc/$$/cmdline'\n"
        "# secret-marker-9917\n";
    EXPECT_EQ(TwProcess::system(command, out, err, 0, true), 0) << err;
    EXPECT_EQ(out.find("secret-marker-9917"), std::string::npos) << out;
    EXPECT_NE(out.find("/bin/sh"), std::string::npos) << out;
    // The shell's script descriptor is not handed on to the programs it runs.
    EXPECT_EQ(TwProcess::system("test -e /proc/self/fd/3 && echo inherited || echo closed", out, err, 0, true), 0);
    EXPECT_EQ(out, "closed\n");
}

TEST(ProcessTest, SecretScriptsOfAnySizeAndEarlyExitsAreHandled) {
    std::string out, err;
    std::string big = "x=1\n";
    while (big.size() < 300000) big += "# filler line that makes the script larger than a pipe buffer\n";
    EXPECT_EQ(TwProcess::system(big + "echo done", out, err, 0, true), 0);
    EXPECT_EQ(out, "done\n");
    // The shell stops reading long before the end; we must not die of SIGPIPE.
    EXPECT_EQ(TwProcess::system("exit 3\n" + big, out, err, 0, true), 3);
}

TEST(ProcessTest, ForkRunsTheEntryInTheChild) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    char errorText[120] = "";
    pid_t pid = TwProcess::Fork(
        [&] {
            ::close(pipeFds[0]);
            return ::write(pipeFds[1], "child", 5) == 5 ? 7 : 1;
        },
        errorText, sizeof errorText);
    ASSERT_GT(pid, 0) << errorText;
    ::close(pipeFds[1]);
    char buffer[8] = "";
    EXPECT_EQ(::read(pipeFds[0], buffer, sizeof buffer), 5);
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(std::string(buffer, 5), "child");
}

}  // namespace
