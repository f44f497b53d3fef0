#include "Tervox_DeviceRequests.h"

#include "Engine/DqEvent.h"
#include "Engine/DqModbus.h"
#include "Engine/DqPort.h"
#include "Engine/DqRoutine.h"
#include "domain/Tervox_Device.h"
#include "domain/Tervox_Engine.h"

#include <QThread>

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

constexpr int kRaw = -1; // a field written as it stands
// Passes over the three Mode 2 blocks before giving up on a controller
// that stopped answering.
constexpr int kMode2Passes = 3;

// One setting on its way to a register: its value, its scaling (decimals,
// or kRaw) and the name the user knows it by.
using TEmit = std::function<void(int AAddress, double AValue, int ADigit, const QString& AName)>;

bool FitsRegister(int ARaw, bool AScaled) {
  // Scaled values are signed and must not collide with the two markers.
  if (AScaled) return ARaw > kBelowRange && ARaw < kNoValue;
  return ARaw >= -32768 && ARaw <= 65535;
}

// Holds the device and its port across one request and talks to the
// controller; records the first failure.
class TRequestIO {
public:
  // AName: the request, for a recorder that runs it for this window.
  explicit TRequestIO(TTervoxDevice& ADevice, const QString& AName = QString())
      : FDevice(ADevice), FDeviceLock(ADevice) {
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
  bool Write(int AAddress, int ARaw) {
    if (Failed()) return false;
    if (!FPort) {
      Result.Success = false;
      return false;
    }
    if (!FModbus.WriteHoldReg(FSlave, static_cast<std::uint16_t>(AAddress), static_cast<std::uint16_t>(ARaw))) {
      Result.Success = false;
      Result.FailedAddress = AAddress;
    }
    return Result.Success;
  }
  // A selection a read needs; its outcome is the reads' to show.
  // "Unchanged" keeps the controller's own selection.
  void Select(int AAddress, int AValue) {
    if (FPort && AValue != kNoValue) FModbus.WriteHoldReg(FSlave, static_cast<std::uint16_t>(AAddress), static_cast<std::uint16_t>(AValue));
  }
  // Skips "unchanged"; converts a scaled value at ADigit decimals.
  void WriteField(int AAddress, double AValue, int ADigit) {
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
    Write(AAddress, raw);
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
  TModbusData FModbus;
  std::uint8_t FSlave = 0;
};

double Scaled(int ARaw, int ADigit) { return GetFloatDigit(ARaw, ADigit); }

// ----- the registers of each data set, in writing order

void PlanMode1(const TTervoxMode1Data& AData, int ADigit, const TEmit& AEmit) {
  AEmit(1553, AData.Keylock, kRaw, QStringLiteral("Key lock"));
  AEmit(1554, AData.PowerOnMode, kRaw, QStringLiteral("Power-on operation mode"));
  AEmit(778, AData.SVLowerLimit, ADigit, QStringLiteral("SV lower limit"));
  AEmit(779, AData.SVUpperLimit, ADigit, QStringLiteral("SV upper limit"));
}

void PlanMode2(const TTervoxMode2Data& AData, int ADigit, const TEmit& AEmit) {
  AEmit(1797, AData.PVRange, kRaw, QStringLiteral("PV range"));
  AEmit(1796, AData.TemperatureUnit, kRaw, QStringLiteral("Temperature unit"));
  AEmit(1799, AData.DecimalPoint, kRaw, QStringLiteral("Decimal point"));
  AEmit(1800, AData.InputLowerLimit, ADigit, QStringLiteral("Scaling lower limit"));
  AEmit(1801, AData.InputUpperLimit, ADigit, QStringLiteral("Scaling upper limit"));
  AEmit(1807, AData.ThermocoupleDirection, kRaw, QStringLiteral("Thermocouple detection direction"));
  AEmit(1792, AData.PVGain, 2, QStringLiteral("PV gain"));
  AEmit(1793, AData.PVOffset, ADigit, QStringLiteral("PV offset"));
  AEmit(1794, AData.PVFilter, kRaw, QStringLiteral("PV filter"));
}

void PlanMode3(const TTervoxMode3Data& AData, int ADigit, const TEmit& AEmit) {
  for (int k = 0; k < 3; ++k) {
    const TTervoxOut1PID& set = AData.PID[static_cast<std::size_t>(k)];
    const int base = 1024 + 8 * k;
    const QString pid = QStringLiteral("PID %1 ").arg(k + 1);
    AEmit(base, set.Band, 1, pid + QStringLiteral("proportional band"));
    AEmit(base + 1, set.Integral, kRaw, pid + QStringLiteral("integral time"));
    AEmit(base + 2, set.Derivative, kRaw, pid + QStringLiteral("derivative time"));
    AEmit(base + 3, set.Reset, 1, pid + QStringLiteral("manual reset"));
    AEmit(base + 4, set.GapLower, ADigit, pid + QStringLiteral("differential gap"));
    AEmit(base + 5, set.Minimum, 1, pid + QStringLiteral("minimum limiter"));
    AEmit(base + 6, set.Maximum, 1, pid + QStringLiteral("maximum limiter"));
    AEmit(base + 7, set.GapUpper, ADigit, pid + QStringLiteral("upper differential gap"));
  }
  AEmit(1536, AData.Characteristics, kRaw, QStringLiteral("OUT1 characteristics"));
  AEmit(1537, AData.PeriodicTime, 1, QStringLiteral("OUT1 proportional periodic time"));
  AEmit(1546, AData.SoftStartingTime, 1, QStringLiteral("OUT1 soft starting time"));
}

void PlanMode4(const TTervoxMode4Data& AData, int ADigit, const TEmit& AEmit) {
  for (int k = 0; k < 3; ++k) {
    const TTervoxOut2PID& set = AData.PID[static_cast<std::size_t>(k)];
    const int base = 1120 + 8 * k;
    const QString pid = QStringLiteral("OUT2 PID %1 ").arg(k + 1);
    AEmit(base, set.Band, 1, pid + QStringLiteral("proportional band"));
    AEmit(base + 1, set.Integral, kRaw, pid + QStringLiteral("integral time"));
    AEmit(base + 2, set.Derivative, kRaw, pid + QStringLiteral("derivative time"));
    AEmit(base + 3, set.Dead, kRaw, pid + QStringLiteral("dead band"));
    AEmit(base + 4, set.Gap, ADigit, pid + QStringLiteral("differential gap"));
    AEmit(base + 5, set.Minimum, 1, pid + QStringLiteral("minimum limiter"));
    AEmit(base + 6, set.Maximum, 1, pid + QStringLiteral("maximum limiter"));
  }
  AEmit(1540, AData.PeriodicTime, 1, QStringLiteral("OUT2 proportional periodic time"));
  AEmit(1543, AData.Characteristics, kRaw, QStringLiteral("OUT2 characteristics"));
  AEmit(1547, AData.SoftStartingTime, 1, QStringLiteral("OUT2 soft starting time"));
}

// Mode 5 without the latch/characteristics register, which is read and
// merged on the worker.
void PlanMode5Event(const TTervoxEventSetting& AEvent, int AIndex, int ADigit, bool ADelays, const TEmit& AEmit) {
  const QString ev = QStringLiteral("Event %1 ").arg(AIndex + 1);
  if (!ADelays) {
    if (!AEvent.Have) return;
    const int base = 1280 + 8 * AIndex;
    AEmit(base, AEvent.OpMode, kRaw, ev + QStringLiteral("operation mode"));
    AEmit(base + 1, AEvent.Point, ADigit, ev + QStringLiteral("operating point"));
    AEmit(base + 2, AEvent.Gap, ADigit, ev + QStringLiteral("differential gap"));
    AEmit(base + 3, AEvent.Standby, kRaw, ev + QStringLiteral("standby operation"));
    return;
  }
  if (!AEvent.HaveDelay) return;
  AEmit(1286 + 8 * AIndex, AEvent.DelayON, kRaw, ev + QStringLiteral("ON delay time"));
  AEmit(1287 + 8 * AIndex, AEvent.DelayOFF, kRaw, ev + QStringLiteral("OFF delay time"));
  const int timer = 2944 + 8 * AIndex;
  AEmit(timer, AEvent.Delay, kRaw, ev + QStringLiteral("delay mode"));
  AEmit(timer + 1, AEvent.TimerON, kRaw, ev + QStringLiteral("timer ON period"));
  AEmit(timer + 2, AEvent.TimerOFF, kRaw, ev + QStringLiteral("timer OFF period"));
  AEmit(timer + 3, AEvent.TimerUnit, kRaw, ev + QStringLiteral("timer unit"));
}

void PlanMode6(const TTervoxMode6Data& AData, int, const TEmit& AEmit) {
  for (int i = 0; i < 4; ++i)
    AEmit(1408 + i, AData.DIMode[static_cast<std::size_t>(i)], kRaw, QStringLiteral("DI%1 mode").arg(i + 1));
}

void PlanMode7(const TTervoxMode7Data& AData, int, const TEmit& AEmit) {
  AEmit(1440, AData.AnalogOutputMode, kRaw, QStringLiteral("Analog output mode"));
  AEmit(1441, AData.AnalogLowerScale, AData.Digit, QStringLiteral("Analog output scaling lower value"));
  AEmit(1442, AData.AnalogUpperScale, AData.Digit, QStringLiteral("Analog output scaling upper value"));
  AEmit(1460, AData.AnalogLowerLimit, 1, QStringLiteral("Analog output lower limit"));
  AEmit(1461, AData.AnalogUpperLimit, 1, QStringLiteral("Analog output upper limit"));
}

void PlanMode8(const TTervoxMode8Data& AData, int, const TEmit& AEmit) {
  AEmit(1429, AData.CT[0].Delay, 1, QStringLiteral("CT1 delay time"));
  AEmit(1431, AData.CT[0].Mode, kRaw, QStringLiteral("CT1 mode"));
  AEmit(1437, AData.CT[1].Delay, 1, QStringLiteral("CT2 delay time"));
  AEmit(1439, AData.CT[1].Mode, kRaw, QStringLiteral("CT2 mode"));
}

void PlanFix(const TTervoxFixData& AData, int ADigit, const TEmit& AEmit) {
  // Each register on its own: a PID number changed alone is written too.
  for (int i = 0; i < 4; ++i) {
    const TTervoxFixSV& fix = AData.SV[static_cast<std::size_t>(i)];
    AEmit(768 + i, fix.SV, ADigit, QStringLiteral("FIX-SV%1").arg(i + 1));
    AEmit(2080 + i, fix.PIDOut1, kRaw, QStringLiteral("FIX-SV%1 control output 1 PID No.").arg(i + 1));
    AEmit(2084 + i, fix.PIDOut2, kRaw, QStringLiteral("FIX-SV%1 control output 2 PID No.").arg(i + 1));
  }
  AEmit(384, AData.SVNumber, kRaw, QStringLiteral("Operation FIX-SV No."));
}

void PlanManual(const TTervoxManualData& AData, int, const TEmit& AEmit) {
  AEmit(389, AData.IsManual ? 1 : 0, kRaw, QStringLiteral("Manual mode"));
  if (!AData.IsManual) return;
  AEmit(386, AData.Out1, 1, QStringLiteral("Control output 1 value"));
  AEmit(387, AData.Out2, 1, QStringLiteral("Control output 2 value"));
}

void PlanPatternFields(const TTervoxPatternData& AData, int ADigit, const TEmit& AEmit) {
  AEmit(2313, AData.StartMode, kRaw, QStringLiteral("Start mode"));
  AEmit(2310, AData.StartSV, ADigit, QStringLiteral("Start SV"));
  AEmit(2307, AData.EndStep, kRaw, QStringLiteral("End step"));
  AEmit(2316, AData.PatternTime, kRaw, QStringLiteral("Time of execution pattern"));
  AEmit(2311, AData.GuaranteeSoak, ADigit, QStringLiteral("Guarantee soak zone"));
  AEmit(2073, AData.TimeUnit, kRaw, QStringLiteral("Time unit"));
}

void PlanStepFields(const TTervoxStepData& AData, int ADigit, const TEmit& AEmit) {
  AEmit(2384, AData.SV, ADigit, QStringLiteral("Step SV"));
  AEmit(2385, AData.StepTime, kRaw, QStringLiteral("Step time"));
  AEmit(2386, AData.PIDOut1, kRaw, QStringLiteral("Step control output 1 PID No."));
  AEmit(2387, AData.PIDOut2, kRaw, QStringLiteral("Step control output 2 PID No."));
}

// Refuses, naming the field, a value that would not arrive as the user
// entered it.
void CheckPlan(const std::function<void(const TEmit&)>& APlan) {
  APlan([](int, double AValue, int ADigit, const QString& AName) {
    if (ADigit == kRaw) {
      if (static_cast<int>(AValue) == kNoValue) return;
      if (!FitsRegister(static_cast<int>(AValue), false))
        throw EDqException(QStringLiteral("%1: the value %2 does not fit the controller.")
                               .arg(AName, FloatToStrLocale(AValue)));
      return;
    }
    const QString refusal = CheckScaledValue(AName, AValue, ADigit);
    if (!refusal.isEmpty()) throw EDqException(refusal);
  });
}

TEmit WriterOf(TRequestIO& AIO) {
  return [&AIO](int AAddress, double AValue, int ADigit, const QString&) { AIO.WriteField(AAddress, AValue, ADigit); };
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

template <typename TData>
void QueuePlanWrite(TTervoxDevice& ADevice, const QString& AName, const TData& AData,
                    void (*APlan)(const TData&, int, const TEmit&), TTervoxWriteNotify ACallback, QObject* AContext) {
  const int digit = ADevice.Digit();
  CheckPlan([&](const TEmit& AEmit) { APlan(AData, digit, AEmit); });
  QueueWrite(
      ADevice, AName, [data = AData, APlan](TRequestIO& AIO) { APlan(data, AIO.Device().Digit(), WriterOf(AIO)); },
      std::move(ACallback), AContext);
}

// ----- read handlers (device locked, port open)

void DoReadMode1(TRequestIO& AIO, TTervoxDevice& ADevice) {
  auto data = std::make_shared<TTervoxMode1Data>();
  std::vector<int> r;
  // Filled whatever arrives: a register not read shows 0.
  auto zero = [](int AValue) { return AValue == kNoValue ? 0 : AValue; };
  int value = 0;
  AIO.ReadOne(1553, value);
  data->Keylock = zero(value);
  AIO.ReadOne(1554, value);
  data->PowerOnMode = zero(value);
  AIO.Read(778, 2, r);
  data->SVLowerLimit = ADevice.GetFloatValue(zero(r[0]));
  data->SVUpperLimit = ADevice.GetFloatValue(zero(r[1]));
  ADevice.Settings().Mode1.Set(data);
}

void DoReadMode2(TRequestIO& AIO, TTervoxDevice& ADevice) {
  auto data = std::make_shared<TTervoxMode2Data>();
  // What is not read stays "unchanged": never written back as 0.
  data->PVOffset = data->PVGain = data->InputLowerLimit = data->InputUpperLimit = kUnchangedFloat;
  data->PVFilter = data->PVRange = data->TemperatureUnit = data->DecimalPoint = data->ThermocoupleDirection = kUnchanged;
  std::vector<int> gain, unit, scale;
  bool haveGain = false, haveUnit = false, haveScale = false;
  for (int pass = 0; pass < kMode2Passes && !(haveGain && haveUnit && haveScale); ++pass) {
    if (!haveScale && AIO.Read(1799, 3, scale)) {
      haveScale = true;
      ADevice.SetDigit(scale[0]);
      ADevice.SetInputLowerLimit(scale[1]);
      ADevice.SetInputUpperLimit(scale[2]);
    }
    if (!haveGain) haveGain = AIO.Read(1792, 3, gain);
    if (!haveUnit) haveUnit = AIO.Read(1796, 2, unit);
    int direction = 0;
    if (AIO.ReadOne(1807, direction)) data->ThermocoupleDirection = direction;
  }
  const int digit = ADevice.Digit();
  if (haveScale) {
    data->DecimalPoint = scale[0];
    data->InputLowerLimit = Scaled(scale[1], digit);
    data->InputUpperLimit = Scaled(scale[2], digit);
  }
  if (haveGain) {
    data->PVGain = Scaled(gain[0], 2);
    data->PVOffset = Scaled(gain[1], digit);
    data->PVFilter = gain[2];
  }
  if (haveUnit) {
    data->TemperatureUnit = unit[0];
    data->PVRange = unit[1];
  }
  ADevice.Settings().Mode2.Set(data);
}

void DoReadMode3(TRequestIO& AIO, TTervoxDevice& ADevice) {
  auto data = std::make_shared<TTervoxMode3Data>();
  const int digit = ADevice.Digit();
  std::vector<int> r;
  for (int k = 0; k < 3; ++k) {
    TTervoxOut1PID& set = data->PID[static_cast<std::size_t>(k)];
    set.Have = AIO.Read(1024 + 8 * k, 7, r);
    set.Band = Scaled(r[0], 1);
    set.Integral = r[1];
    set.Derivative = r[2];
    set.Reset = Scaled(r[3], 1);
    set.GapLower = Scaled(r[4], digit);
    set.Minimum = Scaled(r[5], 1);
    set.Maximum = Scaled(r[6], 1);
    int upper = kNoValue;
    AIO.ReadOne(1031 + 8 * k, upper);
    set.GapUpper = Scaled(upper, digit);
  }
  int value = 0;
  data->Characteristics = AIO.ReadOne(1536, value) ? value : 0;
  data->PeriodicTime = AIO.ReadOne(1537, value) ? Scaled(value, 1) : 0;
  data->SoftStartingTime = AIO.ReadOne(1546, value) ? Scaled(value, 1) : 0;
  ADevice.Settings().Mode3.Set(data);
}

void DoReadMode4(TRequestIO& AIO, TTervoxDevice& ADevice) {
  auto data = std::make_shared<TTervoxMode4Data>();
  const int digit = ADevice.Digit();
  std::vector<int> r;
  for (int k = 0; k < 3; ++k) {
    TTervoxOut2PID& set = data->PID[static_cast<std::size_t>(k)];
    set.Have = AIO.Read(1120 + 8 * k, 7, r);
    set.Band = Scaled(r[0], 1);
    set.Integral = r[1];
    set.Derivative = r[2];
    set.Dead = r[3];
    set.Gap = Scaled(r[4], digit);
    set.Minimum = Scaled(r[5], 1);
    set.Maximum = Scaled(r[6], 1);
  }
  int value = 0;
  data->PeriodicTime = AIO.ReadOne(1540, value) ? Scaled(value, 1) : 0;
  data->Characteristics = AIO.ReadOne(1543, value) ? value : 0;
  data->SoftStartingTime = AIO.ReadOne(1547, value) ? Scaled(value, 1) : 0;
  ADevice.Settings().Mode4.Set(data);
}

void DoReadMode5(TRequestIO& AIO, TTervoxDevice& ADevice) {
  auto data = std::make_shared<TTervoxMode5Data>();
  const int digit = ADevice.Digit();
  for (int k = 0; k < 3; ++k) {
    TTervoxEventSetting& ev = data->EV[static_cast<std::size_t>(k)];
    const int base = 1280 + 8 * k;
    int value = 0;
    ev.Have = AIO.ReadOne(base, value);
    if (ev.Have) {
      ev.OpMode = value;
      AIO.ReadOne(base + 1, value);
      ev.Point = Scaled(value, digit);
      AIO.ReadOne(base + 2, value);
      ev.Gap = Scaled(value, digit);
      AIO.ReadOne(base + 3, value);
      ev.Standby = value;
      if (AIO.ReadWord(base + 5, value)) {
        ev.Latch = value >> 8;
        ev.OutChar = value & 0xFF;
      }
    }
    std::vector<int> r;
    ev.HaveDelay = AIO.Read(2944 + 8 * k, 4, r);
    if (ev.HaveDelay) {
      ev.Delay = r[0];
      ev.TimerON = r[1];
      ev.TimerOFF = r[2];
      ev.TimerUnit = r[3];
      std::vector<int> delays;
      AIO.Read(base + 6, 2, delays);
      ev.DelayON = delays[0];
      ev.DelayOFF = delays[1];
    }
  }
  ADevice.Settings().Mode5.Set(data);
}

void DoReadMode6(TRequestIO& AIO, TTervoxDevice& ADevice) {
  auto data = std::make_shared<TTervoxMode6Data>();
  std::vector<int> r;
  data->Have = AIO.Read(1408, 4, r);
  for (int i = 0; i < 4; ++i) data->DIMode[static_cast<std::size_t>(i)] = r[static_cast<std::size_t>(i)];
  ADevice.Settings().Mode6.Set(data);
}

void DoReadMode7(TRequestIO& AIO, TTervoxDevice& ADevice) {
  auto data = std::make_shared<TTervoxMode7Data>();
  std::vector<int> output, limits;
  const bool haveOutput = AIO.Read(1440, 3, output);
  const bool haveLimits = AIO.Read(1460, 2, limits);
  data->Have = haveOutput && haveLimits;
  if (data->Have) {
    data->AnalogOutputMode = output[0];
    data->AnalogLowerLimit = Scaled(limits[0], 1);
    data->AnalogUpperLimit = Scaled(limits[1], 1);
    data->Digit = ADevice.Digit();
    const int mode = data->AnalogOutputMode;
    if (mode == 1 || mode == 2) {
      std::vector<int> scale;
      if (AIO.Read(1799, 3, scale)) data->SetScaleRange(mode, scale[0], scale[1], scale[2]);
    } else {
      data->SetScaleRange(mode, 0, 0, 0);
    }
    data->AnalogLowerScale = Scaled(output[1], data->Digit);
    data->AnalogUpperScale = Scaled(output[2], data->Digit);
  }
  ADevice.Settings().Mode7.Set(data);
}

void DoReadMode8(TRequestIO& AIO, TTervoxDevice& ADevice) {
  auto data = std::make_shared<TTervoxMode8Data>();
  int delay1 = 0, mode1 = 0, delay2 = 0, mode2 = 0;
  std::vector<int> current;
  bool all = AIO.ReadOne(1429, delay1);
  all = AIO.ReadOne(1431, mode1) && all;
  all = AIO.ReadOne(1437, delay2) && all;
  all = AIO.ReadOne(1439, mode2) && all;
  all = AIO.Read(265, 2, current) && all;
  data->Have = all;
  data->CT[0] = {mode1, Scaled(delay1, 1), Scaled(current[0], 1)};
  data->CT[1] = {mode2, Scaled(delay2, 1), Scaled(current[1], 1)};
  ADevice.Settings().Mode8.Set(data);
}

void DoReadFix(TRequestIO& AIO, TTervoxDevice& ADevice) {
  auto data = std::make_shared<TTervoxFixData>();
  int number = kNoValue;
  const bool haveNumber = AIO.ReadOne(262, number);
  data->SVNumber = number;
  for (int i = 0; i < 4; ++i) {
    TTervoxFixSV& fix = data->SV[static_cast<std::size_t>(i)];
    fix = {kUnchangedFloat, kNoValue, kNoValue};
    if (i != 0 && !haveNumber) continue;
    int value = 0;
    if (AIO.ReadOne(768 + i, value)) {
      fix.SV = ADevice.GetFloatValue(value);
      if (AIO.ReadOne(2080 + i, value)) fix.PIDOut1 = value;
      if (AIO.ReadOne(2084 + i, value)) fix.PIDOut2 = value;
    }
  }
  ADevice.Settings().ModeFix.Set(data);
}

void DoReadManual(TRequestIO& AIO, TTervoxDevice& ADevice) {
  auto data = std::make_shared<TTervoxManualData>();
  int value = 0;
  data->IsManual = AIO.ReadWord(260, value) && (value & 2) != 0;
  data->Out1 = AIO.ReadOne(258, value) ? Scaled(value, 1) : kUnchangedFloat;
  data->Out2 = AIO.ReadOne(259, value) ? Scaled(value, 1) : kUnchangedFloat;
  ADevice.Settings().Manual.Set(data);
}

void ReadProgramInto(TRequestIO& AIO, TTervoxDevice& ADevice) {
  auto data = std::make_shared<TTervoxModeProgramData>();
  std::vector<int> r;
  data->Have = AIO.Read(291, 3, r);
  data->PatternTime = r[0];
  data->Step = r[1];
  data->StepTime = r[2];
  int pid = 0;
  if (AIO.ReadWord(263, pid)) {
    data->PIDOut1 = pid & 0xFF;
    data->PIDOut2 = pid >> 8;
  }
  if (data->Step > 40 || data->Step < 0) data->Step = 0;
  if (data->Step >= 1) {
    int value = 0;
    data->StepMax = AIO.ReadOne(2307, value) ? value : 0;
    data->PatternTimeMax = AIO.ReadOne(2316, value) ? value : 0;
    AIO.Select(2305, data->Step); // the running step, for the next-step read
    std::vector<int> next;
    AIO.Read(2385, 3, next);
    data->StepTimeNext = next[0];
    data->PIDOut1Next = next[1];
    data->PIDOut2Next = next[2];
  }
  ADevice.Settings().ModeProgram.Set(data);
}

// Selects the pattern on a controller with several; its index read back.
int SelectPattern(TRequestIO& AIO, int APatternIndex) {
  AIO.Select(2050, APatternIndex);
  int index = 0;
  AIO.ReadOne(2050, index);
  AIO.Select(2304, index);
  return index;
}

int StepsOf(int APatternCount) { return 40 / (APatternCount > 0 ? APatternCount : 1); }

void DoReadPattern(TRequestIO& AIO, TTervoxDevice& ADevice, int APatternIndex) {
  auto data = std::make_shared<TTervoxPatternData>();
  if (ADevice.HavePrg()) {
    if (ADevice.Version() < 1.3) {
      data->MaxPattern = 1;
      data->MaxStep = 25;
      data->PatternCount = 1;
      data->PatternIndex = 1;
    } else {
      data->MaxPattern = 4;
      AIO.ReadOne(2072, data->PatternCount);
      data->MaxStep = StepsOf(data->PatternCount);
      data->PatternIndex = SelectPattern(AIO, APatternIndex);
    }
    AIO.Select(2305, 1);
    int value = 0;
    AIO.ReadOne(2305, data->StepIndex);
    AIO.ReadOne(2313, data->StartMode);
    AIO.ReadOne(2310, value);
    data->StartSV = ADevice.GetFloatValue(value);
    AIO.ReadOne(2307, data->EndStep);
    AIO.ReadOne(2316, data->PatternTime);
    AIO.ReadOne(2311, value);
    data->GuaranteeSoak = ADevice.GetFloatValue(value);
    AIO.ReadOne(2073, data->TimeUnit);
  }
  ADevice.Settings().Pattern.Set(data);
}

void DoReadStep(TRequestIO& AIO, TTervoxDevice& ADevice, int APatternNo, int AStepNo) {
  auto data = std::make_shared<TTervoxStepData>();
  std::shared_ptr<const TTervoxPatternData> known = ADevice.Settings().Pattern.Get();
  if (ADevice.HavePrg() && known) {
    auto pattern = std::make_shared<TTervoxPatternData>(*known);
    if (ADevice.Version() < 1.3) {
      pattern->PatternIndex = 1;
      pattern->PatternCount = 1;
      pattern->MaxStep = 25;
    } else {
      pattern->PatternIndex = SelectPattern(AIO, APatternNo);
      AIO.ReadOne(2072, pattern->PatternCount);
      pattern->MaxStep = StepsOf(pattern->PatternCount);
    }
    int value = 0;
    if (AIO.ReadOne(2073, value)) pattern->TimeUnit = value;
    AIO.Select(2305, AStepNo);
    AIO.ReadOne(2305, pattern->StepIndex);
    std::vector<int> r;
    if (AIO.Read(2384, 4, r)) {
      data->SV = ADevice.GetFloatValue(r[0]);
      data->StepTime = r[1];
      data->PIDOut1 = r[2];
      data->PIDOut2 = r[3];
    }
    ADevice.Settings().Pattern.Set(pattern);
    // The controller settles its step selection.
    QThread::msleep(100);
  }
  ADevice.Settings().Step.Set(data);
}

using TReadHandler = void (*)(TRequestIO&, TTervoxDevice&);

// The previous data set goes first: with the port closed it stays absent.
template <typename TData>
void QueueReadHandler(TTervoxDevice& ADevice, const QString& AName, TTervoxDeviceSettings::TSlot<TData> TTervoxDeviceSettings::*ASlot,
                      TReadHandler AHandler, TTervoxReadNotify ACallback, QObject* AContext) {
  QueueRead(
      ADevice, AName,
      [ASlot, AHandler, AName](TTervoxDevice& ADev) {
        (ADev.Settings().*ASlot).Set(nullptr);
        TRequestIO io(ADev, AName);
        if (io.Open()) AHandler(io, ADev);
      },
      std::move(ACallback), AContext);
}

} // namespace

QString CheckScaledValue(const QString& AField, double AValue, int ADigit) {
  if (AValue == kUnchangedFloat) return QString();
  const int raw = GetIntDigit(AValue, ADigit);
  if (std::isfinite(AValue) && FitsRegister(raw, true)) return QString();
  return QStringLiteral("%1: the value %2 does not fit the controller at %3 decimal place(s).")
      .arg(AField, FloatToStrLocale(AValue))
      .arg(ADigit);
}

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
  if (io.Open()) ReadProgramInto(io, ADevice);
}

void ReadPattern(TTervoxDevice& ADevice, int APatternIndex, TTervoxReadNotify ACallback, QObject* AContext) {
  QueueRead(
      ADevice, QStringLiteral("ReadPattern%1").arg(APatternIndex),
      [APatternIndex](TTervoxDevice& ADev) {
        ADev.Settings().Pattern.Set(nullptr);
        TRequestIO io(ADev, QStringLiteral("ReadPattern%1").arg(APatternIndex));
        if (io.Open()) DoReadPattern(io, ADev, APatternIndex);
      },
      std::move(ACallback), AContext, TVariant(APatternIndex));
}

void ReadStep(TTervoxDevice& ADevice, int APatternNo, int AStepNo, TTervoxReadNotify ACallback, QObject* AContext) {
  QueueRead(
      ADevice, QStringLiteral("ReadPattern%1Step%2").arg(APatternNo).arg(AStepNo),
      [APatternNo, AStepNo](TTervoxDevice& ADev) {
        ADev.Settings().Step.Set(nullptr);
        TRequestIO io(ADev, QStringLiteral("ReadPattern%1Step%2").arg(APatternNo).arg(AStepNo));
        if (io.Open()) DoReadStep(io, ADev, APatternNo, AStepNo);
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

void WriteMode(TTervoxDevice& ADevice, const TTervoxMode3Data& AData, TTervoxWriteNotify ACallback, QObject* AContext) {
  QueuePlanWrite(ADevice, QStringLiteral("Mode3"), AData, PlanMode3, std::move(ACallback), AContext);
}

void WriteMode(TTervoxDevice& ADevice, const TTervoxMode4Data& AData, TTervoxWriteNotify ACallback, QObject* AContext) {
  QueuePlanWrite(ADevice, QStringLiteral("Mode4"), AData, PlanMode4, std::move(ACallback), AContext);
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
