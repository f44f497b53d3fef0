#include "Tervox_Recorder.h"

#include "core/DqEvent.h"
#include "comm/DqModbus.h"
#include "comm/DqNetLine.h"
#include "comm/DqPort.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_ClockWatch.h"
#include "trust/Tervox_Chain.h"
#include "plant/Tervox_Engine.h"
#include "mqtt/Tervox_Mqtt.h"
#include "plant/Tervox_Retention.h"
#include "plant/Tervox_User.h"

#include <QCoreApplication>

#include <unistd.h>

using namespace TervoxStation;
using TClock = std::chrono::steady_clock;

namespace {

// Runs AWork on the recorder's main thread: polling starts and stops there.
template <typename F> void OnMain(F&& AWork) {
  if (QCoreApplication* app = QCoreApplication::instance())
    QMetaObject::invokeMethod(app, std::forward<F>(AWork), Qt::QueuedConnection);
}

// Open, and for a network line connected.
bool LineUp(TDqComPort& APort) {
  if (!APort.Active()) return false;
  const auto net = std::dynamic_pointer_cast<TDqNetTransport>(APort.FrameTransport());
  return !net || net->Connected();
}

} // namespace

QString TTervoxRecorder::LineText(const TDqComPort& APort) {
  return QStringLiteral("line \"%1\" (%2)").arg(APort.PortData().Name, DqPortAddressText(APort.PortData()));
}

bool TTervoxRecorder::Start(const QString& ASocket, QString* AError) {
  StartDesk();
  FServer = std::make_unique<TTervoxStationServer>(*this);
  if (!FServer->Start(ASocket, AError)) {
    FServer.reset();
    StopDesk();
    return false;
  }
  SetMainLink(this);
  // The keeper of what is recorded here seals it with the station's key.
  TervoxChain::InstallKeeperHook();
  SetStatusListener([this](TTervoxDevice& ADevice) { StatusRead(ADevice); });
  SetDatabaseProblemNotifier([this](const QString& AProblem) {
    if (FServer) FServer->Broadcast(TDatabaseProblem{AProblem});
  });
  // The publisher's state and failures go to the journal; its backlog
  // counts would flood it.
  struct TLastLine {
    std::mutex Lock;
    QString Text;
  };
  SetMqttStatusNotifier([this, last = std::make_shared<TLastLine>()](const TTervoxMqttStatus& AStatus) {
    TTervoxMqttStatus quiet = AStatus;
    quiet.Backlog = 0;
    const QString text = quiet.Text();
    {
      std::lock_guard<std::mutex> guard(last->Lock);
      if (text == last->Text) return;
      last->Text = text;
    }
    FLog(AStatus.State == TMqttState::Offline ? 4 : 6, text);
  });
  // One journal line per archive run: what moved, or why nothing did.
  SetRetentionNotifier([this](const TRetentionOutcome& AOutcome) { FLog(AOutcome.Failed ? 4 : 6, AOutcome.Text); });
  ReopenSMS();
  StartPolling();
  StartClockWatch();
  return true;
}

void TTervoxRecorder::Stop() {
  if (!FServer) return;
  // No window hears of a reading after this: the server goes first.
  FServer->Stop();
  // Its connections are gone without a word: their sessions end here.
  std::vector<TTervoxPeerID> sessions;
  {
    std::lock_guard<std::mutex> guard(FLock);
    for (const auto& [peer, session] : FSessions) sessions.push_back(peer);
  }
  for (const TTervoxPeerID peer : sessions) Logout(peer, QStringLiteral("logout at the recorder: recorder stopped"));
  SetStatusListener({});
  SetDatabaseProblemNotifier({});
  SetMqttStatusNotifier({});
  SetMainLink(nullptr);
  StopClockWatch();
  TTervoxDevice::StopThread();
  SetRetentionNotifier({});
  TTervoxDevice::CloseSMS();
  FServer.reset();
  // After the lines: their last writes are in the trail.
  StopDesk();
  std::lock_guard<std::mutex> guard(FLock);
  FSessions.clear();
}

