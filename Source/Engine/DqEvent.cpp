#include "DqEvent.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>
#include <QTimer>
#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <system_error>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

std::uint32_t MillisecondsSince(TClock::time_point AStart) {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - AStart).count());
}

QString ErrorText(const std::exception& AError) {
  if (const auto* dq = dynamic_cast<const EDqException*>(&AError)) return dq->Message();
  return QString::fromLocal8Bit(AError.what());
}

void DefaultReport(const QString& AMessage) { qWarning("%s", qUtf8Printable(AMessage)); }

bool Matches(const TDqEventData* AEvent, const void* ASender) {
  return ASender == nullptr || AEvent->Sender == ASender;
}

} // namespace

// ------------------------------------------------------------------ signal

// A manual-reset flag that threads wait on.
class TDqSignal {
public:
  void Set() {
    {
      std::lock_guard<std::mutex> guard(FMutex);
      FSet = true;
    }
    FCondition.notify_all();
  }
  void Reset() {
    {
      std::lock_guard<std::mutex> guard(FMutex);
      FSet = false;
    }
    FCondition.notify_all();
  }
  bool IsSet() {
    std::lock_guard<std::mutex> guard(FMutex);
    return FSet;
  }
  // Waits until the flag equals AState; false when AMilliseconds passed first.
  bool WaitFor(bool AState, std::uint32_t AMilliseconds) {
    // Measured on the steady clock, waited in short slices on the system
    // clock: its wait is the one every sanitizer and libc pairs with the
    // mutex, and a clock step can shift a slice only.
    const auto deadline = TClock::now() + std::chrono::milliseconds(AMilliseconds);
    std::unique_lock<std::mutex> lock(FMutex);
    while (FSet != AState) {
      const auto left = deadline - TClock::now();
      if (left <= TClock::duration::zero()) return false;
      const auto slice = std::min<TClock::duration>(left, std::chrono::milliseconds(50));
      FCondition.wait_until(lock, std::chrono::system_clock::now() +
                                      std::chrono::duration_cast<std::chrono::system_clock::duration>(slice));
    }
    return true;
  }
  bool Wait(std::uint32_t AMilliseconds) { return WaitFor(true, AMilliseconds); }

private:
  std::mutex FMutex;
  std::condition_variable FCondition;
  bool FSet = false;
};

// ------------------------------------------------------------------- timer

// A one-shot timer serviced by the UI thread's event loop. It may be armed
// and disarmed from any thread; a generation number makes an expiry that
// belongs to an earlier arming harmless.
class TDqEventTimer : public std::enable_shared_from_this<TDqEventTimer> {
public:
  ~TDqEventTimer() {
    if (!FTimer) return;
    if (QThread::currentThread() == FTimer->thread())
      delete FTimer;
    else
      FTimer->deleteLater();
  }

  // AKeepRhythm: the next expiry is one interval after the previous one
  // was due, not after the work it started finished, so a period of work
  // and a late expiry do not stretch the period. When even that time has
  // passed, it expires at once.
  void Start(std::uint32_t AInterval, std::function<void()> AOnExpire, bool AKeepRhythm = false) {
    std::uint64_t generation;
    {
      std::lock_guard<std::mutex> guard(FMutex);
      FArmed = true;
      FFired = false;
      const TClock::time_point now = TClock::now();
      const auto interval = std::chrono::milliseconds(AInterval);
      FDue = AKeepRhythm && FHasDue ? std::max(FDue + interval, now) : now + interval;
      FHasDue = true;
      FOnExpire = std::move(AOnExpire);
      generation = ++FGeneration;
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return; // no event loop: nothing can ever fire
    if (QThread::currentThread() == app->thread()) {
      StartOnMain(generation);
    } else {
      QMetaObject::invokeMethod(
          app, [self = shared_from_this(), generation] { self->StartOnMain(generation); }, Qt::QueuedConnection);
    }
  }

  void Stop() {
    std::lock_guard<std::mutex> guard(FMutex);
    FArmed = false;
    FFired = false;
    FHasDue = false;
    ++FGeneration;
  }

  bool Active() {
    std::lock_guard<std::mutex> guard(FMutex);
    return FArmed;
  }

  // True once after each expiry; the event thread takes it when it moves
  // the expired event to its queue.
  bool ConsumeFired() {
    std::lock_guard<std::mutex> guard(FMutex);
    const bool fired = FFired;
    FFired = false;
    return fired;
  }

private:
  void StartOnMain(std::uint64_t AGeneration) {
    std::int64_t interval;
    {
      std::lock_guard<std::mutex> guard(FMutex);
      if (!FArmed || FGeneration != AGeneration) return;
      // Counted from now, so the hop to this thread does not add to it.
      interval = std::max<std::int64_t>(
          0, std::chrono::ceil<std::chrono::milliseconds>(FDue - TClock::now()).count());
    }
    if (!FTimer) {
      FTimer = new QTimer;
      FTimer->setSingleShot(true);
      // Precise timers never fire early, so a period is never shortened.
      FTimer->setTimerType(Qt::PreciseTimer);
      QObject::connect(FTimer, &QTimer::timeout, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->Fire();
      });
    }
    FStartedGeneration = AGeneration;
    FTimer->start(static_cast<int>(interval));
  }

