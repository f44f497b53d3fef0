#include "core/DqEvent.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QObject>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Thread-safe record of what ran, in order.
class Journal {
public:
  void Add(const QString& AEntry) {
    std::lock_guard<std::mutex> guard(FLock);
    FEntries << AEntry;
  }
  QStringList Entries() {
    std::lock_guard<std::mutex> guard(FLock);
    return QStringList(FEntries.cbegin(), FEntries.cend()); // a list of its own
  }
  int Count() { return static_cast<int>(Entries().size()); }

private:
  std::mutex FLock;
  QStringList FEntries;
};

// Holds the worker inside one event until released, so that a test can
// arrange the queues while nothing is taken from them.
class Gate {
public:
  TDqSyncEvent Event() {
    return [this](TDqEventData*) {
      FEntered.set_value();
      FRelease.get_future().wait();
    };
  }
  void WaitEntered() { FEntered.get_future().wait(); }
  void Release() { FRelease.set_value(); }

private:
  std::promise<void> FEntered;
  std::promise<void> FRelease;
};

bool WaitFor(const std::function<bool()>& APredicate, int AMilliseconds = 10000) {
  return QTest::qWaitFor(APredicate, AMilliseconds);
}

TDqSyncEvent Record(Journal& AJournal, const QString& AEntry) {
  return [&AJournal, AEntry](TDqEventData*) { AJournal.Add(AEntry); };
}

TEST(DqEventThread, PrivilegeQueueDrainsFirstAndAddFirstEventJumpsAhead) {
  TDqEventThread thread;
  Journal journal;
  Gate gate;
  int owner = 0;
  thread.AddEvent(QStringLiteral("Gate"), gate.Event(), &owner);
  gate.WaitEntered();
  thread.AddEvent(QStringLiteral("N1"), Record(journal, QStringLiteral("N1")), &owner);
  thread.AddEvent(QStringLiteral("N2"), Record(journal, QStringLiteral("N2")), &owner);
  thread.AddPrivilegeEvent(QStringLiteral("P1"), Record(journal, QStringLiteral("P1")), &owner);
  thread.AddPrivilegeEvent(QStringLiteral("P2"), Record(journal, QStringLiteral("P2")), &owner);
  thread.AddFirstEvent(QStringLiteral("F"), Record(journal, QStringLiteral("F")), &owner);
  EXPECT_EQ(thread.EventCount(), 2);
  EXPECT_EQ(thread.PrivilegeEventCount(), 3);
  gate.Release();
  ASSERT_TRUE(WaitFor([&] { return journal.Count() == 5; }));
  EXPECT_EQ(journal.Entries(), QStringList({"F", "P1", "P2", "N1", "N2"}));
}

TEST(DqEventThread, CompletionCallbacksRunOnTheUIThreadInPostingOrder) {
  TDqEventThread thread;
  std::vector<int> executed; // written by the worker only
  std::vector<int> order;
  std::vector<bool> onUIThread;
  std::thread::id workerId;
  auto context = std::make_unique<QObject>();
  Gate gate;
  thread.AddEvent(QStringLiteral("Gate"), gate.Event(), nullptr);
  gate.WaitEntered();
  const int posted = 20;
  for (int i = 0; i < posted; ++i) {
    auto event = std::make_unique<TDqEventData>(
        QStringLiteral("Work"),
        [&, i](TDqEventData*) {
          workerId = std::this_thread::get_id();
          executed.push_back(i);
        },
        nullptr);
    // Every other callback is guarded by a context object; both kinds keep
    // one order.
    event->SetOnSyncExecuted(
        [&, i] {
          order.push_back(i);
          onUIThread.push_back(QThread::currentThread() == QCoreApplication::instance()->thread());
        },
        i % 2 ? context.get() : nullptr);
    i % 3 == 0 ? thread.AddPrivilegeEvent(std::move(event)) : thread.AddEvent(std::move(event));
  }
  gate.Release();
  ASSERT_TRUE(WaitFor([&] { return static_cast<int>(order.size()) == posted; }));
  ASSERT_EQ(thread.WaitForExecute(5000), 0u);
  // The privilege events ran first; the callbacks follow the runs.
  EXPECT_EQ(executed.front(), 0);
  EXPECT_EQ(executed[7], 1);
  EXPECT_EQ(order, executed);
  EXPECT_EQ(std::count(onUIThread.begin(), onUIThread.end(), true), posted);
  EXPECT_NE(workerId, std::this_thread::get_id());
}

