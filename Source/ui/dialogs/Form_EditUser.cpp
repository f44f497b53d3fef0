#include "Form_EditUser.h"
#include "ui/base/Main_Audit.h"

#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "plant/Tervox_User.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"

#include <QComboBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

TFormEditUser::TFormEditUser(QWidget* AOwner)
    : QDialog(AOwner), FUser(std::make_unique<TTervoxUser>()), FEditUsername(new QLineEdit(this)),
      FEditDisplayName(new QLineEdit(this)), FEditPassword(new QLineEdit(this)),
      FEditConfirmPassword(new QLineEdit(this)), FComboGroup(new QComboBox(this)), FEditMobile(new QLineEdit(this)),
      FEditPosition(new QLineEdit(this)), FButtonSave(new QPushButton(QStringLiteral("Add"), this)) {
  setObjectName(QStringLiteral("FormEditUser"));
  setWindowTitle(QStringLiteral("Add User"));
  FEditUsername->setObjectName(QStringLiteral("EditUsername"));
  FEditDisplayName->setObjectName(QStringLiteral("EditDisplayName"));
  FEditPassword->setObjectName(QStringLiteral("EditPassword"));
  FEditConfirmPassword->setObjectName(QStringLiteral("EditConfirmPassword"));
  FComboGroup->setObjectName(QStringLiteral("ComboGroup"));
  FEditMobile->setObjectName(QStringLiteral("EditMobile"));
  FEditPosition->setObjectName(QStringLiteral("EditPosition"));
  FButtonSave->setObjectName(QStringLiteral("ButtonSave"));
  FEditPassword->setEchoMode(QLineEdit::Password);
  FEditConfirmPassword->setEchoMode(QLineEdit::Password);

  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Username:"), FEditUsername);
  form->addRow(QStringLiteral("Display name:"), FEditDisplayName);
  form->addRow(QStringLiteral("Password:"), FEditPassword);
  form->addRow(QStringLiteral("Confirm password:"), FEditConfirmPassword);
  form->addRow(QStringLiteral("Group:"), FComboGroup);
  form->addRow(QStringLiteral("Mobile:"), FEditMobile);
  form->addRow(QStringLiteral("Position:"), FEditPosition);
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox(this);
  FButtonSave->setDefault(true);
  buttons->addButton(FButtonSave, QDialogButtonBox::AcceptRole);
  QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
  cancel->setObjectName(QStringLiteral("ButtonCancel"));
  layout->addWidget(buttons);
  connect(FButtonSave, &QPushButton::clicked, this, &TFormEditUser::ButtonSaveClick);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  setMinimumWidth(380);

  TTervoxUserGroupList* groups = UserGroups();
  for (int i = 0; i < groups->Count(); ++i) FComboGroup->addItem(groups->GetGroups(i)->Name);
  FComboGroup->setCurrentIndex(-1);
  FEditPassword->installEventFilter(this);
  FEditConfirmPassword->installEventFilter(this);
}

TFormEditUser::~TFormEditUser() = default;

void TFormEditUser::SetUserData(const TTervoxUser& AUser) {
  FUser->Assign(AUser);
  FEditMode = true;
}

void TFormEditUser::showEvent(QShowEvent* AEvent) {
  QDialog::showEvent(AEvent);
  setWindowTitle(FEditMode ? QStringLiteral("Edit User") : QStringLiteral("Add User"));
  FButtonSave->setText(FEditMode ? QStringLiteral("Save") : QStringLiteral("Add"));
  if (!FEditMode) return;
  FEditUsername->setText(FUser->Username);
  FEditDisplayName->setText(FUser->DisplayName);
  FEditPassword->setText(FUser->Password);
  FEditConfirmPassword->setText(FUser->Password);
  FComboGroup->setCurrentIndex(FComboGroup->findText(FUser->Group()->Name, Qt::MatchExactly));
  FEditMobile->setText(FUser->Mobile);
  FEditPosition->setText(FUser->Position);
  // The built-in administrator keeps its name and group.
  const bool admin = FUser->Username == QLatin1String("admin");
  FEditUsername->setReadOnly(admin);
  FComboGroup->setEnabled(!admin);
}

