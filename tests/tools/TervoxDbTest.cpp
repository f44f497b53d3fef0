// The administration tool, run as a separate process the way cron runs it.
#include "Engine/DqSQLite.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <gtest/gtest.h>

namespace {

struct Result {
  int exitCode;
  QString out;
  QString err;
};

class TervoxDbTest : public ::testing::Test {
protected:
  Result Run(const QStringList& AArgs) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TERVOX_DATA_DIR"), dir.Path(QStringLiteral("data")));
    process.setProcessEnvironment(env);
    // Test programs and tools share one output directory.
    process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tervox-db"), AArgs);
    EXPECT_TRUE(process.waitForFinished(60000));
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
  }
  QString Path(const char* AName) { return dir.Path(QString::fromLatin1(AName)); }

  tervox_test::TempDir dir;
};

TEST_F(TervoxDbTest, BackupAndRestoreRoundTrip) {
  ASSERT_EQ(Run({QStringLiteral("create")}).exitCode, 0);
  const QString defaultFile = Path("data/Tervox.db");
  {
    TSQLiteDatabase db(defaultFile);
    db.ExecSQL(QStringLiteral("INSERT INTO Config VALUES ('Note', 'a''b' || char(13,10) || 'ไทย;')")); 
    db.ExecSQL(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, PV) VALUES (4, 45000.1234567890123, 0.1)"));
  }
  const Result backup = Run({QStringLiteral("backup"), Path("out.sql")});
  ASSERT_EQ(backup.exitCode, 0) << backup.err.toStdString();
  EXPECT_TRUE(tervox_test::ReadFileBytes(Path("out.sql")).startsWith("// TERVOX_SQLITE\r\n\r\n"));

  const Result restore = Run({QStringLiteral("--database"), Path("other.db"), QStringLiteral("restore"), Path("out.sql")});
  ASSERT_EQ(restore.exitCode, 0) << restore.err.toStdString();
  TSQLiteDatabase other(Path("other.db"));
  EXPECT_EQ(other.Lookup(QStringLiteral("Config"), QStringLiteral("Name"), "Note", QStringLiteral("Value")),
            TVariant(QStringLiteral("a'b\r\nไทย;")));
  EXPECT_EQ(other.GetTable(QStringLiteral("SELECT ReadTime FROM DeviceData"))->GetFields(0)->Value(),
            TVariant::FromDateTime(45000.1234567890123));
}

TEST_F(TervoxDbTest, ErrorsAreClearAndExitNonZero) {
  tervox_test::WriteFileBytes(Path("garbled.sql"), "-- not a backup\r\nDROP TABLE Users;\r\n");
  const Result garbled = Run({QStringLiteral("--database"), Path("g.db"), QStringLiteral("restore"), Path("garbled.sql")});
  EXPECT_EQ(garbled.exitCode, 1);
  EXPECT_TRUE(garbled.err.contains(QStringLiteral("SQLITE file header error")));
  TSQLiteDatabase kept(Path("g.db"));
  EXPECT_TRUE(kept.TableExists(QStringLiteral("Users")));

  tervox_test::WriteFileBytes(Path("text.db"), QByteArray("plain text\n").repeated(50));
  const Result notDb = Run({QStringLiteral("--database"), Path("text.db"), QStringLiteral("create")});
  EXPECT_EQ(notDb.exitCode, 1);
  EXPECT_TRUE(notDb.err.contains(QStringLiteral("file is not a database"))) << notDb.err.toStdString();

  const Result missing = Run({QStringLiteral("restore"), Path("nothing.sql")});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_TRUE(missing.err.contains(QStringLiteral("nothing.sql")));

  EXPECT_EQ(Run({QStringLiteral("backup")}).exitCode, 2);
  EXPECT_EQ(Run({QStringLiteral("frobnicate")}).exitCode, 2);
  EXPECT_EQ(Run({}).exitCode, 2);
  const Result help = Run({QStringLiteral("--help")});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(help.out.contains(QStringLiteral("backup OUT.sql")));
}