TEST(DqEventThread, CallbackOfADestroyedContextIsDropped) {
  TDqEventThread thread;
  bool cancelled = false, kept = false;
  Gate gate;
  thread.AddEvent(QStringLiteral("Gate"), gate.Event(), nullptr);
  gate.WaitEntered();
  auto dialog = std::make_unique<QObject>();
  auto first = std::make_unique<TDqEventData>(QStringLiteral("Read"), nullptr, nullptr);
  first->SetOnSyncExecuted([&] { cancelled = true; }, dialog.get());
  thread.AddEvent(std::move(first));
  auto second = std::make_unique<TDqEventData>(QStringLiteral("Read"), nullptr, nullptr);
  second->SetOnSyncExecuted([&] { kept = true; });
  thread.AddEvent(std::move(second));
  gate.Release();
  ASSERT_EQ(thread.WaitForExecute(5000), 0u);
  dialog.reset(); // the dialog is closed before the UI thread gets to it
  ASSERT_TRUE(WaitFor([&] { return kept; }));
  QCoreApplication::processEvents();
  EXPECT_FALSE(cancelled);
}

// A failing callback is reported with its text; the worker goes on with
// the next event, and a Forever event is re-armed.
TEST(DqEventThread, FailingCallbacksAreReportedAndTheWorkerGoesOn) {
  struct Case {
    const char* Failing;
    const char* Report;
  };
  const Case cases[] = {{"Event", "Executed error."},
                        {"OnExecuted", "OnExecuted error."},
                        {"OnSyncExecuted", "OnSyncExecuted error."}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.Failing);
    TDqEventThread thread;
    Journal reports, journal;
    thread.SetOnError([&](const QString& AMessage) { reports.Add(AMessage); });
    auto fail = [] { throw EDqException(QStringLiteral("device gone")); };
    auto event = std::make_unique<TDqEventData>(QStringLiteral("Bad"), nullptr, nullptr);
    const QString failing = QLatin1String(test.Failing);
    if (failing == QLatin1String("Event")) event->Event = [fail](TDqEventData*) { fail(); };
    if (failing == QLatin1String("OnExecuted")) event->SetOnExecuted([fail](TDqEventData*) { fail(); });
    if (failing == QLatin1String("OnSyncExecuted")) event->SetOnSyncExecuted([fail] { fail(); });
    thread.AddEvent(std::move(event));
    thread.AddEvent(QStringLiteral("Next"), Record(journal, QStringLiteral("next ran")), nullptr);
    ASSERT_TRUE(WaitFor([&] { return reports.Count() == 1 && journal.Count() == 1; }));
    EXPECT_TRUE(reports.Entries()[0].startsWith(QLatin1String(test.Report))) << qPrintable(reports.Entries()[0]);
    EXPECT_TRUE(reports.Entries()[0].contains(QLatin1String("device gone")));
  }

  Journal runs;
  TDqEventThread thread; // ends before the journal it writes
  thread.SetOnError([](const QString&) {});
  thread.AddTimerEvent(
      QStringLiteral("Poll"),
      [&](TDqEventData*) {
        runs.Add(QStringLiteral("run"));
        throw std::runtime_error("no answer");
      },
      nullptr, 20, true);
  EXPECT_TRUE(WaitFor([&] { return runs.Count() >= 3; }));
}

