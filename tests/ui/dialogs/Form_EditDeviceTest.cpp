// The device editor: its lists, what it shows of a record, the naming rule,
// and saving after the identification read, against simulated controllers
// on a real pseudo-terminal.
#include "store/DqSQLite.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "ui/dialogs/Form_EditDevice.h"
#include "ui/UiTestSupport.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using tervox_test::TestDatabase;

namespace {

QStringList PaintedTexts(QWidget* AWidget) {
  tervox_test::TextCapture capture(AWidget->size());
  AWidget->render(&capture);
  QStringList texts;
  for (const auto& text : capture.Texts) texts << text.Text;
  return texts;
}

QStringList Items(const QComboBox* ACombo) {
  QStringList items;
  for (int i = 0; i < ACombo->count(); ++i) items << ACombo->itemText(i);
  return items;
}

void ShowEditor(TFormEditDevice& AEditor) {
  AEditor.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&AEditor));
}

void PressDown(QWidget* AWidget, int ATimes = 1) {
  AWidget->setFocus();
  for (int i = 0; i < ATimes; ++i) QTest::keyClick(AWidget, Qt::Key_Down);
}

void Toggle(QCheckBox* ABox) {
  ABox->setFocus();
  QTest::keyClick(ABox, Qt::Key_Space);
}

void TypeInto(QLineEdit* AEdit, const QString& AText) {
  AEdit->setFocus();
  AEdit->selectAll();
  QTest::keyClicks(AEdit, AText);
}

TTervoxDeviceData StoredRow(int AID) {
  auto table = GetDatabase()->GetTable(QStringLiteral("SELECT * FROM Device WHERE ID = %1").arg(AID));
  TTervoxDeviceData data;
  if (!table->Eof()) data.LoadFromDB(*table);
  return data;
}

TTervoxDeviceData Kiln() {
  TTervoxDeviceData data;
  data.ID = 4;
  data.Name = QStringLiteral("Kiln");
  data.DevicePortID = 2;
  data.SlaveID = 12;
  data.Model = QStringLiteral("TRX-K1");
  data.Description = QStringLiteral("east hall");
  data.Enabled = true;
  return data;
}

TEST(FormEditDevice, ListsAndANewRecord) {
  TestDatabase database;
  TestDatabase::Exec(QStringLiteral("INSERT INTO DevicePort (ID, Name, PortType) VALUES (1, 'Zeta', 1), "
                                    "(2, 'Alpha', 1), (3, 'Alpha', 1)"));
  TFormEditDevice editor;
  ShowEditor(editor);
  EXPECT_EQ(editor.windowTitle(), QStringLiteral("Add Device"));
  EXPECT_EQ(editor.ButtonSave()->text(), QStringLiteral("Add"));
  EXPECT_EQ(editor.ButtonCancel()->text(), QStringLiteral("&Cancel"));
  // The items are port IDs in the order of the names; names are painted.
  EXPECT_EQ(Items(editor.ComboPortName()), (QStringList{"2", "3", "1"}));
  EXPECT_EQ(editor.ComboPortName()->currentIndex(), 0);
  EXPECT_TRUE(PaintedTexts(editor.ComboPortName()).contains(QStringLiteral("Alpha")));
  editor.ComboPortName()->setCurrentIndex(2);
  EXPECT_TRUE(PaintedTexts(editor.ComboPortName()).contains(QStringLiteral("Zeta")));
  editor.ComboPortName()->showPopup();
  QAbstractItemView* popup = editor.ComboPortName()->view();
  ASSERT_TRUE(QTest::qWaitFor([&] { return popup->isVisible(); }));
  const QStringList shown = PaintedTexts(popup->viewport());
  EXPECT_EQ(shown.count(QStringLiteral("Alpha")), 2);
  EXPECT_EQ(shown.count(QStringLiteral("Zeta")), 1);
  EXPECT_FALSE(shown.contains(QStringLiteral("2")));
  editor.ComboPortName()->hidePopup();

  QStringList addresses;
  for (int i = 1; i <= 255; ++i) addresses << QString::number(i);
  EXPECT_EQ(Items(editor.ComboAddress()), addresses);
  EXPECT_TRUE(editor.ComboAddress()->isEditable());
  EXPECT_EQ(Items(editor.ComboDimension()), (QStringList{"Not defined", "A (W96 x H96mm)", "B (W48 x H96mm)",
                                                         "C (W72 x H72mm)", "D (w48 x H48mm)"}));
  EXPECT_EQ(Items(editor.ComboPower()), (QStringList{"Not defined", "F (100-240 VAC)", "L (24 VDC/AC, TRX9 Only)"}));
  EXPECT_EQ(editor.ComboDimension()->currentText(), QStringLiteral("Not defined"));
  EXPECT_EQ(editor.ComboPower()->currentText(), QStringLiteral("Not defined"));
  EXPECT_EQ(editor.EditName()->text(), QStringLiteral("Device 1"));
  auto* optional = editor.findChild<QGroupBox*>(QStringLiteral("GroupOptional"));
  ASSERT_NE(optional, nullptr);
  EXPECT_EQ(optional->title(), QStringLiteral("Optional"));
  EXPECT_TRUE(PaintedTexts(&editor).contains(QStringLiteral("Program can not automatic detect this")));
  const QString shots = qEnvironmentVariable("TERVOX_SCREENSHOT_DIR");
  if (!shots.isEmpty()) editor.grab().save(QDir(shots).filePath(QStringLiteral("edit_device.png")));
}

