#include "store/DqHistorySummary.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Archive.h"
#include "plant/Tervox_Maintenance.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

class ArchiveTest : public ::testing::Test {
protected:
  void SetUp() override { Open(QStringLiteral("station")); }
  // A database in the folder AFolder holding the history below.
  void Open(const QString& AFolder) {
    FreeDatabase();
    folder = AFolder;
    SetDatabaseFileName(dir.Path(AFolder + QStringLiteral("/Tervox.db")));
    TSQLiteDatabase& db = *GetDatabase();
    db.ExecSQL(QStringLiteral("INSERT INTO DevicePort (ID, Name) VALUES (3, 'Line port')"));
    db.ExecSQL(QStringLiteral("INSERT INTO DeviceGroup (ID, Name) VALUES (5, 'Ovens')"));
    db.ExecSQL(QStringLiteral("INSERT INTO Device (ID, Name, DevicePortID, DecimalPoint) VALUES (1, 'Oven A', 3, 1), "
                              "(2, 'Oven B', 3, 0), (3, 'New one', 3, 0)"));
    db.ExecSQL(QStringLiteral("INSERT INTO DeviceGroupItem VALUES (5, 1), (5, 2)"));
    // Controller 1 every 10 s and controller 2 every 7 s from 2024-12-30 to
    // 2025-01-03; controller 3 only from 2025-01-02 on. Rows of the cut's
    // minute and of the year's turn sit on both sides.
    const double start = EncodeDateTime(2024, 12, 30);
    Rows(1, start, 10, 4 * 8640);
    Rows(2, start, 7, 4 * 86400 / 7);
    Rows(3, EncodeDateTime(2025, 1, 2), 5, 17280);
    for (double at : {EncodeDateTime(2025, 1, 1) - kSecond / 2, EncodeDateTime(2025, 1, 2) - kSecond / 3,
                      EncodeDateTime(2025, 1, 2) + kSecond / 3})
      Insert(1, at, 7);
    BuildHistorySummaries(db);
  }
  void TearDown() override {
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
  static constexpr double kSecond = 1.0 / 86400.0;
  static void Insert(int ADevice, double ATime, double APV) {
    TSQLiteParamList p;
    p.SetParamValues(":D", ADevice);
    p.SetParamValues(":T", TVariant::FromDateTime(ATime));
    p.SetParamValues(":PV", APV);
    GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, PV, SV) VALUES (:D, :T, :PV, 1)"), &p);
  }
  static void Rows(int ADevice, double AStart, int AStep, int ACount) {
    GetDatabase()->ExecSQL(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                                          "INSERT INTO DeviceData (DeviceID, ReadTime, PV, SV) SELECT %2, %3 + i * %4 "
                                          "/ 86400.0, i % 997, 1 FROM n")
                               .arg(ACount - 1)
                               .arg(ADevice)
                               .arg(AStart, 0, 'g', 17)
                               .arg(AStep));
  }
  // Rows, their PV sum and their summarised rows, of ASQL's condition.
  struct TTally {
    std::int64_t Rows, PVSum, Summarised, Queued;
    bool operator==(const TTally&) const = default;
  };
  static TTally Tally(TSQLiteDatabase& ADb, const QString& AWhere = QStringLiteral("1")) {
    return {ADb.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData WHERE ") + AWhere),
            ADb.GetTableValue(QStringLiteral("SELECT coalesce(sum(PV), 0) FROM DeviceData WHERE ") + AWhere),
            ADb.GetTableValue(QStringLiteral("SELECT coalesce(sum(Rows), 0) FROM DeviceDataMinute")),
            ADb.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceDataMinuteQueue"))};
  }
  static QString Text(TSQLiteDatabase& ADb, const QString& ASQL) {
    return ADb.GetTable(ASQL)->GetFields(0)->AsString();
  }
  static QString Before(double ATime) { return QStringLiteral("ReadTime < %1").arg(ATime, 0, 'g', 17); }
  // The main file's rows of AYear before the cut.
  std::int64_t Old(int AYear) const {
    TSQLiteDatabase& db = *GetDatabase();
    const std::int64_t in2024 = Tally(db, Before(turn)).Rows;
    return AYear == 2024 ? in2024 : Tally(db, Before(cut)).Rows - in2024;
  }
  QString Archive(int AYear) { return dir.Path(folder + QStringLiteral("/Tervox-archive-%1.db").arg(AYear)); }

  // Where the tests archive, and the turn of the year before it.
  const double cut = EncodeDateTime(2025, 1, 2);
  const double turn = EncodeDateTime(2025, 1, 1);
  tervox_test::TempDir dir;
  QString folder;
};

