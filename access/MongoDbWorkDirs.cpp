// MongoDbUtil: the job results and oplog staging directories of the
// application on this node.
#include "access/MongoDbUtil.h"
#include "host/Files.h"
#include "host/LogWriter.h"
#include "host/Platform.h"
#include "host/PlatformInfo.h"

namespace MongoDbKax {

int MongoDbUtil::CreateJobResultsDirectory() {
    const std::string focusClient = TWPI_Focus::getFocusClientName();
    const std::string clientResults = TWPI_CommClient::getJobResultsDirectory(focusClient);
    if (clientResults.empty()) {
        ZULOG_ERROR("Failed to fetch job results directory for clientname [%s]",
                    focusClient.c_str());
        return 1;
    }
    if (m_marlexId == 0 || m_appId == 0) {
        ZULOG_ERROR("Failed to fetch job results. Invalid subclientid:marlexid inputs for "
                    "clientname [%s]",
                    focusClient.c_str());
        return 1;
    }
    const std::string appResults = FXPath::Join(
        FXPath::Join(clientResults, std::to_string(m_marlexId)), std::to_string(m_appId));
    const std::string osc = FXPath::Join(appResults, "osc");
    CZuError err = CZuDirectory::Create(osc);
    if (err) {
        ZULOG_ERROR("Failed to create job results directory for osc metadata [%s]", osc.c_str());
        ZULOG_ERROR("%s", err.AsString().c_str());
        return 1;
    }
    m_appResultsDir = appResults;
    m_oscDir = osc;
    return 0;
}

int MongoDbUtil::SetOplogDumpsStagingLocation() {
    std::string location;
    TWPlatformInfo::getString(TWSettingSections::Agent, "sOpLogDumpStagingLoc", location);
    if (location.empty()) {
        m_stagingDir = m_appResultsDir;
        ZULOG(2, "Staging location [%s] for appid [%lu:%lu]", m_stagingDir.c_str(), m_marlexId,
              m_appId);
    } else {
        m_stagingDir = location;
        ZULOG(2, "Found registry setting for oplog dumps staging location [%s] for appid [%lu:%lu]",
              m_stagingDir.c_str(), m_marlexId, m_appId);
    }
    // Without a job results directory there is no place to stage in.
    if (m_stagingDir.empty()) {
        ZULOG_ERROR("Failed to create staging directory for dumps [%s] [%s]", "",
                    "no staging location");
        return 1;
    }
    const std::string local = FXPath::Join(m_stagingDir, "local");
    CZuError err = CZuDirectory::Create(local);
    if (err) {
        ZULOG_ERROR("Failed to create staging directory for dumps [%s] [%s]", local.c_str(),
                    err.AsString().c_str());
        return 1;
    }
    return 0;
}

}  // namespace MongoDbKax
