#include "store/DqHistorySummary.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Archive.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_Maintenance.h"
#include "plant/Tervox_Retention.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

namespace {

// 2025-03-15 10:00: a month kept cuts at 2025-02-15 00:00.
double Now2025() { return EncodeDateTime(2025, 3, 15, 10); }
constexpr int kPerDay = 144; // readings of a controller

class RetentionTest : public ::testing::Test {
protected:
  void SetUp() override {
    FreeDatabase();
    ASSERT_TRUE(QDir().mkpath(dir.Path(QStringLiteral("station"))));
    SetDatabaseFileName(File());
    TSQLiteDatabase& db = *GetDatabase();
    db.ExecSQL(QStringLiteral("INSERT INTO DevicePort (ID, Name) VALUES (3, 'Line port')"));
    db.ExecSQL(QStringLiteral("INSERT INTO Device (ID, Name, DevicePortID) VALUES (1, 'Oven A', 3), (2, 'Oven B', 3)"));
    // A reading every 10 minutes of each controller over the 64 days up to now.
    for (int device : {1, 2})
      db.ExecSQL(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                                "INSERT INTO DeviceData (DeviceID, ReadTime, PV, SV) SELECT %2, %3 + i / 144.0, i % 97, 1 FROM n")
                     .arg(64 * kPerDay - 1)
                     .arg(device)
                     .arg(Now2025() - 64, 0, 'g', 17));
    BuildHistorySummaries(db);
  }
  void TearDown() override {
    StopHistoryRetention();
    SetRetentionNotifier({});
    SetHistoryRetentionTiming(std::chrono::minutes(2), std::chrono::minutes(10), std::chrono::hours(24));
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
  QString File() const { return dir.Path(QStringLiteral("station/Tervox.db")); }
  QString Archive(int AYear) const { return dir.Path(QStringLiteral("station/Tervox-archive-%1.db").arg(AYear)); }
  static std::int64_t Rows(const QString& AWhere = QStringLiteral("1")) {
    return GetDatabase()->GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData WHERE ") + AWhere);
  }
  static QString Before(double ATime) { return QStringLiteral("ReadTime < %1").arg(ATime, 0, 'g', 17); }

  tervox_test::TempDir dir;
};

TEST(Retention, TheCutIsTheStartOfTheDayMonthsBefore) {
  const struct {
    double Now;
    int Months;
    QDate Cut;
  } cases[] = {
      {EncodeDateTime(2025, 3, 15, 10, 30), 1, QDate(2025, 2, 15)},
      {EncodeDateTime(2025, 3, 31, 23, 59), 1, QDate(2025, 2, 28)}, // a shorter month: its last day
      {EncodeDateTime(2024, 3, 31), 1, QDate(2024, 2, 29)},
      {EncodeDateTime(2025, 1, 10, 0, 1), 14, QDate(2023, 11, 10)},
      {EncodeDateTime(2025, 1, 10, 8), 0, QDate(2025, 1, 10)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Cut.toString(Qt::ISODate).toStdString());
    EXPECT_EQ(RetentionCutDay(c.Now, c.Months), EncodeDateTime(c.Cut.year(), c.Cut.month(), c.Cut.day()));
  }
}

// Nothing kept in months (the default, 0, or text that is no number)
// leaves the history and the stored outcome alone; a month kept moves the
// older days and says so where every window reads it.
TEST_F(RetentionTest, ArchivesWithMonthsSetAndNothingWithout) {
  const std::int64_t all = Rows();
  for (const char* stored : {"", "0", "none"}) {
    SCOPED_TRACE(stored);
    Config()->SetValues(kKeepHistoryMonths, QString::fromLatin1(stored));
    const TRetentionOutcome outcome = RunHistoryRetention(Now2025());
    EXPECT_FALSE(outcome.Ran);
    EXPECT_EQ(Rows(), all);
    EXPECT_FALSE(QFile::exists(Archive(2025)));
    EXPECT_TRUE(Config()->GetValues(kArchiveLastRun).isEmpty());
  }

  Config()->SetValueInt(kKeepHistoryMonths, 1);
  const double cut = EncodeDateTime(2025, 2, 15);
  const std::int64_t old = Rows(Before(cut));
  ASSERT_GT(old, 0);
  TRetentionOutcome outcome = RunHistoryRetention(Now2025());
  EXPECT_TRUE(outcome.Ran);
  EXPECT_FALSE(outcome.Failed);
  EXPECT_EQ(outcome.Text, QStringLiteral("History before 2025-02-15 archived: %1 record(s) into Tervox-archive-2025.db").arg(old));
  EXPECT_EQ(Rows(Before(cut)), 0);
  EXPECT_EQ(Rows(), all - old);
  EXPECT_EQ(OpenTervoxDatabase(Archive(2025))->GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")), old);
  EXPECT_NEAR(Config()->GetValueDateTime(kArchiveLastRun), Now2025(), 1.0 / 86400);
  EXPECT_EQ(Config()->GetValues(kArchiveLastResult), outcome.Text);
  EXPECT_FALSE(Config()->GetValueBool(kArchiveLastFailed));
  EXPECT_EQ(RetentionStatusText(), QString()) << "a run that worked is no news for the status bar";

  // The next day moves that day only.
  const std::int64_t nextDay = Rows(QStringLiteral("ReadTime < %1").arg(cut + 1, 0, 'g', 17));
  outcome = RunHistoryRetention(Now2025() + 1);
  EXPECT_EQ(outcome.Text, QStringLiteral("History before 2025-02-16 archived: %1 record(s) into Tervox-archive-2025.db")
                              .arg(nextDay));
  outcome = RunHistoryRetention(Now2025() + 1.5);
  EXPECT_EQ(outcome.Text, QStringLiteral("History before 2025-02-16: nothing to archive"));
  EXPECT_EQ(Rows() + OpenTervoxDatabase(Archive(2025))->GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")),
            all);
}

// The archive's folder takes no new file: every row stays in the main
// file, and the status bar's text says why.
TEST_F(RetentionTest, AnArchiveThatCannotBeWrittenKeepsTheRowsAndTellsWhy) {
  Config()->SetValueInt(kKeepHistoryMonths, 1);
  const std::int64_t all = Rows();
  // The folder is read-only, its database files writable, for whoever runs
  // the test (root acts as nobody meanwhile).
  for (const QString& path : {dir.Root(), File(), File() + QStringLiteral("-wal"), File() + QStringLiteral("-shm")})
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), QFileInfo(path).isDir() ? 0777 : 0666), 0) << path.toStdString();
  const QString folder = QFileInfo(File()).absolutePath();
  ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0555), 0);
  TRetentionOutcome outcome;
  {
    const tervox_test::Unprivileged nobody;
    outcome = RunHistoryRetention(Now2025());
  }
  ::chmod(QFile::encodeName(folder).constData(), 0700);
  EXPECT_TRUE(outcome.Ran);
  EXPECT_TRUE(outcome.Failed);
  EXPECT_TRUE(outcome.Text.startsWith(QStringLiteral("History not archived: Cannot write the archive \"%1\"; no history of "
                                                     "2025 was removed from the database.")
                                          .arg(Archive(2025))))
      << outcome.Text.toStdString();
  EXPECT_EQ(Rows(), all);
  EXPECT_FALSE(QFile::exists(Archive(2025)));
  EXPECT_TRUE(Config()->GetValueBool(kArchiveLastFailed));
  EXPECT_EQ(RetentionStatusText(), QStringLiteral("2025-03-15 10:00 ") + outcome.Text);

  // Once the folder takes the archive, the next run moves the rows and the
  // status bar has nothing more to say.
  outcome = RunHistoryRetention(Now2025());
  EXPECT_FALSE(outcome.Failed) << outcome.Text.toStdString();
  EXPECT_EQ(Rows(Before(EncodeDateTime(2025, 2, 15))), 0);
  EXPECT_EQ(RetentionStatusText(), QString());
}

