// MongoDbUtil: construction, state and the initialization variants.
#include "access/MongoDbUtil.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "access/MongoDbConnection.h"
#include "host/Entities.h"
#include "host/JobClient.h"
#include "host/LogWriter.h"
#include "host/Password.h"
#include "host/Platform.h"
#include "host/PlatformInfo.h"
#include "topology/MongoDBConfig.h"

namespace MongoDbKax {

namespace {

constexpr int kDefaultMongoPort = 27017;
constexpr size_t kPasswordBufferSize = 1024;
// Job client kind used for the job manager of a restore.
constexpr int kRestoreJobClientKind = 4;

// Unsigned integer with automatic base (decimal, 0x hexadecimal, leading 0
// octal); false when the text is not wholly such a number or does not fit.
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > max)
        return false;
    value = parsed;
    return true;
}

// Reads the instance record and initializes `util` from it; 0 / 1.
int InitFromInstanceId(MongoDbUtil& util, uint64_t instanceId) {
    MongoDBInstance instance;
    CZuError err = MongoDBInstance::ById(instanceId, instance);
    if (err) {
        ZULOG_ERROR("Failed to read instance [%lu]: %s", instanceId, err.AsString().c_str());
        return 1;
    }
    return util.InitFromInstanceProp(instance);
}

}  // namespace

MongoDbUtil::MongoDbUtil()
    : m_clusterConfig(std::make_shared<App::MongoDBConfig>()),
      m_connection(std::make_shared<MongoDbConnection>()) {}

MongoDbUtil::MongoDbUtil(uint32_t appId, uint32_t marlexId) : MongoDbUtil() {
    m_appId = appId;
    m_marlexId = marlexId;
}

MongoDbUtil::MongoDbUtil(App::MongoDBConfig* config) : MongoDbUtil() {
    if (config)
        m_clusterConfig.reset(config);
}

MongoDbUtil::~MongoDbUtil() = default;

void MongoDbUtil::SetDbCredentials(const std::string& user, const std::string& password) {
    m_dbUser = user;
    m_dbPassword = password;
}

bool MongoDbUtil::DecryptPassword(const std::string& protectedText, std::string& clear) {
    char buffer[kPasswordBufferSize];
    size_t length = sizeof(buffer);
    const bool ok = TWPassword::decrypt(protectedText, buffer, length);
    if (ok)
        clear.assign(buffer, length);
    explicit_bzero(buffer, sizeof(buffer));
    return ok;
}

int MongoDbUtil::InitializeMongoDbConnection(const std::string& pseudoClientName,
                                             const std::string& instanceName) {
    ZULOG(2, "Initializing MongoDbConnetion with pseudoClient [%s] instance [%s]",
          pseudoClientName.c_str(), instanceName.c_str());
    m_connection = std::make_shared<MongoDbConnection>(pseudoClientName, instanceName);
    return 0;
}

int MongoDbUtil::InitializeMongoDbConnection(uint64_t instanceId) {
    if (instanceId == 0) {
        ZULOG_ERROR("Failed to initialize MongoDb Connection");
        return 1;
    }
    uint64_t pseudoClientId = 0;
    CZuError err = ClientFromInstanceId::getClientId(instanceId, pseudoClientId);
    if (err) {
        ZULOG_ERROR("Failed to get pseudoclient id for instance [%lu]", instanceId);
        ZULOG_ERROR("%s", err.AsString().c_str());
        return 1;
    }
    TWClient pseudoClient;
    MongoDBInstance instance;
    err = TWClient::ById(pseudoClientId, pseudoClient);
    if (!err)
        err = MongoDBInstance::ById(instanceId, instance);
    if (err) {
        ZULOG_ERROR("Failed to initialize MongoDb Connection");
        ZULOG_ERROR("%s", err.AsString().c_str());
        return 1;
    }
    return InitializeMongoDbConnection(pseudoClient.shortName, instance.instanceName);
}

int MongoDbUtil::InitializeMongoDbConnection(MongoDBInstance& instance) {
    return InitializeMongoDbConnection(instance.instanceId);
}

int MongoDbUtil::InitFromInstanceProp(MongoDBInstance& instance) {
    // A connection that cannot take the instance's TLS names keeps the
    // plain-named settings; connecting reports the rest.
    InitializeMongoDbConnection(instance);

    m_dbUser = instance.dbUser;
    m_dbPassword.clear();
    if (!m_dbUser.empty()) {
        if (!DecryptPassword(instance.encryptedDbPassword, m_dbPassword)) {
            ZULOG_ERROR("Failed to decrypt the password");
            return 1;
        }
        ZULOG(2, "Using authentication with dbuser [%s]", m_dbUser.c_str());
    }
    m_mongoPort = instance.port == 0 ? kDefaultMongoPort : instance.port;
    m_mongoHost = instance.hostName;
    m_binPath = instance.binPath;
    ZULOG(2, "Using mongo install path [%s]", m_binPath.c_str());
    m_osUser = instance.osUser;
    ZULOG(2, "Using OS user [%s]", m_osUser.c_str());
    m_instanceId = instance.instanceId;
    return 0;
}

