// The thread sanitizer's set-up (Source/SanitizerSupport.cpp): its
// suppressions hide the libraries' own reports only, so a race in our code
// is still reported, even with Qt on the stack (a line such as
// race:libQt6Core.so would hide the posted-call case); and a thread that
// started a process still sees its own locks. Each case runs in a child
// process of its own: the sanitizer ends a process that raced with exit
// code 66.
#include <QCoreApplication>
#include <QProcess>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <ostream>
#include <thread>

namespace {

constexpr int kRaceExitCode = 66; // the sanitizer's default exitcode

// Both sides of every race store through here, so the report names it.
__attribute__((noinline)) void RacyStore(char* ATarget, char AValue) { *ATarget = AValue; }

void RaceOnAStackVariable() {
  char target = 0;
  std::thread worker([&] { RacyStore(&target, 1); });
  RacyStore(&target, 2);
  worker.join();
}

// The UI thread's store runs in a posted call, below Qt's event dispatch.
void RaceInAPostedCall() {
  char target = 0;
  std::thread worker([&] { RacyStore(&target, 1); });
  QMetaObject::invokeMethod(qApp, [&] { RacyStore(&target, 2); }, Qt::QueuedConnection);
  QCoreApplication::sendPostedEvents();
  worker.join();
}

struct TRaceCase {
  const char* Name;
  void (*Run)();
};
void PrintTo(const TRaceCase& ACase, std::ostream* AOut) { *AOut << ACase.Name; }

class SanitizerReportsOurRace : public testing::TestWithParam<TRaceCase> {};

TEST_P(SanitizerReportsOurRace, DespiteTheSuppressions) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        GetParam().Run();
        std::exit(0);
      },
      testing::ExitedWithCode(kRaceExitCode), "WARNING: ThreadSanitizer: data race.*RacyStore");
}

INSTANTIATE_TEST_SUITE_P(Cases, SanitizerReportsOurRace,
                         testing::Values(TRaceCase{"OnAStackVariable", RaceOnAStackVariable},
                                         TRaceCase{"InAPostedCall", RaceInAPostedCall}),
                         [](const testing::TestParamInfo<TRaceCase>& AInfo) { return AInfo.param.Name; });

// A flag handed over under a mutex after a QProcess started, as a port's
// worker is stopped after the simulator program started: no report.
TEST(SanitizerSupport, AThreadThatStartedAProcessStillSeesItsLocks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        QProcess process;
        process.start(QStringLiteral("true"));
        if (!process.waitForFinished(30000) || process.exitCode() != 0) std::exit(1);
        std::mutex lock;
        std::condition_variable changed;
        bool set = false;
        std::thread worker([&] {
          std::unique_lock<std::mutex> guard(lock);
          while (!set) changed.wait(guard);
        });
        {
          std::lock_guard<std::mutex> guard(lock);
          set = true;
        }
        changed.notify_all();
        worker.join();
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

} // namespace
