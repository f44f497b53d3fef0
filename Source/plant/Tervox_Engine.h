// The engine's process-wide objects (ports, controllers, value types, one
// worker per line), starting and stopping the polling of every controller,
// the SMS modem, and the hand-offs from the workers to the user-interface
// thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class QString;
class TDqComPortList;
class TDqFrameTransport;
class TDqEventMemo;
class TDqEventThread;
class TDqSMS;
class TTervoxDevice;
class TTervoxDeviceList;
class TTervoxValueTypes;

// Created at start-up in this order and freed in reverse. Freeing stops
// polling first; it needs no event loop.
void CreateEngineObjects();
void FreeEngineObjects();
TDqComPortList* PortList();
TTervoxDeviceList* DeviceList();
TTervoxValueTypes* ValueTypes();

// The worker of line APortID, created when first asked for. Every request
// of a controller runs on its line's worker, so lines never wait for each
// other; workers live until FreeEngineObjects.
TDqEventThread* LineWorker(int APortID);
// 0 when every line worker was idle within ATimeOut ms, else the ms elapsed.
std::uint32_t WaitLinesIdle(std::uint32_t ATimeOut);

// Where the debug window lists each line worker's queue and work: the two
// views of the line named ALine (created on the UI thread's side, never
// freed by the engine). Workers created later are listed too.
class TTervoxWorkerListing {
public:
  virtual ~TTervoxWorkerListing() = default;
  virtual TDqEventMemo* QueueView(const QString& ALine) = 0;
  virtual TDqEventMemo* WorkView(const QString& ALine) = 0;
};
// nullptr detaches every worker; once it returns no worker writes to the
// views any more.
void SetWorkerListing(TTervoxWorkerListing* AListing);

// The modem while SMS alerting is on; shared so that a send in progress
// never reaches a modem freed meanwhile.
std::shared_ptr<TDqSMS> SMSModem();

// True from the start of StopThread until the next StartThread: requests
// end at their next transaction instead of reading on.
bool PollingStopping();

// Runs AWork on the user-interface thread later; the worker never waits
// for it, so an open alert or a stopping UI thread cannot hold up polling.
// Work still queued when polling stops is dropped and ADropped runs instead
// (on the thread that finds it dropped). False when nothing was queued.
bool HandOffToMain(std::function<void()> AWork, std::function<void()> ADropped = {});
// Drops every hand-off queued and not yet run.
void CancelHandOffs();

// Called on the line worker after every status read of a controller, when
// its row is stored and its alarms handled (the recorder publishes it to
// the windows watching); empty: nothing.
using TTervoxStatusListener = std::function<void(TTervoxDevice& ADevice)>;
void SetStatusListener(TTervoxStatusListener AListener);
void NotifyStatusRead(TTervoxDevice& ADevice);

// A window that watches a recorder instead of polling: StartThread loads
// ports and controllers but schedules nothing, each port carries the
// recorder's line, and a status read is asked of the recorder.
class TTervoxRemoteStation {
public:
  virtual ~TTervoxRemoteStation() = default;
  virtual std::shared_ptr<TDqFrameTransport> LineTransport(int APortID) = 0;
  virtual void RequestStatus(int ADeviceID) = 0;
  // The alert windows' answers belong to the recorder's alert state.
  virtual void SilenceLossAlert(int ASeconds) = 0;
  virtual void AcknowledgeAlarm(int ADeviceID, int ASlot) = 0;
};
// Not owned; nullptr: this process polls itself.
void SetRemoteStation(TTervoxRemoteStation* AStation);
TTervoxRemoteStation* RemoteStation();
