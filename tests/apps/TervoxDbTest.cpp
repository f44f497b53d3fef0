// The administration tool, run as a separate process the way cron runs it.
#include "widgets/DqDrawGrid.h"
#include "graph/DqGraph.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "store/Main_Database.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Engine.h"
#include "export/Tervox_HistoryGraph.h"
#include "export/Tervox_Report.h"
#include "ui/pages/Frame_Graph.h"
#include "ui/pages/GraphTestSupport.h"
#include "ui/shell/Main_Demo.h"
#include "trust/Tervox_Audit.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPrinter>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <memory>
#include <utility>

#include <signal.h>
#include <sys/resource.h>

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
  ASSERT_EQ(lines.size(), 93); // the header, 90 rows, the stamp, the empty piece after the last CRLF
  EXPECT_EQ(lines[0], QByteArray("Read Time,PV,SV,EV1\r"));
  EXPECT_EQ(lines[1], QByteArray("2026-03-14T12:00:10,21.0,,Off\r"));
  EXPECT_EQ(lines[90], QByteArray("2026-03-14T12:01:39,29.9,,On\r"));

  const Result grouped = Report(range + QStringList{"--period", "1 Minute", "--csv", Path("g.csv")});
  ASSERT_EQ(grouped.exitCode, 0);
  EXPECT_EQ(tervox_test::ReadFileBytes(Path("g.csv")).count('\n'), 1 + 3 + 1); // 12:00, 12:01, 12:02 groups, the stamp

  // The file verifies against the database; one value edited, it does not.
  const Result intact = Run({QStringLiteral("--database"), Path("r.db"), QStringLiteral("verify"),
                             QStringLiteral("--report"), Path("r.csv")});
  EXPECT_EQ(intact.exitCode, 0) << intact.out.toStdString() << intact.err.toStdString();
  QByteArray edited = tervox_test::ReadFileBytes(Path("r.csv"));
  edited.replace("2026-03-14T12:00:10,21.0,", "2026-03-14T12:00:10,21.5,");
  tervox_test::WriteFileBytes(Path("r.csv"), edited);
  const Result changed = Run({QStringLiteral("--database"), Path("r.db"), QStringLiteral("verify"),
                              QStringLiteral("--report"), Path("r.csv")});
  EXPECT_EQ(changed.exitCode, 1);
  EXPECT_TRUE(changed.out.contains(QStringLiteral("Line 2 differs"))) << changed.out.toStdString();

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

TEST_F(TervoxDbReportTest, AuditTrailFromAShell) {
  {
    tervox_test::FixedClock clock(EncodeDateTime(2026, 3, 14, 9, 0));
    TervoxAudit::Append({QStringLiteral("engineer"), TervoxAudit::kController, QStringLiteral("Oven"), 1,
                         QStringLiteral("settings written (WriteFix)"),
                         {{QStringLiteral("FIX-SV1 (register 768)"), QStringLiteral("100.0"), QStringLiteral("120.5")}},
                         QString()},
                        Path("r.db"));
    clock.Set(EncodeDateTime(2026, 3, 15, 9, 0));
    TervoxAudit::Append({QStringLiteral("admin"), TervoxAudit::kUser, QStringLiteral("op1"), 0,
                         QStringLiteral("password changed"), {}, QString()},
                        Path("r.db"));
  }
  const QStringList db{QStringLiteral("--database"), Path("r.db"), QStringLiteral("audit")};
  const Result all = Run(db);
  ASSERT_EQ(all.exitCode, 0) << all.err.toStdString();
  EXPECT_TRUE(all.out.contains(QStringLiteral("engineer\tcontroller Oven\tsettings written (WriteFix)\t"
                                              "FIX-SV1 (register 768): 100.0 \u2192 120.5")))
      << all.out.toStdString();
  const Result day = Run(db + QStringList{"--from", "2026-03-15", "--csv", Path("a.csv")});
  ASSERT_EQ(day.exitCode, 0) << day.err.toStdString();
  const QList<QByteArray> lines = tervox_test::ReadFileBytes(Path("a.csv")).split('\n');
  ASSERT_EQ(lines.size(), 3); // the header, one entry, the empty piece after the last CRLF
  EXPECT_TRUE(lines[1].contains("password changed"));
  EXPECT_EQ(Run(db + QStringList{"--user", "nobody"}).out, QString());
  EXPECT_EQ(Run(db + QStringList{"--from", "not a date"}).exitCode, 2);
}

