// The demonstration: simulated controllers and a simulated GSM modem on
// pseudo-terminals inside the program, and a database of its own that
// points at them, so a new user sees live panels within seconds.
#pragma once

#include <QString>

#include <memory>

class TSimControllerLine;
class TSimModem;
class QTemporaryDir;

class TTervoxDemo {
public:
  TTervoxDemo();
  ~TTervoxDemo();
  TTervoxDemo(const TTervoxDemo&) = delete;
  TTervoxDemo& operator=(const TTervoxDemo&) = delete;

  // Starts the simulators and names the demo database file (created and
  // seeded on first use). False with AError when a simulator cannot start.
  bool Start(QString* AError);
  // Fills a freshly created demo database: the line, three controllers,
  // a device group with a number, the modem's settings, a day of history.
  void Seed();
  QString DatabaseFileName() const;
  TSimControllerLine* Line() const { return FLine.get(); }
  TSimModem* Modem() const { return FModem.get(); }

private:
  void SeedHistory();
  std::unique_ptr<QTemporaryDir> FDir;
  std::unique_ptr<TSimControllerLine> FLine;
  std::unique_ptr<TSimModem> FModem;
};
