#include "Form_Alert.h"
#include "ui/base/Main_Audit.h"

#include "core/DqRoutine.h"
#include "widgets/DqSound.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_Alerts.h"
#include "plant/Tervox_Engine.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TFormAlert::TFormAlert(const QString& ADeviceName, QWidget* AParent)
    : QDialog(AParent), FLabelDevice(new QLabel(ADeviceName, this)),
      FButton1Min(new QPushButton(QStringLiteral("Disable for 1 min."), this)),
      FButton5Min(new QPushButton(QStringLiteral("Disable for 5 min."), this)),
      FButton10Min(new QPushButton(QStringLiteral("Disable for 10 min."), this)) {
  setObjectName(QStringLiteral("FormAlert"));
  setWindowTitle(QStringLiteral("Alert"));
  // No system buttons: only the three buttons close it.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint);
  setModal(true);
  setAutoFillBackground(true);
  QPalette red = palette();
  red.setColor(QPalette::Window, QColor(0xD0, 0x10, 0x10));
  red.setColor(QPalette::WindowText, Qt::white);
  setPalette(red);

  QFont big = font();
  big.setPointSize(24);
  big.setBold(true);
  FLabelDevice->setObjectName(QStringLiteral("LabelDevice"));
  FLabelDevice->setFont(big);
  FLabelDevice->setAlignment(Qt::AlignCenter);
  auto* message = new QLabel(QStringLiteral("LOST SIGNAL CONNECTION"), this);
  message->setObjectName(QStringLiteral("LabelMessage"));
  QFont bold = font();
  bold.setPointSize(14);
  bold.setBold(true);
  message->setFont(bold);
  message->setAlignment(Qt::AlignCenter);
  FButton1Min->setObjectName(QStringLiteral("Button1Min"));
  FButton5Min->setObjectName(QStringLiteral("Button5Min"));
  FButton10Min->setObjectName(QStringLiteral("Button10Min"));

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(FButton1Min);
  buttons->addWidget(FButton5Min);
  buttons->addWidget(FButton10Min);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 20, 24, 20);
  layout->addWidget(FLabelDevice);
  layout->addWidget(message);
  layout->addSpacing(12);
  layout->addLayout(buttons);
  resize(460, 220);

  connect(FButton1Min, &QPushButton::clicked, this, [this] { Disable(60); });
  connect(FButton5Min, &QPushButton::clicked, this, [this] { Disable(300); });
  connect(FButton10Min, &QPushButton::clicked, this, [this] { Disable(600); });
}

TFormAlert::~TFormAlert() {
  StopSound();
  TervoxAlerts::SetLossAlertShowing(false);
}

void TFormAlert::showEvent(QShowEvent* AEvent) {
  PlaySoundFile(nullptr, AlarmSoundFileName(), true);
  QDialog::showEvent(AEvent);
}

void TFormAlert::Disable(int ASeconds) {
  // A recorder's alert: its silence is the recorder's, and every window's
  // alert closes with it.
  if (TTervoxRemoteStation* station = RemoteStation()) station->SilenceLossAlert(ASeconds);
  TervoxAlerts::SetLossAlertSilence(ASeconds);
  TervoxAlerts::SetLastLossAlertTime(Now());
  AuditWindowAction({QString(), TervoxAudit::kStation, QStringLiteral("loss alert"), 0,
                     QStringLiteral("alert silenced"),
                     {{QStringLiteral("silenced for"), QString(), QStringLiteral("%1 s").arg(ASeconds)}}, QString()});
  done(QDialog::Accepted);
}
