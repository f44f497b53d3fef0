#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "store/Main_Database.h"
#include "store/DqHistorySummary.h"
#include "plant/Tervox_Maintenance.h"

#include <QFile>
#include <QTest>

#include <sqlite3.h>

#include <gtest/gtest.h>

namespace {

constexpr double kSecond = 1.0 / 86400.0;

class HistorySummaryTest : public ::testing::Test {
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
  static TSQLiteDatabase& Db() { return *GetDatabase(); }
  // A reading as the recorder writes it; 32767 is no value.
  static void Row(int ADevice, double ATime, double APV, double ASV = 5, double AEV1 = 0) {
    TSQLiteParamList p;
    p.SetParamValues(":D", ADevice);
    p.SetParamValues(":T", TVariant::FromDateTime(ATime));
    p.SetParamValues(":PV", APV);
    p.SetParamValues(":SV", ASV);
    p.SetParamValues(":EV1", AEV1);
    Db().ExecSQL(QStringLiteral("INSERT INTO DeviceData VALUES (:D, :T, 1, :PV, :SV, 32767, NULL, :EV1, 0, 0, 0, 0, 0)"),
                 &p);
  }
  // Every summary row (minutes, then hours) as text, in key order, once
  // the rows recorded so far are caught up.
  static QStringList Summaries() {
    CatchUpHistorySummaries(Db());
    QStringList rows;
    for (const char* sql : {"SELECT 'minute', * FROM DeviceDataMinute ORDER BY DeviceID, Minute",
                            "SELECT 'hour', * FROM DeviceDataHour ORDER BY DeviceID, Hour"}) {
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(Db().Handle(), sql, -1, &s, nullptr);
      while (s && sqlite3_step(s) == SQLITE_ROW) {
        QStringList cells{QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)))};
        for (int i = 1; i < sqlite3_column_count(s); ++i)
          cells << (sqlite3_column_type(s, i) == SQLITE_NULL
                        ? QStringLiteral("-")
                        : QString::number(sqlite3_column_double(s, i), 'g', 17));
        rows << cells.join(QLatin1Char(' '));
      }
      sqlite3_finalize(s);
    }
    return rows;
  }
  static TVariant Cell(const QString& AColumns, std::int64_t AMinute, int ADevice = 1) {
    auto table = Db().GetTable(QStringLiteral("SELECT %1 FROM DeviceDataMinute WHERE DeviceID = %2 AND Minute = %3")
                                   .arg(AColumns)
                                   .arg(ADevice)
                                   .arg(AMinute));
    return table->Eof() ? TVariant() : table->GetFields(0)->Value();
  }
  // PV of a minute as stored, its values unscaled.
  static QString Pv(std::int64_t AMinute, int ADevice = 1) {
    auto table = Db().GetTable(QStringLiteral("SELECT Rows, PVMin / Scale, PVMax / Scale, PVFirst / Scale, "
                                              "PVLast / Scale, coalesce(PVCount, Rows) FROM DeviceDataMinute "
                                              "WHERE DeviceID = %1 AND Minute = %2")
                                   .arg(ADevice)
                                   .arg(AMinute));
    if (table->Eof()) return QStringLiteral("none");
    QStringList cells;
    for (int i = 0; i < 6; ++i) cells << VarAsText(table->GetFields(i)->Value());
    return cells.join(QLatin1Char(' '));
  }
  // The summaries computed afresh from the rows alone.
  static QStringList Rebuilt() {
    DropHistorySummaries(Db());
    EXPECT_TRUE(EnsureHistorySummaries(Db()));
    EXPECT_TRUE(BuildHistorySummaries(Db()));
    return Summaries();
  }
  // A history of two controllers over a few minutes with missing values,
  // readings in one instant's neighbourhood, values of one, two and no
  // short number of decimals and a clock stepped back; caught up every
  // ACatchUpEvery rows of the first controller when given.
  static void MixedHistory(double AStart, int ACatchUpEvery = 0) {
    int k = 0;
    for (double t = AStart; t < AStart + 300 * kSecond; t += 0.7 * kSecond, ++k) {
      const double pv = (k % 13 == 0) ? 32767 : k % 29 == 3 ? k / 3.0 : 20.0 + (k * 37 % 101) / 10.0;
      Row(1, t, pv, 30.0 + k % 3 + (k % 7 == 0 ? 0.25 : 0), k % 2);
      if (k % 3 == 0) Row(2, t, k % 5 == 0 ? 32767 : -5.5 + k % 7);
      if (k == 200) Row(1, t - 100 * kSecond + 0.1 * kSecond, 99.9); // the clock stepped back
      if (ACatchUpEvery > 0 && k % ACatchUpEvery == 0) CatchUpHistorySummaries(Db());
    }
    Row(1, AStart - 0.2 * kSecond, 1.0); // late, into a minute with no row yet
  }

  tervox_test::TempDir dir;
};

