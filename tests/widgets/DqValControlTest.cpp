// Value-bound controls on real widgets, driven by real key presses and
// spinner clicks.
#include "core/DqRoutine.h"
#include "widgets/DqValControl.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <cmath>

namespace {

std::string ErrorOf(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const EDqException& e) {
    return e.Message().toStdString();
  }
  return "no error";
}

void TypeAndPress(QLineEdit* AEdit, const QString& AText, Qt::Key AKey) {
  AEdit->setFocus();
  AEdit->selectAll();
  QTest::keyClicks(AEdit, AText);
  QTest::keyClick(AEdit, AKey);
}

class ValEditTest : public ::testing::Test {
protected:
  void SetUp() override {
    layout = new QVBoxLayout(&window);
    edit = new QLineEdit(&window);
    edit->setObjectName(QStringLiteral("EditValue"));
    layout->addWidget(edit);
    window.show();
  }
  QWidget window;
  QVBoxLayout* layout = nullptr;
  QLineEdit* edit = nullptr;
  TDqValControlList list;
};

TEST_F(ValEditTest, RoundsToItsDecimalsAndClampsWhatIsTyped) {
  TDqValEdit* value = list.AddEdit(edit, -9999, 9999, 0, false);
  value->SetValue(25.4);
  EXPECT_EQ(edit->text(), QStringLiteral("25"));
  EXPECT_EQ(value->ValueInt(), 25);
  EXPECT_FALSE(value->IsModify()); // loading is not changing

  TypeAndPress(edit, QStringLiteral("-20000"), Qt::Key_Return);
  EXPECT_EQ(edit->text(), QStringLiteral("-9999"));
  EXPECT_DOUBLE_EQ(value->Value(), -9999);
  EXPECT_TRUE(value->IsModify());
  EXPECT_DOUBLE_EQ(value->ChangedValue(), -9999);

  // Not a number: the value stays, the text shows it again.
  TypeAndPress(edit, QStringLiteral("abc"), Qt::Key_Return);
  EXPECT_EQ(edit->text(), QStringLiteral("-9999"));

  // Leaving the edit takes what was typed, like Enter.
  edit->selectAll();
  QTest::keyClicks(edit, QStringLiteral("12"));
  QFocusEvent leave(QEvent::FocusOut, Qt::TabFocusReason);
  QApplication::sendEvent(edit, &leave);
  EXPECT_DOUBLE_EQ(value->Value(), 12);
}

TEST_F(ValEditTest, PassingThroughDoesNotRoundTheLoadedValue) {
  // A value with more decimals than shown is not "changed" by Enter alone.
  TDqValEdit* value = list.AddEdit(edit, -9999, 9999, 0, 32767, false);
  value->SetValue(25.4);
  TypeAndPress(edit, QString(), Qt::Key_Return);
  EXPECT_FALSE(value->IsModify());
  EXPECT_DOUBLE_EQ(value->ChangedValue(), 32767);
}

TEST_F(ValEditTest, DisableValueEmptiesAndDisables) {
  TDqValEdit* value = list.AddEdit(edit, 0, 100, 1, 32767, false);
  value->SetValue(32767);
  EXPECT_FALSE(edit->isEnabled());
  EXPECT_TRUE(edit->text().isEmpty());
  EXPECT_FALSE(value->IsModify());
  EXPECT_EQ(value->ChangedValueInt(), 32767);
  EXPECT_EQ(edit->palette().color(QPalette::Base), QColor(192, 192, 192));

  value->SetValue(10);
  EXPECT_TRUE(edit->isEnabled());
  EXPECT_EQ(edit->text(), QStringLiteral("10.0"));
  EXPECT_EQ(value->ChangedValueInt(), 32767); // untouched: leave unchanged
  TypeAndPress(edit, QStringLiteral("150"), Qt::Key_Return);
  EXPECT_DOUBLE_EQ(value->ChangedValue(), 100.0); // clamped to the range
}

