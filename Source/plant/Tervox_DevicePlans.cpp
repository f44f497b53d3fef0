#include "Tervox_SettingsRegisters.h"

#include "core/DqRoutine.h"
#include "Tervox_Device.h"
#include "Tervox_DeviceRequests.h"

#include <cmath>

namespace tervox_requests {

bool FitsRegister(int ARaw, bool AScaled) {
  // Scaled values are signed and must not collide with the two markers.
  if (AScaled) return ARaw > kBelowRange && ARaw < kNoValue;
  return ARaw >= -32768 && ARaw <= 65535;
}

double Scaled(int ARaw, int ADigit) { return GetFloatDigit(ARaw, ADigit); }

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

void PlanOutput(const TTervoxOutputData& AData, int AOutput, int ADigit, const TEmit& AEmit) {
  const TOutputRegisters& out = kOutputs[static_cast<std::size_t>(AOutput)];
  using P = TTervoxOutputPID;
  for (int k = 0; k < 3; ++k) {
    const TTervoxOutputPID& set = AData.PID[static_cast<std::size_t>(k)];
    const int base = out.PIDBase + 8 * k;
    const QString pid = QString::fromLatin1(out.PIDName).arg(k + 1);
    AEmit(base + P::kBand, set.Band, 1, pid + QStringLiteral("proportional band"));
    AEmit(base + P::kIntegral, set.Integral, kRaw, pid + QStringLiteral("integral time"));
    AEmit(base + P::kDerivative, set.Derivative, kRaw, pid + QStringLiteral("derivative time"));
    if (out.DeadBand)
      AEmit(base + P::kResetOrDead, set.ResetOrDead, kRaw, pid + QStringLiteral("dead band"));
    else
      AEmit(base + P::kResetOrDead, set.ResetOrDead, 1, pid + QStringLiteral("manual reset"));
    AEmit(base + P::kGap, set.Gap, ADigit, pid + QStringLiteral("differential gap"));
    AEmit(base + P::kMinimum, set.Minimum, 1, pid + QStringLiteral("minimum limiter"));
    AEmit(base + P::kMaximum, set.Maximum, 1, pid + QStringLiteral("maximum limiter"));
    if (out.UpperGap) AEmit(base + P::kGapUpper, set.GapUpper, ADigit, pid + QStringLiteral("upper differential gap"));
  }
  const QString name = QString::fromLatin1(out.Name) + QLatin1Char(' ');
  for (const auto& [address, own] : out.Own) {
    switch (own) {
    case TOutputRegisters::Characteristics:
      AEmit(address, AData.Characteristics, kRaw, name + QStringLiteral("characteristics"));
      break;
    case TOutputRegisters::PeriodicTime:
      AEmit(address, AData.PeriodicTime, 1, name + QStringLiteral("proportional periodic time"));
      break;
    case TOutputRegisters::SoftStartingTime:
      AEmit(address, AData.SoftStartingTime, 1, name + QStringLiteral("soft starting time"));
      break;
    }
  }
}

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

} // namespace tervox_requests

QString CheckScaledValue(const QString& AField, double AValue, int ADigit) {
  if (AValue == kUnchangedFloat) return QString();
  const int raw = GetIntDigit(AValue, ADigit);
  if (std::isfinite(AValue) && tervox_requests::FitsRegister(raw, true)) return QString();
  return QStringLiteral("%1: the value %2 does not fit the controller at %3 decimal place(s).")
      .arg(AField, FloatToStrLocale(AValue))
      .arg(ADigit);
}