bool TFormEditUser::eventFilter(QObject* AWatched, QEvent* AEvent) {
  auto* edit = qobject_cast<QLineEdit*>(AWatched);
  if (edit && (edit == FEditPassword || edit == FEditConfirmPassword)) {
    // Entering a password field starts over; leaving it empty puts the
    // stored password back.
    if (AEvent->type() == QEvent::FocusIn) edit->clear();
    else if (AEvent->type() == QEvent::FocusOut && edit->text().isEmpty()) edit->setText(FUser->Password);
  }
  return QDialog::eventFilter(AWatched, AEvent);
}

void TFormEditUser::ButtonSaveClick() {
  const QString username = FEditUsername->text();
  const QString password = FEditPassword->text();
  QStringList problems;
  if (username.isEmpty()) problems << QStringLiteral("Please enter username.");
  if (!FEditMode && username.compare(QLatin1String("admin"), Qt::CaseInsensitive) == 0)
    problems << QStringLiteral("Can not use \"%1\" as username.").arg(username);
  if (password.isEmpty()) problems << QStringLiteral("Please enter password.");
  if (password != FEditConfirmPassword->text()) problems << QStringLiteral("Confirm password not match.");
  if (!problems.isEmpty()) {
    ShowErrorBox(problems.join(QLatin1Char('\n')));
    return;
  }

  QString reason;
  if (!AskChangeReason(this, reason)) return;
  TAuditedRecord audit(TervoxAudit::kUser, QStringLiteral("SELECT * FROM Users WHERE Username = ?"),
                       FEditMode ? FUser->Username : QString(), reason, {},
                       {QStringLiteral("Password"), QStringLiteral("OldPassword")});
  const QString groupName = FComboGroup->currentIndex() >= 0 ? FComboGroup->currentText() : QString();
  const double expireDate = DateTimeFromQDateTime(DateTimeToQDateTime(Now()).addMonths(12));
  TSQLiteTable table(GetDatabase());
  if (FEditMode) {
    // An untouched password field still holds the stored value.
    const bool changed = password != FUser->Password;
    table.SetSQL(QStringLiteral("UPDATE Users SET Username = :NewUsername,\r\n"
                                "DisplayName = :DisplayName, GroupName = :GroupName, Mobile = :Mobile,\r\n"
                                "Position = :Position, Password = :Password, OldPassword = :OldPassword,\r\n"
                                "ExpireDate = :ExpireDate, PasswordLife = :PasswordLife,\r\n"
                                "Disabled = :Disabled, Expired = :Expired\r\n"
                                "WHERE Username = :Username"));
    table.SetParamValues(":Username", FUser->Username);
    table.SetParamValues(":NewUsername", username);
    table.SetParamValues(":Password", changed ? HashPassword(password) : FUser->Password);
    table.SetParamValues(":OldPassword", changed ? HashedStoredPassword(FUser->Password) : FUser->OldPassword);
  } else {
    table.SetSQL(QStringLiteral("INSERT INTO Users (Username, DisplayName, GroupName, Mobile, Position,\r\n"
                                "Password, OldPassword, ExpireDate, PasswordLife, Disabled, Expired)\r\n"
                                "VALUES (:Username, :DisplayName, :GroupName, :Mobile, :Position,\r\n"
                                ":Password, :OldPassword, :ExpireDate, :PasswordLife, :Disabled, :Expired)"));
    table.SetParamValues(":Username", username);
    table.SetParamValues(":Password", HashPassword(password));
    table.SetParamValues(":OldPassword", QString());
  }
  table.SetParamValues(":DisplayName", FEditDisplayName->text());
  table.SetParamValues(":GroupName", groupName);
  table.SetParamValues(":Mobile", FEditMobile->text());
  table.SetParamValues(":Position", FEditPosition->text());
  table.SetParamValues(":ExpireDate", TVariant::FromDateTime(expireDate));
  table.SetParamValues(":PasswordLife", 12);
  table.SetParamValues(":Disabled", false);
  table.SetParamValues(":Expired", false);
  table.ExecSQL();
  audit.Saved(0, username);
  accept();
}
