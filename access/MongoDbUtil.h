#pragma once
// The per-phase object through which every MongoDB operation of the module
// runs: where the server is, which credentials and TLS options to use, where
// the MongoDB tools are, which job it serves and the job's working
// directories. Copyable: copies share the connection and the cluster
// configuration message. Used by one thread at a time.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "host/ProgramArguments.h"
#include "host/ZuError.h"
#include "logbackup/OplogBackupRecords.h"
#include "topology/MongoDbTopologyState.h"

class TWJobClient;
class MongoDBInstance;
namespace App {
class MongoDBConfig;
class MongoDBServer;
}

namespace MongoDbKax {

class MongoDbConnection;

// Map-based and order-keeping parsed JSON objects.
using JsonObject = nlohmann::json;
using JsonVObject = nlohmann::ordered_json;

// How RunMongoCmd cleans a tool's output.
namespace MongoCmdOutput {
// "--eval" scripts, mongodump and mongorestore: line breaks removed.
constexpr int Text = 7;
// Raw tool output ("mongod --version", server starts, oplog replay).
constexpr int Raw = 8;
// Shell output holding a reply document: cut to the object holding "ok".
constexpr int Reply = 11;
}  // namespace MongoCmdOutput

class MongoDbUtil {
public:
    // A new empty cluster configuration message and a connection that reads
    // the plain TLS setting names only.
    MongoDbUtil();
    MongoDbUtil(uint32_t appId, uint32_t marlexId);
    // Takes ownership of `config` (null keeps a new empty message).
    explicit MongoDbUtil(App::MongoDBConfig* config);
    virtual ~MongoDbUtil();
    MongoDbUtil(const MongoDbUtil&) = default;
    MongoDbUtil& operator=(const MongoDbUtil&) = default;

    // ---- initialization: 0 = success, 1 = failure (logged) --------------
    // Reads "a" (<marlex-id>:<application-id>, each decimal, 0x-hex or
    // 0-octal) and, with "snap", the secondary-selection settings; then Initialize().
    int Initialize(CProgramArgumentsPtr& args);
    // Needs both ids; resolves the application's instance, initializes for
    // discovery and prepares the job results and oplog staging directories.
    int Initialize();
    int InitializeForDiscovery(uint64_t& instanceId);
    int InitializeForRestore(int64_t jobId, uint64_t instanceId, bool suppressAuthAndTls,
                             const std::string& runAsUser, const std::string& runAsPassword,
                             bool granular);
    // Credentials come from the cluster configuration message, when it has them.
    int InitializeForPrepareRestore(uint64_t instanceId);
    int InitFromInstanceProp(MongoDBInstance& instance);
    // Replace the connection with one reading the TLS settings composed from
    // the instance's pseudo-client short name and instance name. A failure
    // keeps the previous connection.
    int InitializeMongoDbConnection(MongoDBInstance& instance);
    int InitializeMongoDbConnection(uint64_t instanceId);
    int InitializeMongoDbConnection(const std::string& pseudoClientName,
                                    const std::string& instanceName);
    // Initialize(args), then the node-check thresholds "lognumth" and "spaceth".
    int IntializeOSCContext(CProgramArgumentsPtr& args);

    // Runs `operation(arguments...)` with credentials and TLS switched off for
    // both the driver connection and the tools; the connection is dropped
    // before and after so that each side reconnects with its own settings.
    template <typename Operation, typename... Args>
    CZuError RunMethodWithoutAuth(Operation&& operation, Args&&... arguments) {
        AuthAndTlsSuppression suppression(*this);
        return std::invoke(std::forward<Operation>(operation), std::forward<Args>(arguments)...);
    }

    // TLS on by the settings and not suppressed on the connection.
    bool IsSSLActive() const;

