// The FIX and manual dialogs against a simulated controller, checked on the
// wire; the FIX key of a live panel in the demonstration.
#include "core/DqEvent.h"
#include "store/DqSQLite.h"
#include "widgets/DqValControl.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "ui/dialogs/Form_Debug.h"
#include "ui/dialogs/Form_Fix.h"
#include "ui/dialogs/Form_Manual.h"
#include "plant/Tervox_DeviceRequests.h"
#include "widgets/Tervox_Monitor.h"
#include "ui/shell/Main_Demo.h"
#include "ui/UiTestSupport.h"
#include "SimulatedOvenTest.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using tervox_test::Click;
using tervox_test::ModalAnswers;

class SettingsDialogTest : public SimulatedOvenTest {
protected:
  void PrepareController() override {
    // Input range -199.9 .. 999.9 at one decimal.
    line->Execute(QStringLiteral("set 1 1800 -1999"));
    line->Execute(QStringLiteral("set 1 1801 9999"));
  }

  static bool PanelReady(QFrame* APanel) { return TDqValPanelHelper(APanel).ValueEnabled(); }
};

TEST_F(SettingsDialogTest, FixDialogShowsTheControllersRangeAndWritesWhatChanged) {
  TFormFix dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Fix Mode Setting"));
  EXPECT_EQ(dialog.LabelDevice()->text(), QStringLiteral("(no device)"));
  dialog.SetDevice(oven);
  EXPECT_EQ(dialog.LabelDevice()->text(), QStringLiteral("Oven"));
  EXPECT_FALSE(PanelReady(dialog.PanelMain())); // until the read arrives
  dialog.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return PanelReady(dialog.PanelMain()); }, 20000));

  EXPECT_EQ(dialog.EditSV(0)->text(), QStringLiteral("100.0"));
  EXPECT_EQ(dialog.EditSV(1)->text(), QStringLiteral("150.0"));
  EXPECT_EQ(dialog.ComboFix()->currentText(), QStringLiteral("1"));
  TDqValEditHelper sv1(dialog.EditSV(0));
  EXPECT_DOUBLE_EQ(sv1.MinValue(), -199.9);
  EXPECT_DOUBLE_EQ(sv1.MaxValue(), 999.9);
  EXPECT_EQ(sv1.Digit(), 1);
  Type(dialog.EditSV(0), QStringLiteral("12345"));
  EXPECT_EQ(dialog.EditSV(0)->text(), QStringLiteral("999.9"));
  Type(dialog.EditPIDOut1(0), QStringLiteral("5"));
  EXPECT_EQ(dialog.EditPIDOut1(0)->text(), QStringLiteral("3"));

  Type(dialog.EditSV(0), QStringLiteral("42.5"));
  dialog.ComboFix()->setCurrentIndex(1);
  Click(dialog.ButtonOK());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 20000));
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(Writes(), (std::vector<TWrite>{{768, 425}, {2080, 3}, {384, 2}}));
}

TEST_F(SettingsDialogTest, FixDialogStaysOpenWithTheUsersValuesWhenTheWriteFails) {
  TFormFix dialog;
  dialog.SetDevice(oven);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return PanelReady(dialog.PanelMain()); }, 20000));
  Type(dialog.EditSV(1), QStringLiteral("77.7"));
  line->SetFault(1, TSimFault::Silent, true);
  {
    ModalAnswers answers;
    answers.ThenOk();
    Click(dialog.ButtonOK());
    ASSERT_TRUE(QTest::qWaitFor([&] { return answers.Texts.size() == 1; }, 20000));
    QTest::qWait(20);
    EXPECT_EQ(answers.Texts.value(0), QStringLiteral("Failed to write to the controller: register 769."));
  }
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_TRUE(PanelReady(dialog.PanelMain()));
  EXPECT_EQ(dialog.EditSV(1)->text(), QStringLiteral("77.7"));
  EXPECT_TRUE(dialog.EditSV(1)->isEnabled());

  // Back on the line: the same values go on the next OK.
  line->SetFault(1, TSimFault::Silent, false);
  Writes();
  Click(dialog.ButtonOK());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 20000));
  EXPECT_EQ(Writes(), (std::vector<TWrite>{{769, 777}}));

  // Not synchronized: refused, nothing sent.
  TFormFix again;
  again.SetDevice(oven);
  again.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return PanelReady(again.PanelMain()); }, 20000));
  oven->SetSynchronized(false);
  ModalAnswers answers;
  answers.ThenOk();
  Click(again.ButtonOK());
  ASSERT_TRUE(QTest::qWaitFor([&] { return answers.Texts.size() == 1; }, 20000));
  EXPECT_EQ(answers.Texts.value(0), QStringLiteral("Device not synchronized."));
  QTest::qWait(20);
  EXPECT_TRUE(again.isVisible());
  EXPECT_TRUE(Writes().empty());
}

