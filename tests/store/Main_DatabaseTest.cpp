#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "store/Main_Database.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cstdlib>

#include <sys/stat.h>

namespace {

class MainDatabaseTest : public ::testing::Test {
protected:
  void TearDown() override {
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
  tervox_test::TempDir dir;
};

TEST_F(MainDatabaseTest, FileIsFoundByEnvironmentInOrder) {
  const QByteArray saved = qgetenv("TERVOX_DATA_DIR");
  qputenv("TERVOX_DATA_DIR", dir.Path(QStringLiteral("a/b")).toLocal8Bit());
  EXPECT_EQ(GetDatabaseFileName(), dir.Path(QStringLiteral("a/b/Tervox.db")));
  SetDatabaseFileName(QString());
  qunsetenv("TERVOX_DATA_DIR");
  const QByteArray savedXdg = qgetenv("XDG_DATA_HOME");
  qputenv("XDG_DATA_HOME", dir.Path(QStringLiteral("xdg")).toLocal8Bit());
  EXPECT_EQ(GetDatabaseFileName(), dir.Path(QStringLiteral("xdg/tervox/Tervox.db")));
  SetDatabaseFileName(QString());
  qunsetenv("XDG_DATA_HOME");
  EXPECT_EQ(GetDatabaseFileName(), QDir::homePath() + QStringLiteral("/.local/share/tervox/Tervox.db"));
  SetDatabaseFileName(QString());
  qputenv("XDG_DATA_HOME", savedXdg);
  qputenv("TERVOX_DATA_DIR", saved);
}

TEST_F(MainDatabaseTest, FirstUseCreatesDirectoryFileAndTables) {
  const QString file = dir.Path(QStringLiteral("new/deeper/Tervox.db"));
  SetDatabaseFileName(file);
  TSQLiteDatabase* db = GetDatabase();
  EXPECT_TRUE(QFile::exists(file));
  EXPECT_EQ(db->Header(), QStringLiteral("TERVOX_SQLITE"));
  EXPECT_TRUE(db->TableExists(QStringLiteral("DevicePort")));
  EXPECT_EQ(db->GetTableValue(QStringLiteral("SELECT count(*) FROM UserGroup")), 3);
  EXPECT_EQ(GetDatabase(), db);
}

// The database holds the users' password hashes: a new file, its log and
// index files, and the folder made for them are the owner's alone, or the
// group's too in a folder shared with its group (a service's); what exists
// keeps its rights.
TEST_F(MainDatabaseTest, NewFilesAreTheirOwnersAlone) {
  const mode_t savedMask = ::umask(022);
  QDir().mkpath(dir.Path(QStringLiteral("shared")));
  ::chmod(QFile::encodeName(dir.Path(QStringLiteral("shared"))).constData(), 0770);
  // A service's folder belongs to its group; as root the test can give it one.
  const bool otherGroup = ::chown(QFile::encodeName(dir.Path(QStringLiteral("shared"))).constData(),
                                  static_cast<uid_t>(-1), 65534) == 0;
  QDir().mkpath(dir.Path(QStringLiteral("open")));
  ::chmod(QFile::encodeName(dir.Path(QStringLiteral("open"))).constData(), 0755);
  {
    TSQLiteDatabase older(dir.Path(QStringLiteral("open/older.db")));
    older.SetHeader(QStringLiteral("TERVOX_SQLITE"));
    older.ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
  }
  ::chmod(QFile::encodeName(dir.Path(QStringLiteral("open/older.db"))).constData(), 0644);
  const struct {
    const char* file;
    const char* folder;
    int folderMode, fileMode;
  } cases[] = {
      {"new/deeper/Tervox.db", "new/deeper", 0700, 0600},
      {"shared/Tervox.db", "shared", 0770, 0660},
      {"open/Tervox.db", "open", 0755, 0600},
      {"open/older.db", "open", 0755, 0644},
  };
  for (const auto& c : cases) {
    const QString file = dir.Path(QString::fromLatin1(c.file));
    SetDatabaseFileName(file);
    GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO Config VALUES ('written', '1')"));
    EXPECT_EQ(tervox_test::FileMode(dir.Path(QString::fromLatin1(c.folder))), c.folderMode) << c.file;
    for (const char* suffix : {"", "-wal", "-shm"})
      EXPECT_EQ(tervox_test::FileMode(file + QLatin1String(suffix)), c.fileMode) << c.file << suffix;
    struct stat info {};
    if (c.fileMode == 0660 && otherGroup && ::stat(QFile::encodeName(file).constData(), &info) == 0) {
      EXPECT_EQ(info.st_gid, 65534u) << "the folder's group reaches the file";
    }
    FreeDatabase();
  }
  EXPECT_EQ(tervox_test::FileMode(dir.Path(QStringLiteral("new"))), 0755) << "only the database's own folder is private";
  ::umask(savedMask);
}

TEST_F(MainDatabaseTest, ExistingDatabaseIsUsedUnchanged) {
  const QString file = dir.Path(QStringLiteral("old.db"));
  {
    TSQLiteDatabase old(file);
    old.SetHeader(QStringLiteral("TERVOX_SQLITE"));
    old.ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
    old.ExecSQL(QStringLiteral("CREATE TABLE Mine (X)"));
    old.ExecSQL(QStringLiteral("DELETE FROM UserGroup WHERE Name = 'Users'"));
  }
  SetDatabaseFileName(file);
  TSQLiteDatabase* db = GetDatabase();
  EXPECT_TRUE(db->TableExists(QStringLiteral("Mine")));
  EXPECT_EQ(db->GetTableValue(QStringLiteral("SELECT count(*) FROM UserGroup")), 2); // not reseeded
}

// A file TERVOX cannot write, or one without some of its tables, is refused
// at start-up with one message naming the file (and the tables), and left as
// it was; before, the first showed only at login and the second dropped
// every reading.
TEST_F(MainDatabaseTest, ReadOnlyFilesAndMissingTablesAreRefusedByName) {
  const QString file = dir.Path(QStringLiteral("Tervox.db"));
  {
    TSQLiteDatabase made(file);
    made.SetHeader(QStringLiteral("TERVOX_SQLITE"));
    made.ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
    made.ExecSQL(QStringLiteral("DROP TABLE DeviceData"));
    made.ExecSQL(QStringLiteral("DROP TABLE UsageLog"));
  }
  const QByteArray content = tervox_test::ReadFileBytes(file);
  SetDatabaseFileName(file);
  auto errorOf = [] {
    try {
      GetDatabase();
    } catch (const EDqException& e) {
      FreeDatabase();
      return e.Message();
    }
    FreeDatabase();
    return QStringLiteral("<opened>");
  };
  const QString missing = errorOf();
  EXPECT_TRUE(missing.contains(QStringLiteral("\"%1\" lacks TERVOX's tables: DeviceData, UsageLog.").arg(file)))
      << missing.toStdString();
  EXPECT_EQ(tervox_test::ReadFileBytes(file), content);

  {
    TSQLiteDatabase repair(file);
    repair.ExecSQL(QStringLiteral("CREATE TABLE DeviceData (X)"));
    repair.ExecSQL(QStringLiteral("CREATE TABLE UsageLog (X)"));
  }
  ASSERT_TRUE(QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
  ASSERT_TRUE(QFile::setPermissions(dir.Root(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                                    QFileDevice::ReadGroup | QFileDevice::ExeGroup |
                                                    QFileDevice::ReadOther | QFileDevice::ExeOther));
  QString readOnly;
  {
    tervox_test::Unprivileged asUser; // root writes whatever the permissions say
    readOnly = errorOf();
  }
  EXPECT_EQ(readOnly, QStringLiteral("TERVOX cannot write the database file \"%1\": it is read-only. Give the user "
                                     "running TERVOX write permission on the file and its folder, or start TERVOX "
                                     "with --database naming another file.")
                          .arg(file));
}

TEST_F(MainDatabaseTest, NotADatabaseIsAClearErrorAndUntouched) {
  const QString file = dir.Path(QStringLiteral("Tervox.db"));
  const QByteArray content = QByteArray("PNG? no, a text file\n").repeated(100);
  tervox_test::WriteFileBytes(file, content);
  SetDatabaseFileName(file);
  try {
    GetDatabase();
    FAIL() << "no error";
  } catch (const EDqException& e) {
    EXPECT_EQ(e.Message(), QStringLiteral("Failed to open database \"%1\" : file is not a database").arg(file));
  }
  EXPECT_EQ(tervox_test::ReadFileBytes(file), content);
}

TEST_F(MainDatabaseTest, UsageLogLinesNeverCollide) {
  // Without an open database the call does nothing.
  EXPECT_NO_THROW(AddUsageLog(QStringLiteral("nobody listens"), 0, QStringLiteral("IN"), 0, 0));

  SetDatabaseFileName(dir.Path(QStringLiteral("log.db")));
  TSQLiteDatabase* db = GetDatabase();
  // Later than any real time another test in this process may have logged.
  tervox_test::FixedClock clock(90000.5);
  for (int i = 0; i < 5; ++i) AddUsageLog(QStringLiteral("Alarm %1").arg(i), 0, QStringLiteral("EV1"), 25.5, 1);
  auto table = db->GetTable(QStringLiteral("SELECT * FROM UsageLog ORDER BY LogTime"));
  double last = 0;
  int rows = 0;
  while (!table->Eof()) {
    const double time = table->FieldByName(QStringLiteral("LogTime"))->AsFloat();
    EXPECT_GE(time - last, 1.0 / 86400000.0 * 0.999);
    EXPECT_EQ(table->FieldByName(QStringLiteral("Detail"))->AsString(), QStringLiteral("Alarm %1").arg(rows));
    EXPECT_EQ(table->FieldByName(QStringLiteral("DeviceName"))->AsString(), QStringLiteral("-"));
    EXPECT_EQ(table->FieldByName(QStringLiteral("EVStatus"))->AsString(), QStringLiteral("EV1"));
    EXPECT_EQ(table->FieldByName(QStringLiteral("PV"))->AsFloat(), 25.5);
    last = time;
    ++rows;
    table->Next();
  }
  EXPECT_EQ(rows, 5);
  EXPECT_NEAR(last, 90000.5, 1e-6);

  // A failure is reported with the log's own text.
  db->ExecSQL(QStringLiteral("DROP TABLE UsageLog"));
  try {
    AddUsageLog(QStringLiteral("lost"), 0, QString(), 0, 0);
    FAIL() << "no error";
  } catch (const EDqException& e) {
    EXPECT_EQ(e.Message(), QStringLiteral("Failed to add usage log"));
  }
}

} // namespace

TEST(MainDatabase, UsageLogCarriesTheControllersName) {
  tervox_test::TempDir dir;
  SetDatabaseFileName(dir.Path(QStringLiteral("names.db")));
  TSQLiteDatabase* db = GetDatabase();
  db->ExecSQL(QStringLiteral("INSERT INTO Device (ID, Name) VALUES (7, 'Oven')"));
  db->ExecSQL(QStringLiteral("INSERT INTO Device (ID, Name) VALUES (8, 'เตาอบ')"));
  struct Case {
    int ID;
    const char* Name;
  } const cases[] = {{7, "Oven"}, {8, "เตาอบ"}, {0, "-"}, {-1, "-"}, {99, "-"}};
  tervox_test::FixedClock clock(91000.5);
  for (const Case& c : cases) {
    AddUsageLog(QStringLiteral("EV1 changed"), c.ID, QStringLiteral("ON"), 25, 0);
    EXPECT_EQ(VarAsText(db->GetTable(QStringLiteral("SELECT DeviceName FROM UsageLog ORDER BY LogTime DESC"))
                            ->GetFields(0)
                            ->Value()),
              QString::fromUtf8(c.Name))
        << c.ID;
  }
  FreeDatabase();
  SetDatabaseFileName(QString());
}