// The workbook keeps the Thai name and every reading: an independent
// reader finds the titles and numbers, the no-value column empty.
TEST_F(TervoxDbReportTest, ReportAsWorkbook) {
  const Result xlsx = Report({"--device", "เตาอบ", "--from", "2026-03-14 12:00:10", "--to", "2026-03-14T12:01:39",
                              "--columns", "PV,SV", "--xlsx", Path("r.xlsx")});
  ASSERT_EQ(xlsx.exitCode, 0) << xlsx.err.toStdString();
  EXPECT_EQ(xlsx.err, QString());
  EXPECT_TRUE(xlsx.out.contains(QStringLiteral("90 rows of \"เตาอบ\" written to ") + Path("r.xlsx")));
  QProcess python;
  python.start(QStringLiteral("/usr/bin/python3"),
               {QStringLiteral("-c"), QStringLiteral("import sys, openpyxl\n"
                                                     "ws = openpyxl.load_workbook(sys.argv[1]).active\n"
                                                     "for row in ws.iter_rows(values_only=True):\n"
                                                     "  print('|'.join(repr(v) for v in row))\n"),
                Path("r.xlsx")});
  ASSERT_TRUE(python.waitForFinished(60000));
  const QStringList lines = QString::fromUtf8(python.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 4 + 90) << python.readAllStandardError().toStdString();
  EXPECT_EQ(lines[1], QStringLiteral("'Device Name: เตาอบ'|None|None"));
  EXPECT_EQ(lines[3], QStringLiteral("'Read Time'|'PV'|'SV'"));
  EXPECT_EQ(lines[4], QStringLiteral("datetime.datetime(2026, 3, 14, 12, 0, 10)|21|None"));
  EXPECT_EQ(lines[93], QStringLiteral("datetime.datetime(2026, 3, 14, 12, 1, 39)|29.9|None"));
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
      {{"--device", "Oven", "--from", "2026-03-14", "--to", "2026-03-15", "--xlsx", Path("no/such/dir/a.xlsx")},
       "Cannot write"},
      {{"--device", "Kiln", "--from", "2026-03-14", "--to", "2026-03-15", "--xlsx", Path("keep.csv")}, "unknown device"},
      {{"--device", "Oven", "--from", "2026-03-14", "--to", "2026-03-15", "--xlsx", Path("a.xlsx"), "--csv",
        Path("keep.csv")},
       "give only one of"},
      {{"--device", "Oven", "--from", "2026-03-14", "--to", "2026-03-15", "--xlsx"}, "--xlsx needs a value"},
  };
  for (const Case& c : cases) {
    const Result result = Report(c.Args);
    EXPECT_EQ(result.exitCode, 2) << c.Message;
    EXPECT_TRUE(result.err.contains(QString::fromLatin1(c.Message))) << result.err.toStdString();
  }
  EXPECT_EQ(tervox_test::ReadFileBytes(Path("keep.csv")), QByteArray("old"));
  EXPECT_FALSE(QFile::exists(Path("no/such/dir/a.csv")));
  EXPECT_FALSE(QFile::exists(Path("a.xlsx")));
  EXPECT_FALSE(QFile::exists(Path("no")));
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
    for (const char* table : {"DeviceDataMinute", "DeviceDataMinuteQueue", "DeviceDataMinuteMark"})
      db.ExecSQL(QStringLiteral("DROP TABLE ") + QLatin1String(table));
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
  EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT sum(coalesce(PVCount, Rows)) FROM DeviceDataMinute")),
            db.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData WHERE PV <> 32767")));
  EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT max(PVMax) FROM DeviceDataMinute")), 999);
}
// Archiving killed at a random point: the next run finishes it, and the
// main file and the archive together hold every row exactly once.
TEST_F(TervoxDbTest, ArchiveKilledHalfWayFinishesOnTheNextRun) {
  const QString file = Path("station/Tervox.db");
  const QString archive = Path("station/Tervox-archive-2024.db");
  ASSERT_EQ(Run({QStringLiteral("--database"), file, QStringLiteral("create")}).exitCode, 0);
  const auto total = [](TSQLiteDatabase& ADb) {
    return std::make_pair(ADb.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")),
                          ADb.GetTableValue(QStringLiteral("SELECT sum(PV) FROM DeviceData")));
  };
  std::pair<std::int64_t, std::int64_t> original;
  {
    // Three days of two controllers, one reading a second, summarised.
    TSQLiteDatabase db(file);
    db.ExecSQL(QStringLiteral("INSERT INTO Device (ID, Name) VALUES (1, 'A'), (2, 'B')"));
    db.ExecSQL(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 518399) "
                              "INSERT INTO DeviceData (DeviceID, ReadTime, PV) SELECT 1 + i % 2, %1 + (i / 2) / 86400.0, "
                              "i % 1000 FROM n")
                   .arg(EncodeDateTime(2024, 5, 1), 0, 'g', 17));
    original = total(db);
  }
  ASSERT_EQ(Run({QStringLiteral("--database"), file, QStringLiteral("create")}).exitCode, 0);

  QProcess process;
  process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tervox-db"),
                {QStringLiteral("--database"), file, QStringLiteral("archive"), QStringLiteral("--before"),
                 QStringLiteral("2024-05-04")});
  ASSERT_TRUE(process.waitForStarted());
  {
    // Killed once the main file began to let go of rows.
    TSQLiteDatabase watch(file);
    watch.SetTimeout(5000);
    for (int k = 0; k < 6000 && watch.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")) == original.first; ++k)
      QThread::msleep(5);
    ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
    process.waitForFinished();
    EXPECT_GT(watch.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")), 0) << "killed after the end";
  }
  const Result rerun = Run({QStringLiteral("--database"), file, QStringLiteral("archive"), QStringLiteral("--before"),
                            QStringLiteral("2024-05-04")});
  ASSERT_EQ(rerun.exitCode, 0) << rerun.err.toStdString();
  EXPECT_TRUE(rerun.out.contains(QStringLiteral("Tervox-archive-2024.db"))) << rerun.out.toStdString();

  TSQLiteDatabase main(file);
  TSQLiteDatabase old(archive);
  EXPECT_EQ(main.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")), 0);
  EXPECT_EQ(total(old), original);
  EXPECT_EQ(old.GetTableValue(QStringLiteral("SELECT count(*) FROM Device")), 2);
  // Summaries of the archive and none left behind in the main file.
  const Result build = Run({QStringLiteral("--database"), archive, QStringLiteral("create")});
  ASSERT_EQ(build.exitCode, 0) << build.err.toStdString();
  EXPECT_EQ(old.GetTableValue(QStringLiteral("SELECT sum(Rows) FROM DeviceDataMinute")), original.first);
  EXPECT_EQ(main.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceDataMinute")), 0);
}

// A wrong command line changes nothing; a disk that fills up while the
// archive is written deletes no row from the main file.
TEST_F(TervoxDbTest, ArchiveRefusesBadInputAndKeepsRowsItCouldNotArchive) {
  const QString file = Path("station/Tervox.db");
  ASSERT_EQ(Run({QStringLiteral("--database"), file, QStringLiteral("create")}).exitCode, 0);
  {
    TSQLiteDatabase db(file);
    db.ExecSQL(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 199999) "
                              "INSERT INTO DeviceData (DeviceID, ReadTime, PV) SELECT 1, %1 + i / 86400.0, i FROM n")
                   .arg(EncodeDateTime(2024, 5, 1), 0, 'g', 17));
  }
  const std::int64_t rows = TSQLiteDatabase(file).GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData"));
  for (const QStringList& bad : {QStringList{QStringLiteral("archive")},
                                 {QStringLiteral("archive"), QStringLiteral("--before")},
                                 {QStringLiteral("archive"), QStringLiteral("--before"), QStringLiteral("2024-02-30")},
                                 {QStringLiteral("archive"), QStringLiteral("--before"), QStringLiteral("yesterday")},
                                 {QStringLiteral("archive"), QStringLiteral("--from"), QStringLiteral("2024-01-01")},
                                 {QStringLiteral("archive"), QStringLiteral("--before"), QStringLiteral("2024-06-01"),
                                  QStringLiteral("extra")}}) {
    const Result result = Run(QStringList{QStringLiteral("--database"), file} + bad);
    EXPECT_EQ(result.exitCode, 2) << bad.join(' ').toStdString();
    EXPECT_TRUE(result.err.startsWith(QStringLiteral("tervox-db: "))) << result.err.toStdString();
  }
  EXPECT_FALSE(QFileInfo::exists(Path("station/Tervox-archive-2024.db")));

  // The archive may not grow past a few megabytes: the copy fails half-way.
  QProcess process;
  process.setChildProcessModifier([] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{3 << 20, 3 << 20};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  });
  process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tervox-db"),
                {QStringLiteral("--database"), file, QStringLiteral("archive"), QStringLiteral("--before"),
                 QStringLiteral("2024-06-01")});
  ASSERT_TRUE(process.waitForFinished(60000));
  EXPECT_EQ(process.exitCode(), 1);
  const QString error = QString::fromUtf8(process.readAllStandardError());
  EXPECT_TRUE(error.contains(QStringLiteral("Cannot write the archive"))) << error.toStdString();
  EXPECT_EQ(TSQLiteDatabase(file).GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")), rows);
  // With room again, the same run completes.
  const Result again = Run({QStringLiteral("--database"), file, QStringLiteral("archive"), QStringLiteral("--before"),
                            QStringLiteral("2024-06-01")});
  ASSERT_EQ(again.exitCode, 0) << again.err.toStdString();
  EXPECT_TRUE(again.out.contains(QStringLiteral("%1 row(s) moved").arg(rows))) << again.out.toStdString();
  EXPECT_EQ(TSQLiteDatabase(Path("station/Tervox-archive-2024.db"))
                .GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")),
            rows);
}

