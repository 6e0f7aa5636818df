#pragma once
// The job manager's records as the module reads them.
#include <cstdint>
#include <string>

#include "host/ZuError.h"

class TWJobTask {
public:
    // The job's options message (XML text) as stored when the job was
    // submitted. Error 1168 when no such job exists.
    static CZuError GetJobOptionsXml(int64_t jobId, std::string& xml);
};