// The runs of a periodic event that works for 300 ms: when each began and
// ended, and whether one ever overlapped another or found itself queued.
struct PeriodicRuns {
  explicit PeriodicRuns(TDqEventThread& AThread) : Thread(AThread) {}
  TDqSyncEvent Work() {
    return [this](TDqEventData*) {
      if (Running.fetch_add(1) != 0) ++Overlaps;
      if (Thread.EventCount() != 0 || Thread.TimerEventCount() != 0) ++QueuedWhileRunning;
      const auto start = TClock::now();
      std::this_thread::sleep_for(300ms);
      std::lock_guard<std::mutex> guard(Lock);
      Runs.emplace_back(start, TClock::now());
      --Running;
    };
  }
  TDqEventThread& Thread;
  std::mutex Lock;
  std::vector<std::pair<TClock::time_point, TClock::time_point>> Runs;
  std::atomic<int> Running{0}, Overlaps{0}, QueuedWhileRunning{0};
};

// The period of a Forever event runs from the end of one run to the start
// of the next; runs never overlap and never pile up.
TEST(DqEventThread, ForeverTimerEventRestartsIntervalAfterEachRun) {
  TDqEventThread thread;
  PeriodicRuns periodic(thread);
  const auto added = TClock::now();
  thread.AddTimerEvent(QStringLiteral("ReadStatus"), periodic.Work(), nullptr, 1000, true);
  QTest::qWait(4500);
  thread.Stop();
  ASSERT_EQ(thread.WaitForExecute(5000), 0u);
  std::lock_guard<std::mutex> guard(periodic.Lock);
  const auto& runs = periodic.Runs;
  // About 1000, 2300, 3600 ms: three runs, however loaded the machine, two
  // at least and never more than four.
  ASSERT_GE(runs.size(), 2u);
  EXPECT_LE(runs.size(), 4u);
  EXPECT_GE(runs[0].first - added, 999ms);
  for (std::size_t i = 1; i < runs.size(); ++i) EXPECT_GE(runs[i].first - runs[i - 1].second, 999ms) << i;
  EXPECT_EQ(periodic.Overlaps.load(), 0);
  EXPECT_EQ(periodic.QueuedWhileRunning.load(), 0);
}

// A Forever event that keeps its rhythm is due one interval after the
// previous run was due. Work longer than the interval therefore follows on
// at once (the plain Forever event above waits a whole interval after each
// run), and still never overlaps itself or queues twice.
TEST(DqEventThread, RhythmKeepingTimerEventIsDueAfterThePreviousDueTime) {
  TDqEventThread thread;
  PeriodicRuns periodic(thread);
  auto event = std::make_unique<TDqEventData>(QStringLiteral("ReadStatus"), periodic.Work(), nullptr, 200, true);
  event->KeepRhythm = true;
  thread.AddTimerEvent(std::move(event));
  QTest::qWait(2500);
  thread.Stop();
  ASSERT_EQ(thread.WaitForExecute(5000), 0u);
  std::lock_guard<std::mutex> guard(periodic.Lock);
  const auto& runs = periodic.Runs;
  ASSERT_GE(runs.size(), 3u);
  for (std::size_t i = 1; i < runs.size(); ++i) EXPECT_LT(runs[i].first - runs[i - 1].second, 200ms) << i;
  EXPECT_EQ(periodic.Overlaps.load(), 0);
  EXPECT_EQ(periodic.QueuedWhileRunning.load(), 0);
}

// Timer events are due by the worker's own clock: a UI thread that runs
// no events (a long print, or no event loop at all) never delays them. A
// timer armed from another thread that is due before the one the worker
// sleeps towards wakes it.
TEST(DqEventThread, TimerEventsKeepTheirTimeWhileTheUIThreadIsHeld) {
  TDqEventThread thread;
  Journal journal;
  thread.AddTimerEvent(QStringLiteral("Late"), Record(journal, QStringLiteral("late")), nullptr, 60000, false);
  std::this_thread::sleep_for(100ms); // the worker now sleeps towards the late one
  auto tick = std::make_unique<TDqEventData>(QStringLiteral("Tick"), Record(journal, QStringLiteral("tick")), nullptr,
                                             100, true);
  tick->KeepRhythm = true;
  thread.AddTimerEvent(std::move(tick));
  std::this_thread::sleep_for(500ms);
  EXPECT_GE(journal.Count(), 2) << "the earlier timer did not wake the worker";
  std::this_thread::sleep_for(1000ms);
  EXPECT_GE(journal.Count(), 8);
  EXPECT_FALSE(journal.Entries().contains(QStringLiteral("late")));
  thread.Stop();
}

