// Polling against simulated controllers on a real pseudo-terminal.
#include "core/DqEvent.h"
#include "comm/DqPort.h"
#include "store/DqSQLite.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "StationTestSupport.h"
#include "TestSupport.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Alerts.h"
#include "store/Main_Database.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <memory>
#include <mutex>

namespace {

// Counts the worker's calls into a panel.
class CountingMonitor : public TTervoxMonitorLink {
public:
  void Redraw() override { ++Redraws; }
  void ResetTimer() override { ++Resets; }
  void RestoreTimer() override { ++Restores; }
  void ShowSync() override { ++Syncs; }
  std::atomic<int> Redraws{0}, Resets{0}, Restores{0}, Syncs{0};
};

class PollingTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetDatabaseFileName(dir.Path(QStringLiteral("poll.db")));
    line = std::make_unique<TSimControllerLine>(dir.Path(QStringLiteral("line0")), std::vector<int>{1, 2});
    QString error;
    ASSERT_TRUE(line->Start(&error)) << error.toStdString();
    line->WithController(1, [](TSimController& c) {
      c.SetRegister(1799, 1); // one decimal
      c.SetRegister(384, 1);  // runs on FIX SV1
      c.SetRegister(768, 300);
    });
    tervox_test::WriteStation(line->LinkPath(), QStringLiteral("Line 1"),
                              {{QStringLiteral("Oven"), 1},
                               {QStringLiteral("Kiln"), 2},
                               {QStringLiteral("Spare"), 3, false},
                               {QStringLiteral("Nowhere"), 4, true, 99}});
    CreateEngineObjects();
  }

  void TearDown() override {
    FreeEngineObjects();
    line.reset();
    FreeDatabase();
    SetDatabaseFileName(QString());
  }

  int Rows(int ADeviceID) {
    return static_cast<int>(
        GetDatabase()->GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID = %1").arg(ADeviceID)));
  }

  tervox_test::TempDir dir;
  std::unique_ptr<TSimControllerLine> line;
};

TEST_F(PollingTest, EnabledControllersAreReadAndRecorded) {
  line->WithController(1, [](TSimController& c) { c.SetRegister(1537, 0xFFF6); }); // -1.0 s
  TTervoxDevice::StartThread();
  ASSERT_EQ(DeviceList()->Count(), 4);
  TTervoxDevice* oven = DeviceList()->GetDeviceByID(1);
  auto monitor = std::make_shared<CountingMonitor>();
  oven->SetMonitor(monitor);
  int changed = 0;
  oven->SetOnChanged([&](TTervoxDevice*) { ++changed; });

  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(1) >= 2 && Rows(2) >= 2; }, 20000));
  EXPECT_TRUE(oven->Synchronized());
  EXPECT_TRUE(oven->InfoReaded());
  EXPECT_TRUE(oven->StatusReady());
  EXPECT_EQ(oven->Digit(), 1);
  EXPECT_EQ(oven->SV(), 300);
  EXPECT_DOUBLE_EQ(oven->SV_Float(), 30.0);
  EXPECT_EQ(oven->PeriodicTimeOut1(), -1000) << "the periodic time is signed";
  EXPECT_NE(oven->PV(), 32767);
  EXPECT_EQ(oven->ModelType().Name().size(), 3);
  EXPECT_FALSE(oven->DeviceData().Model.isEmpty()); // model code from the identification
  EXPECT_GE(monitor->Syncs.load(), 2);
  EXPECT_GE(monitor->Redraws.load(), 1);
  EXPECT_GE(changed, 1);

  // Disabled: no reading, no row. A port ID that matches nothing: no row.
  EXPECT_EQ(Rows(3), 0);
  EXPECT_EQ(Rows(4), 0);
  EXPECT_FALSE(DeviceList()->GetDeviceByID(3)->StatusReady());
  EXPECT_FALSE(DeviceList()->GetDeviceByID(4)->StatusReady());

  // The history row carries the scaled set value.
  auto last = GetDatabase()->GetTable(QStringLiteral("SELECT SV, Digit FROM DeviceData WHERE DeviceID = 1"));
  EXPECT_DOUBLE_EQ(last->GetFields(0)->AsFloat(), 30.0);
  EXPECT_EQ(last->GetFields(1)->AsInteger(), 1);
  last.reset();

  TTervoxDevice::StopThread();
  EXPECT_EQ(DeviceList()->Count(), 0);
  const int rowsAfterStop = Rows(1);
  QTest::qWait(1500);
  EXPECT_EQ(Rows(1), rowsAfterStop); // nothing polls any more
}