  void Fire() {
    std::function<void()> onExpire;
    {
      std::lock_guard<std::mutex> guard(FMutex);
      if (!FArmed || FGeneration != FStartedGeneration) return;
      FArmed = false;
      FFired = true;
      onExpire = FOnExpire;
    }
    if (onExpire) onExpire();
  }

  std::mutex FMutex;
  bool FArmed = false;
  bool FFired = false;
  std::uint64_t FGeneration = 0;
  TClock::time_point FDue;
  bool FHasDue = false;
  std::function<void()> FOnExpire;
  // UI thread only:
  QTimer* FTimer = nullptr;
  std::uint64_t FStartedGeneration = 0;
};

// -------------------------------------------------------------- event data

TDqEventData::TDqEventData() = default;

TDqEventData::TDqEventData(const QString& AName, TDqSyncEvent AEvent, const void* ASender, std::uint32_t AInterval,
                           bool AForever)
    : Name(AName), Sender(ASender), Event(std::move(AEvent)), Interval(AInterval), Forever(AForever) {}

TDqEventData::~TDqEventData() {
  if (FTimer) FTimer->Stop();
}

void TDqEventData::Clear() {
  try {
    if (FTimer) FTimer->Stop();
    FTimer.reset();
    ValueObject.reset();
  } catch (const std::exception&) {
    throw EDqException(QStringLiteral("Clear event data error"));
  }
  Name.clear();
  Sender = nullptr;
  SenderName.clear();
  Event = nullptr;
  FOnTimer = nullptr;
  FOnSyncExecuted = nullptr;
  FSyncContext.clear();
  FHasSyncContext = false;
  FThread = nullptr;
  Value = TVariant::Null();
  Interval = 0;
  Forever = false;
  KeepRhythm = false;
}

void TDqEventData::Assign(const TDqEventData& AEvent) {
  if (&AEvent == this) return;
  if (FTimer) FTimer->Stop();
  FTimer.reset();
  FThread = nullptr;
  Name = AEvent.Name;
  Sender = AEvent.Sender;
  SenderName = AEvent.SenderName;
  Event = AEvent.Event;
  FOnTimer = AEvent.FOnTimer;
  Value = AEvent.Value;
  // Shared, so that the copy and the original never release it twice.
  ValueObject = AEvent.ValueObject;
  Interval = AEvent.Interval;
  Forever = AEvent.Forever;
  KeepRhythm = AEvent.KeepRhythm;
  Removed = AEvent.Removed.load();
  Synchronized = AEvent.Synchronized;
}

void TDqEventData::StartTimer(TDqSyncEvent AEvent, bool AKeepRhythm) {
  if (!FTimer) FTimer = std::make_shared<TDqEventTimer>();
  FOnTimer = std::move(AEvent);
  TDqSyncEvent onTimer = FOnTimer;
  FTimer->Start(Interval, [this, onTimer] { onTimer(this); }, AKeepRhythm);
}

