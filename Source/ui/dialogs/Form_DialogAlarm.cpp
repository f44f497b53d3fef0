#include "Form_DialogAlarm.h"
#include "ui/base/Main_Audit.h"

#include "widgets/DqSound.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace {
constexpr int kMargin = 16;
}

TFormDialogAlarm::TFormDialogAlarm(QWidget* AParent)
    : QDialog(AParent), FLabelTitle(new QLabel(QStringLiteral("ALARM"), this)), FLabelText(new QLabel(this)),
      FButtonOK(new QPushButton(QStringLiteral("OK"), this)) {
  setObjectName(QStringLiteral("FormDialogAlarm"));
  setWindowTitle(QStringLiteral("ALARM"));
  setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
  setAttribute(Qt::WA_DeleteOnClose);
  setModal(false);
  QFont title = font();
  title.setPointSize(20);
  title.setBold(true);
  FLabelTitle->setObjectName(QStringLiteral("LabelTitle"));
  FLabelTitle->setFont(title);
  FLabelTitle->setStyleSheet(QStringLiteral("color: #c00000;"));
  FLabelTitle->setAlignment(Qt::AlignCenter);
  FLabelText->setObjectName(QStringLiteral("LabelText"));
  FLabelText->setAlignment(Qt::AlignCenter);
  FButtonOK->setObjectName(QStringLiteral("ButtonOK"));
  FButtonOK->setDefault(true);
  connect(FButtonOK, &QPushButton::clicked, this, &TFormDialogAlarm::Acknowledge);
  resize(400, 170);
}

TFormDialogAlarm::~TFormDialogAlarm() = default;

void TFormDialogAlarm::SetText(const QString& AText) {
  FLabelText->setText(AText);
  const int textWidth = FLabelText->fontMetrics().boundingRect(QRect(0, 0, 10000, 10000), 0, AText).width();
  if (textWidth + 32 > width()) resize(textWidth + 32, height());
  LayoutControls();
}

QString TFormDialogAlarm::Text() const { return FLabelText->text(); }

void TFormDialogAlarm::Acknowledge() {
  if (TTervoxRemoteStation* station = RemoteStation(); station && DeviceID > 0) station->AcknowledgeAlarm(DeviceID, Slot);
  if (DeviceID > 0)
    if (TTervoxDeviceList* devices = DeviceList())
      if (TTervoxDevice* device = devices->GetDeviceByID(DeviceID)) device->SetAlarming(Slot, 2);
  TervoxAudit::TEntry entry;
  entry.TargetKind = TervoxAudit::kController;
  entry.TargetID = DeviceID;
  if (DeviceID > 0)
    if (TTervoxDeviceList* devices = DeviceList())
      if (TTervoxDevice* device = devices->GetDeviceByID(DeviceID)) entry.Target = device->DeviceName();
  entry.Action = QStringLiteral("alarm acknowledged");
  entry.Changes.push_back({QStringLiteral("EV%1").arg(Slot + 1), Text().simplified(), QStringLiteral("acknowledged")});
  AuditWindowAction(std::move(entry));
  close();
}

void TFormDialogAlarm::showEvent(QShowEvent* AEvent) {
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  PlaySoundFile(nullptr, AlarmSoundFileName(), true);
  QDialog::showEvent(AEvent);
}

void TFormDialogAlarm::closeEvent(QCloseEvent* AEvent) {
  StopSound();
  QDialog::closeEvent(AEvent);
}

void TFormDialogAlarm::keyPressEvent(QKeyEvent* AEvent) {
  // Enter and Escape both confirm the alarm.
  if (AEvent->key() == Qt::Key_Escape || AEvent->key() == Qt::Key_Return || AEvent->key() == Qt::Key_Enter) {
    Acknowledge();
    return;
  }
  QDialog::keyPressEvent(AEvent);
}

void TFormDialogAlarm::resizeEvent(QResizeEvent* AEvent) {
  QDialog::resizeEvent(AEvent);
  LayoutControls();
}

void TFormDialogAlarm::LayoutControls() {
  const int w = width();
  FLabelTitle->setGeometry(0, 10, w, 40);
  const QSize text = FLabelText->sizeHint();
  FLabelText->setGeometry(0, 56, w, std::max(text.height(), 40));
  const QSize button = FButtonOK->sizeHint();
  FButtonOK->setGeometry((w - button.width()) / 2, height() - button.height() - kMargin, button.width(),
                         button.height());
}
