// A multi-drop Modbus RTU line of simulated controllers on one
// pseudo-terminal. It answers functions 03 and 06 for the slave addresses
// it serves, ignores frames for other addresses without losing the next
// frame, can pace its bytes like a real baud rate, and has fault switches
// per slave and for the line.
#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TSimController;
class TSimPty;

enum class TSimFault : std::uint8_t {
  Silent,      // never answers
  CorruptCRC,  // answers with a damaged CRC
  WrongSlave,  // answers with another slave's address
  Slow         // answers after SlowDelay ms
};

class TSimControllerLine {
public:
  // ABaud 0: no wire delay.
  TSimControllerLine(const QString& ALink, const std::vector<int>& AAddresses, int ABaud = 0);
  ~TSimControllerLine();
  TSimControllerLine(const TSimControllerLine&) = delete;
  TSimControllerLine& operator=(const TSimControllerLine&) = delete;

  bool Start(QString* AError = nullptr);
  void Stop();
  QString LinkPath() const;

  void SetFault(int AAddress, TSimFault AFault, bool AOn);
  void SetSlowDelay(int AAddress, int AMilliseconds);
  // Unplugging hangs the line up and removes the link; replugging makes a
  // fresh terminal under the same link. Both wait for the line thread.
  void Unplug();
  void Replug();
  bool Plugged();

  // Runs f on controller AAddress under the line's lock; false when the
  // address is not served.
  bool WithController(int AAddress, const std::function<void(TSimController&)>& AFunction);

  // One command of the control channel; the reply starts with "ok" or
  // "error". See tervox-sim --help for the commands.
  QString Execute(const QString& ACommand);
  static QString CommandHelp();

  // Frames seen: answered, ignored (other addresses), dropped (damaged).
  int FramesAnswered() const { return FAnswered.load(); }
  int FramesIgnored() const { return FIgnored.load(); }
  int FramesDropped() const { return FDropped.load(); }
  // Intact frames addressed to AAddress, answered or not (a silent one too).
  int RequestCount(int AAddress) const;

private:
  struct TSlave;
  void Run();
  void HandleFrame(const QByteArray& AFrame);
  void SendReply(const QByteArray& AFrame, int ARequestLength);
  void RunLineCommand(bool APlug);
  double NowSeconds() const;

  mutable std::mutex FLock;
  std::unique_ptr<TSimPty> FPty;
  std::map<int, std::unique_ptr<TSlave>> FSlaves;
  int FBaud;
  std::thread FThread;
  std::atomic<bool> FStop{false};
  int FWake[2] = {-1, -1};
  // A line command (plug/unplug) for the line thread, and its completion.
  std::condition_variable FCommandDone;
  int FPendingCommand = 0; // 0 none, 1 unplug, 2 replug
  std::atomic<int> FAnswered{0}, FIgnored{0}, FDropped{0};
};
