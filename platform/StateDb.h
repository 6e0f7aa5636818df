#pragma once
// The platform's persistent store: one SQLite database (WAL) under the state
// root. Each area of the platform registers its own tables at static
// initialisation with a KAX_STATE_SCHEMA(...) statement; the schema is applied
// (CREATE ... IF NOT EXISTS) when the database is opened by a process.
//
// One connection per process, shared by all threads: every call holds the
// database's (recursive) mutex, so a Transaction body runs without other
// threads' statements in between. Other processes wait up to the busy
// time-out for a lock instead of failing at once.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/ZuError.h"

struct sqlite3;

class StateDb {
public:
    using Row = std::vector<std::optional<std::string>>;
    using Params = std::vector<std::optional<std::string>>;

    // The process's database at "<state root>/state.db", opened on first use
    // and opened again when the state root (KAX_ROOT) has changed since. The
    // pointer stays valid for the life of the process. Error 1168 when the
    // state root does not exist.
    static CZuError Get(StateDb*& db);
    // The path of the database file under the current state root.
    static std::string GetPath();

    // Runs one statement with positional parameters (?1, ?2, ...); `changes`
    // receives the number of rows it inserted, updated or deleted.
    CZuError Exec(const std::string& sql, const Params& params = {}, int64_t* changes = nullptr);
    // Runs an INSERT and returns the new row's id (atomic with the insert).
    CZuError Insert(const std::string& sql, const Params& params, int64_t& rowId);
    // Runs a query and returns every row as text (NULL as nullopt).
    CZuError Query(const std::string& sql, const Params& params, std::vector<Row>& rows);
    // A column of a row: its text ("" for NULL or a missing column), or its
    // value as a whole number (0 then).
    static std::string Text(const Row& row, size_t column);
    static int64_t Int(const Row& row, size_t column);
    // Row id of the last insert on this connection (by any thread; prefer Insert).
    int64_t LastInsertId() const;
    // Runs `body` inside BEGIN IMMEDIATE ... COMMIT; rolls back when `body`
    // returns an error. Not re-entrant: a body must not start a transaction.
    CZuError Transaction(const std::function<CZuError()>& body);

    // Registers DDL applied on open (and at once on an open database);
    // returns true so it can initialise a static.
    static bool RegisterSchema(const std::string& name, const std::string& ddl);

    // Closes the process's connection; the next Get opens it again. For tests
    // that remove a state root.
    static void Close();

    StateDb(const StateDb&) = delete;
    StateDb& operator=(const StateDb&) = delete;

private:
    StateDb() = default;
    static StateDb& Instance();
    void CloseLocked();
    CZuError OpenLocked(const std::string& path);
    CZuError ApplySchemasLocked();
    CZuError RunLocked(const std::string& sql, const Params& params, std::vector<Row>* rows,
                       int64_t* changes);

    mutable std::recursive_mutex m_mutex;
    sqlite3* m_db = nullptr;
    std::string m_path;
};

#define KAX_STATE_SCHEMA_CAT2(a, b) a##b
#define KAX_STATE_SCHEMA_CAT(a, b) KAX_STATE_SCHEMA_CAT2(a, b)
#define KAX_STATE_SCHEMA(name, ddl) \
    static const bool KAX_STATE_SCHEMA_CAT(s_schema_, __LINE__) = StateDb::RegisterSchema(name, ddl)