// The main file keeps the days from the cut on, each year's archive holds
// that year's older rows with the controllers they belong to, and nothing
// is lost, doubled or left summarised where it no longer is.
TEST_F(ArchiveTest, MovesOlderRowsIntoOneWholeDatabasePerYear) {
  TSQLiteDatabase& db = *GetDatabase();
  const TTally before = Tally(db);
  const std::int64_t old2024 = Old(2024);
  const std::int64_t old2025 = Old(2025);
  const std::int64_t kept = Tally(db, QStringLiteral("ReadTime >= %1").arg(cut, 0, 'g', 17)).Rows;
  ASSERT_GT(old2024, 0);
  ASSERT_GT(old2025, 0);

  const std::vector<TArchivedYear> years = ArchiveHistory(cut + 0.75); // any time of the day cuts at its start
  ASSERT_EQ(years.size(), 2u);
  EXPECT_EQ(QFileInfo(years[0].FileName), QFileInfo(Archive(2024)));
  EXPECT_EQ(QFileInfo(years[1].FileName), QFileInfo(Archive(2025)));
  EXPECT_EQ(years[0].Rows, old2024);
  EXPECT_EQ(years[1].Rows, old2025);

  const TTally main = Tally(db);
  EXPECT_EQ(main.Rows, kept);
  EXPECT_EQ(Tally(db, Before(cut)).Rows, 0);
  EXPECT_EQ(main.Summarised, main.Rows) << "summary minutes of moved rows remain";
  EXPECT_EQ(main.Queued, 0);

  std::int64_t rows = main.Rows, pvSum = main.PVSum;
  for (int year : {2024, 2025}) {
    // Opened and checked as the program opens its database.
    std::unique_ptr<TSQLiteDatabase> archive = OpenTervoxDatabase(Archive(year));
    const TTally tally = Tally(*archive);
    EXPECT_EQ(tally.Rows, year == 2024 ? old2024 : old2025);
    EXPECT_EQ(tally.Summarised, tally.Rows);
    EXPECT_EQ(tally.Queued, 0);
    EXPECT_EQ(Tally(*archive, year == 2024 ? QStringLiteral("ReadTime >= %1").arg(turn, 0, 'g', 17) : Before(turn)).Rows, 0);
    rows += tally.Rows;
    pvSum += tally.PVSum;
    // The controllers of the rows, with what shows them.
    EXPECT_EQ(Text(*archive, QStringLiteral("SELECT group_concat(d.ID || ' ' || d.Name || ' ' || p.Name || ' ' || "
                                            "g.Name, ', ') FROM (SELECT * FROM Device ORDER BY ID) d JOIN DevicePort "
                                            "p ON p.ID = d.DevicePortID JOIN DeviceGroupItem i ON i.DeviceID = d.ID "
                                            "JOIN DeviceGroup g ON g.ID = i.GroupID")),
              QStringLiteral("1 Oven A Line port Ovens, 2 Oven B Line port Ovens"));
  }
  EXPECT_EQ(rows, before.Rows);
  EXPECT_EQ(pvSum, before.PVSum);

  // Nothing older is left: a second run moves nothing.
  EXPECT_TRUE(ArchiveHistory(cut).empty());
  EXPECT_EQ(Tally(db), main);
}

