#include "store/DqSQLite.h"
#include "store/DqSQLiteWal.h"
#include "TestSupport.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

using tervox_test::TempDir;

class SQLiteTest : public ::testing::Test {
protected:
  void SetUp() override {
    db = std::make_unique<TSQLiteDatabase>(dir.Path(QStringLiteral("test.db")));
    db->ExecSQL(QStringLiteral("CREATE TABLE T (ID integer, Name text, Flag boolean, At datetime, Amount numeric, "
                               "Code int, Note varchar(20))"));
  }

  void Insert(const TVariant& AID, const TVariant& AName, const TVariant& AFlag = TVariant::Null(),
              const TVariant& AAt = TVariant::Null(), const TVariant& AAmount = TVariant::Null()) {
    TSQLiteParamList params;
    params.SetParamValues(":ID", AID);
    params.SetParamValues(":Name", AName);
    params.SetParamValues(":Flag", AFlag);
    params.SetParamValues(":At", AAt);
    params.SetParamValues(":Amount", AAmount);
    db->ExecSQL(QStringLiteral("INSERT INTO T (ID, Name, Flag, At, Amount) VALUES (:ID, :Name, :Flag, :At, :Amount)"),
                &params);
  }

  QString ErrorOf(const std::function<void()>& AAction) {
    try {
      AAction();
    } catch (const EDqException& e) {
      return e.Message();
    }
    return QStringLiteral("<no error>");
  }

  TempDir dir;
  std::unique_ptr<TSQLiteDatabase> db;
};

TEST_F(SQLiteTest, EmptyResultHasNoRowsAndCountZero) {
  TSQLiteTable table(db.get());
  table.SetSQL(QStringLiteral("SELECT * FROM T"));
  table.Open();
  EXPECT_TRUE(table.Eof());
  EXPECT_EQ(table.RecNo(), -1);
  EXPECT_EQ(table.RecordCount(), 0);
  EXPECT_TRUE(table.Active());
  EXPECT_EQ(table.FieldCount(), 7);
}

TEST_F(SQLiteTest, DeclaredTypesDecideFieldKinds) {
  Insert(1, "a", true, TVariant::FromDateTime(42374.1924802662), 2.5);
  TSQLiteTable table(db.get());
  table.SetSQL(QStringLiteral("SELECT T.*, ID + 1 AS Expr, 'x' AS Word FROM T"));
  table.Open();
  const struct {
    const char* name;
    int storage;
    TVarKind kind;
    const char* typeString;
    const char* kindName;
  } cases[] = {
      {"ID", sftInteger, TVarKind::Integer, "integer", "INTEGER"},
      {"Name", sftText, TVarKind::Text, "text", "TEXT"},
      {"Flag", sftInteger, TVarKind::Boolean, "boolean", "BOOLEAN"},
      {"At", sftFloat, TVarKind::DateTime, "datetime", "DATETIME"},
      {"Amount", sftFloat, TVarKind::Float, "numeric", "FLOAT"},
      {"Code", sftBlob, TVarKind::Text, "int", "TEXT"},
      {"Note", sftBlob, TVarKind::Text, "varchar(20)", "TEXT"},
      // Expression columns: the storage class before the first row is unknown.
      {"Expr", sftNull, TVarKind::Null, "", "NULL"},
  };
  for (const auto& c : cases) {
    TSQLiteField* field = table.FieldByName(QString::fromLatin1(c.name));
    EXPECT_EQ(field->FieldType(), c.storage) << c.name;
    EXPECT_EQ(field->ValueType(), c.kind) << c.name;
    // SQLite reports declared types in its own letter case.
    EXPECT_EQ(field->FieldTypeString().toLower(), QString::fromLatin1(c.typeString)) << c.name;
    EXPECT_EQ(field->ValueTypeString(), QString::fromLatin1(c.kindName)) << c.name;
  }
  // Expression values still arrive by their storage class.
  EXPECT_EQ(table.FieldByName(QStringLiteral("Expr"))->Value(), TVariant(2LL));
  EXPECT_EQ(table.FieldByName(QStringLiteral("Word"))->Value(), TVariant("x"));
}