TEST_F(PollingTest, SilentControllerLosesAndRegainsSync) {
  TTervoxDevice::StartThread();
  std::shared_ptr<TTervoxDevice> kiln = DeviceList()->SharedDeviceByID(2);
  ASSERT_TRUE(QTest::qWaitFor([&] { return kiln->Synchronized() && kiln->StatusReady(); }, 20000));
  const QString model = kiln->DeviceData().Model;

  line->SetFault(2, TSimFault::Silent, true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !kiln->Synchronized(); }, 20000));
  EXPECT_EQ(kiln->PV(), 32767);
  EXPECT_EQ(kiln->SV(), 32767);
  EXPECT_EQ(kiln->Out1(), 32767);
  const int rows = Rows(2);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(2) > rows; }, 20000));
  auto silent = GetDatabase()->GetTable(QStringLiteral("SELECT PV FROM DeviceData WHERE DeviceID = 2 ORDER BY ReadTime DESC"));
  EXPECT_EQ(silent->GetFields(0)->AsFloat(), 32767.0);
  silent.reset();
  // The other controller on the line keeps answering.
  EXPECT_TRUE(DeviceList()->GetDeviceByID(1)->Synchronized());

  line->SetFault(2, TSimFault::Silent, false);
  ASSERT_TRUE(QTest::qWaitFor([&] { return kiln->Synchronized() && kiln->PV() != 32767; }, 20000));
  EXPECT_EQ(kiln->DeviceData().Model, model);
  TTervoxDevice::StopThread();
}

TEST_F(PollingTest, RunStopChangeOpensTheWindowAndRestartsTheLamps) {
  TTervoxDevice::StartThread();
  std::shared_ptr<TTervoxDevice> oven = DeviceList()->SharedDeviceByID(1);
  auto monitor = std::make_shared<CountingMonitor>();
  oven->SetMonitor(monitor);
  // Settle: the first reads set the RUN state and the window closes.
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->StatusReady() && !oven->RunChanged(); }, 20000));
  const int resets = monitor->Resets.load();
  const bool wasRunning = oven->IsRun();
  line->Execute(QStringLiteral("set 1 390 %1").arg(wasRunning ? 1 : 0));
  // The flag and the window open in the same cycle, after the registers.
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->IsRun() != wasRunning && oven->RunChanged(); }, 20000));
  EXPECT_GT(monitor->Resets.load(), resets);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !oven->RunChanged(); }, 20000));
  EXPECT_GE(monitor->Restores.load(), 1);
  TTervoxDevice::StopThread();
}

TEST_F(PollingTest, PollingOutlivesFailingRequests) {
  std::mutex lock;
  QStringList problems; // what the status bar would show
  SetDatabaseProblemNotifier([&](const QString& AProblem) {
    std::lock_guard<std::mutex> guard(lock);
    problems << AProblem;
  });
  TTervoxDevice::StartThread();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(1) >= 1; }, 20000));
  // Every history insert fails now: each request ends with an error.
  GetDatabase()->ExecSQL(QStringLiteral("ALTER TABLE DeviceData RENAME TO DeviceDataAway"));
  QTest::qWait(2500);
  GetDatabase()->ExecSQL(QStringLiteral("ALTER TABLE DeviceDataAway RENAME TO DeviceData"));
  const int rows = Rows(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(1) > rows; }, 20000)) << "the periodic read did not come back";
  TTervoxDevice::StopThread();
  SetDatabaseProblemNotifier({});
  // Reported once when it began, cleared once when writing worked again.
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(problems, (QStringList{QStringLiteral("Readings cannot be stored: no such table: DeviceData"), QString()}));
}

TEST_F(PollingTest, ClearedListsNeverFreeWhatTheWorkerUses) {
  TTervoxDevice::StartThread();
  std::shared_ptr<TTervoxDevice> oven = DeviceList()->SharedDeviceByID(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->Synchronized(); }, 20000));
  // A request still queued after the lists are gone keeps its device and
  // port alive and runs harmlessly.
  std::shared_ptr<TDqComPort> port = oven->SharedPort();
  ASSERT_NE(port, nullptr);
  std::atomic<bool> done{false};
  oven->ReadStatus([&] { done = true; });
  PortList()->Clear();
  DeviceList()->Clear();
  ASSERT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 20000));
  EXPECT_EQ(oven->DeviceName(), QStringLiteral("Oven"));
  TTervoxDevice::StopThread();
}

// A busy window (a long print, a slow disk) holds the UI thread: polling
// runs on its line worker's own clock and goes on recording, and once the
// window is free again no burst of rows makes up for anything.
TEST_F(PollingTest, RecordingGoesOnWhileTheUIThreadIsHeld) {
  TTervoxDevice::StartThread();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(1) >= 1 && Rows(2) >= 1; }, 20000));
  const int oven = Rows(1), kiln = Rows(2);
  std::this_thread::sleep_for(std::chrono::seconds(5)); // no event of this thread runs
  EXPECT_GE(Rows(1) - oven, 3);
  EXPECT_GE(Rows(2) - kiln, 3);
  const int ovenAfter = Rows(1);
  QTest::qWait(2000);
  EXPECT_LE(Rows(1) - ovenAfter, 4);
  TTervoxDevice::StopThread();
}

