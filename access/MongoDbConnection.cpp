#include "access/MongoDbConnection.h"

#include <mongoc/mongoc.h>

#include <strings.h>

#include <climits>
#include <cstring>
#include <utility>

#include "host/LogWriter.h"
#include "host/Password.h"
#include "host/PlatformInfo.h"

namespace MongoDbKax {

namespace {

// The driver is initialised once per load of the module and cleaned up at
// unload; nothing else may call mongoc_init or mongoc_cleanup.
class DriverGuard {
public:
    DriverGuard() {
        mongoc_init();
        mongoc_log_set_handler(&DriverGuard::ForwardDriverLog, nullptr);
    }
    ~DriverGuard() {
        mongoc_log_set_handler(nullptr, nullptr);
        mongoc_cleanup();
    }

private:
    // The driver's own warnings go to the agent log instead of stderr.
    static void ForwardDriverLog(mongoc_log_level_t level, const char* domain, const char* message,
                                 void*) {
        const int ourLevel = level <= MONGOC_LOG_LEVEL_WARNING ? 2 : 7;
        ZULOG(ourLevel, "mongoc [%s]: %s", domain ? domain : "", message ? message : "");
    }
};
const DriverGuard s_driverGuard;

constexpr const char* kSection = TWSettingSections::Agent;
constexpr const char* kEnableSsl = "bEnableMongoSSL";
constexpr const char* kPemKeyFile = "sMongoSSLClientPEMKeyFile";
constexpr const char* kCaFile = "sMongoSSLClientCAFile";
constexpr const char* kPemKeyPassword = "pMongoSSLClientPEMKeyPassword";
constexpr const char* kSocketTimeout = "nMongoConnectionSocketTimeoutInSec";
constexpr const char* kAppName = "tarnwell-agent";
constexpr size_t kPasswordBufferSize = 1024;
constexpr size_t kLoggedReplyLimit = 2048;

// Owns a heap BSON document (bson_t's alignment attribute keeps it out of
// std::unique_ptr without a warning).
class BsonPtr {
public:
    explicit BsonPtr(bson_t* doc = nullptr) : m_doc(doc) {}
    BsonPtr(BsonPtr&& other) noexcept : m_doc(other.m_doc) { other.m_doc = nullptr; }
    BsonPtr& operator=(BsonPtr&& other) noexcept {
        std::swap(m_doc, other.m_doc);
        return *this;
    }
    ~BsonPtr() {
        if (m_doc)
            bson_destroy(m_doc);
    }
    bson_t* get() const { return m_doc; }
    explicit operator bool() const { return m_doc != nullptr; }

private:
    bson_t* m_doc;
};

// Owns a driver-allocated string.
struct BsonFree {
    void operator()(char* text) const { bson_free(text); }
};
using BsonText = std::unique_ptr<char, BsonFree>;

struct CollectionDeleter {
    void operator()(mongoc_collection_t* c) const { mongoc_collection_destroy(c); }
};
struct DatabaseDeleter {
    void operator()(mongoc_database_t* d) const { mongoc_database_destroy(d); }
};
struct CursorDeleter {
    void operator()(mongoc_cursor_t* c) const { mongoc_cursor_destroy(c); }
};
struct ReadPrefsDeleter {
    void operator()(mongoc_read_prefs_t* p) const { mongoc_read_prefs_destroy(p); }
};
// Appends a driver-allocated, null-terminated name list and frees it.
void AppendNames(char** list, std::vector<std::string>& names) {
    for (char** name = list; *name; ++name)
        names.emplace_back(*name);
    bson_strfreev(list);
}

// A reply document kept on the stack; the driver initialises it even when a
// call fails, so it is always destroyed.
struct StackReply {
    bson_t doc;
    StackReply() { bson_init(&doc); }
    ~StackReply() { bson_destroy(&doc); }
};

std::string ToRelaxedJson(const bson_t* doc) {
    size_t length = 0;
    BsonText text(bson_as_relaxed_extended_json(doc, &length));
    return text ? std::string(text.get(), length) : std::string();
}

// Long replies (server status, oplog pages) are logged in part only.
std::string ForLog(const std::string& reply) {
    if (reply.size() <= kLoggedReplyLimit)
        return reply;
    return reply.substr(0, kLoggedReplyLimit) + "...";
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0)
        vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    return text;
}

}  // namespace

