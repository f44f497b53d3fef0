// The group editor, its controller picker and its mobile-number entry.
#include "widgets/DqDrawGrid.h"
#include "ui/dialogs/Form_EditDeviceGroup.h"
#include "ui/dialogs/Frame_AddGroupDevice.h"
#include "ui/dialogs/Frame_AddGroupMobile.h"
#include "ui/UiTestSupport.h"

#include <QLineEdit>
#include <QListWidget>
#include <QToolButton>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;

namespace {

class EditDeviceGroup : public ::testing::Test {
protected:
  void SetUp() override {
    TestDatabase::Exec(QStringLiteral("INSERT INTO Device (ID, Name) VALUES (1, 'Oven'), (2, 'Kiln'), (3, 'Dryer')"));
  }
  // Types into the entry and saves; the refusal shown, or empty.
  static QString AddMobile(TFormEditDeviceGroup& AEditor, const QString& AName, const QString& ANumber) {
    tervox_test::Click(AEditor.ButtonAddMobile());
    TFrameAddGroupMobile* entry = AEditor.FrameAddGroupMobile();
    EXPECT_TRUE(entry->isVisible());
    EXPECT_TRUE(entry->EditName()->text().isEmpty());
    entry->EditName()->setText(AName);
    entry->EditMobile()->setText(ANumber);
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) { tervox_test::Click(ADialog->findChild<QPushButton*>(QStringLiteral("ButtonOK"))); });
    tervox_test::Click(entry->ButtonSave());
    answers.DropPending();
    if (answers.Texts.isEmpty()) {
      EXPECT_FALSE(entry->isVisible());
      return QString();
    }
    EXPECT_TRUE(entry->isVisible()) << "a refusal leaves the entry open";
    EXPECT_EQ(entry->EditMobile()->text(), ANumber) << "with its input";
    entry->hide();
    return answers.Texts.first();
  }
  static QStringList Column(const std::vector<QStringList>& ARows, int ACol) {
    QStringList texts;
    for (const QStringList& row : ARows) texts << row.value(ACol);
    return texts;
  }

  TestDatabase FDatabase;
};

TEST_F(EditDeviceGroup, MobileNumbersAreCheckedAndStoredWithAPlus) {
  EditGroupID = -1;
  TFormEditDeviceGroup editor;
  editor.show();
  const QString name100(100, QLatin1Char('n'));
  const struct {
    QString name, number, refusal;
  } cases[] = {
      {"Ann", "0811234", ""},
      {"  Bob   the   boss ", " 081123456789 ", ""},
      {"Cid", "081123", "Minimum of Mobile Number is 7 numbers."},
      {"Cid", "0811234567890", "Maximum of Mobile Number is 12 numbers."},
      {"Cid", "+66811234567", "Mobile Number must contain only 0-9."},
      {"Cid", "081-123-4567", "Mobile Number must contain only 0-9."},
      {"Cid", "0811234", "Mobile Number is existing. Re-enter another number."},
      {"Cid", "", "Mobile Number cannot be empty."},
      {"   ", "0899999", "Name cannot be empty."},
      {"a\tb", "0899999", "Invalid Name. Please try again."},
      {name100 + "x", "0899999", "Maximum of Name is 100 characters."},
      {name100, "0899999", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(AddMobile(editor, c.name, c.number), c.refusal) << c.name.toStdString() << " " << c.number.toStdString();
  EXPECT_EQ(Column(editor.MobileRows(), 1), (QStringList{"+0811234", "+081123456789", "+0899999"}));
  EXPECT_EQ(Column(editor.MobileRows(), 0), (QStringList{"Ann", "Bob the boss", name100}));

  editor.EditName()->setText(QStringLiteral("  Night    shift "));
  tervox_test::Click(editor.ButtonSave());
  EXPECT_EQ(editor.result(), QDialog::Accepted);
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT Name FROM DeviceGroup WHERE ID = %1").arg(EditGroupID)),
            QStringLiteral("Night shift"));
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT group_concat(MobileNumber, ';') FROM DeviceGroupMobile WHERE GroupID = %1")
                                    .arg(EditGroupID)),
            QStringLiteral("+0811234;+081123456789;+0899999"));
}

TEST_F(EditDeviceGroup, GroupNamesOfUpTo100Characters) {
  const struct {
    QString name, refusal;
  } cases[] = {
      {"", "Group Name cannot be empty."},
      {"a\x01z", "Invalid Group Name. Please try again."},
      {QString(101, QLatin1Char('g')), "Maximum of Group Name is 100 characters."},
      {QString(100, QLatin1Char('g')), ""},
  };
  for (const auto& c : cases) {
    EditGroupID = -1;
    TFormEditDeviceGroup editor;
    editor.EditName()->setText(c.name);
    ModalAnswers answers;
    answers.ThenOk();
    tervox_test::Click(editor.ButtonSave());
    answers.DropPending();
    EXPECT_EQ(answers.Texts.value(0), c.refusal);
    EXPECT_EQ(editor.result(), c.refusal.isEmpty() ? QDialog::Accepted : QDialog::Rejected);
  }
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM DeviceGroup")), 1);
}

