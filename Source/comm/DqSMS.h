// The GSM modem driver: text AT commands on a serial port of its own, run
// one job at a time on that port's worker. It sends SMS in UCS-2, reads
// the signal and the modem's identity, runs USSD requests (balance, refill,
// any code) and lists and deletes stored messages.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class TDqComPort;
class TDqEventData;
class TDqSMS;

// As in DqEvent.h: the port's callbacks take the port's event.
using TDqSyncEvent = std::function<void(TDqEventData* AEventData)>;

class TSMSProvider {
public:
  QString Name;
  QString MessageCenterNumber;
  QString BalanceCode;
  QString RefillCode; // "xxxx" stands for the refill PIN
};

class TSMSProviderList {
public:
  TSMSProvider* AddProvider(const QString& AName);
  int IndexOfName(const QString& AName) const; // exact, from the last
  QString NameOfIndex(int AIndex) const;       // empty outside the list
  int Count() const { return static_cast<int>(FItems.size()); }
  TSMSProvider* GetProvider(int AIndex) const;
  void SetProvider(int AIndex, const TSMSProvider& AProvider); // copies the fields
  void Clear() { FItems.clear(); }

private:
  std::vector<std::unique_ptr<TSMSProvider>> FItems;
};

// A stored message as the modem lists it.
class TSMSMessage {
public:
  QString ID;
  QString Title; // the message status ("REC UNREAD" ...)
  QString Sender;
  QString Detail;
  QString SendTime;
  QString Text;      // decoded
  QString PlainText; // as received
};

class TSMSMessageList {
public:
  TSMSMessageList() = default;
  TSMSMessageList(const TSMSMessageList& AList) { Assign(AList); }
  TSMSMessageList& operator=(const TSMSMessageList& AList);
  TSMSMessageList(TSMSMessageList&&) noexcept = default;
  TSMSMessageList& operator=(TSMSMessageList&&) noexcept = default;

  TSMSMessage* Add(std::unique_ptr<TSMSMessage> AMessage);
  int Count() const { return static_cast<int>(FItems.size()); }
  TSMSMessage* GetSMS(int AIndex) const;
  void SetSMS(int AIndex, std::unique_ptr<TSMSMessage> AMessage);
  void Assign(const TSMSMessageList& AList); // copies every message
  void Clear() { FItems.clear(); }

private:
  std::vector<std::unique_ptr<TSMSMessage>> FItems;
};

enum TSMSDataType : std::uint8_t {
  smsManufacturerName,
  smsManufacturerID,
  smsModel,
  smsIMEI,
  smsVersion,
  smsIMSI,
  smsISDN,
  smsActivityStatus,
  smsNetworkStatus,
  smsSignal,
  smsBattery,
  smsUSSD,
  smsMessages,
  smsNewMessage,
  smsReceiveData
};

enum TSMSUSSDType : std::uint8_t { ussdNone, ussdDial, ussdBalance, ussdRefill };

// One field of a modem response: a quoted text or a decimal number.
struct TSMSField {
  bool IsText = false;
  QString Text; // the text, or the number's digits as they came
  std::int64_t Number = 0;
  QString AsText() const { return IsText ? Text : QString::number(Number); }
};

using TSMSDataEvent = std::function<void(TDqSMS* ASender, TSMSDataType ADataType)>;
using TSMSSendFailedEvent = std::function<void(TDqSMS* ASender, const QString& AFailedNumber)>;
// Shows an error message box (error icon, OK button) on the UI thread.
using TSMSErrorNotifier = std::function<void(const QString& AMessage)>;

class TDqSMS {
public:
  // AThreadMonitor: the port watches the modem's output every 100 ms.
  explicit TDqSMS(bool AThreadMonitor, const QString& APortName = QString());
  TDqSMS(bool AThreadMonitor, int APortNumber);
  ~TDqSMS();
  TDqSMS(const TDqSMS&) = delete;
  TDqSMS& operator=(const TDqSMS&) = delete;

  bool OpenPort(const QString& APortName);
  bool OpenPort(int APortNumber);
  void ClosePort();
  bool Active() const;

  void SendSMS(const QString& APhoneNumber, const QString& AText);
  void DeleteAndSendSMS(const QString& APhoneNumber, const QString& AText);
  void DeleteSMS(int AIndex);
  void ReadSMS();
  void ReadBalance();
  void Refill(const QString& ACode);
  void Dial(const QString& ACode);
  void ReadSignal();
  void ReadInformation();
  void SendMessageCenterNumber();

