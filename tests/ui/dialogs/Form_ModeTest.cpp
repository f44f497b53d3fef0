// The "Mode Setting" dialog and its pages against a simulated controller,
// checked on the wire.
#include "core/DqEvent.h"
#include "store/DqSQLite.h"
#include "widgets/DqValControl.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "ui/dialogs/Form_Mode.h"
#include "ui/dialogs/Frame_Mode1.h"
#include "ui/dialogs/Frame_Mode2.h"
#include "ui/dialogs/Frame_Mode3.h"
#include "ui/dialogs/Frame_Mode4.h"
#include "ui/dialogs/Frame_Mode5.h"
#include "ui/dialogs/Frame_Mode6.h"
#include "ui/dialogs/Frame_ModeProgram.h"
#include "ui/dialogs/Form_ProgramSetting.h"
#include "ui/base/Form_Dialog.h"
#include "ui/base/Main_Routine.h"
#include "ui/UiTestSupport.h"
#include "SimulatedOvenTest.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QToolButton>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using tervox_test::Click;
using tervox_test::ModalAnswers;

// Presses the button of one of the program's own Yes/No/Cancel dialogs.
ModalAnswers::THandler Answer(const char* AButton) {
  return [AButton](QWidget* ADialog) {
    auto* button = ADialog->findChild<QPushButton*>(QString::fromLatin1(AButton));
    if (!button) {
      for (QPushButton* b : ADialog->findChildren<QPushButton*>())
        if (b->text().remove(QLatin1Char('&')) == QString::fromLatin1(AButton)) button = b;
    }
    Click(button);
  };
}

class ModeDialogTest : public SimulatedOvenTest {
protected:
  void SetUp() override {
    SimulatedOvenTest::SetUp();
    errors.clear();
    TFrameModeBase::ErrorSink() = [this](const QString& AText) { errors << AText; };
  }

  void TearDown() override {
    TFrameModeBase::ErrorSink() = [](const QString& AText) { ShowErrorBox(AText); };
    SimulatedOvenTest::TearDown();
  }

  // The page on show has been read and the buttons are back.
  static bool Idle(TFormMode& ADialog, int AMode) {
    return ADialog.ActiveMode() == AMode && ADialog.ButtonOK()->isEnabled() && !ADialog.Changing();
  }

  // Shows the dialog, which reads page 1, and goes on to page AMode.
  static bool ShowPage(TFormMode& ADialog, int AMode) {
    ADialog.show();
    if (!QTest::qWaitFor([&] { return Idle(ADialog, 1); }, 20000)) return false;
    if (AMode == 1) return true;
    Click(ADialog.ToolButtonMode(AMode));
    return QTest::qWaitFor([&] { return Idle(ADialog, AMode); }, 20000);
  }

  QStringList errors;
};

TEST_F(ModeDialogTest, SwitchingAwayFromAChangedPageAsks) {
  TFormMode dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Mode Setting"));
  dialog.SetDevice(oven);
  dialog.show();
  EXPECT_EQ(dialog.LabelName()->text(), QStringLiteral("Oven"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 1); }, 20000));
  auto* page1 = static_cast<TFrameMode1*>(dialog.PageFrames(1));
  EXPECT_EQ(page1->EditLower()->text(), QStringLiteral("-200.0"));
  EXPECT_EQ(page1->ComboMode()->currentText(), QStringLiteral("EEP"));

  // Cancel: page 1 stays, with the change.
  Type(page1->EditLower(), QStringLiteral("-50"));
  {
    ModalAnswers answers;
    answers.Then(Answer("Cancel"));
    Click(dialog.ToolButtonMode(2));
    EXPECT_EQ(answers.Texts.value(0), QStringLiteral("Apply mode 1 changed?"));
  }
  EXPECT_EQ(dialog.ActiveMode(), 1);
  EXPECT_EQ(page1->EditLower()->text(), QStringLiteral("-50.0"));
  EXPECT_TRUE(Writes().empty());

  // No: page 2 is read, the change is dropped.
  {
    ModalAnswers answers;
    answers.Then(Answer("No"));
    Click(dialog.ToolButtonMode(2));
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 2); }, 20000));
  EXPECT_TRUE(Writes().empty());

  // Back to page 1, change again, Yes: only the changed limit, then page 2.
  Click(dialog.ToolButtonMode(1));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 1); }, 20000));
  EXPECT_EQ(page1->EditLower()->text(), QStringLiteral("-200.0"));
  Type(page1->EditLower(), QStringLiteral("-50"));
  {
    ModalAnswers answers;
    answers.Then(Answer("Yes"));
    Click(dialog.ToolButtonMode(2));
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 2); }, 20000));
  EXPECT_EQ(Writes(), (std::vector<TWrite>{{778, -500}}));
}

