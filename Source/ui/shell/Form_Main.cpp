#include "Form_Main.h"

#include "comm/DqSMS.h"
#include "store/DqSQLite.h"
#include "ui/dialogs/Form_About.h"
#include "ui/dialogs/Form_Alert.h"
#include "ui/dialogs/Form_Debug.h"
#include "ui/dialogs/Form_DialogAlarm.h"
#include "ui/dialogs/Form_Fix.h"
#include "ui/dialogs/Form_Manual.h"
#include "ui/dialogs/Form_Mode.h"
#include "ui/dialogs/Form_Options.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_Device.h"
#include "core/DqBackgroundTask.h"
#include "store/DqHistorySummary.h"
#include "plant/Tervox_Engine.h"
#include "mqtt/Tervox_Mqtt.h"
#include "plant/Tervox_Retention.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Alerts.h"
#include "plant/Tervox_ClockWatch.h"
#include "widgets/Tervox_Monitor.h"
#include "station/Tervox_StationClient.h"
#include "store/Tervox_StationLock.h"
#include "station/Tervox_StationProtocol.h"
#include "plant/Tervox_User.h"
#include "ui/pages/Frame_Device.h"
#include "ui/pages/Frame_Graph.h"
#include "ui/pages/Frame_Log.h"
#include "ui/pages/Frame_Monitor.h"
#include "ui/pages/Frame_Report.h"
#include "ui/pages/Frame_Trend.h"
#include "Form_Login.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPointer>
#include <QResizeEvent>
#include <QScreen>
#include <QLineEdit>
#include <QTimer>
#include <QToolButton>

namespace {

TFormMain* gFormMain = nullptr;

// Keeps the pages filling the area between page bar and status bar.
class TPageHost : public QWidget {
public:
  using QWidget::QWidget;

protected:
  void resizeEvent(QResizeEvent* AEvent) override {
    QWidget::resizeEvent(AEvent);
    for (QObject* child : children())
      if (auto* page = qobject_cast<TDqFrame*>(child)) page->setGeometry(rect());
  }
};

} // namespace

TFormMain* FormMain() { return gFormMain; }

TFormMain::TFormMain(QWidget* AParent) : QMainWindow(AParent) {
  gFormMain = this;
  SetMainLink(this);
  SetMainWindowRequests(this);
  // A window that records publishes what it records.
  FollowRecordingWithMqtt();
  // The panel keys that open the settings dialogs.
  DefaultMonitorActions().LaunchFix = [](TTervoxDevice& ADevice) { LaunchFix(ADevice); };
  DefaultMonitorActions().LaunchManual = [](TTervoxDevice& ADevice) { LaunchManual(ADevice); };
  // Only panels made for a user who may change modes have the MODE key.
  DefaultMonitorActions().LaunchMode = [](TTervoxDevice& ADevice) { LaunchMode(ADevice); };
  DefaultMonitorActions().ShowInfomation = [](TTervoxDevice& ADevice) { ShowDialogOK(ADevice.InfomationText()); };
  setObjectName(QStringLiteral("FormMain"));
  setWindowTitle(QStringLiteral("Data Acquisition Software"));
  setMinimumSize(627, 400);
  resize(931, 671);
  CreateMenu();
  CreatePageBar();
  CreateStatusBar();

  // FormCreate: bars disabled until a login, the Monitor page shown.
  menuBar()->setEnabled(false);
  FToolBarPage->setEnabled(false);
  SelectPage<TFrameMonitor>();
}

TFormMain::~TFormMain() {
  CloseStation();
  FStation.reset();
  // Its notices are posted to this window: it stops before the labels go.
  FSummaryBuilder.reset();
  FHistoryCheck.reset();
  SetRetentionNotifier({});
  SetDatabaseProblemNotifier({});
  SetMqttStatusNotifier({});
  SetMainLink(nullptr);
  for (TDqFrame* frame : FPageFrames) delete frame;
  FPageFrames.clear();
  if (gFormMain == this) {
    gFormMain = nullptr;
    SetMainWindowRequests(nullptr);
  }
}

