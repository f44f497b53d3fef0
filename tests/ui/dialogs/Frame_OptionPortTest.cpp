#include "widgets/DqDrawGrid.h"
#include "comm/DqPort.h"
#include "widgets/TextCapture.h"
#include "ui/dialogs/Form_EditComPort.h"
#include "ui/dialogs/Frame_OptionPort.h"
#include "ui/UiTestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>

#include <gtest/gtest.h>

using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;

namespace {

class FrameOptionPort : public ::testing::Test {
protected:
  void SetUp() override {
    // Two simulated ports that exist, so the "present" list is known.
    qputenv("TERVOX_PORT_DIR", FPorts.Root().toLocal8Bit());
    for (const char* name : {"simA", "simB"})
      ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), FPorts.Path(QString::fromLatin1(name))));
  }
  void TearDown() override { qunsetenv("TERVOX_PORT_DIR"); }

  QString Sim(const char* AName) { return FPorts.Path(QString::fromLatin1(AName)); }

  static QStringList RowTexts(TDqDrawGrid* AGrid, int ARow) {
    tervox_test::TextCapture capture(AGrid->viewport()->size());
    AGrid->viewport()->render(&capture);
    QStringList texts;
    for (int col = 0; col < AGrid->ColCount(); ++col) texts << capture.TextsIn(AGrid->CellRect(col, ARow)).join(QLatin1Char(' '));
    return texts;
  }

  static void AddPort(const QString& AName, const QString& APortName, int AStopBits, int AParity, bool AEnabled) {
    TSQLiteParamList params;
    params.SetParamValues(":Name", AName);
    params.SetParamValues(":PortName", APortName);
    params.SetParamValues(":StopBits", AStopBits);
    params.SetParamValues(":Parity", AParity);
    params.SetParamValues(":Enabled", AEnabled);
    GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO DevicePort (Name, PortType, PortName, BaudRate, DataBits, StopBits, "
                                          "Parity, Enabled) VALUES (:Name, 1, :PortName, 9600, 8, :StopBits, :Parity, :Enabled)"),
                           &params);
  }

  TestDatabase FDatabase;
  tervox_test::TempDir FPorts;
};

TEST_F(FrameOptionPort, GridShowsCodesAsTexts) {
  {
    TFrameOptionPort empty;
    EXPECT_EQ(empty.GridPort()->RowCount(), 2); // header and one empty row
    ModalAnswers answers; // no dialog may open
    tervox_test::Click(empty.ButtonEditPort());
    emit empty.GridPort()->DblClick();
    EXPECT_TRUE(answers.Unexpected.isEmpty());
  }
  AddPort(QStringLiteral("Line A"), QStringLiteral("/dev/ttyUSB0"), 1, 2, true);
  AddPort(QStringLiteral("Line B"), QStringLiteral("/dev/ttyUSB1"), 2, 4, false);
  TFrameOptionPort page;
  page.resize(760, 300);
  TDqDrawGrid* grid = page.GridPort();
  EXPECT_EQ(grid->RowCount(), 3);
  EXPECT_EQ(RowTexts(grid, 0), (QStringList{"ID", "DisplayName", "PortName", "BaudRate", "DataBits", "StopBits",
                                            "Parity", "Enabled"}));
  EXPECT_EQ(RowTexts(grid, 1), (QStringList{"1", "Line A", "/dev/ttyUSB0", "9600", "8", "1.5", "Even", "Y"}));
  EXPECT_EQ(RowTexts(grid, 2), (QStringList{"2", "Line B", "/dev/ttyUSB1", "9600", "8", "2", "Space", "-"}));
  const int widths[] = {40, 200, 80, 80, 64, 64, 64, 64};
  for (int col = 0; col < 8; ++col) EXPECT_EQ(grid->ColWidths(col), widths[col]) << col;
}

TEST_F(FrameOptionPort, DeletingSelectedPortsDetachesTheirControllers) {
  for (int i = 0; i < 4; ++i) AddPort(QStringLiteral("L%1").arg(i), QStringLiteral("/dev/ttyUSB%1").arg(i), 0, 0, true);
  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address) VALUES ('a', 1, 1), ('b', 2, 2), "
                                    "('c', 3, 3), ('d', 4, 4)"));
  TFrameOptionPort page;
  page.resize(760, 300);
  page.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
  TDqDrawGrid* grid = page.GridPort();
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(0, 1).center());
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::ShiftModifier, grid->CellRect(0, 3).center());
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) {
      EXPECT_EQ(tervox_test::DialogText(ADialog), QStringLiteral("Are you sure to DELETE selected port(s)?"));
      tervox_test::AnswerBox(ADialog, QMessageBox::No);
    });
    tervox_test::Click(page.ButtonDeletePort());
  }
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM DevicePort")), 4);
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) { tervox_test::AnswerBox(ADialog, QMessageBox::Yes); });
    tervox_test::Click(page.ButtonDeletePort());
  }
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT group_concat(ID) FROM DevicePort")), QStringLiteral("4"));
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM Device WHERE DevicePortID IS NULL")), 3);
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM Device")), 4); // the controllers stay
  EXPECT_EQ(grid->RowCount(), 2);
}

