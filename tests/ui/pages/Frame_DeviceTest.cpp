// The Device page: the grid of the Device table, and add, edit, delete with
// their effect on the database and on the main window's panels.
#include "widgets/DqDrawGrid.h"
#include "core/DqEvent.h"
#include "ui/dialogs/Form_EditDevice.h"
#include "widgets/Tervox_Monitor.h"
#include "ui/pages/Frame_Device.h"
#include "ui/pages/Frame_Monitor.h"
#include "ui/shell/Form_Login.h"
#include "ui/shell/Form_Main.h"
#include "ui/LoginTestSupport.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <sqlite3.h>

using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;

namespace {

QStringList RowTexts(TDqDrawGrid* AGrid, int ARow) {
  tervox_test::TextCapture capture(AGrid->viewport()->size());
  AGrid->viewport()->render(&capture);
  QStringList texts;
  for (int col = 0; col < AGrid->ColCount(); ++col)
    texts << capture.TextsIn(AGrid->CellRect(col, ARow)).join(QLatin1Char(' '));
  return texts;
}

// Two ports, named against their ID order, and four controllers.
void AddPortsAndDevices() {
  TestDatabase::Exec(QStringLiteral("INSERT INTO DevicePort (ID, Name, PortType, PortName) VALUES "
                                    "(1, 'Line B', 1, '/nonexistent/tervox-b'), (2, 'Line A', 1, '/nonexistent/tervox-a')"));
  TestDatabase::Exec(QStringLiteral(
      "INSERT INTO Device (Name, DevicePortID, Address, Model, Description, Enabled) VALUES "
      "('Oven', 2, 1, 'TRX-K1', 'hall', 1), ('Kiln', 1, 12, '', '', 0), ('Dryer', NULL, 3, '', '', 1), "
      "('Spare', 7, 4, '', '', 1)"));
}

// Every DELETE statement the database runs, with its values.
class DeleteTrace {
public:
  DeleteTrace() { sqlite3_trace_v2(GetDatabase()->Handle(), SQLITE_TRACE_STMT, &DeleteTrace::Trace, this); }
  ~DeleteTrace() { sqlite3_trace_v2(GetDatabase()->Handle(), 0, nullptr, nullptr); }
  QStringList Statements;

private:
  static int Trace(unsigned, void* AContext, void* AStatement, void*) {
    char* sql = sqlite3_expanded_sql(static_cast<sqlite3_stmt*>(AStatement));
    const QString text = QString::fromUtf8(sql).trimmed();
    sqlite3_free(sql);
    if (text.startsWith(QLatin1String("DELETE"))) static_cast<DeleteTrace*>(AContext)->Statements << text;
    return 0;
  }
};

void SelectRows(TDqDrawGrid* AGrid, int AFirst, int ALast) {
  QTest::mouseClick(AGrid->viewport(), Qt::LeftButton, {}, AGrid->CellRect(0, AFirst).center());
  QTest::mouseClick(AGrid->viewport(), Qt::LeftButton, Qt::ShiftModifier, AGrid->CellRect(0, ALast).center());
}

TEST(FrameDevice, GridShowsTheDeviceTableWithPortNames) {
  TestDatabase database;
  AddPortsAndDevices();
  TFrameDevice page;
  page.resize(900, 300);
  EXPECT_EQ(page.ButtonDelete()->text(), QStringLiteral("Delete Selected Device(s)"));
  EXPECT_EQ(page.ButtonAdd()->text(), QStringLiteral("Add Device"));
  EXPECT_EQ(page.ButtonEdit()->text(), QStringLiteral("Edit Selected Device"));
  TDqDrawGrid* grid = page.GridDevice();
  ASSERT_EQ(grid->RowCount(), 5);
  EXPECT_EQ(RowTexts(grid, 0),
            (QStringList{"ID", "Device Name", "Port Name", "Address", "Model", "Description", "Enabled"}));
  EXPECT_EQ(RowTexts(grid, 1), (QStringList{"1", "Oven", "Line A", "1", "TRX-K1", "hall", "Yes"}));
  EXPECT_EQ(RowTexts(grid, 2), (QStringList{"2", "Kiln", "Line B", "12", "", "", "No"}));
  // No port, and a port that no longer exists: an empty cell.
  EXPECT_EQ(RowTexts(grid, 3), (QStringList{"3", "Dryer", "", "3", "", "", "Yes"}));
  EXPECT_EQ(RowTexts(grid, 4), (QStringList{"4", "Spare", "", "4", "", "", "Yes"}));
  const int widths[] = {32, 160, 150, 80, 200, 180, 64};
  ASSERT_EQ(grid->ColCount(), 7);
  for (int col = 0; col < 7; ++col) EXPECT_EQ(grid->ColWidths(col), widths[col]) << col;
  const QString shots = qEnvironmentVariable("TERVOX_SCREENSHOT_DIR");
  if (!shots.isEmpty()) page.grab().save(QDir(shots).filePath(QStringLiteral("device_page.png")));
}

TEST(FrameDevice, EditOnAnEmptyTableOpensNothing) {
  TestDatabase database;
  TFrameDevice page;
  page.resize(900, 300);
  page.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
  ModalAnswers answers; // no dialog may open
  tervox_test::Click(page.ButtonEdit());
  QTest::mouseDClick(page.GridDevice()->viewport(), Qt::LeftButton, {}, page.GridDevice()->CellRect(1, 1).center());
  QTest::qWait(50);
  EXPECT_TRUE(answers.Texts.isEmpty());
}

TEST(FrameDevice, DeletingSelectedRowsRemovesThemAndTheirGroupMemberships) {
  TestDatabase database;
  AddPortsAndDevices();
  TestDatabase::Exec(QStringLiteral("INSERT INTO DeviceGroup (ID, Name) VALUES (1, 'Hall'), (2, 'Night')"));
  TestDatabase::Exec(QStringLiteral("INSERT INTO DeviceGroupItem (GroupID, DeviceID) VALUES (1, 1), (1, 2), (2, 2), "
                                    "(2, 3), (2, 4)"));
  TestDatabase::Exec(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, PV) VALUES (1, 45000.5, 25.0)"));
  TFrameDevice page;
  page.resize(900, 300);
  page.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
  SelectRows(page.GridDevice(), 1, 3);
  DeleteTrace trace;
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) {
      EXPECT_EQ(tervox_test::DialogText(ADialog), QStringLiteral("Are you sure to DELETE selected device(s)?"));
      tervox_test::AnswerBox(ADialog, QMessageBox::No);
    });
    tervox_test::Click(page.ButtonDelete());
  }
  EXPECT_TRUE(trace.Statements.isEmpty());
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM Device")), 4);
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) { tervox_test::AnswerBox(ADialog, QMessageBox::Yes); });
    tervox_test::Click(page.ButtonDelete());
  }
  EXPECT_EQ(trace.Statements, (QStringList{"DELETE FROM Device WHERE ID=1", "DELETE FROM DeviceGroupItem WHERE DeviceID=1",
                                           "DELETE FROM Device WHERE ID=2", "DELETE FROM DeviceGroupItem WHERE DeviceID=2",
                                           "DELETE FROM Device WHERE ID=3", "DELETE FROM DeviceGroupItem WHERE DeviceID=3"}));
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT group_concat(ID) FROM Device")), QStringLiteral("4"));
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT group_concat(GroupID || ':' || DeviceID) FROM DeviceGroupItem")),
            QStringLiteral("2:4"));
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID = 1")), 1)
      << "stored readings stay";
  EXPECT_EQ(page.GridDevice()->RowCount(), 2);
  EXPECT_EQ(RowTexts(page.GridDevice(), 1)[1], QStringLiteral("Spare"));
}

