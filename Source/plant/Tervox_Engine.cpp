#include "Tervox_Engine.h"

#include "core/DqEvent.h"
#include "store/DqHistorySummary.h"
#include "comm/DqModbus.h"
#include "comm/DqPort.h"
#include "comm/DqSMS.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "Tervox_PortRows.h"
#include "Tervox_Alerts.h"
#include "store/Tervox_Config.h"
#include "Tervox_Device.h"
#include "Tervox_DeviceList.h"
#include "Tervox_RecordingFollower.h"
#include "Tervox_Retention.h"
#include "store/Tervox_StationLock.h"

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

namespace {

std::unique_ptr<TDqComPortList> gPortList;
std::unique_ptr<TTervoxDeviceList> gDeviceList;
std::unique_ptr<TTervoxValueTypes> gValueTypes;

// One worker per line, by port ID; gWorkersMutex guards the map and the
// listing, never held while a worker is waited for.
std::mutex gWorkersMutex;
std::map<int, std::unique_ptr<TDqEventThread>> gLineWorkers;
TTervoxWorkerListing* gWorkerListing = nullptr;
bool gEngineCreated = false;

// The history's per-minute summaries follow the recording this far behind
// at most (plus one catch-up): a catch-up every half minute costs far less
// than keeping each minute as each row is recorded.
constexpr std::chrono::seconds kSummaryCatchUpPeriod{30};
std::unique_ptr<THistorySummaryBuilder>& HistorySummaryKeeper() {
  static std::unique_ptr<THistorySummaryBuilder> keeper;
  return keeper;
}

std::mutex gModemMutex;
std::shared_ptr<TDqSMS> gModem;

std::atomic<bool> gStopping{false};

std::mutex gListenerMutex;
std::shared_ptr<const TTervoxStatusListener> gStatusListener;
std::atomic<TTervoxRemoteStation*> gRemoteStation{nullptr};
// Bumped whenever polling stops: a hand-off queued under an older value
// belongs to a controller list that is gone.
std::atomic<std::uint64_t> gHandOffGeneration{0};

// A request's longest stretch without a stop check is one Modbus
// transaction, well under a second; the limit only guards against a worker
// that hangs for another reason (a wedged driver).
constexpr std::uint32_t kStopWait = 30000;

} // namespace

bool PollingStopping() { return gStopping; }

void SetStatusListener(TTervoxStatusListener AListener) {
  auto listener = AListener ? std::make_shared<const TTervoxStatusListener>(std::move(AListener)) : nullptr;
  std::lock_guard<std::mutex> guard(gListenerMutex);
  gStatusListener = std::move(listener);
}

void NotifyStatusRead(TTervoxDevice& ADevice) {
  std::shared_ptr<const TTervoxStatusListener> listener;
  {
    std::lock_guard<std::mutex> guard(gListenerMutex);
    listener = gStatusListener;
  }
  if (listener) (*listener)(ADevice);
}

void SetRemoteStation(TTervoxRemoteStation* AStation) { gRemoteStation = AStation; }
TTervoxRemoteStation* RemoteStation() { return gRemoteStation; }

bool HandOffToMain(std::function<void()> AWork, std::function<void()> ADropped) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || gStopping) {
    if (ADropped) ADropped();
    return false;
  }
  const std::uint64_t generation = gHandOffGeneration;
  QMetaObject::invokeMethod(
      app,
      [generation, work = std::move(AWork), dropped = std::move(ADropped)] {
        if (generation != gHandOffGeneration) {
          if (dropped) dropped();
          return;
        }
        try {
          work();
        } catch (...) {
          // An alert that cannot be shown must not take the program down.
        }
      },
      Qt::QueuedConnection);
  return true;
}

void CancelHandOffs() { ++gHandOffGeneration; }

void CreateEngineObjects() {
  gPortList = std::make_unique<TDqComPortList>();
  gDeviceList = std::make_unique<TTervoxDeviceList>();
  gValueTypes = std::make_unique<TTervoxValueTypes>();
  gValueTypes->LoadFromDB(*GetDatabase(), QStringLiteral("ValueType"));
  TervoxAlerts::Reset();
  // Every controller's communication counts from here.
  ResetModbusStatistics();
  std::lock_guard<std::mutex> guard(gWorkersMutex);
  gEngineCreated = true;
}

void FreeEngineObjects() {
  TTervoxDevice::StopThread();
  TTervoxDevice::CloseSMS();
  CancelHandOffs();
  std::map<int, std::unique_ptr<TDqEventThread>> workers;
  {
    std::lock_guard<std::mutex> guard(gWorkersMutex);
    gEngineCreated = false;
    workers.swap(gLineWorkers);
  }
  workers.clear(); // joins each worker, outside the lock
  gValueTypes.reset();
  gDeviceList.reset();
  gPortList.reset();
}

TDqComPortList* PortList() { return gPortList.get(); }
TTervoxDeviceList* DeviceList() { return gDeviceList.get(); }
TTervoxValueTypes* ValueTypes() { return gValueTypes.get(); }

namespace {

QString LineName(int APortID) {
  TDqComPortList* ports = PortList();
  const std::shared_ptr<TDqComPort> port = ports ? ports->SharedPortByID(APortID) : nullptr;
  return port ? port->PortData().Name : QStringLiteral("Line %1").arg(APortID);
}

void AttachListing(TDqEventThread& AWorker, const QString& ALine) {
  AWorker.SetEventMemo(gWorkerListing ? gWorkerListing->QueueView(ALine) : nullptr);
  AWorker.SetWorkMemo(gWorkerListing ? gWorkerListing->WorkView(ALine) : nullptr);
}

} // namespace

