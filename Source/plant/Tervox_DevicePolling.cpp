#include "Tervox_Device.h"

#include "comm/DqPort.h"
#include "core/DqEvent.h"
#include "Tervox_DeviceRequests.h"
#include "Tervox_Engine.h"

namespace {

constexpr std::uint32_t kPollInterval = 1000;

} // namespace

std::shared_ptr<TDqComPort> TTervoxDevice::SharedPort() const {
  std::lock_guard<std::mutex> guard(FPortMutex);
  return FPort;
}

void TTervoxDevice::SetPort(std::shared_ptr<TDqComPort> APort) {
  std::lock_guard<std::mutex> guard(FPortMutex);
  FPort = std::move(APort);
}

bool TTervoxDevice::UpdatePort() {
  TDqComPortList* ports = PortList();
  if (!ports) return false;
  std::shared_ptr<TDqComPort> port = ports->SharedPortByID(DeviceData().DevicePortID);
  const bool found = port != nullptr;
  SetPort(std::move(port));
  return found;
}

bool TTervoxDevice::ActivatePort() {
  bool open = false;
  if (UpdatePort()) {
    const std::shared_ptr<TDqComPort> port = SharedPort();
    open = port->Active() || port->Reopen();
  }
  FSynchronized = open;
  return open;
}

bool TTervoxDevice::Active() const {
  const std::shared_ptr<TDqComPort> port = SharedPort();
  return port && port->Active();
}

void TTervoxDevice::SetActive(bool AValue) {
  const std::shared_ptr<TDqComPort> port = SharedPort();
  if (!port) return;
  if (AValue && !port->Active())
    port->Open();
  else if (!AValue && port->Active())
    port->Close();
}

std::unique_ptr<TDqEventData> TTervoxDevice::NewRequest(const QString& AName, void (TTervoxDevice::*AHandler)(),
                                                        TTervoxSyncNotify ACallback) {
  // The request holds the device: clearing the list never frees a device
  // that a queued or running request still uses.
  std::shared_ptr<TTervoxDevice> self = shared_from_this();
  auto request = std::make_unique<TDqEventData>(
      AName, [self, AHandler](TDqEventData*) { ((*self).*AHandler)(); }, this);
  request->SenderName = DeviceName();
  if (ACallback) request->SetOnSyncExecuted(std::move(ACallback));
  return request;
}

void TTervoxDevice::SchedulePolling() {
  if (TDqEventThread* worker = Worker()) worker->RemoveEvent(this);
  auto request = NewRequest(QStringLiteral("ReadStatus"), &TTervoxDevice::DoReadStatus, {});
  std::weak_ptr<TTervoxDevice> weak = weak_from_this();
  request->SetOnSyncExecuted([weak] {
    if (auto device = weak.lock()) device->StatusNotification();
  });
  request->Interval = kPollInterval;
  request->Forever = true;
  // Once a second, whatever a silent neighbour on the worker costs: its
  // time-outs must not cost the others their readings.
  request->KeepRhythm = true;
  Worker()->AddTimerEvent(std::move(request));
}

void TTervoxDevice::ReadStatus(TTervoxSyncNotify ACallback) {
  Worker()->AddEvent(NewRequest(QStringLiteral("ReadStatus"), &TTervoxDevice::DoReadStatus, std::move(ACallback)));
}

void TTervoxDevice::ReadInformation(TTervoxSyncNotify ACallback) {
  Worker()->AddPrivilegeEvent(
      NewRequest(QStringLiteral("ReadInfo"), &TTervoxDevice::DoReadInformation, std::move(ACallback)));
}

void TTervoxDevice::StatusNotification() {
  if (auto monitor = Monitor()) monitor->Redraw();
  if (FOnChanged) FOnChanged(this);
  // A copy: the handler may replace itself.
  if (const std::function<void()> handler = FOnReadProgram) handler();
}

void TTervoxDevice::SetOnReadProgram(std::function<void()> AHandler) {
  FOnReadProgram = std::move(AHandler);
  FHasReadProgram = static_cast<bool>(FOnReadProgram);
}

void TTervoxDevice::DoReadStatus() {
  if (!Enabled() || PollingStopping()) return;
  if (TTervoxRemoteStation* remote = RemoteStation()) {
    // The recorder reads, records and publishes it.
    remote->RequestStatus(ID());
    return;
  }
  if (!FInfoReaded) DoReadInformation();
  {
    TTervoxDeviceLock guard(*this);
    ActivatePort();
    const std::shared_ptr<TDqComPort> port = SharedPort();
    if (!port) return; // no port configured: no row, no watch
    if (port->Active())
      ReadStatusRegisters(*port);
    else
      ClearStatus(); // the line is gone: no value, never the last one again
    // A stop that began during the read left it incomplete: nothing to record.
    if (PollingStopping()) return;
    // Alarms and loss alerts matter most when the disk is full or the
    // database locked: they do not depend on the row being stored.
    SaveStatusToDB();
    PostProcessStatus();
    NotifyStatusRead(*this);
  }
  // A program page is open: its live state comes with every poll.
  if (FHasReadProgram) DoReadProgramStatus(*this);
}
