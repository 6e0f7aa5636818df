// The operator's commands as a new user tries them.
#include <gtest/gtest.h>

#include "RunnerSupport.h"
#include "host/Entities.h"
#include "host/Files.h"
#include "host/Password.h"

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class HelpOfEveryCommand : public testing::TestWithParam<const char*> {};

TEST_P(HelpOfEveryCommand, PrintsUsageWithoutAStateRoot) {
    std::vector<std::string> args{"--root", "/nonexistent/kaxrun-root"};
    for (auto& word : FXString::SplitArguments(GetParam(), " ", 0)) args.push_back(word);
    args.push_back("--help");
    KaxrunResult r = RunKaxrun(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, std::string("Usage: kaxrun [--root DIR] ") + GetParam())) << r.out;
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Commands, HelpOfEveryCommand,
                         testing::Values("init", "client register", "client list", "instance register",
                                         "instance list", "setting set", "setting unset", "setting list", "run",
                                         "jobs", "job show"));

TEST(OperatorCommands, OverviewListsTheCommands) {
    KaxrunResult r = RunKaxrun({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* command : {"init", "client register", "instance register", "run", "job show"})
        EXPECT_TRUE(Contains(r.out, command)) << command;
}

struct FailureCase {
    const char* name;
    std::vector<std::string> args;  // after "--root <root>"; "@module" is the test module
    int status;
    const char* message;            // part of the one line on standard error
};

class CommandFailures : public testing::TestWithParam<FailureCase> {};

TEST_P(CommandFailures, EndWithOneClearLine) {
    static TestStateRoot root({"cs"});
    const FailureCase& c = GetParam();
    std::vector<std::string> args;
    for (const auto& a : c.args) args.push_back(a == "@module" ? std::string(RUNNER_TEST_MODULE) : a);
    KaxrunResult r = root.Kaxrun(args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_EQ(LineCount(r.err), 1) << r.err;
    EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandFailures,
    testing::Values(
        FailureCase{"WrongOption", {"client", "register", "x", "--bogus"}, 2, "unknown option --bogus"},
        FailureCase{"OptionWithoutValue", {"client", "register", "x", "--host"}, 2, "option --host needs a value"},
        FailureCase{"UnknownCommand", {"frobnicate"}, 2, "unknown command \"frobnicate\""},
        FailureCase{"UnknownSubcommand", {"client", "remove"}, 2, "unknown subcommand \"remove\""},
        FailureCase{"MissingArgument", {"job", "show"}, 2, "missing argument"},
        FailureCase{"NoSuchJob", {"job", "show", "99"}, 1, "there is no job 99"},
        FailureCase{"BadJobId", {"job", "show", "x"}, 1, "invalid job id [x]"},
        FailureCase{"ClientNameThatIsAPath", {"client", "register", "../evil"}, 1, "invalid client name [../evil]"},
        FailureCase{"InstanceOnUnknownClient", {"instance", "register", "rs9", "--client", "nosuch"}, 1,
                    "the master node's client [nosuch] is not registered"},
        FailureCase{"RunWithoutClient", {"run", "backup"}, 1, "give the coordinating client"},
        FailureCase{"RunOnUnknownClient", {"run", "backup", "--client", "nosuch"}, 1, "client nosuch is not registered"},
        FailureCase{"PhaseTheModuleDoesNotServe", {"run", "ifrestore", "--client", "cs", "--module", "@module"}, 1,
                    "the module does not serve phase [ifrestore]"},
        FailureCase{"ModuleThatIsMissing", {"run", "backup", "--client", "cs", "--module", "/nonexistent.so"}, 1,
                    "cannot load the module [/nonexistent.so]"},
        FailureCase{"PasswordSettingOnTheCommandLine", {"setting", "set", "Kestrix", "pMongoSSLClientPEMKeyPassword", "x"},
                    1, "leave out the value"},
        FailureCase{"SettingWithoutTypePrefix", {"setting", "set", "Kestrix", "LogLevel", "2"}, 1, "LogLevel"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(OperatorCommands, MissingStateRootIsNamedWithTheCommandThatCreatesIt) {
    KaxrunResult r = RunKaxrun({"--root", "/nonexistent/kaxrun-root", "jobs"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kaxrun: no state root at /nonexistent/kaxrun-root (create one with: kaxrun --root "
                     "/nonexistent/kaxrun-root init)\n");
}

TEST(OperatorCommands, FreshStateRootHasAnEmptyJobTable) {
    TestStateRoot root;
    KaxrunResult r = root.Kaxrun({"jobs"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "No jobs yet (start one with: kaxrun run PHASE)\n");
    KaxrunResult again = root.Kaxrun({"init"});
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(Contains(again.out, "already initialised"));
}

TEST(OperatorCommands, RegisteringAnInstanceStoresThePasswordEncryptedOnly) {
    const std::string password = "S3cret-Pass!";
    TestStateRoot root({"cs", "nodeA"});
    KaxrunResult r = root.Kaxrun({"instance", "register", "rs0", "--client", "cs", "--port", "27101", "--user",
                                  "admin", "--bin-path", "/opt/mongo/bin", "--os-user", "mongod", "--app", "2:1",
                                  "--data-access", "127.0.10.2:27102"},
                                 password + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "Registered MongoDB instance rs0"));

    KaxrunResult list = root.Kaxrun({"instance", "list"});
    EXPECT_EQ(list.status, 0);
    for (const char* shown : {"rs0", "cs", "127.0.10.1:27101", "admin", "/opt/mongo/bin", "mongod", "2:1",
                              "127.0.10.2:27102"})
        EXPECT_TRUE(Contains(list.out, shown)) << shown << "\n" << list.out;
    EXPECT_FALSE(Contains(list.out, password));
    // The instance's pseudo-client is not a machine.
    EXPECT_FALSE(Contains(root.Kaxrun({"client", "list"}).out, "rs0"));

    root.Use();
    MongoDBInstance instance;
    ASSERT_FALSE(MongoDBInstance::ById(1, instance).IsError());
    std::string clear;
    EXPECT_NE(instance.encryptedDbPassword, password);
    ASSERT_TRUE(TWPassword::decrypt(instance.encryptedDbPassword, clear));
    EXPECT_EQ(clear, password);
    for (const char* file : {"state.db", "state.db-wal", "logs/kaxrun.log"}) {
        std::string bytes;
        FXFile::ReadAll(root.Path() + "/" + file, bytes);
        EXPECT_FALSE(Contains(bytes, password)) << file;
    }

    // A job of the application runs on the instance's master node client.
    KaxrunResult run = root.Kaxrun(
        {"run", "restore", "--app", "2:1", "--module", RUNNER_TEST_MODULE, "--", "-scenario", "nolog"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(HasText(root.InfoTexts(1), "initialize phase=restore job=1 client=cs log=0 lfjob="));
}

TEST(OperatorCommands, JobShowTellsPhasesPendingCausesAndEvents) {
    TestStateRoot root({"cs", "nodeA", "nodeB"});
    ASSERT_EQ(root.RunTestPhase("backup", {"-scenario", "startfail"}).status, 1);
    KaxrunResult r = root.Kaxrun({"job", "show", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* shown : {"Job 1", "Failed", "Phases", "backup", "Pending causes", "0x07000114", "backup, nodeB",
                              "Events", "failed to start", "Quit flag", "set"})
        EXPECT_TRUE(Contains(r.out, shown)) << shown << "\n" << r.out;
    KaxrunResult jobs = root.Kaxrun({"jobs"});
    EXPECT_TRUE(Contains(jobs.out, "Failed")) << jobs.out;
}

}  // namespace
