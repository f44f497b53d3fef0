#include "store/DqSQLite.h"
#include "store/DqSQLiteStatement.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>

namespace {

using tervox_test::TempDir;

class SQLiteStatementTest : public ::testing::Test {
protected:
  void SetUp() override {
    db = std::make_unique<TSQLiteDatabase>(dir.Path(QStringLiteral("statement.db")));
    db->ExecSQL(QStringLiteral("CREATE TABLE T (ID integer primary key, Name text not null)"));
  }
  std::int64_t Count() { return db->GetTableValue(QStringLiteral("SELECT count(*) FROM T")); }

  TempDir dir;
  std::unique_ptr<TSQLiteDatabase> db;
};

const TSQLiteStatement::TErrors kDetailed{QStringLiteral("Failed to prepare"), QStringLiteral("Failed to step")};
const TSQLiteStatement::TErrors kBrief{QStringLiteral("Cannot read: %1"), QStringLiteral("Cannot write: %1"), false};

// Each owner's failures keep their own words: the detailed form with
// SQLite's code, words and the SQL, the brief one with SQLite's message.
TEST_F(SQLiteStatementTest, FailuresSayTheOwnersTexts) {
  struct TCase {
    const TSQLiteStatement::TErrors* Errors;
    const char* SQL;
    QString Expected;
  };
  const TCase cases[] = {
      {&kDetailed, "SELECT * FROM Nope",
       QStringLiteral("Failed to prepare.\rError [1]: SQL error or missing database.\r\"SELECT * FROM Nope\": "
                      "no such table: Nope")},
      {&kBrief, "SELECT * FROM Nope", QStringLiteral("Cannot read: no such table: Nope")},
      {&kDetailed, "INSERT INTO T VALUES (1, NULL)",
       QStringLiteral("Failed to step.\rError [19]: Abort due to contraint violation.\r\"INSERT INTO T VALUES (1, "
                      "NULL)\": NOT NULL constraint failed: T.Name")},
      {&kBrief, "INSERT INTO T VALUES (1, NULL)", QStringLiteral("Cannot write: NOT NULL constraint failed: T.Name")},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.SQL);
    try {
      TSQLiteStatement statement(*c.Errors, db->Handle(), QByteArray(c.SQL));
      statement.Run();
      ADD_FAILURE() << "no failure raised";
    } catch (const ESQLiteException& e) {
      EXPECT_EQ(e.Message(), c.Expected);
      EXPECT_NE(e.Code(), 0);
    }
  }
}

// Values bound stay across Reset; a failed step leaves the statement reset,
// so it runs again at once with new values.
TEST_F(SQLiteStatementTest, ResetKeepsValuesAndAFailureLeavesItReusable) {
  TSQLiteStatement insert(kDetailed, *db, QStringLiteral("INSERT INTO T (Name) VALUES (?1)"));
  insert.Bind(1, QStringLiteral("ab\u00e7"));
  insert.Run();
  insert.Run();
  EXPECT_EQ(Count(), 2);

  insert.BindNull(1);
  EXPECT_THROW(insert.Step(), ESQLiteException);
  insert.Bind(1, QStringLiteral("x"));
  insert.Run();
  EXPECT_EQ(Count(), 3);

  TSQLiteStatement select(kBrief, db->Handle(), QStringLiteral("SELECT count(*) FROM T WHERE Name = ?1"));
  select.Bind(1, QStringLiteral("ab\u00e7"));
  ASSERT_TRUE(select.Step());
  EXPECT_EQ(sqlite3_column_int64(select.Stmt(), 0), 2);
  EXPECT_FALSE(select.Step());
}

} // namespace
