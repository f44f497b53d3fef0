// The demonstration's devices, as `tervox --demo` shows them: three
// controllers of different builds on the line ttyDEMO0 (slave addresses 1,
// 2 and 5, two of them running programs) and a GSM modem on ttyGSM0, both
// linked in one folder. tervox-sim demo serves them.
#pragma once

#include <QString>

#include <memory>

class TSimControllerLine;
class TSimModem;

class TSimDemo {
public:
  explicit TSimDemo(const QString& ADir);
  ~TSimDemo();
  TSimDemo(const TSimDemo&) = delete;
  TSimDemo& operator=(const TSimDemo&) = delete;

  // Starts the line with its controllers set up, then the modem. False
  // with AError when either cannot start.
  bool Start(QString* AError = nullptr);
  void Stop();

  TSimControllerLine& Line() const { return *FLine; }
  TSimModem& Modem() const { return *FModem; }

  // The links' names in the folder.
  static QString LineName();
  static QString ModemName();

private:
  std::unique_ptr<TSimControllerLine> FLine;
  std::unique_ptr<TSimModem> FModem;
};
