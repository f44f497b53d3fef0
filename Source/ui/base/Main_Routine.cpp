#include "Main_Routine.h"

#include "core/DqRoutine.h"
#include "Form_Dialog.h"
#include "Form_Password.h"

#include <QApplication>
#include <QMessageBox>
#include <QPixmap>

#include <cstdio>

namespace {

QWidget* DialogParent() { return QApplication::activeWindow(); }

TMainWindowRequests* gMainWindow = nullptr;

} // namespace

int ShowDialogOK(const QString& AText, int AWidth) {
  TFormDialogOK dialog(DialogParent());
  if (AWidth > 0) dialog.resize(AWidth, dialog.height());
  dialog.SetText(AText);
  return dialog.exec();
}

int ShowDialogYN(const QString& AText) {
  TFormDialogYN dialog(DialogParent());
  dialog.SetText(AText);
  return dialog.exec();
}

int ShowDialogYNC(const QString& AText) {
  TFormDialogYNC dialog(DialogParent());
  dialog.SetText(AText);
  return dialog.exec();
}

void ShowErrorBox(const QString& AText) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("TERVOX"), AText, QMessageBox::Ok, DialogParent());
  box.exec();
}

bool ShowConfirmBox(const QString& AText) {
  QMessageBox box(QMessageBox::Warning, QStringLiteral("TERVOX"), AText, QMessageBox::Yes | QMessageBox::No,
                  DialogParent());
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

bool AskAdminPassword() {
  TFormPassword dialog(DialogParent());
  return dialog.exec() == QDialog::Accepted;
}

void LoadPngResource(QPixmap& APicture, const QString& AName, const QString& AType) {
  const QString path = QStringLiteral(":/%1/%2.png").arg(AType, AName);
  if (!APicture.load(path, "PNG")) throw EDqException(QStringLiteral("Picture resource not found: ") + path);
}

QPixmap LoadPngResource(const QString& AName, const QString& AType) {
  QPixmap picture;
  LoadPngResource(picture, AName, AType);
  return picture;
}

void NotifyControl(QObject* AControl) {
  if (!AControl) return;
  TDqMessageEvent message(WM_READ_FINISHED, 0, 0);
  QCoreApplication::sendEvent(AControl, &message);
}

void SetMainWindowRequests(TMainWindowRequests* AWindow) { gMainWindow = AWindow; }

void MainUpdateDevices() {
  if (gMainWindow) gMainWindow->DevicesChanged();
}

void MainStationSettingsChanged() {
  if (gMainWindow) gMainWindow->StationSettingsChanged();
}

void MainUpdateGraphProfile() {
  if (gMainWindow) gMainWindow->GraphProfileChanged();
}

void MainUpdateTrendProfile() {
  if (gMainWindow) gMainWindow->TrendProfileChanged();
}

void MainResetDatabase() {
  if (gMainWindow) gMainWindow->DatabaseReset();
}

void ShowException(std::exception_ptr AException) {
  const QString text = ExceptionMessage(AException);
  std::fprintf(stderr, "TERVOX: %s\n", qPrintable(text));
  try {
    ShowErrorBox(text);
  } catch (...) {
    // Nothing more can be shown; the line on stderr stays.
  }
}
