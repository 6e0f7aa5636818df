#pragma once
// The platform's persistent store: one SQLite database (WAL) under the state
// root. Each area of the platform registers its own tables at static
// initialisation with a KAX_STATE_SCHEMA(...) statement; the schema is applied
// (CREATE ... IF NOT EXISTS) when the database is first opened by a process.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/ZuError.h"

struct sqlite3;

class StateDb {
public:
    using Row = std::vector<std::optional<std::string>>;
    using Params = std::vector<std::optional<std::string>>;

    // The process's database at "<state root>/state.db" (opened on first use).
    static CZuError Get(StateDb*& db);

    // Runs one statement with positional parameters (?1, ?2, ...).
    CZuError Exec(const std::string& sql, const Params& params = {});
    // Runs a query and returns every row as text (NULL as nullopt).
    CZuError Query(const std::string& sql, const Params& params, std::vector<Row>& rows);
    // Row id of the last insert on this connection.
    int64_t LastInsertId() const;
    // Runs `body` inside BEGIN IMMEDIATE ... COMMIT; rolls back on error.
    CZuError Transaction(const std::function<CZuError()>& body);

    // Registers DDL applied on open; returns true so it can initialise a static.
    static bool RegisterSchema(const std::string& name, const std::string& ddl);

    explicit StateDb(sqlite3* handle) : m_db(handle) {}
    ~StateDb();
    StateDb(const StateDb&) = delete;
    StateDb& operator=(const StateDb&) = delete;

private:
    sqlite3* m_db;
};

#define KAX_STATE_SCHEMA_CAT2(a, b) a##b
#define KAX_STATE_SCHEMA_CAT(a, b) KAX_STATE_SCHEMA_CAT2(a, b)
#define KAX_STATE_SCHEMA(name, ddl) \
    static const bool KAX_STATE_SCHEMA_CAT(s_schema_, __LINE__) = StateDb::RegisterSchema(name, ddl)
