// The main window: menu, page bar, the pages, the status bar; login and
// logout, and everything that belongs to a login.
#pragma once

#include "ui/base/Main_Routine.h"
#include "widgets/DqFrameList.h"
#include "plant/Tervox_Alerts.h"

#include <QMainWindow>

#include <cstdint>
#include <memory>
#include <vector>

class THistorySummaryBuilder;
class TDqBackgroundTask;

class QAction;
class QLabel;
class QMenu;
class QToolButton;
class TDqSMS;
class TTervoxStationClient;
class TTervoxStationLock;
class QTimer;

class TFormMain : public QMainWindow, public TTervoxMainLink, public TMainWindowRequests {
  Q_OBJECT
public:
  explicit TFormMain(QWidget* AParent = nullptr);
  ~TFormMain() override;

  // Shows the login dialog and opens everything of the login. False when
  // the dialog was cancelled: the process is to end.
  bool Login();
  void Logout();
  void OpenAll();
  void CloseAll();

  void UpdateDevices();
  void UpdateGraphProfile();
  void UpdateTrendProfile();
  void ResetDatabase() { FIsReset = true; }
  // What pages and dialogs ask of the main window.
  void DevicesChanged() override;
  void StationSettingsChanged() override;
  void GraphProfileChanged() override { UpdateGraphProfile(); }
  void TrendProfileChanged() override { UpdateTrendProfile(); }
  void DatabaseReset() override { ResetDatabase(); }
  bool IsReset() const { return FIsReset; }

  void SelectPage(TFrameClass AClass);
  template <class T> void SelectPage() { SelectPage(&T::staticMetaObject); }
  TDqFrame* GetFrameByClass(TFrameClass AClass) const;
  template <class T> T* GetFrame() const { return static_cast<T*>(GetFrameByClass(&T::staticMetaObject)); }
  void CloseFrame(TFrameClass AClass);
  TDqFrame* ActiveFrame() const { return FActiveFrame; }
  int PageFrameCount() const { return static_cast<int>(FPageFrames.size()); }

  // Logs each number of a failed SMS response ("a;b") as its own line.
  void SMSSendFailed(TDqSMS* ASender, const QString& AResponse);

  // From the engine: the modal lost-connection alert, a modeless alarm.
  void DeviceLost(int ADeviceID) override;
  void DeviceAlarm(std::unique_ptr<TTervoxAlarmMessage> AMessage) override;

  QString StatusText() const;
  // What the status bar says of the recorder; empty while this window polls.
  QString StationText() const;
  // What it says of the history: a failed archive run, a disk filling up.
  QString HistoryStatusText() const;
  // Reads the last archive run and measures the disk again (off this
  // thread); done at each login and hourly. ANow and AFreeBytes for tests:
  // the clock and the disk when negative.
  void CheckHistoryStatus(double ANow = -1, std::int64_t AFreeBytes = -1);
  bool CheckingHistory() const;
  // True while a recorder polls and this window watches it.
  bool Attached() const { return FStation != nullptr; }
  // Ports, controllers (TervoxStation::ReloadDevices) or alert and SMS
  // settings (ReloadSettings) changed here: the recorder loads them too.
  void StationChanged(std::uint8_t AWhat);
  QAction* ActionRefresh() const { return FActionRefresh; }
  QAction* ActionOptions() const { return FActionOptions; }
  QMenu* MenuDatabase() const { return FMenuDatabase; }
  QAction* ActionBackup() const { return FActionBackup; }
  QAction* ActionRestore() const { return FActionRestore; }
  QAction* ActionDeleteRecords() const { return FActionDeleteRecords; }
  QWidget* PanelPageBar() const { return FPanelPageBar; }
  // The page buttons: enabled while somebody is logged in.
  QWidget* ToolBarPage() const { return FToolBarPage; }

protected:
  void showEvent(QShowEvent* AEvent) override;
  void closeEvent(QCloseEvent* AEvent) override;

private:
  void CreateMenu();
  void CreatePageBar();
  // The status bar's panels and the notifiers that fill them.
  void CreateStatusBar();
  void PlaceWindow();
  TDqFrame* NewPage(TFrameClass AClass);
  QToolButton* ButtonOfFrame(const TDqFrame* AFrame) const;
  void SetActiveFrame(TDqFrame* AFrame);
  void RefreshClick();
  void OptionsClick();
  void ActionBackupExecute();
  void ActionRestoreExecute();
  void ActionDeleteRecordsExecute();
  // Logout, the database file set aside and recreated, a new login.
  void RunDatabaseReset();
  // Polls here under the database's lock, or watches the recorder that
  // holds it.
  void OpenStation();
  void CloseStation();
  void ShowStation(const QString& AText);

  QMenu* FMenuDatabase = nullptr;
  QAction* FActionBackup = nullptr;
  QAction* FActionRestore = nullptr;
  QAction* FActionDeleteRecords = nullptr;
  QAction* FActionRefresh = nullptr;
  QAction* FActionOptions = nullptr;
  QAction* FActionAbout = nullptr;
  QAction* FFileExit1 = nullptr;
  QWidget* FPanelPageBar = nullptr;
  QWidget* FToolBarPage = nullptr;
  QLabel* FImageLogo = nullptr;
  QWidget* FPageHost = nullptr;
  QLabel* FStatusPanel = nullptr;
  QLabel* FDatabaseProblem = nullptr;
  QLabel* FMqttStatus = nullptr; // the publisher's state while it runs
  QLabel* FSummaryStatus = nullptr; // building history summaries
  QLabel* FHistoryStatus = nullptr; // archive failure, disk filling up
  QTimer* FTimerHistoryStatus = nullptr;
  QString FArchiveProblem;
  QString FDiskWarning;
  double FBytesPerRow = 0;   // of the last whole measurement
  double FBytesPerRowAt = 0; // when it was made
  std::unique_ptr<TDqBackgroundTask> FHistoryCheck; // measures the disk
  void ShowHistoryStatus();
  std::unique_ptr<THistorySummaryBuilder> FSummaryBuilder;
  void StartSummaryBuilder();
  struct TPageButton {
    TFrameClass Class;
    QToolButton* Button;
  };
  std::vector<TPageButton> FPageButtons; // Monitor .. Log
  std::vector<TDqFrame*> FPageFrames;    // owned
  TDqFrame* FActiveFrame = nullptr;
  bool FIsReset = false;
  bool FPlaced = false;
  bool FTerminating = false;
  QWidget* FFormDebug = nullptr; // the developer's debug window, owned
  QLabel* FStationStatus = nullptr;
  std::unique_ptr<TTervoxStationLock> FStationLock;
  std::unique_ptr<TTervoxStationClient> FStation;
  std::int64_t FStationPID = 0; // the recorder last attached to
  QString FLoginPassword; // while logged in, in memory only: the recorder logs the user in too
};

// The main window while it exists.
TFormMain* FormMain();
