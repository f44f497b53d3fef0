// The main window beside a recorder: it attaches instead of polling, shows
// the recorder's reads on its panels, forwards settings writes and shows
// the alarms the recorder raises; it survives the recorder's death and
// never polls the line itself. Without a recorder it polls and holds the
// database, so a recorder started meanwhile refuses.
#include "StationTestSupport.h"
#include "ui/dialogs/Form_Alert.h"
#include "ui/dialogs/Form_DialogAlarm.h"
#include "ui/dialogs/Form_Fix.h"
#include "plant/Tervox_DeviceRequests.h"
#include "widgets/Tervox_Monitor.h"
#include "store/Tervox_StationLock.h"
#include "ui/pages/Frame_Monitor.h"
#include "ui/shell/Form_Login.h"
#include "ui/shell/Form_Main.h"
#include "ui/LoginTestSupport.h"

#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

using tervox_test::LoginAs;
using tervox_test::ModalAnswers;
using tervox_test::RecorderProcess;
using tervox_test::SimulatorProcess;
using tervox_test::TestDatabase;

namespace {

QString UsageDetails() {
  QStringList lines;
  auto table = GetDatabase()->GetTable(QStringLiteral("SELECT Detail FROM UsageLog ORDER BY LogTime"));
  for (; !table->Eof(); table->Next()) lines << table->GetFields(0)->AsString();
  return lines.join(QLatin1Char('|'));
}

TTervoxMonitor* PanelOf(TFormMain& AForm, int AIndex) {
  auto* page = AForm.GetFrame<TFrameMonitor>();
  return page && page->Monitors() && page->Monitors()->Count() > AIndex ? page->Monitors()->Monitors(AIndex) : nullptr;
}

class StationWindow : public ::testing::Test {
protected:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("TERVOX_BIN_DIR")) GTEST_SKIP() << "run through ctest";
    sim = std::make_unique<SimulatorProcess>(dir.Path(QStringLiteral("BUS")), QStringLiteral("1,2"));
    ASSERT_TRUE(sim->Started());
    tervox_test::WriteStation(sim->LinkPath(), {1, 2});
  }

  tervox_test::TempDir dir;
  TestDatabase database;
  std::unique_ptr<SimulatorProcess> sim;
};

