// Logging the main window in through its own login dialog.
#pragma once

#include "ui/shell/Form_Login.h"
#include "ui/shell/Form_Main.h"
#include "ui/UiTestSupport.h"

#include <QLineEdit>

namespace tervox_test {

// Answers the login dialog as AUser with APassword (the pre-filled ones
// when empty).
inline ModalAnswers::THandler AnswerLogin(const QString& AUser = QString(), const QString& APassword = QString()) {
  return [AUser, APassword](QWidget* ADialog) {
    auto* login = qobject_cast<TFormLogin*>(ADialog);
    ASSERT_NE(login, nullptr) << DialogText(ADialog).toStdString();
    if (!AUser.isEmpty()) {
      login->UsernameEdit()->setText(AUser);
      login->PasswordEdit()->setText(APassword);
    }
    Click(login->ButtonLogin());
  };
}

// Logs AForm in as AUser; false when the login was refused or cancelled.
inline bool LoginAs(TFormMain& AForm, const QString& AUser = QString(), const QString& APassword = QString()) {
  ModalAnswers answers;
  answers.Then(AnswerLogin(AUser, APassword));
  return AForm.Login();
}

} // namespace tervox_test