TEST_F(ModeDialogTest, ApplyOnAnUnchangedPageSendsNothingAndReadsAgain) {
  TFormMode dialog;
  dialog.SetDevice(oven);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 1); }, 20000));
  line->WithController(1, [](TSimController& c) { c.TakeJournal(); });
  Click(dialog.ButtonApply());
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 1); }, 20000));
  std::vector<TSimAccess> journal;
  line->WithController(1, [&](TSimController& c) { journal = c.TakeJournal(); });
  for (const TSimAccess& a : journal) EXPECT_EQ(a.Function, 3) << a.Address;
  EXPECT_FALSE(journal.empty()); // the page was read again

  // OK writes and closes.
  auto* page1 = static_cast<TFrameMode1*>(dialog.PageFrames(1));
  page1->ComboMode()->setCurrentIndex(2);
  Click(dialog.ButtonOK());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 20000));
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(Writes(), (std::vector<TWrite>{{1554, 2}}));
}

TEST_F(ModeDialogTest, AFailedWriteKeepsThePageAndSaysWhichRegister) {
  TFormMode dialog;
  dialog.SetDevice(oven);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 1); }, 20000));
  auto* page1 = static_cast<TFrameMode1*>(dialog.PageFrames(1));
  Type(page1->EditUpper(), QStringLiteral("900"));
  line->SetFault(1, TSimFault::Silent, true);
  Click(dialog.ButtonOK());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !errors.isEmpty(); }, 20000));
  EXPECT_EQ(errors.value(0), QStringLiteral("Failed to write to the controller: register 779."));
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_TRUE(dialog.ButtonOK()->isEnabled());
  EXPECT_EQ(page1->EditUpper()->text(), QStringLiteral("900.0"));
  EXPECT_TRUE(page1->EditUpper()->isEnabled());

  // Not synchronized: its own text, nothing sent; a later read brings the
  // buttons back.
  line->SetFault(1, TSimFault::Silent, false);
  oven->SetSynchronized(false);
  Click(dialog.ButtonApply());
  EXPECT_EQ(errors.value(1), QStringLiteral("Write mode 1 - Device not synchronized."));
  EXPECT_FALSE(dialog.ButtonOK()->isEnabled());
  oven->SetSynchronized(true);
  {
    ModalAnswers answers;
    answers.Then(Answer("No"));
    Click(dialog.ToolButtonMode(2));
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 2); }, 20000));
  EXPECT_TRUE(dialog.ButtonApply()->isEnabled());
  EXPECT_TRUE(Writes().empty());
}

TEST_F(ModeDialogTest, Page2ScalingIsReadOnlyForThermocouplesAndTheOffsetFollowsTheDecimals) {
  struct TCase {
    int Range;
    bool ReadOnly;
  };
  for (const TCase c : {TCase{5, true}, TCase{35, false}}) {
    line->Execute(QStringLiteral("set 1 1797 %1").arg(c.Range));
    TFormMode dialog;
    dialog.SetDevice(oven);
    ASSERT_TRUE(ShowPage(dialog, 2));
    auto* page2 = static_cast<TFrameMode2*>(dialog.PageFrames(2));
    EXPECT_EQ(page2->ComboRange()->currentIndex(), c.Range - 1);
    EXPECT_EQ(page2->EditLowerLimit()->isReadOnly(), c.ReadOnly) << c.Range;
    EXPECT_EQ(page2->EditUpperLimit()->isReadOnly(), c.ReadOnly);
    EXPECT_EQ(page2->ComboDecimalPoint()->isEnabled(), !c.ReadOnly);
    TDqValEdit* offset = ValControls().Edits(page2->EditOffset());
    EXPECT_DOUBLE_EQ(offset->MinValue(), -50.0);
    EXPECT_DOUBLE_EQ(offset->MaxValue(), 50.0);
    EXPECT_EQ(offset->Digit(), 1);
  }
  EXPECT_EQ(TFrameMode2::RangeNames().size(), 36);
  EXPECT_EQ(TFrameMode2::RangeNames().value(34), QStringLiteral("4 ~ 20mA"));
}

