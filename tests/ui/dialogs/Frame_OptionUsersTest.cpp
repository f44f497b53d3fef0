#include "widgets/DqDrawGrid.h"
#include "widgets/TextCapture.h"
#include "ui/dialogs/Form_EditUser.h"
#include "ui/dialogs/Frame_OptionUsers.h"
#include "ui/UiTestSupport.h"

#include <QComboBox>
#include <QLineEdit>

#include <gtest/gtest.h>

using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;

namespace {

class FrameOptionUsers : public ::testing::Test {
protected:
  void SetUp() override {
    TestDatabase::Exec(QStringLiteral(
        "INSERT INTO Users (Username, Password, GroupName, DisplayName, Mobile, Position, OldPassword) VALUES "
        "('bob', 'b0b', 'Engineers', 'Bob', '0811', 'Shift lead', 'older'), "
        "('carl', 'c4rl', 'Users', 'Carl', '', 'Operator', ''), "
        "('dave', 'd4ve', 'Users', 'Dave', NULL, '', NULL)"));
  }

  // Usernames the grid shows, top to bottom.
  static QStringList ShownNames(TDqDrawGrid* AGrid) {
    tervox_test::TextCapture capture(AGrid->viewport()->size());
    AGrid->viewport()->render(&capture);
    QStringList names;
    for (int row = 1; row < AGrid->RowCount(); ++row) names << capture.TextsIn(AGrid->CellRect(0, row));
    return names;
  }

  static QStringList StoredNames() {
    QStringList names;
    auto table = GetDatabase()->GetTable(QStringLiteral("SELECT Username FROM Users ORDER BY Username"));
    for (; !table->Eof(); table->Next()) names << table->GetFields(0)->AsString();
    return names;
  }

  static void Type(QLineEdit* AEdit, const QString& AText) {
    AEdit->setFocus();
    AEdit->clear();
    QTest::keyClicks(AEdit, AText);
  }

  TestDatabase FDatabase;
};

TEST_F(FrameOptionUsers, GridListsTheUsersInTheirColumns) {
  TFrameOptionUsers page;
  page.resize(700, 400);
  TDqDrawGrid* grid = page.GridUsers();
  EXPECT_EQ(grid->RowCount(), 5);
  EXPECT_EQ(grid->ColCount(), 4);
  EXPECT_EQ(grid->ColWidths(0), 120);
  EXPECT_EQ(grid->ColWidths(1), 200);
  EXPECT_EQ(grid->ColWidths(2), 150);
  EXPECT_EQ(grid->ColWidths(3), 150);
  EXPECT_EQ(ShownNames(grid), (QStringList{"admin", "bob", "carl", "dave"}));
  tervox_test::TextCapture capture(grid->viewport()->size());
  grid->viewport()->render(&capture);
  EXPECT_EQ(capture.TextsIn(grid->CellRect(3, 0)), QStringList{QStringLiteral("Position")});
  EXPECT_EQ(capture.TextsIn(grid->CellRect(3, 2)), QStringList{QStringLiteral("Shift lead")});
  EXPECT_EQ(capture.TextsIn(grid->CellRect(2, 4)), QStringList{}); // a NULL mobile shows nothing
}

TEST_F(FrameOptionUsers, DeletingARangeRemovesAllButAdmin) {
  TFrameOptionUsers page;
  page.resize(700, 400);
  page.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
  TDqDrawGrid* grid = page.GridUsers();
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(0, 1).center());
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::ShiftModifier, grid->CellRect(0, 3).center());
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) { tervox_test::AnswerBox(ADialog, QMessageBox::No); });
    tervox_test::Click(page.ButtonDeleteUser());
    EXPECT_EQ(answers.Texts, QStringList{QStringLiteral("Are you sure to DELETE selected user(s)?")});
  }
  EXPECT_EQ(StoredNames(), (QStringList{"admin", "bob", "carl", "dave"}));
  {
    ModalAnswers answers;
    answers.Then([](QWidget* ADialog) { tervox_test::AnswerBox(ADialog, QMessageBox::Yes); });
    tervox_test::Click(page.ButtonDeleteUser());
  }
  EXPECT_EQ(StoredNames(), (QStringList{"admin", "dave"}));
  EXPECT_EQ(ShownNames(grid), (QStringList{"admin", "dave"}));
}

