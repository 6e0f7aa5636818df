#pragma once
// Requests to the management server's stored procedures. Procedures are
// registered by name (KAX_STORED_PROCEDURE) by the parts of the platform that
// own their data; a request is dispatched to the procedure of its name.
#include <functional>
#include <string>

#include "host/Message.h"
#include "host/ZuError.h"

class App_ExecuteSP {
public:
    // Reads `request`, fills `response` (whose tag the procedure sets). An
    // error reaches the caller as the return code and text.
    using Procedure = std::function<CZuError(const CNMessageBase& request, CNMessageBase& response)>;

    // Runs the named procedure with an XML request. Returns 0 with the
    // response XML, or the error code (1168 for an unknown procedure, 13 for
    // a request that is not XML, else the procedure's) with the error text in
    // `responseXml`.
    static int executeStoredProcedure(const std::string& name, const std::string& requestXml,
                                      std::string& responseXml);
    // Registers (or replaces) a procedure; returns true so that it can
    // initialise a static.
    static bool RegisterProcedure(const std::string& name, Procedure procedure);
};

#define KAX_SP_CAT2(a, b) a##b
#define KAX_SP_CAT(a, b) KAX_SP_CAT2(a, b)
#define KAX_STORED_PROCEDURE(name, procedure) \
    static const bool KAX_SP_CAT(s_storedProcedure_, __LINE__) = App_ExecuteSP::RegisterProcedure(name, procedure)
