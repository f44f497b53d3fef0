#include "Form_Login.h"
#include "ui/base/Main_Audit.h"

#include "store/DqSQLite.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_User.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"
#include "TervoxVersion.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

namespace {
// A login starts SMS alerting afresh: the modem of a previous login is
// closed, and opened again on the settings' port when the box is ticked.
void RestartSMSAlerting(bool AOn) {
  TTervoxDevice::CloseSMS();
  if (AOn) TTervoxDevice::OpenSMS();
}
} // namespace

void TFormLogin::RestartSMS() { RestartSMSAlerting(FCheckBoxSMS->isChecked()); }

TFormLogin::TFormLogin(QWidget* AOwner)
    : QDialog(AOwner, Qt::Dialog | Qt::FramelessWindowHint), FLabelVersion(new QLabel(this)),
      FUsernameEdit(new QLineEdit(this)), FPasswordEdit(new QLineEdit(this)), FCheckBoxSMS(new QCheckBox(this)),
      FButtonLogin(new QPushButton(QStringLiteral("&Login"), this)),
      FButtonCancel(new QPushButton(QStringLiteral("&Cancel"), this)) {
  setObjectName(QStringLiteral("FormLogin"));
  setWindowTitle(QStringLiteral("Login"));
  setFixedSize(360, 280);
  LoadPngResource(FBackground, QStringLiteral("LOGIN"), QStringLiteral("PNG"));

  FLabelVersion->setObjectName(QStringLiteral("LabelVersion"));
  FLabelVersion->setText(QLatin1Char('v') + QLatin1String(kTervoxVersion));
  FLabelVersion->setStyleSheet(QStringLiteral("color: #c8d4e2;"));
  FLabelVersion->setGeometry(300, 6, 52, 18);
  FLabelVersion->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  auto addLabel = [this](const QString& AText, int ATop) {
    auto* label = new QLabel(AText, this);
    label->setGeometry(40, ATop, 84, 26);
    label->setStyleSheet(QStringLiteral("color: #1d2b3a; font-weight: bold;"));
  };
  addLabel(QStringLiteral("Username"), 116);
  addLabel(QStringLiteral("Password"), 152);
  FUsernameEdit->setObjectName(QStringLiteral("UsernameEdit"));
  FUsernameEdit->setGeometry(128, 116, 192, 26);
  FPasswordEdit->setObjectName(QStringLiteral("PasswordEdit"));
  FPasswordEdit->setGeometry(128, 152, 192, 26);
  FPasswordEdit->setEchoMode(QLineEdit::Password);
  FCheckBoxSMS->setObjectName(QStringLiteral("CheckBoxSMS"));
  FCheckBoxSMS->setText(QStringLiteral("SMS Alert"));
  FCheckBoxSMS->setGeometry(128, 186, 192, 22);
  FButtonLogin->setObjectName(QStringLiteral("ButtonLogin"));
  FButtonLogin->setGeometry(128, 228, 92, 30);
  FButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));
  FButtonCancel->setGeometry(228, 228, 92, 30);
  // Enter is handled by the edits themselves, not by a default button.
  FButtonLogin->setAutoDefault(false);
  FButtonCancel->setAutoDefault(false);

  FCheckBoxSMS->setChecked(Config()->GetValueBoolDef(QStringLiteral("SMSAlert"), false));
  FUsernameEdit->installEventFilter(this);
  connect(FPasswordEdit, &QLineEdit::returnPressed, FButtonLogin, &QPushButton::click);
  connect(FButtonLogin, &QPushButton::clicked, this, &TFormLogin::ButtonLoginClick);
  connect(FButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TFormLogin::showEvent(QShowEvent* AEvent) {
  QDialog::showEvent(AEvent);
  // Centred on the owner, or on the work area.
  QRect area;
  if (parentWidget() && parentWidget()->isVisible()) area = parentWidget()->frameGeometry();
  else if (QScreen* screen = QGuiApplication::primaryScreen()) area = screen->availableGeometry();
  if (area.isValid()) move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
  FUsernameEdit->setText(QStringLiteral("admin"));
  FPasswordEdit->setText(QStringLiteral("9372"));
  FUsernameEdit->setFocus();
}

void TFormLogin::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawPixmap(rect(), FBackground);
}

bool TFormLogin::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AWatched == FUsernameEdit && AEvent->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(AEvent)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      FPasswordEdit->setFocus();
      return true;
    }
  }
  return QDialog::eventFilter(AWatched, AEvent);
}

void TFormLogin::ButtonLoginClick() {
  const QString username = FUsernameEdit->text();
  const QString password = FPasswordEdit->text();
  TTervoxUser* current = CurrentUser();
  if (DeveloperLoginEnabled() && username == DeveloperPhrase && password == DeveloperPhrase) {
    current->Clear();
    current->Username = username;
    current->Password = password;
    current->DisplayName = QStringLiteral("(o|o)");
    current->Developed = true;
    RestartSMS();
    accept();
    return;
  }

  TTervoxUser user;
  {
    TSQLiteTable table(GetDatabase());
    table.SetSQL(QStringLiteral("SELECT * FROM Users WHERE Username = :Username"));
    table.SetParamValues(":Username", username);
    table.Open();
    if (table.Eof()) {
      AuditWindowAction({QStringLiteral("tervox"), TervoxAudit::kUser, username, 0, QStringLiteral("login failed"),
                         {}, QStringLiteral("Username not found")});
      ShowErrorBox(QStringLiteral("Username not found"));
      FUsernameEdit->setFocus();
      FUsernameEdit->selectAll();
      return;
    }
    user.LoadFromDB(&table);
  }
  if (!CheckPassword(user.Password, password)) {
    AuditWindowAction({QStringLiteral("tervox"), TervoxAudit::kUser, username, 0, QStringLiteral("login failed"), {},
                       QStringLiteral("Wrong password")});
    ShowErrorBox(QStringLiteral("Wrong password"));
    FPasswordEdit->setFocus();
    FPasswordEdit->selectAll();
    return;
  }
  if (PasswordNeedsRehash(user.Password)) {
    // Plain text or an older hash from an older database: stored anew as
    // today's hash, now that the typed password is known.
    user.Password = HashPassword(password);
    TSQLiteTable table(GetDatabase());
    table.SetSQL(QStringLiteral("UPDATE Users SET Password = :Password WHERE Username = :Username"));
    table.SetParamValues(":Password", user.Password);
    table.SetParamValues(":Username", user.Username);
    table.ExecSQL();
  }
  current->Assign(user);
  current->Developed = false;
  current->AddUsageLogin();
  Config()->SetValueBool(QStringLiteral("SMSAlert"), FCheckBoxSMS->isChecked());
  RestartSMS();
  accept();
}
