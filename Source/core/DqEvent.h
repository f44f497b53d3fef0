// The worker thread: queued work items ("events") run one at a time away
// from the UI thread. A privilege queue drains before the normal queue;
// timer events wait on the worker's own deadline clock and, when due, join
// the normal queue, so a busy or absent UI thread never delays them.
// Completion callbacks are posted to the UI thread in order.
#pragma once

#include "DqRoutine.h"

#include <QPointer>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QObject;
class TDqEventData;
class TDqEventThread;

// The work of an event and its in-worker follow-up; called with the event.
using TDqSyncEvent = std::function<void(TDqEventData* AEventData)>;
// A callback posted to the UI thread.
using TDqNotifyEvent = std::function<void()>;

// Anything an event may carry and release with itself.
class TDqEventObject {
public:
  virtual ~TDqEventObject() = default;
};

// A text view of the debug listing. The worker writes it; an implementation
// that shows it on screen hands the lines to the UI thread.
class TDqEventMemo {
public:
  virtual ~TDqEventMemo() = default;
  virtual void Clear() = 0;
  virtual void Add(const QString& ALine) = 0;
};

class TDqSignal; // a waitable flag (DqEvent.cpp)

class TDqEventData {
public:
  TDqEventData();
  TDqEventData(const QString& AName, TDqSyncEvent AEvent, const void* ASender, std::uint32_t AInterval = 0,
               bool AForever = false);
  virtual ~TDqEventData();
  TDqEventData(const TDqEventData&) = delete;
  TDqEventData& operator=(const TDqEventData&) = delete;

  virtual void Clear();
  virtual void Assign(const TDqEventData& AEvent);

  void Lock();
  void Unlock();

  TDqEventThread* Thread() const { return FThread; }
  const TDqSyncEvent& OnExecuted() const { return FOnExecuted; }
  void SetOnExecuted(TDqSyncEvent AValue) { FOnExecuted = std::move(AValue); }
  const TDqNotifyEvent& OnSyncExecuted() const { return FOnSyncExecuted; }
  // AContext (optional, on the UI thread) guards the callback: when it is
  // destroyed before the callback runs, the callback is dropped.
  void SetOnSyncExecuted(TDqNotifyEvent AValue, QObject* AContext = nullptr);
  QObject* SyncContext() const { return FSyncContext.data(); }
  bool HasSyncContext() const { return FHasSyncContext; }

  QString Name;
  const void* Sender = nullptr;
  // Shown for the sender in the debug listing; the address when empty.
  QString SenderName;
  TDqSyncEvent Event;
  TVariant Value = TVariant::Null();
  std::shared_ptr<TDqEventObject> ValueObject;
  std::uint32_t Interval = 0;
  bool Forever = false;
  // A Forever event normally waits Interval after each run ends. With
  // KeepRhythm the next run is due Interval after the previous one was due,
  // so neither its own run nor the queue ahead of it stretches the period.
  bool KeepRhythm = false;
  std::atomic<bool> Removed{false};
  bool Synchronized = false;

private:
  friend class TDqEventThread;
  friend class TDqEventList;
  // When a timer event is due on its worker's clock; FHasDue once armed,
  // so a rhythm-keeping event can count from its previous due time.
  std::chrono::steady_clock::time_point FDue{};
  bool FHasDue = false;
  bool FFromTimer = false; // queued by its timer, not by a caller
  std::mutex FLock;
  TDqSyncEvent FOnExecuted;
  TDqNotifyEvent FOnSyncExecuted;
  QPointer<QObject> FSyncContext;
  bool FHasSyncContext = false;
  TDqEventThread* FThread = nullptr;
};

// An owning list of events with its own mutex.
class TDqEventList {
public:
  TDqEventList() = default;
  TDqEventList(const TDqEventList&) = delete;
  TDqEventList& operator=(const TDqEventList&) = delete;

  void Lock();
  void Unlock();
  int Count() const { return static_cast<int>(FItems.size()); }
  TDqEventData* Add(std::unique_ptr<TDqEventData> AEvent);
  void Insert(int AIndex, std::unique_ptr<TDqEventData> AEvent);
  int IndexOf(const TDqEventData* AEvent) const; // by identity, from the end
  TDqEventData* GetEvents(int AIndex) const;     // nullptr outside the list
  void SetEvents(int AIndex, std::unique_ptr<TDqEventData> AEvent);
  std::unique_ptr<TDqEventData> Extract(int AIndex);
  void Assign(const TDqEventList& AList); // copies every event
  void Clear();

private:
  friend class TDqEventThread;
  std::deque<std::unique_ptr<TDqEventData>> FItems;
  std::mutex FLock;
};