TEST_F(SQLiteTest, ValuesComeBackByKind) {
  Insert(1, "Thai ภาษาไทย", true, TVariant::FromDateTime(42374.1924802662), 2.5);
  db->ExecSQL(QStringLiteral("INSERT INTO T (ID, Flag, At) VALUES (2, 5, '2016-01-05')"));
  db->ExecSQL(QStringLiteral("INSERT INTO T (ID, Flag, At) VALUES (3, 0, NULL)"));
  auto table = db->GetTable(QStringLiteral("SELECT * FROM T ORDER BY ID"));
  EXPECT_EQ(table->FieldByName(QStringLiteral("Name"))->Value(), TVariant(QStringLiteral("Thai ภาษาไทย")));
  EXPECT_EQ(table->FieldByName(QStringLiteral("Flag"))->Value(), TVariant(true));
  const TVariant at = table->FieldByName(QStringLiteral("At"))->Value();
  EXPECT_EQ(at, TVariant::FromDateTime(42374.1924802662));
  EXPECT_EQ(DateTimeToDisplayText(at.FloatValue()), QStringLiteral("05/01/2016 - 04:37:10"));
  EXPECT_EQ(table->FieldByName(QStringLiteral("Amount"))->AsFloat(), 2.5);

  ASSERT_TRUE(table->Next());
  EXPECT_EQ(table->FieldByName(QStringLiteral("Flag"))->Value(), TVariant(true)); // 5 reads as true
  // Text that is not a number in a date-time column reads as day zero.
  EXPECT_EQ(table->FieldByName(QStringLiteral("At"))->Value(), TVariant::FromDateTime(0.0));
  EXPECT_TRUE(table->FieldByName(QStringLiteral("Name"))->Value().IsNull());

  ASSERT_TRUE(table->Next());
  EXPECT_EQ(table->FieldByName(QStringLiteral("Flag"))->Value(), TVariant(false));
  EXPECT_TRUE(table->FieldByName(QStringLiteral("At"))->Value().IsNull());
  EXPECT_FALSE(table->Next());
  EXPECT_TRUE(table->Eof());
}

TEST_F(SQLiteTest, ParametersBindByKind) {
  Insert(TVariant(7), TVariant("x"), TVariant(true), TVariant::FromDateTime(1.5), TVariant(0.25));
  Insert(TVariant(8LL << 40), TVariant(), TVariant(false));
  auto table = db->GetTable(QStringLiteral("SELECT typeof(ID), Flag + 0, typeof(At), At, typeof(Name) FROM T ORDER BY ID"));
  EXPECT_EQ(table->GetFields(0)->AsString(), QStringLiteral("integer"));
  EXPECT_EQ(table->GetFields(1)->AsInteger(), -1); // true is stored as -1
  EXPECT_EQ(table->GetFields(2)->AsString(), QStringLiteral("real"));
  EXPECT_EQ(table->GetFields(3)->AsFloat(), 1.5);
  ASSERT_TRUE(table->Next());
  EXPECT_EQ(table->GetFields(4)->AsString(), QStringLiteral("null"));
  // A 64-bit integer arrives whole.
  EXPECT_EQ(db->GetTable(QStringLiteral("SELECT max(ID) FROM T"))->GetFields(0)->Value(), TVariant(8LL << 40));
}

TEST_F(SQLiteTest, ParameterRules) {
  TSQLiteTable table(db.get());
  table.SetSQL(QStringLiteral("SELECT :A AS A, :B AS B"));
  table.SetParamValues(":A", 1);
  table.SetParamValues(":A", 2); // replaces, no second entry
  EXPECT_EQ(table.Params().Count(), 1);
  table.Open();
  EXPECT_EQ(table.FieldByName(QStringLiteral("A"))->Value(), TVariant(2LL));
  EXPECT_TRUE(table.FieldByName(QStringLiteral("B"))->Value().IsNull()); // unbound reads NULL

  table.Close();
  table.SetSQL(QStringLiteral("SELECT 1"));
  table.SetParamValues(":Missing", 1);
  EXPECT_EQ(ErrorOf([&] { table.Open(); }), QStringLiteral("Not found parameter binding name"));
  EXPECT_FALSE(table.Active());
}

