// The windows' transactions on the recorder's lines. What a connection may
// do follows from its logged-in user's group and from the frame itself
// (function, slave, registers), never from the request's name.
#include "Tervox_Recorder.h"

#include "core/DqEvent.h"
#include "comm/DqModbus.h"
#include "comm/DqPort.h"
#include "core/DqRoutine.h"
#include "store/Main_Database.h"
#include "plant/Tervox_SettingsAudit.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Engine.h"
#include "trust/Tervox_Audit.h"

using namespace TervoxStation;

namespace {

// The request frame a window sent, as the fields TModbusData sends.
struct TFrameRequest {
  std::uint8_t Slave = 0;
  std::uint8_t Function = 0;
  std::uint16_t Address = 0;
  std::uint16_t Count = 0; // the value, for function 6
  std::vector<std::uint16_t> Values; // what a write writes, one per register
};

// Whole (its CRC matches): slave and function are known.
bool Intact(const QByteArray& AFrame, TFrameRequest& ARequest) {
  if (AFrame.size() < 4) return false;
  const int body = static_cast<int>(AFrame.size()) - 2;
  const auto byte = [&AFrame](int AIndex) { return static_cast<std::uint8_t>(AFrame[AIndex]); };
  const std::uint16_t crc = static_cast<std::uint16_t>(byte(body) | byte(body + 1) << 8);
  if (TModbusData::ComputeCRC16(AFrame.constData(), body) != crc) return false;
  ARequest.Slave = byte(0);
  ARequest.Function = byte(1);
  return true;
}

// The layout of the functions the recorder forwards: 3, 6 and 16.
bool ParseFrame(const QByteArray& AFrame, TFrameRequest& ARequest) {
  if (AFrame.size() < 8) return false;
  const auto byte = [&AFrame](int AIndex) { return static_cast<std::uint8_t>(AFrame[AIndex]); };
  const auto word = [&byte](int AIndex) { return static_cast<std::uint16_t>(byte(AIndex) << 8 | byte(AIndex + 1)); };
  ARequest.Address = word(2);
  ARequest.Count = word(4);
  switch (ARequest.Function) {
  case 3: return AFrame.size() == 8 && ARequest.Count >= 1 && ARequest.Count <= 125;
  case 6: ARequest.Values = {ARequest.Count}; return AFrame.size() == 8;
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

bool IsWrite(const TFrameRequest& AFrame) { return AFrame.Function == 6 || AFrame.Function == 16; }

// Registers every logged-in user may write: the FIX dialog (set values,
// their PID numbers, the FIX-SV No.), the Manual dialog (outputs and
// manual mode), the panel's AT, MANUAL, RUN and PRG keys, and the pattern
// and step selection the program reads write before reading. Every other
// register is a mode setting.
bool OpenToEveryUser(int AAddress) {
  return (AAddress >= 768 && AAddress <= 771) || (AAddress >= 2080 && AAddress <= 2087) || AAddress == 384 ||
         (AAddress >= 386 && AAddress <= 390) || AAddress == 2048 || AAddress == 2304 || AAddress == 2305;
}

// A read's selection changes no setting: not audited, never read first.
bool SelectionOnly(const TFrameRequest& AFrame) {
  for (std::size_t i = 0; i < AFrame.Values.size(); ++i) {
    const int address = AFrame.Address + static_cast<int>(i);
    if (address != 2304 && address != 2305) return false;
  }
  return true;
}

// A register as the user knows it, with its value in the controller's
// decimals (ADevice unknown: the register's number and raw values).
TervoxAudit::TChange RegisterChange(const TTervoxDevice* ADevice, int AAddress, std::optional<int> AOld, int ANew) {
  const TSettingsRegister known = SettingsRegisterOf(AAddress, ADevice ? ADevice->Digit() : 0);
  const int digit = ADevice ? known.Digit : -1;
  return {SettingsFieldText(AAddress, known.Name), AOld ? SettingsValueText(*AOld, digit) : QString(),
          SettingsValueText(ANew, digit)};
}

// The controller's echo of the write, not an exception.
bool Acknowledged(const QByteArray& AReply, const TFrameRequest& AFrame) {
  return AReply.size() >= 8 && static_cast<std::uint8_t>(AReply[0]) == AFrame.Slave &&
         static_cast<std::uint8_t>(AReply[1]) == AFrame.Function;
}

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

// The controller of the Device table at that slave address of that line.
std::shared_ptr<TTervoxDevice> ControllerAt(int APortID, int ASlave) {
  TTervoxDeviceList* devices = DeviceList();
  if (!devices) return nullptr;
  std::shared_ptr<TTervoxDevice> device;
  devices->Lock();
  for (int i = 0; i < devices->Count() && !device; ++i) {
    const TTervoxDeviceData data = devices->GetDevices(i)->DeviceData();
    if (data.DevicePortID == APortID && (data.SlaveID & 0xFF) == ASlave) device = devices->SharedDevice(i);
  }
  devices->Unlock();
  return device;
}

} // namespace

void TTervoxRecorder::LogWrite(TTervoxPeerID APeer, const TTransaction& ATransaction, int ASlave,
                               const QString& ADisplayName) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    auto& last = FLoggedRequest[ATransaction.PortID];
    if (ATransaction.Request != 0 && last == std::make_pair(APeer, ATransaction.Request)) return;
    last = {APeer, ATransaction.Request};
  }
  const std::shared_ptr<TTervoxDevice> device = ControllerAt(ATransaction.PortID, ASlave);
  const QString detail = QStringLiteral("%1 by %2 (%3)").arg(ATransaction.Name, ADisplayName, ATransaction.User);
  try {
    AddUsageLog(detail, device ? device->ID() : 0, QStringLiteral("SET"), device ? device->PV_Float() : 0.0,
                device ? device->Digit() : 0);
  } catch (const EDqException& e) {
    FLog(3, QStringLiteral("%1: %2").arg(detail, e.Message()));
  }
}

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

  // Every check here is quick (memory only): the trail's entry is written
  // on the desk.
  const TSession session = SessionOf(APeer);
  TFrameRequest frame;
  std::shared_ptr<TTervoxDevice> device;
  const auto refuse = [&](const QString& AWhy) {
    FLog(4, QStringLiteral("refused %1 on %2: %3").arg(ATransaction.Name, LineText(*port), AWhy));
    (*answer)(TOutcome::Refused, {}, AWhy);
    TervoxAudit::TEntry entry;
    entry.User = session.LoggedIn ? session.Username : QString::fromLatin1(TervoxAudit::kRecorder);
    if (device) {
      entry.TargetKind = QString::fromLatin1(TervoxAudit::kController);
      entry.Target = device->DeviceName();
      entry.TargetID = device->ID();
    } else {
      entry.TargetKind = QString::fromLatin1(TervoxAudit::kPort);
      entry.Target = port->PortData().Name;
      entry.TargetID = ATransaction.PortID;
    }
    entry.Action = QStringLiteral("request refused");
    for (std::size_t i = 0; IsWrite(frame) && i < frame.Values.size(); ++i)
      entry.Changes.push_back(
          RegisterChange(device.get(), frame.Address + static_cast<int>(i), std::nullopt, frame.Values[i]));
    entry.Reason = QStringLiteral("%1 (%2 naming %3, function %4, slave address %5)")
                       .arg(AWhy, ATransaction.Name.isEmpty() ? QStringLiteral("a request") : ATransaction.Name,
                            ATransaction.User.isEmpty() ? QStringLiteral("nobody") : ATransaction.User,
                            QString::number(frame.Function), QString::number(frame.Slave));
    Audit(entry);
  };
  if (!Intact(ATransaction.Frame, frame)) {
    refuse(QStringLiteral("Not a request the recorder runs."));
    return;
  }
  if (!session.LoggedIn) {
    refuse(QStringLiteral("Settings are written only for a user logged in at TERVOX."));
    return;
  }
  if (ATransaction.User != session.Username) {
    refuse(QStringLiteral("The user %1 is not the user logged in at the recorder.").arg(ATransaction.User));
    return;
  }
  if (frame.Function != 3 && frame.Function != 6 && frame.Function != 16) {
    refuse(QStringLiteral("The recorder forwards only reads and writes of holding registers, not function %1.")
               .arg(frame.Function));
    return;
  }
  if (frame.Slave == 0) {
    refuse(QStringLiteral("The recorder forwards nothing to the broadcast address 0."));
    return;
  }
  device = ControllerAt(ATransaction.PortID, frame.Slave);
  if (!device) {
    refuse(QStringLiteral("No controller of %1 has the address %2.").arg(LineText(*port), QString::number(frame.Slave)));
    return;
  }
  if (!ParseFrame(ATransaction.Frame, frame)) {
    refuse(QStringLiteral("Not a request the recorder runs."));
    return;
  }
  if (IsWrite(frame) && !session.CanChangeMode) {
    for (std::size_t i = 0; i < frame.Values.size(); ++i)
      if (!OpenToEveryUser(frame.Address + static_cast<int>(i))) {
        refuse(QStringLiteral("The user %1 may not change the controllers' modes.").arg(session.Username));
        return;
      }
  }

  // On the line's worker, between two status reads: the window's request
  // and the recorder's polling never share the wire.
  auto request = std::make_unique<TDqEventData>(
      QStringLiteral("Forwarded ") + ATransaction.Name,
      [this, APeer, ATransaction, port, answer, frame, device, session](TDqEventData*) {
        TTervoxPortLock lock(*port);
        const bool write = IsWrite(frame);
        // A read's selection (pattern, step) changes no setting.
        if (write && !ATransaction.Name.startsWith(QLatin1String("Read")))
          LogWrite(APeer, ATransaction, frame.Slave, session.DisplayName);
        const bool audited = write && !SelectionOnly(frame);
        TervoxAudit::TEntry entry;
        if (audited) {
          entry.User = session.Username;
          entry.TargetKind = QString::fromLatin1(TervoxAudit::kController);
          entry.Target = device->DeviceName();
          entry.TargetID = device->ID();
          entry.Reason = ATransaction.Name;
        }
        if (!port->Active() && !port->Reopen()) {
          if (audited) {
            entry.Action = QStringLiteral("setting not written: line not open");
            for (std::size_t i = 0; i < frame.Values.size(); ++i)
              entry.Changes.push_back(
                  RegisterChange(device.get(), frame.Address + static_cast<int>(i), std::nullopt, frame.Values[i]));
            TervoxAudit::AppendQuietly(entry);
          }
          (*answer)(TOutcome::Reply, {}, {}); // no reply: the line is not there
          return;
        }
        TModbusData modbus(port.get());
        // What the write replaces, for the trail.
        std::vector<std::uint16_t> old;
        const bool haveOld =
            audited && modbus.ReadHoldRegArray(old, frame.Slave, frame.Address,
                                               static_cast<std::uint16_t>(frame.Values.size()));
        switch (frame.Function) {
        case 3: modbus.ReadHoldReg(frame.Slave, frame.Address, frame.Count); break;
        case 6: modbus.WriteHoldReg(frame.Slave, frame.Address, frame.Count); break;
        case 16: modbus.WriteHoldRegArray(frame.Values, frame.Slave, frame.Address, frame.Count); break;
        default: break;
        }
        const QByteArray reply = modbus.LastReceive();
        if (audited) {
          entry.Action = Acknowledged(reply, frame) ? QStringLiteral("setting written")
                                                    : QStringLiteral("setting not acknowledged by the controller");
          for (std::size_t i = 0; i < frame.Values.size(); ++i)
            entry.Changes.push_back(RegisterChange(device.get(), frame.Address + static_cast<int>(i),
                                                   haveOld && i < old.size() ? std::optional<int>(old[i])
                                                                             : std::nullopt,
                                                   frame.Values[i]));
          // Here, before the window hears of it: a write is never done
          // without its entry (lines are stopped before a pause closes the
          // database).
          if (!TervoxAudit::AppendQuietly(entry))
            FLog(3, QStringLiteral("the audit trail cannot be written: %1").arg(entry.Action));
        }
        (*answer)(TOutcome::Reply, reply, {});
      },
      port.get());
  request->SenderName = QStringLiteral("window");
  worker->AddPrivilegeEvent(std::move(request));
}