void TFormMain::CreateMenu() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("MainMenu"));
  QMenu* file = bar->addMenu(QStringLiteral("&File"));
  FFileExit1 = file->addAction(QStringLiteral("E&xit"));
  FFileExit1->setObjectName(QStringLiteral("FileExit1"));
  FFileExit1->setStatusTip(QStringLiteral("Quits the application"));
  FFileExit1->setToolTip(QStringLiteral("Exit"));
  connect(FFileExit1, &QAction::triggered, this, &QWidget::close);

  QMenu* tools = bar->addMenu(QStringLiteral("&Tools"));
  FMenuDatabase = tools->addMenu(QStringLiteral("D&atabase"));
  FMenuDatabase->setObjectName(QStringLiteral("MenuDatabase"));
  FActionBackup = FMenuDatabase->addAction(QStringLiteral("&Backup..."));
  FActionRestore = FMenuDatabase->addAction(QStringLiteral("&Restore..."));
  FActionDeleteRecords = FMenuDatabase->addAction(QStringLiteral("&Delete records..."));
  FActionBackup->setObjectName(QStringLiteral("ActionBackup"));
  FActionRestore->setObjectName(QStringLiteral("ActionRestore"));
  FActionDeleteRecords->setObjectName(QStringLiteral("ActionDeleteRecords"));
  connect(FActionBackup, &QAction::triggered, this, &TFormMain::ActionBackupExecute);
  connect(FActionRestore, &QAction::triggered, this, &TFormMain::ActionRestoreExecute);
  connect(FActionDeleteRecords, &QAction::triggered, this, &TFormMain::ActionDeleteRecordsExecute);
  FActionRefresh = tools->addAction(QStringLiteral("&Refresh"));
  FActionRefresh->setObjectName(QStringLiteral("ActionRefresh"));
  FActionRefresh->setShortcut(Qt::Key_F5);
  connect(FActionRefresh, &QAction::triggered, this, &TFormMain::RefreshClick);
  tools->addSeparator();
  FActionOptions = tools->addAction(QStringLiteral("&Options..."));
  FActionOptions->setObjectName(QStringLiteral("ActionOptions"));
  connect(FActionOptions, &QAction::triggered, this, &TFormMain::OptionsClick);

  QMenu* help = bar->addMenu(QStringLiteral("&Help"));
  FActionAbout = help->addAction(QStringLiteral("&About"));
  FActionAbout->setObjectName(QStringLiteral("ActionAbout"));
  connect(FActionAbout, &QAction::triggered, this, [this] {
    TFormAbout about(this);
    about.exec();
  });
}

