// A simulated GSM modem on a pseudo-terminal: the AT subset the program's
// modem driver uses, with command echo, text-mode SMS submission with its
// "> " prompt, USSD answers, stored messages, and a log of what it was
// asked to send. Fault switches refuse submissions or silence the modem.
#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TSimPty;

// One message the modem accepted for sending.
struct TSimSentSMS {
  QString Number;
  QString Text; // decoded as its coding scheme says
  QString Body; // as typed at the prompt
  int DataCoding = 0;
};

class TSimModem {
public:
  explicit TSimModem(const QString& ALink);
  ~TSimModem();
  TSimModem(const TSimModem&) = delete;
  TSimModem& operator=(const TSimModem&) = delete;

  bool Start(QString* AError = nullptr);
  void Stop();
  QString LinkPath() const;

  // What the modem was asked: every command line in order ("AT+CSQ"),
  // the messages it accepted, the USSD codes it ran.
  QStringList Commands() const;
  int CommandCount(const QString& APrefix) const; // lines beginning so, any case
  std::vector<TSimSentSMS> Sent() const;
  QStringList USSDCodes() const;
  void ClearLog();

  // Fault switches.
  void SetRefuseSend(bool AOn);   // +CMGS=... answered with ERROR, no prompt
  void SetFailSubmit(bool AOn);   // the message itself answered with ERROR
  void SetSilent(bool AOn);       // reads everything, answers nothing
  void SetSubmitDelay(int AMilliseconds); // before +CMGS confirms a message

  void SetSignal(int ARssi, int ABer);
  void SetBattery(int AMode, int ALevel);
  // The answer to every USSD request: as UCS-2 hexadecimal (coding 72) or
  // as plain text (coding 15).
  void SetUSSDAnswer(const QString& AText, bool AHex);
  // A stored message; a new one also announces itself with +CMTI.
  int StoreMessage(const QString& ASender, const QString& ABody, const QString& AStatus = QStringLiteral("REC UNREAD"));
  int StoredCount() const;
  // Writes unsolicited output as it stands.
  void Inject(const QString& AText);

  bool Echo() const;
  QString MessageCenter() const;

  // One command of the control channel; the reply starts with "ok" or
  // "error".
  QString Execute(const QString& ACommand);
  static QString CommandHelp();

private:
  struct TState;
  void Run();
  void Receive(const char* AData, int ACount);
  void HandleLine(const QString& ALine);
  void HandleBody();
  void Write(const QByteArray& AData);
  void Wake();

  std::unique_ptr<TSimPty> FPty;
  std::unique_ptr<TState> FState;
  mutable std::mutex FLock; // FState
  std::mutex FWriteLock;
  std::thread FThread;
  std::atomic<bool> FStop{false};
  int FWake[2] = {-1, -1};
};
