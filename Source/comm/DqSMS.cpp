#include "DqSMS.h"

#include "DqPort.h"

#include <QCoreApplication>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;

std::mutex gNotifierLock;
TSMSErrorNotifier gNotifier;
std::atomic<bool> gErrorShowing{false};

const QChar kCtrlZ(26);

// Lines as a string list takes them: CR, LF or CR LF end a line, and a
// line break at the very end adds no empty line.
QStringList SplitLines(const QString& AText) {
  QStringList lines;
  QString line;
  const qsizetype count = AText.size();
  for (qsizetype i = 0; i < count; ++i) {
    const QChar c = AText[i];
    if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
      lines << line;
      line.clear();
      if (c == QLatin1Char('\r') && i + 1 < count && AText[i + 1] == QLatin1Char('\n')) ++i;
    } else {
      line += c;
    }
  }
  if (!line.isEmpty()) lines << line;
  return lines;
}

bool HasResponsePrefix(const QString& ALine, const QString& APrefix) {
  return TextStartsWith(ALine, APrefix + QStringLiteral(": "));
}

// Field AIndex (from 1) as a number or a text; 0 or empty when absent.
std::int64_t FieldNumber(const std::vector<TSMSField>& AFields, int AIndex) {
  if (AIndex < 1 || AIndex > static_cast<int>(AFields.size())) return 0;
  const TSMSField& field = AFields[static_cast<std::size_t>(AIndex - 1)];
  return field.IsText ? field.Text.trimmed().toLongLong() : field.Number;
}

QString FieldText(const std::vector<TSMSField>& AFields, int AIndex) {
  if (AIndex < 1 || AIndex > static_cast<int>(AFields.size())) return QString();
  return AFields[static_cast<std::size_t>(AIndex - 1)].AsText();
}

std::uint32_t AsStatus(std::int64_t AValue) { return static_cast<std::uint32_t>(AValue); }

} // namespace

// --------------------------------------------------------------- providers

TSMSProvider* TSMSProviderList::AddProvider(const QString& AName) {
  auto provider = std::make_unique<TSMSProvider>();
  provider->Name = AName;
  FItems.push_back(std::move(provider));
  return FItems.back().get();
}

int TSMSProviderList::IndexOfName(const QString& AName) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (FItems[static_cast<std::size_t>(i)]->Name == AName) return i;
  return -1;
}

QString TSMSProviderList::NameOfIndex(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) return QString();
  return FItems[static_cast<std::size_t>(AIndex)]->Name;
}

TSMSProvider* TSMSProviderList::GetProvider(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EDqException(QStringLiteral("Provider index out of bound"));
  return FItems[static_cast<std::size_t>(AIndex)].get();
}

void TSMSProviderList::SetProvider(int AIndex, const TSMSProvider& AProvider) {
  if (AIndex < 0 || AIndex >= Count()) throw EDqException(QStringLiteral("Provider list index out of bound"));
  *FItems[static_cast<std::size_t>(AIndex)] = AProvider;
}

// ---------------------------------------------------------------- messages

TSMSMessageList& TSMSMessageList::operator=(const TSMSMessageList& AList) {
  if (this != &AList) Assign(AList);
  return *this;
}

TSMSMessage* TSMSMessageList::Add(std::unique_ptr<TSMSMessage> AMessage) {
  FItems.push_back(std::move(AMessage));
  return FItems.back().get();
}

TSMSMessage* TSMSMessageList::GetSMS(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EDqException(QStringLiteral("SMS index out of bound"));
  return FItems[static_cast<std::size_t>(AIndex)].get();
}

void TSMSMessageList::SetSMS(int AIndex, std::unique_ptr<TSMSMessage> AMessage) {
  if (AIndex < 0 || AIndex >= Count()) throw EDqException(QStringLiteral("SMS list index out of bound"));
  FItems[static_cast<std::size_t>(AIndex)] = std::move(AMessage);
}