TEST(DqEventThread, OneShotTimerEventRunsOnceAndStopDisarmsTimers) {
  TDqEventThread thread;
  Journal journal;
  thread.AddTimerEvent(QStringLiteral("Once"), Record(journal, QStringLiteral("once")), nullptr, 30, false);
  EXPECT_EQ(thread.TimerEventCount(), 1);
  ASSERT_TRUE(WaitFor([&] { return journal.Count() == 1; }));
  EXPECT_EQ(thread.TimerEventCount(), 0);

  thread.AddTimerEvent(QStringLiteral("Later"), Record(journal, QStringLiteral("later")), nullptr, 100, true);
  thread.Stop();
  QTest::qWait(400);
  EXPECT_EQ(journal.Count(), 1);
  // Nothing is armed after Stop.
  thread.AddTimerEvent(QStringLiteral("Refused"), Record(journal, QStringLiteral("refused")), nullptr, 10, false);
  QTest::qWait(100);
  EXPECT_EQ(journal.Entries(), QStringList({"once"}));
}

TEST(DqEventThread, RemoveEventLetsTheRunningEventFinishAndWithdrawsTheRest) {
  TDqEventThread thread;
  Journal journal;
  Gate gate;
  int device = 0, other = 0;
  thread.AddTimerEvent(QStringLiteral("ReadStatus"), Record(journal, QStringLiteral("timer")), &device, 50, true);
  auto running = std::make_unique<TDqEventData>(QStringLiteral("Running"), gate.Event(), &device, 50, true);
  running->SetOnExecuted([&](TDqEventData*) { journal.Add(QStringLiteral("running done")); });
  thread.AddEvent(std::move(running));
  gate.WaitEntered();
  thread.AddEvent(QStringLiteral("Queued"), Record(journal, QStringLiteral("queued")), &device);
  thread.AddPrivilegeEvent(QStringLiteral("Write"), Record(journal, QStringLiteral("write")), &device);
  thread.AddEvent(QStringLiteral("Other"), Record(journal, QStringLiteral("other")), &other);
  thread.RemoveEvent(&device);
  EXPECT_EQ(thread.TimerEventCount(), 0);
  gate.Release();
  ASSERT_EQ(thread.WaitForExecute(5000), 0u);
  QTest::qWait(300); // the timer event's period passes several times
  EXPECT_EQ(journal.Entries(), QStringList({"running done", "other"}));
  EXPECT_EQ(thread.TimerEventCount(), 0); // the running Forever event was not re-armed
}

