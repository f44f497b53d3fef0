// Alarms and lost-connection alerts against a simulated controller and a
// simulated GSM modem on real pseudo-terminals.
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "sim/Sim_Modem.h"
#include "StationTestSupport.h"
#include "TestSupport.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Alerts.h"
#include "store/Main_Database.h"

#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

// The main window's part: records what the engine hands over.
class RecordingMain : public TTervoxMainLink {
public:
  void DeviceLost(int ADeviceID) override {
    Lost.push_back(ADeviceID);
    if (KeepAlertOpen) return; // nobody at the screen: the test closes it
    if (WhileAlertOpen) WhileAlertOpen(); // the alert is modal: work done meanwhile runs here
    // As the alert's "Disable for 1 min." button and its closing do.
    TervoxAlerts::SetLossAlertSilence(60);
    TervoxAlerts::SetLastLossAlertTime(Now());
    TervoxAlerts::SetLossAlertShowing(false);
  }
  std::function<void()> WhileAlertOpen;
  bool KeepAlertOpen = false;
  void DeviceAlarm(std::unique_ptr<TTervoxAlarmMessage> AMessage) override { Alarms.push_back(*AMessage); }
  std::vector<int> Lost;
  std::vector<TTervoxAlarmMessage> Alarms;
};

class AlarmTest : public ::testing::Test {
protected:
  // AMode/APoint: event 1's operation mode and raw point on the controller.
  void Start(int AMode, int APoint, int ASendAgain, bool AAlertEV1) {
    SetDatabaseFileName(dir.Path(QStringLiteral("alarm.db")));
    line = std::make_unique<TSimControllerLine>(dir.Path(QStringLiteral("line")), std::vector<int>{1, 2});
    ASSERT_TRUE(line->Start());
    line->WithController(1, [&](TSimController& c) {
      c.SetRegister(1280, static_cast<std::uint16_t>(AMode));
      c.SetRegister(1281, static_cast<std::uint16_t>(APoint));
      c.SetRegister(1288, 0); // the other events stay quiet
      c.SetRegister(1296, 0);
    });
    line->WithController(2, [&](TSimController& c) { // a quiet neighbour on the line
      for (std::uint16_t mode : {1280, 1288, 1296}) c.SetRegister(mode, 0);
    });
    modem = std::make_unique<TSimModem>(dir.Path(QStringLiteral("gsm")));
    ASSERT_TRUE(modem->Start());

    tervox_test::WriteStation(line->LinkPath(), QStringLiteral("Line"),
                              {{QStringLiteral("Oven"), 1}, {QStringLiteral("Kiln"), 2}});
    TSQLiteDatabase* db = GetDatabase();
    db->ExecSQL(QStringLiteral("INSERT INTO DeviceGroup (Name) VALUES ('Shift')"));
    db->ExecSQL(QStringLiteral("INSERT INTO DeviceGroupItem VALUES (1, 1), (1, 2)"));
    db->ExecSQL(QStringLiteral("INSERT INTO DeviceGroupMobile VALUES (1, '0822222222', 'B'), (1, '0811111111', 'A')"));
    Config()->SetValueInt(QStringLiteral("SMSSendAgain"), ASendAgain);
    Config()->SetValueBool(QStringLiteral("AlertEV1"), AAlertEV1);
    Config()->SetValues(QStringLiteral("SMSPort"), modem->LinkPath());
    Config()->SetValues(QStringLiteral("SMSProvider"), QStringLiteral("AIS"));

    CreateEngineObjects();
    SetMainLink(&main);
    TTervoxDevice::OpenSMS();
    TTervoxDevice::StartThread();
  }

  void TearDown() override {
    FreeEngineObjects();
    SetMainLink(nullptr);
    modem.reset();
    line.reset();
    FreeDatabase();
    SetDatabaseFileName(QString());
  }