TDqEventThread* LineWorker(int APortID) {
  const QString name = LineName(APortID);
  std::lock_guard<std::mutex> guard(gWorkersMutex);
  if (!gEngineCreated) return nullptr;
  std::unique_ptr<TDqEventThread>& worker = gLineWorkers[APortID];
  if (!worker) {
    worker = std::make_unique<TDqEventThread>();
    worker->SetOnError([name](const QString& AMessage) {
      qWarning("TERVOX worker %s: %s", qPrintable(name), qPrintable(AMessage));
    });
    AttachListing(*worker, name);
  }
  return worker.get();
}

std::uint32_t WaitLinesIdle(std::uint32_t ATimeOut) {
  // Every worker is asked at once: a stop costs one reply time-out,
  // however many lines there are.
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    bool busy = false;
    {
      std::lock_guard<std::mutex> guard(gWorkersMutex);
      for (auto& [id, worker] : gLineWorkers) busy = busy || worker->Busy();
    }
    const auto elapsed = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    if (!busy) return 0;
    if (elapsed >= ATimeOut) return elapsed;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void SetWorkerListing(TTervoxWorkerListing* AListing) {
  std::lock_guard<std::mutex> guard(gWorkersMutex);
  gWorkerListing = AListing;
  for (auto& [id, worker] : gLineWorkers) AttachListing(*worker, LineName(id));
}

// ---------------------------------------------------------------- polling

void TTervoxDevice::InitialPort() { PortList()->Load(LoadPortRows(*GetDatabase(), QStringLiteral("DevicePort"))); }

void TTervoxDevice::StartThread() {
  gStopping = false;
  InitialPort();
  TTervoxRemoteStation* remote = RemoteStation();
  if (remote) {
    TDqComPortList* ports = PortList();
    for (int i = 0; i < ports->Count(); ++i) {
      TDqComPort* port = ports->GetPorts(i);
      port->SetFrameTransport(remote->LineTransport(port->PortData().ID));
    }
  }
  DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
  // The recorder polls and publishes; this process only shows what it reads.
  if (remote) return;
  for (int i = 0; i < DeviceList()->Count(); ++i) DeviceList()->SharedDevice(i)->SchedulePolling();
  // The MQTT publisher and the like, each on a thread of its own.
  StartRecordingFollowers();
  // The process that records keeps the history it is told to keep; a
  // recorder's pause for maintenance stops it here as it stops polling.
  StartHistoryRetention();
  // ... and summarises it a little behind the recording.
  HistorySummaryKeeper() = std::make_unique<THistorySummaryBuilder>(GetDatabaseFileName(), nullptr, kSummaryCatchUpPeriod);
}

bool TTervoxDevice::StopThread() {
  // What is recorded from here on waits in the history for the next start.
  StopRecordingFollowers();
  // A run in progress stops at its next step; it goes on at the next start.
  StopHistoryRetention();
  TTervoxDeviceList* devices = DeviceList();
  if (!devices) {
    HistorySummaryKeeper().reset();
    return true;
  }
  // From here on no hand-off is queued and a running request ends at its
  // next transaction, so every worker is idle within one reply time-out.
  gStopping = true;
  CancelHandOffs();
  {
    std::lock_guard<std::mutex> guard(gWorkersMutex);
    // Line workers carry controller requests only.
    for (auto& [id, worker] : gLineWorkers) worker->RemoveEvent(nullptr);
  }
  const bool idle = WaitLinesIdle(kStopWait) == 0;
  // The last rows recorded are summarised as the keeper stops.
  HistorySummaryKeeper().reset();
  // An alert that was queued and dropped never clears its flag itself.
  TervoxAlerts::SetLossAlertShowing(false);
  // Requests hold their device and port, so clearing the lists never frees
  // what a request still running uses; ports close when the last holder
  // lets go.
  devices->ClearPort();
  PortList()->Clear();
  devices->Clear();
  return idle;
}

void TTervoxDevice::UpdateDevices() {
  StopThread();
  StartThread();
}

// ---------------------------------------------------------------- SMS modem

std::shared_ptr<TDqSMS> SMSModem() {
  std::lock_guard<std::mutex> guard(gModemMutex);
  return gModem;
}

void TTervoxDevice::OpenSMS() {
  // The recording process owns the modem: it sends the alerts.
  if (RemoteStation() || StationRecordedElsewhere()) return;
  {
    std::lock_guard<std::mutex> guard(gModemMutex);
    if (gModem) return;
  }
  auto modem = std::make_shared<TDqSMS>(false, Config()->GetValues(QStringLiteral("SMSPort")));
  modem->SetProviderName(Config()->GetValues(QStringLiteral("SMSProvider")));
  std::lock_guard<std::mutex> guard(gModemMutex);
  if (!gModem) gModem = std::move(modem);
}

void TTervoxDevice::CloseSMS() {
  std::shared_ptr<TDqSMS> modem;
  {
    std::lock_guard<std::mutex> guard(gModemMutex);
    modem.swap(gModem);
  }
  // Freed here unless a send on the worker still holds it.
}

TDqEventThread* TTervoxDevice::Worker() const { return LineWorker(DeviceData().DevicePortID); }
