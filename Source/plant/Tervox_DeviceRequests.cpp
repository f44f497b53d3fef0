#include "Tervox_DeviceRequests.h"

#include "core/DqEvent.h"
#include "comm/DqModbus.h"
#include "comm/DqPort.h"
#include "core/DqRoutine.h"
#include "Tervox_Device.h"
#include "Tervox_Engine.h"
#include "Tervox_SettingsAudit.h"
#include "Tervox_SettingsRegisters.h"

#include <cstdint>
#include <optional>
#include <vector>

using namespace tervox_requests;

namespace {

// Holds the device and its port across one request and talks to the
// controller; records the first failure.
class TRequestIO {
public:
  // AName: the request, for a recorder that runs it for this window.
  explicit TRequestIO(TTervoxDevice& ADevice, const QString& AName = QString())
      : FDevice(ADevice), FDeviceLock(ADevice), FAudit(ADevice, AName) {
    // Whether the controller answers is the status poll's to say; opening
    // the port for a settings request says nothing about it.
    const bool synchronized = FDevice.Synchronized();
    if (FDevice.ActivatePort()) {
      FDevice.SetSynchronized(synchronized || !FDevice.StatusReady());
      FPort = FDevice.SharedPort();
      if (FPort) FPortLock.emplace(*FPort, AName);
    }
    FModbus.SetPort(FPort.get());
    FSlave = static_cast<std::uint8_t>(FDevice.DeviceData().SlaveID & 0xFF);
  }
  // The port goes before the device: members are released in reverse.
  ~TRequestIO() = default;
  TRequestIO(const TRequestIO&) = delete;
  TRequestIO& operator=(const TRequestIO&) = delete;

  bool Open() const { return FPort != nullptr; }
  bool Failed() const { return !Result.Success; }

