#include "store/Tervox_Config.h"
#include "ui/shell/Form_Login.h"
#include "ui/UiTestSupport.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

#include <gtest/gtest.h>

using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;

namespace {

class FormLogin : public ::testing::Test {
protected:
  void TearDown() override { SetDeveloperLoginEnabled(false); }

  // Shows the dialog, types the name and password, presses Login and
  // answers the error boxes; returns whether the dialog closed with OK.
  bool TryLogin(const QString& AUser, const QString& APassword, QStringList& AErrors) {
    TFormLogin login;
    ModalAnswers answers;
    auto attempt = [&](QWidget*) {
      login.UsernameEdit()->clear();
      QTest::keyClicks(login.UsernameEdit(), AUser);
      login.PasswordEdit()->clear();
      QTest::keyClicks(login.PasswordEdit(), APassword);
      tervox_test::Click(login.ButtonLogin());
    };
    answers.Then(attempt);
    bool refused = false;
    answers.Then([&](QWidget* ADialog) {
      refused = true;
      tervox_test::AnswerBox(ADialog, QMessageBox::Ok);
      QTimer::singleShot(0, &login, [&] { login.reject(); });
    });
    const bool accepted = login.exec() == QDialog::Accepted;
    AErrors = answers.Texts.mid(1);
    if (!refused) answers.DropPending();
    return accepted;
  }

  TestDatabase FDatabase;
};

TEST_F(FormLogin, ShowsPrefilledFieldsAndTheStoredSmsChoice) {
  Config()->SetValueBool(QStringLiteral("SMSAlert"), true);
  TFormLogin login;
  EXPECT_TRUE(login.CheckBoxSMS()->isChecked());
  EXPECT_EQ(login.size(), QSize(360, 280));
  EXPECT_TRUE(login.windowFlags() & Qt::FramelessWindowHint);
  login.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&login));
  EXPECT_EQ(login.UsernameEdit()->text(), QStringLiteral("admin"));
  EXPECT_EQ(login.PasswordEdit()->text(), QStringLiteral("9372"));
  EXPECT_EQ(login.PasswordEdit()->echoMode(), QLineEdit::Password);
  EXPECT_EQ(QApplication::focusWidget(), login.UsernameEdit());
  EXPECT_EQ(login.findChild<QLabel*>(QStringLiteral("LabelVersion"))->text(), QStringLiteral("v3.0"));

  // Enter in the name moves to the password; Enter there logs in.
  QTest::keyClick(login.UsernameEdit(), Qt::Key_Return);
  EXPECT_EQ(QApplication::focusWidget(), login.PasswordEdit());
  EXPECT_TRUE(login.isVisible());
  QTest::mouseClick(login.CheckBoxSMS(), Qt::LeftButton, {}, QPoint(8, login.CheckBoxSMS()->height() / 2));
  EXPECT_FALSE(login.CheckBoxSMS()->isChecked());
  QTest::keyClick(login.PasswordEdit(), Qt::Key_Return);
  EXPECT_EQ(login.result(), QDialog::Accepted);
  EXPECT_FALSE(Config()->GetValueBool(QStringLiteral("SMSAlert")));
}

TEST_F(FormLogin, RefusesUnknownNamesAndWrongPasswordsWithoutWriting) {
  const QString seeded = TestDatabase::Value(QStringLiteral("SELECT Password FROM Users WHERE Username = 'admin'"));
  EXPECT_TRUE(seeded.startsWith(QStringLiteral("$argon2id$"))) << "a new database holds no password as text";
  struct Case {
    QString User, Password, Error;
  } const cases[] = {
      {QStringLiteral("Admin"), QStringLiteral("9372"), QStringLiteral("Username not found")},
      {QStringLiteral("admin"), QStringLiteral("9373"), QStringLiteral("Wrong password")},
      {QStringLiteral("admin"), QString(), QStringLiteral("Wrong password")},
      {QStringLiteral("nobody"), QString(), QStringLiteral("Username not found")},
      // The developer phrase is an ordinary name unless development is on.
      {DeveloperPhrase, DeveloperPhrase, QStringLiteral("Username not found")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.User.toStdString() + " / " + c.Password.toStdString());
    QStringList errors;
    EXPECT_FALSE(TryLogin(c.User, c.Password, errors));
    EXPECT_EQ(errors, QStringList{c.Error});
    EXPECT_TRUE(CurrentUser()->Username.isEmpty());
  }
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT COUNT(*) FROM UsageLog")), 0);
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT Password FROM Users WHERE Username = 'admin'")), seeded);
}

