#include "Tervox_Device.h"

#include "comm/DqModbus.h"
#include "comm/DqPort.h"
#include "core/DqEvent.h"
#include "Tervox_Engine.h"
#include "Tervox_SettingsAudit.h"

// ---------------------------------------------------------------- writes

void TTervoxDevice::WriteReg(int AAddress, int AValue, std::function<void()> AOnExecuted, TTervoxSyncNotify ACallback) {
  std::shared_ptr<TTervoxDevice> self = shared_from_this();
  const QString name = QStringLiteral("WriteRegAddress") + QStringLiteral("%1").arg(AAddress, 4, 16, QLatin1Char('0')).toUpper();
  auto request = std::make_unique<TDqEventData>(
      name,
      [self, AAddress, AValue, name](TDqEventData*) {
        TTervoxDeviceLock guard(*self);
        if (!self->ActivatePort()) return;
        const std::shared_ptr<TDqComPort> port = self->SharedPort();
        TTervoxPortLock portGuard(*port, name);
        TModbusData modbus(port.get());
        const auto slave = static_cast<std::uint8_t>(self->DeviceData().SlaveID & 0xFF);
        TTervoxSettingsAudit audit(*self, name);
        const std::optional<int> old = audit.ReadBefore(modbus, slave, AAddress);
        const bool acknowledged =
            modbus.WriteHoldReg(slave, static_cast<std::uint16_t>(AAddress), static_cast<std::uint16_t>(AValue));
        audit.Written(AAddress, QString(), -1, old, AValue, acknowledged);
      },
      this);
  request->SenderName = DeviceName();
  request->Value = TVariant(QStringLiteral("[%1, %2]").arg(AAddress).arg(AValue));
  if (AOnExecuted) request->SetOnExecuted([AOnExecuted](TDqEventData*) { AOnExecuted(); });
  if (ACallback) request->SetOnSyncExecuted(std::move(ACallback));
  Worker()->AddPrivilegeEvent(std::move(request));
}

void TTervoxDevice::ControlWrite(int AAddress, int AValue) {
  std::weak_ptr<TTervoxDevice> weak = weak_from_this();
  WriteReg(
      AAddress, AValue,
      [weak] {
        if (auto device = weak.lock()) device->DoReadStatus();
      },
      [weak] {
        if (auto device = weak.lock()) device->StatusNotification();
      });
}

void TTervoxDevice::Toggle(const QString& AName, int AReadAddress, int ABit, int AWriteAddress) {
  std::shared_ptr<TTervoxDevice> self = shared_from_this();
  auto request = std::make_unique<TDqEventData>(
      AName,
      [self, AName, AReadAddress, ABit, AWriteAddress](TDqEventData*) {
        TTervoxDeviceLock guard(*self);
        if (!self->ActivatePort()) return;
        const std::shared_ptr<TDqComPort> port = self->SharedPort();
        TTervoxPortLock portGuard(*port, AName);
        TModbusData modbus(port.get());
        const std::uint8_t slave = static_cast<std::uint8_t>(self->DeviceData().SlaveID & 0xFF);
        std::vector<std::uint16_t> r;
        if (!modbus.ReadHoldRegArray(r, slave, static_cast<std::uint16_t>(AReadAddress), 1)) return;
        const std::uint16_t state = RegisterOf(r, 0);
        const bool set = ABit < 0 ? state != 0 : (state & (1u << ABit)) != 0;
        TTervoxSettingsAudit audit(*self, AName);
        const bool acknowledged = modbus.WriteHoldReg(slave, static_cast<std::uint16_t>(AWriteAddress), set ? 0 : 1);
        audit.Written(AWriteAddress, QString(), -1, set ? 1 : 0, set ? 0 : 1, acknowledged);
      },
      this);
  request->SenderName = DeviceName();
  Worker()->AddEvent(std::move(request));
}

void TTervoxDevice::ToggleAT() { Toggle(QStringLiteral("ToggleAT"), 260, 0, 388); }
void TTervoxDevice::ToggleManual() { Toggle(QStringLiteral("ToggleManual"), 260, 1, 389); }
void TTervoxDevice::ToggleRun() { Toggle(QStringLiteral("ToggleRun"), 260, 2, 390); }
void TTervoxDevice::TogglePrg() { Toggle(QStringLiteral("TogglePrg"), 2048, -1, 2048); }