  // ACount registers from AAddress as signed values; kNoValue each on failure.
  bool Read(int AAddress, int ACount, std::vector<int>& AValues) {
    std::vector<std::uint16_t> raw;
    const bool ok = FPort && FModbus.ReadHoldRegArray(raw, FSlave, static_cast<std::uint16_t>(AAddress),
                                                      static_cast<std::uint16_t>(ACount));
    AValues.assign(static_cast<std::size_t>(ACount), kNoValue);
    if (ok)
      for (int i = 0; i < ACount && i < static_cast<int>(raw.size()); ++i)
        AValues[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(raw[static_cast<std::size_t>(i)]);
    return ok;
  }
  bool ReadOne(int AAddress, int& AValue) {
    std::vector<int> values;
    const bool ok = Read(AAddress, 1, values);
    AValue = values[0];
    return ok;
  }
  // The register as an unsigned 16-bit value (two bytes of settings).
  bool ReadWord(int AAddress, int& AValue) {
    const bool ok = ReadOne(AAddress, AValue);
    AValue &= 0xFFFF;
    return ok;
  }

  // One register write; after the first failure nothing more is sent.
  // AName and ADigit say how the user knows the setting, for the audit.
  bool Write(int AAddress, int ARaw, const QString& AName = QString(), int ADigit = kRaw) {
    if (Failed()) return false;
    if (!FPort) {
      Result.Success = false;
      return false;
    }
    const std::optional<int> old = FAudit.ReadBefore(FModbus, FSlave, AAddress);
    if (!FModbus.WriteHoldReg(FSlave, static_cast<std::uint16_t>(AAddress), static_cast<std::uint16_t>(ARaw))) {
      Result.Success = false;
      Result.FailedAddress = AAddress;
    }
    FAudit.Written(AAddress, AName, ADigit, old, ARaw, Result.Success);
    return Result.Success;
  }
  // A selection a read needs; its outcome is the reads' to show.
  // "Unchanged" keeps the controller's own selection.
  void Select(int AAddress, int AValue) {
    if (FPort && AValue != kNoValue) FModbus.WriteHoldReg(FSlave, static_cast<std::uint16_t>(AAddress), static_cast<std::uint16_t>(AValue));
  }
  // Skips "unchanged"; converts a scaled value at ADigit decimals.
  void WriteField(int AAddress, double AValue, int ADigit, const QString& AName = QString()) {
    if (ADigit == kRaw ? static_cast<int>(AValue) == kNoValue : AValue == kUnchangedFloat) return;
    const int raw = ADigit == kRaw ? static_cast<int>(AValue) : GetIntDigit(AValue, ADigit);
    if (!FitsRegister(raw, ADigit != kRaw)) {
      // Checked before queueing; the decimal point may have changed since.
      if (!Failed()) {
        Result.Success = false;
        Result.FailedAddress = AAddress;
      }
      return;
    }
    Write(AAddress, raw, AName, ADigit);
  }
  void ReadFailed(int AAddress) {
    if (Failed()) return;
    Result.Success = false;
    Result.FailedAddress = AAddress;
    Result.ReadFailed = true;
  }

  TTervoxDevice& Device() { return FDevice; }
  TTervoxWriteResult Result;

private:
  TTervoxDevice& FDevice;
  // A guard, so that a failure later in the constructor still lets it go.
  TTervoxDeviceLock FDeviceLock;
  std::shared_ptr<TDqComPort> FPort;
  std::optional<TTervoxPortLock> FPortLock;
  TTervoxSettingsAudit FAudit;
  TModbusData FModbus;
  std::uint8_t FSlave = 0;
};

// The request's reads, for the read handlers.
class TRequestReader : public TRegisterReader {
public:
  explicit TRequestReader(TRequestIO& AIO) : FIO(AIO) {}
  bool Read(int AAddress, int ACount, std::vector<int>& AValues) override { return FIO.Read(AAddress, ACount, AValues); }
  bool ReadOne(int AAddress, int& AValue) override { return FIO.ReadOne(AAddress, AValue); }
  bool ReadWord(int AAddress, int& AValue) override { return FIO.ReadWord(AAddress, AValue); }
  void Select(int AAddress, int AValue) override { FIO.Select(AAddress, AValue); }

private:
  TRequestIO& FIO;
};

TEmit WriterOf(TRequestIO& AIO) {
  return [&AIO](int AAddress, double AValue, int ADigit, const QString& AName) {
    AIO.WriteField(AAddress, AValue, ADigit, AName);
  };
}

// ----- queueing

std::unique_ptr<TDqEventData> NewRequest(TTervoxDevice& ADevice, const QString& AName,
                                         std::function<void(TTervoxDevice&)> AHandler) {
  // The request holds the device: a list cleared meanwhile never frees a
  // device a queued request still uses.
  std::shared_ptr<TTervoxDevice> device = ADevice.shared_from_this();
  auto request = std::make_unique<TDqEventData>(
      AName, [device, handler = std::move(AHandler)](TDqEventData*) { handler(*device); }, &ADevice);
  request->SenderName = ADevice.DeviceName();
  return request;
}

void QueueRead(TTervoxDevice& ADevice, const QString& AName, std::function<void(TTervoxDevice&)> AHandler,
               TTervoxReadNotify ACallback, QObject* AContext, const TVariant& AValue = TVariant::Null()) {
  auto request = NewRequest(ADevice, AName, std::move(AHandler));
  request->Value = AValue;
  if (ACallback) request->SetOnSyncExecuted(std::move(ACallback), AContext);
  ADevice.Worker()->AddPrivilegeEvent(std::move(request));
}

void QueueWrite(TTervoxDevice& ADevice, const QString& AName, std::function<void(TRequestIO&)> AWork,
                TTervoxWriteNotify ACallback, QObject* AContext) {
  auto result = std::make_shared<TTervoxWriteResult>();
  const QString name = QStringLiteral("Write") + AName;
  auto request = NewRequest(ADevice, name, [result, name, work = std::move(AWork)](TTervoxDevice& ADev) {
    TRequestIO io(ADev, name);
    if (!io.Open()) {
      io.Result.Success = false;
    } else {
      work(io);
    }
    *result = io.Result;
  });
  if (ACallback)
    request->SetOnSyncExecuted([result, callback = std::move(ACallback)] { callback(*result); }, AContext);
  ADevice.Worker()->AddPrivilegeEvent(std::move(request));
}

// APlan(data, decimals, emit) lists the data's registers.
template <typename TData, typename TPlan>
void QueuePlanWrite(TTervoxDevice& ADevice, const QString& AName, const TData& AData, TPlan APlan,
                    TTervoxWriteNotify ACallback, QObject* AContext) {
  const int digit = ADevice.Digit();
  CheckPlan([&](const TEmit& AEmit) { APlan(AData, digit, AEmit); });
  QueueWrite(
      ADevice, AName, [data = AData, APlan](TRequestIO& AIO) { APlan(data, AIO.Device().Digit(), WriterOf(AIO)); },
      std::move(ACallback), AContext);
}

using TReadHandler = void (*)(TRegisterReader&, TTervoxDevice&);

// The previous data set goes first: with the port closed it stays absent.
template <typename TData>
void QueueReadHandler(TTervoxDevice& ADevice, const QString& AName, TTervoxDeviceSettings::TSlot<TData> TTervoxDeviceSettings::*ASlot,
                      TReadHandler AHandler, TTervoxReadNotify ACallback, QObject* AContext) {
  QueueRead(
      ADevice, AName,
      [ASlot, AHandler, AName](TTervoxDevice& ADev) {
        (ADev.Settings().*ASlot).Set(nullptr);
        TRequestIO io(ADev, AName);
        TRequestReader reader(io);
        if (io.Open()) AHandler(reader, ADev);
      },
      std::move(ACallback), AContext);
}

} // namespace

// ===================================================================== reads

void ReadMode(TTervoxDevice& ADevice, int AMode, TTervoxReadNotify ACallback, QObject* AContext) {
  const QString name = QStringLiteral("ReadMode%1").arg(AMode);
  using S = TTervoxDeviceSettings;
  switch (AMode) {
  case 1: QueueReadHandler(ADevice, name, &S::Mode1, DoReadMode1, std::move(ACallback), AContext); break;
  case 2: QueueReadHandler(ADevice, name, &S::Mode2, DoReadMode2, std::move(ACallback), AContext); break;
  case 3: QueueReadHandler(ADevice, name, &S::Mode3, DoReadMode3, std::move(ACallback), AContext); break;
  case 4: QueueReadHandler(ADevice, name, &S::Mode4, DoReadMode4, std::move(ACallback), AContext); break;
  case 5: QueueReadHandler(ADevice, name, &S::Mode5, DoReadMode5, std::move(ACallback), AContext); break;
  case 6: QueueReadHandler(ADevice, name, &S::Mode6, DoReadMode6, std::move(ACallback), AContext); break;
  case 7: QueueReadHandler(ADevice, name, &S::Mode7, DoReadMode7, std::move(ACallback), AContext); break;
  case 8: QueueReadHandler(ADevice, name, &S::Mode8, DoReadMode8, std::move(ACallback), AContext); break;
  default: throw EDqException(QStringLiteral("Invalid mode number: %1").arg(AMode));
  }
}

void ReadFix(TTervoxDevice& ADevice, TTervoxReadNotify ACallback, QObject* AContext) {
  QueueReadHandler(ADevice, QStringLiteral("ReadFix"), &TTervoxDeviceSettings::ModeFix, DoReadFix,
                   std::move(ACallback), AContext);
}

void ReadManual(TTervoxDevice& ADevice, TTervoxReadNotify ACallback, QObject* AContext) {
  QueueReadHandler(ADevice, QStringLiteral("ReadManual"), &TTervoxDeviceSettings::Manual, DoReadManual,
                   std::move(ACallback), AContext);
}

void ReadProgram(TTervoxDevice& ADevice, TTervoxReadNotify ACallback, QObject* AContext) {
  QueueReadHandler(ADevice, QStringLiteral("ReadProgram"), &TTervoxDeviceSettings::ModeProgram, ReadProgramInto,
                   std::move(ACallback), AContext);
}

void DoReadProgramStatus(TTervoxDevice& ADevice) {
  TRequestIO io(ADevice, QStringLiteral("ReadProgram"));
  TRequestReader reader(io);
  if (io.Open()) ReadProgramInto(reader, ADevice);
}

void ReadPattern(TTervoxDevice& ADevice, int APatternIndex, TTervoxReadNotify ACallback, QObject* AContext) {
  QueueRead(
      ADevice, QStringLiteral("ReadPattern%1").arg(APatternIndex),
      [APatternIndex](TTervoxDevice& ADev) {
        ADev.Settings().Pattern.Set(nullptr);
        TRequestIO io(ADev, QStringLiteral("ReadPattern%1").arg(APatternIndex));
        TRequestReader reader(io);
        if (io.Open()) DoReadPattern(reader, ADev, APatternIndex);
      },
      std::move(ACallback), AContext, TVariant(APatternIndex));
}

void ReadStep(TTervoxDevice& ADevice, int APatternNo, int AStepNo, TTervoxReadNotify ACallback, QObject* AContext) {
  QueueRead(
      ADevice, QStringLiteral("ReadPattern%1Step%2").arg(APatternNo).arg(AStepNo),
      [APatternNo, AStepNo](TTervoxDevice& ADev) {
        ADev.Settings().Step.Set(nullptr);
        TRequestIO io(ADev, QStringLiteral("ReadPattern%1Step%2").arg(APatternNo).arg(AStepNo));
        TRequestReader reader(io);
        if (io.Open()) DoReadStep(reader, ADev, APatternNo, AStepNo);
      },
      std::move(ACallback), AContext, TVariant(QStringLiteral("[%1, %2]").arg(APatternNo).arg(AStepNo)));
}

// ===================================================================== writes

void WriteMode(TTervoxDevice& ADevice, const TTervoxMode1Data& AData, TTervoxWriteNotify ACallback, QObject* AContext) {
  QueuePlanWrite(ADevice, QStringLiteral("Mode1"), AData, PlanMode1, std::move(ACallback), AContext);
}

void WriteMode(TTervoxDevice& ADevice, const TTervoxMode2Data& AData, TTervoxWriteNotify ACallback, QObject* AContext) {
  const int digit = ADevice.Digit();
  CheckPlan([&](const TEmit& AEmit) { PlanMode2(AData, digit, AEmit); });
  QueueWrite(
      ADevice, QStringLiteral("Mode2"),
      [data = AData](TRequestIO& AIO) mutable {
        TTervoxDevice& device = AIO.Device();
        // Gain, offset and filter are always written together: what the
        // user left alone is read back first. One that cannot be read
        // stays "unchanged".
        int value = 0;
        if (data.PVGain == kUnchangedFloat && AIO.ReadOne(1792, value)) data.PVGain = Scaled(value, 2);
        if (data.PVOffset == kUnchangedFloat && AIO.ReadOne(1793, value)) data.PVOffset = device.GetFloatValue(value);
        if (data.PVFilter == kUnchanged && AIO.ReadOne(1794, value)) data.PVFilter = value;
        PlanMode2(data, device.Digit(), WriterOf(AIO));
      },
      std::move(ACallback), AContext);
}

void WriteOutput(TTervoxDevice& ADevice, int AOutput, const TTervoxOutputData& AData, TTervoxWriteNotify ACallback,
                 QObject* AContext) {
  QueuePlanWrite(
      ADevice, QStringLiteral("Mode%1").arg(AOutput + 3), AData,
      [AOutput](const TTervoxOutputData& AOut, int ADigit, const TEmit& AEmit) { PlanOutput(AOut, AOutput, ADigit, AEmit); },
      std::move(ACallback), AContext);
}

void WriteMode(TTervoxDevice& ADevice, const TTervoxMode3Data& AData, TTervoxWriteNotify ACallback, QObject* AContext) {
  WriteOutput(ADevice, 0, AData, std::move(ACallback), AContext);
}

void WriteMode(TTervoxDevice& ADevice, const TTervoxMode4Data& AData, TTervoxWriteNotify ACallback, QObject* AContext) {
  WriteOutput(ADevice, 1, AData, std::move(ACallback), AContext);
}

void WriteMode(TTervoxDevice& ADevice, const TTervoxMode5Data& AData, TTervoxWriteNotify ACallback, QObject* AContext) {
  const int digit = ADevice.Digit();
  CheckPlan([&](const TEmit& AEmit) {
    for (int k = 0; k < 3; ++k) {
      PlanMode5Event(AData.EV[static_cast<std::size_t>(k)], k, digit, false, AEmit);
      PlanMode5Event(AData.EV[static_cast<std::size_t>(k)], k, digit, true, AEmit);
    }
  });
  QueueWrite(
      ADevice, QStringLiteral("Mode5"),
      [data = AData](TRequestIO& AIO) {
        TTervoxDevice& device = AIO.Device();
        const TEmit writer = WriterOf(AIO);
        for (int k = 0; k < 3; ++k) {
          const TTervoxEventSetting& ev = data.EV[static_cast<std::size_t>(k)];
          PlanMode5Event(ev, k, device.Digit(), false, writer);
          if (ev.Have && (ev.Latch != kUnchanged || ev.OutChar != kUnchanged) && !AIO.Failed()) {
            // Two settings share one register: the other byte is kept.
            const int address = 1285 + 8 * k;
            int word = 0;
            if (AIO.ReadWord(address, word)) {
              if (ev.Latch != kUnchanged) word = (word & 0x00FF) | ((ev.Latch & 0xFF) << 8);
              if (ev.OutChar != kUnchanged) word = (word & 0xFF00) | (ev.OutChar & 0xFF);
              AIO.Write(address, word);
            } else {
              AIO.ReadFailed(address);
            }
          }
          PlanMode5Event(ev, k, device.Digit(), true, writer);
        }
        // The event outputs are evaluated anew under their new settings.
        device.SetMode5Time(Now());
      },
      std::move(ACallback), AContext);
}

void WriteMode(TTervoxDevice& ADevice, const TTervoxMode6Data& AData, TTervoxWriteNotify ACallback, QObject* AContext) {
  QueuePlanWrite(ADevice, QStringLiteral("Mode6"), AData, PlanMode6, std::move(ACallback), AContext);
}

void WriteMode(TTervoxDevice& ADevice, const TTervoxMode7Data& AData, TTervoxWriteNotify ACallback, QObject* AContext) {
  QueuePlanWrite(ADevice, QStringLiteral("Mode7"), AData, PlanMode7, std::move(ACallback), AContext);
}

void WriteMode(TTervoxDevice& ADevice, const TTervoxMode8Data& AData, TTervoxWriteNotify ACallback, QObject* AContext) {
  QueuePlanWrite(ADevice, QStringLiteral("Mode8"), AData, PlanMode8, std::move(ACallback), AContext);
}

void WriteFix(TTervoxDevice& ADevice, const TTervoxFixData& AData, TTervoxWriteNotify ACallback, QObject* AContext) {
  QueuePlanWrite(ADevice, QStringLiteral("Fix"), AData, PlanFix, std::move(ACallback), AContext);
}

void WriteManual(TTervoxDevice& ADevice, const TTervoxManualData& AData, TTervoxWriteNotify ACallback,
                 QObject* AContext) {
  QueuePlanWrite(ADevice, QStringLiteral("Manual"), AData, PlanManual, std::move(ACallback), AContext);
}

void WritePattern(TTervoxDevice& ADevice, const TTervoxPatternData& AData, TTervoxWriteNotify ACallback,
                  QObject* AContext) {
  const int digit = ADevice.Digit();
  CheckPlan([&](const TEmit& AEmit) { PlanPatternFields(AData, digit, AEmit); });
  QueueWrite(
      ADevice, QStringLiteral("Pattern%1").arg(AData.PatternIndex),
      [data = AData](TRequestIO& AIO) {
        TTervoxDevice& device = AIO.Device();
        if (data.MaxPattern <= 0) return;
        if (device.Version() >= 1.3) {
          AIO.Write(2050, data.PatternIndex);
          AIO.Write(2304, data.PatternIndex);
        }
        PlanPatternFields(data, device.Digit(), WriterOf(AIO));
      },
      std::move(ACallback), AContext);
}

void WriteStep(TTervoxDevice& ADevice, int APatternIndex, int AStepIndex, const TTervoxStepData& AData,
               TTervoxWriteNotify ACallback, QObject* AContext) {
  const int digit = ADevice.Digit();
  CheckPlan([&](const TEmit& AEmit) { PlanStepFields(AData, digit, AEmit); });
  QueueWrite(
      ADevice, QStringLiteral("Pattern%1Step%2").arg(APatternIndex).arg(AStepIndex),
      [data = AData, APatternIndex, AStepIndex](TRequestIO& AIO) {
        TTervoxDevice& device = AIO.Device();
        // The status poll re-selects the running step: the step the user
        // chose is selected here, in this request, before its values go.
        if (device.Version() >= 1.3) AIO.Write(2304, APatternIndex);
        AIO.Write(2305, AStepIndex);
        PlanStepFields(data, device.Digit(), WriterOf(AIO));
      },
      std::move(ACallback), AContext);
}

void WritePatternCount(TTervoxDevice& ADevice, int ACount, TTervoxWriteNotify ACallback, QObject* AContext) {
  QueueWrite(
      ADevice, QStringLiteral("RegAddress0818"), [ACount](TRequestIO& AIO) { AIO.Write(2072, ACount); },
      std::move(ACallback), AContext);
}

void WritePatternNumber(TTervoxDevice& ADevice, int AExeNumber, TTervoxWriteNotify ACallback, QObject* AContext) {
  QueueWrite(
      ADevice, QStringLiteral("RegAddress0802"), [AExeNumber](TRequestIO& AIO) { AIO.Write(2050, AExeNumber); },
      std::move(ACallback), AContext);
}

void WritePatternTimeUnit(TTervoxDevice& ADevice, int ACount, int ATimeUnit, TTervoxWriteNotify ACallback,
                          QObject* AContext) {
  QueueWrite(
      ADevice, QStringLiteral("RegAddress0818"),
      [ACount, ATimeUnit](TRequestIO& AIO) {
        AIO.Write(2072, ACount);
        AIO.Write(2073, ATimeUnit);
      },
      std::move(ACallback), AContext);
}