// A cut-off backup and one with a garbage line are refused with a non-zero
// exit, and the database is exactly as before.
TEST_F(TervoxDbTest, DamagedBackupChangesNothing) {
  ASSERT_EQ(Run({QStringLiteral("create")}).exitCode, 0);
  const QString file = Path("data/Tervox.db");
  {
    TSQLiteDatabase db(file);
    db.ExecSQL(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 2999) "
                             "INSERT INTO DeviceData (DeviceID, ReadTime, PV) SELECT 1, 45000 + i, 20.5 FROM n"));
  }
  ASSERT_EQ(Run({QStringLiteral("backup"), Path("full.sql")}).exitCode, 0);
  const QByteArray full = tervox_test::ReadFileBytes(Path("full.sql"));
  {
    TSQLiteDatabase db(file); // now the database differs from the backup
    db.ExecSQL(QStringLiteral("DELETE FROM DeviceData WHERE ReadTime > 45010"));
    db.ExecSQL(QStringLiteral("INSERT INTO Device (Name) VALUES ('newer')"));
  }
  auto dump = [&] {
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"), {file, QStringLiteral(".dump")});
    EXPECT_TRUE(sqlite.waitForFinished(60000));
    return sqlite.readAllStandardOutput();
  };
  const QByteArray before = dump();
  ASSERT_TRUE(before.contains("'newer'"));

  // Statements put before a table's block, on the line that block began.
  const qsizetype at = full.indexOf("BEGIN EXCLUSIVE TRANSACTION;\r\nDELETE FROM DevicePort;");
  const QByteArray atLine = "refused at line " + QByteArray::number(full.left(at).count('\n') + 1);
  auto crafted = [&](const QByteArray& AStatements) { return QByteArray(full).insert(at, AStatements); };
  const struct {
    const char* name;
    QByteArray bytes;
    QByteArray error;
  } cases[] = {
      {"cut.sql", full.left(full.indexOf("PINSERT (1, 46500")), "is cut off"},
      {"garbage.sql", crafted("PINSERT (1, 2, ;\r\nthis is no SQL;\r\n"), atLine},
      // Every new reading deleted as it is written.
      {"trigger.sql", crafted("CREATE TRIGGER forget AFTER INSERT ON DeviceData BEGIN DELETE FROM DeviceData; END;\r\n"),
       atLine},
      // History in a table of other columns: the station would refuse its
      // own database, and good backups would no longer restore.
      {"replace.sql", crafted("DROP TABLE DeviceData;\r\nCREATE TABLE DeviceData (Note text);\r\n"), atLine},
      {"update.sql", crafted("UPDATE Users SET GroupName = 'Administrators';\r\n"), atLine},
      {"attach.sql", crafted("ATTACH '" + Path("x.db").toUtf8() + "' AS x;\r\n"), atLine},
      {"unknown.sql", crafted("INSERT INTO Secrets VALUES (1);\r\n"), atLine + ": Secrets is not a table of TERVOX"},
  };
  for (const auto& c : cases) {
    tervox_test::WriteFileBytes(Path(c.name), c.bytes);
    const Result restore = Run({QStringLiteral("restore"), Path(c.name)});
    EXPECT_NE(restore.exitCode, 0) << c.name;
    EXPECT_TRUE(restore.err.contains(QString::fromLatin1(c.error))) << c.name << ": " << restore.err.toStdString();
    EXPECT_TRUE(restore.err.contains(Path(c.name))) << c.name;
    EXPECT_FALSE(restore.out.contains(QStringLiteral("done"))) << c.name;
    EXPECT_EQ(dump(), before) << c.name;
    EXPECT_EQ(QDir(Path("data")).entryList({QStringLiteral("*before_restore*")}), QStringList()) << c.name;
  }
  EXPECT_FALSE(QFile::exists(Path("x.db")));
  // The complete backup still restores, after a copy of the database as it
  // was, as private as the database, which the output names.
  const Result restore = Run({QStringLiteral("restore"), Path("full.sql")});
  EXPECT_EQ(restore.exitCode, 0) << restore.err.toStdString();
  const QStringList copies = QDir(Path("data")).entryList({QStringLiteral("Tervox_before_restore_*.db")});
  ASSERT_EQ(copies.size(), 1);
  const QString copy = QDir(Path("data")).filePath(copies.first());
  EXPECT_TRUE(restore.out.contains(copy)) << restore.out.toStdString();
  EXPECT_EQ(tervox_test::FileMode(copy), 0600);
  {
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"), {copy, QStringLiteral(".dump")});
    ASSERT_TRUE(sqlite.waitForFinished(60000));
    EXPECT_EQ(sqlite.readAllStandardOutput(), before);
  }
  TSQLiteDatabase db(file);
  EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")), 3000);
  EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT count(*) FROM Device")), 0);
}

} // namespace