TEST_F(SQLiteTest, FieldLookupIsExactAndFromTheEnd) {
  auto table = db->GetTable(QStringLiteral("SELECT 1 AS ID, 2 AS ID"));
  EXPECT_EQ(table->FieldByName(QStringLiteral("ID"))->AsInteger(), 2);
  EXPECT_EQ(ErrorOf([&] { table->FieldByName(QStringLiteral("id")); }), QStringLiteral("Fieldname not found: id"));
  EXPECT_EQ(table->GetFieldValueDef(QStringLiteral("nope"), QStringLiteral("dflt")), QStringLiteral("dflt"));
  EXPECT_EQ(table->GetFieldValueDef(QStringLiteral("ID"), QStringLiteral("dflt")), QStringLiteral("2"));
  EXPECT_EQ(table->GetFields(5), nullptr);
  // Writing a field value changes the cursor only.
  table->SetFieldValues(QStringLiteral("ID"), TVariant("changed"));
  EXPECT_EQ(table->FieldByName(QStringLiteral("ID"))->AsString(), QStringLiteral("changed"));
}

TEST_F(SQLiteTest, ErrorTextsAreExact) {
  TSQLiteTable table(db.get());
  table.SetSQL(QStringLiteral("SELECT * FROM Missing"));
  EXPECT_EQ(ErrorOf([&] { table.Open(); }),
            QStringLiteral("Error executing SQL.\rError [1]: SQL error or missing database.\r\"SELECT * FROM Missing\r\n\": "
                           "no such table: Missing"));

  table.SetSQL(QStringLiteral("SELECT 1"));
  const QString selectError = ErrorOf([&] { table.ExecSQL(); });
  EXPECT_TRUE(selectError.startsWith(QStringLiteral("Error executing SQL statement"))) << selectError.toStdString();

  db->ExecSQL(QStringLiteral("CREATE TABLE K (ID integer primary key)"));
  db->ExecSQL(QStringLiteral("INSERT INTO K VALUES (1)"));
  EXPECT_EQ(ErrorOf([&] { db->ExecSQL(QStringLiteral("INSERT INTO K VALUES (1)")); }),
            QStringLiteral("Error executing SQL statement.\rError [19]: Abort due to contraint violation.\r"
                           "\"INSERT INTO K VALUES (1)\r\n\": UNIQUE constraint failed: K.ID"));

  // A cursor reused after Close has no SQL any more.
  table.SetSQL(QStringLiteral("SELECT 1"));
  table.Open();
  table.Close();
  EXPECT_EQ(ErrorOf([&] { table.Open(); }), QStringLiteral("Could not prepare SQL statement"));

  db->BeginTransaction();
  EXPECT_EQ(ErrorOf([&] { db->BeginTransaction(); }), QStringLiteral("Transaction already open"));
  db->Rollback();

  TSQLiteDatabase unnamed;
  EXPECT_EQ(ErrorOf([&] { unnamed.Open(); }), QStringLiteral("Database filename not defined."));
  TSQLiteTable orphan(nullptr);
  orphan.SetSQL(QStringLiteral("SELECT 1"));
  EXPECT_EQ(ErrorOf([&] { orphan.Open(); }), QStringLiteral("Not assigned database."));

  EXPECT_EQ(SQLiteErrorText(26), QStringLiteral("File opened that is not a database file"));
  EXPECT_EQ(SQLiteErrorText(27), QStringLiteral("Unknown SQLite Error Code \"27\""));
  EXPECT_EQ(SQLiteFieldTypeText(4), QStringLiteral("Blob"));
  EXPECT_EQ(SQLiteFieldTypeText(9), QStringLiteral("Unknown SQLite Field Type Code \"9\""));
}

TEST_F(SQLiteTest, OnlyTheFirstStatementRuns) {
  db->ExecSQL(QStringLiteral("INSERT INTO T (ID) VALUES (1); INSERT INTO T (ID) VALUES (2);"));
  EXPECT_EQ(db->GetTableValue(QStringLiteral("SELECT count(*) FROM T")), 1);
}

