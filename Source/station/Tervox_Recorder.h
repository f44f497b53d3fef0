// The recording station without a screen: it polls and records with the
// engine, serves the station socket, publishes every status read and the
// alarm and loss events to the windows attached, runs their settings
// transactions on its lines, reloads and pauses when they ask, and tells
// the operator (a journal) what changed. The program around it
// (tervox-recorder) adds the lock, the signals and the service manager.
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

class TTervoxDevice;

class TTervoxRecorder : public TTervoxStationHost, public TTervoxMainLink {
public:
  // A line for the operator; APriority as syslog's (3 error, 4 warning,
  // 6 information).
  using TLog = std::function<void(int APriority, const QString& AText)>;

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

private:
  void StartPolling();
  void StatusRead(TTervoxDevice& ADevice);
  void Reload(TTervoxPeerID APeer, std::uint8_t AWhat);
  void Pause(TTervoxPeerID APeer, const TervoxStation::TPause& APause);
  void Resume(TTervoxPeerID APeer);
  void ReopenSMS();
  // Empty when the transaction's user may make the write; else why not.
  QString WriteRefusal(const TervoxStation::TTransaction& ATransaction, int AAddress, int AFunction,
                       QString& ADisplayName);
  // The usage-log line of a settings request, once per request.
  void LogWrite(TTervoxPeerID APeer, const TervoxStation::TTransaction& ATransaction, int ASlave,
                const QString& ADisplayName);

  TLog FLog;
  std::unique_ptr<TTervoxStationServer> FServer;
  QString FSMSSettings; // main thread: what the modem was opened with

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
};
