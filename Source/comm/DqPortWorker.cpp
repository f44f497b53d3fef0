#include "DqPort.h"

// ------------------------------------------------------------ port worker

TDqSyncEvent TDqComPort::OnRead() {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  return FOnRead;
}

void TDqComPort::SetOnRead(TDqSyncEvent AValue) {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  FOnRead = std::move(AValue);
}

TDqSyncEvent TDqComPort::OnWrite() {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  return FOnWrite;
}

void TDqComPort::SetOnWrite(TDqSyncEvent AValue) {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  FOnWrite = std::move(AValue);
}

void TDqComPort::SetThreadMode(bool AValue) {
  if (FThreadMode.exchange(AValue) || !AValue) return;
  auto monitor = std::make_unique<TDqEventData>(
      QStringLiteral("PortRead"),
      [this](TDqEventData* AEvent) {
        const TDqSyncEvent onRead = OnRead();
        if (!Active() || !onRead) return;
        const QString text = ReadText();
        if (text.isEmpty()) return;
        AEvent->Value = text;
        onRead(AEvent);
      },
      this, 100, true);
  monitor->SenderName = FPortData.Name;
  AddTimerEvent(std::move(monitor));
}

void TDqComPort::ThreadWrite(const QString& AText) {
  auto event = std::make_unique<TDqEventData>(
      QStringLiteral("PortWrite"),
      [this](TDqEventData* AEvent) {
        WriteText(VarAsText(AEvent->Value));
        if (const TDqSyncEvent onWrite = OnWrite()) onWrite(AEvent);
      },
      this);
  event->Value = AText;
  event->SenderName = FPortData.Name;
  AddEvent(std::move(event));
}

void TDqComPort::ThreadWriteLn(const QString& AText) { ThreadWrite(AText + QStringLiteral("\r\n")); }

void TDqComPort::AddEvent(std::unique_ptr<TDqEventData> AEventData) { CurrentThread()->AddEvent(std::move(AEventData)); }

void TDqComPort::AddEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender) {
  CurrentThread()->AddEvent(AName, std::move(AEvent), ASender);
}

void TDqComPort::AddEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender, const TVariant& AValue) {
  CurrentThread()->AddEvent(AName, std::move(AEvent), ASender, AValue);
}

void TDqComPort::AddFirstEvent(std::unique_ptr<TDqEventData> AEventData) {
  CurrentThread()->AddFirstEvent(std::move(AEventData));
}

void TDqComPort::AddFirstEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender) {
  CurrentThread()->AddFirstEvent(AName, std::move(AEvent), ASender);
}

void TDqComPort::AddFirstEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender,
                               const TVariant& AValue) {
  CurrentThread()->AddFirstEvent(AName, std::move(AEvent), ASender, AValue);
}

void TDqComPort::AddPrivilegeEvent(std::unique_ptr<TDqEventData> AEventData) {
  CurrentThread()->AddPrivilegeEvent(std::move(AEventData));
}

void TDqComPort::AddPrivilegeEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender) {
  CurrentThread()->AddPrivilegeEvent(AName, std::move(AEvent), ASender);
}

void TDqComPort::AddTimerEvent(std::unique_ptr<TDqEventData> AEventData) {
  CurrentThread()->AddTimerEvent(std::move(AEventData));
}

void TDqComPort::AddTimerEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender,
                               std::uint32_t AInterval, bool AForever) {
  CurrentThread()->AddTimerEvent(AName, std::move(AEvent), ASender, AInterval, AForever);
}

void TDqComPort::AddTimerEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender,
                               const TVariant& AValue, std::uint32_t AInterval, bool AForever) {
  CurrentThread()->AddTimerEvent(AName, std::move(AEvent), ASender, AValue, AInterval, AForever);
}

void TDqComPort::RemoveEvent(const void* ASender) { CurrentThread()->RemoveEvent(ASender); }

bool TDqComPort::WaitRemoveEvent(const void* ASender, std::uint32_t ATimeOut) {
  return CurrentThread()->WaitRemoveEvent(ASender, ATimeOut);
}

void TDqComPort::LoadPortList(QStringList& AList, bool AvailabledOnly) { ListComPorts(AList, AvailabledOnly); }