void TDqEventData::StopTimer() {
  if (FTimer) FTimer->Stop();
}

bool TDqEventData::TimerActive() const { return FTimer && FTimer->Active(); }

void TDqEventData::Lock() {
  try {
    FLock.lock();
  } catch (const std::system_error&) {
    throw EDqException(QStringLiteral("Failed to lock event data object"));
  }
}

void TDqEventData::Unlock() { FLock.unlock(); }

void TDqEventData::SetOnSyncExecuted(TDqNotifyEvent AValue, QObject* AContext) {
  FOnSyncExecuted = std::move(AValue);
  FSyncContext = AContext;
  FHasSyncContext = AContext != nullptr;
}

// -------------------------------------------------------------- event list

void TDqEventList::Lock() {
  try {
    FLock.lock();
  } catch (const std::system_error&) {
    throw EDqException(QStringLiteral("Failed to lock event list"));
  }
}

void TDqEventList::Unlock() { FLock.unlock(); }

TDqEventData* TDqEventList::Add(std::unique_ptr<TDqEventData> AEvent) {
  FItems.push_back(std::move(AEvent));
  return FItems.back().get();
}

void TDqEventList::Insert(int AIndex, std::unique_ptr<TDqEventData> AEvent) {
  if (AIndex < 0) AIndex = 0;
  if (AIndex > Count()) AIndex = Count();
  FItems.insert(FItems.begin() + AIndex, std::move(AEvent));
}

int TDqEventList::IndexOf(const TDqEventData* AEvent) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (FItems[static_cast<std::size_t>(i)].get() == AEvent) return i;
  return -1;
}

TDqEventData* TDqEventList::GetEvents(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) return nullptr;
  return FItems[static_cast<std::size_t>(AIndex)].get();
}

void TDqEventList::SetEvents(int AIndex, std::unique_ptr<TDqEventData> AEvent) {
  if (AIndex < 0 || AIndex >= Count()) throw EDqException(QStringLiteral("Event list write index out of bound"));
  FItems[static_cast<std::size_t>(AIndex)] = std::move(AEvent);
}

std::unique_ptr<TDqEventData> TDqEventList::Extract(int AIndex) {
  if (AIndex < 0 || AIndex >= Count()) return nullptr;
  auto item = std::move(FItems[static_cast<std::size_t>(AIndex)]);
  FItems.erase(FItems.begin() + AIndex);
  return item;
}

void TDqEventList::Assign(const TDqEventList& AList) {
  if (&AList == this) return;
  std::deque<std::unique_ptr<TDqEventData>> copies;
  for (const auto& item : AList.FItems) {
    auto copy = std::make_unique<TDqEventData>();
    copy->Assign(*item);
    copy->SetOnExecuted(item->OnExecuted());
    copy->FOnSyncExecuted = item->FOnSyncExecuted;
    copy->FSyncContext = item->FSyncContext;
    copy->FHasSyncContext = item->FHasSyncContext;
    copies.push_back(std::move(copy));
  }
  FItems.swap(copies);
}

void TDqEventList::Clear() { FItems.clear(); }

// ------------------------------------------------------------ event thread

// Lets a timer expiry on the UI thread reach its thread only while the
// thread exists.
struct TDqExpiryGate {
  std::mutex Mutex;
  TDqEventThread* Thread = nullptr;
};

namespace {
// One gate per thread object, reached through the timer callbacks.
std::shared_ptr<TDqExpiryGate> NewGate(TDqEventThread* AThread) {
  auto gate = std::make_shared<TDqExpiryGate>();
  gate->Thread = AThread;
  return gate;
}
} // namespace

TDqEventThread::TDqEventThread()
    : FTerminateEvent(std::make_shared<TDqSignal>()), FExecuteEvent(std::make_shared<TDqSignal>()) {
  FGate = NewGate(this);
  FWorker = std::thread([this] { Execute(); });
}

