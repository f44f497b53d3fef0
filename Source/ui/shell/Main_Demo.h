// The demonstration: simulated controllers and a simulated GSM modem on
// pseudo-terminals, served by tervox-sim as a child process (the program
// itself holds no simulator), and a database of its own that points at
// them, so a new user sees live panels within seconds.
#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class QProcess;
class QTemporaryDir;

class TTervoxDemo {
public:
  // ASimulator: the tervox-sim to run; by default the one beside the
  // running program.
  explicit TTervoxDemo(const QString& ASimulator = QString());
  ~TTervoxDemo();
  TTervoxDemo(const TTervoxDemo&) = delete;
  TTervoxDemo& operator=(const TTervoxDemo&) = delete;

  // Starts tervox-sim in a temporary folder, waits for it to be ready and
  // names the demo database file (created and seeded on first use). False
  // with AError when the simulator is missing or does not get ready.
  bool Start(QString* AError);
  // Fills a freshly created demo database: the line, three controllers,
  // a device group with a number, the modem's settings, a day of history.
  void Seed();
  QString DatabaseFileName() const;

  // One command of the simulator's control channel, for the controller
  // line ("set 1 1281 0") or for the modem ("sent"); the answer's lines,
  // the first beginning "ok" or "error" (empty when the simulator did not
  // answer).
  QStringList ControlLine(const QString& ACommand);
  QStringList ControlModem(const QString& ACommand);
  // The simulator's process id (0 when it is not running).
  qint64 SimulatorProcessId() const;

private:
  QStringList Control(const QString& ALink, const QString& ACommand);
  QString LinkPath(const QString& AName) const;
  // Terminates the simulator and waits for it; killed when it lingers.
  void StopSimulator();
  void SeedHistory();
  QString FSimulator;
  std::unique_ptr<QTemporaryDir> FDir;
  std::unique_ptr<QProcess> FProcess;
};
