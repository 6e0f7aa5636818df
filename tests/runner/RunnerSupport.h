#pragma once
// Helpers of the runner's tests: a state root of their own in a temporary
// directory, kaxrun runs with captured output, and the job records read back
// in this process.
#include <string>
#include <vector>

#include "platform/JobStore.h"

struct KaxrunResult {
    int status = -1;
    std::string out;
    std::string err;
};

class TestStateRoot {
public:
    // Creates and initialises a state root; with clients, registers them.
    explicit TestStateRoot(const std::vector<std::string>& clients = {});
    ~TestStateRoot();
    const std::string& Path() const { return m_path; }

    // Runs kaxrun with "--root <this root>" and `args`; `input` is its standard input.
    KaxrunResult Kaxrun(const std::vector<std::string>& args, const std::string& input = "") const;
    // Runs a phase of the test module on client "cs".
    KaxrunResult RunTestPhase(const std::string& phase, const std::vector<std::string>& phaseArgs) const;

    // Makes this process read and write this state root.
    void Use() const;
    // The free texts of the job's information events, oldest first.
    std::vector<std::string> InfoTexts(int64_t jobId) const;
    std::vector<JobEventRecord> Events(int64_t jobId, const std::string& kind) const;

private:
    std::string m_path;
};

// Runs kaxrun without a state root option.
KaxrunResult RunKaxrun(const std::vector<std::string>& args, const std::string& input = "");
// Whether `texts` holds `text` exactly.
bool HasText(const std::vector<std::string>& texts, const std::string& text);
// The position of the first text that starts with `prefix`, or -1.
int IndexOf(const std::vector<std::string>& texts, const std::string& prefix);
// The number of lines of `text`.
int LineCount(const std::string& text);