TDqEventThread::~TDqEventThread() {
  {
    std::lock_guard<std::mutex> guard(FGate->Mutex);
    FGate->Thread = nullptr;
  }
  Stop();
  Terminate();
  if (FWorker.joinable()) {
    // A worker never waits for itself; its owner keeps this object alive.
    if (IsCurrentThread())
      FWorker.detach();
    else
      FWorker.join();
  }
  FTerminateEvent->Set();
  // Queued events are discarded without running.
  FTimerEvents.Clear();
  FPrivilegeEvents.Clear();
  FEvents.Clear();
}

bool TDqEventThread::IsCurrentThread() const { return std::this_thread::get_id() == FWorker.get_id(); }

void TDqEventThread::Terminate() {
  FTerminated = true;
  FExecuteEvent->Set();
}

void TDqEventThread::Lock() {
  try {
    FLock.lock();
  } catch (const std::system_error&) {
    throw EDqException(QStringLiteral("Failed to lock event list"));
  }
}

void TDqEventThread::Unlock() { FLock.unlock(); }

void TDqEventThread::Append(TDqEventList& AList, std::unique_ptr<TDqEventData> AEventData, bool AFirst) {
  if (!AEventData) return;
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FTerminated) {
      AEventData->FThread = this;
      if (AFirst)
        AList.Insert(0, std::move(AEventData));
      else
        AList.Add(std::move(AEventData));
      FExecuteEvent->Set();
    }
  }
  // A refused event is released here, outside the lock.
}

void TDqEventThread::AddEvent(std::unique_ptr<TDqEventData> AEventData) {
  Append(FEvents, std::move(AEventData), false);
}

void TDqEventThread::AddEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender) {
  AddEvent(std::make_unique<TDqEventData>(AName, std::move(AEvent), ASender));
}

void TDqEventThread::AddEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender, const TVariant& AValue) {
  auto event = std::make_unique<TDqEventData>(AName, std::move(AEvent), ASender);
  event->Value = AValue;
  AddEvent(std::move(event));
}

void TDqEventThread::AddPrivilegeEvent(std::unique_ptr<TDqEventData> AEventData) {
  Append(FPrivilegeEvents, std::move(AEventData), false);
}

void TDqEventThread::AddPrivilegeEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender) {
  AddPrivilegeEvent(std::make_unique<TDqEventData>(AName, std::move(AEvent), ASender));
}

void TDqEventThread::AddFirstEvent(std::unique_ptr<TDqEventData> AEventData) {
  Append(FPrivilegeEvents, std::move(AEventData), true);
}

void TDqEventThread::AddFirstEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender) {
  AddFirstEvent(std::make_unique<TDqEventData>(AName, std::move(AEvent), ASender));
}

void TDqEventThread::AddFirstEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender,
                                   const TVariant& AValue) {
  auto event = std::make_unique<TDqEventData>(AName, std::move(AEvent), ASender);
  event->Value = AValue;
  AddFirstEvent(std::move(event));
}

void TDqEventThread::AddTimerEvent(std::unique_ptr<TDqEventData> AEventData) {
  if (!AEventData) return;
  std::lock_guard<std::mutex> guard(FTimerEvents.FLock);
  AEventData->StopTimer();
  if (FTimerEnabled && !FTerminated) ArmTimer(std::move(AEventData), false);
}

void TDqEventThread::AddTimerEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender,
                                   std::uint32_t AInterval, bool AForever) {
  AddTimerEvent(std::make_unique<TDqEventData>(AName, std::move(AEvent), ASender, AInterval, AForever));
}

void TDqEventThread::AddTimerEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender,
                                   const TVariant& AValue, std::uint32_t AInterval, bool AForever) {
  auto event = std::make_unique<TDqEventData>(AName, std::move(AEvent), ASender, AInterval, AForever);
  event->Value = AValue;
  AddTimerEvent(std::move(event));
}

// Caller holds the timer-list lock.
void TDqEventThread::ArmTimer(std::unique_ptr<TDqEventData> AEventData, bool AKeepRhythm) {
  AEventData->FThread = this;
  TDqEventData* event = FTimerEvents.Add(std::move(AEventData));
  event->StartTimer(
      [gate = FGate](TDqEventData* AExpired) {
        std::lock_guard<std::mutex> guard(gate->Mutex);
        if (gate->Thread) gate->Thread->TimerExpired(AExpired);
      },
      AKeepRhythm);
}

