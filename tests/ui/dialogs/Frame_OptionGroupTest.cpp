#include "widgets/DqDrawGrid.h"
#include "ui/dialogs/Form_EditDeviceGroup.h"
#include "ui/dialogs/Frame_AddGroupMobile.h"
#include "ui/dialogs/Frame_OptionGroup.h"
#include "ui/UiTestSupport.h"

#include <QLineEdit>
#include <QToolButton>

#include <gtest/gtest.h>

using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;

namespace {

TEST(FrameOptionGroup, AddSelectsTheNewGroupAndDeleteTakesItsRows) {
  TestDatabase database;
  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (ID, Name) VALUES (1, 'Oven')"));
  TestDatabase::Exec(QStringLiteral("INSERT INTO DeviceGroup (Name) VALUES ('Day'), ('Night')"));
  TFrameOptionGroup page;
  page.resize(700, 300);
  EXPECT_EQ(page.GridGroup()->RowCount(), 3);
  EXPECT_EQ(page.GridGroup()->ColWidths(0), 80);
  EXPECT_EQ(page.GridGroup()->ColWidths(1), 500);
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) {
      auto* editor = qobject_cast<TFormEditDeviceGroup*>(ADialog);
      ASSERT_NE(editor, nullptr);
      EXPECT_EQ(editor->windowTitle(), QStringLiteral("Add Group of Device"));
      editor->EditName()->setText(QStringLiteral("Weekend"));
      editor->AddDeviceToGrid(1, QStringLiteral("Oven"));
      tervox_test::Click(editor->ButtonAddMobile());
      editor->FrameAddGroupMobile()->EditName()->setText(QStringLiteral("Ann"));
      editor->FrameAddGroupMobile()->EditMobile()->setText(QStringLiteral("0811234567"));
      tervox_test::Click(editor->FrameAddGroupMobile()->ButtonSave());
      tervox_test::Click(editor->ButtonSave());
    });
    tervox_test::Click(page.ButtonAdd());
  }
  EXPECT_EQ(page.GridGroup()->RowCount(), 4);
  EXPECT_EQ(page.GridGroup()->Row(), 3) << "the new group is selected";
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT MobileNumber FROM DeviceGroupMobile WHERE GroupID = 3")),
            QStringLiteral("+0811234567"));
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) {
      auto* editor = qobject_cast<TFormEditDeviceGroup*>(ADialog);
      ASSERT_NE(editor, nullptr);
      EXPECT_EQ(editor->windowTitle(), QStringLiteral("Edit Group of Device"));
      EXPECT_EQ(editor->EditName()->text(), QStringLiteral("Weekend"));
      EXPECT_EQ(editor->DeviceRows().size(), 1u);
      tervox_test::Click(editor->ButtonCancel());
    });
    tervox_test::Click(page.ButtonEdit());
  }
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) {
      EXPECT_EQ(tervox_test::DialogText(ADialog), QStringLiteral("Are you sure to DELETE selected group?"));
      tervox_test::AnswerBox(ADialog, QMessageBox::Yes);
    });
    tervox_test::Click(page.ButtonDelete());
  }
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT group_concat(Name) FROM DeviceGroup")), QStringLiteral("Day,Night"));
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM DeviceGroupItem")), 0);
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM DeviceGroupMobile")), 0);
}

} // namespace
