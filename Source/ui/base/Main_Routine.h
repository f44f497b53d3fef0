// Shell routines every page calls: message dialogs, the admin-password
// prompt, artwork, control notification, forwarders to the main window, and
// the one place where an exception escaping a UI handler is shown.
#pragma once

#include <QEvent>
#include <QString>

#include <exception>

class QPixmap;
class QWidget;

// Modal results.
enum : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

// Messages to windows. Qt has no window messages; each one is an event of
// type QEvent::User + message number, sent synchronously.
enum : int {
  WM_USER = 0x400,
  WM_DEVICE_LOST = WM_USER,
  WM_DEVICE_ALARM = WM_USER + 1,
  WM_WRITE_FINISHED = WM_USER + 2,
  WM_READ_FINISHED = WM_USER + 3,
};

class TDqMessageEvent : public QEvent {
public:
  TDqMessageEvent(int AMsg, qintptr AWParam, qintptr ALParam)
      : QEvent(EventType(AMsg)), Msg(AMsg), WParam(AWParam), LParam(ALParam) {}
  static QEvent::Type EventType(int AMsg) { return static_cast<QEvent::Type>(QEvent::User + AMsg); }
  int Msg;
  qintptr WParam;
  qintptr LParam;
};

// Custom message dialogs: OK (its button answers 6), Yes/No, Yes/No/Cancel.
int ShowDialogOK(const QString& AText, int AWidth = 0);
int ShowDialogYN(const QString& AText);
int ShowDialogYNC(const QString& AText);
// Standard boxes: an error, and a warning asking Yes/No with No as default.
void ShowErrorBox(const QString& AText);
bool ShowConfirmBox(const QString& AText);

// True when the admin password was entered (TFormPassword closed with OK).
bool AskAdminPassword();

// Loads ":/<AType>/<AName>.png"; raises when the picture is missing.
void LoadPngResource(QPixmap& APicture, const QString& AName, const QString& AType);
QPixmap LoadPngResource(const QString& AName, const QString& AType = QStringLiteral("PNG"));

// Sends WM_READ_FINISHED (both parameters 0) to the control when it exists.
void NotifyControl(QObject* AControl);

// What pages and dialogs ask of the main window, which registers itself
// (nullptr: none any more).
class TMainWindowRequests {
public:
  virtual ~TMainWindowRequests() = default;
  virtual void DevicesChanged() = 0;
  virtual void StationSettingsChanged() = 0;
  virtual void GraphProfileChanged() = 0;
  virtual void TrendProfileChanged() = 0;
  virtual void DatabaseReset() = 0;
};
void SetMainWindowRequests(TMainWindowRequests* AWindow);

// Forwarders to the main window; nothing happens when there is none.
void MainUpdateDevices();
// Alert or SMS settings changed: a recorder this window watches loads them.
void MainStationSettingsChanged();
void MainUpdateGraphProfile();
void MainUpdateTrendProfile();
void MainResetDatabase();

// Shows the exception in an error box (the program keeps running).
void ShowException(std::exception_ptr AException);
