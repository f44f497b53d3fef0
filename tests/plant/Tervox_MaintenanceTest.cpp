#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "store/DqHistorySummary.h"
#include "plant/Tervox_Maintenance.h"
#include "store/Main_Database.h"
#include "store/Tervox_Secrets.h"
#include "plant/Tervox_User.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

class MaintenanceTest : public ::testing::Test {
protected:
  void SetUp() override {
    FreeDatabase();
    SetDatabaseFileName(dir.Path(QStringLiteral("Tervox.db")));
    GetDatabase();
  }
  void TearDown() override {
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
  static std::int64_t Count(const QString& ASQL) { return GetDatabase()->GetTableValue(ASQL); }
  static void History(int ADevice, double ATime) {
    GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, PV) VALUES (%1, %2, 1)")
                               .arg(ADevice)
                               .arg(ATime, 0, 'f', 12));
  }
  static void Log(double ATime) {
    GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO UsageLog (LogTime, Detail) VALUES (%1, 'x')").arg(ATime, 0, 'f', 12));
  }

  tervox_test::TempDir dir;
};

TEST_F(MaintenanceTest, BackupNameCarriesTheMoment) {
  EXPECT_EQ(BackupFileSuggestion(EncodeDateTime(2024, 1, 31, 14, 25, 1, 7)), QStringLiteral("Tervox_20240131_142501_007.sql"));
  EXPECT_EQ(TervoxTableNames().size(), 14);
  EXPECT_EQ(TervoxTableNames().first(), QStringLiteral("Config"));
}

// [From 00:00, To + 1 00:00) of history and log, for every controller,
// also one deleted from the Device table long ago.
TEST_F(MaintenanceTest, DeleteCoversWholeDays) {
  const double today = EncodeDateTime(2025, 6, 10);
  const double ms = 1.0 / 86400000.0;
  const double times[] = {today - 2 * ms, today, today + 0.5, today + 1 - 2 * ms, today + 1, today + 1.5};
  for (int device : {1, 7, 900})
    for (double t : times) History(device, t);
  for (double t : times) Log(t);
  const struct {
    const char* name;
    double from, to;
    int history, log;
  } cases[] = {
      {"From later than To", today + 0.7, today - 1, 18, 6},
      {"yesterday only, nothing there", today - 3, today - 2, 18, 6},
      {"today, at any hour", today + 0.9, today + 0.1, 9, 3},
      {"today and tomorrow", today, today + 1, 3, 1},
  };
  for (const auto& c : cases) {
    TTervoxProgress progress;
    const std::int64_t deleted = DeleteRecords(c.from, c.to, &progress);
    EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM DeviceData")), c.history) << c.name;
    EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM UsageLog")), c.log) << c.name;
    EXPECT_EQ(progress.Done.load(), deleted) << c.name;
    EXPECT_EQ(progress.Total.load(), deleted) << c.name;
  }
  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM DeviceData WHERE ReadTime < %1").arg(today, 0, 'f', 6)), 3);

  // Cancelled before it began: nothing goes.
  History(1, today);
  TTervoxProgress cancelled;
  cancelled.Cancelled = true;
  EXPECT_THROW(DeleteRecords(today, today, &cancelled), ESQLiteCancelled);
  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM DeviceData WHERE ReadTime >= %1").arg(today, 0, 'f', 6)), 1);
}