TEST(FrameDevice, EditingTheRowUnderTheCursorStoresTheEditorsRecord) {
  TestDatabase database;
  AddPortsAndDevices();
  TFrameDevice page;
  page.resize(900, 300);
  page.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
  TDqDrawGrid* grid = page.GridDevice();
  ModalAnswers answers;
  answers.Then([](QWidget* ADialog) {
    auto* editor = qobject_cast<TFormEditDevice*>(ADialog);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->windowTitle(), QStringLiteral("Edit Device"));
    EXPECT_EQ(editor->EditName()->text(), QStringLiteral("Kiln"));
    EXPECT_EQ(editor->ComboAddress()->currentText(), QStringLiteral("12"));
    editor->EditName()->setText(QStringLiteral("Kiln east"));
    tervox_test::Click(editor->ButtonSave());
  });
  QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(1, 2).center());
  ASSERT_TRUE(QTest::qWaitFor([&] { return RowTexts(grid, 2)[1] == QLatin1String("Kiln east"); }, 20000));
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT Name FROM Device WHERE ID = 2")), QStringLiteral("Kiln east"));
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM Device")), 4);
}

TEST(FrameDevice, ChangesReachTheMonitorPanelsOfTheMainWindow) {
  TestDatabase database;
  AddPortsAndDevices();
  TFormMain form;
  ASSERT_TRUE(tervox_test::LoginAs(form));
  TFrameMonitor* monitor = form.GetFrame<TFrameMonitor>();
  ASSERT_NE(monitor, nullptr);
  EXPECT_EQ(monitor->Monitors()->Count(), 4);
  form.SelectPage<TFrameDevice>();
  auto* page = form.GetFrame<TFrameDevice>();
  ASSERT_NE(page, nullptr);
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) {
      auto* editor = qobject_cast<TFormEditDevice*>(ADialog);
      ASSERT_NE(editor, nullptr);
      EXPECT_EQ(editor->windowTitle(), QStringLiteral("Add Device"));
      tervox_test::Click(editor->ButtonSave());
    });
    tervox_test::Click(page->ButtonAdd());
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->GridDevice()->RowCount() == 6; }, 20000));
  }
  EXPECT_EQ(monitor->Monitors()->Count(), 5);
  EXPECT_EQ(DeviceList()->Count(), 5);

  SelectRows(page->GridDevice(), 2, 4);
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) { tervox_test::AnswerBox(ADialog, QMessageBox::Yes); });
    tervox_test::Click(page->ButtonDelete());
  }
  ASSERT_EQ(monitor->Monitors()->Count(), 2);
  QStringList names;
  for (int i = 0; i < 2; ++i) names << monitor->Monitors()->Monitors(i)->Device()->DeviceName();
  EXPECT_EQ(names, (QStringList{"Oven", "Device 1"}));
  form.close();
}

} // namespace