void TSMSMessageList::Assign(const TSMSMessageList& AList) {
  std::vector<std::unique_ptr<TSMSMessage>> items;
  items.reserve(AList.FItems.size());
  for (const auto& message : AList.FItems) items.push_back(std::make_unique<TSMSMessage>(*message));
  FItems = std::move(items);
}

// ---------------------------------------------------------------- encoding

QString TDqSMS::EncodeUCS2(const QString& AText) {
  QString hex;
  hex.reserve(AText.size() * 4);
  for (const QChar unit : AText) hex += QStringLiteral("%1").arg(unit.unicode(), 4, 16, QLatin1Char('0')).toUpper();
  return hex;
}

QString TDqSMS::DecodeUCS2(const QString& AHex) {
  QString text;
  for (qsizetype i = 0; i + 4 <= AHex.size(); i += 4) {
    bool ok = false;
    const uint code = AHex.mid(i, 4).toUInt(&ok, 16);
    text += QChar(static_cast<char16_t>(ok ? code : 0));
  }
  return text;
}

QString TDqSMS::DecodeText(const QString& AText) {
  return AText.startsWith(QLatin1Char('0')) ? DecodeUCS2(AText) : AText;
}

std::vector<TSMSField> TDqSMS::SplitFields(const QString& ALine, const QString& APrefix) {
  std::vector<TSMSField> fields;
  if (!HasResponsePrefix(ALine, APrefix)) return fields;
  const QString rest = ALine.mid(APrefix.size() + 2);
  qsizetype i = 0;
  const qsizetype count = rest.size();
  while (i < count) {
    TSMSField field;
    if (rest[i] == QLatin1Char('"')) {
      // Text to the closing quote; a doubled quote inside stands for one.
      field.IsText = true;
      ++i;
      while (i < count) {
        if (rest[i] == QLatin1Char('"')) {
          if (i + 1 < count && rest[i + 1] == QLatin1Char('"')) {
            field.Text += QLatin1Char('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field.Text += rest[i++];
      }
      const qsizetype comma = rest.indexOf(QLatin1Char(','), i);
      i = comma < 0 ? count : comma + 1;
    } else {
      qsizetype comma = rest.indexOf(QLatin1Char(','), i);
      if (comma < 0) comma = count;
      field.Text = rest.mid(i, comma - i).trimmed();
      bool ok = false;
      field.Number = field.Text.toLongLong(&ok);
      if (!ok) field.Number = 0;
      i = comma + 1;
    }
    fields.push_back(std::move(field));
  }
  return fields;
}

// ------------------------------------------------------------ error box

void TDqSMS::SetErrorNotifier(TSMSErrorNotifier ANotifier) {
  std::lock_guard<std::mutex> guard(gNotifierLock);
  gNotifier = std::move(ANotifier);
}

void TDqSMS::ShowError(const QString& AMessage) {
  if (gErrorShowing.exchange(true)) return; // one box at a time
  TSMSErrorNotifier notifier;
  {
    std::lock_guard<std::mutex> guard(gNotifierLock);
    notifier = gNotifier;
  }
  QCoreApplication* application = QCoreApplication::instance();
  if (!notifier || !application) {
    qWarning("%s", qPrintable(AMessage));
    gErrorShowing = false;
    return;
  }
  auto show = [notifier, AMessage] {
    struct TDone {
      ~TDone() { gErrorShowing = false; }
    } done;
    notifier(AMessage);
  };
  // A worker (an alarm being handled) must not wait for the user.
  if (QThread::currentThread() == application->thread())
    show();
  else
    QMetaObject::invokeMethod(application, show, Qt::QueuedConnection);
}

// ------------------------------------------------------------------ driver

TDqSMS::TDqSMS(bool AThreadMonitor, const QString& APortName) {
  Build(AThreadMonitor);
  if (!APortName.isEmpty()) OpenPort(APortName);
}

TDqSMS::TDqSMS(bool AThreadMonitor, int APortNumber) {
  Build(AThreadMonitor);
  if (APortNumber > 0) OpenPort(APortNumber);
}

void TDqSMS::Build(bool AThreadMonitor) {
  FThreadMonitor = AThreadMonitor;
  FPort = std::make_unique<TDqComPort>();
  FPort->SetFixTimeOut(false);
  FPort->SetOnRead([this](TDqEventData* AEvent) {
    ParseOutput(VarAsText(AEvent->Value));
    if (const TDqSyncEvent onRead = OnRead()) onRead(AEvent);
  });
  FPort->SetOnWrite([this](TDqEventData* AEvent) {
    ParseOutput(FPort->ReadText());
    if (const TDqSyncEvent onWrite = OnWrite()) onWrite(AEvent);
  });
  FMessages = std::make_unique<TSMSMessageList>();
  FProviders = std::make_unique<TSMSProviderList>();
  struct TBuiltIn {
    const char* Name;
    const char* Center;
    const char* Balance;
    const char* Refill;
  };
  static const TBuiltIn builtIn[] = {{"DTAC", "+66816110400", "*101*9#", "*100*xxxx#"},
                                     {"AIS", "+66818110888", "*121#", "*120*xxxx#"},
                                     {"TRUE", "+66891009120", "#123#", "*123*xxxx#"}};
  for (const TBuiltIn& entry : builtIn) {
    TSMSProvider* provider = FProviders->AddProvider(QString::fromLatin1(entry.Name));
    provider->MessageCenterNumber = QString::fromLatin1(entry.Center);
    provider->BalanceCode = QString::fromLatin1(entry.Balance);
    provider->RefillCode = QString::fromLatin1(entry.Refill);
  }
}

// The work running on the port's worker refers to this object: the port
// is closed (ending and joining that worker) before anything is released.
TDqSMS::~TDqSMS() {
  {
    std::lock_guard<std::mutex> guard(FCallbackLock);
    FOnRead = nullptr;
    FOnWrite = nullptr;
    FOnData = nullptr;
    FOnSendFailed = nullptr;
  }
  FPort->Close();
  FPort->SetOnRead(nullptr);
  FPort->SetOnWrite(nullptr);
}

bool TDqSMS::Active() const { return FPort->Active(); }

bool TDqSMS::Running() const { return FPort->Active(); }

// Sleeps, cut short when the port closes under the job.
void TDqSMS::Pause(int AMilliseconds) const {
  const auto until = TClock::now() + std::chrono::milliseconds(AMilliseconds);
  while (Running()) {
    const auto left = until - TClock::now();
    if (left <= TClock::duration::zero()) break;
    std::this_thread::sleep_for(std::min<TClock::duration>(left, std::chrono::milliseconds(20)));
  }
}

bool TDqSMS::OpenPort(const QString& APortName) {
  if (FPort->Active()) FPort->Close();
  if (!FPort->Open(APortName)) return false;
  FPort->SetRTSControlEnabled(true);
  if (!FPort->Config(115200, 8, 0, 0)) {
    // A modem that cannot be set up is no modem to send through.
    FPort->Close();
    return false;
  }
  if (FThreadMonitor) {
    // The watch ended with the previous worker.
    FPort->SetThreadMode(false);
    FPort->SetThreadMode(true);
  }
  Queue(QStringLiteral("OpenSMSPort"), [this] {
    for (const char* command : {"Q0", "E1", "+IPR=115200", "&W"}) SendCommand(QString::fromLatin1(command));
  });
  return true;
}

bool TDqSMS::OpenPort(int APortNumber) { return OpenPort(QStringLiteral("COM%1").arg(APortNumber)); }

void TDqSMS::ClosePort() { FPort->Close(); }

void TDqSMS::Queue(const QString& AName, std::function<void()> AWork) {
  if (!Active()) return;
  auto event = std::make_unique<TDqEventData>(
      AName, [work = std::move(AWork)](TDqEventData*) { work(); }, this);
  event->SenderName = QStringLiteral("SMS");
  FPort->AddEvent(std::move(event));
}

// ------------------------------------------------------------- operations

void TDqSMS::SendSMS(const QString& APhoneNumber, const QString& AText) {
  if (!Active() || !Provider()) {
    ShowError(QStringLiteral("Please select provider before sending SMS."));
    return;
  }
  Queue(QStringLiteral("SendSMS"), [this, APhoneNumber, AText] { RunSendSMS(APhoneNumber, AText); });
}

void TDqSMS::DeleteAndSendSMS(const QString& APhoneNumber, const QString& AText) {
  DeleteSMS(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  SendSMS(APhoneNumber, AText);
}

void TDqSMS::DeleteSMS(int AIndex) {
  Queue(QStringLiteral("DeleteSMS"), [this, AIndex] { SendCommand(QStringLiteral("+CMGD=%1").arg(AIndex)); });
}

void TDqSMS::ReadSMS() {
  Queue(QStringLiteral("ReadSMS"), [this] {
    {
      std::lock_guard<std::mutex> guard(FDataLock);
      FMessages->Clear();
    }
    SendCommand(QStringLiteral("+CMGF=1"));
    SendCommand(QStringLiteral("+CMGL=\"ALL\""));
    Report(smsMessages);
  });
}

// The codes are taken now, on the caller's thread: the worker never reads
// the provider list.
void TDqSMS::ReadBalance() {
  const TSMSProvider* provider = Provider();
  if (!provider) return;
  const QString code = provider->BalanceCode;
  Queue(QStringLiteral("CheckBalance"), [this, code] { RunUSSD(ussdBalance, code); });
}

void TDqSMS::Refill(const QString& ACode) {
  const TSMSProvider* provider = Provider();
  if (!Active() || !provider) return;
  const QString code = QString(provider->RefillCode).replace(QStringLiteral("xxxx"), ACode);
  Queue(QStringLiteral("Refill"), [this, code] { RunUSSD(ussdRefill, code); });
}

void TDqSMS::Dial(const QString& ACode) {
  Queue(QStringLiteral("Dial"), [this, ACode] { RunUSSD(ussdDial, ACode); });
}

void TDqSMS::ReadSignal() {
  if (Active()) FPort->ThreadWriteLn(QStringLiteral("AT+CSQ"));
}

void TDqSMS::ReadInformation() {
  if (!Active()) return;
  for (const char* line : {"AT+CGMI", "AT+GMI", "AT+GMM", "AT+CGSN", "AT+CGMR", "AT+CIMI", "AT+CNUM", "AT+CPAS",
                           "AT+CREG=1", "AT+CSQ", "AT+CBC"})
    FPort->ThreadWriteLn(QString::fromLatin1(line));
}

void TDqSMS::SendMessageCenterNumber() {
  const TSMSProvider* provider = Provider();
  if (!Active() || !provider) return;
  FPort->ThreadWriteLn(QStringLiteral("AT+CSCA=\"%1\"").arg(provider->MessageCenterNumber));
}

// ------------------------------------------------------------ worker side

QString TDqSMS::SendCommand(const QString& ACommand) {
  if (!Running()) return QString();
  FPort->WriteText(QStringLiteral("AT") + ACommand + QStringLiteral("\r\n"));
  Pause(100);
  const QString reply = FPort->ReadText();
  ParseOutput(reply);
  return reply;
}

QString TDqSMS::SendBody(const QString& AEncodedBody) {
  if (!Running()) return QString();
  FPort->WriteText(AEncodedBody + kCtrlZ);
  Pause(100);
  const QString reply = FPort->ReadText();
  ParseOutput(reply);
  return reply;
}

// The modem echoes the command, then answers after an empty line.
bool TDqSMS::SendExpecting(const QString& ACommand, const QString& AExpected) {
  const QString echo = QStringLiteral("AT") + ACommand;
  for (int attempt = 0; attempt < 10 && Running(); ++attempt) {
    const QStringList lines = SplitLines(SendCommand(ACommand));
    for (qsizetype i = 0; i + 2 < lines.size(); ++i)
      if (lines[i] == echo && lines[i + 2] == AExpected) return true;
  }
  return false;
}

bool TDqSMS::SendOne(const QString& ANumber, const QString& AEncodedBody) {
  if (!SendExpecting(QStringLiteral("+CMGF=1"), QStringLiteral("OK")) ||
      !SendExpecting(QStringLiteral("+CSCS=\"GSM\""), QStringLiteral("OK")) ||
      !SendExpecting(QStringLiteral("+CSMP=17,167,0,8"), QStringLiteral("OK")) ||
      !SendExpecting(QStringLiteral("+CMGS=\"%1\"").arg(ANumber), QStringLiteral("> ")))
    return false;
  // The network's confirmation may take a while; everything read since
  // the body went out is searched, so a confirmation split over two reads
  // still counts.
  QString output = SendBody(AEncodedBody);
  for (int pass = 0; pass < 7; ++pass) {
    const QStringList lines = SplitLines(output);
    for (qsizetype i = 0; i + 2 < lines.size(); ++i)
      if (lines[i].left(5).compare(QStringLiteral("+CMGS"), Qt::CaseInsensitive) == 0 &&
          lines[i + 2] == QStringLiteral("OK"))
        return true;
    if (lines.contains(QStringLiteral("ERROR")) || !Running()) return false;
    Pause(200);
    const QString more = FPort->ReadText();
    ParseOutput(more);
    output += more;
  }
  return false;
}

void TDqSMS::RunSendSMS(const QString& ANumbers, const QString& AText) {
  {
    std::lock_guard<std::mutex> guard(FDataLock);
    FFailedNumber.clear();
  }
  const QString body = EncodeUCS2(AText);
  QStringList numbers;
  for (const QString& part : ANumbers.split(QLatin1Char(';'))) {
    const QString number = part.trimmed();
    if (!number.isEmpty()) numbers << number;
  }
  QString failed;
  for (qsizetype i = numbers.size() - 1; i >= 0; --i) {
    if (SendOne(numbers[i], body)) continue;
    if (!failed.isEmpty()) failed += QLatin1Char(';');
    failed += numbers[i];
    std::lock_guard<std::mutex> guard(FDataLock);
    FFailedNumber = failed;
  }
  if (failed.isEmpty()) return;
  if (const TSMSSendFailedEvent onSendFailed = OnSendFailed()) onSendFailed(this, failed);
}

void TDqSMS::RunUSSD(TSMSUSSDType AMode, const QString& ACode) {
  {
    std::lock_guard<std::mutex> guard(FDataLock);
    FUSSDMode = AMode;
  }
  SendCommand(QStringLiteral("+CMGF=0"));
  SendCommand(QStringLiteral("+CUSD=1,\"%1\"").arg(ACode));
}

void TDqSMS::Report(TSMSDataType ADataType) {
  if (const TSMSDataEvent onData = OnData()) onData(this, ADataType);
}

void TDqSMS::ParseOutput(const QString& AText) {
  if (Running()) ParseModemOutput(AText);
}

void TDqSMS::ParseModemOutput(const QString& AText) {
  FCommand.clear();
  const QStringList lines = SplitLines(AText);
  QStringList kept;
  auto assign = [this](auto& AField, const auto& AValue, TSMSDataType ADataType) {
    {
      std::lock_guard<std::mutex> guard(FDataLock);
      AField = AValue;
    }
    Report(ADataType);
  };
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const QString& line = lines[i];
    bool handled = false;
    bool keep = !line.isEmpty() && line != QStringLiteral("OK") && !TextStartsWith(line, QStringLiteral("AT+CSQ"));
    if (line.startsWith(QLatin1Char('+'))) {
      handled = true;
      std::vector<TSMSField> fields;
      auto match = [&](const char* APrefix) {
        const QString prefix = QString::fromLatin1(APrefix);
        if (!HasResponsePrefix(line, prefix)) return false;
        fields = SplitFields(line, prefix);
        return true;
      };
      if (match("+CSQ")) {
        assign(FSignal, AsStatus(FieldNumber(fields, 1)), smsSignal);
        keep = false;
      } else if (match("+CPAS")) {
        assign(FActivityStatus, AsStatus(FieldNumber(fields, 1)), smsActivityStatus);
      } else if (match("+CREG")) {
        assign(FNetworkStatus, AsStatus(FieldNumber(fields, 1)), smsNetworkStatus);
      } else if (match("+CMTI")) {
        {
          std::lock_guard<std::mutex> guard(FDataLock);
          FNewSMSType = FieldText(fields, 1);
          FNewSMSLocation = AsStatus(FieldNumber(fields, 2));
        }
        Report(smsNewMessage);
      } else if (match("+CMGL")) {
        auto message = std::make_unique<TSMSMessage>();
        message->ID = FieldText(fields, 1);
        message->Title = FieldText(fields, 2);
        message->Sender = FieldText(fields, 3);
        message->Detail = FieldText(fields, 4);
        message->SendTime = FieldText(fields, 5);
        // The body: up to the next message or the closing OK.
        QStringList body;
        qsizetype next = i + 1;
        while (next < lines.size() && !TextStartsWith(lines[next], QStringLiteral("+CMGL: ")) &&
               !(lines[next] == QStringLiteral("OK") && next == lines.size() - 1))
          body << lines[next++];
        i = next - 1;
        while (!body.isEmpty() && body.last().isEmpty()) body.removeLast(); // the gap before the next one
        message->PlainText = body.join(QStringLiteral("\r\n"));
        message->Text = DecodeText(message->PlainText);
        {
          std::lock_guard<std::mutex> guard(FDataLock);
          FMessages->Add(std::move(message));
        }
        Report(smsMessages);
      } else if (match("+CUSD")) {
        if (fields.size() >= 2) {
          {
            std::lock_guard<std::mutex> guard(FDataLock);
            FUSSDPlainText = FieldText(fields, 2);
            FUSSDText = DecodeText(FUSSDPlainText);
          }
          Report(smsUSSD);
          std::lock_guard<std::mutex> guard(FDataLock);
          FUSSDMode = ussdNone;
        }
      } else if (match("+CBC")) {
        {
          std::lock_guard<std::mutex> guard(FDataLock);
          FBatteryMode = AsStatus(FieldNumber(fields, 1));
          if (fields.size() >= 2) FBatteryLevel = AsStatus(FieldNumber(fields, 2));
        }
        Report(smsBattery);
      } else {
        // Another response ("+CNUM: ...") is an answer like any text.
        handled = false;
      }
    }
    if (!handled) {
      if (TextStartsWith(line, QStringLiteral("AT+"))) {
        FCommand = line;
      } else if (!line.isEmpty() && line != QStringLiteral("OK") && line != QStringLiteral("ERROR") &&
                 !FCommand.isEmpty()) {
        struct TAnswer {
          const char* Command;
          QString TDqSMS::*Field;
          TSMSDataType DataType;
        };
        static const TAnswer answers[] = {{"AT+CGMI", &TDqSMS::FManufacturerName, smsManufacturerName},
                                          {"AT+GMI", &TDqSMS::FManufacturerID, smsManufacturerID},
                                          {"AT+GMM", &TDqSMS::FModel, smsModel},
                                          {"AT+CGSN", &TDqSMS::FIMEI, smsIMEI},
                                          {"AT+CGMR", &TDqSMS::FSoftwareVersion, smsVersion},
                                          {"AT+CIMI", &TDqSMS::FIMSI, smsIMSI},
                                          {"AT+CNUM", &TDqSMS::FISDN, smsISDN}};
        for (const TAnswer& answer : answers) {
          if (!TextStartsWith(FCommand, QString::fromLatin1(answer.Command))) continue;
          assign(this->*answer.Field, line, answer.DataType);
          break;
        }
      }
    }
    if (keep) kept << line;
  }
  const QString remaining = kept.join(QStringLiteral("\r\n"));
  {
    std::lock_guard<std::mutex> guard(FDataLock);
    FReceiveData = remaining;
  }
  if (!remaining.isEmpty()) Report(smsReceiveData);
}

// ------------------------------------------------------------- properties

TSMSMessageList TDqSMS::Messages() const {
  std::lock_guard<std::mutex> guard(FDataLock);
  return *FMessages;
}

TSMSProvider* TDqSMS::Provider() const {
  std::lock_guard<std::mutex> guard(FDataLock);
  if (FProviderIndex < 0 || FProviderIndex >= FProviders->Count()) return nullptr;
  return FProviders->GetProvider(FProviderIndex);
}

int TDqSMS::ProviderIndex() const {
  std::lock_guard<std::mutex> guard(FDataLock);
  return FProviderIndex;
}

void TDqSMS::SetProviderIndex(int AValue) {
  std::lock_guard<std::mutex> guard(FDataLock);
  FProviderIndex = (AValue >= 0 && AValue < FProviders->Count()) ? AValue : -1;
}

QString TDqSMS::ProviderName() const {
  const TSMSProvider* provider = Provider();
  return provider ? provider->Name : QString();
}

void TDqSMS::SetProviderName(const QString& AValue) { SetProviderIndex(FProviders->IndexOfName(AValue)); }

#define TDQSMS_GETTER(Type, Name, Field)             \
  Type TDqSMS::Name() const {                        \
    std::lock_guard<std::mutex> guard(FDataLock);    \
    return Field;                                    \
  }
TDQSMS_GETTER(QString, ManufacturerName, FManufacturerName)
TDQSMS_GETTER(QString, ManufacturerID, FManufacturerID)
TDQSMS_GETTER(QString, Model, FModel)
TDQSMS_GETTER(QString, IMEI, FIMEI)
TDQSMS_GETTER(QString, SoftwareVersion, FSoftwareVersion)
TDQSMS_GETTER(QString, IMSI, FIMSI)
TDQSMS_GETTER(QString, ISDN, FISDN)
TDQSMS_GETTER(std::uint32_t, ActivityStatus, FActivityStatus)
TDQSMS_GETTER(std::uint32_t, NetworkStatus, FNetworkStatus)
TDQSMS_GETTER(QString, NewSMSType, FNewSMSType)
TDQSMS_GETTER(std::uint32_t, NewSMSLocation, FNewSMSLocation)
TDQSMS_GETTER(std::uint32_t, BatteryMode, FBatteryMode)
TDQSMS_GETTER(std::uint32_t, BatteryLevel, FBatteryLevel)
TDQSMS_GETTER(TSMSUSSDType, USSDMode, FUSSDMode)
TDQSMS_GETTER(QString, FailedNumber, FFailedNumber)
#undef TDQSMS_GETTER

// What the modem said last means nothing once the port is closed.
std::uint32_t TDqSMS::Signal() const {
  if (!Active()) return 0;
  std::lock_guard<std::mutex> guard(FDataLock);
  return FSignal;
}

QString TDqSMS::ReceiveData() const {
  if (!Active()) return QString();
  std::lock_guard<std::mutex> guard(FDataLock);
  return FReceiveData;
}

QString TDqSMS::USSDText() const {
  if (!Active()) return QString();
  std::lock_guard<std::mutex> guard(FDataLock);
  return FUSSDText;
}

QString TDqSMS::USSDPlainText() const {
  if (!Active()) return QString();
  std::lock_guard<std::mutex> guard(FDataLock);
  return FUSSDPlainText;
}

TDqSyncEvent TDqSMS::OnRead() const {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  return FOnRead;
}

void TDqSMS::SetOnRead(TDqSyncEvent AValue) {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  FOnRead = std::move(AValue);
}

TDqSyncEvent TDqSMS::OnWrite() const {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  return FOnWrite;
}

void TDqSMS::SetOnWrite(TDqSyncEvent AValue) {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  FOnWrite = std::move(AValue);
}

TSMSDataEvent TDqSMS::OnData() const {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  return FOnData;
}

void TDqSMS::SetOnData(TSMSDataEvent AValue) {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  FOnData = std::move(AValue);
}

TSMSSendFailedEvent TDqSMS::OnSendFailed() const {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  return FOnSendFailed;
}

void TDqSMS::SetOnSendFailed(TSMSSendFailedEvent AValue) {
  std::lock_guard<std::mutex> guard(FCallbackLock);
  FOnSendFailed = std::move(AValue);
}