TEST_F(SQLiteTest, CountingAndMovingKeepThePosition) {
  for (int i = 0; i < 5; ++i) Insert(i, QStringLiteral("n%1").arg(i));
  auto table = db->GetTable(QStringLiteral("SELECT ID FROM T ORDER BY ID"));
  table->Next();
  table->Next();
  EXPECT_EQ(table->RecNo(), 2);
  EXPECT_EQ(table->RecordCount(), 5);
  EXPECT_EQ(table->RecNo(), 2);
  ASSERT_TRUE(table->Next()); // still steps on from the current row
  EXPECT_EQ(table->GetFields(0)->AsInteger(), 3);
  ASSERT_TRUE(table->MoveTo(1));
  EXPECT_EQ(table->GetFields(0)->AsInteger(), 1);
  ASSERT_TRUE(table->MoveTo(4));
  EXPECT_EQ(table->GetFields(0)->AsInteger(), 4);
  EXPECT_FALSE(table->MoveTo(5));
  EXPECT_FALSE(table->MoveTo(-1));
  // Past the end the statement starts over for the move.
  EXPECT_FALSE(table->Next());
  ASSERT_TRUE(table->MoveTo(4));
  EXPECT_EQ(table->GetFields(0)->AsInteger(), 4);
  EXPECT_FALSE(table->Eof());
}

TEST_F(SQLiteTest, DatabaseHelpers) {
  Insert(3, "three");
  EXPECT_TRUE(db->TableExists(QStringLiteral("t")));
  EXPECT_FALSE(db->TableExists(QStringLiteral("x\" OR 1=1 OR \"")));
  EXPECT_EQ(db->Lookup(QStringLiteral("T"), QStringLiteral("ID"), 3, QStringLiteral("Name")), TVariant("three"));
  EXPECT_TRUE(db->Lookup(QStringLiteral("T"), QStringLiteral("ID"), 4, QStringLiteral("Name")).IsNull());
  EXPECT_EQ(db->GetTableValue(QStringLiteral("SELECT ID FROM T WHERE ID = 99")), 0);
  EXPECT_EQ(db->RowsChanged(), 1);
  EXPECT_GE(db->GetLastChangedRows(), 1);

  TSQLiteTable table(db.get());
  table.SetSQL(QStringLiteral("SELECT * FROM T WHERE ID = 3"));
  EXPECT_FALSE(table.EofExec());
  EXPECT_TRUE(table.SQL().isEmpty());

  std::vector<std::pair<QString, QString>> tables;
  db->ExecSQL(QStringLiteral("CREATE TABLE a (x)"));
  db->GetTableList(tables);
  ASSERT_EQ(tables.size(), 2u);
  EXPECT_EQ(tables[0].first, QStringLiteral("T")); // binary order: upper case first
  EXPECT_EQ(tables[1].second, QStringLiteral("CREATE TABLE a (x)"));

  db->SetSynchronized(false);
  EXPECT_FALSE(db->Synchronized());
  EXPECT_EQ(db->GetTableValue(QStringLiteral("PRAGMA synchronous")), 0);
}

TEST_F(SQLiteTest, PreparedQueriesRunAgain) {
  TSQLiteQuery query = db->PrepareSQL(QStringLiteral("INSERT INTO T (ID) VALUES (?)"));
  for (int i = 0; i < 3; ++i) {
    sqlite3_bind_int(query.Statement, 1, i);
    db->ExecSQL(query);
  }
  db->ReleaseSQL(query);
  EXPECT_EQ(db->GetTableValue(QStringLiteral("SELECT count(*) FROM T")), 3);
}

