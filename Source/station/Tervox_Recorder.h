// The recording station without a screen: it polls and records with the
// engine, serves the station socket, publishes every status read and the
// alarm and loss events to the windows attached, runs their settings
// transactions on its lines, reloads and pauses when they ask, and tells
// the operator (a journal) what changed. The program around it
// (tervox-recorder) adds the lock, the signals and the service manager.
//
// Each window logs its user in over the socket; the connection's
// transactions then act as that user, whose group decides from each
// frame's function and registers what may be written. Logins, refusals
// and forwarded writes go to the audit trail.
#pragma once

#include "plant/Tervox_Alerts.h"
#include "Tervox_StationServer.h"

#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>

class TDqComPort;
class TTervoxDevice;
namespace TervoxAudit {
struct TEntry;
}

class TTervoxRecorder : public TTervoxStationHost, public TTervoxMainLink {
public:
  // A line for the operator; APriority as syslog's (3 error, 4 warning,
  // 6 information).
  using TLog = std::function<void(int APriority, const QString& AText)>;

  // A failed login makes the connection's next one wait: the first delay,
  // doubled at each failure up to the last.
  static constexpr std::chrono::milliseconds kFirstLoginDelay{1000};
  static constexpr std::chrono::milliseconds kLastLoginDelay{30000};
  static std::chrono::milliseconds LoginDelay(int AFailures);

  explicit TTervoxRecorder(TLog ALog);
  ~TTervoxRecorder() override;

  // Serves ASocket and starts polling; the engine objects and the
  // database exist. Needs a QCoreApplication: requests that stop or start
  // polling run on its thread.
  bool Start(const QString& ASocket, QString* AError);
  void Stop();

  // True while every line with enabled controllers finished a status read
  // within ALimit, or while recording is paused on purpose.
  bool LinesAlive(std::chrono::milliseconds ALimit) const;
  bool Paused() const;

  // TTervoxMainLink: the engine's alarms and loss alerts, for the windows.
  void DeviceLost(int ADeviceID) override;
  void DeviceAlarm(std::unique_ptr<TTervoxAlarmMessage> AMessage) override;

  // TTervoxStationHost
  void PeerWelcome(TTervoxPeerID APeer, const TervoxStation::THello& AHello) override;
  void PeerRequest(TTervoxPeerID APeer, const TervoxStation::TMessage& AMessage) override;
  void PeerTransaction(TTervoxPeerID APeer, const TervoxStation::TTransaction& ATransaction) override;
  void PeerGone(TTervoxPeerID APeer) override;
  void PeerNote(const QString& AText) override;

  // A line as the journal names it.
  static QString LineText(const TDqComPort& APort);

private:
  // A connection's user, as its last login left it.
  struct TSession {
    bool LoggedIn = false;
    QString Username;
    QString DisplayName;
    bool CanChangeMode = false;
    bool Checking = false;      // a login waits for its check
    std::uint64_t Attempt = 0;  // the login whose check counts
    int Failures = 0;           // in a row, on this connection
  };
  class TDesk;

  void StartPolling();
  void StatusRead(TTervoxDevice& ADevice);
  void Reload(TTervoxPeerID APeer, std::uint8_t AWhat);
  void Pause(TTervoxPeerID APeer, const TervoxStation::TPause& APause);
  void Resume(TTervoxPeerID APeer);
  void ReopenSMS();
  void StartDesk();
  void StopDesk();
  // Logins (Tervox_RecorderSessions.cpp): passwords are checked on the
  // desk's thread, never on the server's or a line's.
  void Login(TTervoxPeerID APeer, const TervoxStation::TLogin& ALogin);
  void CheckLogin(TTervoxPeerID APeer, std::uint64_t AAttempt, const QString& AUser, const QString& APassword);
  void Logout(TTervoxPeerID APeer, const QString& AAction);
  TSession SessionOf(TTervoxPeerID APeer) const;
  // Appended on the desk's thread; entries still queued at a stop go too.
  void Audit(const TervoxAudit::TEntry& AEntry);
  // The usage-log line of a settings request, once per request.
  void LogWrite(TTervoxPeerID APeer, const TervoxStation::TTransaction& ATransaction, int ASlave,
                const QString& ADisplayName);

  TLog FLog;
  std::unique_ptr<TDesk> FDesk;
  std::unique_ptr<TTervoxStationServer> FServer;
  QString FSMSSettings; // main thread: what the modem was opened with

  // Held by the desk while it uses the database, and by a pause while it
  // closes it: the desk finds it paused or the database open.
  std::mutex FDatabaseUse;
  mutable std::mutex FLock; // what follows
  std::set<TTervoxPeerID> FPausedBy;
  bool FPaused = false;
  std::map<int, std::chrono::steady_clock::time_point> FLastPass; // by port, lines with enabled controllers
  std::map<int, int> FLineState;   // by port: 1 open, 0 not
  std::map<int, int> FDeviceState; // by device: 1 answers, 0 not
  int FLossAlertDevice = 0;        // the loss alert no window closed yet
  std::map<std::pair<int, int>, QString> FOpenAlarms; // (device, slot) -> text
  std::map<int, std::pair<TTervoxPeerID, std::uint32_t>> FLoggedRequest; // by port
  std::set<int> FStatusAsked; // controllers with a read asked by a window
  std::map<TTervoxPeerID, TSession> FSessions;
};