TEST(DqEventThread, WaitRemoveEventReleasesTheSendersEventsInsideTheWorker) {
  TDqEventThread thread;
  Journal journal;
  Gate gate;
  int device = 0;
  thread.AddEvent(QStringLiteral("Gate"), gate.Event(), nullptr);
  gate.WaitEntered();
  thread.AddEvent(QStringLiteral("Queued"), Record(journal, QStringLiteral("queued")), &device);
  thread.AddTimerEvent(QStringLiteral("Poll"), Record(journal, QStringLiteral("timer")), &device, 5000, true);
  auto waiter = std::async(std::launch::async, [&] { return thread.WaitRemoveEvent(&device, 5000); });
  ASSERT_TRUE(WaitFor([&] { return thread.PrivilegeEventCount() == 1; }));
  gate.Release();
  EXPECT_TRUE(waiter.get());
  EXPECT_EQ(thread.EventCount(), 0);
  EXPECT_EQ(thread.TimerEventCount(), 0);
  EXPECT_TRUE(journal.Entries().isEmpty());

  // Asked from the worker itself it cannot wait for the worker: it is done
  // on the spot.
  bool result = false;
  thread.AddTimerEvent(QStringLiteral("Poll"), Record(journal, QStringLiteral("timer")), &device, 5000, true);
  thread.AddEvent(QStringLiteral("Self"), [&](TDqEventData*) { result = thread.WaitRemoveEvent(&device, 5000); },
                  nullptr);
  ASSERT_EQ(thread.WaitForExecute(8000), 0u);
  EXPECT_TRUE(result);
  EXPECT_EQ(thread.TimerEventCount(), 0);

  // A busy worker: the wait times out and says so.
  Gate busy;
  thread.AddEvent(QStringLiteral("Busy"), busy.Event(), nullptr);
  busy.WaitEntered();
  EXPECT_FALSE(thread.WaitRemoveEvent(&device, 50));
  busy.Release();
}

TEST(DqEventThread, WaitForExecuteReportsIdleOrTheTimeElapsed) {
  TDqEventThread thread;
  EXPECT_EQ(thread.WaitForExecute(5000), 0u);

  thread.AddEvent(QStringLiteral("Short"), [](TDqEventData*) { std::this_thread::sleep_for(100ms); }, nullptr);
  EXPECT_EQ(thread.WaitForExecute(5000), 0u);

  Gate gate;
  thread.AddEvent(QStringLiteral("Long"), gate.Event(), nullptr);
  gate.WaitEntered();
  EXPECT_GE(thread.WaitForExecute(300), 300u);
  gate.Release();
  EXPECT_EQ(thread.WaitForExecute(5000), 0u);
}

TEST(DqEventThread, EventsAfterTerminationAreNotRun) {
  Journal journal;
  Gate gate;
  {
    TDqEventThread thread;
    thread.AddEvent(QStringLiteral("Gate"), gate.Event(), nullptr);
    gate.WaitEntered();
    thread.AddEvent(QStringLiteral("Queued"), Record(journal, QStringLiteral("queued")), nullptr);
    thread.Terminate();
    thread.AddEvent(QStringLiteral("Late"), Record(journal, QStringLiteral("late")), nullptr);
    thread.AddPrivilegeEvent(QStringLiteral("Late"), Record(journal, QStringLiteral("late")), nullptr);
    thread.AddTimerEvent(QStringLiteral("Late"), Record(journal, QStringLiteral("late")), nullptr, 1, false);
    EXPECT_EQ(thread.EventCount(), 1);
    EXPECT_EQ(thread.TimerEventCount(), 0);
    gate.Release();
  }
  QTest::qWait(50);
  EXPECT_TRUE(journal.Entries().isEmpty());
}

class MemoLines : public TDqEventMemo {
public:
  void Clear() override {
    std::lock_guard<std::mutex> guard(FLock);
    FLines.clear();
  }
  void Add(const QString& ALine) override {
    std::lock_guard<std::mutex> guard(FLock);
    FLines << ALine;
  }
  QStringList Lines() {
    std::lock_guard<std::mutex> guard(FLock);
    return FLines;
  }

private:
  std::mutex FLock;
  QStringList FLines;
};

