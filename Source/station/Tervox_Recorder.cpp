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

QString LineText(const TDqComPort& APort) {
  return QStringLiteral("line \"%1\" (%2)").arg(APort.PortData().Name, DqPortAddressText(APort.PortData()));
}

// Open, and for a network line connected.
bool LineUp(TDqComPort& APort) {
  if (!APort.Active()) return false;
  const auto net = std::dynamic_pointer_cast<TDqNetTransport>(APort.FrameTransport());
  return !net || net->Connected();
}

// The request frame a window sent, as the fields TModbusData sends: only
// the functions the settings requests use, whole and intact.
struct TFrameRequest {
  std::uint8_t Slave = 0;
  std::uint8_t Function = 0;
  std::uint16_t Address = 0;
  std::uint16_t Count = 0; // the value, for function 6
  std::vector<std::uint16_t> Values;
};

bool ParseFrame(const QByteArray& AFrame, TFrameRequest& ARequest) {
  if (AFrame.size() < 8) return false;
  const auto byte = [&AFrame](int AIndex) { return static_cast<std::uint8_t>(AFrame[AIndex]); };
  const auto word = [&byte](int AIndex) { return static_cast<std::uint16_t>(byte(AIndex) << 8 | byte(AIndex + 1)); };
  const int body = static_cast<int>(AFrame.size()) - 2;
  const std::uint16_t crc = static_cast<std::uint16_t>(byte(body) | byte(body + 1) << 8);
  if (TModbusData::ComputeCRC16(AFrame.constData(), body) != crc) return false;
  ARequest.Slave = byte(0);
  ARequest.Function = byte(1);
  ARequest.Address = word(2);
  ARequest.Count = word(4);
  switch (ARequest.Function) {
  case 3:
  case 4: return AFrame.size() == 8 && ARequest.Count >= 1 && ARequest.Count <= 125;
  case 6: return AFrame.size() == 8;
  case 16: {
    if (ARequest.Count < 1 || ARequest.Count > 123 || AFrame.size() != 9 + 2 * ARequest.Count ||
        byte(6) != 2 * ARequest.Count)
      return false;
    for (int i = 0; i < ARequest.Count; ++i) ARequest.Values.push_back(word(7 + 2 * i));
    return true;
  }
  default: return false;
  }
}

// Writes any logged-in user may make: the panel's RUN, AT, MANUAL and PRG
// keys, and the FIX and Manual dialogs. Everything else is a mode setting.
bool OpenToEveryUser(const QString& ARequest, int AFunction, int AAddress) {
  if (ARequest == QLatin1String("WriteFix") || ARequest == QLatin1String("WriteManual")) return true;
  const bool controlKey = AAddress == 388 || AAddress == 389 || AAddress == 390 || AAddress == 2048;
  return AFunction == 6 && controlKey &&
         (ARequest.startsWith(QLatin1String("WriteRegAddress")) || ARequest.startsWith(QLatin1String("Toggle")));
}

} // namespace

TTervoxRecorder::TTervoxRecorder(TLog ALog) : FLog(std::move(ALog)) {}

TTervoxRecorder::~TTervoxRecorder() { Stop(); }

bool TTervoxRecorder::Start(const QString& ASocket, QString* AError) {
  FServer = std::make_unique<TTervoxStationServer>(*this);
  if (!FServer->Start(ASocket, AError)) {
    FServer.reset();
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
  return true;
}

void TTervoxRecorder::Stop() {
  if (!FServer) return;
  // No window hears of a reading after this: the server goes first.
  FServer->Stop();
  SetStatusListener({});
  SetDatabaseProblemNotifier({});
  SetMqttStatusNotifier({});
  SetMainLink(nullptr);
  TTervoxDevice::StopThread();
  SetRetentionNotifier({});
  TTervoxDevice::CloseSMS();
  FServer.reset();
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
  }
}

void TTervoxRecorder::PeerGone(TTervoxPeerID APeer) {
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

// ---------------------------------------------------------------- transactions

QString TTervoxRecorder::WriteRefusal(const TTransaction& ATransaction, int AAddress, int AFunction,
                                      QString& ADisplayName) {
  if (ATransaction.User.isEmpty()) return QStringLiteral("Settings are written only for a user logged in at TERVOX.");
  TSQLiteTable table(GetDatabase());
  table.SetSQL(QStringLiteral("SELECT * FROM Users WHERE Username = :Username"));
  table.SetParamValues(":Username", ATransaction.User);
  table.Open();
  if (table.Eof()) return QStringLiteral("The user %1 is not a TERVOX user.").arg(ATransaction.User);
  TTervoxUser user;
  user.LoadFromDB(&table);
  if (user.Disabled) return QStringLiteral("The user %1 is disabled.").arg(ATransaction.User);
  ADisplayName = user.DisplayName;
  if (!OpenToEveryUser(ATransaction.Name, AFunction, AAddress) && !user.Group()->CanChangeMode)
    return QStringLiteral("The user %1 may not change the controllers' modes.").arg(ATransaction.User);
  return QString();
}

void TTervoxRecorder::LogWrite(TTervoxPeerID APeer, const TTransaction& ATransaction, int ASlave,
                               const QString& ADisplayName) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    auto& last = FLoggedRequest[ATransaction.PortID];
    if (ATransaction.Request != 0 && last == std::make_pair(APeer, ATransaction.Request)) return;
    last = {APeer, ATransaction.Request};
  }
  std::shared_ptr<TTervoxDevice> device;
  if (TTervoxDeviceList* devices = DeviceList()) {
    devices->Lock();
    for (int i = 0; i < devices->Count() && !device; ++i) {
      const TTervoxDeviceData data = devices->GetDevices(i)->DeviceData();
      if (data.DevicePortID == ATransaction.PortID && (data.SlaveID & 0xFF) == ASlave) device = devices->SharedDevice(i);
    }
    devices->Unlock();
  }
  const QString detail = QStringLiteral("%1 by %2 (%3)").arg(ATransaction.Name, ADisplayName, ATransaction.User);
  try {
    AddUsageLog(detail, device ? device->ID() : 0, QStringLiteral("SET"), device ? device->PV_Float() : 0.0,
                device ? device->Digit() : 0);
  } catch (const EDqException& e) {
    FLog(3, QStringLiteral("%1: %2").arg(detail, e.Message()));
  }
}