TEST_F(FrameOptionUsers, AddingAUserStoresItAndRefusesBadInput) {
  TFrameOptionUsers page;
  struct Case {
    QString Name, Password, Confirm;
    QString Error; // empty: stored
  } const cases[] = {
      {QString(), QString(), QStringLiteral("x"),
       QStringLiteral("Please enter username.\nPlease enter password.\nConfirm password not match.")},
      {QStringLiteral("ADMIN"), QStringLiteral("p"), QStringLiteral("p"), QStringLiteral("Can not use \"ADMIN\" as username.")},
      {QStringLiteral("erin"), QStringLiteral("p1"), QStringLiteral("p2"), QStringLiteral("Confirm password not match.")},
      {QStringLiteral("erin"), QStringLiteral("Erin#1"), QStringLiteral("Erin#1"), QString()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name.toStdString());
    ModalAnswers answers;
    answers.Then([&](QWidget* ADialog) {
      auto* editor = qobject_cast<TFormEditUser*>(ADialog);
      ASSERT_NE(editor, nullptr);
      EXPECT_EQ(editor->windowTitle(), QStringLiteral("Add User"));
      EXPECT_EQ(editor->ButtonSave()->text(), QStringLiteral("Add"));
      EXPECT_EQ(editor->ComboGroup()->count(), 3);
      EXPECT_EQ(editor->ComboGroup()->currentIndex(), -1);
      Type(editor->EditUsername(), c.Name);
      Type(editor->EditDisplayName(), QStringLiteral("Erin"));
      Type(editor->EditPassword(), c.Password);
      Type(editor->EditConfirmPassword(), c.Confirm);
      editor->ComboGroup()->setCurrentIndex(editor->ComboGroup()->findText(QStringLiteral("Engineers")));
      Type(editor->EditMobile(), QStringLiteral("0899"));
      tervox_test::Click(editor->ButtonSave());
      if (!c.Error.isEmpty()) QTimer::singleShot(50, editor, [editor] { editor->reject(); });
    });
    if (!c.Error.isEmpty()) answers.ThenOk();
    tervox_test::Click(page.ButtonAddUser());
    if (!c.Error.isEmpty()) {
      EXPECT_EQ(answers.Texts.mid(1), QStringList{c.Error});
      EXPECT_EQ(StoredNames(), (QStringList{"admin", "bob", "carl", "dave"}));
    }
  }
  auto erin = GetDatabase()->GetTable(QStringLiteral("SELECT * FROM Users WHERE Username = 'erin'"));
  ASSERT_FALSE(erin->Eof());
  EXPECT_EQ(erin->FieldByName(QStringLiteral("GroupName"))->AsString(), QStringLiteral("Engineers"));
  EXPECT_EQ(erin->FieldByName(QStringLiteral("Mobile"))->AsString(), QStringLiteral("0899"));
  EXPECT_EQ(erin->FieldByName(QStringLiteral("PasswordLife"))->AsInteger(), 12);
  EXPECT_GT(erin->FieldByName(QStringLiteral("ExpireDate"))->AsDateTime(), Now() + 360);
  const QString stored = erin->FieldByName(QStringLiteral("Password"))->AsString();
  EXPECT_TRUE(IsPasswordHash(stored)) << "new passwords are never stored as typed";
  EXPECT_TRUE(CheckPassword(stored, QStringLiteral("Erin#1")));
  EXPECT_EQ(page.GridUsers()->RowCount(), 6) << "the grid was reloaded";
}