namespace {

class TervoxDbReportTest : public TervoxDbTest {
protected:
  void SetUp() override {
    ASSERT_EQ(Run({QStringLiteral("--database"), Path("r.db"), QStringLiteral("create")}).exitCode, 0);
    TSQLiteDatabase db(Path("r.db"));
    db.ExecSQL(QStringLiteral("INSERT INTO Device (ID, Name) VALUES (1, 'Oven'), (2, 'เตาอบ')"));
    // 100 readings from 2026-03-14 12:00:00, one a second; SV missing.
    db.ExecSQL(QStringLiteral(
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 99) "
        "INSERT INTO DeviceData (DeviceID, ReadTime, Digit, PV, SV, OUT1, OUT2, IsEV1) "
        "SELECT 2, 46095.5 + i / 86400.0, 1, 20 + i / 10.0, 32767, 5, 6, i % 2 FROM n"));
    db.ExecSQL(QStringLiteral("INSERT INTO UsageLog (LogTime, Detail, DeviceName, EVStatus, PV, Digit) "
                              "VALUES (46095.25, 'EV1 changed, \"high\"', 'Oven', 'ON', 181.25, 2)"));
  }
  Result Report(QStringList AArgs) {
    return Run(QStringList{QStringLiteral("--database"), Path("r.db"), QStringLiteral("report")} + AArgs);
  }
};

TEST_F(TervoxDbReportTest, ReportAsCsvPdfAndSpreadsheet) {
  const QStringList range{"--device", "เตาอบ", "--from", "2026-03-14 12:00:10", "--to", "2026-03-14T12:01:39"};
  const Result csv = Report(range + QStringList{"--columns", "pv,SV,EV1", "--csv", Path("r.csv")});
  ASSERT_EQ(csv.exitCode, 0) << csv.err.toStdString();
  const QList<QByteArray> lines = tervox_test::ReadFileBytes(Path("r.csv")).split('\n');
  ASSERT_EQ(lines.size(), 92);
  EXPECT_EQ(lines[0], QByteArray("Read Time,PV,SV,EV1\r"));
  EXPECT_EQ(lines[1], QByteArray("2026-03-14T12:00:10,21.0,,Off\r"));
  EXPECT_EQ(lines[90], QByteArray("2026-03-14T12:01:39,29.9,,On\r"));

  const Result grouped = Report(range + QStringList{"--period", "1 Minute", "--csv", Path("g.csv")});
  ASSERT_EQ(grouped.exitCode, 0);
  EXPECT_EQ(tervox_test::ReadFileBytes(Path("g.csv")).count('\n'), 1 + 3); // 12:00, 12:01, 12:02 groups

  // The same pages as the Report page prints.
  ASSERT_EQ(Report(range + QStringList{"--pdf", Path("r.pdf")}).exitCode, 0);
  QProcess text;
  text.start(QStringLiteral("pdftotext"), {Path("r.pdf"), QStringLiteral("-")});
  ASSERT_TRUE(text.waitForFinished(30000));
  const QString printed = QString::fromUtf8(text.readAllStandardOutput());
  EXPECT_TRUE(printed.contains(QStringLiteral("Page 3 of 3")));
  EXPECT_TRUE(printed.contains(QStringLiteral("Device Name: เตาอบ")));

  // The spreadsheet carries what code page 1250 holds and says so.
  const Result xls = Report(range + QStringList{"--xls", Path("r.xls")});
  ASSERT_EQ(xls.exitCode, 0);
  EXPECT_TRUE(xls.err.contains(QStringLiteral("code page 1250"))) << xls.err.toStdString();
  EXPECT_TRUE(tervox_test::ReadFileBytes(Path("r.xls")).contains("Device Name: ?????"));
}