void TTervoxRecorder::StartPolling() {
  FollowRecordingWithMqtt();
  TTervoxDevice::StartThread();
  // The lines the watchdog waits for: those with a controller to read.
  std::map<int, TClock::time_point> expected;
  int controllers = 0;
  TTervoxDeviceList* devices = DeviceList();
  devices->Lock();
  for (int i = 0; i < devices->Count(); ++i) {
    TTervoxDevice* device = devices->GetDevices(i);
    if (!device->Enabled()) continue;
    ++controllers;
    const int port = device->DeviceData().DevicePortID;
    if (PortList()->GetPortByID(port)) expected[port] = TClock::now();
  }
  devices->Unlock();
  {
    std::lock_guard<std::mutex> guard(FLock);
    FLastPass = std::move(expected);
    FStatusAsked.clear(); // reads asked before a stop never ran
  }
  FLog(6, QStringLiteral("recording %1 controller(s) on %2 line(s) into %3")
              .arg(controllers)
              .arg(PortList()->Count())
              .arg(GetDatabaseFileName()));
}

bool TTervoxRecorder::Paused() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FPaused;
}

bool TTervoxRecorder::LinesAlive(std::chrono::milliseconds ALimit) const {
  const TClock::time_point now = TClock::now();
  std::lock_guard<std::mutex> guard(FLock);
  if (FPaused) return true;
  for (const auto& [port, last] : FLastPass)
    if (now - last > ALimit) return false;
  return true;
}

// On the line's worker, after every status read.
void TTervoxRecorder::StatusRead(TTervoxDevice& ADevice) {
  if (FServer && FServer->HasWindows()) {
    FServer->Broadcast(TStatus{ADevice.StatusImage()});
    const int slave = ADevice.DeviceData().SlaveID & 0xFF;
    FServer->Broadcast(TCommStatistics{ADevice.DeviceData().DevicePortID, static_cast<std::uint8_t>(slave),
                                       ModbusStatistics(ADevice.DeviceData().DevicePortID, slave)});
  }
  const std::shared_ptr<TDqComPort> port = ADevice.SharedPort();
  const int portID = ADevice.DeviceData().DevicePortID;
  const int lineOpen = port && LineUp(*port) ? 1 : 0;
  const int answers = ADevice.Synchronized() ? 1 : 0;
  int lineWas = -1;
  int deviceWas = -1;
  {
    std::lock_guard<std::mutex> guard(FLock);
    FLastPass[portID] = TClock::now();
    const auto line = FLineState.find(portID);
    if (line != FLineState.end()) lineWas = line->second;
    FLineState[portID] = lineOpen;
    const auto device = FDeviceState.find(ADevice.ID());
    if (device != FDeviceState.end()) deviceWas = device->second;
    FDeviceState[ADevice.ID()] = answers;
  }
  if (port && lineWas != lineOpen) {
    if (lineOpen)
      FLog(6, LineText(*port) + (lineWas < 0 ? QStringLiteral(" opened") : QStringLiteral(" back")));
    else {
      const auto net = std::dynamic_pointer_cast<TDqNetTransport>(port->FrameTransport());
      const QString reason = net && !net->LineError().isEmpty() ? QStringLiteral(": ") + net->LineError() : QString();
      FLog(4, LineText(*port) + (lineWas < 0 ? QStringLiteral(" cannot be opened") : QStringLiteral(" lost")) + reason);
    }
  }
  if (deviceWas != answers && (deviceWas >= 0 || !answers)) {
    const QString name = QStringLiteral("controller \"%1\" (address %2)")
                             .arg(ADevice.DeviceName())
                             .arg(ADevice.DeviceData().SlaveID & 0xFF);
    if (answers)
      FLog(6, name + QStringLiteral(" back"));
    else
      FLog(4, name + (deviceWas < 0 ? QStringLiteral(" does not answer") : QStringLiteral(" lost")));
  }
}

// ---------------------------------------------------------------- events

void TTervoxRecorder::DeviceLost(int ADeviceID) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    // Stays open until a window's Alert is silenced, shown to each window
    // that attaches meanwhile.
    FLossAlertDevice = ADeviceID;
  }
  if (FServer) FServer->Broadcast(TLossAlert{ADeviceID});
}

void TTervoxRecorder::DeviceAlarm(std::unique_ptr<TTervoxAlarmMessage> AMessage) {
  QString line = AMessage->Text;
  line.replace(QStringLiteral("\r\n"), QStringLiteral(", "));
  FLog(4, QStringLiteral("alarm: %1").arg(line.simplified()));
  {
    std::lock_guard<std::mutex> guard(FLock);
    FOpenAlarms[{AMessage->DeviceID, AMessage->Slot}] = AMessage->Text;
  }
  if (FServer)
    FServer->Broadcast(TAlarm{AMessage->DeviceID, static_cast<std::uint8_t>(AMessage->Slot), AMessage->Text});
}

