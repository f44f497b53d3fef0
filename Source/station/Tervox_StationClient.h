// A window's side of the station socket: while a recorder holds the
// database, the window attaches instead of polling. A thread of the client
// keeps the connection (and makes it again when the recorder comes back),
// takes the recorder's status reads into the controllers of DeviceList,
// hands alarms and loss alerts to the main window, and carries the
// window's settings transactions to the recorder's lines.
//
// TTervoxRecordingPause is the maintenance side: it holds the recorder
// paused (no polling, no history, its database closed) while it lives.
#pragma once

#include "plant/Tervox_Engine.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class TTervoxStationClient : public TTervoxRemoteStation {
public:
  enum class TState : std::uint8_t { Connecting, Attached, Gone };
  // Called on the client's thread; the window posts them to its own.
  struct THandlers {
    // APID: the recorder's process while attached, else its last one (0: none seen).
    std::function<void(TState AState, std::int64_t APID)> StateChanged;
    std::function<void()> LossAlertClosed;
    std::function<void(int ADeviceID, int ASlot)> AlarmAcknowledged;
    // Recording paused for maintenance (or resumed), with why.
    std::function<void(bool APaused, const QString& AText)> PauseChanged;
    // Another window changed the ports or controllers.
    std::function<void()> Reloaded;
  };

  explicit TTervoxStationClient(const QString& ADatabaseFile);
  ~TTervoxStationClient() override;
  TTervoxStationClient(const TTervoxStationClient&) = delete;
  TTervoxStationClient& operator=(const TTervoxStationClient&) = delete;

  void Start(THandlers AHandlers);
  // Logs out and ends the connection; transactions still waiting fail at
  // once.
  void Stop();
  // The TERVOX user whose transactions these are, logged in through the
  // recorder now and after every reconnection (the password stays in
  // memory only). Transactions wait for the recorder's answer; a refused
  // login leaves them to the recorder's refusal.
  void SetUser(const QString& AUsername, const QString& APassword);

  std::shared_ptr<TDqFrameTransport> LineTransport(int APortID) override;
  void RequestStatus(int ADeviceID) override;

  void SilenceLossAlert(int ASeconds) override;
  void AcknowledgeAlarm(int ADeviceID, int ASlot) override;
  // Tell the recorder (TervoxStation::TReloadWhat bits).
  void Reload(std::uint8_t AWhat);

  class TCore; // shared with the lines' transports

private:
  std::shared_ptr<TCore> FCore;
};

class TTervoxRecordingPause {
public:
  // Pauses the recorder of ADatabaseFile when one holds it. Raises, naming
  // the recorder's process, when one holds it and cannot be reached or
  // refuses; with no recorder it does nothing.
  TTervoxRecordingPause(const QString& ADatabaseFile, const QString& AUser, const QString& AReason);
  // Resumes it (it resumes by itself too when this process ends).
  ~TTervoxRecordingPause();
  TTervoxRecordingPause(const TTervoxRecordingPause&) = delete;
  TTervoxRecordingPause& operator=(const TTervoxRecordingPause&) = delete;

  bool Paused() const { return FHandle >= 0; }
  std::int64_t RecorderPID() const { return FPID; }

private:
  void KeepAlive();
  int FHandle = -1;
  std::int64_t FPID = 0;
  struct TKeeper;
  std::unique_ptr<TKeeper> FKeeper;
};