struct MongoDbConnection::Impl {
    std::string lastError;
    mongoc_client_t* client = nullptr;
    mongoc_uri_t* uri = nullptr;
    std::string pemKeyFile;
    std::string caFile;
    std::string pemKeyPassword;
    bool sslSkip = false;
    bool authSkip = false;
    bool sslEnabled = false;
    uint32_t socketTimeoutSec = 0;

    ~Impl() {
        Release();
        explicit_bzero(pemKeyPassword.data(), pemKeyPassword.size());
    }

    void Release() {
        if (client)
            mongoc_client_destroy(client);
        if (uri)
            mongoc_uri_destroy(uri);
        client = nullptr;
        uri = nullptr;
    }

    void ReadSettings(const std::string& pseudoClientName, const std::string& instanceName);
    void ReadTlsSettings(const std::string& pseudoClientName, const std::string& instanceName);
    void ReadSocketTimeout();
    bool CreateClient(const std::string& host, int port, const std::string& user,
                      const std::string& password);
    bool SetTlsOptions();

    // Records a failure of an operation and logs it.
    void Fail(std::string text) {
        lastError = std::move(text);
        ZULOG_ERROR("[%s]", lastError.c_str());
    }
    bool RequireClient() {
        if (client)
            return true;
        Fail("Not connected to a MongoDB server");
        return false;
    }
    // JSON text -> BSON; null with lastError set on failure. The two texts
    // differ by one comma, as the operator-facing messages always have.
    BsonPtr FromJson(const std::string& json, bool secondDocument) {
        bson_error_t error;
        bson_t* doc = bson_new_from_json(reinterpret_cast<const uint8_t*>(json.data()),
                                         ssize_t(json.size()), &error);
        if (!doc)
            Fail(Format(secondDocument
                            ? "Failed to convert JSON command to BSON. JSON: [%s], error: [%s]"
                            : "Failed to convert JSON command to BSON. JSON: [%s] error: [%s]",
                        json.c_str(), error.message));
        return BsonPtr(doc);
    }
};

void MongoDbConnection::Impl::ReadSettings(const std::string& pseudoClientName,
                                           const std::string& instanceName) {
    ReadTlsSettings(pseudoClientName, instanceName);
    ReadSocketTimeout();
}

void MongoDbConnection::Impl::ReadTlsSettings(const std::string& pseudoClientName,
                                              const std::string& instanceName) {
    const bool haveSuffix = !pseudoClientName.empty() && !instanceName.empty();
    const std::string suffix = pseudoClientName + "_" + instanceName;
    auto composite = [&](const char* key) { return std::string(key) + "_" + suffix; };

    bool enabled = false;
    if (haveSuffix && TWPlatformInfo::getBoolean(kSection, composite(kEnableSsl), enabled) &&
        enabled) {
        ZULOG(2, "SSL is enabled with additional setting [%s_%s_%s]", kEnableSsl,
              pseudoClientName.c_str(), instanceName.c_str());
    } else if (TWPlatformInfo::getBoolean(kSection, kEnableSsl, enabled) && enabled) {
        ZULOG(2, "SSL is enabled with additional setting [%s]", kEnableSsl);
    } else {
        ZULOG(2, "Additional setting [%s] is not found to enable TLS/SSL parameters", kEnableSsl);
        return;
    }
    sslEnabled = true;

    // The composite value wins when it exists and is not empty.
    auto readString = [&](const char* key, std::string& out) {
        std::string value;
        if (haveSuffix && TWPlatformInfo::getString(kSection, composite(key), value) &&
            !value.empty()) {
            out = value;
            return;
        }
        value.clear();
        TWPlatformInfo::getString(kSection, key, value);
        out = value;
    };
    readString(kPemKeyFile, pemKeyFile);
    readString(kCaFile, caFile);
    if (caFile.empty()) {
        ZULOG_ERROR("CA File is mandatory when SSL is enabled. Returning Failure. Provide full "
                    "path to the CA file using setting [%s]",
                    kCaFile);
        return;
    }
    readString(kPemKeyPassword, pemKeyPassword);
    if (pemKeyPassword.empty())
        return;
    char buffer[kPasswordBufferSize];
    size_t length = sizeof(buffer);
    if (TWPassword::decrypt(pemKeyPassword, buffer, length)) {
        explicit_bzero(pemKeyPassword.data(), pemKeyPassword.size());
        pemKeyPassword.assign(buffer, length);
    } else {
        ZULOG_ERROR("Failed to decrypt the PEM key password");
    }
    explicit_bzero(buffer, sizeof(buffer));
}

