#include "DqEvent.h"

#include <QCoreApplication>
#include <QDateTime>
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

// A manual-reset flag that threads wait on. A poke wakes a waiter without
// setting the flag: the worker's deadline moved.
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
  void Poke() {
    {
      std::lock_guard<std::mutex> guard(FMutex);
      ++FPokes;
    }
    FCondition.notify_all();
  }
  std::uint64_t Pokes() {
    std::lock_guard<std::mutex> guard(FMutex);
    return FPokes;
  }
  // Waits until the flag equals AState; false when AMilliseconds passed first.
  bool WaitFor(bool AState, std::uint32_t AMilliseconds) {
    return WaitUntil(AState, TClock::now() + std::chrono::milliseconds(AMilliseconds), nullptr);
  }
  bool Wait(std::uint32_t AMilliseconds) { return WaitFor(true, AMilliseconds); }
  // Waits until the flag equals AState, ADeadline passes, or (with APokes)
  // a poke arrives after APokes were counted; true when the flag matched.
  bool WaitUntil(bool AState, TClock::time_point ADeadline, const std::uint64_t* APokes) {
    // Measured on the steady clock, waited in short slices on the system
    // clock: its wait is the one every sanitizer and libc pairs with the
    // mutex, and a clock step can shift a slice only.
    std::unique_lock<std::mutex> lock(FMutex);
    while (FSet != AState) {
      if (APokes && FPokes != *APokes) return false;
      const auto left = ADeadline - TClock::now();
      if (left <= TClock::duration::zero()) return false;
      const auto slice = std::min<TClock::duration>(left, std::chrono::milliseconds(50));
      FCondition.wait_until(lock, std::chrono::system_clock::now() +
                                      std::chrono::ceil<std::chrono::system_clock::duration>(slice));
    }
    return true;
  }

private:
  std::mutex FMutex;
  std::condition_variable FCondition;
  bool FSet = false;
  std::uint64_t FPokes = 0;
};

// -------------------------------------------------------------- event data

TDqEventData::TDqEventData() = default;

TDqEventData::TDqEventData(const QString& AName, TDqSyncEvent AEvent, const void* ASender, std::uint32_t AInterval,
                           bool AForever)
    : Name(AName), Sender(ASender), Event(std::move(AEvent)), Interval(AInterval), Forever(AForever) {}

TDqEventData::~TDqEventData() = default;

void TDqEventData::Clear() {
  try {
    FHasDue = false;
    ValueObject.reset();
  } catch (const std::exception&) {
    throw EDqException(QStringLiteral("Clear event data error"));
  }
  Name.clear();
  Sender = nullptr;
  SenderName.clear();
  Event = nullptr;
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
  FHasDue = false;
  FThread = nullptr;
  Name = AEvent.Name;
  Sender = AEvent.Sender;
  SenderName = AEvent.SenderName;
  Event = AEvent.Event;
  Value = AEvent.Value;
  // Shared, so that the copy and the original never release it twice.
  ValueObject = AEvent.ValueObject;
  Interval = AEvent.Interval;
  Forever = AEvent.Forever;
  KeepRhythm = AEvent.KeepRhythm;
  Removed = AEvent.Removed.load();
  Synchronized = AEvent.Synchronized;
}

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

TDqEventThread::TDqEventThread()
    : FTerminateEvent(std::make_shared<TDqSignal>()), FExecuteEvent(std::make_shared<TDqSignal>()) {
  FWorker = std::thread([this] { Execute(); });
}