TEST_F(ModeDialogTest, BandRuleAndDeadBand) {
  TFormMode dialog;
  dialog.SetDevice(oven);
  ASSERT_TRUE(ShowPage(dialog, 3));
  auto* page3 = static_cast<TFramePIDPage*>(dialog.PageFrames(3));
  EXPECT_EQ(page3->EditBand(0)->text(), QStringLiteral("5.0"));
  EXPECT_TRUE(page3->EditIntegral(1)->isEnabled());
  Type(page3->EditBand(1), QStringLiteral("0"));
  EXPECT_FALSE(page3->EditIntegral(1)->isEnabled());
  EXPECT_FALSE(page3->EditDerivative(1)->isEnabled());
  EXPECT_TRUE(page3->EditIntegral(0)->isEnabled());
  page3->EditBand(1)->setFocus();
  page3->EditBand(1)->selectAll();
  QTest::keyClicks(page3->EditBand(1), QStringLiteral("2.5")); // at once, before Enter
  EXPECT_TRUE(page3->EditIntegral(1)->isEnabled());
  Type(page3->EditBand(1), QStringLiteral("0"));
  Click(dialog.ButtonApply());
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 3); }, 20000));
  EXPECT_EQ(Writes(), (std::vector<TWrite>{{1032, 0}}));

  Click(dialog.ToolButtonMode(4));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 4); }, 20000));
  auto* page4 = static_cast<TFramePIDPage*>(dialog.PageFrames(4));
  Type(page4->EditResetOrDead(0), QStringLiteral("2.5"));
  Click(dialog.ButtonApply());
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 4); }, 20000));
  EXPECT_EQ(Writes(), (std::vector<TWrite>{{1123, 2}}));
}

TEST_F(ModeDialogTest, ClosingWhileAReadIsQueuedForASilentControllerWritesNothing) {
  auto dialog = std::make_unique<TFormMode>();
  line->SetFault(1, TSimFault::Silent, true);
  dialog->SetDevice(oven);
  dialog->show();
  dialog->reject();
  dialog.reset();
  line->SetFault(1, TSimFault::Silent, false);
  EXPECT_EQ(WaitLinesIdle(20000), 0u);
  QTest::qWait(50); // the read's completion finds nobody
  EXPECT_TRUE(Writes().empty());
}

TEST_F(ModeDialogTest, EventsThatAreNotFittedAreGreyAndNotWritten) {
  line->Execute(QStringLiteral("ident 1 TVXBA-KR01301CDHT5P0")); // EV1 only
  TFormMode dialog;
  dialog.SetDevice(oven);
  ASSERT_TRUE(ShowPage(dialog, 5));
  auto* page5 = static_cast<TFrameMode5*>(dialog.PageFrames(5));
  EXPECT_TRUE(page5->GroupEvent(0)->isEnabled());
  EXPECT_EQ(page5->ComboOpMode(0)->currentIndex(), 1);
  EXPECT_EQ(page5->EditPoint(0)->text(), QStringLiteral("120.0"));
  for (int k : {1, 2}) {
    EXPECT_FALSE(page5->GroupEvent(k)->isEnabled()) << k;
    EXPECT_FALSE(page5->GroupDelay(k)->isEnabled());
    EXPECT_TRUE(page5->EditPoint(k)->text().isEmpty());
    EXPECT_FALSE(page5->PanelRelease(k)->isEnabled());
  }
  EXPECT_TRUE(page5->PanelRelease(3)->isEnabled());

  Type(page5->EditPoint(0), QStringLiteral("130"));
  // ALL releases at once, the unsaved point stays on the page.
  QTest::mouseClick(page5->PanelRelease(3), Qt::LeftButton);
  QTest::qWait(20);
  EXPECT_EQ(WaitLinesIdle(20000), 0u);
  EXPECT_EQ(Writes(), (std::vector<TWrite>{{408, 4}}));
  EXPECT_EQ(page5->EditPoint(0)->text(), QStringLiteral("130.0"));
  Click(dialog.ButtonApply());
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 5); }, 20000));
  const std::vector<TWrite> writes = Writes();
  EXPECT_EQ(writes, (std::vector<TWrite>{{1281, 1300}}));
}