TEST_F(SQLiteTest, BlobsBackupAndCollation) {
  db->ExecSQL(QStringLiteral("CREATE TABLE B (Data blob)"));
  db->ExecSQL(QStringLiteral("INSERT INTO B VALUES (NULL)"));
  QBuffer blob;
  blob.setData(QByteArray("\x00\x01\x02xyz", 6));
  blob.open(QIODevice::ReadOnly);
  db->UpdateBlob(QStringLiteral("UPDATE B SET Data = ?"), blob);
  EXPECT_EQ(db->GetTableValue(QStringLiteral("SELECT length(Data) FROM B")), 6);
  EXPECT_EQ(ErrorOf([&] { db->UpdateBlob(QStringLiteral("UPDATE B SET Data = 1"), blob); }),
            QStringLiteral("SQL must include a ? parameter"));

  Insert(1, "b");
  Insert(2, "a");
  TSQLiteDatabase copy(dir.Path(QStringLiteral("copy.db")));
  EXPECT_EQ(db->Backup(copy), SQLITE_DONE);
  EXPECT_EQ(copy.GetTableValue(QStringLiteral("SELECT count(*) FROM T")), 2);

  db->AddSystemCollate();
  auto sorted = db->GetTable(QStringLiteral("SELECT Name FROM T ORDER BY Name COLLATE SYSTEM"));
  EXPECT_EQ(sorted->GetFields(0)->AsString(), QStringLiteral("a"));
}

TEST_F(SQLiteTest, FileThatIsNotADatabaseIsRefusedAndKept) {
  const QString path = dir.Path(QStringLiteral("notes.db"));
  const QByteArray content = QByteArray("These are my notes, not a database.\n").repeated(200);
  tervox_test::WriteFileBytes(path, content);
  TSQLiteDatabase other;
  other.SetFileName(path);
  const QString error = ErrorOf([&] { other.Open(); });
  EXPECT_EQ(error, QStringLiteral("Failed to open database \"%1\" : file is not a database").arg(path));
  EXPECT_FALSE(other.Active());
  EXPECT_EQ(tervox_test::ReadFileBytes(path), content);
}

TEST_F(SQLiteTest, DamagedRowsRaiseInsteadOfEndingEarly) {
  // Enough rows to span many pages, then damage pages in the middle.
  db->ExecSQL(QStringLiteral("BEGIN"));
  for (int i = 0; i < 3000; ++i) Insert(i, QString(100, QLatin1Char('x')));
  db->ExecSQL(QStringLiteral("COMMIT"));
  db.reset();
  const QString path = dir.Path(QStringLiteral("test.db"));
  QByteArray bytes = tervox_test::ReadFileBytes(path);
  const int pageSize = 4096;
  for (int page = 20; page < 40; ++page)
    for (int i = 0; i < pageSize; ++i) bytes[page * pageSize + i] = static_cast<char>(0xA5);
  tervox_test::WriteFileBytes(path, bytes);

  db = std::make_unique<TSQLiteDatabase>(path);
  TSQLiteTable table(db.get());
  table.SetSQL(QStringLiteral("SELECT * FROM T"));
  int rows = 0;
  const QString error = ErrorOf([&] {
    table.Open();
    while (!table.Eof()) {
      ++rows;
      table.Next();
    }
  });
  EXPECT_TRUE(error.startsWith(QStringLiteral("Error executing SQL statement.\rError [11]"))) << error.toStdString();
  EXPECT_LT(rows, 3000);
}

TEST(CellText, FormattingRules) {
  const QStringList none;
  const QStringList states{QStringLiteral("Off"), QStringLiteral("On")};
  EXPECT_EQ(FormatCellText(TVariant::Null(), none), QString());
  EXPECT_EQ(FormatCellText(TVariant(1), states), QStringLiteral("On"));
  EXPECT_EQ(FormatCellText(TVariant(2), states), QStringLiteral("2"));
  EXPECT_EQ(FormatCellText(TVariant(-1), states), QStringLiteral("-1"));
  EXPECT_EQ(FormatCellText(TVariant(true), none), QStringLiteral("True"));
  EXPECT_EQ(FormatCellText(TVariant(false), states), QStringLiteral("Off"));
  EXPECT_EQ(FormatCellText(TVariant(1.0 / 3.0), none), QStringLiteral("0.333333333333333"));
  EXPECT_EQ(FormatCellText(TVariant::FromDateTime(42374.1924802662), none), QStringLiteral("05/01/2016 - 04:37:10"));
  EXPECT_EQ(FormatCellText(TVariant("text"), states), QStringLiteral("text"));
}