TEST(FormEditDevice, AStoredRecordSelectsItsItems) {
  TestDatabase database;
  TestDatabase::Exec(QStringLiteral("INSERT INTO DevicePort (ID, Name, PortType) VALUES (1, 'Line 1', 1), "
                                    "(2, 'Line 2', 1)"));
  const struct {
    const char* Dimension;
    const char* Power;
    const char* DimensionShown;
    const char* PowerShown;
  } cases[] = {
      {"B", "F", "B (W48 x H96mm)", "F (100-240 VAC)"},
      {"", "L", "Not defined", "L (24 VDC/AC, TRX9 Only)"},
      {"D", "X", "D (w48 x H48mm)", "Not defined"},
      {"A", "", "A (W96 x H96mm)", "Not defined"},
      // Letters the list does not have.
      {"E", "f", "Not defined", "Not defined"},
      {"b", "FL", "Not defined", "Not defined"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Dimension);
    TTervoxDeviceData data = Kiln();
    data.Dimension = QString::fromLatin1(c.Dimension);
    data.Power = QString::fromLatin1(c.Power);
    TFormEditDevice editor;
    editor.SetData(data);
    ShowEditor(editor);
    EXPECT_EQ(editor.windowTitle(), QStringLiteral("Edit Device"));
    EXPECT_EQ(editor.ButtonSave()->text(), QStringLiteral("Save"));
    EXPECT_EQ(editor.ComboPortName()->currentText(), QStringLiteral("2"));
    EXPECT_TRUE(PaintedTexts(editor.ComboPortName()).contains(QStringLiteral("Line 2")));
    EXPECT_EQ(editor.ComboAddress()->currentIndex(), 11);
    EXPECT_EQ(editor.MemoDescription()->toPlainText(), QStringLiteral("east hall"));
    EXPECT_EQ(editor.ComboDimension()->currentText(), QString::fromLatin1(c.DimensionShown));
    EXPECT_EQ(editor.ComboPower()->currentText(), QString::fromLatin1(c.PowerShown));
    EXPECT_EQ(editor.EditName()->text(), QStringLiteral("Kiln")) << "showing does not rename";
    EXPECT_TRUE(editor.EditEnabled()->isChecked());
  }
}