TEST_F(ModeDialogTest, LatchReleaseAllIsSentAtOnce) {
  TFormMode dialog;
  dialog.SetDevice(oven);
  ASSERT_TRUE(ShowPage(dialog, 5));
  auto* page5 = static_cast<TFrameMode5*>(dialog.PageFrames(5));
  Type(page5->EditPoint(1), QStringLiteral("50"));
  QTest::mouseClick(page5->PanelRelease(3), Qt::LeftButton);
  std::vector<TWrite> writes;
  ASSERT_TRUE(QTest::qWaitFor([&] {
    for (const TWrite& w : Writes()) writes.push_back(w);
    return !writes.empty();
  }, 20000));
  EXPECT_EQ(writes.front(), TWrite(408, 4));
  EXPECT_TRUE(page5->EditPoint(1)->text() == QStringLiteral("50.0"));
}

TEST_F(ModeDialogTest, PatternEditorCountsTimesAndTexts) {
  TFormProgramSetting editor;
  errors.clear();
  editor.SetDevice(oven);
  editor.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return editor.Ready(); }, 20000));
  EXPECT_EQ(editor.TabProgram()->count(), 1);
  EXPECT_EQ(editor.ComboPatternCount()->currentText(), QStringLiteral("1 pattern / 40 steps"));
  EXPECT_EQ(editor.ComboStepNo()->count(), 40);
  EXPECT_EQ(editor.EditSV()->text(), QStringLiteral("50.0")); // step 1 of the program

  // The count goes at once; two tabs of 20 steps come back.
  Writes();
  editor.ComboPatternCount()->setCurrentIndex(1);
  editor.ComboPatternCountChange();
  ASSERT_TRUE(QTest::qWaitFor([&] { return editor.Ready() && editor.TabProgram()->count() == 2; }, 20000))
      << errors.join(QStringLiteral(" | ")).toStdString() << " tabs " << editor.TabProgram()->count();
  EXPECT_EQ(editor.ComboStepNo()->count(), 20);
  // The write, then the reload's own selections.
  auto prefix = [](std::vector<TWrite> AWrites, std::size_t ACount) {
    for (std::size_t i = ACount; i < AWrites.size(); ++i) {
      EXPECT_TRUE(AWrites[i].first == 2050 || AWrites[i].first == 2304 || AWrites[i].first == 2305) << AWrites[i].first;
    }
    AWrites.resize(std::min(ACount, AWrites.size()));
    return AWrites;
  };
  EXPECT_EQ(prefix(Writes(), 1), (std::vector<TWrite>{{2072, 2}}));

  // HH:MM: 1 hour 30 minutes is 130.
  ASSERT_EQ(editor.ComboTimeUnit()->currentIndex(), 0);
  editor.ComboTimeUnit()->setCurrentIndex(1);
  editor.ComboTimeUnitChange();
  ASSERT_TRUE(QTest::qWaitFor([&] { return editor.Ready() && editor.ComboTimeUnit()->currentIndex() == 1; }, 20000));
  Writes();
  Type(editor.EditTimeHi(), QStringLiteral("1"));
  Type(editor.EditTimeLo(), QStringLiteral("30"));
  Click(editor.ButtonApplyStep());
  ASSERT_TRUE(QTest::qWaitFor([&] { return editor.Ready(); }, 20000));
  EXPECT_EQ(prefix(Writes(), 3), (std::vector<TWrite>{{2304, 1}, {2305, 1}, {2385, 130}}));

  // HHH.H: 12.5 hours is 125.
  editor.ComboTimeUnit()->setCurrentIndex(2);
  editor.ComboTimeUnitChange();
  ASSERT_TRUE(QTest::qWaitFor([&] { return editor.Ready() && editor.ComboTimeUnit()->currentIndex() == 2; }, 20000));
  EXPECT_EQ(ValControls().Edits(editor.EditTimeHi())->MaxValue(), 999);
  Writes();
  Type(editor.EditTimeHi(), QStringLiteral("12"));
  Type(editor.EditTimeLo(), QStringLiteral("5"));
  Click(editor.ButtonApplyStep());
  ASSERT_TRUE(QTest::qWaitFor([&] { return editor.Ready(); }, 20000));
  EXPECT_EQ(prefix(Writes(), 3), (std::vector<TWrite>{{2304, 1}, {2305, 1}, {2385, 125}}));

  // The two special texts.
  ValControls().Edits(editor.EditPatternTime())->SetValue(10000);
  EXPECT_EQ(editor.EditPatternTime()->text(), QStringLiteral("10000 (Infinity)"));
  ValControls().Edits(editor.EditGuarantee())->SetValue(0);
  EXPECT_EQ(editor.EditGuarantee()->text(), QStringLiteral("0 (OFF)"));
  EXPECT_TRUE(errors.isEmpty()) << errors.join(QStringLiteral(" | ")).toStdString();
}