int MongoDbUtil::InitializeForDiscovery(uint64_t& instanceId) {
    if (InitFromInstanceId(*this, instanceId) != 0)
        return 1;

    const std::string focusClient = TWPI_Focus::getFocusClientName();
    if (focusClient.empty()) {
        ZULOG_ERROR("Invalid focus client name");
        return 1;
    }
    TWClient client;
    CZuError err = TWClient::ByName(focusClient, client);
    if (err || !client.Exists()) {
        ZULOG_ERROR("Failed to lookup for client info for client name [%s]", focusClient.c_str());
        return 1;
    }
    if (client.networkHostName.empty()) {
        ZULOG_ERROR("Failed to get network hostname for client name [%s]", focusClient.c_str());
        return 1;
    }
    m_localHostName = client.networkHostName;
    m_clientId = client.id;
    ZULOG(2, "Found local client host name [%s] for client name [%s], client ID [%lu]",
          m_localHostName.c_str(), focusClient.c_str(), m_clientId);
    return 0;
}

int MongoDbUtil::Initialize() {
    if (m_appId == 0 || m_marlexId == 0) {
        ZULOG_ERROR("Invalid parameters [appid:mxid] [%lu:%lu]", m_appId, m_marlexId);
        return 1;
    }
    ApplicationId application{uint32_t(m_marlexId), uint32_t(m_appId)};
    CZuError err = application.Resolve();
    if (err) {
        ZULOG_ERROR("Failed to resolve application [%lu:%lu] to its instance: %s", m_marlexId,
                    m_appId, err.AsString().c_str());
        return 1;
    }
    m_instanceId = application.instanceId;
    if (InitializeForDiscovery(m_instanceId) != 0) {
        ZULOG_ERROR("Failed to initialize for discovery on instance [%lu]", m_instanceId);
        return 1;
    }
    if (CreateJobResultsDirectory() != 0) {
        ZULOG_ERROR("Failed to  create job results dir");
        return 1;
    }
    if (SetOplogDumpsStagingLocation() != 0) {
        ZULOG_ERROR("Failed to set staging location for oplog dumps");
        return 1;
    }
    return 0;
}

int MongoDbUtil::Initialize(CProgramArgumentsPtr& args) {
    const std::string application = args ? args->GetValueOrEmpty("a") : std::string();
    ZULOG(2, "ApplicationID input [%s]", application.c_str());

    const size_t colon = application.find(':');
    uint64_t marlexId = 0;
    uint64_t appId = 0;
    if (colon == std::string::npos || application.find(':', colon + 1) != std::string::npos ||
        !ParseUnsigned(application.substr(0, colon), UINT32_MAX, marlexId) ||
        !ParseUnsigned(application.substr(colon + 1), UINT32_MAX, appId)) {
        ZULOG_ERROR("Invalid application id, expected <marlex-id>:<application-number> [%s]",
                    application.c_str());
        return 1;
    }
    m_marlexId = marlexId;
    m_appId = appId;

    if (args->IsFlagPresent("snap")) {
        const char* section = TWSettingSections::Agent;
        bool value = true;
        if (TWPlatformInfo::getBoolean(section, "bMongoDBUseLowestPriorityNode", value) && !value) {
            m_useLowestPriorityNode = false;
            ZULOG(0, "Found setting to disable default behaviour to select secondary with lowest "
                     "priority in the replica set");
        }
        value = false;
        if (TWPlatformInfo::getBoolean(section, "bMongoDBUseLeastLagNode", value) && value) {
            m_useLeastLagNode = true;
            ZULOG(0, "Found setting to use secondary with least lag from the primary in the "
                     "replica set");
        }
        value = false;
        if (TWPlatformInfo::getBoolean(section, "bMongoDBUseDelayedLagNode", value) && value) {
            m_useDelayedLagNode = true;
            ZULOG(0, "Found setting to use secondary with delayed lag from the primary in the "
                     "replica set");
        }
    }
    return Initialize();
}