void TFormMain::CreatePageBar() {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  FPanelPageBar = new QWidget(central);
  FPanelPageBar->setObjectName(QStringLiteral("PanelPageBar"));
  FPanelPageBar->setFixedHeight(62);
  FPanelPageBar->setStyleSheet(QStringLiteral(
      "#PanelPageBar { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f7f9fb, stop:1 #dde3e9);"
      " border-bottom: 1px solid #b5bfca; }"
      "#ToolBarPage QToolButton { border: 1px solid transparent; border-radius: 4px; background: transparent; }"
      "#ToolBarPage QToolButton:hover { border-color: #9fb3c8; background: #eef3f8; }"
      "#ToolBarPage QToolButton:checked { border-color: #6f8aa6; background: #cfdceb; }"));
  auto* barLayout = new QHBoxLayout(FPanelPageBar);
  barLayout->setContentsMargins(4, 4, 10, 4);
  barLayout->setSpacing(0);
  auto* toolBar = new QWidget(FPanelPageBar);
  FToolBarPage = toolBar;
  toolBar->setObjectName(QStringLiteral("ToolBarPage"));
  auto* toolLayout = new QHBoxLayout(toolBar);
  toolLayout->setContentsMargins(0, 0, 0, 0);
  toolLayout->setSpacing(2);

  struct TButtonDef {
    const char* Name;
    const char* Picture;
    const char* Hint;
    TFrameClass Class;
  };
  const TButtonDef defs[] = {
      {"ToolButtonMonitor", "MONITOR", "Monitor", &TFrameMonitor::staticMetaObject},
      {"ToolButtonDevice", "DEVICE", "Device", &TFrameDevice::staticMetaObject},
      {"ToolButtonTrend", "TREND", "Trend", &TFrameTrend::staticMetaObject},
      {"ToolButtonGraph", "GRAPH", "Graph", &TFrameGraph::staticMetaObject},
      {"ToolButtonReport", "REPORT", "Report", &TFrameReport::staticMetaObject},
      {"ToolButtonLog", "LOG", "Log", &TFrameLog::staticMetaObject},
      {"ToolButtonRefresh", "REFRESH", "Refresh", nullptr},
  };
  for (const TButtonDef& def : defs) {
    auto* button = new QToolButton(toolBar);
    button->setObjectName(QString::fromLatin1(def.Name));
    button->setFixedSize(79, 54);
    button->setIconSize(QSize(72, 48));
    button->setIcon(QIcon(LoadPngResource(QString::fromLatin1(def.Picture))));
    button->setToolTip(QString::fromLatin1(def.Hint));
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolLayout->addWidget(button);
    if (def.Class) {
      button->setCheckable(true);
      FPageButtons.push_back({def.Class, button});
      // A click selects the page; the page decides the pressed state.
      connect(button, &QToolButton::clicked, this, [this, button, cls = def.Class] {
        button->setChecked(FActiveFrame && ButtonOfFrame(FActiveFrame) == button);
        SelectPage(cls);
      });
    } else {
      connect(button, &QToolButton::clicked, this, &TFormMain::RefreshClick);
    }
  }
  barLayout->addWidget(toolBar);
  barLayout->addStretch(1);
  FImageLogo = new QLabel(FPanelPageBar);
  FImageLogo->setObjectName(QStringLiteral("ImageLogo"));
  FImageLogo->setPixmap(LoadPngResource(QStringLiteral("LOGO")));
  barLayout->addWidget(FImageLogo, 0, Qt::AlignRight | Qt::AlignVCenter);
  layout->addWidget(FPanelPageBar);

  FPageHost = new TPageHost(central);
  FPageHost->setObjectName(QStringLiteral("PageHost"));
  layout->addWidget(FPageHost, 1);
  setCentralWidget(central);
}

void TFormMain::showEvent(QShowEvent* AEvent) {
  QMainWindow::showEvent(AEvent);
  if (!FPlaced) {
    FPlaced = true;
    PlaceWindow();
  }
}

void TFormMain::PlaceWindow() {
  QRect area(0, 0, 1024, 768);
  if (QScreen* screen = QGuiApplication::primaryScreen()) area = screen->availableGeometry();
  const int left = area.left() + (area.width() - width()) / 2;
  const int top = area.top() + (area.height() - height()) / 2;
  move(left, top);
  TTervoxConfig* config = Config();
  switch (config->GetValueIntDef(QStringLiteral("StartupState"), 1)) {
  case 2:
    if (config->GetValueBoolDef(QStringLiteral("WindowFullScreen"), false)) {
      setWindowState(windowState() | Qt::WindowMaximized);
    } else {
      const int w = config->GetValueIntDef(QStringLiteral("WindowWidth"), width());
      const int h = config->GetValueIntDef(QStringLiteral("WindowHeight"), height());
      move(config->GetValueIntDef(QStringLiteral("WindowLeft"), left),
           config->GetValueIntDef(QStringLiteral("WindowTop"), top));
      resize(w, h);
    }
    break;
  case 3: setWindowState(windowState() | Qt::WindowMaximized); break;
  default: break;
  }
}

bool TFormMain::Login() {
  FToolBarPage->setEnabled(false);
  show();
  QCoreApplication::processEvents();
  TSQLiteDatabase* database = GetDatabase();
  if (!database->Active()) database->Open();
  StartSummaryBuilder();

  TFormLogin login(this);
  if (login.exec() != QDialog::Accepted) {
    Logout();
    FTerminating = true;
    // Ends the event loop when one runs; main() checks the result itself.
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    return false;
  }
  FStatusPanel->setText(QStringLiteral("Login: ") + CurrentUser()->DisplayName);
  // For the recorder's own check of this user, at each OpenAll.
  FLoginPassword = login.PasswordEdit()->text();
  OpenAll();
  if (const std::shared_ptr<TDqSMS> modem = SMSModem()) {
    // Reported on the modem's worker; logged from this thread.
    QPointer<TFormMain> self(this);
    modem->SetOnSendFailed([self](TDqSMS* ASender, const QString& AFailed) {
      QMetaObject::invokeMethod(qApp, [self, ASender, AFailed] {
        if (self) self->SMSSendFailed(ASender, AFailed);
      }, Qt::QueuedConnection);
    });
  }
  return true;
}