// One minute caught up row by row: no-values do not count, the first and
// last are of readings that have a value, a late row lands in its place.
TEST_F(HistorySummaryTest, MinuteFollowsItsRows) {
  const double m = std::floor(EncodeDateTime(2026, 3, 1, 8, 0, 0, 0) * kMinutesPerDay) + 0.5;
  const std::int64_t minute = HistoryMinuteOf(m / kMinutesPerDay);
  const double t0 = m / kMinutesPerDay;
  const struct {
    const char* step;
    double offset; // seconds from the minute's middle
    double pv;
    const char* expected; // Rows, min, max, first, last, count
  } steps[] = {
      {"no value first", 0, 32767, "1     0"},
      {"first reading", 2, 12.5, "2 12.5 12.5 12.5 12.5 1"},
      {"lower", 4, 11, "3 11 12.5 12.5 11 2"},
      {"higher", 6, 14, "4 11 14 12.5 14 3"},
      {"no value last", 8, 32767, "5 11 14 12.5 14 3"},
      {"late, before the first", -10, 10, "6 10 14 10 14 4"},
      {"late, between", 7, 15, "7 10 15 10 15 5"},
      {"late and no value", 1, 32767, "8 10 15 10 15 5"},
  };
  // Each row is summarised at the next catch-up, not before.
  QString previous = QStringLiteral("none");
  for (const auto& s : steps) {
    Row(1, t0 + s.offset * kSecond, s.pv);
    EXPECT_EQ(Pv(minute), previous) << s.step;
    EXPECT_EQ(CatchUpHistorySummaries(Db()), 1) << s.step;
    previous = QString::fromLatin1(s.expected);
    EXPECT_EQ(Pv(minute), previous) << s.step;
  }
  EXPECT_EQ(CatchUpHistorySummaries(Db()), 0);
  EXPECT_EQ(Cell(QStringLiteral("OUT1Count"), minute).IntValue(), 0);
  EXPECT_TRUE(Cell(QStringLiteral("SVCount"), minute).IsNull()) << "a value in every row";
  EXPECT_TRUE(Cell(QStringLiteral("OUT2Min"), minute).IsNull());
  EXPECT_EQ(Cell(QStringLiteral("coalesce(SVCount, Rows)"), minute).IntValue(), 8);
  EXPECT_EQ(Pv(minute + 1), QStringLiteral("none"));
}

