#include "Tervox_DeviceSettings.h"

#include "Tervox_Device.h"

namespace {

// The edited field equal to the one read: leave it unchanged.
void Same(int& AEdited, int ARead) {
  if (AEdited == ARead) AEdited = kUnchanged;
}

void Same(double& AEdited, double ARead) {
  if (AEdited == ARead) AEdited = kUnchangedFloat;
}

} // namespace

void TTervoxMode1Data::DiffData(const TTervoxMode1Data& AData) {
  Same(Keylock, AData.Keylock);
  Same(SVLowerLimit, AData.SVLowerLimit);
  Same(SVUpperLimit, AData.SVUpperLimit);
  Same(PowerOnMode, AData.PowerOnMode);
}

void TTervoxMode2Data::DiffData(const TTervoxMode2Data& AData) {
  Same(PVOffset, AData.PVOffset);
  Same(PVGain, AData.PVGain);
  Same(PVFilter, AData.PVFilter);
  Same(PVRange, AData.PVRange);
  Same(TemperatureUnit, AData.TemperatureUnit);
  Same(InputLowerLimit, AData.InputLowerLimit);
  Same(InputUpperLimit, AData.InputUpperLimit);
  Same(DecimalPoint, AData.DecimalPoint);
  Same(ThermocoupleDirection, AData.ThermocoupleDirection);
}

void TTervoxOutputData::DiffData(const TTervoxOutputData& AData) {
  for (std::size_t k = 0; k < PID.size(); ++k) {
    TTervoxOutputPID& set = PID[k];
    const TTervoxOutputPID& read = AData.PID[k];
    Same(set.Band, read.Band);
    Same(set.Integral, read.Integral);
    Same(set.Derivative, read.Derivative);
    Same(set.ResetOrDead, read.ResetOrDead);
    Same(set.Gap, read.Gap);
    Same(set.GapUpper, read.GapUpper);
    Same(set.Minimum, read.Minimum);
    Same(set.Maximum, read.Maximum);
  }
  Same(SoftStartingTime, AData.SoftStartingTime);
  Same(PeriodicTime, AData.PeriodicTime);
  Same(Characteristics, AData.Characteristics);
}

void TTervoxMode5Data::DiffData(const TTervoxMode5Data& AData) {
  for (std::size_t k = 0; k < EV.size(); ++k) {
    TTervoxEventSetting& ev = EV[k];
    const TTervoxEventSetting& read = AData.EV[k];
    Same(ev.OpMode, read.OpMode);
    Same(ev.Point, read.Point);
    Same(ev.Gap, read.Gap);
    Same(ev.Standby, read.Standby);
    Same(ev.Latch, read.Latch);
    Same(ev.OutChar, read.OutChar);
    Same(ev.Delay, read.Delay);
    Same(ev.DelayON, read.DelayON);
    Same(ev.DelayOFF, read.DelayOFF);
    Same(ev.TimerON, read.TimerON);
    Same(ev.TimerOFF, read.TimerOFF);
    Same(ev.TimerUnit, read.TimerUnit);
  }
}

void TTervoxMode6Data::DiffData(const TTervoxMode6Data& AData) {
  for (std::size_t i = 0; i < DIMode.size(); ++i) Same(DIMode[i], AData.DIMode[i]);
}

void TTervoxMode7Data::Clear() {
  Have = false;
  AnalogOutputMode = 0;
  AnalogLowerScale = 0;
  AnalogUpperScale = 100.0;
  AnalogLowerLimit = 0;
  AnalogUpperLimit = 100.0;
  MinInputLowerLimit = 0;
  MaxInputLowerLimit = 99.9;
  MinInputUpperLimit = 0.1;
  MaxInputUpperLimit = 100.0;
  Digit = 1;
}

void TTervoxMode7Data::DiffData(const TTervoxMode7Data& AData) {
  Same(AnalogOutputMode, AData.AnalogOutputMode);
  // The scaling is the same when it puts the same count in the register:
  // with another output mode the decimals may differ from those read.
  const auto sameCount = [](double& AEdited, int AEditedDigit, double ARead, int AReadDigit) {
    if (GetIntDigit(AEdited, AEditedDigit) == GetIntDigit(ARead, AReadDigit)) AEdited = kUnchangedFloat;
  };
  sameCount(AnalogLowerScale, Digit, AData.AnalogLowerScale, AData.Digit);
  sameCount(AnalogUpperScale, Digit, AData.AnalogUpperScale, AData.Digit);
  Same(AnalogLowerLimit, AData.AnalogLowerLimit);
  Same(AnalogUpperLimit, AData.AnalogUpperLimit);
}

bool TTervoxMode7Data::SetScaleRange(int AMode, int AInputDigit, int AInputLower, int AInputUpper) {
  switch (AMode) {
  case 1:
  case 2:
    // Lower below upper by at least one count of the input.
    Digit = AInputDigit;
    MinInputLowerLimit = GetFloatDigit(AInputLower, AInputDigit);
    MaxInputLowerLimit = GetFloatDigit(AInputUpper - 1, AInputDigit);
    MinInputUpperLimit = GetFloatDigit(AInputLower + 1, AInputDigit);
    MaxInputUpperLimit = GetFloatDigit(AInputUpper, AInputDigit);
    return true;
  case 3:
  case 4:
    Digit = 1;
    MinInputLowerLimit = 0;
    MaxInputLowerLimit = 99.9;
    MinInputUpperLimit = 0.1;
    MaxInputUpperLimit = 100.0;
    return true;
  case 5:
  case 6:
    Digit = 1;
    MinInputLowerLimit = 0;
    MaxInputLowerLimit = 49.9;
    MinInputUpperLimit = 0.1;
    MaxInputUpperLimit = 50.0;
    return true;
  default: return false;
  }
}

void TTervoxMode8Data::DiffData(const TTervoxMode8Data& AData) {
  for (std::size_t i = 0; i < CT.size(); ++i) {
    Same(CT[i].Mode, AData.CT[i].Mode);
    Same(CT[i].Delay, AData.CT[i].Delay);
    Same(CT[i].Value, AData.CT[i].Value);
  }
}

void TTervoxFixData::DiffData(const TTervoxFixData& AData) {
  for (std::size_t i = 0; i < SV.size(); ++i) {
    Same(SV[i].SV, AData.SV[i].SV);
    Same(SV[i].PIDOut1, AData.SV[i].PIDOut1);
    Same(SV[i].PIDOut2, AData.SV[i].PIDOut2);
  }
  Same(SVNumber, AData.SVNumber);
}

void TTervoxPatternData::DiffData(const TTervoxPatternData& AData) {
  Same(StartMode, AData.StartMode);
  Same(StartSV, AData.StartSV);
  Same(EndStep, AData.EndStep);
  Same(PatternTime, AData.PatternTime);
  Same(GuaranteeSoak, AData.GuaranteeSoak);
  Same(TimeUnit, AData.TimeUnit);
}

void TTervoxStepData::DiffData(const TTervoxStepData& AData) {
  Same(SV, AData.SV);
  Same(StepTime, AData.StepTime);
  Same(PIDOut1, AData.PIDOut1);
  Same(PIDOut2, AData.PIDOut2);
}

QString TTervoxWriteResult::Message() const {
  if (Success) return QString();
  if (FailedAddress < 0) return QStringLiteral("Failed to write to the controller: the port could not be opened.");
  if (ReadFailed) return QStringLiteral("Failed to read from the controller: register %1.").arg(FailedAddress);
  return QStringLiteral("Failed to write to the controller: register %1.").arg(FailedAddress);
}