    // ---- tool runner ------------------------------------------------------
    // Runs a command line that starts with a bare tool name, with the tool
    // path, TLS options and credentials added as the tool needs them, and
    // cleans the output (see MongoCmdOutput). 0 = success; the tool's exit
    // status when it failed (127 = not found); -1 when TLS options cannot be
    // added or the cleaned output is empty.
    int RunMongoCmd(const std::string& cmd, int outputKind, std::string& output,
                    bool skipAuth = false, bool skipTls = false);
    // Runs a shell command; `commandHoldsSecret` keeps its text out of every log.
    // Returns the shell's exit status.
    virtual int ExecCmd(const std::string& command, std::string& output,
                        std::string& errorOutput, bool commandHoldsSecret);
    bool IsUseAuthentication(const std::string& cmd);
    bool IsUseSslEncryption(const std::string& cmd, std::string& tool);
    // 0 = appended, -1 = no CA file. `tlsNames` selects the --tls... spellings.
    int AddSSlTLSArguments(std::string& command, const bool& tlsNames, bool& holdsSecret);
    // The executable (first word) becomes "<binPath>/<tool>" in double quotes. Returns 0.
    int PrependMongoBinPath(const std::string& cmd, std::string& fullCommand);
    // 0 = the tool directory and its mongo exist; 1 with the reason otherwise.
    int ValidateMongoBinPath(std::string& errorText);
    // Splits a command line (quote-aware); returns the count. The array and
    // its strings are new; release them with DeleteArgv.
    static int GetArgv(const std::string& commandLine, char**& argv);
    static void DeleteArgv(char**& argv);
    // An empty text means the connection's last error.
    bool isAuthenticationError(const std::string& text);

    // ---- reply readers: a missing, null or mistyped key gives the default ----
    static std::string GetStringValue(const JsonObject& obj, const std::string& key);
    static int GetIntValue(const JsonObject& obj, const std::string& key);
    static bool GetBoolean(const JsonObject& obj, const std::string& key);
    static uint64_t GetUInt64Value(const JsonObject& obj, const std::string& key);
    // Any number (integer or not) reads as a double.
    static double GetDoubleValue(const JsonObject& obj, const std::string& key);
    static JsonObject GetObjectValue(const JsonObject& obj, const std::string& key);
    static JsonObject GetArrayValue(const JsonObject& obj, const std::string& key);
    // true with `value` set; false (logged) leaves it untouched.
    static bool GetUInt64ValueV2(const JsonObject& obj, const std::string& key, uint64_t& value);
    static bool GetObjectValueV(const JsonVObject& obj, const std::string& key, JsonVObject& out);
    static bool GetBooleanValueV(const JsonVObject& obj, const std::string& key, bool& out);

    // ---- server version and connectivity ---------------------------------
    // 0 = serverVersion set; 127 = mongod not found; -1 = other failure.
    int GetMongoDBServerVersion();
    bool IsMongodVersion42OrAbove();
    bool isMongodVersion32();
    // Runs an admin command on host:port (read preference secondaryPreferred,
    // whatever slaveOk says). 0 = success, -1 = failure. The caller tests "ok".
    int _RunMongoAdminCmd(const std::string& host, int port, const std::string& jsonCommand,
                          bool slaveOk, std::string& reply);
    // 0 = the server answers a ping, 1 = authentication error, -1 = no answer.
    int CheckMongoConnectivity(const std::string& host, unsigned port, bool useShell);

    // ---- working directories (oplog backup) -------------------------------
    // appResultsDir = <focus client's job results dir>/<marlexId>/<appId>;
    // oscDir = appResultsDir/osc (created). 0 / 1.
    int CreateJobResultsDirectory();
    // stagingDir = setting sOpLogDumpStagingLoc or appResultsDir; creates
    // stagingDir/local. 0 / 1.
    int SetOplogDumpsStagingLocation();
    // nVADeverOREzuzTimeoutInMins; 0 = not set.
    void ReadVADeverOREzuzTimeoutAdditionalSetting();

