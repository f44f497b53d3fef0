#include "Tervox_SettingsRegisters.h"

#include "Tervox_Device.h"

#include <QThread>

namespace tervox_requests {

namespace {

// Passes over the three Mode 2 blocks before giving up on a controller
// that stopped answering.
constexpr int kMode2Passes = 3;

} // namespace

void DoReadMode1(TRegisterReader& AIO, TTervoxDevice& ADevice) {
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

void DoReadMode2(TRegisterReader& AIO, TTervoxDevice& ADevice) {
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

template <typename TData>
void DoReadOutput(TRegisterReader& AIO, TTervoxDevice& ADevice, int AOutput,
                  TTervoxDeviceSettings::TSlot<TData>& ASlot) {
  const TOutputRegisters& out = kOutputs[static_cast<std::size_t>(AOutput)];
  auto data = std::make_shared<TData>();
  const int digit = ADevice.Digit();
  using P = TTervoxOutputPID;
  std::vector<int> r;
  for (int k = 0; k < 3; ++k) {
    TTervoxOutputPID& set = data->PID[static_cast<std::size_t>(k)];
    const int base = out.PIDBase + 8 * k;
    set.Have = AIO.Read(base, P::kMaximum + 1, r);
    set.Band = Scaled(r[P::kBand], 1);
    set.Integral = r[P::kIntegral];
    set.Derivative = r[P::kDerivative];
    set.ResetOrDead = out.DeadBand ? r[P::kResetOrDead] : Scaled(r[P::kResetOrDead], 1);
    set.Gap = Scaled(r[P::kGap], digit);
    set.Minimum = Scaled(r[P::kMinimum], 1);
    set.Maximum = Scaled(r[P::kMaximum], 1);
    if (out.UpperGap) {
      int upper = kNoValue;
      AIO.ReadOne(base + P::kGapUpper, upper);
      set.GapUpper = Scaled(upper, digit);
    }
  }
  for (const auto& [address, own] : out.Own) {
    int value = 0;
    const bool ok = AIO.ReadOne(address, value);
    switch (own) {
    case TOutputRegisters::Characteristics: data->Characteristics = ok ? value : 0; break;
    case TOutputRegisters::PeriodicTime: data->PeriodicTime = ok ? Scaled(value, 1) : 0; break;
    case TOutputRegisters::SoftStartingTime: data->SoftStartingTime = ok ? Scaled(value, 1) : 0; break;
    }
  }
  ASlot.Set(data);
}

void DoReadMode3(TRegisterReader& AIO, TTervoxDevice& ADevice) { DoReadOutput(AIO, ADevice, 0, ADevice.Settings().Mode3); }

void DoReadMode4(TRegisterReader& AIO, TTervoxDevice& ADevice) { DoReadOutput(AIO, ADevice, 1, ADevice.Settings().Mode4); }

void DoReadMode5(TRegisterReader& AIO, TTervoxDevice& ADevice) {
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

void DoReadMode6(TRegisterReader& AIO, TTervoxDevice& ADevice) {
  auto data = std::make_shared<TTervoxMode6Data>();
  std::vector<int> r;
  data->Have = AIO.Read(1408, 4, r);
  for (int i = 0; i < 4; ++i) data->DIMode[static_cast<std::size_t>(i)] = r[static_cast<std::size_t>(i)];
  ADevice.Settings().Mode6.Set(data);
}

void DoReadMode7(TRegisterReader& AIO, TTervoxDevice& ADevice) {
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

void DoReadMode8(TRegisterReader& AIO, TTervoxDevice& ADevice) {
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

void DoReadFix(TRegisterReader& AIO, TTervoxDevice& ADevice) {
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

void DoReadManual(TRegisterReader& AIO, TTervoxDevice& ADevice) {
  auto data = std::make_shared<TTervoxManualData>();
  int value = 0;
  data->IsManual = AIO.ReadWord(260, value) && (value & 2) != 0;
  data->Out1 = AIO.ReadOne(258, value) ? Scaled(value, 1) : kUnchangedFloat;
  data->Out2 = AIO.ReadOne(259, value) ? Scaled(value, 1) : kUnchangedFloat;
  ADevice.Settings().Manual.Set(data);
}

void ReadProgramInto(TRegisterReader& AIO, TTervoxDevice& ADevice) {
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
int SelectPattern(TRegisterReader& AIO, int APatternIndex) {
  AIO.Select(2050, APatternIndex);
  int index = 0;
  AIO.ReadOne(2050, index);
  AIO.Select(2304, index);
  return index;
}

int StepsOf(int APatternCount) { return 40 / (APatternCount > 0 ? APatternCount : 1); }

void DoReadPattern(TRegisterReader& AIO, TTervoxDevice& ADevice, int APatternIndex) {
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

void DoReadStep(TRegisterReader& AIO, TTervoxDevice& ADevice, int APatternNo, int AStepNo) {
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

} // namespace tervox_requests