// UI thread. The event may have been released meanwhile, so it is looked
// up by identity before it is touched; a timer event leaves the timer list
// while it is queued or running and returns when re-armed, so it is never
// queued twice.
void TDqEventThread::TimerExpired(TDqEventData* AEventData) {
  std::unique_ptr<TDqEventData> refused;
  std::lock_guard<std::mutex> timerGuard(FTimerEvents.FLock);
  const int index = FTimerEvents.IndexOf(AEventData);
  if (index < 0 || !AEventData->FTimer || !AEventData->FTimer->ConsumeFired()) return;
  auto event = FTimerEvents.Extract(index);
  std::lock_guard<std::mutex> guard(FLock);
  if (FTerminated) {
    refused = std::move(event);
    return;
  }
  FEvents.Add(std::move(event));
  FExecuteEvent->Set();
}

void TDqEventThread::RemoveEvent(const void* ASender) {
  std::vector<std::unique_ptr<TDqEventData>> released;
  {
    std::lock_guard<std::mutex> timerGuard(FTimerEvents.FLock);
    for (int i = FTimerEvents.Count() - 1; i >= 0; --i) {
      TDqEventData* event = FTimerEvents.GetEvents(i);
      if (!Matches(event, ASender)) continue;
      event->StopTimer();
      released.push_back(FTimerEvents.Extract(i));
    }
    std::lock_guard<std::mutex> guard(FLock);
    for (TDqEventList* list : {&FPrivilegeEvents, &FEvents})
      for (int i = 0; i < list->Count(); ++i)
        if (Matches(list->GetEvents(i), ASender)) list->GetEvents(i)->Removed = true;
    // The running event completes but is neither re-armed nor kept.
    if (FWorkEvent && Matches(FWorkEvent, ASender)) FWorkEvent->Removed = true;
  }
}

// Worker: what the "WaitRemove" event does.
void TDqEventThread::ReleaseSenderEvents(const void* ASender) {
  std::vector<std::unique_ptr<TDqEventData>> released;
  {
    std::lock_guard<std::mutex> timerGuard(FTimerEvents.FLock);
    for (int i = FTimerEvents.Count() - 1; i >= 0; --i) {
      if (!Matches(FTimerEvents.GetEvents(i), ASender)) continue;
      FTimerEvents.GetEvents(i)->StopTimer();
      released.push_back(FTimerEvents.Extract(i));
    }
    std::lock_guard<std::mutex> guard(FLock);
    for (TDqEventList* list : {&FPrivilegeEvents, &FEvents})
      for (int i = list->Count() - 1; i >= 0; --i)
        if (Matches(list->GetEvents(i), ASender)) released.push_back(list->Extract(i));
    if (FWorkEvent && FWorkEvent->Name != QLatin1String("WaitRemove") && Matches(FWorkEvent, ASender))
      FWorkEvent->Removed = true;
  }
}

bool TDqEventThread::WaitRemoveEvent(const void* ASender, std::uint32_t ATimeOut) {
  // On the worker itself the removal cannot wait for the worker: do it here.
  if (IsCurrentThread()) {
    ReleaseSenderEvents(ASender);
    return true;
  }
  if (FTerminated) {
    RemoveEvent(ASender);
    return false;
  }
  auto done = std::make_shared<TDqSignal>();
  auto event = std::make_unique<TDqEventData>(
      QStringLiteral("WaitRemove"),
      [this, ASender, done](TDqEventData*) {
        ReleaseSenderEvents(ASender);
        done->Set();
      },
      ASender);
  AddFirstEvent(std::move(event));
  return done->Wait(ATimeOut);
}

std::uint32_t TDqEventThread::WaitForExecute(std::uint32_t ATimeOut) {
  const auto start = TClock::now();
  for (;;) {
    // Idle: no work queued or running for 200 ms.
    if (!FExecuteEvent->WaitFor(true, 200)) return 0;
    std::uint32_t elapsed = MillisecondsSince(start);
    if (elapsed >= ATimeOut) return elapsed;
    FExecuteEvent->WaitFor(false, ATimeOut - elapsed);
    elapsed = MillisecondsSince(start);
    if (elapsed >= ATimeOut && FExecuteEvent->IsSet()) return elapsed;
  }
}

