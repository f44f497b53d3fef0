#include "ui/dialogs/Form_ChangePassword.h"
#include "ui/base/Form_Password.h"
#include "ui/base/Main_Routine.h"
#include "ui/UiTestSupport.h"

#include <QLineEdit>

#include <gtest/gtest.h>

using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;

namespace {

TEST(FormPassword, AdminPasswordPromptAcceptsOnlyTheAdminPassword) {
  TestDatabase database;
  struct Case {
    QString Typed;
    bool Accepted;
    QStringList Errors;
  } const cases[] = {
      {QStringLiteral("9372"), true, {}},
      {QStringLiteral("1234"), false, {QStringLiteral("Wrong admin password")}},
  };
  for (const Case& c : cases) {
    ModalAnswers answers;
    answers.Then([&](QWidget* ADialog) {
      EXPECT_EQ(ADialog->windowTitle(), QStringLiteral("Please enter password"));
      auto* edit = ADialog->findChild<QLineEdit*>(QStringLiteral("EditPassword"));
      QTest::keyClicks(edit, c.Typed);
      tervox_test::Click(ADialog->findChild<QPushButton*>(QStringLiteral("ButtonOK")));
      if (!c.Accepted) QTimer::singleShot(50, ADialog, [ADialog] {
          tervox_test::Click(ADialog->findChild<QPushButton*>(QStringLiteral("ButtonCancel")));
        });
    });
    if (!c.Accepted) answers.ThenOk();
    EXPECT_EQ(AskAdminPassword(), c.Accepted) << c.Typed.toStdString();
    EXPECT_EQ(answers.Texts.mid(1), c.Errors);
  }
}

TEST(FormPassword, ChangePasswordCollectsProblemsAndStoresOnlyAValidChange) {
  TestDatabase database;
  TSQLiteTable table(GetDatabase());
  table.SetSQL(QStringLiteral("SELECT * FROM Users WHERE Username = 'admin'"));
  table.Open();
  CurrentUser()->LoadFromDB(&table);
  table.Close();

  struct Case {
    QString Current, New, Confirm;
    QString Error; // empty: accepted
  } const cases[] = {
      {QStringLiteral("9372"), QStringLiteral("abc"), QStringLiteral("abd"),
       QStringLiteral("Confirm password not match a new password.")},
      {QStringLiteral("0000"), QStringLiteral("abc"), QStringLiteral("abc"), QStringLiteral("Incorrect current password.")},
      {QStringLiteral("0000"), QStringLiteral("abc"), QStringLiteral("x"),
       QStringLiteral("Incorrect current password.\nConfirm password not match a new password.")},
      {QStringLiteral("9372"), QStringLiteral("n3w"), QStringLiteral("n3w"), QString()},
      {QStringLiteral("n3w"), QString(), QString(), QString()}, // an empty new password is accepted
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Error.toStdString());
    const QString before = TestDatabase::Value(QStringLiteral("SELECT Password FROM Users WHERE Username = 'admin'"));
    TFormChangePassword dialog;
    ModalAnswers answers;
    answers.Then([&](QWidget*) {
      EXPECT_EQ(QApplication::focusWidget(), dialog.EditOldPassword());
      QTest::keyClicks(dialog.EditOldPassword(), c.Current);
      QTest::keyClicks(dialog.EditNewPassword(), c.New);
      QTest::keyClicks(dialog.EditConfirmPassword(), c.Confirm);
      tervox_test::Click(dialog.ButtonOK());
      if (!c.Error.isEmpty()) QTimer::singleShot(50, &dialog, [&] { dialog.reject(); });
    });
    if (!c.Error.isEmpty()) answers.ThenOk();
    const bool accepted = dialog.exec() == QDialog::Accepted;
    const QString after = TestDatabase::Value(QStringLiteral("SELECT Password FROM Users WHERE Username = 'admin'"));
    if (c.Error.isEmpty()) {
      EXPECT_TRUE(accepted);
      EXPECT_TRUE(CheckPassword(after, c.New));
      EXPECT_EQ(CurrentUser()->Password, after);
    } else {
      EXPECT_FALSE(accepted);
      EXPECT_EQ(answers.Texts.mid(1), QStringList{c.Error});
      EXPECT_EQ(after, before) << "a refused change writes nothing";
    }
  }
}

} // namespace
