#include "Tervox_SettingsAudit.h"

#include "comm/DqModbus.h"
#include "Tervox_Device.h"
#include "Tervox_Engine.h"
#include "Tervox_User.h"
#include "trust/Tervox_Audit.h"

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

} // namespace

QString TTervoxSettingsAudit::Text(int ARaw, int ADigit) const {
  if (ADigit <= 0) return QString::number(static_cast<std::int16_t>(ARaw));
  return QString::number(GetFloatDigit(static_cast<std::int16_t>(ARaw), ADigit), 'f', ADigit);
}

void TTervoxSettingsAudit::Written(int AAddress, const QString& AName, int ADigit, std::optional<int> AOld, int ANew,
                                   bool AAcknowledged) {
  if (!FActive) return;
  const QString name = AName.isEmpty() ? ControlKeyName(AAddress) : AName;
  const QString field = name.isEmpty() ? QStringLiteral("register %1").arg(AAddress)
                                        : QStringLiteral("%1 (register %2)").arg(name).arg(AAddress);
  FWrites.push_back({field, AOld ? Text(*AOld, ADigit) : QStringLiteral("(not read)"), Text(ANew, ADigit), AAcknowledged});
}