void TDqEventThread::Stop() {
  {
    std::lock_guard<std::mutex> timerGuard(FTimerEvents.FLock);
    FTimerEnabled = false;
    for (int i = 0; i < FTimerEvents.Count(); ++i) FTimerEvents.GetEvents(i)->StopTimer();
  }
  FExecuteEvent->Set();
}

void TDqEventThread::Assign(TDqEventThread& AThread) {
  if (&AThread == this) return;
  std::scoped_lock guard(FLock, AThread.FLock);
  FEvents.Assign(AThread.FEvents);
  FPrivilegeEvents.Assign(AThread.FPrivilegeEvents);
  for (TDqEventList* list : {&FPrivilegeEvents, &FEvents})
    for (int i = 0; i < list->Count(); ++i) list->GetEvents(i)->FThread = this;
  if (FEvents.Count() + FPrivilegeEvents.Count() > 0) FExecuteEvent->Set();
}

int TDqEventThread::EventCount() {
  std::lock_guard<std::mutex> guard(FLock);
  return FEvents.Count();
}

int TDqEventThread::PrivilegeEventCount() {
  std::lock_guard<std::mutex> guard(FLock);
  return FPrivilegeEvents.Count();
}

int TDqEventThread::TimerEventCount() {
  std::lock_guard<std::mutex> guard(FTimerEvents.FLock);
  return FTimerEvents.Count();
}

void TDqEventThread::SetOnError(TErrorEvent AValue) {
  std::lock_guard<std::mutex> guard(FErrorLock);
  FOnError = std::move(AValue);
}

void TDqEventThread::SetEventMemo(TDqEventMemo* AValue) {
  std::lock_guard<std::mutex> guard(FMemoLock);
  FEventMemo = AValue;
}

void TDqEventThread::SetPrivilegeMemo(TDqEventMemo* AValue) {
  std::lock_guard<std::mutex> guard(FMemoLock);
  FPrivilegeMemo = AValue;
}

void TDqEventThread::SetWorkMemo(TDqEventMemo* AValue) {
  std::lock_guard<std::mutex> guard(FMemoLock);
  FWorkMemo = AValue;
}

void TDqEventThread::SetTimerMemo(TDqEventMemo* AValue) {
  std::lock_guard<std::mutex> guard(FMemoLock);
  FTimerMemo = AValue;
}

QString TDqEventThread::DebugLine(const TDqEventData* AEvent) {
  QString sender = AEvent->SenderName;
  if (sender.isEmpty())
    sender = QString::number(reinterpret_cast<quintptr>(AEvent->Sender), 16).toUpper().rightJustified(8, QLatin1Char('0'));
  return QStringLiteral("%1: %2 @ %3")
      .arg(sender, AEvent->Name, DateTimeToQDateTime(Now()).toString(QStringLiteral("hh:mm:ss")));
}

void TDqEventThread::Report(const QString& AMessage, const std::exception* AError) {
  QString text = AMessage;
  if (AError) text += QStringLiteral("\r\n") + ErrorText(*AError);
  TErrorEvent handler;
  {
    std::lock_guard<std::mutex> guard(FErrorLock);
    handler = FOnError;
  }
  if (handler)
    handler(text);
  else
    DefaultReport(text);
}