TEST_F(SQLiteTest, CellTextRestoresTheCurrentRow) {
  for (int i = 0; i < 3; ++i) Insert(i, QStringLiteral("n%1").arg(i), i == 1);
  auto table = db->GetTable(QStringLiteral("SELECT ID, Name, Flag FROM T ORDER BY ID"));
  table->ColumnDefs().AddColumn(QStringLiteral("Name"), 80);
  TSQLiteColumn* flag = table->ColumnDefs().AddColumn(QStringLiteral("Enabled"), QStringLiteral("Flag"));
  flag->DisplayValues = QStringList{QStringLiteral("No"), QStringLiteral("Yes")};
  table->SetOnDrawDataCell([](QObject*, TSQLiteColumn* AColumn, TSQLiteTable*, TVariant& AValue) {
    if (AColumn->FieldName == QLatin1String("Name")) AValue = TVariant(AValue.TextValue().toUpper());
  });
  table->Next();
  EXPECT_EQ(table->CellText(nullptr, 0, 2), QStringLiteral("N2"));
  EXPECT_EQ(table->CellText(nullptr, 1, 1), QStringLiteral("Yes"));
  EXPECT_EQ(table->CellText(nullptr, 5, 1), QString());
  EXPECT_EQ(table->RecNo(), 1);
  EXPECT_EQ(table->GetFields(0)->AsInteger(), 1);
  EXPECT_EQ(table->ColumnDefs().Items(0)->Width, 80);
  EXPECT_EQ(table->ColumnDefs().Items(1)->Width, 64);
}

} // namespace

namespace {

// A connection opened (or opened again after a close) with a wait set waits
// for a file another connection holds for a moment instead of refusing it.
TEST(SQLiteDatabase, OpeningWaitsForAFileHeldForAMoment) {
  TempDir dir;
  const QString file = dir.Path(QStringLiteral("held.db"));
  TSQLiteDatabase db(file);
  db.SetTimeout(5000);
  db.ExecSQL(QStringLiteral("CREATE TABLE Reading (ID INTEGER PRIMARY KEY)"));
  db.Close();
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open_v2(file.toUtf8().constData(), &other, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr),
            SQLITE_OK);
  for (bool fresh : {true, false}) {
    SCOPED_TRACE(fresh ? "a new connection" : "one opened again");
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread release([other] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    TSQLiteDatabase another;
    another.SetFileName(file);
    another.SetTimeout(5000);
    TSQLiteDatabase& waiting = fresh ? another : db;
    EXPECT_NO_THROW(waiting.Open());
    release.join();
    waiting.Close();
  }
  sqlite3_close(other);
}

// A cancel flag stops a statement that would run for good and one waiting
// for another connection's lock, well before its time-out; once taken off,
// the connection works as before.
TEST(SQLiteDatabase, ACancelStopsARunningOrWaitingStatement) {
  TempDir dir;
  const QString file = dir.Path(QStringLiteral("cancel.db"));
  TSQLiteDatabase db(file);
  db.SetTimeout(600000);
  db.SetWalMode();
  db.ExecSQL(QStringLiteral("CREATE TABLE Reading (ID INTEGER PRIMARY KEY)"));
  TSQLiteDatabase holder(file);
  holder.SetTimeout(5000);
  std::atomic<bool> cancel{false};
  db.SetCancelFlag(&cancel);
  struct TCase {
    const char* Name;
    const char* SQL;
    bool HoldLock;
  };
  for (const TCase& c : {TCase{"endless count", "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n) SELECT "
                                                "count(*) FROM n",
                               false},
                         TCase{"write waiting for the lock", "INSERT INTO Reading DEFAULT VALUES", true},
                         TCase{"transaction waiting for the lock", "BEGIN IMMEDIATE", true}}) {
    SCOPED_TRACE(c.Name);
    cancel = false;
    if (c.HoldLock) holder.ExecSQL(QStringLiteral("BEGIN IMMEDIATE"));
    std::thread canceller([&cancel] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      cancel = true;
    });
    EXPECT_THROW(db.GetTableValue(QString::fromLatin1(c.SQL)), ESQLiteException);
    canceller.join();
    if (c.HoldLock) holder.ExecSQL(QStringLiteral("COMMIT"));
    EXPECT_TRUE(sqlite3_get_autocommit(db.Handle())) << "a transaction was left open";
  }
  db.SetCancelFlag(nullptr);
  cancel = true;
  db.ExecSQL(QStringLiteral("INSERT INTO Reading DEFAULT VALUES"));
  EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT count(*) FROM Reading")), 1);
}