// Restore, deletion and reset take the same turn: the archive run does not
// start while one runs, and one that asks for the turn stops a run at its
// next step instead of waiting for it to finish.
TEST_F(RetentionTest, MaintenanceJobsAndTheArchiveRunTakeTurns) {
  Config()->SetValueInt(kKeepHistoryMonths, 1);
  const std::int64_t all = Rows();
  {
    const TTervoxMaintenanceTurn maintenance;
    std::atomic<bool> done{false};
    TRetentionOutcome outcome;
    // Another thread, as the daily run is: the turn is the process's.
    std::thread run([&] {
      outcome = RunHistoryRetention(Now2025());
      done = true;
    });
    run.join();
    EXPECT_TRUE(done);
    EXPECT_FALSE(outcome.Ran);
    EXPECT_TRUE(outcome.Retry);
    EXPECT_EQ(Rows(), all);
    EXPECT_TRUE(Config()->GetValues(kArchiveLastRun).isEmpty());
  }

  // A yielding holder is cancelled by a job that asks for the turn, which
  // gets it once the holder lets go.
  TTervoxProgress progress;
  auto yielding = std::make_unique<TTervoxMaintenanceTurn>(progress);
  ASSERT_TRUE(yielding->Owns());
  std::atomic<bool> gotTurn{false};
  std::thread job([&] {
    const TTervoxMaintenanceTurn turn;
    gotTurn = true;
  });
  for (int i = 0; i < 2000 && !progress.Cancelled; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(progress.Cancelled);
  EXPECT_FALSE(gotTurn);
  yielding.reset();
  job.join();
  EXPECT_TRUE(gotTurn);

  // A cancelled run moved what it moved and is tried again; nothing stored.
  TTervoxProgress cancelled;
  cancelled.Cancelled = true;
  const TRetentionOutcome outcome = RunHistoryRetention(Now2025(), &cancelled);
  EXPECT_TRUE(outcome.Retry);
  EXPECT_FALSE(outcome.Failed);
  EXPECT_EQ(Rows(), all);
  EXPECT_TRUE(Config()->GetValues(kArchiveLastRun).isEmpty());
}

// Polling's start runs the schedule in the process that records; a change
// of the months is taken at the next check, and a stop of polling stops it.
TEST_F(RetentionTest, PollingStartsTheDailyRunAndAChangeOfMonthsIsTakenAtTheNextCheck) {
  const tervox_test::FixedClock clock(Now2025());
  std::mutex lock;
  std::vector<TRetentionOutcome> outcomes;
  SetRetentionNotifier([&](const TRetentionOutcome& AOutcome) {
    std::lock_guard<std::mutex> guard(lock);
    outcomes.push_back(AOutcome);
  });
  auto count = [&] {
    std::lock_guard<std::mutex> guard(lock);
    return outcomes.size();
  };
  SetHistoryRetentionTiming(std::chrono::milliseconds(0), std::chrono::milliseconds(20), std::chrono::hours(24));
  CreateEngineObjects();
  TTervoxDevice::StartThread();
  EXPECT_TRUE(HistoryRetentionRunning());
  // Nothing kept in months: checks, no run.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(count(), 0u);
  Config()->SetValueInt(kKeepHistoryMonths, 1);
  for (int i = 0; i < 3000 && count() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(count(), 1u);
  EXPECT_TRUE(outcomes[0].Ran);
  EXPECT_FALSE(outcomes[0].Failed) << outcomes[0].Text.toStdString();
  EXPECT_EQ(Rows(Before(EncodeDateTime(2025, 2, 15))), 0);
  // Same months, less than a day since: no second run.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(count(), 1u);
  TTervoxDevice::StopThread();
  EXPECT_FALSE(HistoryRetentionRunning());
  FreeEngineObjects();
}

// Growth is the last week's rows (from the summaries) at the file's bytes
// per row; the days left are the free bytes over it, and under 30 days the
// status bar warns.
TEST_F(RetentionTest, GrowthAndDaysLeftFromTheLastWeeksRows) {
  // The file's size is part of the growth: its log is emptied first, so
  // every measurement below sees the same bytes.
  GetDatabase()->GetTable(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
  const TDatabaseGrowth measured = MeasureDatabaseGrowth(File(), Now2025(), 0);
  EXPECT_EQ(measured.TotalRows, 2 * 64 * kPerDay);
  // A page that goes cancels it: it stops inside its queries.
  const std::atomic<bool> cancelled{true};
  EXPECT_THROW(MeasureDatabaseGrowth(File(), Now2025(), 0, 0, &cancelled), EDqException);
  EXPECT_GE(measured.FileBytes, QFileInfo(File()).size());
  EXPECT_DOUBLE_EQ(measured.BytesPerRow, static_cast<double>(measured.FileBytes) / measured.TotalRows);
  EXPECT_NEAR(measured.RowsPerDay, 2 * kPerDay, 1.0);
  EXPECT_DOUBLE_EQ(measured.BytesPerDay, measured.RowsPerDay * measured.BytesPerRow);

  const struct {
    double FreeDays; // free bytes in days of growth; -1: unknown
    double BytesPerRow;
    double DaysLeft;
    QString Warning;
  } cases[] = {
      {0, 0, 0, QStringLiteral("Disk space for about 0 day(s) of history left")},
      {12.5, 0, 12.5, QStringLiteral("Disk space for about 12 day(s) of history left")},
      {29.9, 0, 29.9, QStringLiteral("Disk space for about 29 day(s) of history left")},
      {30, 0, 30, QString()},
      {400, 0, 400, QString()},
      {-1, 0, -1, QString()},
      // Bytes per row known from an earlier measurement: the whole summary
      // is not read again.
      {12.5, 2 * measured.BytesPerRow, 6.25, QStringLiteral("Disk space for about 6 day(s) of history left")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.FreeDays);
    const std::int64_t free = c.FreeDays < 0 ? -1 : static_cast<std::int64_t>(std::llround(c.FreeDays * measured.BytesPerDay));
    const TDatabaseGrowth growth = MeasureDatabaseGrowth(File(), Now2025(), free, c.BytesPerRow);
    if (c.FreeDays < 0) {
      // Asked of the disk: known, and the warning follows it.
      EXPECT_GE(growth.FreeBytes, 0);
      continue;
    }
    EXPECT_NEAR(growth.DaysLeft, c.DaysLeft, 0.01);
    EXPECT_EQ(growth.TotalRows, c.BytesPerRow > 0 ? 0 : measured.TotalRows);
    EXPECT_EQ(DiskSpaceWarning(growth), c.Warning);
  }

  // A young database grows at its rate since its first row; one with
  // nothing recorded lately does not grow.
  QueueHistorySummaries(*GetDatabase(), Now2025() - 65, Now2025() - 2);
  GetDatabase()->ExecSQL(QStringLiteral("DELETE FROM DeviceData WHERE ReadTime < %1").arg(Now2025() - 2, 0, 'g', 17));
  BuildHistorySummaries(*GetDatabase());
  EXPECT_NEAR(MeasureDatabaseGrowth(File(), Now2025(), 0).RowsPerDay, 2 * kPerDay, 1.0);
  const TDatabaseGrowth idle = MeasureDatabaseGrowth(File(), Now2025() + 30, 0);
  EXPECT_EQ(idle.RowsPerDay, 0);
  EXPECT_EQ(idle.DaysLeft, -1);
  EXPECT_EQ(DiskSpaceWarning(idle), QString());
}

} // namespace