void TDqEventThread::WriteListing() {
  std::lock_guard<std::mutex> memoGuard(FMemoLock);
  if (!FEventMemo && !FPrivilegeMemo && !FWorkMemo && !FTimerMemo) return;
  auto fill = [](TDqEventMemo* AMemo, const QString& AHeader, const QStringList& ALines) {
    if (!AMemo) return;
    AMemo->Clear();
    AMemo->Add(AHeader);
    for (const QString& line : ALines) AMemo->Add(line);
  };
  QStringList timerLines, privilegeLines, eventLines;
  {
    std::lock_guard<std::mutex> timerGuard(FTimerEvents.FLock);
    for (int i = 0; i < FTimerEvents.Count(); ++i) timerLines << DebugLine(FTimerEvents.GetEvents(i));
    std::lock_guard<std::mutex> guard(FLock);
    for (int i = 0; i < FPrivilegeEvents.Count(); ++i) privilegeLines << DebugLine(FPrivilegeEvents.GetEvents(i));
    for (int i = 0; i < FEvents.Count(); ++i) eventLines << DebugLine(FEvents.GetEvents(i));
  }
  fill(FEventMemo, QStringLiteral("Events"), eventLines);
  fill(FPrivilegeMemo, QStringLiteral("Privilege Events"), privilegeLines);
  fill(FTimerMemo, QStringLiteral("Timer Events"), timerLines);
  if (FWorkMemo) FWorkMemo->Clear();
}

void TDqEventThread::RunEvent(TDqEventData* AEvent) {
  if (AEvent->Event) {
    try {
      AEvent->Event(AEvent);
    } catch (const std::exception& error) {
      Report(QStringLiteral("Executed error."), &error);
    } catch (...) {
      Report(QStringLiteral("Executed error."), nullptr);
    }
  }
  if (AEvent->FOnExecuted) {
    try {
      AEvent->FOnExecuted(AEvent);
    } catch (const std::exception& error) {
      Report(QStringLiteral("OnExecuted error."), &error);
    } catch (...) {
      Report(QStringLiteral("OnExecuted error."), nullptr);
    }
  }
  if (!AEvent->FOnSyncExecuted) return;
  try {
    QObject* receiver = AEvent->FHasSyncContext ? AEvent->FSyncContext.data() : QCoreApplication::instance();
    if (!receiver) return; // its dialog is gone, or there is no UI thread
    TErrorEvent handler;
    {
      std::lock_guard<std::mutex> guard(FErrorLock);
      handler = FOnError;
    }
    QMetaObject::invokeMethod(
        receiver,
        [callback = AEvent->FOnSyncExecuted, handler] {
          try {
            callback();
          } catch (const std::exception& error) {
            const QString text = QStringLiteral("OnSyncExecuted error.\r\n") + ErrorText(error);
            handler ? handler(text) : DefaultReport(text);
          }
        },
        Qt::QueuedConnection);
  } catch (const std::exception& error) {
    Report(QStringLiteral("OnSyncExecuted error."), &error);
  }
}

void TDqEventThread::Execute() {
  auto waitForWork = [this] {
    while (!FTerminated && !FExecuteEvent->Wait(1000)) {
    }
  };
  waitForWork();
  while (!FTerminated) {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FWorkEvent = nullptr;
    }
    WriteListing();
    while (!FTerminated) {
      std::unique_ptr<TDqEventData> event;
      {
        std::lock_guard<std::mutex> guard(FLock);
        if (FPrivilegeEvents.Count() > 0)
          event = FPrivilegeEvents.Extract(0);
        else if (FEvents.Count() > 0)
          event = FEvents.Extract(0);
        else
          break;
        FWorkEvent = event.get();
      }
      {
        std::lock_guard<std::mutex> memoGuard(FMemoLock);
        if (FWorkMemo) FWorkMemo->Add(DebugLine(event.get()));
      }
      if (!event->Removed) RunEvent(event.get());
      {
        std::lock_guard<std::mutex> timerGuard(FTimerEvents.FLock);
        std::lock_guard<std::mutex> guard(FLock);
        FWorkEvent = nullptr;
        if (event->Forever && FTimerEnabled && !event->Removed && !FTerminated) {
          const bool keepRhythm = event->KeepRhythm;
          ArmTimer(std::move(event), keepRhythm);
        }
      }
      event.reset(); // released outside the locks: its object may queue work
    }
    {
      std::lock_guard<std::mutex> guard(FLock);
      if (FPrivilegeEvents.Count() == 0 && FEvents.Count() == 0) FExecuteEvent->Reset();
    }
    waitForWork();
  }
  FTerminateEvent->Set();
}
