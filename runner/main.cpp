// kaxrun: the operator's tool and the local stand-in for the distributed job
// framework. "kaxrun node ..." is the node process the framework starts on
// each participating client; every other command is the operator's.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "host/Files.h"
#include "host/JobClient.h"
#include "host/Platform.h"
#include "platform/StateDb.h"
#include "runner/Commands.h"
#include "runner/ErrorText.h"
#include "runner/ModuleLoader.h"
#include "runner/NodeHost.h"

namespace {

using Cli::Command;

void PrintOverview() {
    std::printf(
        "Usage: kaxrun [--root DIR] COMMAND [OPTIONS]\n\n"
        "Runs the MongoDB agent's jobs on this machine and keeps what they record.\n\n"
        "Commands:\n");
    for (const Command& c : Cli::AllCommands()) std::printf("  %-18s %s\n", c.name, c.summary);
    std::printf(
        "\nOptions:\n"
        "  --root DIR   the state root (default: $KAX_ROOT, else /var/lib/kaxagent)\n"
        "  --help       help; \"kaxrun COMMAND --help\" tells about one command\n\n"
        "Environment:\n"
        "  KAX_ROOT     the state root when --root is not given\n"
        "  KAX_MODULE   the agent module (default: libmongodbagent.so next to kaxrun)\n"
        "  KAX_BIN      the directory of the platform's programs (default: kaxrun's)\n");
}

void PrintCommandHelp(const Command& c) {
    std::printf("Usage: kaxrun [--root DIR] %s\n\n%s\n\n%s\n", c.usage, c.summary, c.details);
}

// The commands whose first word is `group`.
std::vector<const Command*> GroupCommands(const std::string& group) {
    std::vector<const Command*> found;
    for (const Command& c : Cli::AllCommands()) {
        std::string name = c.name;
        if (name.compare(0, group.size() + 1, group + " ") == 0) found.push_back(&c);
    }
    return found;
}

// Finds the command named by the first one or two words; `used` tells how many.
const Command* FindCommand(const std::vector<std::string>& args, size_t& used) {
    for (const Command& c : Cli::AllCommands()) {
        std::string name = c.name;
        if (args.size() >= 2 && name == args[0] + " " + args[1]) {
            used = 2;
            return &c;
        }
        if (name == args[0]) {
            used = 1;
            return &c;
        }
    }
    return nullptr;
}

// Takes "--root DIR" / "--root=DIR" out of the arguments (before any "--").
bool TakeRoot(std::vector<std::string>& args, std::string& root, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") break;
        if (args[i] == "--root") {
            if (i + 1 >= args.size()) {
                error = "option --root needs a value";
                return false;
            }
            root = args[i + 1];
            args.erase(args.begin() + long(i), args.begin() + long(i) + 2);
            --i;
        } else if (args[i].compare(0, 7, "--root=") == 0) {
            root = args[i].substr(7);
            args.erase(args.begin() + long(i));
            --i;
        }
    }
    if (root.empty() && error.empty()) return true;
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(root, ec);
    if (ec || root.empty()) {
        error = "invalid state root [" + root + "]";
        return false;
    }
    setenv("KAX_ROOT", absolute.lexically_normal().string().c_str(), 1);
    return true;
}

int NodeMain(const std::vector<std::string>& args) {
    // The runner stops its nodes itself; a terminal's interrupt must not kill them.
    signal(SIGINT, SIG_IGN);
    OptionSpec grammar{{"phase", "module", "fd"}, {}, 0, 0, true};
    CommandLine line;
    std::string error;
    if (!line.Parse(std::vector<std::string>(args.begin() + 1, args.end()), grammar, error) || !line.Has("fd"))
        return Cli::Fail("node: " + (error.empty() ? std::string("--fd is required") : error));

    std::vector<std::string> argv{"kaxrun-node"};
    argv.insert(argv.end(), line.PassedThrough().begin(), line.PassedThrough().end());
    auto programArgs = std::make_shared<CProgramArguments>(argv);
    std::string client = programArgs->GetValueOrEmpty("cn");

    ModuleLoader module;
    NodeHost host(std::atoi(line.Get("fd").c_str()), line.Get("phase"), programArgs);
    if (CZuError err = TWPI_PlatformBase::InitProcess(client.empty() ? "node" : "node-" + client, client)) {
        host.CompleteController({3, ErrorText(err), {}});
        return Cli::kFailed;
    }
    EvEvent::setJobId(std::atoll(programArgs->GetValueOrEmpty("j").c_str()));
    if (CZuError err = module.Load(line.Get("module", ModuleLoader::DefaultPath()))) {
        host.CompleteController({3, ErrorText(err), {}});
        return Cli::kFailed;
    }
    return host.Run(module);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "node") return NodeMain(args);

    std::string root, error;
    if (!TakeRoot(args, root, error)) {
        std::fprintf(stderr, "kaxrun: %s\n", error.c_str());
        return Cli::kUsage;
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        size_t used = 0;
        std::vector<std::string> topic(args.begin() + (args.empty() ? 0 : 1), args.end());
        const Command* command = topic.empty() ? nullptr : FindCommand(topic, used);
        if (command)
            PrintCommandHelp(*command);
        else
            PrintOverview();
        return args.empty() ? Cli::kUsage : Cli::kOk;
    }

    size_t used = 0;
    const Command* command = FindCommand(args, used);
    if (!command) {
        auto group = GroupCommands(args[0]);
        if (group.empty()) {
            std::fprintf(stderr, "kaxrun: unknown command \"%s\" (see kaxrun --help)\n", args[0].c_str());
            return Cli::kUsage;
        }
        bool help = args.size() > 1 && (args[1] == "--help" || args[1] == "-h");
        if (help) {
            std::printf("Commands of \"kaxrun %s\":\n", args[0].c_str());
            for (const Command* c : group) std::printf("  kaxrun %s\n", c->usage);
            return Cli::kOk;
        }
        std::string names;
        for (const Command* c : group) names += (names.empty() ? "" : ", ") + std::string(c->name).substr(args[0].size() + 1);
        std::fprintf(stderr, "kaxrun %s: %s (one of: %s; see \"kaxrun %s --help\")\n", args[0].c_str(),
                     args.size() > 1 ? ("unknown subcommand \"" + args[1] + "\"").c_str() : "missing subcommand",
                     names.c_str(), args[0].c_str());
        return Cli::kUsage;
    }

    CommandLine line;
    std::vector<std::string> rest(args.begin() + long(used), args.end());
    if (!line.Parse(rest, command->options, error)) {
        std::fprintf(stderr, "kaxrun %s: %s (see \"kaxrun %s --help\")\n", command->name, error.c_str(), command->name);
        return Cli::kUsage;
    }
    if (line.WantsHelp()) {
        PrintCommandHelp(*command);
        return Cli::kOk;
    }
    if (command->needsStateRoot) {
        std::string stateRoot = TWPI_PlatformBase::GetStateRoot();
        if (!FXFile::Exists(StateDb::GetPath()))
            return Cli::Fail("no state root at " + stateRoot + " (create one with: kaxrun --root " + stateRoot +
                             " init)");
        if (CZuError err = TWPI_PlatformBase::InitProcess("kaxrun")) return Cli::Fail(ErrorText(err));
    }
    return command->run(line);
}