// The backup is the database at one instant: rows written while it runs
// reach the database, not the file; a cancelled backup leaves no file.
TEST_F(MaintenanceTest, BackupIsOneSnapshotAndCancelLeavesNoFile) {
  GetDatabase()->ExecSQL(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 9999) "
                                        "INSERT INTO DeviceData (DeviceID, ReadTime, PV) SELECT 1, 45000 + i, 2 FROM n"));
  const QString file = dir.Path(QStringLiteral("out/b.sql"));
  QDir().mkpath(dir.Path(QStringLiteral("out")));
  TTervoxProgress progress;
  int reports = 0;
  std::int64_t lastTotal = 0;
  // The recorder writes on the shared connection while the backup reads
  // on its own.
  TSQLiteProgress watch = [&](std::int64_t ADone, std::int64_t ATotal) {
    if (reports++ == 1) {
      History(2, 46000);
      Log(46000);
    }
    lastTotal = ATotal;
    return progress.Report(ADone, ATotal);
  };
  {
    TSQLiteDatabase own(GetDatabaseFileName());
    own.SetHeader(QStringLiteral("TERVOX_SQLITE"));
    own.SetDerivedTables(HistorySummaryTableNames()); // as the program's backups do
    own.ExportSQL(file, watch);
  }
  EXPECT_GT(reports, 2);
  EXPECT_EQ(lastTotal, 10000 + 1 + 1 + 3 + 8) << "rows of every table at the start (history, config, user, groups, types)";
  const QByteArray text = tervox_test::ReadFileBytes(file);
  EXPECT_TRUE(text.contains("PINSERT (1, 45000, "));
  EXPECT_FALSE(text.contains("PINSERT (2, 46000, ")) << "written after the snapshot";
  EXPECT_FALSE(text.contains("PINSERT (46000, "));
  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID = 2")), 1);

  TTervoxProgress cancel;
  cancel.Cancelled = true;
  const QString other = dir.Path(QStringLiteral("out/c.sql"));
  EXPECT_THROW(BackupDatabase(other, &cancel), ESQLiteCancelled);
  EXPECT_FALSE(QFile::exists(other));
  EXPECT_EQ(QDir(dir.Path(QStringLiteral("out"))).entryList(QDir::Files), QStringList{QStringLiteral("b.sql")})
      << "no temporary file left";
}

// A restore first keeps the database as it was beside it, as private as
// the database; passwords a backup holds as text reach the file only as
// their hashes (not a byte of the text is in the database or its log).
TEST_F(MaintenanceTest, RestoreKeepsACopyAndStoresPasswordsHashed) {
  const QString file = dir.Path(QStringLiteral("b.sql"));
  BackupDatabase(file);
  EXPECT_EQ(tervox_test::FileMode(file), 0600);
  QByteArray text = tervox_test::ReadFileBytes(file);
  const QString seeded = GetDatabase()->GetTable(QStringLiteral("SELECT Password FROM Users"))->GetFields(0)->AsString();
  ASSERT_TRUE(text.contains(seeded.toLatin1()));
  text.replace(seeded.toLatin1(), "s3cr3t-plain").replace(", 0, '', 42374", ", 0, 'older-plain', 42374");
  tervox_test::WriteFileBytes(file, text);
  GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO Device (Name) VALUES ('before the restore')"));

  const QString copy = RestoreDatabase(file);
  EXPECT_TRUE(QFileInfo(copy).fileName().startsWith(QStringLiteral("Tervox_before_restore_"))) << copy.toStdString();
  EXPECT_EQ(QFileInfo(copy).dir(), QFileInfo(GetDatabaseFileName()).dir());
  EXPECT_EQ(tervox_test::FileMode(copy), 0600);
  {
    TSQLiteDatabase kept(copy);
    EXPECT_EQ(kept.GetTable(QStringLiteral("SELECT group_concat(Name) FROM Device"))->GetFields(0)->AsString(),
              QStringLiteral("before the restore"));
  }
  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM Device")), 0);
  auto users = GetDatabase()->GetTable(QStringLiteral("SELECT Password, OldPassword FROM Users"));
  EXPECT_TRUE(CheckPassword(users->GetFields(0)->AsString(), QStringLiteral("s3cr3t-plain")));
  EXPECT_TRUE(CheckPassword(users->GetFields(1)->AsString(), QStringLiteral("older-plain")));
  EXPECT_TRUE(IsPasswordHash(users->GetFields(0)->AsString()) && IsPasswordHash(users->GetFields(1)->AsString()));
  users.reset();
  for (const char* suffix : {"", "-wal"}) {
    const QByteArray bytes = tervox_test::ReadFileBytes(GetDatabaseFileName() + QLatin1String(suffix));
    EXPECT_FALSE(bytes.contains("s3cr3t-plain") || bytes.contains("older-plain")) << suffix;
  }

  // A second restore the same second keeps a copy of its own.
  const QString second = RestoreDatabase(file);
  EXPECT_NE(second, copy);
  EXPECT_TRUE(QFile::exists(copy) && QFile::exists(second));

  // Cancelled: nothing changes and no copy is left.
  GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO Device (Name) VALUES ('kept')"));
  TTervoxProgress cancelled;
  cancelled.Cancelled = true;
  EXPECT_THROW(RestoreDatabase(file, &cancelled), ESQLiteCancelled);
  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM Device")), 1);
  EXPECT_EQ(QFileInfo(copy).dir().entryList({QStringLiteral("Tervox_before_restore_*.db")}).size(), 2);
}

