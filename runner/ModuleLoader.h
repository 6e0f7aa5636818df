#pragma once
// The agent module, loaded with dlopen, and its three factories.
#include <memory>
#include <string>

#include "host/DistributedKax.h"
#include "host/ModuleExports.h"

class ModuleLoader {
public:
    ModuleLoader() = default;
    ~ModuleLoader();  // unloads; every object made by the module must be gone by then
    ModuleLoader(const ModuleLoader&) = delete;
    ModuleLoader& operator=(const ModuleLoader&) = delete;

    // The module the runner uses when none is named: KAX_MODULE, else
    // "libmongodbagent.so" in the platform's program directory.
    static std::string DefaultPath();
    // Error 1168 naming the file and dlerror's reason when it cannot be loaded
    // or lacks a factory.
    CZuError Load(const std::string& path);
    const std::string& GetPath() const { return m_path; }

    // Null when the module does not serve the phase.
    std::unique_ptr<DistributedKax::ICoordinator> CreateCoordinator(const std::string& phase,
                                                                    CProgramArgumentsPtr args) const;
    std::unique_ptr<DistributedKax::CController> CreateController(const std::string& phase,
                                                                  CProgramArgumentsPtr args) const;

private:
    void* m_handle = nullptr;
    std::string m_path;
    CreateCoordinatorFn m_createCoordinator = nullptr;
    CreateControllerFn m_createController = nullptr;
};