TEST_F(ModeDialogTest, OlderSoftwareOffersOnePatternOfTwentyFiveSteps) {
  line->Execute(QStringLiteral("ident 1 TVXBA-KR01202CDHT5P0"));
  bool done = false;
  oven->ReadInformation([&] { done = true; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 20000));
  TFormProgramSetting editor;
  editor.SetDevice(oven);
  editor.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return editor.Ready(); }, 20000));
  EXPECT_EQ(editor.ComboPatternCount()->count(), 1);
  EXPECT_EQ(editor.ComboPatternCount()->currentText(), QStringLiteral("1 pattern / 25 steps"));
  EXPECT_EQ(editor.TabProgram()->count(), 1);
  EXPECT_EQ(editor.ComboStepNo()->count(), 25);
}

TEST_F(ModeDialogTest, ProgramPageFollowsTheRunningProgram) {
  TTervoxDevice::StartThread(); // polling: the page refreshes with each poll
  oven = DeviceList()->SharedDeviceByID(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return oven->Synchronized() && oven->StatusReady(); }, 20000));
  line->WithController(1, [](TSimController& c) { c.StartProgram(); }); // the program runs
  TFormMode dialog;
  dialog.SetDevice(oven);
  ASSERT_TRUE(ShowPage(dialog, 9));
  auto* page = static_cast<TFrameModeProgram*>(dialog.PageFrames(9));
  ASSERT_TRUE(QTest::qWaitFor([&] { return page->Display(2)->text() == QStringLiteral("1"); }, 20000));
  EXPECT_EQ(page->Display(3)->text(), QStringLiteral("3")); // end step
  // Step 1 lasts 10 s; the display follows without anyone asking.
  ASSERT_TRUE(QTest::qWaitFor([&] { return page->Display(2)->text() == QStringLiteral("2"); }, 20000));
  EXPECT_TRUE(oven->HasOnReadProgram());
  EXPECT_EQ(page->PanelPrg()->palette().color(QPalette::Window), QColor(128, 0, 128));
  Click(dialog.ToolButtonMode(1));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 1); }, 20000));
  EXPECT_FALSE(oven->HasOnReadProgram()); // leaving the page stops it
  TTervoxDevice::StopThread();
}

// ----- pages 6-8: digital inputs, analog output, CT inputs

// The identification of the full model with one option character
// replaced (14 DI, 15 CT, 16 analog output).
QString IdentWithout(int AByte) {
  QByteArray ident("TVXBA-KR01302CDHT5P0");
  ident[AByte] = 'N';
  return QString::fromLatin1(ident);
}

TEST_F(ModeDialogTest, DigitalInputPageWritesOnlyTheInputsChanged) {
  line->Execute(QStringLiteral("set 1 1410 10"));
  line->Execute(QStringLiteral("set 1 1411 15")); // a code this program does not know
  TFormMode dialog;
  dialog.SetDevice(oven);
  ASSERT_TRUE(ShowPage(dialog, 6));
  auto* page6 = static_cast<TFrameMode6*>(dialog.PageFrames(6));
  EXPECT_TRUE(page6->Enabled());
  ASSERT_EQ(page6->ComboDI(0)->count(), 12);
  EXPECT_EQ(page6->ComboDI(0)->itemText(11), QStringLiteral("LOCK - Super key lock"));
  EXPECT_EQ(page6->ComboDI(0)->currentText(), QStringLiteral("RUN - Control RUN"));
  EXPECT_EQ(page6->ComboDI(1)->currentText(), QStringLiteral("NON - No allotment"));
  EXPECT_EQ(page6->ComboDI(2)->currentText(), QStringLiteral("L_RS - Latching release"));
  EXPECT_EQ(page6->ComboDI(3)->currentIndex(), -1);

  page6->ComboDI(0)->setCurrentIndex(0);
  page6->ComboDI(1)->setCurrentIndex(8); // HOLD
  EXPECT_TRUE(page6->IsModify());
  Click(dialog.ButtonApply());
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 6); }, 20000));
  // DI 3 as it was and DI 4 with nothing chosen are left alone.
  EXPECT_EQ(Writes(), (std::vector<TWrite>{{1408, 0}, {1409, 8}}));
  EXPECT_EQ(page6->ComboDI(1)->currentText(), QStringLiteral("HOLD - Hold")); // read back
  EXPECT_FALSE(page6->IsModify());
  EXPECT_TRUE(errors.isEmpty()) << errors.join(QStringLiteral(" | ")).toStdString();
}

