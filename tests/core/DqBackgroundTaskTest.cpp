// Background work with its result posted to the UI thread: only the latest
// request's result runs, a stop or the task's end drops what is on its way,
// a cancel reaches the work, and errors arrive on the UI thread.
#include "core/DqBackgroundTask.h"
#include "core/DqRoutine.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <vector>

namespace {

// A work that finishes at once and hands back "record AValue".
TDqBackgroundTask::TWork Record(std::vector<int>& ARuns, int AValue) {
  return [&ARuns, AValue](const std::atomic<bool>&) -> TDqBackgroundTask::TDone {
    return [&ARuns, AValue] { ARuns.push_back(AValue); };
  };
}

void Settle(TDqBackgroundTask& ATask) {
  ASSERT_TRUE(QTest::qWaitFor([&] { return !ATask.Running(); }, 20000));
  QCoreApplication::processEvents();
}

TEST(DqBackgroundTaskTest, OnlyTheLatestResultRuns) {
  TDqBackgroundTask task;
  std::vector<int> runs;
  // The first result is already posted when the second request comes.
  task.Start(Record(runs, 1), {});
  task.Wait();
  EXPECT_TRUE(task.Running());
  task.Start(Record(runs, 2), {});
  Settle(task);
  EXPECT_EQ(runs, std::vector<int>{2});

  // A stop drops a result already on its way.
  task.Start(Record(runs, 3), {});
  task.Wait();
  task.Stop();
  EXPECT_FALSE(task.Running());
  QCoreApplication::processEvents();
  EXPECT_EQ(runs, std::vector<int>{2});

  // So does the end of the task (its owner is gone with it).
  {
    TDqBackgroundTask gone;
    gone.Start(Record(runs, 4), {});
    gone.Wait();
  }
  QCoreApplication::processEvents();
  EXPECT_EQ(runs, std::vector<int>{2});
}

TEST(DqBackgroundTaskTest, ANewerStartCancelsTheWorkUnderWay) {
  TDqBackgroundTask task;
  std::atomic<bool> started{false};
  std::atomic<bool> sawCancel{false};
  std::vector<int> runs;
  // Runs until cancelled: the second start could not return otherwise.
  task.Start(
      [&](const std::atomic<bool>& ACancel) -> TDqBackgroundTask::TDone {
        started = true;
        while (!ACancel) QThread::yieldCurrentThread();
        sawCancel = true;
        return [&runs] { runs.push_back(1); };
      },
      {});
  while (!started) QThread::yieldCurrentThread();
  task.Start(Record(runs, 2), {});
  EXPECT_TRUE(sawCancel);
  Settle(task);
  EXPECT_EQ(runs, std::vector<int>{2});
}

TEST(DqBackgroundTaskTest, AnErrorArrivesOnTheUIThread) {
  TDqBackgroundTask task;
  QString message;
  bool onUIThread = false;
  task.Start(
      [](const std::atomic<bool>&) -> TDqBackgroundTask::TDone { throw EDqException(QStringLiteral("no database")); },
      [&](std::exception_ptr AError) {
        onUIThread = QThread::currentThread() == QCoreApplication::instance()->thread();
        try {
          std::rethrow_exception(AError);
        } catch (const EDqException& e) {
          message = e.Message();
        }
      });
  Settle(task);
  EXPECT_TRUE(onUIThread);
  EXPECT_EQ(message, QStringLiteral("no database"));
}

} // namespace