int MongoDbUtil::IntializeOSCContext(CProgramArgumentsPtr& args) {
    if (Initialize(args) != 0) {
        ZULOG_ERROR("Failed to initialize MongoDBUtil object");
        return 1;
    }
    // Thresholds are decimal; text that is not a number leaves the check off.
    auto readThreshold = [&](const char* name, uint64_t& out) {
        const std::string text = args->GetValueOrEmpty(name);
        if (!text.empty())
            out = std::strtoull(text.c_str(), nullptr, 10);
    };
    readThreshold("lognumth", m_dumpCountThreshold);
    readThreshold("spaceth", m_spaceThresholdPercent);
    return 0;
}

int MongoDbUtil::InitializeForRestore(int64_t jobId, uint64_t instanceId, bool suppressAuthAndTls,
                                      const std::string& runAsUser,
                                      const std::string& runAsPassword, bool granular) {
    if (instanceId == 0) {
        ZULOG_ERROR("Invalid destination instance id input");
        return 1;
    }
    m_jobId = jobId;
    if (InitFromInstanceId(*this, instanceId) != 0)
        return 1;
    m_suppressAuthAndTls = suppressAuthAndTls;

    TWPI_PlatformBase::SetFocusClientName(TWPI_Focus::getFocusClientName());
    const std::string corvaneHost = TWPI_PlatformBase::GetCorvaneHostName();
    if (corvaneHost.empty()) {
        ZULOG_ERROR("Failed to get the Corvane Hostname");
        return 1;
    }
    try {
        m_jobClient = std::make_shared<TWJobClient>();
    } catch (const std::bad_alloc&) {
        ZULOG_ERROR("Unable to allocate memory for job client object");
        return 1;
    }
    CZuError err = m_jobClient->init(corvaneHost, jobId, kRestoreJobClientKind);
    if (err) {
        ZULOG_ERROR("Unable to initialize job client object");
        ZULOG_ERROR("%s", err.AsString().c_str());
        return 1;
    }
    if (!runAsUser.empty() && !runAsPassword.empty()) {
        m_runAsUser = runAsUser;
        m_runAsPassword = runAsPassword;
        ZULOG(2, "Initialized with windows user [%s]", m_runAsUser.c_str());
    }
    m_granularRecovery = granular;
    ReadVADeverOREzuzTimeoutAdditionalSetting();
    return 0;
}

int MongoDbUtil::InitializeForPrepareRestore(uint64_t instanceId) {
    InitializeMongoDbConnection(instanceId);
    if (!m_clusterConfig || !m_clusterConfig->credentials)
        return 0;
    const App::MongoDBCredentials& credentials = *m_clusterConfig->credentials;
    m_dbUser = credentials.userName;
    if (!m_dbUser.empty() && !DecryptPassword(credentials.password, m_dbPassword)) {
        ZULOG_ERROR("Failed to decrypt password. Property name: [MongoDB DB Password]");
        return 1;
    }
    return 0;
}

void MongoDbUtil::ReadVADeverOREzuzTimeoutAdditionalSetting() {
    int64_t minutes = 0;
    if (TWPlatformInfo::getNumber(TWSettingSections::Agent, "nVADeverOREzuzTimeoutInMins",
                                  minutes) &&
        minutes > 0 && minutes <= int64_t(UINT_MAX)) {
        m_recoveryTimeoutMins = unsigned(minutes);
        ZULOG(2, "Read VADeverOREzuz Timeout additional setting as [%u]", m_recoveryTimeoutMins);
    }
}

bool MongoDbUtil::IsSSLActive() const { return m_connection->IsSSLActive(); }

MongoDbUtil::AuthAndTlsSuppression::AuthAndTlsSuppression(MongoDbUtil& util)
    : m_util(util),
      m_connection(util.m_connection),
      m_sslSkip(m_connection->GetSslSkipState()),
      m_authSkip(m_connection->GetAuthSkipState()),
      m_suppressAuthAndTls(util.m_suppressAuthAndTls) {
    m_connection->SetSslSkipState(true);
    m_connection->SetAuthSkipState(true);
    m_util.m_suppressAuthAndTls = true;
    m_connection->Disconnect();
}

MongoDbUtil::AuthAndTlsSuppression::~AuthAndTlsSuppression() {
    m_connection->SetSslSkipState(m_sslSkip);
    m_connection->SetAuthSkipState(m_authSkip);
    m_util.m_suppressAuthAndTls = m_suppressAuthAndTls;
    m_connection->Disconnect();
    // An operation that replaced the connection leaves one that was built
    // without suppression; drop it too so that it reconnects afresh.
    if (m_util.m_connection != m_connection)
        m_util.m_connection->Disconnect();
}

}  // namespace MongoDbKax