// An archive that cannot be written raises before any row of its year
// leaves the main file; the years before it are moved whole.
TEST_F(ArchiveTest, AnArchiveThatCannotBeWrittenKeepsItsRowsInTheMainFile) {
  struct TCase {
    const char* Name;
    int BlockedYear;
    bool AsFolder; // else a file that is no database
  };
  for (const TCase& c : {TCase{"folder in the way of the first year", 2024, true},
                         TCase{"folder in the way of the second year", 2025, true},
                         TCase{"foreign file in the way", 2024, false}}) {
    SCOPED_TRACE(c.Name);
    Open(QString::fromLatin1(c.Name));
    TSQLiteDatabase& db = *GetDatabase();
    const TTally before = Tally(db);
    const std::int64_t old2024 = Old(2024);
    if (c.AsFolder)
      ASSERT_TRUE(QDir().mkpath(Archive(c.BlockedYear)));
    else
      tervox_test::WriteFileBytes(Archive(c.BlockedYear), QByteArray(8192, 'x'));

    EXPECT_THROW(ArchiveHistory(cut), EDqException);
    const TTally after = Tally(db);
    if (c.BlockedYear == 2024) {
      EXPECT_EQ(after, before);
    } else {
      EXPECT_EQ(Tally(db, Before(turn)).Rows, 0);
      EXPECT_EQ(after.Rows, before.Rows - old2024);
      EXPECT_EQ(OpenTervoxDatabase(Archive(2024))->GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")), old2024);
    }
    EXPECT_EQ(after.Summarised, after.Rows);
  }
}

// A cancel while the deletes wait for the recorder's write lock ends the
// run at once, as cancelled rather than failed: the archive holds the year,
// the main file still does too, and the next run finishes the move without
// counting a row twice.
TEST_F(ArchiveTest, ACancelWhileTheDeletesWaitForTheLockEndsTheRunAndTheNextFinishes) {
  TSQLiteDatabase& db = *GetDatabase();
  const TTally before = Tally(db);
  const std::int64_t old2024 = Old(2024);
  const std::int64_t old2025 = Old(2025);

  TSQLiteDatabase recorder(GetDatabaseFileName());
  recorder.SetTimeout(5000);
  recorder.ExecSQL(QStringLiteral("BEGIN IMMEDIATE"));
  TTervoxProgress progress;
  QString outcome;
  std::thread run([&] {
    try {
      ArchiveHistory(cut, &progress);
      outcome = QStringLiteral("finished");
    } catch (const ESQLiteCancelled&) {
      outcome = QStringLiteral("cancelled");
    } catch (const EDqException& e) {
      outcome = e.Message();
    }
  });
  // 2024 is copied whole before its deletes start, and they wait.
  auto archived2024 = [&]() -> std::int64_t {
    if (!QFileInfo::exists(Archive(2024))) return 0;
    try {
      return TSQLiteDatabase(Archive(2024)).GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData"));
    } catch (const EDqException&) {
      return 0; // still being made
    }
  };
  for (int i = 0; i < 2000 && archived2024() < old2024; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  progress.Cancelled = true;
  const auto cancelled = std::chrono::steady_clock::now();
  run.join();
  // Not at the end of the 5 s a connection waits for the lock.
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(4)) << "the cancel waited for the lock";
  recorder.ExecSQL(QStringLiteral("COMMIT"));
  EXPECT_EQ(outcome, QStringLiteral("cancelled"));
  EXPECT_EQ(Tally(db), before);
  EXPECT_EQ(archived2024(), old2024);

  const std::vector<TArchivedYear> years = ArchiveHistory(cut);
  ASSERT_EQ(years.size(), 2u);
  EXPECT_EQ(years[0].Rows, old2024);
  EXPECT_EQ(years[1].Rows, old2025);
  EXPECT_EQ(archived2024(), old2024);
  EXPECT_EQ(Tally(db).Rows, before.Rows - old2024 - old2025);
}

} // namespace
