// One owner of a database's acquisition: the process that polls its lines
// and writes its history holds a lock on "<database>.lock" beside it and
// writes there who it is and where it serves. The system drops the lock
// with its holder, so a killed recorder never blocks the next start.
#pragma once

#include <QString>

#include <cstdint>

// Who holds a database's lock, as its lock file says.
struct TTervoxStationHolder {
  std::int64_t PID = 0; // 0: nobody; -1: held, the holder not written yet
  QString Program;      // "tervox-recorder", "tervox"
  QString Socket;       // where it serves; empty when it does not
  bool Held() const { return PID != 0; }
};

class TTervoxStationLock {
public:
  explicit TTervoxStationLock(const QString& ADatabaseFile);
  ~TTervoxStationLock(); // releases
  TTervoxStationLock(const TTervoxStationLock&) = delete;
  TTervoxStationLock& operator=(const TTervoxStationLock&) = delete;

  // Takes the lock and writes this process's PID, AProgram and ASocket into
  // the file; false when another holder has it, or (with AError) when the
  // file cannot be opened.
  bool Acquire(const QString& AProgram, const QString& ASocket, QString* AError = nullptr);
  void Release();
  bool Held() const { return FHandle >= 0; }

  // The holder of ADatabaseFile's lock other than this process; PID 0
  // when the lock is free or this process holds it. Takes no lock itself,
  // so asking never keeps a starting recorder out.
  static TTervoxStationHolder OtherHolder(const QString& ADatabaseFile);
  static QString LockFileName(const QString& ADatabaseFile);
  // The socket a recorder of ADatabaseFile serves, beside the database.
  static QString SocketFileName(const QString& ADatabaseFile);

private:
  QString FFileName;
  int FHandle = -1;
};

// True when another process records the database this process uses: then
// this one opens no port (neither the lines nor the SMS modem).
bool StationRecordedElsewhere();
