// Dispatch of stored procedures by name to the procedures registered by the
// parts of the platform that own their data.
#include "host/StoredProcedure.h"

#include <map>
#include <mutex>

#include "host/LogWriter.h"

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, App_ExecuteSP::Procedure> procedures;
};

// Built on first use, so registrations from static initialisers of any
// library find it whatever the order of initialisation.
Registry& GetRegistry() {
    static Registry* registry = new Registry();
    return *registry;
}

int ReturnCode(const CZuError& err) {
    return err.GetErrorCode() != 0 ? int(err.GetErrorCode()) : int(ZuCode::FunctionFailed);
}

}  // namespace

bool App_ExecuteSP::RegisterProcedure(const std::string& name, Procedure procedure) {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.procedures[name] = std::move(procedure);
    return true;
}

int App_ExecuteSP::executeStoredProcedure(const std::string& name, const std::string& requestXml,
                                          std::string& responseXml) {
    responseXml.clear();
    Procedure procedure;
    {
        Registry& registry = GetRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.procedures.find(name);
        if (it != registry.procedures.end()) procedure = it->second;
    }
    CZuError err;
    CNMessageBase request, response;
    if (!procedure)
        err = FXErrorUtil::ErrorWin32(FXLOC, ZuCode::NotFound, "unknown stored procedure [%s]", name.c_str());
    else if ((err = CNMessageBase::FromXml(requestXml, request)))
        err.Push(FXLOC, "the request of stored procedure [%s] is not XML", name.c_str());
    else
        err = procedure(request, response);
    if (err) {
        ZULOG_ERROR("Stored procedure [%s] failed: %s", name.c_str(), err.AsString().c_str());
        responseXml = err.AsString();
        return ReturnCode(err);
    }
    responseXml = response.ToXml();
    ZULOG(3, "Stored procedure [%s] succeeded", name.c_str());
    return 0;
}
