// The engine's process-wide objects (ports, controllers, value types, the
// worker), starting and stopping the polling of every controller, the SMS
// modem, and the hand-offs from the worker to the user-interface thread.
#pragma once

#include <functional>
#include <memory>

class TDqComPortList;
class TDqEventThread;
class TDqSMS;
class TTervoxDeviceList;
class TTervoxValueTypes;

// Created at start-up in this order and freed in reverse. Freeing stops
// polling first; it needs no event loop.
void CreateEngineObjects();
void FreeEngineObjects();
TDqComPortList* PortList();
TTervoxDeviceList* DeviceList();
TTervoxValueTypes* ValueTypes();
TDqEventThread* EventThread();

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
