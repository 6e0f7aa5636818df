#include "RunnerSupport.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>

#include "host/Files.h"
#include "host/Process.h"

KaxrunResult RunKaxrun(const std::vector<std::string>& args, const std::string& input) {
    std::string command = "printf '%s' " + FXString::ShellQuote(input) + " | " + FXString::ShellQuote(KAXRUN_PATH);
    for (const auto& a : args) command += " " + FXString::ShellQuote(a);
    KaxrunResult result;
    result.status = TwProcess::system(command, result.out, result.err);
    return result;
}

TestStateRoot::TestStateRoot(const std::vector<std::string>& clients) {
    char pattern[] = "/tmp/kaxrun-test-XXXXXX";
    char* dir = mkdtemp(pattern);
    EXPECT_NE(dir, nullptr);
    m_path = std::string(dir ? dir : "/tmp/kaxrun-test-missing") + "/root";
    KaxrunResult init = Kaxrun({"init"});
    EXPECT_EQ(init.status, 0) << init.err;
    for (const auto& client : clients) {
        KaxrunResult r = Kaxrun({"client", "register", client});
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

TestStateRoot::~TestStateRoot() {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(m_path).parent_path(), ec);
}

KaxrunResult TestStateRoot::Kaxrun(const std::vector<std::string>& args, const std::string& input) const {
    std::vector<std::string> all{"--root", m_path};
    all.insert(all.end(), args.begin(), args.end());
    return RunKaxrun(all, input);
}

KaxrunResult TestStateRoot::RunTestPhase(const std::string& phase, const std::vector<std::string>& phaseArgs) const {
    std::vector<std::string> args{"run", phase, "--client", "cs", "--module", RUNNER_TEST_MODULE, "--"};
    args.insert(args.end(), phaseArgs.begin(), phaseArgs.end());
    return Kaxrun(args);
}

void TestStateRoot::Use() const { setenv("KAX_ROOT", m_path.c_str(), 1); }

std::vector<JobEventRecord> TestStateRoot::Events(int64_t jobId, const std::string& kind) const {
    Use();
    std::vector<JobEventRecord> all, selected;
    CZuError err = JobStore::ListEvents(jobId, all);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    for (auto& e : all)
        if (e.kind == kind) selected.push_back(std::move(e));
    return selected;
}

std::vector<std::string> TestStateRoot::InfoTexts(int64_t jobId) const {
    std::vector<std::string> texts;
    for (const auto& e : Events(jobId, JobEventKind::Info)) texts.push_back(e.text);
    return texts;
}

bool HasText(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

int IndexOf(const std::vector<std::string>& texts, const std::string& prefix) {
    for (size_t i = 0; i < texts.size(); ++i)
        if (texts[i].compare(0, prefix.size(), prefix) == 0) return int(i);
    return -1;
}

int LineCount(const std::string& text) {
    return int(std::count(text.begin(), text.end(), '\n')) + (!text.empty() && text.back() != '\n' ? 1 : 0);
}