TEST_F(ValEditTest, SpinnerStepsInUnitsOfTheLastDecimal) {
  struct Case {
    int Digit, Step;
    double From, Up;
  };
  for (const Case c : {Case{2, 1, 1.00, 1.01}, Case{1, 5, 10.0, 10.5}, Case{0, 1, 99, 99}}) {
    TDqValEdit* value = list.AddEdit(edit, 0, 99, c.Digit, true);
    value->Step = c.Step;
    value->SetValue(c.From);
    auto* up = edit->findChild<QToolButton*>(QStringLiteral("UpButton"));
    ASSERT_NE(up, nullptr);
    QTest::mouseClick(up, Qt::LeftButton);
    EXPECT_DOUBLE_EQ(value->Value(), c.Up) << c.Digit << " " << c.Step;
    EXPECT_EQ(edit->text(), value->FormatValue(c.Up));
    QTest::mouseClick(edit->findChild<QToolButton*>(QStringLiteral("DownButton")), Qt::LeftButton);
    EXPECT_DOUBLE_EQ(value->Value(), c.Up == c.From ? c.From - c.Step / std::pow(10.0, c.Digit) : c.From);
    list.Remove(edit);
    EXPECT_EQ(edit->findChild<QToolButton*>(QStringLiteral("UpButton")), nullptr); // the spinner went with it
  }

  // Read-only: the spinner does nothing.
  TDqValEdit* value = list.AddEdit(edit, 0, 99, 0, true);
  value->SetValue(5);
  value->SetReadOnly(true);
  value->SpinUp();
  EXPECT_DOUBLE_EQ(value->Value(), 5);
  EXPECT_TRUE(edit->isReadOnly());
  EXPECT_TRUE(edit->font().bold());
  EXPECT_EQ(edit->palette().color(QPalette::Text), QColor(0, 255, 0));
}

TEST_F(ValEditTest, EscapeRestoresTheLoadedValueAndOnlyThenClosesTheDialog) {
  QDialog dialog;
  auto* dialogEdit = new QLineEdit(&dialog);
  auto* dialogLayout = new QVBoxLayout(&dialog);
  dialogLayout->addWidget(dialogEdit);
  TDqValEdit* value = list.AddEdit(dialogEdit, 0, 1000, 1, false);
  value->SetValue(25.5);
  dialog.show();
  dialog.activateWindow();
  dialogEdit->setFocus();

  QTest::keyClicks(dialogEdit, QStringLiteral("7"));
  QTest::keyClick(dialogEdit, Qt::Key_Return);
  EXPECT_TRUE(value->IsModify());
  QTest::keyClick(dialogEdit, Qt::Key_Escape);
  EXPECT_DOUBLE_EQ(value->Value(), 25.5);
  EXPECT_EQ(dialogEdit->text(), QStringLiteral("25.5"));
  EXPECT_FALSE(value->IsModify());
  EXPECT_TRUE(dialog.isVisible()); // the key undid the edit

  QTest::keyClick(dialogEdit, Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible()); // nothing to undo: the dialog's Escape
}

TEST(ValControls, GroupDisabledThenEnabledRestoresEachChildsOwnState) {
  QWidget window;
  auto* group = new QGroupBox(QStringLiteral("Group"), &window);
  auto* inner = new QVBoxLayout(group);
  auto* a = new QLineEdit(group);
  auto* b = new QLineEdit(group);
  auto* combo = new QComboBox(group);
  auto* nested = new QFrame(group);
  auto* deep = new QLineEdit(nested);
  for (QWidget* w : {static_cast<QWidget*>(a), static_cast<QWidget*>(b), static_cast<QWidget*>(combo),
                     static_cast<QWidget*>(nested)})
    inner->addWidget(w);
  combo->addItems({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("x")});
  window.show();

  TDqValControlList list;
  list.AddAll(group);
  EXPECT_EQ(list.Count(), 6); // group, two edits, combo, panel, the edit inside it
  TDqValEdit* va = list.Edits(a);
  TDqValEdit* vb = list.Edits(b);
  va->SetParam(0, 100, 0, 32767, false);
  vb->SetParam(0, 100, 0, 32767, false);
  list.Edits(deep)->SetParam(0, 100, 0, false);
  va->SetValue(5);
  vb->SetValue(32767); // disabled on its own
  list.SetComboItemIndex(combo, 1);

  list.GroupBoxs(group)->SetEnabled(false);
  EXPECT_FALSE(a->isEnabled());
  EXPECT_TRUE(a->text().isEmpty());
  EXPECT_FALSE(deep->isEnabled()); // through the nested panel
  EXPECT_EQ(combo->currentIndex(), -1);

  list.GroupBoxs(group)->SetEnabled(true);
  EXPECT_TRUE(a->isEnabled());
  EXPECT_EQ(a->text(), QStringLiteral("5"));
  EXPECT_FALSE(b->isEnabled());
  EXPECT_TRUE(deep->isEnabled());
  EXPECT_EQ(combo->currentIndex(), 1);
  EXPECT_FALSE(list.GroupBoxs(group)->IsModify());

  a->setText(QStringLiteral("7"));
  va->Commit();
  EXPECT_TRUE(list.GroupBoxs(group)->IsModify());

  // A choice the user made before the group greyed (while a write that then
  // failed was on its way) is back afterwards, and still a change.
  combo->setCurrentIndex(0);
  list.GroupBoxs(group)->SetEnabled(false);
  list.GroupBoxs(group)->SetEnabled(true);
  EXPECT_EQ(combo->currentIndex(), 0);
  EXPECT_EQ(list.ComboBoxs(combo)->OldItemIndex(), 1);
  EXPECT_TRUE(list.ComboBoxs(combo)->IsModify());
}