// Lines are separate wires: four silent controllers on a second line cost
// the first line's controllers nothing.
TEST_F(PollingTest, SilentLineDoesNotSlowAnotherLine) {
  TSimControllerLine far(dir.Path(QStringLiteral("line1")), std::vector<int>{1, 2, 3, 4});
  ASSERT_TRUE(far.Start());
  for (int address = 1; address <= 4; ++address) far.SetFault(address, TSimFault::Silent, true);
  std::vector<tervox_test::StationController> farControllers;
  for (int address = 1; address <= 4; ++address)
    farControllers.push_back({QStringLiteral("Far %1").arg(address), address, true, 2});
  tervox_test::WriteStation(far.LinkPath(), QStringLiteral("Line 2"), farControllers);
  TTervoxDevice::StartThread();
  ASSERT_NE(DeviceList()->GetDeviceByID(1)->Worker(), DeviceList()->GetDeviceByID(5)->Worker());
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(1) >= 1 && Rows(5) >= 1; }, 20000));
  const int oven = Rows(1);
  QTest::qWait(6000);
  // About six; sharing one worker with the silent line gives two.
  EXPECT_GE(Rows(1) - oven, 4);
  EXPECT_FALSE(DeviceList()->GetDeviceByID(5)->Synchronized());
  EXPECT_TRUE(TTervoxDevice::StopThread());
}

TEST_F(PollingTest, StopIsPromptWhileTheWorkerHandsOff) {
  // The worker keeps handing work to the main window around the stop (a
  // new alarm, a lost controller) while the UI thread, stopping, runs no
  // events: no hand-off may wait for it, and none runs after the stop.
  std::atomic<bool> started{false};
  std::atomic<int> handOffs{0};
  std::atomic<int> ran{0};
  std::atomic<int> dropped{0};
  LineWorker(1)->AddEvent(QStringLiteral("HandOffs"), [&](TDqEventData*) {
    started = true;
    for (int i = 0; i < 3; ++i) {
      HandOffToMain([&] { ++ran; }, [&] { ++dropped; });
      ++handOffs;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }, this);
  for (int i = 0; i < 500 && !started; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(started.load());
  TTervoxDevice::StartThread();
  EXPECT_TRUE(TTervoxDevice::StopThread()) << "the worker did not become idle";
  EXPECT_EQ(handOffs.load(), 3);
  QCoreApplication::processEvents();
  EXPECT_EQ(ran.load(), 0) << "work handed over before the stop ran after it";
  EXPECT_EQ(dropped.load(), 3);
}

TEST_F(PollingTest, ExitWithoutAnEventLoopCompletes) {
  // An alarming controller and a silent one hand work to a main window
  // whose event loop has already ended: freeing the engine still returns.
  struct Main : TTervoxMainLink {
    void DeviceLost(int) override {}
    void DeviceAlarm(std::unique_ptr<TTervoxAlarmMessage>) override {}
  } main;
  SetMainLink(&main);
  TTervoxDevice::StartThread();
  std::shared_ptr<TTervoxDevice> oven = DeviceList()->SharedDeviceByID(1);
  std::shared_ptr<TTervoxDevice> kiln = DeviceList()->SharedDeviceByID(2);
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->Synchronized() && kiln->Synchronized(); }, 20000));
  line->WithController(1, [](TSimController& c) {
    c.SetRegister(1280, 1); // EV1 high alarm
    c.SetRegister(1281, 0); // at 0.0: on at once
  });
  line->SetFault(2, TSimFault::Silent, true);
  // No events processed from here on, as after the event loop has ended;
  // the reads that raise the alarm and the loss are already queued.
  for (int i = 0; i < 3; ++i) {
    oven->ReadStatus({});
    kiln->ReadStatus({});
  }
  for (int i = 0; i < 300 && !oven->IsEV1(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(oven->IsEV1());
  FreeEngineObjects();
  SetMainLink(nullptr);
  EXPECT_EQ(DeviceList(), nullptr);
  CreateEngineObjects(); // for TearDown
}

TEST_F(PollingTest, UnpluggedLineComesBackWithoutARefresh) {
  TTervoxDevice::StartThread();
  std::shared_ptr<TTervoxDevice> oven = DeviceList()->SharedDeviceByID(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->Synchronized() && oven->SV() == 300; }, 20000));

  line->Unplug();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !oven->Synchronized(); }, 20000));
  // While the line is gone the rows say "no value", never the last reading.
  const int rows = Rows(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(1) >= rows + 2; }, 20000));
  auto last = GetDatabase()->GetTable(
      QStringLiteral("SELECT SV FROM DeviceData WHERE DeviceID = 1 ORDER BY ReadTime DESC LIMIT 1"));
  EXPECT_EQ(last->GetFields(0)->AsFloat(), 32767.0);
  last.reset();

  line->Replug();
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->Synchronized() && oven->SV() == 300; }, 20000))
      << "polling did not reopen the port by its path";
  // The vanished terminal is not kept open.
  const QDir fds(QStringLiteral("/proc/self/fd"));
  for (const QFileInfo& fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot))
    EXPECT_FALSE(fd.symLinkTarget().endsWith(QStringLiteral(" (deleted)")) &&
                 fd.symLinkTarget().startsWith(QStringLiteral("/dev/pts/")))
        << fd.symLinkTarget().toStdString();
  TTervoxDevice::StopThread();
}