// A page whose option board is missing stays grey; Apply and OK on it
// write nothing and raise nothing.
TEST_F(ModeDialogTest, OptionPagesFollowTheBoardsFitted) {
  struct TCase {
    int Page;
    int IdentByte; // the option's identification character
    bool Fitted;
  };
  const TCase cases[] = {{6, 14, true}, {6, 14, false}, {7, 16, true},
                         {7, 16, false}, {8, 15, true}, {8, 15, false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "page " << c.Page << (c.Fitted ? " fitted" : " not fitted"));
    line->Execute(QStringLiteral("ident 1 %1").arg(c.Fitted ? QStringLiteral("TVXBA-KR01302CDHT5P0")
                                                             : IdentWithout(c.IdentByte)));
    TFormMode dialog;
    dialog.SetDevice(oven);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 1); }, 20000));
    Click(dialog.ToolButtonMode(c.Page));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, c.Page); }, 20000));
    TFrameModeBase* page = dialog.PageFrames(c.Page);
    EXPECT_EQ(page->Enabled(), c.Fitted);
    for (QComboBox* combo : page->findChildren<QComboBox*>()) {
      EXPECT_EQ(combo->isEnabled(), c.Fitted) << combo->objectName().toStdString();
      if (!c.Fitted) {
        EXPECT_TRUE(combo->currentText().isEmpty()) << combo->objectName().toStdString();
      }
    }
    Writes();
    Click(dialog.ButtonApply());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, c.Page); }, 20000));
    EXPECT_TRUE(Writes().empty());
    Click(dialog.ButtonOK());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 20000));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(Writes().empty());
    EXPECT_TRUE(errors.isEmpty()) << errors.join(QStringLiteral(" | ")).toStdString();
    errors.clear();
  }
}

TEST_F(ModeDialogTest, AnalogOutputScalingRangesFollowTheOutputMode) {
  struct TCase {
    const char* Name;
    int Mode;               // register 1440
    int DecimalPoint;       // the input's (1799)
    int InputLow, InputHigh; // raw input scaling limits (1800, 1801)
    int Digit;
    double MinLower, MaxLower, MinUpper, MaxUpper;
    const char* Lower; // typed into the scaling limits
    const char* Upper;
    std::vector<TWrite> Expected;
  };
  const TCase cases[] = {
      // The input's span: the lower limit goes up to one count below the top.
      {"PV", 1, 1, -1999, 9999, 1, -199.9, 999.8, -199.8, 999.9, "-199.9", "999.9", {{1441, -1999}, {1442, 9999}}},
      {"PV beyond", 1, 1, -2000, 13720, 1, -200.0, 1371.9, -199.9, 1372.0, "-50", "1500", {{1441, -500}, {1442, 13720}}},
      {"SV whole", 2, 0, -200, 1372, 0, -200, 1371, -199, 1372, "25", "800", {{1441, 25}, {1442, 800}}},
      {"SV hundredths", 2, 2, -1999, 9999, 2, -19.99, 99.98, -19.98, 99.99, "12.34", "99.99", {{1441, 1234}, {1442, 9999}}},
      // Outputs in percent with one decimal, whatever the input's.
      {"OUT1", 3, 0, -200, 1372, 1, 0, 99.9, 0.1, 100.0, "12.5", "80", {{1441, 125}, {1442, 800}}},
      // 100.0 is what the controller holds already: not written.
      {"OUT2", 4, 2, -1999, 9999, 1, 0, 99.9, 0.1, 100.0, "150", "100", {{1441, 999}}},
      // CT inputs in amperes up to 50.0.
      {"CT1", 5, 1, -2000, 13720, 1, 0, 49.9, 0.1, 50.0, "10", "45", {{1441, 100}, {1442, 450}}},
      {"CT2", 6, 1, -2000, 13720, 1, 0, 49.9, 0.1, 50.0, "0.5", "20", {{1441, 5}, {1442, 200}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    line->Execute(QStringLiteral("set 1 1440 %1").arg(c.Mode));
    line->Execute(QStringLiteral("set 1 1799 %1").arg(c.DecimalPoint));
    line->Execute(QStringLiteral("set 1 1800 %1").arg(c.InputLow));
    line->Execute(QStringLiteral("set 1 1801 %1").arg(c.InputHigh));
    line->Execute(QStringLiteral("set 1 1441 0"));
    line->Execute(QStringLiteral("set 1 1442 1000"));
    TFormMode dialog;
    dialog.SetDevice(oven);
    ASSERT_TRUE(ShowPage(dialog, 7));
    auto* page7 = static_cast<TFrameMode7*>(dialog.PageFrames(7));
    ASSERT_TRUE(page7->Enabled());
    EXPECT_EQ(page7->ComboMode()->currentIndex(), c.Mode);
    const TDqValEdit* lower = page7->Edit(page7->EditLowerScale());
    const TDqValEdit* upper = page7->Edit(page7->EditUpperScale());
    EXPECT_EQ(lower->Digit(), c.Digit);
    EXPECT_EQ(upper->Digit(), c.Digit);
    EXPECT_DOUBLE_EQ(lower->MinValue(), c.MinLower);
    EXPECT_DOUBLE_EQ(lower->MaxValue(), c.MaxLower);
    EXPECT_DOUBLE_EQ(upper->MinValue(), c.MinUpper);
    EXPECT_DOUBLE_EQ(upper->MaxValue(), c.MaxUpper);
    Writes();
    Type(page7->EditLowerScale(), QString::fromLatin1(c.Lower));
    Type(page7->EditUpperScale(), QString::fromLatin1(c.Upper));
    Click(dialog.ButtonApply());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 7); }, 20000));
    EXPECT_EQ(Writes(), c.Expected);
    EXPECT_TRUE(errors.isEmpty()) << errors.join(QStringLiteral(" | ")).toStdString();
    errors.clear();
  }
}