TEST(DqEventThread, DebugListingShowsEachQueueAndTheWorkOfThePass) {
  tervox_test::FixedClock clock(EncodeDateTime(2024, 3, 1, 13, 45, 10));
  TDqEventThread thread;
  MemoLines events, work, timers;
  thread.SetEventMemo(&events);
  thread.SetWorkMemo(&work);
  thread.SetTimerMemo(&timers);
  Gate gate;
  int device = 0;
  thread.AddTimerEvent(QStringLiteral("ReadStatus"), nullptr, &device, 60000, true);
  // The listing is written when a pass begins: the port's event is the
  // only one waiting then; the toggle comes while it runs, in the same pass.
  auto named = std::make_unique<TDqEventData>(QStringLiteral("PortWrite"), gate.Event(), &device);
  named->SenderName = QStringLiteral("Port A");
  thread.AddEvent(std::move(named));
  gate.WaitEntered();
  thread.AddEvent(QStringLiteral("Toggle"), nullptr, &device);
  gate.Release();
  ASSERT_EQ(thread.WaitForExecute(5000), 0u);

  const QString address =
      QString::number(reinterpret_cast<quintptr>(&device), 16).toUpper().rightJustified(8, QLatin1Char('0'));
  EXPECT_EQ(events.Lines(), QStringList({QStringLiteral("Events"), QStringLiteral("Port A: PortWrite @ 13:45:10")}));
  EXPECT_EQ(work.Lines(), QStringList({QStringLiteral("Port A: PortWrite @ 13:45:10"),
                                       address + QStringLiteral(": Toggle @ 13:45:10")}));
  EXPECT_EQ(timers.Lines(),
            QStringList({QStringLiteral("Timer Events"), address + QStringLiteral(": ReadStatus @ 13:45:10")}));
  thread.SetEventMemo(nullptr);
  thread.SetWorkMemo(nullptr);
  thread.SetTimerMemo(nullptr);
}

class Counted : public TDqEventObject {
public:
  explicit Counted(int& ACount) : FCount(ACount) {}
  ~Counted() override { ++FCount; }

private:
  int& FCount;
};

TEST(DqEventList, IndexesCopiesAndBounds) {
  int released = 0;
  TDqEventList list;
  auto* first = list.Add(std::make_unique<TDqEventData>(QStringLiteral("A"), nullptr, nullptr));
  auto second = std::make_unique<TDqEventData>(QStringLiteral("B"), nullptr, &released, 250, true);
  second->Value = 42;
  second->ValueObject = std::make_shared<Counted>(released);
  auto* secondRaw = list.Add(std::move(second));
  EXPECT_EQ(list.IndexOf(first), 0);
  EXPECT_EQ(list.IndexOf(secondRaw), 1);
  EXPECT_EQ(list.GetEvents(2), nullptr);
  try {
    list.SetEvents(2, std::make_unique<TDqEventData>());
    FAIL() << "no error";
  } catch (const EDqException& error) {
    EXPECT_EQ(error.Message(), QStringLiteral("Event list write index out of bound"));
  }
  {
    TDqEventList copy;
    copy.Assign(list);
    ASSERT_EQ(copy.Count(), 2);
    EXPECT_NE(copy.GetEvents(1), secondRaw);
    EXPECT_EQ(copy.GetEvents(1)->Name, QStringLiteral("B"));
    EXPECT_EQ(copy.GetEvents(1)->Value, TVariant(42));
    EXPECT_EQ(copy.GetEvents(1)->Interval, 250u);
    EXPECT_TRUE(copy.GetEvents(1)->Forever);
    EXPECT_EQ(copy.GetEvents(1)->ValueObject, secondRaw->ValueObject);
  }
  // The copy shares the carried object; it is released once, with the last.
  EXPECT_EQ(released, 0);
  list.Clear();
  EXPECT_EQ(released, 1);

  TDqEventData data(QStringLiteral("X"), [](TDqEventData*) {}, &released, 100, true);
  data.SetOnExecuted([](TDqEventData*) {});
  data.ValueObject = std::make_shared<Counted>(released);
  data.Clear();
  EXPECT_EQ(released, 2);
  EXPECT_TRUE(data.Name.isEmpty());
  EXPECT_EQ(data.Sender, nullptr);
  EXPECT_FALSE(data.Event);
  EXPECT_TRUE(data.OnExecuted()); // kept by Clear
  EXPECT_TRUE(data.Value.IsNull());
  EXPECT_EQ(data.Interval, 0u);
  EXPECT_FALSE(data.Forever);
}

} // namespace
