// Loads the module as the framework does and prints, for each phase and
// argument combination, which object the module returns.
#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "host/ModuleExports.h"
#include "host/Platform.h"

namespace {

std::string Demangle(const char* name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> d(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                             std::free);
    return status == 0 && d ? d.get() : name;
}

template <typename T>
std::string Describe(T* object) {
    if (!object) return "(null: phase not served)";
    return Demangle(typeid(*object).name());
}

struct Case {
    const char* phase;
    std::vector<std::string> args;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s MODULE.so\n", argv[0]);
        return 2;
    }
    if (CZuError err = TWPI_PlatformBase::InitProcess("dispatch-table"); err.IsError()) {
        std::fprintf(stderr, "%s\n", err.AsString().c_str());
        return 1;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
        return 1;
    }
    auto makeCoordinator =
        reinterpret_cast<CreateCoordinatorFn>(dlsym(module, kCreateCoordinatorSymbol));
    auto makeController =
        reinterpret_cast<CreateControllerFn>(dlsym(module, kCreateControllerSymbol));
    auto makeBrowse =
        reinterpret_cast<CreateClientBrowseFn>(dlsym(module, kCreateClientBrowseSymbol));
    if (!makeCoordinator || !makeController || !makeBrowse) {
        std::fprintf(stderr, "%s lacks the module entry points\n", argv[1]);
        return 1;
    }

    const std::vector<Case> cases = {
        {"backup", {}},
        {"backup", {"-log", "-t", "2"}},
        {"backup", {"-log", "-t", "1"}},
        {"backup", {"-t", "2"}},
        {"backup", {"-snaptape", "-t", "1"}},
        {"backup", {"-log", "-t", "2", "-snaptape"}},
        {"postop", {}},
        {"cleanup", {}},
        {"restore", {"-j", "1"}},
        {"restore", {"-granular", "-j", "1"}},
        {"restore", {}},
        {"ifrestore", {}},
        {"Backup", {}},
        {"restore ", {}},
    };

    std::printf("%-10s %-28s %-52s %s\n", "phase", "arguments", "coordinator", "controller");
    for (const Case& c : cases) {
        std::vector<std::string> full = {"kaxjob"};
        full.insert(full.end(), c.args.begin(), c.args.end());
        auto args = std::make_shared<CProgramArguments>(full);
        std::unique_ptr<DistributedKax::ICoordinator> coordinator(makeCoordinator(c.phase, args));
        std::unique_ptr<DistributedKax::CController> controller(makeController(c.phase, args));
        std::string shown = "\"" + std::string(c.phase) + "\"";
        std::printf("%-10s %-28s %-52s %s\n", shown.c_str(), args->AsString().c_str(),
                    Describe(coordinator.get()).c_str(), Describe(controller.get()).c_str());
    }
    {
        std::unique_ptr<DistributedKax::IClientBrowse> browse(makeBrowse(0));
        std::printf("\nbrowse: %s\n", Describe(browse.get()).c_str());
    }  // objects of the module must be gone before it is unloaded
    dlclose(module);
    return 0;
}