TEST_F(TervoxDbReportTest, BadInputIsRefusedWithStatus2AndNoFile) {
  tervox_test::WriteFileBytes(Path("keep.csv"), "old");
  struct Case {
    QStringList Args;
    const char* Message;
  } const cases[] = {
      {{"--device", "Kiln", "--from", "2026-03-14", "--to", "2026-03-15", "--csv", Path("keep.csv")}, "unknown device"},
      {{"--device", "Oven", "--from", "2026-02-30 10:00:00", "--to", "2026-03-15", "--csv", Path("keep.csv")}, "bad date"},
      {{"--device", "Oven", "--from", "2026-03-16", "--to", "2026-03-15", "--csv", Path("keep.csv")}, "--from is after --to"},
      {{"--device", "Oven", "--from", "2026-03-14", "--to", "2026-03-15", "--csv", Path("no/such/dir/a.csv")}, "Cannot write"},
      {{"--device", "Oven", "--from", "2026-03-14", "--to", "2026-03-15", "--period", "2 Hours", "--csv", Path("keep.csv")}, "unknown period"},
      {{"--device", "Oven", "--from", "2026-03-14", "--to", "2026-03-15"}, "is required"},
  };
  for (const Case& c : cases) {
    const Result result = Report(c.Args);
    EXPECT_EQ(result.exitCode, 2) << c.Message;
    EXPECT_TRUE(result.err.contains(QString::fromLatin1(c.Message))) << result.err.toStdString();
  }
  EXPECT_EQ(tervox_test::ReadFileBytes(Path("keep.csv")), QByteArray("old"));
  EXPECT_FALSE(QFile::exists(Path("no/such/dir/a.csv")));
}

TEST_F(TervoxDbReportTest, UsageLogAsCsvAndPdf) {
  const Result csv = Run({"--database", Path("r.db"), "log", "--from", "2026-03-14", "--to", "2026-03-15", "--csv", Path("l.csv")});
  ASSERT_EQ(csv.exitCode, 0) << csv.err.toStdString();
  EXPECT_EQ(tervox_test::ReadFileBytes(Path("l.csv")),
            QByteArray("Log Time,Description,Device Name,Status,PV\r\n"
                       "2026-03-14T06:00:00,\"EV1 changed, \"\"high\"\"\",Oven,ON,181.25\r\n"));
  ASSERT_EQ(Run({"--database", Path("r.db"), "log", "--pdf", Path("l.pdf")}).exitCode, 0);
  QProcess text;
  text.start(QStringLiteral("pdftotext"), {Path("l.pdf"), QStringLiteral("-")});
  ASSERT_TRUE(text.waitForFinished(30000));
  EXPECT_TRUE(QString::fromUtf8(text.readAllStandardOutput()).contains(QStringLiteral("Page 1 of 1")));
  EXPECT_EQ(Run({"--database", Path("r.db"), "log", "--csv"}).exitCode, 2);
}

} // namespace

// Building the summaries of an older database, killed half-way: the next
// run resumes where it stopped, and every row is counted exactly once.
TEST_F(TervoxDbTest, SummaryBuildKilledResumes) {
  const QString file = Path("old.db");
  ASSERT_EQ(Run({QStringLiteral("--database"), file, QStringLiteral("create")}).exitCode, 0);
  {
    // Ten days of one controller recorded before summaries existed.
    TSQLiteDatabase db(file);
    db.ExecSQL(QStringLiteral("DROP TRIGGER DeviceDataMinuteInsert"));
    db.ExecSQL(QStringLiteral("DROP TRIGGER DeviceDataMinuteRecompute"));
    db.ExecSQL(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 863999) "
                              "INSERT INTO DeviceData (DeviceID, ReadTime, PV) SELECT 1, 46000 + i / 86400.0, "
                              "CASE WHEN i % 61 = 0 THEN 32767 ELSE i % 1000 END FROM n"));
  }
  QProcess process;
  process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tervox-db"),
                {QStringLiteral("--database"), file, QStringLiteral("create")});
  ASSERT_TRUE(process.waitForStarted());
  std::int64_t pending = 0;
  {
    TSQLiteDatabase watch(file);
    watch.SetTimeout(5000);
    // Killed once some of the queue is done, whenever that is.
    for (int k = 0; k < 6000; ++k) {
      if (watch.TableExists(QStringLiteral("DeviceDataMinuteQueue")) &&
          watch.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceDataMinute")) > 0)
        break;
      QThread::msleep(5);
    }
    process.kill();
    process.waitForFinished();
    pending = watch.GetTableValue(QStringLiteral("SELECT coalesce(sum(ToMinute - FromMinute), 0) FROM DeviceDataMinuteQueue"));
  }
  EXPECT_GT(pending, 0) << "killed before the build ended";
  ASSERT_EQ(Run({QStringLiteral("--database"), file, QStringLiteral("create")}).exitCode, 0);
  TSQLiteDatabase db(file);
  EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceDataMinuteQueue")), 0);
  EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT sum(Rows) FROM DeviceDataMinute")), 864000);
  EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceDataMinute")), 14400);
  EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT sum(PVCount) FROM DeviceDataMinute")),
            db.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData WHERE PV <> 32767")));
  EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT max(PVMax) FROM DeviceDataMinute")), 999);
}