// The plain text of a database of an older build is replaced by its hash
// at the first login that proves it.
TEST_F(FormLogin, AdminLogsInAndThePlainPasswordIsReplacedByItsHash) {
  GetDatabase()->ExecSQL(QStringLiteral("UPDATE Users SET Password = '9372' WHERE Username = 'admin'"));
  QStringList errors;
  ASSERT_TRUE(TryLogin(QStringLiteral("admin"), QStringLiteral("9372"), errors));
  EXPECT_TRUE(errors.isEmpty());
  EXPECT_EQ(CurrentUser()->DisplayName, QStringLiteral("Administrator"));
  EXPECT_TRUE(CurrentUser()->Group()->CanBackup);
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT Detail || '|' || EVStatus FROM UsageLog")),
            QStringLiteral("Login by Administrator (admin)|IN"));
  const QString stored = TestDatabase::Value(QStringLiteral("SELECT Password FROM Users WHERE Username = 'admin'"));
  EXPECT_TRUE(IsPasswordHash(stored));
  EXPECT_EQ(CurrentUser()->Password, stored);

  CurrentUser()->Clear();
  ASSERT_TRUE(TryLogin(QStringLiteral("admin"), QStringLiteral("9372"), errors)) << "the hash still matches";
  EXPECT_FALSE(TryLogin(QStringLiteral("admin"), QStringLiteral("0000"), errors));
  EXPECT_EQ(errors, QStringList{QStringLiteral("Wrong password")});
}

// A password stored in the previous PBKDF2 form is stored anew as an
// Argon2id hash at the first login that proves it; a wrong one changes nothing.
TEST_F(FormLogin, AnOlderPasswordHashIsReplacedAtLogin) {
  const QString old = QStringLiteral("pbkdf2-sha256$20000$AAECAwQFBgcICQoLDA0ODw==$El1DYQwkG/KexVVIg+1kFMwTBxKMA3Rfdd2hsvGrNVk=");
  GetDatabase()->ExecSQL(QStringLiteral("UPDATE Users SET Password = '%1' WHERE Username = 'admin'").arg(old));
  QStringList errors;
  EXPECT_FALSE(TryLogin(QStringLiteral("admin"), QStringLiteral("9373"), errors));
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT Password FROM Users WHERE Username = 'admin'")), old);
  ASSERT_TRUE(TryLogin(QStringLiteral("admin"), QStringLiteral("9372"), errors));
  const QString stored = TestDatabase::Value(QStringLiteral("SELECT Password FROM Users WHERE Username = 'admin'"));
  EXPECT_TRUE(stored.startsWith(QStringLiteral("$argon2id$"))) << stored.toStdString();
  EXPECT_TRUE(CheckPassword(stored, QStringLiteral("9372")));
}

TEST_F(FormLogin, DeveloperLoginWhenEnabledNeedsNoAccountAndGrantsNothing) {
  SetDeveloperLoginEnabled(true);
  QStringList errors;
  ASSERT_TRUE(TryLogin(DeveloperPhrase, DeveloperPhrase, errors));
  EXPECT_TRUE(CurrentUser()->Developed);
  EXPECT_EQ(CurrentUser()->DisplayName, QStringLiteral("(o|o)"));
  EXPECT_EQ(CurrentUser()->Username, DeveloperPhrase);
  EXPECT_FALSE(CurrentUser()->Group()->CanAdmin || CurrentUser()->Group()->CanBackup);
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT COUNT(*) FROM UsageLog")), 0);
  // Half the phrase is no login at all.
  CurrentUser()->Clear();
  EXPECT_FALSE(TryLogin(DeveloperPhrase, QStringLiteral("9372"), errors));
  EXPECT_EQ(errors, QStringList{QStringLiteral("Username not found")});
}

} // namespace
