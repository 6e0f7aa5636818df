#include "platform/StateDb.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <utility>

#include "host/Files.h"
#include "host/LogWriter.h"
#include "host/Platform.h"

namespace {

// How long a statement waits for another process's lock before failing.
// Long enough for a job process's biggest transaction, short enough that a
// stuck process shows up as an error instead of a hang.
constexpr int kBusyTimeoutMs = 15000;

struct SchemaRegistry {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> schemas;  // in registration order
};

SchemaRegistry& Registry() {
    static SchemaRegistry* registry = new SchemaRegistry();  // outlives static destructors
    return *registry;
}

CZuError SqliteError(const FXCodeLocation& where, sqlite3* db, const char* what, const std::string& sql) {
    return FXErrorUtil::ErrorWin32(where, ZuCode::FunctionFailed, "SQLite %s failed (%d: %s) for [%s]",
                                   what, db ? sqlite3_extended_errcode(db) : 0,
                                   db ? sqlite3_errmsg(db) : "no connection", sql.c_str());
}

// Deletes a prepared statement on every path out of a scope.
struct StatementGuard {
    sqlite3_stmt* stmt = nullptr;
    ~StatementGuard() { sqlite3_finalize(stmt); }
};

}  // namespace

StateDb& StateDb::Instance() {
    static StateDb* instance = new StateDb();  // lives as long as the process
    return *instance;
}

std::string StateDb::GetPath() { return FXPath::Join(TWPI_PlatformBase::GetStateRoot(), "state.db"); }

CZuError StateDb::Get(StateDb*& db) {
    db = nullptr;
    std::string root;
    CZuError err = TWPI_PlatformBase::GetExistingStateRoot(root);
    if (err) return err.Push(FXLOC);
    StateDb& instance = Instance();
    std::lock_guard<std::recursive_mutex> lock(instance.m_mutex);
    std::string path = FXPath::Join(root, "state.db");
    if (!instance.m_db || instance.m_path != path) {
        err = instance.OpenLocked(path);
        if (err) return err.Push(FXLOC);
    }
    db = &instance;
    return CZuError::Success();
}

void StateDb::Close() {
    StateDb& instance = Instance();
    std::lock_guard<std::recursive_mutex> lock(instance.m_mutex);
    instance.CloseLocked();
}

void StateDb::CloseLocked() {
    if (m_db) sqlite3_close_v2(m_db);
    m_db = nullptr;
    m_path.clear();
}

CZuError StateDb::OpenLocked(const std::string& path) {
    CloseLocked();
    bool isNew = !FXFile::Exists(path);
    sqlite3* handle = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &handle,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        CZuError err = SqliteError(FXLOC, handle, "open", path);
        sqlite3_close_v2(handle);
        return err;
    }
    // The database holds protected passwords and job records: owner only.
    if (isNew) ::chmod(path.c_str(), 0600);
    sqlite3_busy_timeout(handle, kBusyTimeoutMs);
    m_db = handle;
    m_path = path;
    CZuError err = RunLocked("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;",
                             {}, nullptr, nullptr);
    if (!err) err = ApplySchemasLocked();
    if (err) {
        CloseLocked();
        return err.Push(FXLOC, "cannot open the state database [%s]", path.c_str());
    }
    ZULOG(3, "Opened state database [%s]", path.c_str());
    return CZuError::Success();
}

CZuError StateDb::ApplySchemasLocked() {
    std::vector<std::pair<std::string, std::string>> schemas;
    {
        std::lock_guard<std::mutex> lock(Registry().mutex);
        schemas = Registry().schemas;
    }
    for (const auto& [name, ddl] : schemas) {
        CZuError err = RunLocked(ddl, {}, nullptr, nullptr);
        if (err) return err.Push(FXLOC, "schema [%s] could not be applied", name.c_str());
    }
    return CZuError::Success();
}

bool StateDb::RegisterSchema(const std::string& name, const std::string& ddl) {
    {
        std::lock_guard<std::mutex> lock(Registry().mutex);
        auto& schemas = Registry().schemas;
        bool replaced = false;
        for (auto& entry : schemas)
            if (entry.first == name) {
                entry.second = ddl;
                replaced = true;
            }
        if (!replaced) schemas.emplace_back(name, ddl);
    }
    // A library loaded after the database was opened still gets its tables.
    StateDb& instance = Instance();
    std::lock_guard<std::recursive_mutex> lock(instance.m_mutex);
    if (instance.m_db) {
        CZuError err = instance.RunLocked(ddl, {}, nullptr, nullptr);
        if (err) ZULOG_ERROR("Schema [%s] could not be applied: %s", name.c_str(), err.AsString().c_str());
    }
    return true;
}