  int Rows(int ADeviceID) {
    return static_cast<int>(GetDatabase()->GetTableValue(
        QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID = %1").arg(ADeviceID)));
  }

  // Loss messages sent so far for the controller named ADevice.
  int LossMessages(const QString& ADevice) {
    int count = 0;
    for (const auto& sms : modem->Sent())
      if (sms.Text.startsWith(ADevice + QStringLiteral(" Loss signal\r\n"))) ++count;
    return count;
  }

  int LogLines(const QString& ADetail) {
    return static_cast<int>(GetDatabase()->GetTableValue(
        QStringLiteral("SELECT count(*) FROM UsageLog WHERE Detail = '%1'").arg(ADetail)));
  }

  tervox_test::TempDir dir;
  std::unique_ptr<TSimControllerLine> line;
  std::unique_ptr<TSimModem> modem;
  RecordingMain main;
};

TEST_F(AlarmTest, RunSignalEventIsLoggedButRaisesNoAlarm) {
  Start(8, 0, 0, true); // EV1 follows RUN: on at once
  ASSERT_TRUE(QTest::qWaitFor([&] { return LogLines(QStringLiteral("EV1 changed")) >= 1; }, 20000));
  auto log = GetDatabase()->GetTable(QStringLiteral("SELECT EVStatus, DeviceName FROM UsageLog WHERE Detail = 'EV1 changed'"));
  EXPECT_EQ(log->GetFields(0)->AsString(), QStringLiteral("ON"));
  log.reset();
  // Re-evaluated every 2 to 3 seconds, each time logged again.
  ASSERT_TRUE(QTest::qWaitFor([&] { return LogLines(QStringLiteral("EV1 changed")) >= 2; }, 20000));
  EXPECT_TRUE(main.Alarms.empty());
  EXPECT_TRUE(modem->Sent().empty());
}

TEST_F(AlarmTest, AlarmOpensOneWindowAndTellsEveryNumberOnce) {
  Start(1, static_cast<std::uint16_t>(-1000), 5, false); // high alarm far below PV: on at once
  ASSERT_TRUE(QTest::qWaitFor([&] { return !main.Alarms.empty(); }, 20000));
  const TTervoxAlarmMessage alarm = main.Alarms.front();
  EXPECT_EQ(alarm.DeviceID, 1);
  EXPECT_EQ(alarm.Slot, 0);
  EXPECT_TRUE(alarm.Text.startsWith(QStringLiteral("Oven EV1 High Alarm "))) << alarm.Text.toStdString();
  EXPECT_TRUE(alarm.Text.contains(QStringLiteral("\r\nTime  "))) << alarm.Text.toStdString();
  std::shared_ptr<TTervoxDevice> oven = DeviceList()->SharedDeviceByID(1);
  EXPECT_EQ(oven->Alarming1(), 1);

  // One message to each number of the device's groups, last number first.
  ASSERT_TRUE(QTest::qWaitFor([&] { return modem->Sent().size() >= 2; }, 60000));
  const auto sent = modem->Sent();
  EXPECT_EQ(sent[0].Number, QStringLiteral("0822222222"));
  EXPECT_EQ(sent[1].Number, QStringLiteral("0811111111"));
  EXPECT_TRUE(sent[0].Text.contains(QStringLiteral(" Alarm: Oven EV1 High Alarm "))) << sent[0].Text.toStdString();

  // Re-evaluations while unacknowledged: no second window, and no second
  // message within the 5 minutes.
  QTest::qWait(5000);
  EXPECT_EQ(main.Alarms.size(), 1u);
  EXPECT_EQ(modem->Sent().size(), 2u);
  oven->SetAlarming(0, 2); // the user confirmed the window
  QTest::qWait(3000);
  EXPECT_EQ(main.Alarms.size(), 1u);
  EXPECT_EQ(oven->Alarming1(), 2);

  // Off and on again: a new alarm.
  line->WithController(1, [](TSimController& c) { c.SetRegister(1281, 30000); });
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->Alarming1() == 0; }, 20000));
  line->WithController(1, [](TSimController& c) { c.SetRegister(1281, static_cast<std::uint16_t>(-1000)); });
  ASSERT_TRUE(QTest::qWaitFor([&] { return main.Alarms.size() == 2; }, 20000));
}

TEST_F(AlarmTest, LostConnectionAlertsOnceAndSendsTheLossText) {
  Start(0, 0, 0, false);
  std::shared_ptr<TTervoxDevice> oven = DeviceList()->SharedDeviceByID(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->Synchronized() && oven->StatusReady(); }, 20000));
  line->SetFault(1, TSimFault::Silent, true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !main.Lost.empty(); }, 20000));
  EXPECT_EQ(main.Lost.front(), 1);
  // The worker clears the flag once the main window has handled the alert.
  EXPECT_TRUE(QTest::qWaitFor([] { return !TervoxAlerts::LossAlertShowing(); }, 5000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return modem->Sent().size() >= 2; }, 60000));
  EXPECT_TRUE(modem->Sent()[0].Text.startsWith(QStringLiteral("Oven Loss signal\r\n"))) << modem->Sent()[0].Text.toStdString();
  // Silenced for a minute: no second alert meanwhile.
  QTest::qWait(3000);
  EXPECT_EQ(main.Lost.size(), 1u);
  // Coming back cancels the silence.
  line->SetFault(1, TSimFault::Silent, false);
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->Synchronized(); }, 20000));
  EXPECT_TRUE(QTest::qWaitFor([] { return TervoxAlerts::LossAlertSilence() == 0; }, 5000));
}

