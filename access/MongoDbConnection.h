#pragma once
// One driver connection to one MongoDB endpoint, with JSON-text operations.
// The driver handles live in the private Impl so that no driver type leaks
// into the module's headers. Used by one thread at a time.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace MongoDbKax {

class MongoDbConnection {
public:
    // Reads the TLS settings under their plain names only, then the socket timeout.
    MongoDbConnection();
    // Reads each TLS setting first under "<key>_<pseudoClientName>_<instanceName>"
    // (when both strings are non-empty), then under the plain key; then the
    // socket timeout. Never fails: a bad TLS set-up shows as a failing Connect.
    MongoDbConnection(const std::string& pseudoClientName, const std::string& instanceName);
    ~MongoDbConnection();
    MongoDbConnection(const MongoDbConnection&) = delete;
    MongoDbConnection& operator=(const MongoDbConnection&) = delete;

    // false = connected (or an existing connection to the same host, compared
    // without regard to case, and port is reused); true = failure (lastError set).
    // Credentials are used only when user and password are both non-empty.
    bool Connect(const std::string& host, int port, const std::string& user,
                 const std::string& password);
    void Disconnect();
    // true = the server answered a ping.
    bool CheckConnection();

    // false = success, true = failure. `jsonReply` is relaxed Extended JSON.
    // slaveOk selects read preference secondaryPreferred, else primary.
    bool RunCommand(const std::string& database, const std::string& jsonCommand, bool slaveOk,
                    std::string& jsonReply);
    bool RunAdminCommand(const std::string& jsonCommand, bool slaveOk, std::string& jsonReply);
    // false = success, true = failure.
    bool UpdateOne(const std::string& database, const std::string& collection,
                   const std::string& jsonFilter, const std::string& jsonUpdate,
                   std::string& jsonReply);
    bool DeleteOne(const std::string& database, const std::string& collection,
                   const std::string& jsonFilter);
    // false = success, true = failure. Appends every found document (relaxed
    // Extended JSON) to `documents`; an empty filter means {}. `options` holds
    // find options such as sort, limit and projection. A cursor that fails
    // part-way is a failure; the documents read before it stay appended.
    bool getDocumentsFromCollection(const std::string& database, const std::string& collection,
                                    std::vector<std::string>& documents, std::string filter,
                                    std::string options);
    // true = success, false = failure. Names are appended.
    bool GetCollectionsInDatabase(const std::string& database, std::vector<std::string>& names);
    bool GetDatabasesList(std::vector<std::string>& names);

    const char* GetLastErrorMsg() const;

    // TLS switched on by the settings, whatever the skip state says.
    bool isSslEnabled() const;
    // TLS on by the settings and not skipped for this connection.
    bool IsSSLActive() const;
    // Copy the value out; true when it is not empty.
    bool getSslCAFile(std::string& value) const;
    bool getSslPEMKeyFile(std::string& value) const;
    bool getSslPEMKeyPassword(std::string& value) const;
    // Skip states take effect at the next new connection.
    bool GetSslSkipState() const;
    bool GetAuthSkipState() const;
    void SetSslSkipState(const bool& skip);
    void SetAuthSkipState(const bool& skip);

    // Host and port of the current connection ("" and 0 when not connected).
    const std::string& GetHost() const { return m_host; }
    int GetPort() const { return m_port; }

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::string m_host;
    int m_port = 0;
};

}  // namespace MongoDbKax