void TFormMain::Logout() {
  TTervoxUser* user = CurrentUser();
  if (user->Username.isEmpty()) return;
  user->AddUsageLogout();
  user->Clear();
  FLoginPassword.clear();
  CloseAll();
}

void TFormMain::OpenAll() {
  UserGroups()->LoadFromDB();
  OpenStation();
  TTervoxDevice::StartThread();
  // Recording alone, this window watches the clock; a recorder watches its own.
  if (!RemoteStation()) StartClockWatch();
  UpdateDevices();
  menuBar()->setEnabled(true);
  FToolBarPage->setEnabled(true);
  FMenuDatabase->menuAction()->setVisible(CurrentUser()->Group()->CanBackup);
  CheckHistoryStatus();
  FTimerHistoryStatus->start();
  if (CurrentUser()->Developed && !FFormDebug) {
    FFormDebug = new TFormDebug(this);
    FFormDebug->show();
  }
}

void TFormMain::CloseAll() {
  // The debug window lists the worker's queue: it goes before polling stops.
  delete FFormDebug;
  FFormDebug = nullptr;
  TTervoxConfig* config = Config();
  const bool maximized = isMaximized();
  config->SetValueBool(QStringLiteral("WindowFullScreen"), maximized);
  if (!maximized) {
    config->SetValueInt(QStringLiteral("WindowLeft"), x());
    config->SetValueInt(QStringLiteral("WindowTop"), y());
    config->SetValueInt(QStringLiteral("WindowWidth"), width());
    config->SetValueInt(QStringLiteral("WindowHeight"), height());
  }
  menuBar()->setEnabled(false);
  FToolBarPage->setEnabled(false);
  FTimerHistoryStatus->stop();
  SetActiveFrame(nullptr);
  std::vector<TDqFrame*> frames;
  frames.swap(FPageFrames);
  for (TDqFrame* frame : frames) delete frame;
  // Polling stops before the lists it uses are cleared and before the
  // database closes under the worker. A recorder this window watched goes
  // on recording.
  CloseStation();
  StopClockWatch();
  const bool idle = TTervoxDevice::StopThread();
  // Given up once this window's ports are closed.
  FStation.reset();
  FStationLock.reset();
  ShowStation(QString());
  TTervoxDevice::CloseSMS();
  // A worker still inside a request keeps the connection it uses.
  if (!idle) return;
  TSQLiteDatabase* database = GetDatabase();
  database->Close();
  if (!FTerminating) {
    database->Open();
    QCoreApplication::processEvents();
  }
}

void TFormMain::UpdateDevices() {
  TTervoxDevice::UpdateDevices();
  if (auto* monitor = GetFrame<TFrameMonitor>()) monitor->UpdateDevices();
  if (auto* trend = GetFrame<TFrameTrend>()) trend->UpdateDevices();
  if (auto* graph = GetFrame<TFrameGraph>()) graph->UpdateDevices();
  if (auto* report = GetFrame<TFrameReport>()) report->UpdateDevices();
}

void TFormMain::UpdateGraphProfile() {
  if (auto* graph = GetFrame<TFrameGraph>()) graph->UpdateDevices();
}

void TFormMain::UpdateTrendProfile() {
  if (auto* trend = GetFrame<TFrameTrend>()) trend->UpdateDevices();
}

TDqFrame* TFormMain::GetFrameByClass(TFrameClass AClass) const {
  for (auto it = FPageFrames.rbegin(); it != FPageFrames.rend(); ++it)
    if (FrameIsClass(*it, AClass)) return *it;
  return nullptr;
}

QToolButton* TFormMain::ButtonOfFrame(const TDqFrame* AFrame) const {
  for (auto it = FPageButtons.rbegin(); it != FPageButtons.rend(); ++it)
    if (FrameIsClass(AFrame, it->Class)) return it->Button;
  return nullptr;
}