void MongoDbConnection::Impl::ReadSocketTimeout() {
    int64_t seconds = 0;
    if (TWPlatformInfo::getNumber(kSection, kSocketTimeout, seconds) && seconds > 0) {
        socketTimeoutSec = seconds > int64_t(UINT32_MAX) ? UINT32_MAX : uint32_t(seconds);
        ZULOG(2, "Found setting for mongo connection wait timeout [%u] seconds", socketTimeoutSec);
    } else {
        ZULOG(2, "Using default wait timeout (300 secs) for mongoc driver connections");
    }
}

bool MongoDbConnection::Impl::CreateClient(const std::string& host, int port,
                                           const std::string& user, const std::string& password) {
    const std::string uriText = "mongodb://" + host + ":" + std::to_string(port);
    bson_error_t error;
    uri = mongoc_uri_new_with_error(uriText.c_str(), &error);
    if (!uri) {
        lastError = "failed to parse URI: " + uriText + " error message: " + error.message;
        return false;
    }
    if (authSkip)
        ZULOG(2, "Ignoring authentication params");
    if (!user.empty() && !password.empty() && !authSkip) {
        if (!mongoc_uri_set_username(uri, user.c_str())) {
            lastError = "Unable to set username: [" + user + "] for mongodb connection";
            return false;
        }
        if (!mongoc_uri_set_password(uri, password.c_str())) {
            lastError = "Unable to set password for mongodb connection";
            return false;
        }
    }
    if (socketTimeoutSec != 0) {
        ZULOG(2, "Using socket timeout [%u] seconds", socketTimeoutSec);
        // The driver takes milliseconds as a 32-bit integer.
        const int64_t ms = int64_t(socketTimeoutSec) * 1000;
        mongoc_uri_set_option_as_int32(uri, MONGOC_URI_SOCKETTIMEOUTMS,
                                       ms > INT32_MAX ? INT32_MAX : int32_t(ms));
    }
    client = mongoc_client_new_from_uri(uri);
    if (!client) {
        lastError = "failed to connect to client";
        return false;
    }
    if (sslSkip)
        ZULOG(2, "Ignoring SSL params");
    mongoc_client_set_appname(client, kAppName);
    if (sslEnabled && !sslSkip)
        return SetTlsOptions();
    return true;
}

bool MongoDbConnection::Impl::SetTlsOptions() {
    ZULOG(2, "Setting SSL params");
    if (caFile.empty()) {
        lastError = "CA File path is empty. CA File path is mandatory when SSL is enabled.";
        ZULOG_ERROR("%s", lastError.c_str());
        return false;
    }
    // Every other option stays at its zero value: certificate and host-name
    // validation remain strict.
    mongoc_ssl_opt_t options;
    std::memset(&options, 0, sizeof(options));
    options.ca_file = caFile.c_str();
    if (!pemKeyFile.empty())
        options.pem_file = pemKeyFile.c_str();
    if (!pemKeyPassword.empty())
        options.pem_pwd = pemKeyPassword.c_str();
    mongoc_client_set_ssl_opts(client, &options);
    return true;
}

MongoDbConnection::MongoDbConnection() : MongoDbConnection(std::string(), std::string()) {}

MongoDbConnection::MongoDbConnection(const std::string& pseudoClientName,
                                     const std::string& instanceName)
    : m_impl(std::make_unique<Impl>()) {
    m_impl->ReadSettings(pseudoClientName, instanceName);
}

MongoDbConnection::~MongoDbConnection() { Disconnect(); }