TDqEventThread::~TDqEventThread() {
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
  std::unique_ptr<TDqEventData> refused;
  std::lock_guard<std::mutex> guard(FTimerEvents.FLock);
  AEventData->FHasDue = false;
  AEventData->FFromTimer = false;
  if (FTimerEnabled && !FTerminated)
    ArmTimer(std::move(AEventData), false);
  else
    refused = std::move(AEventData);
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

// Caller holds the timer-list lock. With AKeepRhythm the event is due one
// interval after it was last due, so neither its own run nor the queue
// ahead of it stretches the period; when even that has passed, at once.
void TDqEventThread::ArmTimer(std::unique_ptr<TDqEventData> AEventData, bool AKeepRhythm) {
  const TClock::time_point now = TClock::now();
  const auto interval = std::chrono::milliseconds(AEventData->Interval);
  AEventData->FDue = AKeepRhythm && AEventData->FHasDue ? std::max(AEventData->FDue + interval, now) : now + interval;
  AEventData->FHasDue = true;
  AEventData->FThread = this;
  FTimerEvents.Add(std::move(AEventData));
  // The worker recomputes its deadline after each event; others wake it.
  if (!IsCurrentThread()) FExecuteEvent->Poke();
}

// Worker. A timer event leaves the timer list while it is queued or
// running and returns when re-armed, so it is never queued twice.
void TDqEventThread::QueueDueTimers() {
  std::vector<std::unique_ptr<TDqEventData>> due; // refused ones go outside the locks
  std::lock_guard<std::mutex> timerGuard(FTimerEvents.FLock);
  if (!FTimerEnabled || FTimerEvents.Count() == 0) return;
  const TClock::time_point now = TClock::now();
  for (int i = 0; i < FTimerEvents.Count();) {
    if (FTimerEvents.GetEvents(i)->FDue <= now)
      due.push_back(FTimerEvents.Extract(i));
    else
      ++i;
  }
  if (due.empty()) return;
  std::stable_sort(due.begin(), due.end(), [](const auto& A, const auto& B) { return A->FDue < B->FDue; });
  std::lock_guard<std::mutex> guard(FLock);
  if (FTerminated) return;
  for (auto& event : due) {
    event->FFromTimer = true;
    FEvents.Add(std::move(event));
  }
  FExecuteEvent->Set();
}

std::chrono::steady_clock::time_point TDqEventThread::NextDue() {
  std::lock_guard<std::mutex> timerGuard(FTimerEvents.FLock);
  TClock::time_point next = TClock::time_point::max();
  if (!FTimerEnabled) return next;
  for (int i = 0; i < FTimerEvents.Count(); ++i) next = std::min(next, FTimerEvents.GetEvents(i)->FDue);
  return next;
}

void TDqEventThread::RemoveEvent(const void* ASender) {
  std::vector<std::unique_ptr<TDqEventData>> released;
  {
    std::lock_guard<std::mutex> timerGuard(FTimerEvents.FLock);
    for (int i = FTimerEvents.Count() - 1; i >= 0; --i) {
      if (!Matches(FTimerEvents.GetEvents(i), ASender)) continue;
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
  // Periodic timer work (a port's read watch) never ends by itself, so it
  // does not count: only what callers queued does.
  const auto start = TClock::now();
  auto idleSince = start;
  for (;;) {
    const auto now = TClock::now();
    if (BusyWithQueuedWork())
      idleSince = now;
    else if (now - idleSince >= std::chrono::milliseconds(200))
      return 0;
    const std::uint32_t elapsed = MillisecondsSince(start);
    if (elapsed >= ATimeOut && idleSince == now) return elapsed;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool TDqEventThread::BusyWithQueuedWork() {
  std::lock_guard<std::mutex> guard(FLock);
  if (FWorkEvent && !FWorkEvent->FFromTimer) return true;
  for (TDqEventList* list : {&FPrivilegeEvents, &FEvents})
    for (int i = 0; i < list->Count(); ++i)
      if (!list->GetEvents(i)->FFromTimer) return true;
  return false;
}

bool TDqEventThread::Busy() {
  std::lock_guard<std::mutex> guard(FLock);
  return FWorkEvent != nullptr || FPrivilegeEvents.Count() > 0 || FEvents.Count() > 0;
}

void TDqEventThread::Stop() {
  {
    std::lock_guard<std::mutex> timerGuard(FTimerEvents.FLock);
    FTimerEnabled = false;
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
  // Sleeps until work is queued, the next timer event is due, or another
  // thread armed a timer (which may be due sooner).
  auto waitForWork = [this] {
    while (!FTerminated) {
      const std::uint64_t pokes = FExecuteEvent->Pokes();
      const TClock::time_point next = NextDue();
      const TClock::time_point deadline = std::min(next, TClock::now() + std::chrono::seconds(1));
      if (FExecuteEvent->WaitUntil(true, deadline, &pokes)) return;
      QueueDueTimers();
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
      // Due periodic work joins the queue between events, so a long queue
      // delays it by no more than the event ahead of it.
      QueueDueTimers();
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
