#include "Tervox_SettingsAudit.h"

#include "comm/DqModbus.h"
#include "Tervox_Device.h"
#include "Tervox_Engine.h"
#include "Tervox_SettingsRegisters.h"
#include "Tervox_User.h"
#include "trust/Tervox_Audit.h"

#include <map>

TTervoxSettingsAudit::TTervoxSettingsAudit(TTervoxDevice& ADevice, const QString& ARequest)
    : FDevice(ADevice), FRequest(ARequest), FActive(RemoteStation() == nullptr) {}

TTervoxSettingsAudit::~TTervoxSettingsAudit() {
  if (FWrites.empty()) return;
  TervoxAudit::TEntry entry;
  // The window's user; a program writing on its own names itself.
  const QString user = ActingUser();
  entry.User = user.isEmpty() ? QStringLiteral("tervox") : user;
  entry.TargetKind = TervoxAudit::kController;
  entry.Target = FDevice.DeviceName();
  entry.TargetID = FDevice.ID();
  bool acknowledged = true;
  for (const TWrite& write : FWrites) {
    entry.Changes.push_back({write.Field, write.Old, write.New});
    acknowledged = acknowledged && write.Acknowledged;
  }
  entry.Action = acknowledged ? QStringLiteral("settings written (%1)").arg(FRequest)
                              : QStringLiteral("settings written, not all acknowledged (%1)").arg(FRequest);
  if (!acknowledged)
    for (std::size_t i = 0; i < FWrites.size(); ++i)
      if (!FWrites[i].Acknowledged) entry.Changes[i].New += QStringLiteral(" (not acknowledged)");
  // Posted: the line's worker never waits on the database for it.
  TervoxAudit::Post(entry);
}

std::optional<int> TTervoxSettingsAudit::ReadBefore(TModbusData& AModbus, std::uint8_t ASlave, int AAddress) const {
  if (!FActive) return std::nullopt;
  std::vector<std::uint16_t> raw;
  if (!AModbus.ReadHoldRegArray(raw, ASlave, static_cast<std::uint16_t>(AAddress), 1) || raw.empty())
    return std::nullopt;
  return raw[0];
}

namespace {

// The panel's keys, written on their own.
QString ControlKeyName(int AAddress) {
  switch (AAddress) {
  case 388: return QStringLiteral("AT");
  case 389: return QStringLiteral("Manual mode");
  case 390: return QStringLiteral("RUN");
  case 2048: return QStringLiteral("PRG");
  default: return QString();
  }
}

// Stands for the controller's own decimals while the plans are listed.
constexpr int kDeviceDigit = 100;

// Every register the settings pages write, from their plans.
const std::map<int, TSettingsRegister>& SettingsRegisters() {
  static const std::map<int, TSettingsRegister> registers = [] {
    using namespace tervox_requests;
    std::map<int, TSettingsRegister> all;
    const TEmit add = [&all](int AAddress, double, int ADigit, const QString& AName) {
      all.emplace(AAddress, TSettingsRegister{AName, ADigit});
    };
    PlanMode1(TTervoxMode1Data(), kDeviceDigit, add);
    PlanMode2(TTervoxMode2Data(), kDeviceDigit, add);
    for (int output = 0; output < 2; ++output) PlanOutput(TTervoxOutputData(), output, kDeviceDigit, add);
    TTervoxEventSetting event;
    event.Have = event.HaveDelay = true;
    for (int k = 0; k < 3; ++k)
      for (bool delays : {false, true}) PlanMode5Event(event, k, kDeviceDigit, delays, add);
    PlanMode6(TTervoxMode6Data(), kDeviceDigit, add);
    PlanMode7(TTervoxMode7Data(), kDeviceDigit, add);
    PlanMode8(TTervoxMode8Data(), kDeviceDigit, add);
    PlanFix(TTervoxFixData(), kDeviceDigit, add);
    TTervoxManualData manual;
    manual.IsManual = true;
    PlanManual(manual, kDeviceDigit, add);
    PlanPatternFields(TTervoxPatternData(), kDeviceDigit, add);
    PlanStepFields(TTervoxStepData(), kDeviceDigit, add);
    return all;
  }();
  return registers;
}

} // namespace

TSettingsRegister SettingsRegisterOf(int AAddress, int ADeviceDigit) {
  const auto& registers = SettingsRegisters();
  const auto found = registers.find(AAddress);
  if (found == registers.end()) return {ControlKeyName(AAddress), -1};
  TSettingsRegister known = found->second;
  if (known.Digit == kDeviceDigit) known.Digit = ADeviceDigit;
  return known;
}

QString SettingsFieldText(int AAddress, const QString& AName) {
  return AName.isEmpty() ? QStringLiteral("register %1").arg(AAddress)
                         : QStringLiteral("%1 (register %2)").arg(AName).arg(AAddress);
}

QString SettingsValueText(int ARaw, int ADigit) {
  if (ADigit <= 0) return QString::number(static_cast<std::int16_t>(ARaw));
  return QString::number(GetFloatDigit(static_cast<std::int16_t>(ARaw), ADigit), 'f', ADigit);
}

QString TTervoxSettingsAudit::Text(int ARaw, int ADigit) const { return SettingsValueText(ARaw, ADigit); }

void TTervoxSettingsAudit::Written(int AAddress, const QString& AName, int ADigit, std::optional<int> AOld, int ANew,
                                   bool AAcknowledged) {
  if (!FActive) return;
  const QString name = AName.isEmpty() ? ControlKeyName(AAddress) : AName;
  const QString field = SettingsFieldText(AAddress, name);
  FWrites.push_back({field, AOld ? Text(*AOld, ADigit) : QStringLiteral("(not read)"), Text(ANew, ADigit), AAcknowledged});
}
