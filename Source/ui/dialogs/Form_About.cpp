#include "Form_About.h"

#include "ui/base/Main_Routine.h"
#include "TervoxVersion.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainterPath>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QRegion>
#include <QScreen>

TFormAbout::TFormAbout(QWidget* AOwner)
    : QDialog(AOwner, Qt::Dialog | Qt::FramelessWindowHint), FImageAbout(new QLabel(this)),
      FLabelVersion(new QLabel(FImageAbout)), FMemoNotice(new QPlainTextEdit(FImageAbout)) {
  setObjectName(QStringLiteral("FormAbout"));
  setWindowTitle(QStringLiteral("About TERVOX"));
  FImageAbout->setObjectName(QStringLiteral("ImageAbout"));
  const QPixmap picture = LoadPngResource(QStringLiteral("ABOUT"));
  FImageAbout->setPixmap(picture);
  FImageAbout->setGeometry(0, 0, picture.width(), picture.height());
  setFixedSize(picture.size());

  FLabelVersion->setObjectName(QStringLiteral("LabelVersion"));
  FLabelVersion->setText(QStringLiteral("Version: ") + QLatin1String(kTervoxVersion));
  FLabelVersion->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  FLabelVersion->setStyleSheet(QStringLiteral("color: #d8e2ec; font-weight: bold;"));
  FLabelVersion->setGeometry(picture.width() - 180, 14, 150, 20);

  FMemoNotice->setObjectName(QStringLiteral("MemoNotice"));
  FMemoNotice->setReadOnly(true);
  FMemoNotice->setEnabled(false);
  FMemoNotice->setPlainText(QStringLiteral(
      "TERVOX supervises digital temperature controllers on Modbus RTU serial lines: live panels, history, "
      "graphs, reports, alarms and SMS alerts. Settings written from here act on the process at once."));
  // Disabled, yet readable on the dark picture.
  FMemoNotice->setStyleSheet(QStringLiteral(
      "QPlainTextEdit { background: rgba(8, 14, 20, 190); color: #c9d6e3; border: 1px solid #4b5d70;"
      " border-radius: 4px; padding: 2px; }"));
  FMemoNotice->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  const QSize notice(380, 76);
  FMemoNotice->setGeometry((picture.width() - notice.width()) / 2, (picture.height() - notice.height()) / 2,
                           notice.width(), notice.height());
  FImageAbout->installEventFilter(this);
}

void TFormAbout::showEvent(QShowEvent* AEvent) {
  FormShow();
  QDialog::showEvent(AEvent);
}

void TFormAbout::FormShow() {
  if (const QScreen* where = screen()) move(where->availableGeometry().center() - rect().center());
  const QSize picture = FImageAbout->size();
  QPainterPath shape;
  shape.addRoundedRect(QRectF(0, 0, picture.width() - 1, picture.height() - 1), 20, 20);
  setMask(QRegion(shape.toFillPolygon().toPolygon()));
}

bool TFormAbout::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AWatched == FImageAbout && AEvent->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(AEvent)->button() == Qt::LeftButton) {
    ImageAboutClick();
    return true;
  }
  return QDialog::eventFilter(AWatched, AEvent);
}

void TFormAbout::ImageAboutClick() { close(); }