CZuError StateDb::RunLocked(const std::string& sql, const Params& params, std::vector<Row>* rows,
                            int64_t* changes) {
    if (!m_db) return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "state database is not open");
    if (rows) rows->clear();
    if (changes) *changes = 0;
    // A text may hold several statements (schemas); each takes the
    // parameters it names.
    const char* next = sql.c_str();
    const char* end = next + sql.size();
    while (next < end) {
        StatementGuard guard;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(m_db, next, static_cast<int>(end - next), &guard.stmt, &tail) != SQLITE_OK)
            return SqliteError(FXLOC, m_db, "prepare", sql);
        next = tail;
        if (!guard.stmt) continue;  // blank or comment
        int wanted = sqlite3_bind_parameter_count(guard.stmt);
        if (wanted > static_cast<int>(params.size()))
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                           "statement needs %d parameters, %zu given: [%s]", wanted,
                                           params.size(), sql.c_str());
        for (int i = 0; i < wanted; ++i) {
            const auto& value = params[static_cast<size_t>(i)];
            int rc = value ? sqlite3_bind_text(guard.stmt, i + 1, value->data(),
                                               static_cast<int>(value->size()), SQLITE_TRANSIENT)
                           : sqlite3_bind_null(guard.stmt, i + 1);
            if (rc != SQLITE_OK) return SqliteError(FXLOC, m_db, "bind", sql);
        }
        for (;;) {
            int rc = sqlite3_step(guard.stmt);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) return SqliteError(FXLOC, m_db, "step", sql);
            if (!rows) continue;
            Row row;
            int columns = sqlite3_column_count(guard.stmt);
            for (int c = 0; c < columns; ++c) {
                if (sqlite3_column_type(guard.stmt, c) == SQLITE_NULL) {
                    row.emplace_back(std::nullopt);
                } else {
                    const unsigned char* text = sqlite3_column_text(guard.stmt, c);
                    int size = sqlite3_column_bytes(guard.stmt, c);
                    row.emplace_back(std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size)));
                }
            }
            rows->push_back(std::move(row));
        }
        if (changes && sqlite3_stmt_readonly(guard.stmt) == 0) *changes = sqlite3_changes64(m_db);
    }
    return CZuError::Success();
}

CZuError StateDb::Exec(const std::string& sql, const Params& params, int64_t* changes) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return RunLocked(sql, params, nullptr, changes).Push(FXLOC);
}

CZuError StateDb::Insert(const std::string& sql, const Params& params, int64_t& rowId) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    CZuError err = RunLocked(sql, params, nullptr, nullptr);
    if (err) return err.Push(FXLOC);
    rowId = sqlite3_last_insert_rowid(m_db);
    return CZuError::Success();
}

CZuError StateDb::Query(const std::string& sql, const Params& params, std::vector<Row>& rows) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return RunLocked(sql, params, &rows, nullptr).Push(FXLOC);
}

std::string StateDb::Text(const Row& row, size_t column) {
    return column < row.size() && row[column] ? *row[column] : std::string();
}

int64_t StateDb::Int(const Row& row, size_t column) { return std::strtoll(Text(row, column).c_str(), nullptr, 10); }

int64_t StateDb::LastInsertId() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_db ? sqlite3_last_insert_rowid(m_db) : 0;
}

CZuError StateDb::Transaction(const std::function<CZuError()>& body) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    CZuError err = RunLocked("BEGIN IMMEDIATE", {}, nullptr, nullptr);
    if (err) return err.Push(FXLOC);
    try {
        err = body();
    } catch (...) {
        RunLocked("ROLLBACK", {}, nullptr, nullptr);
        throw;
    }
    if (!err) err = RunLocked("COMMIT", {}, nullptr, nullptr);
    if (err) {
        RunLocked("ROLLBACK", {}, nullptr, nullptr);
        return err.Push(FXLOC);
    }
    return CZuError::Success();
}
