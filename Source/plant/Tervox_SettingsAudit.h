// The settings one request writes to a controller, for the audit trail:
// each register with the value read from the controller just before and
// the value written, and whether the controller acknowledged it. Kept by
// the process that drives the line; a window attached to a recorder
// leaves it to the recorder, which sees every frame it forwards.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class TTervoxDevice;
class TModbusData;

// How the user knows a settings register: the name the settings pages
// give it (empty for none) and its decimals (negative: a whole number as
// written), the controller's decimals ADeviceDigit where it has them.
struct TSettingsRegister {
  QString Name;
  int Digit = -1;
};
TSettingsRegister SettingsRegisterOf(int AAddress, int ADeviceDigit);
// The audit trail's field for a register ("FIX-SV1 (register 768)") and a
// raw register value as the user reads it.
QString SettingsFieldText(int AAddress, const QString& AName);
QString SettingsValueText(int ARaw, int ADigit);

class TTervoxSettingsAudit {
public:
  TTervoxSettingsAudit(TTervoxDevice& ADevice, const QString& ARequest);
  // Posts one entry for the request's writes (none: nothing).
  ~TTervoxSettingsAudit();
  TTervoxSettingsAudit(const TTervoxSettingsAudit&) = delete;
  TTervoxSettingsAudit& operator=(const TTervoxSettingsAudit&) = delete;

  // False when the writes go through a recorder.
  bool Active() const { return FActive; }
  // Reads the register's value before a write (AModbus talks to the
  // device's slave on its line, which the caller holds).
  std::optional<int> ReadBefore(TModbusData& AModbus, std::uint8_t ASlave, int AAddress) const;
  // One register written: its name when the user knows it by one, the
  // decimals it is shown with (negative: a whole number as written).
  void Written(int AAddress, const QString& AName, int ADigit, std::optional<int> AOld, int ANew, bool AAcknowledged);

private:
  QString Text(int ARaw, int ADigit) const;

  TTervoxDevice& FDevice;
  QString FRequest;
  bool FActive;
  struct TWrite {
    QString Field;
    QString Old;
    QString New;
    bool Acknowledged;
  };
  std::vector<TWrite> FWrites;
};