TEST_F(EditDeviceGroup, PickerOffersTheOthersAndKeepsIDOrder) {
  EditGroupID = -1;
  TFormEditDeviceGroup editor;
  editor.resize(550, 419);
  editor.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&editor));
  TFrameAddGroupDevice* picker = editor.FrameAddGroupDevice();
  tervox_test::Click(editor.ButtonAddDevice());
  ASSERT_TRUE(picker->isVisible());
  QListWidget* list = picker->ListBoxDevice();
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(list->item(0)->text(), QStringLiteral("Oven"));
  list->setCurrentRow(2); // Dryer, ID 3
  tervox_test::Click(picker->ButtonAdd());
  EXPECT_EQ(list->currentRow(), 1) << "the last entry moved up";
  list->setCurrentRow(0); // Oven, ID 1
  tervox_test::Click(picker->ButtonAdd());
  EXPECT_EQ(Column(editor.DeviceRows(), 0), (QStringList{"1", "3"}));
  EXPECT_EQ(list->currentItem()->text(), QStringLiteral("Kiln"));
  tervox_test::Click(picker->ButtonAdd());
  EXPECT_FALSE(picker->isVisible()) << "adding the last entry hides the picker";
  EXPECT_EQ(Column(editor.DeviceRows(), 0), (QStringList{"1", "2", "3"}));
  EXPECT_EQ(Column(editor.DeviceRows(), 1), (QStringList{"Oven", "Kiln", "Dryer"}));
  {
    ModalAnswers answers;
    answers.ThenOk();
    tervox_test::Click(editor.ButtonAddDevice());
    EXPECT_EQ(answers.Texts, QStringList{QStringLiteral("No Device Found.")});
  }
  // Removing acts on the current row only.
  editor.StringGridDevice()->SetRow(2);
  tervox_test::Click(editor.SpeedButtonDeleteDevice());
  EXPECT_EQ(Column(editor.DeviceRows(), 0), (QStringList{"1", "3"}));
}

// Editing loads the group; a member whose controller is gone is not shown
// and the save drops it; a cancelled editor changes nothing.
TEST_F(EditDeviceGroup, EditingSavesTheWorkingCopyOnly) {
  TestDatabase::Exec(QStringLiteral("INSERT INTO DeviceGroup (ID, Name) VALUES (4, 'Day')"));
  TestDatabase::Exec(QStringLiteral("INSERT INTO DeviceGroupItem VALUES (4, 2), (4, 99)"));
  TestDatabase::Exec(QStringLiteral("INSERT INTO DeviceGroupMobile VALUES (4, '+6681000', 'Ann')"));
  {
    EditGroupID = 4;
    TFormEditDeviceGroup editor;
    EXPECT_EQ(Column(editor.DeviceRows(), 0), QStringList{"2"});
    EXPECT_EQ(Column(editor.MobileRows(), 1), QStringList{"+6681000"});
    editor.StringGridMobile()->SetRow(1);
    tervox_test::Click(editor.ButtonDeleteMobile());
    EXPECT_TRUE(editor.MobileRows().empty());
    tervox_test::Click(editor.ButtonCancel());
  }
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM DeviceGroupMobile")), 1);
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM DeviceGroupItem")), 2);
  {
    EditGroupID = 4;
    TFormEditDeviceGroup editor;
    editor.EditName()->setText(QStringLiteral("Day"));
    tervox_test::Click(editor.ButtonSave());
  }
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT group_concat(DeviceID) FROM DeviceGroupItem")), QStringLiteral("2"));
  EXPECT_EQ(EditGroupID, 4);
}

// A new group's ID comes from its own insert, even while the recorder
// inserts history rows on the same connection.
TEST_F(EditDeviceGroup, NewGroupIDIsTheInsertedRow) {
  std::atomic<bool> stop{false};
  std::thread recorder([&] {
    for (int i = 0; !stop; ++i)
      GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO UsageLog (LogTime, Detail) VALUES (%1, 'r')").arg(50000 + i));
  });
  int wrong = 0;
  for (int i = 0; i < 40; ++i) {
    EditGroupID = -1;
    TFormEditDeviceGroup editor;
    editor.EditName()->setText(QStringLiteral("G%1").arg(i));
    tervox_test::Click(editor.ButtonSave());
    if (TestDatabase::Value(QStringLiteral("SELECT Name FROM DeviceGroup WHERE ID = %1").arg(EditGroupID)) !=
        QStringLiteral("G%1").arg(i))
      ++wrong;
  }
  stop = true;
  recorder.join();
  EXPECT_EQ(wrong, 0);
}

} // namespace