TEST_F(ModeDialogTest, AnalogOutputLimiterIsInTenthsOfAPercent) {
  TFormMode dialog;
  dialog.SetDevice(oven);
  ASSERT_TRUE(ShowPage(dialog, 7));
  auto* page7 = static_cast<TFrameMode7*>(dialog.PageFrames(7));
  EXPECT_EQ(page7->EditLowerLimit()->text(), QStringLiteral("0.0"));
  EXPECT_EQ(page7->EditUpperLimit()->text(), QStringLiteral("100.0"));
  Type(page7->EditLowerLimit(), QStringLiteral("5"));
  Type(page7->EditUpperLimit(), QStringLiteral("95.5"));
  Click(dialog.ButtonApply());
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 7); }, 20000));
  EXPECT_EQ(Writes(), (std::vector<TWrite>{{1460, 50}, {1461, 955}}));
  EXPECT_EQ(page7->EditUpperLimit()->text(), QStringLiteral("95.5")); // read back
}

// The scaling is in the unit of what the output carries: picking another
// mode gives the edits that mode's decimals and ranges at once, so a value
// typed next is written in the controller's new terms.
TEST_F(ModeDialogTest, PickingAnotherAnalogOutputModeRescalesTheScaling) {
  line->Execute(QStringLiteral("set 1 1799 0")); // PV in whole degrees, -200 .. 1372
  line->Execute(QStringLiteral("set 1 1800 -200"));
  line->Execute(QStringLiteral("set 1 1801 1372"));
  line->Execute(QStringLiteral("set 1 1441 40"));
  line->Execute(QStringLiteral("set 1 1442 1000"));
  bool done = false;
  oven->ReadInformation([&] { done = true; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 20000));
  TFormMode dialog;
  dialog.SetDevice(oven);
  ASSERT_TRUE(ShowPage(dialog, 7));
  auto* page7 = static_cast<TFrameMode7*>(dialog.PageFrames(7));
  const TDqValEdit* upper = page7->Edit(page7->EditUpperScale());
  ASSERT_EQ(page7->ComboMode()->currentText(), QStringLiteral("PV"));
  EXPECT_EQ(upper->Digit(), 0);
  EXPECT_EQ(page7->EditUpperScale()->text(), QStringLiteral("1000"));

  page7->ComboMode()->setCurrentIndex(5); // CT1
  EXPECT_EQ(upper->Digit(), 1);
  EXPECT_DOUBLE_EQ(upper->MaxValue(), 50.0);
  // The 40 counts held read 4.0 A now; 40 typed is 40.0 A, 400 counts.
  EXPECT_EQ(page7->EditLowerScale()->text(), QStringLiteral("4.0"));
  EXPECT_EQ(page7->EditUpperScale()->text(), QStringLiteral("50.0"));
  Type(page7->EditLowerScale(), QStringLiteral("40"));
  Type(page7->EditUpperScale(), QStringLiteral("45"));
  Writes();
  Click(dialog.ButtonApply());
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 7); }, 20000));
  EXPECT_EQ(Writes(), (std::vector<TWrite>{{1440, 5}, {1441, 400}, {1442, 450}}));
  EXPECT_EQ(page7->ComboMode()->currentText(), QStringLiteral("CT1"));
  EXPECT_EQ(page7->EditLowerScale()->text(), QStringLiteral("40.0"));
  EXPECT_EQ(page7->EditUpperScale()->text(), QStringLiteral("45.0"));

  // Back to SV: the input's whole degrees again.
  page7->ComboMode()->setCurrentIndex(2);
  EXPECT_EQ(upper->Digit(), 0);
  EXPECT_DOUBLE_EQ(upper->MaxValue(), 1372.0);
  EXPECT_EQ(page7->EditUpperScale()->text(), QStringLiteral("450"));
  Type(page7->EditUpperScale(), QStringLiteral("600"));
  Click(dialog.ButtonApply());
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 7); }, 20000));
  EXPECT_EQ(Writes(), (std::vector<TWrite>{{1440, 2}, {1442, 600}}));
  EXPECT_TRUE(errors.isEmpty()) << errors.join(QStringLiteral(" | ")).toStdString();
}