TEST_F(FrameOptionUsers, EditingKeepsUntouchedPasswordsAndProtectsAdmin) {
  TFrameOptionUsers page;
  page.resize(700, 400);
  page.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
  TDqDrawGrid* grid = page.GridUsers();
  {
    // bob, by double-click: a new position, the passwords untouched.
    ModalAnswers answers;
    answers.Then([&](QWidget* ADialog) {
      auto* editor = qobject_cast<TFormEditUser*>(ADialog);
      ASSERT_NE(editor, nullptr);
      EXPECT_EQ(editor->windowTitle(), QStringLiteral("Edit User"));
      EXPECT_EQ(editor->ButtonSave()->text(), QStringLiteral("Save"));
      EXPECT_EQ(editor->EditUsername()->text(), QStringLiteral("bob"));
      EXPECT_EQ(editor->EditPassword()->echoMode(), QLineEdit::Password);
      EXPECT_EQ(editor->ComboGroup()->currentText(), QStringLiteral("Engineers"));
      EXPECT_FALSE(editor->EditUsername()->isReadOnly());
      Type(editor->EditPosition(), QStringLiteral("Plant manager"));
      Type(editor->EditUsername(), QStringLiteral("robert"));
      // Entering a password field and leaving it empty restores it.
      editor->EditPassword()->setFocus();
      EXPECT_TRUE(editor->EditPassword()->text().isEmpty());
      editor->EditMobile()->setFocus();
      tervox_test::Click(editor->ButtonSave());
    });
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(0, 2).center());
  }
  auto bob = GetDatabase()->GetTable(QStringLiteral("SELECT * FROM Users WHERE Username = 'robert'"));
  ASSERT_FALSE(bob->Eof());
  EXPECT_EQ(bob->FieldByName(QStringLiteral("Position"))->AsString(), QStringLiteral("Plant manager"));
  EXPECT_EQ(bob->FieldByName(QStringLiteral("Password"))->AsString(), QStringLiteral("b0b"));
  EXPECT_EQ(bob->FieldByName(QStringLiteral("OldPassword"))->AsString(), QStringLiteral("older"));
  EXPECT_EQ(bob->FieldByName(QStringLiteral("GroupName"))->AsString(), QStringLiteral("Engineers"));
  bob.reset();
  {
    // admin: name and group fixed; a new password keeps the old one hashed.
    ModalAnswers answers;
    answers.Then([&](QWidget* ADialog) {
      auto* editor = qobject_cast<TFormEditUser*>(ADialog);
      ASSERT_NE(editor, nullptr);
      EXPECT_EQ(editor->EditUsername()->text(), QStringLiteral("admin"));
      EXPECT_TRUE(editor->EditUsername()->isReadOnly());
      EXPECT_FALSE(editor->ComboGroup()->isEnabled());
      Type(editor->EditPassword(), QStringLiteral("n3w-admin"));
      Type(editor->EditConfirmPassword(), QStringLiteral("n3w-admin"));
      tervox_test::Click(editor->ButtonSave());
    });
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(0, 1).center());
    tervox_test::Click(page.ButtonEditUser());
  }
  auto admin = GetDatabase()->GetTable(QStringLiteral("SELECT * FROM Users WHERE Username = 'admin'"));
  ASSERT_FALSE(admin->Eof());
  EXPECT_EQ(admin->FieldByName(QStringLiteral("GroupName"))->AsString(), QStringLiteral("Administrators"));
  EXPECT_TRUE(CheckPassword(admin->FieldByName(QStringLiteral("Password"))->AsString(), QStringLiteral("n3w-admin")));
  const QString old = admin->FieldByName(QStringLiteral("OldPassword"))->AsString();
  EXPECT_TRUE(IsPasswordHash(old));
  EXPECT_TRUE(CheckPassword(old, QStringLiteral("9372")));
  EXPECT_EQ(ShownNames(grid), (QStringList{"admin", "carl", "dave", "robert"}));
}

} // namespace