    // ---- cluster topology (topology/MongoDbUtil*.cpp) ------------------------
    // Discovery: 0 success, -1 failure, 13 authentication failure, 14 no
    // MongoDB process on the master's port, 1 master client unknown or the
    // instance's host name could not be updated; a tool or version failure
    // passes its own code (127 = tools not found). On success the cluster
    // configuration holds the full serverList; on failure its serverList is not touched.
    int Discover(bool browse);
    // 0 when the master host answers (or one of the master client's addresses
    // does, which then becomes the master host), 1, or 14.
    int ValidateMongoHostname(bool browse);
    // 0 (sharded flag set when the master is a router), -1, 13.
    int CheckIfShardedEnv();
    // 0 with the replica-set name taken from the master, -1 for a single server.
    int CheckIfReplicationIsEnabled();
    // Appends one server per member of the replica set reached at host:port. 0 / -1 / 13.
    int GetRepSetInfo(const std::string& name, const std::string& host, int port,
                      std::vector<App::MongoDBServer>& servers, bool configServer);
    int GetConfigRepSetInfo(std::vector<App::MongoDBServer>& servers);  // 0 / -1
    int GetShardsInfo(std::vector<App::MongoDBServer>& servers);        // 0 / -1
    // Appends the router entry; 0 or setServerProp's code.
    int GetMongosServiceInfo(std::vector<App::MongoDBServer>& servers);
    // Fills the per-process fields of `server` from host:port; adds its bound
    // addresses to the bound-IP list. 0 / -1 / 13.
    int setServerProp(App::MongoDBServer& server, const std::string& host, int port, bool member);
    // Bytes of data per replica set into the size map. 0 / -1.
    int listDB();
    // The configuration saved with the instance on the management server.
    CZuError GetMongoClusterConfigFromDB(uint64_t instanceId, App::MongoDBConfig& config);

    // Host-to-client mapping.
    bool GetTwClientEntityForHost(const std::string& host, App::ClientEntity& entity,
                                  bool alternateLookup);
    CZuError GetTWclientForSingleIP(const std::string& ip, App::ClientEntity& entity);
    CZuError GetTWclientsForIPs(const std::vector<std::string>& ips,
                                std::vector<App::ClientEntity>& entities);
    int GetClientsForMongoIPs();  // 0 / -1
    bool GetClientObjFromIPList(const std::string& ip, App::ClientEntity& entity);
    // Gives servers without a client the client of an address they are bound to. Returns 0.
    int UpdateMongoServerList(std::vector<App::MongoDBServer>& servers);

    // Secondary selection: an index into GetTopology().secondaries, or -1.
    int GetSecondaryNodes(const std::string& replicaSetName, const std::string& primaryHost,
                          int primaryPort, const std::vector<App::MongoDBServer>& userChoice);
    int GetSecondaryNodeSetByUser(const std::string& replicaSetName,
                                  const std::vector<App::MongoDBServer>& userChoice);
    int GetSecondaryNodeWithLeastLag(const std::string& replicaSetName);
    int GetSecondaryNodeWithDelayedLag(const std::string& replicaSetName);
    int GetSecondaryNodeWithLowestPriority(const std::string& replicaSetName);
    bool IsRestoreOnlyClient(const std::string& clientName);

    // Quiesce and balancer: 0 / -1.
    int QuiesceDB(const std::string& host, int port);
    int UnQuiesceDB(const std::string& host, int port);
    int PerformLockActionOnDB(const std::string& host, int port, bool lock);
    CZuError GetDBLockStatus(const std::string& host, int port, bool& locked);
    int StopStartBalancer(bool stop);
    int StopStartBalancerV32(bool stop);

    MongoDbTopologyState& GetTopology() { return m_topology; }
    const MongoDbTopologyState& GetTopology() const { return m_topology; }
    // The master's client: the one set for a browse, else the local client.
    uint64_t GetMasterClientId() const;
    // ---- end of cluster topology ----------------------------------------------