namespace {

constexpr const char* kTimeFormat = "yyyy-MM-dd HH:mm:ss";

// What a picture shows: pixels of each demo line's colour (red, green,
// blue) inside ARect.
struct TLinePixels {
  int Red = 0, Green = 0, Blue = 0;
};
TLinePixels CountLinePixels(const QImage& AImage, const QRect& ARect) {
  TLinePixels count;
  const QRect inside = ARect.intersected(AImage.rect());
  for (int y = inside.top(); y <= inside.bottom(); ++y)
    for (int x = inside.left(); x <= inside.right(); ++x) {
      const QColor c = AImage.pixelColor(x, y);
      count.Red += c.red() > 200 && c.green() < 80 && c.blue() < 80;
      count.Green += c.red() < 60 && c.green() > 90 && c.green() < 170 && c.blue() < 60;
      count.Blue += c.red() < 80 && c.green() < 80 && c.blue() > 200;
    }
  return count;
}

QImage RenderPdf(const QString& APdf, const QString& APrefix) {
  QProcess render;
  render.start(QStringLiteral("pdftoppm"), {QStringLiteral("-r"), QStringLiteral("50"), QStringLiteral("-png"),
                                            QStringLiteral("-singlefile"), APdf, APrefix});
  EXPECT_TRUE(render.waitForFinished(30000));
  EXPECT_EQ(render.exitCode(), 0) << render.readAllStandardError().toStdString();
  return QImage(APrefix + QStringLiteral(".png")).convertToFormat(QImage::Format_RGB32);
}

// The demonstration's database as `tervox --demo` seeds it (three
// controllers, eight hours of readings, the "Demo history" profile), its
// controllers loaded as a window has them.
class TervoxDbGraphTest : public TervoxDbTest {
protected:
  void SetUp() override {
    FPortDir = qgetenv("TERVOX_PORT_DIR");
    qunsetenv("TERVOX_PORT_DIR");
    FreeDatabase();
    FDemo = std::make_unique<TTervoxDemo>();
    QString error;
    ASSERT_TRUE(FDemo->Start(&error)) << error.toStdString();
    FDemo->Seed();
    CreateEngineObjects();
    DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
  }
  void TearDown() override {
    FreeEngineObjects();
    FreePrintProfiles();
    FreeDatabase();
    SetDatabaseFileName(QString());
    FDemo.reset();
    if (FPortDir.isEmpty())
      qunsetenv("TERVOX_PORT_DIR");
    else
      qputenv("TERVOX_PORT_DIR", FPortDir);
  }
  Result Graph(const QStringList& AArgs) {
    return Run(QStringList{QStringLiteral("--database"), FDemo->DatabaseFileName(), QStringLiteral("graph")} + AArgs);
  }
  // The page as the demonstration opens it: "Demo history" on the seeded
  // hours, its first line selected, the profile panel hidden so that the
  // picture is ASize.
  void OpenPage(TFrameGraph& APage, const QSize& ASize) {
    ASSERT_EQ(APage.ComboGraph()->currentText(), QStringLiteral("Demo history"));
    APage.SetProfilePanelVisible(false);
    APage.resize(ASize);
    APage.show();
    QCoreApplication::processEvents();
    ASSERT_EQ(APage.Bitmap().size(), ASize);
    ASSERT_EQ(APage.GridLine()->Row(), 0);
    // The window as the command reads it from its text.
    FFrom = DateTimeToQDateTime(APage.PickerFirstTime()->Value()).toString(QString::fromLatin1(kTimeFormat));
    FTo = DateTimeToQDateTime(APage.PickerLastTime()->Value()).toString(QString::fromLatin1(kTimeFormat));
    const double first = DateTimeFromQDateTime(QDateTime::fromString(FFrom, QString::fromLatin1(kTimeFormat)));
    const double last = DateTimeFromQDateTime(QDateTime::fromString(FTo, QString::fromLatin1(kTimeFormat)));
    for (TGraphPicker* picker : {APage.PickerFirstDate(), APage.PickerFirstTime()}) picker->SetValue(first);
    for (TGraphPicker* picker : {APage.PickerLastDate(), APage.PickerLastTime()}) picker->SetValue(last);
    APage.PickerChange();
    tervox_test::WaitRead(APage);
  }