TEST(ValControls, ComboIndexValueAndDisableIndex) {
  QComboBox combo;
  combo.addItems({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("None")});
  TDqValControlList list;
  TDqValComboBox* value = list.AddComboBox(&combo, 3);

  value->SetValue(2);
  EXPECT_EQ(value->ItemIndex(), 1);
  EXPECT_EQ(value->ValueInt(), 2);
  EXPECT_FALSE(value->IsModify());
  combo.setCurrentIndex(2);
  EXPECT_TRUE(value->IsModify());

  value->SetItemIndex(3); // the disable index
  EXPECT_EQ(value->ItemIndex(), 3);
  EXPECT_FALSE(combo.isEnabled());
  EXPECT_TRUE(combo.currentText().isEmpty());
  EXPECT_FALSE(value->IsModify());

  // Beyond the items, or a number no item shows: nothing selected, no value.
  value->SetItemIndex(9);
  EXPECT_EQ(value->ItemIndex(), -1);
  EXPECT_EQ(value->ValueInt(), 32767);
  value->SetValue(7);
  EXPECT_EQ(value->ValueInt(), 32767);
  value->SetItemIndex(3);
  value->SetItemIndex(2);
  EXPECT_TRUE(combo.isEnabled());
  EXPECT_EQ(combo.currentText(), QStringLiteral("3"));
  // Text that is not a number reads as no value.
  QComboBox words;
  words.addItems({QStringLiteral("On"), QStringLiteral("Off")});
  EXPECT_EQ(list.AddComboBox(&words, 32767)->ValueInt(), 32767);
}

TEST(ValControls, RegistryLookupsFacadesAndErrors) {
  QWidget panel;
  auto* edit = new QLineEdit(&panel);
  edit->setObjectName(QStringLiteral("EditSV1"));
  auto* label = new QLabel(QStringLiteral("SV1:"), &panel);
  auto* other = new QLineEdit(&panel);

  // Never registered: the facades say so, nothing crashes.
  EXPECT_EQ(ErrorOf([&] { TDqValEditHelper(edit).SetValue(1); }), "ValControlList error.");
  EXPECT_EQ(ErrorOf([&] { TDqValPanelHelper(&panel).IsModify(); }), "ValControlList error.");

  TDqValPanelHelper(&panel).AddValue();
  EXPECT_EQ(ValControls().IndexOf(label), -1); // labels are skipped
  TDqValEditHelper(edit).SetParam(-10, 10, 1, 32767, true);
  TDqValEditHelper(edit).SetValue(2.5);
  EXPECT_EQ(ValControls().GetEditByName(QStringLiteral("editsv1")), ValControls().Edits(edit));
  EXPECT_DOUBLE_EQ(ValControls().GetValues(edit, -1), 2.5);
  EXPECT_DOUBLE_EQ(ValControls().GetValues(nullptr, -1), -1);
  EXPECT_EQ(ErrorOf([&] { TDqValControlHelper(edit).Object()->ItemIndex(); }), "Abstract error.");
  EXPECT_EQ(ErrorOf([&] { TDqValControlHelper(&panel).Value(); }), "Abstract error.");
  EXPECT_EQ(ErrorOf([&] { ValControls().ComboItemIndex(nullptr); }), "ValControlList error.");

  TDqValPanelHelper(&panel).SetValueEnabled(false);
  EXPECT_FALSE(edit->isEnabled());
  EXPECT_FALSE(other->isEnabled());
  TDqValPanelHelper(&panel).SetValueEnabled(true);
  EXPECT_EQ(edit->text(), QStringLiteral("2.5"));

  TDqValPanelHelper(&panel).DeleteValue();
  EXPECT_EQ(ValControls().IndexOf(edit), -1);
  EXPECT_EQ(ValControls().IndexOf(&panel), -1);

  // A control that goes takes its entry along.
  auto* gone = new QLineEdit(&panel);
  TDqValControlHelper(gone).AddValue();
  const int before = ValControls().Count();
  delete gone;
  EXPECT_EQ(ValControls().Count(), before - 1);
}

} // namespace
