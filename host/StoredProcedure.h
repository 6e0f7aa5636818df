#pragma once
// Requests to the management server's stored procedures.
#include <string>

class App_ExecuteSP {
public:
    // Runs the named procedure with an XML request; non-zero on failure, with
    // the reason in `responseXml`.
    static int executeStoredProcedure(const std::string& name, const std::string& requestXml,
                                      std::string& responseXml);
};