TEST(FormEditDevice, ChangingAddressDimensionOrPowerNamesTheDeviceAfterItsAddress) {
  TestDatabase database;
  const struct {
    const char* What;
    std::function<void(TFormEditDevice&)> Change;
    const char* Name;
  } cases[] = {
      {"dimension only", [](TFormEditDevice& e) { PressDown(e.ComboDimension()); }, "Device 12"},
      {"power only", [](TFormEditDevice& e) { PressDown(e.ComboPower(), 2); }, "Device 12"},
      {"address picked", [](TFormEditDevice& e) { PressDown(e.ComboAddress()); }, "Device 13"},
      {"address typed", [](TFormEditDevice& e) { TypeInto(e.ComboAddress()->lineEdit(), QStringLiteral("300")); },
       "Device 300"},
      {"description", [](TFormEditDevice& e) { QTest::keyClicks(e.MemoDescription(), QStringLiteral("x")); }, "Kiln"},
      {"enabled", [](TFormEditDevice& e) { Toggle(e.EditEnabled()); }, "Kiln"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    TFormEditDevice editor;
    editor.SetData(Kiln());
    ShowEditor(editor);
    c.Change(editor);
    EXPECT_EQ(editor.EditName()->text(), QString::fromLatin1(c.Name));
  }
}

TEST(FormEditDevice, TextsThatAreNoNumbersAreStoredAsMinusOne) {
  TestDatabase database; // no ports at all
  TFormEditDevice editor;
  ShowEditor(editor);
  TypeInto(editor.ComboAddress()->lineEdit(), QStringLiteral("x1"));
  ASSERT_TRUE(editor.EditEnabled()->isChecked()); // a new controller is polled unless told otherwise
  Toggle(editor.EditEnabled());
  tervox_test::Click(editor.ButtonSave());
  ASSERT_TRUE(QTest::qWaitFor([&] { return editor.result() == QDialog::Accepted; }, 20000));
  const TTervoxDeviceData row = StoredRow(1);
  EXPECT_EQ(row.Name, QStringLiteral("Device x1"));
  EXPECT_EQ(row.DevicePortID, -1);
  EXPECT_EQ(row.SlaveID, -1);
  EXPECT_EQ(row.Dimension, QString());
  EXPECT_EQ(row.Power, QString());
  EXPECT_FALSE(row.Enabled);
  EXPECT_FALSE(editor.isVisible());
}

// A line of simulated controllers at addresses 1 and 5, known to the port
// list as port 1, with a port sorted before it that goes nowhere.
class EditDeviceOnLine : public ::testing::Test {
protected:
  void SetUp() override {
    FLine = std::make_unique<TSimControllerLine>(FDir.Path(QStringLiteral("line0")), std::vector<int>{1, 5});
    QString error;
    ASSERT_TRUE(FLine->Start(&error)) << error.toStdString();
    TSQLiteParamList params;
    params.SetParamValues(":PortName", FLine->LinkPath());
    GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO DevicePort (ID, Name, PortType, PortName, BaudRate, DataBits, "
                                          "StopBits, Parity) VALUES (1, 'Line 1', 1, :PortName, 9600, 8, 0, 0), "
                                          "(2, 'A spare line', 1, '/nonexistent/tervox-spare', 9600, 8, 0, 0)"),
                           &params);
    TTervoxDevice::InitialPort();
  }
  void TearDown() override { TTervoxDevice::StopThread(); }

  // Runs after every request queued before it, and after their completions.
  static void WaitForQueuedReads() {
    auto fence = std::make_shared<TTervoxDevice>();
    bool done = false;
    fence->ReadInformation([&done] { done = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 30000));
  }

  // The code the identification of controller AAddress gives with AData's
  // stored dimension and power.
  QString ModelCodeOf(int AAddress, const TTervoxDeviceData& AData) {
    TTervoxModelType type;
    FLine->WithController(AAddress, [&](TSimController& c) {
      for (int i = 0; i < 10; ++i) {
        type.Data[static_cast<std::size_t>(2 * i)] = static_cast<char>(c.Register(static_cast<std::uint16_t>(64 + i)) >> 8);
        type.Data[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>(c.Register(static_cast<std::uint16_t>(64 + i)) & 0xFF);
      }
    });
    TTervoxDevice oracle;
    oracle.SetDeviceData(AData);
    oracle.SetModelType(type);
    return oracle.ModelCode();
  }

  TestDatabase FDatabase;
  tervox_test::TempDir FDir;
  std::unique_ptr<TSimControllerLine> FLine;
};

TEST_F(EditDeviceOnLine, AddingStoresTheModelReadFromTheController) {
  TFormEditDevice editor;
  ShowEditor(editor);
  ASSERT_EQ(editor.ComboPortName()->currentText(), QStringLiteral("2")); // "A spare line" first
  PressDown(editor.ComboPortName());
  TypeInto(editor.ComboAddress()->lineEdit(), QStringLiteral("5"));
  PressDown(editor.ComboDimension(), 2);
  PressDown(editor.ComboPower(), 2);
  QTest::keyClicks(editor.MemoDescription(), QStringLiteral("north wall"));
  // Right after the click the read is on its way: no second save.
  bool pendingAfterClick = false;
  QObject::connect(editor.ButtonSave(), &QPushButton::clicked, &editor, [&] {
    pendingAfterClick = editor.Saving() && !editor.ButtonSave()->isEnabled() && editor.isVisible();
    QTest::mouseClick(editor.ButtonSave(), Qt::LeftButton);
  });
  tervox_test::Click(editor.ButtonSave());
  EXPECT_TRUE(pendingAfterClick);
  ASSERT_TRUE(QTest::qWaitFor([&] { return editor.result() == QDialog::Accepted; }, 20000));
  EXPECT_FALSE(editor.isVisible());
  EXPECT_FALSE(editor.Saving());
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM Device")), 1);
  const TTervoxDeviceData row = StoredRow(1);
  EXPECT_EQ(row.Name, QStringLiteral("Device 5"));
  EXPECT_EQ(row.DevicePortID, 1);
  EXPECT_EQ(row.SlaveID, 5);
  EXPECT_EQ(row.Dimension, QStringLiteral("B"));
  EXPECT_EQ(row.Power, QStringLiteral("L"));
  EXPECT_EQ(row.Description, QStringLiteral("north wall"));
  EXPECT_TRUE(row.Enabled);
  EXPECT_FALSE(row.Model.isEmpty());
  EXPECT_EQ(row.Model, ModelCodeOf(5, row));
}

TEST_F(EditDeviceOnLine, ASilentControllerKeepsTheStoredModel) {
  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (ID, Name, DevicePortID, Address, Model, Enabled) VALUES "
                                    "(3, 'Kiln', 1, 5, 'OLD-CODE', 1)"));
  FLine->SetFault(5, TSimFault::Silent, true);
  TFormEditDevice editor;
  editor.SetData(StoredRow(3));
  ShowEditor(editor);
  QTest::keyClicks(editor.MemoDescription(), QStringLiteral("quiet"));
  tervox_test::Click(editor.ButtonSave());
  ASSERT_TRUE(QTest::qWaitFor([&] { return editor.result() == QDialog::Accepted; }, 30000));
  const TTervoxDeviceData row = StoredRow(3);
  EXPECT_EQ(row.Description, QStringLiteral("quiet"));
  EXPECT_EQ(row.Model, QStringLiteral("OLD-CODE"));
  EXPECT_EQ(row.Name, QStringLiteral("Kiln"));
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM Device")), 1);

  // The same controller answering again: the code follows the controller.
  FLine->SetFault(5, TSimFault::Silent, false);
  TFormEditDevice again;
  again.SetData(StoredRow(3));
  ShowEditor(again);
  tervox_test::Click(again.ButtonSave());
  ASSERT_TRUE(QTest::qWaitFor([&] { return again.result() == QDialog::Accepted; }, 20000));
  EXPECT_EQ(StoredRow(3).Model, ModelCodeOf(5, StoredRow(3)));
  EXPECT_NE(StoredRow(3).Model, QStringLiteral("OLD-CODE"));
}

TEST_F(EditDeviceOnLine, CancellingWhileTheReadIsPendingStoresNothing) {
  FLine->SetFault(1, TSimFault::Silent, true);
  TFormEditDevice kept;
  auto freed = std::make_unique<TFormEditDevice>();
  for (TFormEditDevice* editor : {&kept, freed.get()}) {
    ShowEditor(*editor);
    PressDown(editor->ComboPortName()); // Line 1, address 1
    tervox_test::Click(editor->ButtonSave());
    ASSERT_TRUE(editor->Saving());
    tervox_test::Click(editor->ButtonCancel());
  }
  freed.reset();
  WaitForQueuedReads();
  EXPECT_EQ(kept.result(), QDialog::Rejected);
  EXPECT_FALSE(kept.isVisible());
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM Device")), 0);
}

} // namespace