TEST_F(FrameOptionPort, AddingAPortStoresWhatWasTyped) {
  TFrameOptionPort page;
  ModalAnswers answers;
  answers.Then([&](QWidget* ADialog) {
    auto* editor = qobject_cast<TFormEditComPort*>(ADialog);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->windowTitle(), QStringLiteral("Add Serial Port"));
    EXPECT_EQ(editor->ButtonSave()->text(), QStringLiteral("Add"));
    EXPECT_TRUE(editor->CheckBoxShow()->isChecked());
    EXPECT_NE(editor->ComboPortName()->findText(Sim("simB")), -1);
    EXPECT_EQ(editor->EditName()->text(), QStringLiteral("Port ") + editor->ComboPortName()->itemText(0));
    editor->ComboPortName()->setCurrentIndex(editor->ComboPortName()->findText(Sim("simB")));
    emit editor->ComboPortName()->textActivated(Sim("simB"));
    EXPECT_EQ(editor->EditName()->text(), QStringLiteral("Port ") + Sim("simB"));
    editor->ComboBaudRate()->setEditText(QStringLiteral("abc"));
    editor->ComboDataBits()->setEditText(QStringLiteral("7"));
    editor->ComboStopBits()->setCurrentIndex(2);
    editor->ComboParity()->setCurrentIndex(3);
    tervox_test::Click(editor->ButtonSave());
  });
  tervox_test::Click(page.ButtonAddPort());
  ASSERT_TRUE(answers.Unexpected.isEmpty());
  auto row = GetDatabase()->GetTable(QStringLiteral("SELECT * FROM DevicePort"));
  ASSERT_FALSE(row->Eof());
  EXPECT_EQ(row->FieldByName(QStringLiteral("Name"))->AsString(), QStringLiteral("Port ") + Sim("simB"));
  EXPECT_EQ(row->FieldByName(QStringLiteral("PortName"))->AsString(), Sim("simB"));
  EXPECT_EQ(row->FieldByName(QStringLiteral("PortType"))->AsInteger(), 1);
  EXPECT_EQ(row->FieldByName(QStringLiteral("BaudRate"))->AsInteger(), 0); // "abc"
  EXPECT_EQ(row->FieldByName(QStringLiteral("DataBits"))->AsInteger(), 7);
  EXPECT_EQ(row->FieldByName(QStringLiteral("StopBits"))->AsInteger(), 2);
  EXPECT_EQ(row->FieldByName(QStringLiteral("Parity"))->AsInteger(), 3);
  EXPECT_TRUE(row->FieldByName(QStringLiteral("Enabled"))->AsBool());
  row.reset();
  EXPECT_EQ(page.GridPort()->RowCount(), 2); // reloaded
}

TEST_F(FrameOptionPort, EditingKeepsTheNameUntilAnotherPortIsPicked) {
  AddPort(QStringLiteral("Kiln line"), Sim("simA"), 0, 0, false);
  AddPort(QStringLiteral("Gone"), QStringLiteral("/dev/ttyUSB9"), 0, 0, true);
  TFrameOptionPort page;
  ModalAnswers answers;
  answers.Then([&](QWidget* ADialog) {
    auto* editor = qobject_cast<TFormEditComPort*>(ADialog);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->windowTitle(), QStringLiteral("Edit Serial Port"));
    EXPECT_EQ(editor->EditName()->text(), QStringLiteral("Kiln line"));
    EXPECT_EQ(editor->ComboPortName()->currentText(), Sim("simA"));
    EXPECT_EQ(editor->ComboBaudRate()->currentText(), QStringLiteral("9600"));
    tervox_test::Click(editor->CheckBoxShow()); // all names now: the name follows the port
    EXPECT_EQ(editor->EditName()->text(), QStringLiteral("Port ") + Sim("simA"));
    editor->EditName()->setText(QStringLiteral("Kiln line 2"));
    editor->ComboBaudRate()->setEditText(QStringLiteral("4800"));
    tervox_test::Click(editor->ButtonSave());
  });
  tervox_test::Click(page.ButtonEditPort());
  // A port not present on the machine shows an empty box and is saved so.
  page.GridPort()->SetRow(2);
  answers.Then([&](QWidget* ADialog) {
    auto* editor = qobject_cast<TFormEditComPort*>(ADialog);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->ComboPortName()->currentText(), QString());
    EXPECT_EQ(editor->EditName()->text(), QStringLiteral("Gone"));
    tervox_test::Click(editor->ButtonSave());
  });
  tervox_test::Click(page.ButtonEditPort());
  ASSERT_TRUE(answers.Unexpected.isEmpty());
  auto rows = GetDatabase()->GetTable(QStringLiteral("SELECT Name, BaudRate, Enabled, PortName FROM DevicePort ORDER BY ID"));
  EXPECT_EQ(rows->GetFields(0)->AsString(), QStringLiteral("Kiln line 2"));
  EXPECT_EQ(rows->GetFields(1)->AsInteger(), 4800);
  EXPECT_TRUE(rows->GetFields(2)->AsBool()); // saving enables the port
  ASSERT_TRUE(rows->Next());
  EXPECT_EQ(rows->GetFields(3)->AsString(), QString());
}

} // namespace