// ---------------------------------------------------------------- peers

void TTervoxRecorder::PeerNote(const QString& AText) { FLog(4, AText); }

void TTervoxRecorder::PeerWelcome(TTervoxPeerID APeer, const THello& AHello) {
  bool paused = false;
  int lossDevice = 0;
  std::vector<TAlarm> alarms;
  {
    std::lock_guard<std::mutex> guard(FLock);
    paused = FPaused;
    lossDevice = FLossAlertDevice;
    for (const auto& [key, text] : FOpenAlarms)
      alarms.push_back(TAlarm{key.first, static_cast<std::uint8_t>(key.second), text});
  }
  FServer->Send(APeer, TWelcome{static_cast<std::uint32_t>(::getpid()), paused});
  if (AHello.Role != TRole::Window || paused) return;
  // A window shows every controller at once, and what is still unanswered.
  std::vector<std::shared_ptr<TTervoxDevice>> shown;
  if (TTervoxDeviceList* devices = DeviceList()) {
    devices->Lock();
    for (int i = 0; i < devices->Count(); ++i) shown.push_back(devices->SharedDevice(i));
    devices->Unlock();
  }
  for (const auto& device : shown) {
    if (device->StatusReady()) FServer->Send(APeer, TStatus{device->StatusImage()});
    for (const TAlarm& alarm : alarms)
      if (alarm.DeviceID == device->ID() && device->Alarming(alarm.Slot) == 1) FServer->Send(APeer, alarm);
    if (lossDevice == device->ID() && !device->Synchronized()) FServer->Send(APeer, TLossAlert{lossDevice});
  }
}

void TTervoxRecorder::PeerRequest(TTervoxPeerID APeer, const TMessage& AMessage) {
  if (const auto* reload = std::get_if<TReload>(&AMessage)) {
    const std::uint8_t what = reload->What;
    OnMain([this, APeer, what] { Reload(APeer, what); });
  } else if (const auto* silence = std::get_if<TSilenceLossAlert>(&AMessage)) {
    const int seconds = static_cast<int>(std::min<std::uint32_t>(silence->Seconds, 24 * 3600));
    FLog(6, QStringLiteral("loss alert silenced for %1 s from a window").arg(seconds));
    TervoxAlerts::SetLossAlertSilence(seconds);
    TervoxAlerts::SetLastLossAlertTime(Now());
    TervoxAlerts::SetLossAlertShowing(false);
    {
      std::lock_guard<std::mutex> guard(FLock);
      FLossAlertDevice = 0;
    }
    FServer->Broadcast(TLossAlertClosed{});
  } else if (const auto* acknowledge = std::get_if<TAcknowledgeAlarm>(&AMessage)) {
    if (TTervoxDeviceList* devices = DeviceList())
      if (auto device = devices->SharedDeviceByID(acknowledge->DeviceID)) device->SetAlarming(acknowledge->Slot, 2);
    {
      std::lock_guard<std::mutex> guard(FLock);
      FOpenAlarms.erase({acknowledge->DeviceID, acknowledge->Slot});
    }
    FServer->Broadcast(TAlarmAcknowledged{acknowledge->DeviceID, acknowledge->Slot});
  } else if (const auto* status = std::get_if<TRequestStatus>(&AMessage)) {
    const int id = status->DeviceID;
    {
      // One asked read per controller at a time: a window cannot fill the
      // line's queue with them.
      std::lock_guard<std::mutex> guard(FLock);
      if (FPaused || !FStatusAsked.insert(id).second) return;
    }
    TTervoxDeviceList* devices = DeviceList();
    const std::shared_ptr<TTervoxDevice> device = devices ? devices->SharedDeviceByID(id) : nullptr;
    if (!device || !device->Worker()) {
      std::lock_guard<std::mutex> guard(FLock);
      FStatusAsked.erase(id);
      return;
    }
    device->ReadStatus([this, id] {
      std::lock_guard<std::mutex> guard(FLock);
      FStatusAsked.erase(id);
    });
  } else if (const auto* pause = std::get_if<TPause>(&AMessage)) {
    const TPause copy = *pause;
    OnMain([this, APeer, copy] { Pause(APeer, copy); });
  } else if (std::holds_alternative<TResume>(AMessage)) {
    OnMain([this, APeer] { Resume(APeer); });
  } else if (const auto* login = std::get_if<TLogin>(&AMessage)) {
    Login(APeer, *login);
  } else if (std::holds_alternative<TLogout>(AMessage)) {
    Logout(APeer, QStringLiteral("logout at the recorder"));
  }
}