TEST_F(StationWindow, AttachedWindowShowsTheRecordersReadsWritesThroughItAndShowsItsAlarms) {
  auto recorder = std::make_unique<RecorderProcess>(database.FileName());
  ASSERT_TRUE(recorder->Serving()) << recorder->Journal().toStdString();
  const qint64 recorderPID = recorder->PID();

  TFormMain form;
  ASSERT_TRUE(LoginAs(form));
  ASSERT_TRUE(form.Attached());
  const QString attached = QStringLiteral("Attached to the recorder (process %1)").arg(recorderPID);
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.StationText() == attached; }, 20000)) << form.StationText().toStdString();

  // Live panels: a set value changed on the controller reaches the panel.
  ASSERT_TRUE(sim->Do(QStringLiteral("set 1 768 1234")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return PanelOf(form, 1) != nullptr; }, 10000));
  TTervoxMonitor* panel = PanelOf(form, 0);
  ASSERT_NE(panel, nullptr);
  ASSERT_NE(panel->Device(), nullptr);
  EXPECT_TRUE(QTest::qWaitFor([&] { return panel->Device()->SV() == 1234 && panel->Device()->Synchronized(); }, 20000))
      << panel->Device()->SV();
  EXPECT_TRUE(QTest::qWaitFor([&] { return panel->ShowSync(); }, 5000)) << "the sync lamp lights with each read";
  // The window opens nothing of the line, and holds no lock of its own.
  EXPECT_EQ(tervox_test::OpenDescriptorsOf(sim->DevicePath()), 0);
  EXPECT_EQ(TTervoxStationLock::OtherHolder(database.FileName()).PID, recorderPID);

  // FIX through the dialog: the write goes over the recorder's line.
  {
    std::shared_ptr<TTervoxDevice> device = DeviceList()->SharedDeviceByID(1);
    TFormFix dialog;
    dialog.SetDevice(device);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.EditSV(1)->isEnabled() && !dialog.EditSV(1)->text().isEmpty(); },
                                20000));
    QLineEdit* edit = dialog.EditSV(1);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("77.7"));
    QTest::keyClick(edit, Qt::Key_Return);
    tervox_test::Click(dialog.ButtonOK());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 20000));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
  }
  EXPECT_EQ(sim->Register(1, 769), 777);
  EXPECT_TRUE(QTest::qWaitFor([&] { return UsageDetails().contains(QStringLiteral("WriteFix by Administrator (admin)")); },
                              10000))
      << UsageDetails().toStdString();

  // A failed write names its register, as when the window polls itself;
  // the controller's loss raises the Alert here, and its silence goes back.
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) {
      tervox_test::Click(ADialog->findChild<QPushButton*>(QStringLiteral("Button1Min")));
    });
    ASSERT_TRUE(sim->Do(QStringLiteral("silent 2 on")));
    std::shared_ptr<TTervoxDevice> device = DeviceList()->SharedDeviceByID(2);
    TTervoxFixData data;
    for (TTervoxFixSV& sv : data.SV) sv = {kUnchangedFloat, kNoValue, kNoValue};
    data.SVNumber = kNoValue;
    data.SV[2].SV = 12.5;
    std::optional<TTervoxWriteResult> result;
    WriteFix(*device, data, [&](const TTervoxWriteResult& AResult) { result = AResult; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 30000));
    EXPECT_FALSE(result->Success);
    EXPECT_EQ(result->Message(), QStringLiteral("Failed to write to the controller: register 770."));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !answers.Texts.isEmpty(); }, 20000));
    EXPECT_EQ(answers.Texts, QStringList{QStringLiteral("Alert")});
    ASSERT_TRUE(sim->Do(QStringLiteral("silent 2 off")));
  }
  EXPECT_TRUE(recorder->WaitFor(QStringLiteral("loss alert silenced for 60 s")));

  // An event output switching on opens the alarm window here.
  ASSERT_TRUE(sim->Do(QStringLiteral("set 1 1281 -1000")));
  TFormDialogAlarm* alarm = nullptr;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        const auto alarms = form.findChildren<TFormDialogAlarm*>();
        alarm = alarms.isEmpty() ? nullptr : alarms.first();
        return alarm && alarm->isVisible();
      },
      20000));
  EXPECT_TRUE(alarm->Text().startsWith(QStringLiteral("C1 EV1 High Alarm"))) << alarm->Text().toStdString();
  tervox_test::Click(alarm->ButtonOK());

  // The recorder dies: the window says so, keeps its pages, never polls.
  recorder->Kill();
  const QString gone = QStringLiteral("Recorder (process %1) gone: waiting for it to return").arg(recorderPID);
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.StationText() == gone; }, 20000)) << form.StationText().toStdString();
  EXPECT_NE(PanelOf(form, 0), nullptr);
  QTest::qWait(1500);
  EXPECT_EQ(tervox_test::OpenDescriptorsOf(sim->DevicePath()), 0);
  EXPECT_FALSE(TTervoxStationLock::OtherHolder(database.FileName()).Held());

  // Back (as the service manager restarts it): attached again, live again.
  recorder = std::make_unique<RecorderProcess>(database.FileName());
  ASSERT_TRUE(recorder->Serving()) << recorder->Journal().toStdString();
  const QString again = QStringLiteral("Attached to the recorder (process %1)").arg(recorder->PID());
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.StationText() == again; }, 20000)) << form.StationText().toStdString();
  ASSERT_TRUE(sim->Do(QStringLiteral("set 1 768 1111")));
  panel = PanelOf(form, 0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return panel->Device()->SV() == 1111; }, 20000));

  // Logging out leaves the recorder recording.
  form.Logout();
  EXPECT_TRUE(form.StationText().isEmpty());
  QTest::qWait(200);
  EXPECT_TRUE(recorder->Running());
  EXPECT_EQ(TTervoxStationLock::OtherHolder(database.FileName()).PID, recorder->PID());
  form.close();
}

TEST_F(StationWindow, AWindowThatPollsHoldsTheDatabaseAndARecorderRefuses) {
  TFormMain form;
  ASSERT_TRUE(LoginAs(form));
  EXPECT_FALSE(form.Attached());
  EXPECT_TRUE(form.StationText().isEmpty());
  ASSERT_TRUE(QTest::qWaitFor([&] { return tervox_test::OpenDescriptorsOf(sim->DevicePath()) > 0; }, 20000));

  RecorderProcess recorder(database.FileName());
  EXPECT_EQ(recorder.Finished(), 1);
  EXPECT_TRUE(recorder.Journal().contains(
      QStringLiteral("is already recorded by process %1 (tervox)").arg(QCoreApplication::applicationPid())))
      << recorder.Journal().toStdString();

  // Logged out, the window lets go: a recorder starts.
  form.Logout();
  RecorderProcess next(database.FileName());
  EXPECT_TRUE(next.Serving()) << next.Journal().toStdString();
  form.close();
}

} // namespace