// Caught up a few rows at a time (late rows and minutes split between
// catch-ups included) and built from the rows, the table is the same.
TEST_F(HistorySummaryTest, CatchUpAgreesWithBuild) {
  MixedHistory(EncodeDateTime(2026, 3, 1, 23, 58, 10, 0), 7);
  const QStringList kept = Summaries();
  EXPECT_GE(kept.size(), 12);
  EXPECT_EQ(Rebuilt(), kept);
  // Values of one decimal are kept times ten; minutes with endless decimals
  // as they are.
  EXPECT_GT(Db().GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceDataMinute WHERE Scale = 10")), 0);
  EXPECT_GT(Db().GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceDataMinute WHERE Scale = 1")), 0);
}

// The newest rows deleted and then recorded again take the rowids they
// had: the mark goes back with them and the new rows are summarised.
TEST_F(HistorySummaryTest, RowsRecordedAfterTheNewestWereDeletedAreSummarised) {
  const double day = EncodeDateTime(2026, 3, 4);
  MixedHistory(day + 0.5);
  ASSERT_GT(Summaries().size(), 0);
  DeleteRecords(day, day);
  EXPECT_EQ(Db().GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")), 0);
  Row(1, day + 0.75, 12.5);
  Row(2, day + 0.75, 7);
  EXPECT_EQ(Summaries(), Rebuilt());
  EXPECT_EQ(Db().GetTableValue(QStringLiteral("SELECT sum(Rows) FROM DeviceDataMinute")), 2);
}

// The process that records keeps them caught up on a thread of its own,
// and goes on after a pass found the file busy for longer than it waits.
TEST_F(HistorySummaryTest, KeeperCatchesUpWhileRecordingAndAfterTheFileWasBusy) {
  const double start = EncodeDateTime(2026, 3, 5, 9, 0, 0, 0);
  const auto summarised = [] {
    return Db().GetTableValue(QStringLiteral("SELECT coalesce(sum(Rows), 0) FROM DeviceDataMinute"));
  };
  THistorySummaryBuilder keeper(dir.Path(QStringLiteral("Tervox.db")), nullptr, std::chrono::milliseconds(50));
  for (int i = 0; i < 100; ++i) Row(1, start + i * kSecond, i);
  EXPECT_TRUE(QTest::qWaitFor([&] { return summarised() == 100; }, 5000));

  TSQLiteDatabase other(dir.Path(QStringLiteral("Tervox.db")));
  other.ExecSQL(QStringLiteral("BEGIN EXCLUSIVE"));
  QTest::qWait(5500); // past the keeper's 5 s wait for the file
  other.ExecSQL(QStringLiteral("ROLLBACK"));
  for (int i = 100; i < 200; ++i) Row(1, start + i * kSecond, i);
  EXPECT_TRUE(QTest::qWaitFor([&] { return summarised() == 200; }, 5000));
  EXPECT_FALSE(keeper.Finished());
}

// A database of an older build, or whose summaries were dropped or altered
// by hand, opens (the table check does not ask for them) and gets them back
// from its rows; a build cut short resumes without counting twice.
TEST_F(HistorySummaryTest, MissingOrAlteredSummariesAreRebuilt) {
  MixedHistory(EncodeDateTime(2026, 3, 2, 10, 0, 0, 0));
  const QStringList expected = Summaries();
  const char* damages[] = {
      "DROP TABLE DeviceDataMinute",
      "DROP TABLE DeviceDataMinuteMark",
      "DROP TABLE DeviceDataHour",
      "DELETE FROM DeviceDataMinuteMark",
      "ALTER TABLE DeviceDataMinute ADD COLUMN Extra integer",
      "DROP TABLE DeviceDataMinuteQueue",
      // An older build kept them with triggers.
      "CREATE TRIGGER DeviceDataMinuteInsert AFTER INSERT ON DeviceData BEGIN SELECT 1; END",
  };
  for (const char* damage : damages) {
    Db().ExecSQL(QStringLiteral("DELETE FROM DeviceDataMinute WHERE Minute % 2 = 0"));
    Db().ExecSQL(QString::fromLatin1(damage));
    FreeDatabase();
    ASSERT_NO_THROW(GetDatabase()) << damage;
    EXPECT_GT(PendingHistorySummaryMinutes(Db()), 0) << damage;
    int steps = 0;
    EXPECT_FALSE(BuildHistorySummaries(Db(), [&](std::int64_t, std::int64_t) { return ++steps < 2; })) << damage;
    EXPECT_TRUE(BuildHistorySummaries(Db())) << damage;
    EXPECT_EQ(PendingHistorySummaryMinutes(Db()), 0) << damage;
    EXPECT_EQ(Summaries(), expected) << damage;
  }
  // Whole again: the next start leaves it alone.
  EXPECT_FALSE(EnsureHistorySummaries(Db()));
}

// Backups do not carry the summaries; a restore rebuilds them from the
// restored rows, and deleting history updates the minutes it touched.
TEST_F(HistorySummaryTest, BackupRestoreAndDeleteKeepThemTrue) {
  const double day = EncodeDateTime(2026, 3, 3);
  MixedHistory(day - 150 * kSecond); // across midnight
  MixedHistory(day + 0.5);
  const QStringList before = Summaries();
  const QString backup = dir.Path(QStringLiteral("backup.sql"));
  BackupDatabase(backup);
  EXPECT_FALSE(tervox_test::ReadFileBytes(backup).contains("DeviceDataMinute"));

  Db().ExecSQL(QStringLiteral("DELETE FROM DeviceData WHERE ReadTime > %1").arg(day + 0.25, 0, 'f', 9));
  Row(3, day + 0.75, 1);
  RestoreDatabase(backup);
  EXPECT_GT(PendingHistorySummaryMinutes(Db()), 0);
  EXPECT_TRUE(BuildHistorySummaries(Db()));
  EXPECT_EQ(Summaries(), before);

  // The day before goes, with the minutes it held; the rows of this day stay.
  DeleteRecords(day - 1, day - 1);
  EXPECT_EQ(PendingHistorySummaryMinutes(Db()), 0);
  const QStringList after = Summaries();
  EXPECT_LT(after.size(), before.size());
  EXPECT_EQ(Db().GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceDataMinute WHERE Minute < %1")
                                   .arg(HistoryMinuteOf(day))),
            0);
  EXPECT_EQ(Db().GetTableValue(QStringLiteral("SELECT sum(Rows) FROM DeviceDataMinute")),
            Db().GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")));
  EXPECT_EQ(Rebuilt(), after);
}

} // namespace