    // ---- oplog backup (logbackup/MongoDbUtil*.cpp) ----------------------------
    // One dump pass over the replica sets recorded for the current cycle: each
    // secondary is dumped from its recorded point and its new point recorded.
    // 0 = every record dumped; 1 = failure; 2 = a node was found primary;
    // 3 = oplog rollover detected. Dumps recorded before a failure stay valid.
    int PerformOpLogDumps(bool suppressRolloverEvent);
    // Runs mongodump of the inputs into outDir/local/oplog.rs.bson. 0 / 1.
    int RunMongoDBDump(const MongoDbDumpInputs_t& inputs);
    // Gives the fresh dump its own name (oplog_<rs>_<from>.bson). 0 / 1.
    int RenameOplogDumpFile(const MongoDbDumpInputs_t& inputs, std::string& newPath);
    // 0 = secondary, 1 = not secondary, -1 = the node did not answer.
    int CheckForSecondaryRole(const std::string& host, int port);
    // Seconds of the oldest entry of the node's oplog (error 1359 otherwise).
    CZuError GetFirstTimestampFromOplogCollection(const std::string& host, int port,
                                                  uint64_t& first);
    // rolledOver when the oldest entry is not older than the recorded point,
    // so entries after that point may be gone; raises the rollover event
    // unless suppressEvent. Error 1359 when the oldest entry cannot be read.
    CZuError HasOplogRolledOver(const MongoDbOplogTimeStampInfo_t& record,
                                const bool& suppressEvent, bool& rolledOver);
    // Adds the dumps waiting in stagingDir/local to `count`. 0 / 1.
    int CountOplogDumpsInStagingLoc(uint64_t& count);
    // The due-for-backup rule (dump count and staging disk use). 0 / 1.
    int CheckStagingLocQualifyForBackup(QualifyRet& qualify, int& dumpCount);

    // Timestamp store and collect files: 0 / 1 unless said otherwise.
    int RecordCurrentFullJobId(const int64_t& jobId);
    int GetLastFullJobId(int64_t& jobId);
    // Writes the replica set's timestamp file (a record with timestamp 0 asks
    // the node); startsCycle also records the full job and, when no dumps
    // wait in staging, the reset mark.
    int SaveOplogLastEntryTSInFile(const MongoDbOplogTimeStampInfo_t& record, bool startsCycle);
    // The records of the cycle named by LAST_FULL_JOB, in directory order;
    // reset when any of them carries the reset mark. Fails as a whole on a bad file.
    int GetOplogLastEntryTSFromFile(std::vector<MongoDbOplogTimeStampInfo_t>& records,
                                    bool& reset);
    // 0 = found, 1 = not in the reply, -1 = the command failed.
    int QueryOplogLastEntryTSFromDB(const std::string& host, const unsigned& port,
                                    uint64_t& timestamp);
    bool IsFullBackupParticipatingNode(int64_t fullJobId);
    // Lists a dump in its replica set's "LogFiles" file; reset starts the list afresh.
    int UpdateOplogDumpsCollectFile(MongoDbOplogDumpsCollectfileFormat_t& entry,
                                    const bool& reset);
    // A last dump pass, then numbered collect files and the replica-set map
    // for the log backup of this node.
    int CreateCollectFilesForLogBackup(int backupLevel);
    int UpdateCollectFilesInfoMap(const std::string& collectFilePath, const int& n);
    // ---- end of oplog backup ----------------------------------------------------