// The MQTT password never travels with a backup: a database of an older
// build gives it up at open, so a backup made afterwards lacks it, and a
// restored backup of that build gives it up again (the file's value, the
// newer, winning).
TEST_F(MaintenanceTest, BackupsCarryNoSecretAndARestoredOneGivesItUp) {
  const QString older = dir.Path(QStringLiteral("older.sql"));
  GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO Config (Name, Value) VALUES ('MQTTPassword', 'from-backup')"));
  BackupDatabase(older); // as an older build wrote it
  ASSERT_TRUE(tervox_test::ReadFileBytes(older).contains("from-backup"));

  FreeDatabase(); // the next open moves it
  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM Config WHERE Name = 'MQTTPassword'")), 0);
  const QString newer = dir.Path(QStringLiteral("newer.sql"));
  BackupDatabase(newer);
  EXPECT_FALSE(tervox_test::ReadFileBytes(newer).contains("from-backup"));

  const struct {
    const char* InFile; // nullptr: no secrets file
    const char* Kept;
  } cases[] = {{"saved-since", "saved-since"}, {nullptr, "from-backup"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Kept);
    QFile::remove(TervoxSecrets::FileName(GetDatabaseFileName()));
    if (c.InFile) TervoxSecrets::Write(GetDatabaseFileName(), QStringLiteral("MQTTPassword"), QString::fromLatin1(c.InFile));
    RestoreDatabase(older);
    EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM Config WHERE Name = 'MQTTPassword'")), 0);
    EXPECT_EQ(TervoxSecrets::Read(GetDatabaseFileName(), QStringLiteral("MQTTPassword")), QString::fromLatin1(c.Kept));
    EXPECT_EQ(tervox_test::FileMode(TervoxSecrets::FileName(GetDatabaseFileName())), 0600);
    const QString after = dir.Path(QStringLiteral("after.sql"));
    BackupDatabase(after);
    EXPECT_FALSE(tervox_test::ReadFileBytes(after).contains(c.Kept));
    QFile::remove(after);
  }
}

// A reset keeps the previous file, also when an earlier reset's copy is
// there, and leaves only the creation script's rows.
TEST_F(MaintenanceTest, ResetKeepsEveryEarlierCopy) {
  GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO Device (Name) VALUES ('first life')"));
  const QString first = ResetDatabaseFile();
  EXPECT_EQ(first, dir.Path(QStringLiteral("Tervox_backup.db")));
  GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO Device (Name) VALUES ('second life')"));
  const QString second = ResetDatabaseFile();
  EXPECT_NE(second, first);
  EXPECT_TRUE(second.startsWith(dir.Path(QStringLiteral("Tervox_backup_")))) << second.toStdString();

  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM Device")), 0);
  EXPECT_EQ(tervox_test::FileMode(GetDatabaseFileName()), 0600) << "the new file is as private as a first one";
  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM Users")), 1);
  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM UserGroup")), 3);
  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM ValueType")), 8);
  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM Config")), 1);
  EXPECT_EQ(Count(QStringLiteral("SELECT count(*) FROM UsageLog")) + Count(QStringLiteral("SELECT count(*) FROM DeviceData")), 0);
  const struct {
    QString file;
    const char* name;
  } copies[] = {{first, "first life"}, {second, "second life"}};
  for (const auto& copy : copies) {
    TSQLiteDatabase kept(copy.file);
    auto table = kept.GetTable(QStringLiteral("SELECT group_concat(Name) FROM Device"));
    EXPECT_EQ(table->GetFields(0)->AsString(), QString::fromLatin1(copy.name));
  }
}

} // namespace
