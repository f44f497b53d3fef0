#include "Form_Password.h"

#include "store/DqSQLite.h"
#include "plant/Tervox_User.h"
#include "store/Main_Database.h"
#include "Main_Routine.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TFormPassword::TFormPassword(QWidget* AOwner)
    : QDialog(AOwner), FEditPassword(new QLineEdit(this)), FButtonOK(new QPushButton(QStringLiteral("OK"), this)) {
  setObjectName(QStringLiteral("FormPassword"));
  setWindowTitle(QStringLiteral("Please enter password"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Enter admin password to continue"), this));
  FEditPassword->setObjectName(QStringLiteral("EditPassword"));
  FEditPassword->setEchoMode(QLineEdit::Password);
  layout->addWidget(FEditPassword);
  auto* buttons = new QDialogButtonBox(this);
  FButtonOK->setObjectName(QStringLiteral("ButtonOK"));
  FButtonOK->setDefault(true);
  buttons->addButton(FButtonOK, QDialogButtonBox::AcceptRole);
  QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
  cancel->setObjectName(QStringLiteral("ButtonCancel"));
  layout->addWidget(buttons);
  // The OK button checks; the box's accept signal is not used.
  connect(FButtonOK, &QPushButton::clicked, this, &TFormPassword::ButtonOKClick);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  setMinimumWidth(300);
}

void TFormPassword::ButtonOKClick() {
  TSQLiteTable table(GetDatabase());
  table.SetSQL(QStringLiteral("SELECT * FROM Users WHERE Username = :Username"));
  table.SetParamValues(":Username", QStringLiteral("admin"));
  table.Open();
  if (table.Eof()) return;
  if (CheckPassword(table.FieldByName(QStringLiteral("Password"))->AsString(), FEditPassword->text())) {
    accept();
    return;
  }
  ShowErrorBox(QStringLiteral("Wrong admin password"));
  FEditPassword->setFocus();
  FEditPassword->selectAll();
}
