#include "Form_ChangePassword.h"
#include "ui/base/Main_Audit.h"

#include "store/DqSQLite.h"
#include "plant/Tervox_User.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TFormChangePassword::TFormChangePassword(QWidget* AOwner)
    : QDialog(AOwner), FEditOldPassword(new QLineEdit(this)), FEditNewPassword(new QLineEdit(this)),
      FEditConfirmPassword(new QLineEdit(this)), FButtonOK(new QPushButton(QStringLiteral("OK"), this)) {
  setObjectName(QStringLiteral("FormChangePassword"));
  setWindowTitle(QStringLiteral("Change password"));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  FEditOldPassword->setObjectName(QStringLiteral("EditOldPassword"));
  FEditNewPassword->setObjectName(QStringLiteral("EditNewPassword"));
  FEditConfirmPassword->setObjectName(QStringLiteral("EditConfirmPassword"));
  for (QLineEdit* edit : {FEditOldPassword, FEditNewPassword, FEditConfirmPassword})
    edit->setEchoMode(QLineEdit::Password);
  form->addRow(QStringLiteral("Enter current password"), FEditOldPassword);
  form->addRow(QStringLiteral("Enter new password"), FEditNewPassword);
  form->addRow(QStringLiteral("Confirm new password"), FEditConfirmPassword);
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox(this);
  FButtonOK->setObjectName(QStringLiteral("ButtonOK"));
  FButtonOK->setDefault(true);
  buttons->addButton(FButtonOK, QDialogButtonBox::AcceptRole);
  QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
  cancel->setObjectName(QStringLiteral("ButtonCancel"));
  layout->addWidget(buttons);
  connect(FButtonOK, &QPushButton::clicked, this, &TFormChangePassword::ButtonOKClick);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  setMinimumWidth(360);
}

void TFormChangePassword::showEvent(QShowEvent* AEvent) {
  QDialog::showEvent(AEvent);
  FEditOldPassword->setFocus();
}

void TFormChangePassword::ButtonOKClick() {
  QString problems;
  QLineEdit* focus = nullptr;
  if (FEditNewPassword->text() != FEditConfirmPassword->text()) {
    problems = QStringLiteral("Confirm password not match a new password.");
    focus = FEditConfirmPassword;
  }
  if (!CheckPassword(CurrentUser()->Password, FEditOldPassword->text())) {
    const QString text = QStringLiteral("Incorrect current password.");
    problems = problems.isEmpty() ? text : text + QLatin1Char('\n') + problems;
    focus = FEditOldPassword;
  }
  if (!problems.isEmpty()) {
    ShowErrorBox(problems);
    focus->setFocus();
    return;
  }
  const QString stored = HashPassword(FEditNewPassword->text());
  TSQLiteTable table(GetDatabase());
  table.SetSQL(QStringLiteral("UPDATE Users SET Password = :Password\r\nWHERE Username = :Username"));
  table.SetParamValues(":Password", stored);
  table.SetParamValues(":Username", CurrentUser()->Username);
  table.ExecSQL();
  CurrentUser()->Password = stored;
  AuditWindowAction({CurrentUser()->Username, TervoxAudit::kUser, CurrentUser()->Username, 0,
                     QStringLiteral("password changed"), {}, QString()});
  accept();
}