    // ---- state ---------------------------------------------------------------
    const std::string& GetMongoHost() const { return m_mongoHost; }
    void SetMongoHost(const std::string& host) { m_mongoHost = host; }
    int GetMongoPort() const { return m_mongoPort; }
    void SetMongoPort(int port) { m_mongoPort = port; }
    const std::string& GetDbUser() const { return m_dbUser; }
    void SetDbCredentials(const std::string& user, const std::string& password);
    bool HasDbPassword() const { return !m_dbPassword.empty(); }
    const std::string& GetServerVersion() const { return m_serverVersion; }
    const std::string& GetBinPath() const { return m_binPath; }
    void SetBinPath(const std::string& path) { m_binPath = path; }
    const std::string& GetOsUser() const { return m_osUser; }
    const std::string& GetLocalHostName() const { return m_localHostName; }
    uint64_t GetAppId() const { return m_appId; }
    uint64_t GetMarlexId() const { return m_marlexId; }
    uint64_t GetInstanceId() const { return m_instanceId; }
    uint64_t GetClientId() const { return m_clientId; }
    int64_t GetJobId() const { return m_jobId; }
    std::shared_ptr<TWJobClient> GetJobClient() const { return m_jobClient; }
    const std::string& GetRunAsUser() const { return m_runAsUser; }
    bool IsAuthAndTlsSuppressed() const { return m_suppressAuthAndTls; }
    void SetAuthAndTlsSuppressed(bool suppressed) { m_suppressAuthAndTls = suppressed; }
    bool IsGranularRecovery() const { return m_granularRecovery; }
    uint64_t GetDumpCountThreshold() const { return m_dumpCountThreshold; }
    uint64_t GetSpaceThresholdPercent() const { return m_spaceThresholdPercent; }
    uint64_t GetPendingDumpCount() const { return m_pendingDumpCount; }
    void SetPendingDumpCount(uint64_t count) { m_pendingDumpCount = count; }
    const std::string& GetStagingDir() const { return m_stagingDir; }
    const std::string& GetAppResultsDir() const { return m_appResultsDir; }
    const std::string& GetOscDir() const { return m_oscDir; }
    bool UseLowestPriorityNode() const { return m_useLowestPriorityNode; }
    bool UseLeastLagNode() const { return m_useLeastLagNode; }
    bool UseDelayedLagNode() const { return m_useDelayedLagNode; }
    unsigned GetRecoveryTimeoutMins() const { return m_recoveryTimeoutMins; }
    const std::shared_ptr<App::MongoDBConfig>& GetClusterConfig() const { return m_clusterConfig; }
    const std::shared_ptr<MongoDbConnection>& GetConnection() const { return m_connection; }

private:
    // Switches credentials and TLS off for its lifetime (RunMethodWithoutAuth).
    class AuthAndTlsSuppression {
    public:
        explicit AuthAndTlsSuppression(MongoDbUtil& util);
        ~AuthAndTlsSuppression();
        AuthAndTlsSuppression(const AuthAndTlsSuppression&) = delete;
        AuthAndTlsSuppression& operator=(const AuthAndTlsSuppression&) = delete;

    private:
        MongoDbUtil& m_util;
        std::shared_ptr<MongoDbConnection> m_connection;
        bool m_sslSkip;
        bool m_authSkip;
        bool m_suppressAuthAndTls;
    };

    // Decrypts a stored password (1024-byte buffer); false on failure.
    static bool DecryptPassword(const std::string& protectedText, std::string& clear);
    static std::string FirstWord(const std::string& cmd);
    void AppendCredentials(std::string& command) const;
    static void CleanToolOutput(std::string& output, int outputKind);

    std::string m_mongoHost;
    int m_mongoPort = 27017;
    std::string m_dbUser;
    std::string m_dbPassword;
    std::string m_serverVersion;
    std::string m_binPath;
    std::string m_osUser;
    std::string m_localHostName;
    uint64_t m_appId = 0;
    uint64_t m_marlexId = 2;
    uint64_t m_instanceId = 0;
    uint64_t m_clientId = 0;
    int64_t m_jobId = 0;
    std::shared_ptr<TWJobClient> m_jobClient;
    std::string m_runAsUser;
    std::string m_runAsPassword;
    bool m_suppressAuthAndTls = false;
    bool m_granularRecovery = false;
    uint64_t m_dumpCountThreshold = 0;
    uint64_t m_spaceThresholdPercent = 0;
    uint64_t m_pendingDumpCount = 0;
    std::string m_stagingDir;
    std::string m_appResultsDir;
    std::string m_oscDir;
    bool m_useLowestPriorityNode = true;
    bool m_useLeastLagNode = false;
    bool m_useDelayedLagNode = false;
    unsigned m_recoveryTimeoutMins = 0;
    std::shared_ptr<App::MongoDBConfig> m_clusterConfig;
    std::shared_ptr<MongoDbConnection> m_connection;
    MongoDbTopologyState m_topology;  // cluster topology
};

}  // namespace MongoDbKax
