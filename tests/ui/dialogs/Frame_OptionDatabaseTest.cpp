#include "store/DqHistorySummary.h"
#include "core/DqRoutine.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_Retention.h"
#include "ui/dialogs/Frame_OptionDatabase.h"
#include "ui/UiTestSupport.h"

#include <QLabel>
#include <QSpinBox>

#include <gtest/gtest.h>

#include <cmath>

using tervox_test::TestDatabase;

namespace {

bool Measured(TFrameOptionDatabase& APage) {
  return QTest::qWaitFor([&] { return !APage.Measuring(); }, 20000);
}

// The months kept are shown as stored, stored at once when an
// administrator changes them, and seen by the next page; a user who may
// not change options sees them only.
TEST(FrameOptionDatabase, KeepHistoryMonthsSavesAndReloads) {
  TestDatabase database;
  const struct {
    const char* Stored; // nullptr: never written
    bool CanAdmin;
    int Shown, Entered, Kept;
  } cases[] = {
      {nullptr, true, 0, 6, 6},  // the default keeps everything
      {"18", true, 18, 0, 0},    // back to everything
      {"abc", true, 0, 1200, 1200},
      {"12", false, 12, 3, 12},  // not this user's to change
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Stored ? c.Stored : "none");
    TestDatabase::Exec(QStringLiteral("DELETE FROM Config WHERE Name = 'KeepHistoryMonths'"));
    if (c.Stored) Config()->SetValues(kKeepHistoryMonths, QString::fromLatin1(c.Stored));
    CurrentUser()->Group()->CanAdmin = c.CanAdmin;
    {
      TFrameOptionDatabase page;
      QSpinBox* spin = page.SpinKeepMonths();
      EXPECT_EQ(spin->value(), c.Shown);
      EXPECT_EQ(spin->isEnabled(), c.CanAdmin);
      if (c.Shown == 0) {
        EXPECT_EQ(spin->text(), QStringLiteral("Keep everything"));
      }
      spin->setValue(c.Entered);
      EXPECT_EQ(StoredKeepHistoryMonths(), c.Kept);
      EXPECT_EQ(spin->value(), c.Kept);
      ASSERT_TRUE(Measured(page));
    }
    TFrameOptionDatabase again;
    EXPECT_EQ(again.SpinKeepMonths()->value(), c.Kept);
    ASSERT_TRUE(Measured(again));
  }
  CurrentUser()->Clear();
}

// The page shows the file's size, its growth over the last week and the
// days its disk lasts, measured off the UI thread, and the last archive run.
TEST(FrameOptionDatabase, ShowsSizeGrowthAndDaysLeft) {
  TestDatabase database;
  const double now = EncodeDateTime(2025, 3, 15, 10);
  TestDatabase::AddTenDaysOfReadings(now);
  Config()->SetValueDateTime(kArchiveLastRun, now - 0.5);
  Config()->SetValues(kArchiveLastResult, QStringLiteral("History before 2025-02-14: nothing to archive"));

  TFrameOptionDatabase page;
  EXPECT_EQ(page.LabelLastArchive()->text(), QStringLiteral("2025-03-14 22:00 History before 2025-02-14: nothing to archive"));
  ASSERT_TRUE(Measured(page));
  const TDatabaseGrowth growth = MeasureDatabaseGrowth(GetDatabaseFileName(), now, 0);
  ASSERT_GT(growth.BytesPerDay, 0);
  const struct {
    double FreeDays;
    QString Left;
    bool Red;
  } cases[] = {{400.5, QStringLiteral("about 400 day(s) of history left"), false},
               {12.5, QStringLiteral("about 12 day(s) of history left"), true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.FreeDays);
    page.Measure(now, static_cast<std::int64_t>(std::llround(c.FreeDays * growth.BytesPerDay)));
    EXPECT_EQ(page.LabelFileSize()->text(), QStringLiteral("Measuring..."));
    ASSERT_TRUE(Measured(page));
    EXPECT_TRUE(page.LabelFileSize()->text().endsWith(QStringLiteral("(10000 history record(s))")))
        << page.LabelFileSize()->text().toStdString();
    EXPECT_TRUE(page.LabelGrowth()->text().endsWith(QStringLiteral("per day (1000 record(s) a day over the last 7 days)")))
        << page.LabelGrowth()->text().toStdString();
    EXPECT_TRUE(page.LabelDaysLeft()->text().endsWith(c.Left)) << page.LabelDaysLeft()->text().toStdString();
    EXPECT_EQ(page.LabelDaysLeft()->styleSheet().contains(QStringLiteral("red")), c.Red);
  }
}

} // namespace
