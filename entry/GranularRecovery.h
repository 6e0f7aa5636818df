#pragma once
// The restore decision: full or granular (database/collection level).
#include <cstdint>

#include "host/ZuError.h"

namespace MongoDbKax {

// Setting bMongoDbEnableGranularRecovery of section Kestrix; absent means
// enabled, so granular restore is on unless an operator switched it off.
bool IsGranularRecoveryEnabled();

// Reads the restore options of job `jobId` and reports in `granular` whether
// the job asks for a granular restore. `granular` is false on every failure.
// Errors carry code 1627.
CZuError IsGranularRecoveryJob(int64_t jobId, bool& granular);

}  // namespace MongoDbKax