// In write-ahead-log mode the program's log is checkpointed on a thread of
// its own: it stays near its limit while readings arrive and is cut to
// nothing once they stop.
TEST(SQLiteWal, LogStaysBoundedAndIsEmptiedWhenIdle) {
  TempDir dir;
  TSQLiteDatabase db(dir.Path(QStringLiteral("wal.db")));
  db.SetTimeout(5000); // as the program does: a forced checkpoint makes writers wait
  db.SetWalMode();
  db.SetSynchronized(false);
  db.ExecSQL(QStringLiteral("CREATE TABLE Reading (ID INTEGER PRIMARY KEY, Note TEXT)"));
  ASSERT_NE(db.WalKeeper(), nullptr);
  const QString wal = dir.Path(QStringLiteral("wal.db-wal"));
  // Another reader now and then (a backup) only delays a checkpoint.
  TSQLiteDatabase reader(dir.Path(QStringLiteral("wal.db")));
  qint64 largest = 0;
  TSQLiteParamList params;
  params.SetParamValues(":Note", QString(300, QLatin1Char('x')));
  for (int i = 0; i < 6000; ++i) {
    db.ExecSQL(QStringLiteral("INSERT INTO Reading (Note) VALUES (:Note)"), &params);
    if (i % 500 == 0) reader.GetTableValue(QStringLiteral("SELECT count(*) FROM Reading"));
    largest = std::max(largest, QFileInfo(wal).size());
  }
  EXPECT_GT(db.WalKeeper()->Checkpoints(), 0);
  EXPECT_LE(largest, kWalBound) << "the log grew to " << largest << " bytes; " << db.WalKeeper()->Checkpoints()
                                << " checkpoints, " << db.WalKeeper()->Incomplete() << " incomplete";
  const auto deadline = std::chrono::steady_clock::now() + 4 * kWalIdle;
  while (QFileInfo(wal).size() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(QFileInfo(wal).size(), 0) << "nothing written for a while: the log is emptied";
  EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT count(*) FROM Reading")), 6000);
  // Closing and opening again keeps the mode and its keeper.
  db.Close();
  db.Open();
  EXPECT_NE(db.WalKeeper(), nullptr);
}

// A checkpoint holds the write lock for a moment. A write on the shared
// connection while another of its cursors reads gets no busy handler from
// SQLite, yet it must wait for the lock like any other write, not fail.
TEST(SQLiteWal, WriteBesideAnOpenCursorWaitsOutABriefWriteLock) {
  TempDir dir;
  TSQLiteDatabase db(dir.Path(QStringLiteral("wal.db")));
  db.SetTimeout(5000);
  db.SetWalMode();
  db.ExecSQL(QStringLiteral("CREATE TABLE Reading (ID INTEGER PRIMARY KEY, Note TEXT)"));
  for (int i = 0; i < 3; ++i) db.ExecSQL(QStringLiteral("INSERT INTO Reading (Note) VALUES ('before')"));

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(dir.Path(QStringLiteral("wal.db")).toUtf8().constData(), &other), SQLITE_OK);
  std::atomic<bool> locked{false};
  std::thread holder([&] {
    sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); // the write lock, no change
    locked = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  });
  while (!locked) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  auto cursor = db.GetTable(QStringLiteral("SELECT Note FROM Reading")); // reading, one row in
  ASSERT_FALSE(cursor->Eof());
  EXPECT_NO_THROW(db.ExecSQL(QStringLiteral("INSERT INTO Reading (Note) VALUES ('beside')")));
  cursor.reset();
  holder.join();
  sqlite3_close(other);
  EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT count(*) FROM Reading WHERE Note = 'beside'")), 1);
}

} // namespace
