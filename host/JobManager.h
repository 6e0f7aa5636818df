#pragma once
// The job manager's records as the module reads them.
#include <cstdint>
#include <string>

#include "host/ZuError.h"

class TWJobTask {
public:
    // The job's options message (XML text) as stored when the job was
    // submitted. Error 1168 when no such job exists or it has no options.
    static CZuError GetJobOptionsXml(int64_t jobId, std::string& xml);
};

// Misc option ids of a job.
inline constexpr int JM_MULTINDOE_PARTICIPATEDNODES = 42;  // "id,id,..." of the nodes of a snapshot job

namespace App {
class MiscOptions {
public:
    // The option's value; error 1168 when the job has no such option.
    static CZuError getMiscOption(int64_t jobId, int optionId, std::string& value);
    static CZuError setMiscOption(int64_t jobId, int optionId, const std::string& value);
};
}  // namespace App