void TFormMain::SetActiveFrame(TDqFrame* AFrame) {
  if (FActiveFrame && FActiveFrame != AFrame) {
    if (QToolButton* button = ButtonOfFrame(FActiveFrame)) button->setChecked(false);
    FActiveFrame->hide();
  }
  FActiveFrame = AFrame;
  if (FActiveFrame) {
    FActiveFrame->show();
    FActiveFrame->raise();
    if (QToolButton* button = ButtonOfFrame(FActiveFrame)) button->setChecked(true);
  }
}

TDqFrame* TFormMain::NewPage(TFrameClass AClass) {
  TDqFrame* frame = CreateFrame(AClass);
  frame->setParent(FPageHost);
  frame->setGeometry(FPageHost->rect());
  frame->hide();
  FPageFrames.push_back(frame);
  return frame;
}

void TFormMain::SelectPage(TFrameClass AClass) {
  // The Trend page samples from the first selection on, shown or not.
  if (!GetFrameByClass(&TFrameTrend::staticMetaObject)) NewPage(&TFrameTrend::staticMetaObject);
  if (!FActiveFrame || !FrameIsClass(FActiveFrame, AClass)) {
    if (TDqFrame* existing = GetFrameByClass(AClass)) {
      SetActiveFrame(existing);
      if (existing->OnEnter()) existing->OnEnter()(existing);
    } else {
      SetActiveFrame(NewPage(AClass));
    }
  }
  SetActiveFrame(FActiveFrame);
}

void TFormMain::CloseFrame(TFrameClass AClass) {
  for (std::size_t i = 0; i < FPageFrames.size();) {
    TDqFrame* frame = FPageFrames[i];
    if (!FrameIsClass(frame, AClass)) {
      ++i;
      continue;
    }
    if (frame == FActiveFrame) {
      if (QToolButton* button = ButtonOfFrame(frame)) button->setChecked(false);
      FActiveFrame = nullptr;
    }
    FPageFrames[i] = FPageFrames.back();
    FPageFrames.pop_back();
    delete frame;
  }
}

void TFormMain::SMSSendFailed(TDqSMS*, const QString& AResponse) {
  for (const QString& piece : AResponse.split(QLatin1Char(';'))) {
    const QString number = piece.trimmed();
    if (!number.isEmpty()) AddUsageLog(QStringLiteral("SMS Failed: ") + number, 0, QStringLiteral("ERROR"), 0, 0);
  }
}

void TFormMain::DeviceLost(int ADeviceID) {
  TTervoxDeviceList* devices = DeviceList();
  TTervoxDevice* device = devices ? devices->GetDeviceByID(ADeviceID) : nullptr;
  if (!device) {
    // Gone since (a refresh): no alert, and the next loss may show one.
    TervoxAlerts::SetLossAlertShowing(false);
    return;
  }
  TFormAlert alert(device->DeviceName(), this);
  alert.exec();
}

void TFormMain::DeviceAlarm(std::unique_ptr<TTervoxAlarmMessage> AMessage) {
  auto* dialog = new TFormDialogAlarm(this); // frees itself when closed
  dialog->resize(400, dialog->height());
  dialog->SetText(AMessage->Text);
  dialog->Slot = AMessage->Slot;
  dialog->DeviceID = AMessage->DeviceID;
  dialog->show();
}

void TFormMain::RefreshClick() {
  if (ShowDialogYN(QStringLiteral("Are you sure to refresh connection?")) != mrYes) return;
  StationChanged(TervoxStation::ReloadDevices | TervoxStation::ReloadSettings);
  const TFrameClass active = FActiveFrame ? FActiveFrame->metaObject() : nullptr;
  CloseAll();
  OpenAll();
  if (active) SelectPage(active);
}

void TFormMain::OptionsClick() {
  {
    TFormOptions options(this);
    options.exec();
  }
  if (FIsReset) {
    FIsReset = false;
    RunDatabaseReset();
  }
}

void TFormMain::closeEvent(QCloseEvent* AEvent) {
  FTerminating = true;
  try {
    Logout();
  } catch (...) {
    // The window closes even when the logout line cannot be written.
    ShowException(std::current_exception());
  }
  delete FFormDebug;
  FFormDebug = nullptr;
  AEvent->accept();
}