TEST_F(ModeDialogTest, CTPageWritesDelaysInTenthsAndNeverTheCurrents) {
  line->WithController(1, [](TSimController& c) { c.ForceStatus(265, 87); });
  TFormMode dialog;
  dialog.SetDevice(oven);
  ASSERT_TRUE(ShowPage(dialog, 8));
  auto* page8 = static_cast<TFrameMode8*>(dialog.PageFrames(8));
  EXPECT_EQ(page8->ComboMode(0)->currentText(), QStringLiteral("OUT1"));
  EXPECT_EQ(page8->ComboMode(1)->currentText(), QStringLiteral("OUT1"));
  EXPECT_EQ(page8->EditDelay(0)->text(), QStringLiteral("0.5"));
  EXPECT_EQ(page8->EditValue(0)->text(), QStringLiteral("8.7"));
  EXPECT_TRUE(page8->EditValue(0)->isReadOnly());
  EXPECT_TRUE(page8->EditValue(1)->isReadOnly());
  EXPECT_FALSE(page8->EditDelay(0)->isReadOnly());

  struct TCase {
    int CT;
    const char* Typed;
    std::vector<TWrite> Expected;
  };
  const TCase cases[] = {
      {0, "2.5", {{1429, 25}}},
      {1, "30", {{1437, 300}}},
      {0, "45", {{1429, 300}}}, // 30.0 s at most
      {1, "0.2", {{1437, 5}}},  // 0.5 s at least
      {1, "0.5", {}},           // as read: nothing to write
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "CT " << c.CT + 1 << " delay " << c.Typed);
    Writes();
    Type(page8->EditDelay(c.CT), QString::fromLatin1(c.Typed));
    Click(dialog.ButtonApply());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 8); }, 20000));
    EXPECT_EQ(Writes(), c.Expected);
  }

  // The current has moved since the read: only the mode goes out, and the
  // page shows the new current after reading again.
  line->WithController(1, [](TSimController& c) { c.ForceStatus(265, 99); });
  page8->ComboMode(1)->setCurrentIndex(5); // EV3
  Click(dialog.ButtonApply());
  ASSERT_TRUE(QTest::qWaitFor([&] { return Idle(dialog, 8); }, 20000));
  EXPECT_EQ(Writes(), (std::vector<TWrite>{{1439, 5}}));
  EXPECT_EQ(page8->ComboMode(1)->currentText(), QStringLiteral("EV3"));
  EXPECT_EQ(page8->EditValue(0)->text(), QStringLiteral("9.9"));
  EXPECT_TRUE(errors.isEmpty()) << errors.join(QStringLiteral(" | ")).toStdString();
}

} // namespace