TEST_F(PollingTest, SilentControllerCostsOneSingleReadACycle) {
  // Both block reads and the first single read fail: the remaining single
  // reads are skipped, so the neighbours are not kept waiting.
  TTervoxDevice::StartThread();
  std::shared_ptr<TTervoxDevice> kiln = DeviceList()->SharedDeviceByID(2);
  ASSERT_TRUE(QTest::qWaitFor([&] { return kiln->Synchronized(); }, 20000));
  line->SetFault(2, TSimFault::Silent, true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !kiln->Synchronized(); }, 20000));
  const int rows = Rows(2);
  const int before = line->RequestCount(2);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(2) >= rows + 3; }, 30000));
  const int cycles = Rows(2) - rows;
  const int requests = line->RequestCount(2) - before;
  EXPECT_LE(requests, 3 * (cycles + 1)) << requests << " requests in " << cycles << " cycles";
  EXPECT_EQ(kiln->EV1(), 32767);
  TTervoxDevice::StopThread();
}

} // namespace

namespace {

TEST_F(PollingTest, SilentControllerKeepsItsStoredModelCode) {
  line->SetFault(2, TSimFault::Silent, true);
  GetDatabase()->ExecSQL(QStringLiteral("UPDATE Device SET Model = 'TVXBD-KRF/L-NN-NNNN5N' WHERE ID = 2"));
  TTervoxDevice::StartThread();
  std::shared_ptr<TTervoxDevice> kiln = DeviceList()->SharedDeviceByID(2);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(2) >= 1; }, 20000));
  EXPECT_FALSE(kiln->InfoReaded());
  EXPECT_EQ(kiln->DeviceData().Model, QStringLiteral("TVXBD-KRF/L-NN-NNNN5N"));
  TTervoxDevice::StopThread();
}

} // namespace

namespace {

TEST_F(PollingTest, ControlWritesAndTogglesReachTheController) {
  TTervoxDevice::StartThread();
  std::shared_ptr<TTervoxDevice> oven = DeviceList()->SharedDeviceByID(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->Synchronized() && oven->IsRun(); }, 20000));
  auto reg = [&](int AAddress) {
    int value = -1;
    line->WithController(1, [&](TSimController& c) { value = c.Register(static_cast<std::uint16_t>(AAddress)); });
    return value;
  };

  // The write, then a status read: the flag follows without waiting a cycle.
  bool notified = false;
  oven->SetOnChanged([&](TTervoxDevice*) { notified = true; });
  oven->SetIsRun(false);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !oven->IsRun() && notified; }, 20000));
  EXPECT_EQ(reg(390), 1);

  oven->ToggleRun(); // stopped: run again
  ASSERT_TRUE(QTest::qWaitFor([&] { return reg(390) == 0; }, 20000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->IsRun(); }, 20000));
  oven->ToggleAT();
  ASSERT_TRUE(QTest::qWaitFor([&] { return reg(388) == 1; }, 20000));

  // The request is named in the debug listing as "WriteRegAddress" and the
  // register in hexadecimal.
  struct Memo : TDqEventMemo {
    void Clear() override {}
    void Add(const QString& ALine) override {
      std::lock_guard<std::mutex> guard(Mutex);
      Lines << ALine;
    }
    std::mutex Mutex;
    QStringList Lines;
  } memo;
  oven->Worker()->SetWorkMemo(&memo);
  std::atomic<bool> written{false};
  oven->WriteReg(408, 2, [&] { written = true; }, {});
  ASSERT_TRUE(QTest::qWaitFor([&] { return written.load(); }, 20000));
  oven->Worker()->SetWorkMemo(nullptr);
  {
    std::lock_guard<std::mutex> guard(memo.Mutex);
    EXPECT_FALSE(memo.Lines.filter(QStringLiteral(": WriteRegAddress0198 @")).isEmpty()) << memo.Lines.join('|').toStdString();
  }
  TTervoxDevice::StopThread();
}

} // namespace
