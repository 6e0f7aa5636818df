#include "runner/ModuleLoader.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

#include "host/Files.h"
#include "host/LogWriter.h"
#include "platform/ChildProcess.h"

ModuleLoader::~ModuleLoader() {
    if (m_handle) dlclose(m_handle);
}

std::string ModuleLoader::DefaultPath() {
    const char* path = std::getenv("KAX_MODULE");
    if (path && *path) return path;
    return FXPath::Join(ChildProcess::ProgramDirectory(), "libmongodbagent.so");
}

CZuError ModuleLoader::Load(const std::string& path) {
    if (m_handle)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "a module is already loaded");
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "cannot load the module [%s]: %s", path.c_str(),
                                       why ? why : "unknown reason");
    }
    auto coordinator = reinterpret_cast<CreateCoordinatorFn>(dlsym(handle, kCreateCoordinatorSymbol));
    auto controller = reinterpret_cast<CreateControllerFn>(dlsym(handle, kCreateControllerSymbol));
    if (!coordinator || !controller) {
        dlclose(handle);
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "[%s] does not export the job factories",
                                       path.c_str());
    }
    m_handle = handle;
    // Node processes load the same file, whatever their working directory.
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    m_path = ec ? path : absolute.lexically_normal().string();
    m_createCoordinator = coordinator;
    m_createController = controller;
    ZULOG_NORMAL("Loaded module [%s]", path.c_str());
    return {};
}

std::unique_ptr<DistributedKax::ICoordinator> ModuleLoader::CreateCoordinator(const std::string& phase,
                                                                              CProgramArgumentsPtr args) const {
    if (!m_createCoordinator) return nullptr;
    return std::unique_ptr<DistributedKax::ICoordinator>(m_createCoordinator(phase.c_str(), std::move(args)));
}

std::unique_ptr<DistributedKax::CController> ModuleLoader::CreateController(const std::string& phase,
                                                                            CProgramArgumentsPtr args) const {
    if (!m_createController) return nullptr;
    return std::unique_ptr<DistributedKax::CController>(m_createController(phase.c_str(), std::move(args)));
}