namespace {

// A forwarded transaction is answered once, whatever happens to it: one
// withdrawn by a reload or a stop still tells the window.
class TAnswer {
public:
  using TSend = std::function<void(TOutcome, const QByteArray&, const QString&)>;
  explicit TAnswer(TSend ASend) : FSend(std::move(ASend)) {}
  ~TAnswer() {
    if (!FDone) FSend(TOutcome::NoLine, {}, QStringLiteral("The recorder's lines were restarted meanwhile."));
  }
  void operator()(TOutcome AOutcome, const QByteArray& AReply, const QString& AText) {
    FDone = true;
    FSend(AOutcome, AReply, AText);
  }

private:
  TSend FSend;
  bool FDone = false;
};

} // namespace

void TTervoxRecorder::PeerTransaction(TTervoxPeerID APeer, const TTransaction& ATransaction) {
  auto answer = std::make_shared<TAnswer>(
      [this, APeer, seq = ATransaction.Seq](TOutcome AOutcome, const QByteArray& AReply, const QString& AText) {
        if (FServer) FServer->Send(APeer, TTransactionReply{seq, AOutcome, AReply, AText});
      });
  if (Paused()) {
    (*answer)(TOutcome::Paused, {}, QStringLiteral("Recording is paused for maintenance."));
    return;
  }
  TDqComPortList* ports = PortList();
  const std::shared_ptr<TDqComPort> port = ports ? ports->SharedPortByID(ATransaction.PortID) : nullptr;
  TDqEventThread* worker = port ? LineWorker(ATransaction.PortID) : nullptr;
  if (!worker) {
    (*answer)(TOutcome::NoLine, {},
              QStringLiteral("The recorder has no line %1: refresh the connection.").arg(ATransaction.PortID));
    return;
  }
  // On the line's worker, between two status reads: the window's request
  // and the recorder's polling never share the wire.
  auto request = std::make_unique<TDqEventData>(
      QStringLiteral("Forwarded ") + ATransaction.Name,
      [this, APeer, ATransaction, port, answer](TDqEventData*) {
        TFrameRequest frame;
        if (!ParseFrame(ATransaction.Frame, frame)) {
          (*answer)(TOutcome::Refused, {}, QStringLiteral("Not a request the recorder runs."));
          return;
        }
        TTervoxPortLock lock(*port);
        const bool write = frame.Function == 6 || frame.Function == 16;
        if (write) {
          QString refusal;
          QString displayName;
          try {
            refusal = WriteRefusal(ATransaction, frame.Address, frame.Function, displayName);
          } catch (const EDqException& e) {
            refusal = e.Message();
          }
          if (!refusal.isEmpty()) {
            FLog(4, QStringLiteral("refused %1 on %2: %3").arg(ATransaction.Name, LineText(*port), refusal));
            (*answer)(TOutcome::Refused, {}, refusal);
            return;
          }
          // A read's selection (pattern, step) changes no setting.
          if (!ATransaction.Name.startsWith(QLatin1String("Read")))
            LogWrite(APeer, ATransaction, frame.Slave, displayName);
        }
        if (!port->Active() && !port->Reopen()) {
          (*answer)(TOutcome::Reply, {}, {}); // no reply: the line is not there
          return;
        }
        TModbusData modbus(port.get());
        switch (frame.Function) {
        case 3: modbus.ReadHoldReg(frame.Slave, frame.Address, frame.Count); break;
        case 4: modbus.ReadInputRegInt(frame.Slave, frame.Address); break;
        case 6: modbus.WriteHoldReg(frame.Slave, frame.Address, frame.Count); break;
        case 16: modbus.WriteHoldRegArray(frame.Values, frame.Slave, frame.Address, frame.Count); break;
        default: break;
        }
        (*answer)(TOutcome::Reply, modbus.LastReceive(), {});
      },
      port.get());
  request->SenderName = QStringLiteral("window");
  worker->AddPrivilegeEvent(std::move(request));
}