void TTervoxRecorder::PeerGone(TTervoxPeerID APeer) {
  Logout(APeer, QStringLiteral("logout at the recorder: connection ended"));
  {
    std::lock_guard<std::mutex> guard(FLock);
    FSessions.erase(APeer);
  }
  bool pausing = false;
  {
    std::lock_guard<std::mutex> guard(FLock);
    pausing = FPausedBy.count(APeer) != 0;
  }
  // Maintenance that ends without resuming (a tool killed) resumes anyway.
  if (pausing) OnMain([this, APeer] { Resume(APeer); });
}

// ---------------------------------------------------------------- reload, pause

void TTervoxRecorder::ReopenSMS() {
  // Every window that attaches asks for a settings reload: the modem is
  // opened again only when its settings changed.
  const QString settings = Config()->GetValueBoolDef(QStringLiteral("SMSAlert"), false)
                               ? Config()->GetValues(QStringLiteral("SMSPort")) + QLatin1Char('|') +
                                     Config()->GetValues(QStringLiteral("SMSProvider"))
                               : QString();
  if (settings == FSMSSettings && (settings.isEmpty() == !SMSModem())) return;
  FSMSSettings = settings;
  TTervoxDevice::CloseSMS();
  if (!settings.isEmpty()) {
    TTervoxDevice::OpenSMS();
    FLog(6, QStringLiteral("SMS alerts through the modem on %1").arg(Config()->GetValues(QStringLiteral("SMSPort"))));
  }
}

void TTervoxRecorder::Reload(TTervoxPeerID APeer, std::uint8_t AWhat) {
  if (!Paused()) {
    if (AWhat & ReloadSettings) {
      TervoxAlerts::ReloadSettings();
      ReopenSMS();
      // The broker's settings may have changed too.
      if (MqttPublisherRunning() || Config()->GetValueBoolDef(QStringLiteral("MQTTEnabled"), false))
        StartMqttPublisher();
    }
    if (AWhat & ReloadDevices) {
      TTervoxDevice::StopThread();
      StartPolling();
    }
  }
  // The other windows load the new ports and controllers too.
  if (FServer && (AWhat & ReloadDevices)) FServer->Broadcast(TReloaded{}, APeer);
}

void TTervoxRecorder::Pause(TTervoxPeerID APeer, const TPause& APause) {
  bool first = false;
  {
    std::lock_guard<std::mutex> guard(FLock);
    first = FPausedBy.empty();
    FPausedBy.insert(APeer);
    FPaused = true;
  }
  if (first) {
    // Nothing writes the database meanwhile, and it is closed: a restore
    // or a reset may replace the file under it.
    TTervoxDevice::StopThread();
    TTervoxDevice::CloseSMS();
    FSMSSettings.clear();
    // The desk sees the pause before its next use of the database.
    std::lock_guard<std::mutex> desk(FDatabaseUse);
    FreeDatabase();
    FLog(5, QStringLiteral("recording paused for %1 by %2").arg(APause.Reason, APause.User));
  }
  if (FServer) {
    FServer->Send(APeer, TPauseState{true, {}});
    FServer->Broadcast(TPauseState{true, APause.Reason});
  }
}

void TTervoxRecorder::Resume(TTervoxPeerID APeer) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FPausedBy.erase(APeer) == 0 || !FPausedBy.empty()) return;
  }
  QString problem;
  try {
    GetDatabase();
    TervoxAlerts::Reset();
    UserGroups()->LoadFromDB();
    ReopenSMS();
    StartPolling();
  } catch (const EDqException& e) {
    problem = e.Message();
  }
  {
    std::lock_guard<std::mutex> guard(FLock);
    FPaused = false;
    FLineState.clear();
    FDeviceState.clear();
  }
  if (problem.isEmpty())
    FLog(5, QStringLiteral("recording resumed"));
  else
    FLog(3, QStringLiteral("recording cannot resume: %1").arg(problem));
  if (FServer) {
    FServer->Send(APeer, TPauseState{false, problem});
    FServer->Broadcast(TPauseState{false, problem});
  }
}