TEST_F(SettingsDialogTest, ManualDialogAutoAndManual) {
  TFormManual dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Manual setting"));
  EXPECT_EQ(dialog.LabelDevice()->text(), QStringLiteral("(No device)"));
  dialog.SetDevice(oven);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return PanelReady(dialog.PanelMain()); }, 20000));
  Writes();
  Click(dialog.ButtonAuto());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 20000));
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(Writes(), (std::vector<TWrite>{{389, 0}}));

  TFormManual manual;
  manual.SetDevice(oven);
  manual.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return PanelReady(manual.PanelMain()); }, 20000));
  Type(manual.EditOut1(), QStringLiteral("150"));
  EXPECT_EQ(manual.EditOut1()->text(), QStringLiteral("100.0"));
  Type(manual.EditOut1(), QStringLiteral("35.5"));
  Click(manual.ButtonManual());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !manual.isVisible(); }, 20000));
  const std::vector<TWrite> writes = Writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0], TWrite(389, 1));
  EXPECT_EQ(writes[1], TWrite(386, 355));
  EXPECT_EQ(writes[2].first, 387);
}

TEST_F(SettingsDialogTest, DebugWindowListsTheWorkersQueue) {
  TFormDebug debug;
  EXPECT_EQ(debug.windowTitle(), QStringLiteral("(o-o)"));
  debug.show();
  line->SetFault(1, TSimFault::Slow, true);
  ReadFix(*oven, {});
  ReadManual(*oven, {});
  ASSERT_TRUE(QTest::qWaitFor([&] { return debug.Memo(3)->toPlainText().contains(QStringLiteral("ReadFix")); }, 20000));
  // Each line worker lists under its line's name.
  EXPECT_TRUE(debug.Memo(3)->toPlainText().startsWith(QStringLiteral("[Line 1]\n"))) << debug.Memo(3)->toPlainText().toStdString();
  EXPECT_TRUE(debug.Memo(0)->toPlainText().isEmpty());
  EXPECT_EQ(WaitLinesIdle(20000), 0u);
  // The second box: the picked controller's communication, live.
  ASSERT_GE(debug.ComboController()->count(), 1);
  debug.ComboController()->setCurrentIndex(debug.ComboController()->findText(oven->DeviceName()));
  ASSERT_TRUE(QTest::qWaitFor([&] {
    const QString text = debug.Memo(1)->toPlainText();
    return text.startsWith(oven->DeviceName()) && !text.contains(QStringLiteral("answers         0\n"));
  }, 20000)) << debug.Memo(1)->toPlainText().toStdString();
  EXPECT_TRUE(debug.Memo(1)->toPlainText().contains(QStringLiteral("time-outs")));
}

TEST(DemoSettings, FixKeyOpensTheDialogAndTheNewSetValueReachesThePanel) {
  TTervoxDemo demo;
  QString error;
  ASSERT_TRUE(demo.Start(&error)) << error.toStdString();
  demo.Seed();
  CreateEngineObjects();
  TTervoxDevice::StartThread();
  // The Kiln runs on its FIX set value (the Oven and the Dryer run programs).
  std::shared_ptr<TTervoxDevice> kiln = DeviceList()->SharedDeviceByID(2);
  ASSERT_EQ(kiln->DeviceName(), QStringLiteral("Kiln"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return kiln->Synchronized() && kiln->StatusReady() && kiln->InfoReaded(); }, 20000));

  TTervoxMonitorActions actions = DefaultMonitorActions();
  actions.LaunchFix = [](TTervoxDevice& ADevice) { LaunchFix(ADevice); };
  TTervoxMonitor panel;
  panel.SetActions(actions);
  panel.SetDevice(kiln.get());
  panel.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
  panel.UpdateBitmap();
  QPoint fixKey;
  for (int i = 0; i < panel.Buttons()->Count(); ++i)
    if (panel.Buttons()->Buttons(i)->Name() == QStringLiteral("BUTTON_FIX"))
      fixKey = QPoint(panel.Buttons()->Buttons(i)->Left() + 20, panel.Buttons()->Buttons(i)->Top() + 15);

  QString shownSV;
  ModalAnswers answers;
  answers.Then([&](QWidget* ADialog) {
    auto* dialog = qobject_cast<TFormFix*>(ADialog);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return TDqValPanelHelper(dialog->PanelMain()).ValueEnabled(); }, 20000));
    shownSV = dialog->EditSV(0)->text();
    dialog->EditSV(0)->setFocus();
    dialog->EditSV(0)->selectAll();
    QTest::keyClicks(dialog->EditSV(0), QStringLiteral("150"));
    QTest::keyClick(dialog->EditSV(0), Qt::Key_Return);
    Click(dialog->ButtonOK());
  });
  QTest::mouseClick(&panel, Qt::LeftButton, Qt::NoModifier, fixKey);
  EXPECT_EQ(answers.Texts.value(0), QStringLiteral("Fix Mode Setting"));
  EXPECT_EQ(shownSV, QStringLiteral("85")); // the demo kiln's FIX-SV1
  // Two polls at most.
  ASSERT_TRUE(QTest::qWaitFor([&] { return kiln->SV_Float() == 150; }, 2600));
  panel.SetDevice(nullptr);
  TTervoxDevice::StopThread();
  FreeEngineObjects();
  FreeDatabase();
  SetDatabaseFileName(QString());
}

} // namespace
