// The line dialog of the graph pages: its lists, what it shows of a line,
// and what OK makes of the choices (nothing is refused).
#include "ui/dialogs/Form_EditGraph.h"
#include "ui/dialogs/Form_EditLine.h"
#include "plant/Tervox_Device.h"
#include "ui/UiTestSupport.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

using tervox_test::TestDatabase;

namespace {

void AddDevices() {
  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (ID, Name, Address) VALUES (3, 'Oven', 1), (5, 'Kiln', 2)"));
  DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
}

} // namespace

TEST(Form_EditLineTest, OKCreatesALineOfTheChoices) {
  TestDatabase db;
  AddDevices();
  TFormEditLine dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Graph Line"));
  ASSERT_EQ(dialog.ComboDevice()->count(), 2);
  EXPECT_EQ(dialog.ComboDevice()->itemText(1), QStringLiteral("Kiln"));
  ASSERT_EQ(dialog.ComboValueType()->count(), 7); // without "NONE"
  EXPECT_EQ(dialog.ComboValueType()->itemText(0), QStringLiteral("PV"));
  dialog.SetLineColor(RGBColor(0, 128, 0));
  dialog.show();
  dialog.ComboDevice()->setFocus();
  QTest::keyClick(dialog.ComboDevice(), Qt::Key_Down); // Oven, its name copied
  QTest::keyClick(dialog.ComboDevice(), Qt::Key_Down); // Kiln
  EXPECT_EQ(dialog.EditName()->text(), QStringLiteral("Kiln"));
  dialog.ComboValueType()->setCurrentIndex(1); // SV
  tervox_test::Click(dialog.ButtonOK());
  std::unique_ptr<TDqTrendLine> line = dialog.TakeNewLine();
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->Graph, nullptr);
  EXPECT_EQ(line->ValueObjectID, 5);
  EXPECT_EQ(line->ValueType, 2);
  EXPECT_EQ(line->Name, QStringLiteral("Kiln"));
  EXPECT_EQ(line->Color, RGBColor(0, 128, 0));
  ASSERT_NE(line->ValueObject, nullptr);
}

TEST(Form_EditLineTest, NothingChosenStillMakesALine) {
  TestDatabase db;
  TFormEditLine dialog;
  tervox_test::Click(dialog.ButtonOK());
  std::unique_ptr<TDqTrendLine> line = dialog.TakeNewLine();
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->ValueObject, nullptr);
  EXPECT_EQ(line->ValueObjectID, -1);
  EXPECT_EQ(line->ValueType, 0);
}

TEST(Form_EditLineTest, EditsAGivenLineInPlace) {
  TestDatabase db;
  AddDevices();
  TDqTrendLine line;
  line.ValueObjectID = 3;
  line.ValueType = 3;
  line.Name = QStringLiteral("Oven out");
  line.Color = RGBColor(255, 0, 0);
  TFormEditLine dialog;
  dialog.SetLine(&line); // unresolved: no controller selected
  EXPECT_EQ(dialog.ComboDevice()->currentIndex(), -1);
  EXPECT_EQ(dialog.ComboValueType()->currentText(), QStringLiteral("OUT1"));
  EXPECT_EQ(dialog.EditName()->text(), QStringLiteral("Oven out"));
  dialog.ComboDevice()->setCurrentIndex(0);
  dialog.ComboValueType()->setCurrentIndex(0);
  tervox_test::Click(dialog.ButtonOK());
  EXPECT_EQ(dialog.TakeNewLine(), nullptr);
  EXPECT_EQ(line.ValueObjectID, 3);
  EXPECT_EQ(line.ValueType, 1);
  EXPECT_EQ(line.Name, QStringLiteral("Oven out"));
}