  std::unique_ptr<TTervoxDemo> FDemo;
  QByteArray FPortDir;
  QString FFrom, FTo;
};

TEST_F(TervoxDbGraphTest, DrawsTheDemoHistoryAsThePageShowsAndPrintsIt) {
  const QSize size(1000, 520);
  TFrameGraph page;
  OpenPage(page, size);
  const QImage shown = page.Bitmap().convertToFormat(QImage::Format_RGB32);
  const QRect plot = TDqTrendGraph::MarginRect(page.GraphRect());
  const TLinePixels lines = CountLinePixels(shown, plot);
  // Every line of the profile is on the picture, so equal pictures say
  // something.
  ASSERT_GT(lines.Red, 500);
  ASSERT_GT(lines.Green, 500);
  ASSERT_GT(lines.Blue, 500);

  const QStringList window{"--profile", "Demo history", "--from", FFrom, "--to", FTo};
  const Result png = Graph(window + QStringList{"--png", Path("demo.png"), "--size", "1000x520"});
  ASSERT_EQ(png.exitCode, 0) << png.err.toStdString();
  EXPECT_TRUE(png.out.contains(Path("demo.png"))) << png.out.toStdString();
  const QImage drawn = QImage(Path("demo.png")).convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(drawn.size(), size);
  int differing = 0;
  for (int y = 0; y < size.height(); ++y)
    for (int x = 0; x < size.width(); ++x) differing += drawn.pixel(x, y) != shown.pixel(x, y);
  EXPECT_EQ(differing, 0) << "pixels differ from the page's picture";

  // Without --size: the page's size when it first opens.
  ASSERT_EQ(Graph(window + QStringList{"--png", Path("default.png")}).exitCode, 0);
  EXPECT_EQ(QImage(Path("default.png")).size(), QSize(900, 600));

  // The sheet as the page prints it on the "Graph" paper (landscape), with
  // the legend; rendered, it is the page's own print.
  const Result pdf = Graph(window + QStringList{"--pdf", Path("demo.pdf")});
  ASSERT_EQ(pdf.exitCode, 0) << pdf.err.toStdString();
  QProcess text;
  text.start(QStringLiteral("pdftotext"), {Path("demo.pdf"), QStringLiteral("-")});
  ASSERT_TRUE(text.waitForFinished(30000));
  const QString words = QString::fromUtf8(text.readAllStandardOutput());
  for (const char* legend : {"[PV] Oven", "[PV] Kiln", "[PV] Dryer"})
    EXPECT_TRUE(words.contains(QString::fromLatin1(legend))) << words.toStdString();
  const QImage sheet = RenderPdf(Path("demo.pdf"), Path("demo-sheet"));
  ASSERT_FALSE(sheet.isNull());
  EXPECT_GT(sheet.width(), sheet.height()) << "not landscape";
  const TLinePixels printed = CountLinePixels(sheet, sheet.rect());
  EXPECT_GT(printed.Red, 100);
  EXPECT_GT(printed.Green, 100);
  EXPECT_GT(printed.Blue, 100);

  QPrinter printer(QPrinter::PrinterResolution);
  printer.setResolution(kHistoryPrintResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(Path("page.pdf"));
  printer.setPageLayout(GraphSetting()->PageLayout());
  ASSERT_TRUE(page.PrintGraph(printer));
  const QImage pagePrint = RenderPdf(Path("page.pdf"), Path("page-sheet"));
  ASSERT_EQ(pagePrint.size(), sheet.size());
  int differingPrinted = 0;
  for (int y = 0; y < sheet.height(); ++y)
    for (int x = 0; x < sheet.width(); ++x) differingPrinted += sheet.pixel(x, y) != pagePrint.pixel(x, y);
  EXPECT_EQ(differingPrinted, 0) << "the sheet differs from the page's print";
}

// Each bad command line: its message on stderr, status 2 (1 for a database
// that cannot be read), and no file: neither a new one nor a change to one
// that was there.
TEST_F(TervoxDbGraphTest, BadArgumentsAreRefusedAndLeaveNoFile) {
  tervox_test::WriteFileBytes(Path("keep.png"), "old");
  tervox_test::WriteFileBytes(Path("text.db"), QByteArray("plain text\n").repeated(50));
  QDir().mkpath(Path("folder.png"));
  const QString db = FDemo->DatabaseFileName();
  const QString png = Path("out.png"), pdf = Path("out.pdf");
  const QStringList from{"--from", "2026-03-14 08:00:00"}, to{"--to", "2026-03-14 16:00:00"};
  const QStringList demo = QStringList{"--profile", "Demo history"} + from + to;
  struct Case {
    QStringList Args;
    int Status;
    const char* Message;
  } const cases[] = {
      {QStringList{"--profile", "Nope"} + from + to + QStringList{"--png", png}, 2,
       "unknown profile \"Nope\"; the database has \"Demo trend\", \"Demo history\""},
      {QStringList{"--profile", "demo history"} + from + to + QStringList{"--png", png}, 2, "unknown profile"},
      {from + to + QStringList{"--png", png}, 2, "--profile is required"},
      {QStringList{"--profile", "Demo history", "--from", "2026-02-30 10:00:00"} + to + QStringList{"--png", png}, 2, "bad date"},
      {QStringList{"--profile", "Demo history", "--from", "yesterday"} + to + QStringList{"--png", png}, 2, "bad date"},
      {QStringList{"--profile", "Demo history", "--from", "2026-03-15 00:00:00"} + to + QStringList{"--png", png}, 2, "--from is after --to"},
      {QStringList{"--profile", "Demo history", "--from", "2026-03-14 16:00:00"} + to + QStringList{"--png", png}, 2, "--from is not before --to"},
      {QStringList{"--profile", "Demo history"} + from + QStringList{"--png", png}, 2, "--to is required"},
      {demo, 2, "one of --png, --pdf is required"},
      {demo + QStringList{"--png", png, "--pdf", pdf}, 2, "give only one of --png, --pdf"},
      {demo + QStringList{"--png", png, "--size", "100x100"}, 2, "bad size \"100x100\""},
      {demo + QStringList{"--png", png, "--size", "1000x9000"}, 2, "bad size"},
      {demo + QStringList{"--png", png, "--size", "wide"}, 2, "bad size"},
      {demo + QStringList{"--pdf", pdf, "--size", "1000x600"}, 2, "--size is for --png"},
      {demo + QStringList{"--png", png, "--colour", "red"}, 2, "unknown option --colour"},
      {demo + QStringList{"--png"}, 2, "--png needs a value"},
      {demo + QStringList{"--png", Path("no/such/dir/a.png")}, 2, "Cannot write"},
      {demo + QStringList{"--pdf", Path("folder.png")}, 2, "it is a folder"},
  };
  for (const Case& c : cases) {
    const Result result = Graph(c.Args);
    EXPECT_EQ(result.exitCode, c.Status) << c.Message;
    EXPECT_TRUE(result.err.contains(QString::fromLatin1(c.Message))) << c.Message << ": " << result.err.toStdString();
  }
  // A database that is not there is not made; one that is no database
  // cannot be read.
  const Result missing = Run(QStringList{"--database", Path("none.db"), "graph"} + demo + QStringList{"--png", png});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_TRUE(missing.err.contains(QStringLiteral("There is no database"))) << missing.err.toStdString();
  EXPECT_FALSE(QFile::exists(Path("none.db")));
  const Result broken = Run(QStringList{"--database", Path("text.db"), "graph"} + demo + QStringList{"--png", Path("keep.png")});
  EXPECT_EQ(broken.exitCode, 1);
  EXPECT_TRUE(broken.err.contains(QStringLiteral("file is not a database"))) << broken.err.toStdString();

  EXPECT_EQ(tervox_test::ReadFileBytes(Path("keep.png")), QByteArray("old"));
  // Nothing else in the folder: no output and no temporary beside one.
  QStringList files = QDir(dir.Root()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
  files.removeAll(QStringLiteral("data")); // the tool's data folder, whether made or not
  files.sort();
  EXPECT_EQ(files, (QStringList{"folder.png", "keep.png", "text.db"})) << files.join(' ').toStdString();
  EXPECT_TRUE(QDir(Path("folder.png")).isEmpty());
}

} // namespace
