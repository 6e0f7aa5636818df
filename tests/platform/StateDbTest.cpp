#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "platform/StateDb.h"
#include "tests/support/TempStateRoot.h"

KAX_STATE_SCHEMA("test_items", "CREATE TABLE IF NOT EXISTS test_items (id INTEGER PRIMARY KEY, name TEXT);");

namespace {

class StateDbTest : public StateRootTest {
protected:
    StateDb& Db() {
        StateDb* db = nullptr;
        CZuError err = StateDb::Get(db);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return *db;
    }
    size_t CountItems() {
        std::vector<StateDb::Row> rows;
        EXPECT_FALSE(Db().Query("SELECT COUNT(*) FROM test_items", {}, rows).IsError());
        return rows.empty() ? 0 : std::stoul(*rows[0][0]);
    }
};

TEST_F(StateDbTest, OpensInWalModeWithRegisteredSchemasAndPrivateFile) {
    std::vector<StateDb::Row> rows;
    ASSERT_FALSE(Db().Query("PRAGMA journal_mode", {}, rows).IsError());
    EXPECT_EQ(rows.at(0).at(0), "wal");
    ASSERT_FALSE(Db().Query("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name", {}, rows).IsError());
    std::vector<std::string> tables;
    for (const auto& row : rows) tables.push_back(*row[0]);
    EXPECT_NE(std::find(tables.begin(), tables.end(), "settings"), tables.end());
    EXPECT_NE(std::find(tables.begin(), tables.end(), "test_items"), tables.end());
    struct stat st;
    ASSERT_EQ(::stat(root.File("state.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(StateDbTest, ParametersNullsAndInsertIds) {
    int64_t first = 0, second = 0;
    ASSERT_FALSE(Db().Insert("INSERT INTO test_items (name) VALUES (?1)", {"it's 'quoted'"}, first).IsError());
    ASSERT_FALSE(Db().Insert("INSERT INTO test_items (name) VALUES (?1)", {std::nullopt}, second).IsError());
    EXPECT_EQ(second, first + 1);
    std::vector<StateDb::Row> rows;
    ASSERT_FALSE(Db().Query("SELECT name FROM test_items ORDER BY id", {}, rows).IsError());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "it's 'quoted'");
    EXPECT_EQ(rows[1][0], std::nullopt);
    int64_t changes = 0;
    ASSERT_FALSE(Db().Exec("UPDATE test_items SET name = 'x'", {}, &changes).IsError());
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(Db().Exec("INSERT INTO test_items (name) VALUES (?1)", {}).GetErrorCode(), ZuCode::InvalidArgument);
    CZuError bad = Db().Exec("SELECT * FROM no_such_table");
    EXPECT_EQ(bad.GetErrorCode(), ZuCode::FunctionFailed);
    EXPECT_NE(bad.AsString().find("no such table"), std::string::npos);
}

TEST_F(StateDbTest, FailedTransactionRollsBack) {
    CZuError err = Db().Transaction([&] {
        CZuError inner = Db().Exec("INSERT INTO test_items (name) VALUES ('kept?')");
        if (inner) return inner;
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "give up");
    });
    EXPECT_TRUE(err.IsError());
    EXPECT_EQ(CountItems(), 0u);
    ASSERT_FALSE(Db().Transaction([&] { return Db().Exec("INSERT INTO test_items (name) VALUES ('kept')"); }).IsError());
    EXPECT_EQ(CountItems(), 1u);
}

TEST_F(StateDbTest, ThreadsShareTheConnectionSafely) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                int64_t id = 0;
                EXPECT_FALSE(Db().Transaction([&] {
                                     return Db().Insert("INSERT INTO test_items (name) VALUES ('t')", {}, id);
                                 }).IsError());
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(CountItems(), 200u);
}

TEST_F(StateDbTest, ChangedStateRootOpensItsOwnDatabase) {
    ASSERT_FALSE(Db().Exec("INSERT INTO test_items (name) VALUES ('first root')").IsError());
    StateDb* before = &Db();
    {
        TempStateRoot other;
        EXPECT_EQ(&Db(), before);  // the same object, now on the other file
        EXPECT_EQ(CountItems(), 0u);
        EXPECT_TRUE(FXFile::Exists(other.File("state.db")));
    }
    EXPECT_EQ(CountItems(), 1u);
}

}  // namespace
