#include "Form_DeleteRecord.h"

#include "core/DqRoutine.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Maintenance.h"
#include "station/Tervox_StationClient.h"
#include "plant/Tervox_User.h"
#include "ui/base/Form_Progress.h"
#include "ui/base/Main_Routine.h"

#include <QDateEdit>
#include <QDateTime>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QVBoxLayout>

TPanelButton::TPanelButton(const QString& ACaption, const QColor& AColor, QWidget* AParent)
    : QLabel(ACaption, AParent), FCaption(ACaption) {
  setAlignment(Qt::AlignCenter);
  setFrameShape(QFrame::Panel);
  setLineWidth(2);
  setAutoFillBackground(true);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, AColor);
  colours.setColor(QPalette::WindowText, Qt::white);
  setPalette(colours);
  QFont bold = font();
  bold.setBold(true);
  bold.setPointSize(12);
  setFont(bold);
  setMinimumSize(150, 44);
  setCursor(Qt::PointingHandCursor);
  SetPressed(false);
}

void TPanelButton::SetPressed(bool APressed) {
  FPressed = APressed;
  setFrameShadow(APressed ? QFrame::Sunken : QFrame::Raised);
  setText(APressed ? QLatin1Char(' ') + FCaption : FCaption);
}

void TPanelButton::mousePressEvent(QMouseEvent* AEvent) {
  if (AEvent->button() == Qt::LeftButton) SetPressed(true);
}

void TPanelButton::mouseReleaseEvent(QMouseEvent* AEvent) {
  if (AEvent->button() != Qt::LeftButton || !FPressed) return;
  SetPressed(false);
  if (rect().contains(AEvent->position().toPoint())) emit clicked();
}

TFormDeleteRecord::TFormDeleteRecord(QWidget* AParent)
    : QDialog(AParent), FDateFrom(new QDateEdit(this)), FDateTo(new QDateEdit(this)),
      FPanelDelete(new TPanelButton(QStringLiteral("DELETE  RECORD"), QColor(0xC0, 0x10, 0x10), this)),
      FPanelCancel(new TPanelButton(QStringLiteral("CANCEL"), QColor(0x50, 0x5A, 0x66), this)) {
  setObjectName(QStringLiteral("FormDeleteRecord"));
  setWindowTitle(QStringLiteral("Delete Record"));
  FDateFrom->setObjectName(QStringLiteral("DateFrom"));
  FDateTo->setObjectName(QStringLiteral("DateTo"));
  FPanelDelete->setObjectName(QStringLiteral("PanelDelete"));
  FPanelCancel->setObjectName(QStringLiteral("PanelCancel"));
  const QDate today = DateTimeToQDateTime(Now()).date();
  for (QDateEdit* edit : {FDateFrom, FDateTo}) {
    edit->setCalendarPopup(true);
    edit->setDisplayFormat(QStringLiteral("dd/MM/yyyy"));
    edit->setDate(today);
  }
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("From date:"), FDateFrom);
  form->addRow(QStringLiteral("To date:"), FDateTo);
  auto* panels = new QHBoxLayout;
  panels->addWidget(FPanelDelete);
  panels->addWidget(FPanelCancel);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->addLayout(form);
  layout->addSpacing(12);
  layout->addLayout(panels);
  connect(FPanelCancel, &TPanelButton::clicked, this, &QDialog::reject);
  connect(FPanelDelete, &TPanelButton::clicked, this, &TFormDeleteRecord::PanelDeleteClick);
}

void TFormDeleteRecord::PanelDeleteClick() {
  if (ShowDialogYN(QStringLiteral("Are you sure to delete record?")) != mrYes) {
    reject();
    return;
  }
  const double from = EncodeDateTime(FDateFrom->date().year(), FDateFrom->date().month(), FDateFrom->date().day());
  const double to = EncodeDateTime(FDateTo->date().year(), FDateTo->date().month(), FDateTo->date().day());
  std::int64_t deleted = 0;
  const QString database = GetDatabaseFileName();
  const QString user = CurrentUser()->Username;
  const std::exception_ptr error =
      RunWithProgress(this, QStringLiteral("Delete Record"), QStringLiteral("Deleting records..."),
                      [&](TTervoxProgress& AProgress) {
                        // A recorder of this database writes no row meanwhile.
                        const TTervoxRecordingPause pause(database, user, QStringLiteral("deleting records"));
                        deleted = DeleteRecords(from, to, &AProgress);
                      });
  FDeleted = deleted;
  // What was deleted before a cancel or an error is gone: the pages reload.
  MainUpdateGraphProfile();
  if (!ReportWorkResult(error)) {
    reject();
    return;
  }
  accept();
}