bool MongoDbConnection::Connect(const std::string& host, int port, const std::string& user,
                                const std::string& password) {
    if (m_impl->client && port == m_port && strcasecmp(host.c_str(), m_host.c_str()) == 0) {
        ZULOG(3, "Reusing existing connection to [%s:%d]", host.c_str(), port);
        return false;
    }
    m_impl->Release();
    m_impl->lastError.clear();
    if (m_impl->CreateClient(host, port, user, password)) {
        m_host = host;
        m_port = port;
        ZULOG(2, "Connected to [%s:%d]", host.c_str(), port);
        return false;
    }
    m_impl->Release();
    m_host.clear();
    m_port = 0;
    ZULOG_ERROR("Failed to coonnect to [%s:%d]", host.c_str(), port);
    if (!m_impl->lastError.empty())
        ZULOG_ERROR("[%s]", m_impl->lastError.c_str());
    return true;
}

void MongoDbConnection::Disconnect() {
    m_impl->Release();
    m_host.clear();
    m_port = 0;
}

bool MongoDbConnection::CheckConnection() {
    if (!m_impl->client || !m_impl->uri)
        return false;
    BsonPtr ping(BCON_NEW("ping", BCON_INT32(1)));
    StackReply reply;
    bson_error_t error;
    if (!mongoc_client_command_simple(m_impl->client, "admin", ping.get(), nullptr, &reply.doc,
                                      &error)) {
        m_impl->Fail(Format("Check connection failed, error message: [%s]", error.message));
        return false;
    }
    ZULOG(3, "jsonOut=[%s]", ForLog(ToRelaxedJson(&reply.doc)).c_str());
    return true;
}

bool MongoDbConnection::RunCommand(const std::string& database, const std::string& jsonCommand,
                                   bool slaveOk, std::string& jsonReply) {
    ZULOG(3, "database:[%s], command:[%s], slaveOK:[%s]", database.c_str(), jsonCommand.c_str(),
          slaveOk ? "true" : "false");
    if (!m_impl->RequireClient())
        return true;
    BsonPtr command = m_impl->FromJson(jsonCommand, false);
    if (!command)
        return true;
    std::unique_ptr<mongoc_read_prefs_t, ReadPrefsDeleter> prefs(
        mongoc_read_prefs_new(slaveOk ? MONGOC_READ_SECONDARY_PREFERRED : MONGOC_READ_PRIMARY));
    StackReply reply;
    bson_error_t error;
    if (!mongoc_client_command_simple(m_impl->client, database.c_str(), command.get(),
                                      prefs.get(), &reply.doc, &error)) {
        m_impl->Fail(Format("Run admin command failed, error message: [%s]", error.message));
        return true;
    }
    jsonReply = ToRelaxedJson(&reply.doc);
    ZULOG(6, "jsonOut=[%s]", ForLog(jsonReply).c_str());
    return false;
}

bool MongoDbConnection::RunAdminCommand(const std::string& jsonCommand, bool slaveOk,
                                        std::string& jsonReply) {
    return RunCommand("admin", jsonCommand, slaveOk, jsonReply);
}

bool MongoDbConnection::UpdateOne(const std::string& database, const std::string& collection,
                                  const std::string& jsonFilter, const std::string& jsonUpdate,
                                  std::string& jsonReply) {
    if (!m_impl->RequireClient())
        return true;
    BsonPtr filter = m_impl->FromJson(jsonFilter, false);
    if (!filter)
        return true;
    BsonPtr update = m_impl->FromJson(jsonUpdate, true);
    if (!update)
        return true;
    std::unique_ptr<mongoc_collection_t, CollectionDeleter> coll(
        mongoc_client_get_collection(m_impl->client, database.c_str(), collection.c_str()));
    StackReply reply;
    bson_error_t error;
    if (!mongoc_collection_update_one(coll.get(), filter.get(), update.get(), nullptr, &reply.doc,
                                      &error)) {
        m_impl->Fail(Format("Update failed, error: [%s]", error.message));
        return true;
    }
    jsonReply = ToRelaxedJson(&reply.doc);
    return false;
}

bool MongoDbConnection::DeleteOne(const std::string& database, const std::string& collection,
                                  const std::string& jsonFilter) {
    if (!m_impl->RequireClient())
        return true;
    BsonPtr filter = m_impl->FromJson(jsonFilter, false);
    if (!filter)
        return true;
    std::unique_ptr<mongoc_collection_t, CollectionDeleter> coll(
        mongoc_client_get_collection(m_impl->client, database.c_str(), collection.c_str()));
    bson_error_t error;
    if (!mongoc_collection_delete_one(coll.get(), filter.get(), nullptr, nullptr, &error)) {
        m_impl->Fail(Format("Delete failed, error: [%s]", error.message));
        return true;
    }
    return false;
}