  // Every UTF-16 unit as four upper-case hexadecimal digits.
  static QString EncodeUCS2(const QString& AText);
  // Four hexadecimal digits a character; a short tail is dropped, a group
  // that is not hexadecimal gives character 0.
  static QString DecodeUCS2(const QString& AHex);
  // Message bodies and USSD texts: decoded when they begin with "0".
  static QString DecodeText(const QString& AText);
  // The fields after APrefix and ": "; none when the line lacks them.
  static std::vector<TSMSField> SplitFields(const QString& ALine, const QString& APrefix);
  // Takes in what the modem sent (responses, unsolicited lines, echoes):
  // fills the fields and reports each kind of data.
  void ParseModemOutput(const QString& AText);

  // The UI side registers how the driver's error messages are shown. From
  // any thread the message reaches the notifier on the UI thread, and only
  // one is shown at a time; the caller never waits for it.
  static void SetErrorNotifier(TSMSErrorNotifier ANotifier);
  static void ShowError(const QString& AMessage);

  TDqComPort* Port() const { return FPort.get(); }
  // A copy: the worker refills the list.
  TSMSMessageList Messages() const;
  TSMSProviderList& Providers() { return *FProviders; }
  TSMSProvider* Provider() const;
  int ProviderIndex() const;
  void SetProviderIndex(int AValue);
  QString ProviderName() const;
  void SetProviderName(const QString& AValue);

  QString ManufacturerName() const;
  QString ManufacturerID() const;
  QString Model() const;
  QString IMEI() const;
  QString SoftwareVersion() const;
  QString IMSI() const;
  QString ISDN() const;
  std::uint32_t ActivityStatus() const;
  std::uint32_t NetworkStatus() const;
  QString NewSMSType() const;
  std::uint32_t NewSMSLocation() const;
  std::uint32_t Signal() const;
  std::uint32_t BatteryMode() const;
  std::uint32_t BatteryLevel() const;
  QString ReceiveData() const;
  QString USSDText() const;
  QString USSDPlainText() const;
  TSMSUSSDType USSDMode() const;
  QString FailedNumber() const;

  TDqSyncEvent OnRead() const;
  void SetOnRead(TDqSyncEvent AValue);
  TDqSyncEvent OnWrite() const;
  void SetOnWrite(TDqSyncEvent AValue);
  TSMSDataEvent OnData() const;
  void SetOnData(TSMSDataEvent AValue);
  TSMSSendFailedEvent OnSendFailed() const;
  void SetOnSendFailed(TSMSSendFailedEvent AValue);

private:
  void Build(bool AThreadMonitor);
  bool Running() const;
  void Pause(int AMilliseconds) const;
  void Queue(const QString& AName, std::function<void()> AWork);
  QString SendCommand(const QString& ACommand);
  QString SendBody(const QString& AEncodedBody);
  bool SendExpecting(const QString& ACommand, const QString& AExpected);
  bool SendOne(const QString& ANumber, const QString& AEncodedBody);
  void RunSendSMS(const QString& ANumbers, const QString& AText);
  void RunUSSD(TSMSUSSDType AMode, const QString& ACode);
  void ParseOutput(const QString& AText);
  void Report(TSMSDataType ADataType);

  std::unique_ptr<TDqComPort> FPort;
  std::unique_ptr<TSMSMessageList> FMessages;
  std::unique_ptr<TSMSProviderList> FProviders;
  int FProviderIndex = -1; // the selected provider; -1 none
  std::uint32_t FSignal = 0;
  std::uint32_t FBatteryMode = 0;
  std::uint32_t FBatteryLevel = 0;
  std::uint32_t FNewSMSLocation = 0;
  QString FCommand; // worker only
  QString FReceiveData;
  QString FNewSMSType;
  QString FFailedNumber;
  TDqSyncEvent FOnRead;
  TDqSyncEvent FOnWrite;
  TSMSDataEvent FOnData;
  TSMSSendFailedEvent FOnSendFailed;
  QString FManufacturerName;
  QString FManufacturerID;
  QString FModel;
  QString FIMEI;
  QString FSoftwareVersion;
  QString FIMSI;
  QString FISDN;
  QString FUSSDText;
  QString FUSSDPlainText;
  std::uint32_t FActivityStatus = 0;
  std::uint32_t FNetworkStatus = 0;
  TSMSUSSDType FUSSDMode = ussdNone;

  bool FThreadMonitor = false;
  // Guards every field above that the worker fills and others read, and
  // the provider selection.
  mutable std::mutex FDataLock;
  mutable std::mutex FCallbackLock;
};
