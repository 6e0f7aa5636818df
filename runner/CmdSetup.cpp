// kaxrun init
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "host/Files.h"
#include "host/Platform.h"
#include "platform/StateDb.h"
#include "runner/Commands.h"
#include "runner/ErrorText.h"

namespace Cli {

int Init(const CommandLine&) {
    std::string root = TWPI_PlatformBase::GetStateRoot();
    bool existed = FXFile::Exists(StateDb::GetPath());
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    if (ec) return Fail("cannot create the state root " + root + ": " + ec.message());
    if (!existed && chmod(root.c_str(), 0700) != 0)
        return Fail("cannot restrict the state root " + root + " to its owner");
    if (CZuError err = TWPI_PlatformBase::InitProcess("kaxrun")) return Fail(ErrorText(err));
    StateDb* db = nullptr;
    if (CZuError err = StateDb::Get(db)) return Fail(ErrorText(err));
    if (CZuError err = CZuDirectory::Create(FXPath::Join(root, "clients"))) return Fail(ErrorText(err));
    std::printf(existed ? "State root %s is already initialised\n" : "Initialised state root %s\n", root.c_str());
    return kOk;
}

}  // namespace Cli