TEST_F(AlarmTest, OpenAlertKeepsPollingAndLogoutStillCompletes) {
  Start(0, 0, 0, false);
  std::shared_ptr<TTervoxDevice> oven = DeviceList()->SharedDeviceByID(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->Synchronized() && Rows(2) >= 1; }, 20000));
  bool stopped = false;
  int kilnRowsWhileOpen = -1;
  int ovenRowsWhileOpen = -1;
  main.WhileAlertOpen = [&] {
    // Nobody closes the alert for a while: every controller is still read
    // and recorded, the silent one with "no value" rows.
    const int kiln = Rows(2);
    const int silent = Rows(1);
    QTest::qWait(3000);
    kilnRowsWhileOpen = Rows(2) - kiln;
    ovenRowsWhileOpen = Rows(1) - silent;
    // The user logs out with the alert still open: polling stops anyway.
    EXPECT_TRUE(TTervoxDevice::StopThread());
    stopped = true;
  };
  line->SetFault(1, TSimFault::Silent, true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return stopped; }, 30000));
  EXPECT_GE(kilnRowsWhileOpen, 2);
  EXPECT_GE(ovenRowsWhileOpen, 1);
  EXPECT_EQ(main.Lost.size(), 1u) << "one alert at a time";
  EXPECT_EQ(DeviceList()->Count(), 0);
}

// Each controller's loss message follows its own state: an alert left
// open for one controller does not silence the next one's message, while
// the alert windows still come one at a time.
TEST_F(AlarmTest, SecondLostControllerIsTextedWhileTheFirstAlertStaysOpen) {
  main.KeepAlertOpen = true;
  Start(0, 0, 999, false); // repeats far apart: only "just lost" sends
  std::shared_ptr<TTervoxDevice> kiln = DeviceList()->SharedDeviceByID(2);
  ASSERT_TRUE(QTest::qWaitFor([&] { return kiln->Synchronized() && Rows(1) >= 1; }, 20000));
  line->SetFault(1, TSimFault::Silent, true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return main.Lost.size() == 1; }, 20000));
  EXPECT_EQ(main.Lost.front(), 1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return LossMessages(QStringLiteral("Oven")) >= 1; }, 60000));

  line->SetFault(2, TSimFault::Silent, true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !kiln->Synchronized(); }, 20000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return LossMessages(QStringLiteral("Kiln")) >= 1; }, 60000))
      << "the Oven's open alert silenced the Kiln's loss message";
  QTest::qWait(2000);
  EXPECT_EQ(main.Lost, std::vector<int>{1}) << "one alert window at a time";

  // The Oven answers again and its alert is closed: the Kiln's comes next.
  // Answered rows, not the flag: a read under way sets it before it knows.
  auto answered = [] {
    return GetDatabase()->GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID = 1 AND PV <> 32767"));
  };
  const std::int64_t answeredBefore = answered();
  line->SetFault(1, TSimFault::Silent, false);
  ASSERT_TRUE(QTest::qWaitFor([&] { return answered() >= answeredBefore + 2; }, 20000));
  TervoxAlerts::SetLossAlertShowing(false);
  ASSERT_TRUE(QTest::qWaitFor([&] { return main.Lost.size() >= 2; }, 20000));
  EXPECT_EQ(main.Lost, (std::vector<int>{1, 2}));
}

// A database that refuses every row (another program holds its write lock)
// costs the rows of that time, never the alarm: the window and the message
// still come, the status bar says so, and recording resumes by itself.
TEST_F(AlarmTest, AlarmComesWhileTheDatabaseRefusesRows) {
  Start(1, 30000, 5, false); // high alarm far above PV: off for now
  QStringList problems;
  SetDatabaseProblemNotifier([&](const QString& AProblem) { problems << AProblem; });
  std::shared_ptr<TTervoxDevice> oven = DeviceList()->SharedDeviceByID(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->StatusReady() && Rows(1) >= 1; }, 20000));

  TSQLiteDatabase other;
  other.SetFileName(GetDatabaseFileName());
  other.Open();
  other.ExecSQL(QStringLiteral("BEGIN IMMEDIATE"));
  const int rowsBefore = Rows(1);
  line->WithController(1, [](TSimController& c) { c.SetRegister(1281, static_cast<std::uint16_t>(-1000)); });
  ASSERT_TRUE(QTest::qWaitFor([&] { return !main.Alarms.empty(); }, 20000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return modem->Sent().size() >= 2; }, 60000));
  EXPECT_TRUE(modem->Sent()[0].Text.contains(QStringLiteral(" Alarm: Oven EV1 High Alarm ")));
  EXPECT_EQ(Rows(1), rowsBefore) << "no row while the lock is held";
  ASSERT_FALSE(problems.isEmpty());
  EXPECT_TRUE(problems.front().startsWith(QStringLiteral("Readings cannot be stored: "))) << problems.front().toStdString();

  other.ExecSQL(QStringLiteral("ROLLBACK"));
  other.Close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows(1) >= rowsBefore + 2; }, 20000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return !problems.isEmpty() && problems.back().isEmpty(); }, 5000));
  EXPECT_EQ(main.Alarms.size(), 1u);
  SetDatabaseProblemNotifier({});
}

} // namespace