bool MongoDbConnection::getDocumentsFromCollection(const std::string& database,
                                                   const std::string& collection,
                                                   std::vector<std::string>& documents,
                                                   std::string filter, std::string options) {
    if (filter.empty())
        filter = "{}";
    ZULOG(3, "Filter: [%s]", filter.c_str());
    ZULOG(3, "Options: [%s]", options.c_str());
    if (!m_impl->RequireClient())
        return true;
    BsonPtr filterDoc = m_impl->FromJson(filter, false);
    if (!filterDoc)
        return true;
    BsonPtr optionsDoc;
    if (!options.empty()) {
        optionsDoc = m_impl->FromJson(options, true);
        if (!optionsDoc)
            return true;
    }
    std::unique_ptr<mongoc_collection_t, CollectionDeleter> coll(
        mongoc_client_get_collection(m_impl->client, database.c_str(), collection.c_str()));
    std::unique_ptr<mongoc_cursor_t, CursorDeleter> cursor(mongoc_collection_find_with_opts(
        coll.get(), filterDoc.get(), optionsDoc.get(), nullptr));
    const bson_t* doc = nullptr;
    while (mongoc_cursor_next(cursor.get(), &doc))
        documents.push_back(ToRelaxedJson(doc));
    // A failed query (refused credentials, lost server) must not read as an
    // empty result.
    bson_error_t error;
    if (mongoc_cursor_error(cursor.get(), &error)) {
        m_impl->Fail(Format("Find on [%s.%s] failed, error: [%s]", database.c_str(),
                            collection.c_str(), error.message));
        return true;
    }
    return false;
}

bool MongoDbConnection::GetCollectionsInDatabase(const std::string& database,
                                                 std::vector<std::string>& names) {
    if (!m_impl->RequireClient())
        return false;
    std::unique_ptr<mongoc_database_t, DatabaseDeleter> db(
        mongoc_client_get_database(m_impl->client, database.c_str()));
    if (!db) {
        ZULOG_ERROR("Failed to initialize mongoc database object");
        return false;
    }
    bson_error_t error;
    char** list = mongoc_database_get_collection_names_with_opts(db.get(), nullptr, &error);
    if (!list) {
        ZULOG_ERROR("Failed to get collections from database with error : [%s]\n", error.message);
        m_impl->lastError = error.message;
        return false;
    }
    AppendNames(list, names);
    return true;
}

bool MongoDbConnection::GetDatabasesList(std::vector<std::string>& names) {
    if (!m_impl->RequireClient())
        return false;
    bson_error_t error;
    char** list = mongoc_client_get_database_names_with_opts(m_impl->client, nullptr, &error);
    if (!list) {
        ZULOG_ERROR("Failed to get databases with error : [%s]\n", error.message);
        m_impl->lastError = error.message;
        return false;
    }
    AppendNames(list, names);
    return true;
}

const char* MongoDbConnection::GetLastErrorMsg() const { return m_impl->lastError.c_str(); }

bool MongoDbConnection::isSslEnabled() const { return m_impl->sslEnabled; }
bool MongoDbConnection::IsSSLActive() const { return m_impl->sslEnabled && !m_impl->sslSkip; }

bool MongoDbConnection::getSslCAFile(std::string& value) const {
    value = m_impl->caFile;
    return !value.empty();
}
bool MongoDbConnection::getSslPEMKeyFile(std::string& value) const {
    value = m_impl->pemKeyFile;
    return !value.empty();
}
bool MongoDbConnection::getSslPEMKeyPassword(std::string& value) const {
    value = m_impl->pemKeyPassword;
    return !value.empty();
}

bool MongoDbConnection::GetSslSkipState() const { return m_impl->sslSkip; }
bool MongoDbConnection::GetAuthSkipState() const { return m_impl->authSkip; }
void MongoDbConnection::SetSslSkipState(const bool& skip) { m_impl->sslSkip = skip; }
void MongoDbConnection::SetAuthSkipState(const bool& skip) { m_impl->authSkip = skip; }

}  // namespace MongoDbKax
