// The clock watch: a wall clock stepping against the steady clock by more
// than 2 s either way is told, drift within that is not, and a step goes
// to the audit trail and the usage log. The clocks are the test's own.
#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "store/Main_Database.h"
#include "plant/Tervox_ClockWatch.h"
#include "trust/Tervox_Audit.h"

#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace std::chrono_literals;

namespace {

// A wall clock and a steady clock moved by hand.
struct TTestClocks {
  std::atomic<std::chrono::system_clock::rep> Wall{std::chrono::system_clock::now().time_since_epoch().count()};
  std::atomic<std::chrono::steady_clock::rep> Steady{1000000000};
  void Pass(std::chrono::milliseconds AElapsed, std::chrono::milliseconds AStep = 0ms) {
    Steady += std::chrono::duration_cast<std::chrono::steady_clock::duration>(AElapsed).count();
    Wall += std::chrono::duration_cast<std::chrono::system_clock::duration>(AElapsed + AStep).count();
  }
  TTervoxClockWatch::TWallClock WallClock() {
    return [this] { return std::chrono::system_clock::time_point(std::chrono::system_clock::duration(Wall.load())); };
  }
  TTervoxClockWatch::TSteadyClock SteadyClock() {
    return [this] { return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(Steady.load())); };
  }
};

TEST(ClockWatch, StepsBeyondTwoSecondsEitherWayAreTold) {
  TTestClocks clocks;
  std::vector<std::chrono::milliseconds> told;
  TTervoxClockWatch watch(clocks.WallClock(), clocks.SteadyClock(), [&](std::chrono::milliseconds AStep) { told.push_back(AStep); });
  EXPECT_EQ(watch.Check(), 0ms) << "the first check only sets the mark";
  const struct {
    std::chrono::milliseconds Elapsed, Step, Told;
  } cases[] = {
      {5000ms, 0ms, 0ms},          // both clocks alike
      {5000ms, 1500ms, 0ms},       // slewed or drifted: within the tolerance
      {5000ms, -2000ms, 0ms},      // exactly the tolerance
      {5000ms, 2001ms, 2001ms},    // forward
      {5000ms, -3600000ms, -3600000ms}, // an hour back
      {0ms, 90000ms, 90000ms},     // between two checks at once
      {60000ms, 0ms, 0ms},         // and quiet again: the mark moved with it
  };
  for (const auto& c : cases) {
    clocks.Pass(c.Elapsed, c.Step);
    EXPECT_EQ(watch.Check(), c.Told) << c.Step.count();
  }
  EXPECT_EQ(told, (std::vector<std::chrono::milliseconds>{2001ms, -3600000ms, 90000ms}));
}

// Running on its own thread: a step is told at the next check, Stop ends
// it, and a start after a pause takes no pause for a step.
TEST(ClockWatch, RunsUntilStoppedAndAPauseIsNoStep) {
  TTestClocks clocks;
  std::atomic<int> told{0};
  std::atomic<long long> last{0};
  TTervoxClockWatch watch(clocks.WallClock(), clocks.SteadyClock(), [&](std::chrono::milliseconds AStep) {
    last = AStep.count();
    ++told;
  });
  watch.Start(5ms);
  EXPECT_TRUE(watch.Running());
  clocks.Pass(0ms, -10000ms);
  ASSERT_TRUE(QTest::qWaitFor([&] { return told.load() == 1; }, 5000));
  EXPECT_EQ(last.load(), -10000);
  watch.Stop();
  EXPECT_FALSE(watch.Running());
  clocks.Pass(0ms, 30000ms); // stepped while stopped: not this watch's to tell
  watch.Start(5ms);
  QTest::qWait(30);
  watch.Stop();
  EXPECT_EQ(told.load(), 1);
}

// The real handler: one audit entry by the recorder on the station, the
// step in its changes, and a usage-log line.
TEST(ClockWatch, AStepIsAuditedAndLogged) {
  tervox_test::TempDir dir;
  FreeDatabase();
  SetDatabaseFileName(dir.Path(QStringLiteral("Tervox.db")));
  TSQLiteDatabase* database = GetDatabase();
  // Usage-log times only grow in a process: an early one keeps later tests' own.
  const tervox_test::FixedClock now(40000.5);
  TTestClocks clocks;
  TTervoxClockWatch watch(clocks.WallClock(), clocks.SteadyClock());
  watch.Check();
  clocks.Pass(5000ms, -125300ms);
  EXPECT_EQ(watch.Check(), -125300ms);

  const std::vector<TervoxAudit::TStored> entries = TervoxAudit::Entries(*database, 0, 1e9);
  ASSERT_EQ(entries.size(), 1u);
  const TervoxAudit::TEntry& entry = entries[0].Entry;
  EXPECT_EQ(entry.User, QStringLiteral("recorder"));
  EXPECT_EQ(entry.TargetKind, QStringLiteral("station"));
  EXPECT_EQ(entry.Target, TervoxAudit::StationName());
  EXPECT_EQ(entry.Action, QStringLiteral("clock stepped"));
  EXPECT_EQ(entry.Changes, (std::vector<TervoxAudit::TChange>{{QStringLiteral("step"), QString(), QStringLiteral("-125.3 s")}}));
  EXPECT_TRUE(TervoxAudit::CheckChain(*database).Intact);
  EXPECT_EQ(database->GetTable(QStringLiteral("SELECT group_concat(Detail) FROM UsageLog"))->GetFields(0)->AsString(),
            QStringLiteral("Clock stepped -125.3 s"));
  FreeDatabase();
  SetDatabaseFileName(QString());
}

} // namespace