class TDqEventThread {
public:
  // Failures of callbacks ("Executed error." ...), reported on the worker.
  using TErrorEvent = std::function<void(const QString& AMessage)>;

  TDqEventThread();
  ~TDqEventThread();
  TDqEventThread(const TDqEventThread&) = delete;
  TDqEventThread& operator=(const TDqEventThread&) = delete;

  void AddEvent(std::unique_ptr<TDqEventData> AEventData);
  void AddEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender);
  void AddEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender, const TVariant& AValue);
  void AddPrivilegeEvent(std::unique_ptr<TDqEventData> AEventData);
  void AddPrivilegeEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender);
  void AddFirstEvent(std::unique_ptr<TDqEventData> AEventData);
  void AddFirstEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender);
  void AddFirstEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender, const TVariant& AValue);
  void AddTimerEvent(std::unique_ptr<TDqEventData> AEventData);
  void AddTimerEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender, std::uint32_t AInterval,
                     bool AForever);
  void AddTimerEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender, const TVariant& AValue,
                     std::uint32_t AInterval, bool AForever);

  // Withdraws every event of ASender; nullptr: every event.
  void RemoveEvent(const void* ASender = nullptr);
  void Clear() { RemoveEvent(nullptr); }
  // Releases ASender's events inside the worker; false when that did not
  // finish within ATimeOut ms.
  bool WaitRemoveEvent(const void* ASender, std::uint32_t ATimeOut);
  // 0 once no work but periodic timer runs has been queued or running for
  // 200 ms, else (ATimeOut ms passed first) the ms elapsed.
  std::uint32_t WaitForExecute(std::uint32_t ATimeOut);
  // True while an event runs or waits in the privilege or normal queue
  // (armed timer events do not count).
  bool Busy();
  // Disables timers for good; queued work still runs.
  void Stop();
  // Requests the end of the worker without waiting for it; later events
  // are refused. The destructor waits.
  void Terminate();
  bool Terminated() const { return FTerminated.load(); }
  // True on this thread's own worker.
  bool IsCurrentThread() const;

  void Lock();
  void Unlock();
  void Assign(TDqEventThread& AThread);

  TDqEventList& Events() { return FEvents; }
  TDqEventList& PrivilegeEvents() { return FPrivilegeEvents; }
  TDqEventList& TimerEvents() { return FTimerEvents; }
  // Counts under the proper locks, for any thread.
  int EventCount();
  int PrivilegeEventCount();
  int TimerEventCount();

  void SetOnError(TErrorEvent AValue);

  // Debug listing views (not owned); nullptr detaches.
  void SetEventMemo(TDqEventMemo* AValue);
  void SetPrivilegeMemo(TDqEventMemo* AValue);
  void SetWorkMemo(TDqEventMemo* AValue);
  void SetTimerMemo(TDqEventMemo* AValue);

  // "%s: %s @ %s": sender name, event name, the time now as hh:nn:ss.
  static QString DebugLine(const TDqEventData* AEvent);

private:
  void Execute();
  void Append(TDqEventList& AList, std::unique_ptr<TDqEventData> AEventData, bool AFirst);
  void ArmTimer(std::unique_ptr<TDqEventData> AEventData, bool AKeepRhythm);
  // Moves every due timer event to the normal queue, earliest first.
  void QueueDueTimers();
  // The earliest due time of an armed timer event; far ahead when none.
  std::chrono::steady_clock::time_point NextDue();
  // True while an event a caller queued waits or runs.
  bool BusyWithQueuedWork();
  void RunEvent(TDqEventData* AEvent);
  void WriteListing();
  void Report(const QString& AMessage, const std::exception* AError);
  void ReleaseSenderEvents(const void* ASender);

  std::shared_ptr<TDqSignal> FTerminateEvent;
  std::shared_ptr<TDqSignal> FExecuteEvent;
  TDqEventData* FWorkEvent = nullptr;
  TDqEventList FEvents;
  TDqEventList FPrivilegeEvents;
  TDqEventList FTimerEvents;
  std::mutex FLock;
  bool FTimerEnabled = true;
  std::atomic<bool> FTerminated{false};
  std::mutex FMemoLock;
  TDqEventMemo* FEventMemo = nullptr;
  TDqEventMemo* FPrivilegeMemo = nullptr;
  TDqEventMemo* FWorkMemo = nullptr;
  TDqEventMemo* FTimerMemo = nullptr;
  std::mutex FErrorLock;
  TErrorEvent FOnError;
  std::thread FWorker;
};
