// A multi-drop Modbus RTU line of simulated controllers on one
// pseudo-terminal. It answers functions 03 and 06 for the slave addresses
// it serves, ignores frames for other addresses without losing the next
// frame, can pace its bytes like a real baud rate, and has fault switches
// per slave and for the line. The same controllers can stand behind a TCP
// port instead: as a Modbus TCP gateway (MBAP, unit identifier = slave
// address) or as a serial device server passing RTU frames through.
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
  CorruptCRC,  // answers with a damaged CRC (Modbus TCP: a wrong length field)
  WrongSlave,  // answers with another slave's address
  Slow,        // answers after SlowDelay ms
  Exception,   // answers every request with exception ExceptionCode
  Transaction, // Modbus TCP: answers with another transaction identifier
  Cut,         // sends half the reply (network: then closes the connection)
  Trickle      // sends the reply one byte a second
};

enum class TSimLineMode : std::uint8_t { Pty, Tcp, RtuTcp };

class TSimControllerLine {
public:
  // ABaud 0: no wire delay.
  TSimControllerLine(const QString& ALink, const std::vector<int>& AAddresses, int ABaud = 0);
  // Behind a TCP port on the loopback and every other interface (port 0:
  // one the system picks, see TcpPort).
  TSimControllerLine(TSimLineMode AMode, int ATcpPort, const std::vector<int>& AAddresses,
                     const QString& ABindAddress = QString());
  ~TSimControllerLine();
  TSimControllerLine(const TSimControllerLine&) = delete;
  TSimControllerLine& operator=(const TSimControllerLine&) = delete;

  bool Start(QString* AError = nullptr);
  void Stop();
  QString LinkPath() const;

  void SetFault(int AAddress, TSimFault AFault, bool AOn);
  void SetSlowDelay(int AAddress, int AMilliseconds);
  void SetExceptionCode(int AAddress, int ACode);
  TSimLineMode Mode() const { return FMode; }
  // The port listened on (network modes, once started).
  int TcpPort() const { return FTcpPort.load(); }
  // Network connections currently open.
  int Connections() const { return FConnections.load(); }
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
  struct TReply;
  void Run();
  void RunPty();
  void RunNetwork();
  bool OpenListener(QString* AError);
  void CloseListener();
  // The reply to an intact RTU frame, if it is answered.
  bool HandleFrame(const QByteArray& AFrame, TReply& AReply);
  void SendReply(const QByteArray& AFrame, int ARequestLength);
  void DeliverPty(const TReply& AReply);
  // Network modes: false when the connection is to be closed.
  bool Deliver(int AHandle, const TReply& AReply, std::uint16_t ATransaction);
  bool Wait(int AMilliseconds);
  // As Wait, but false as soon as the peer on AHandle has closed.
  bool WaitWhilePeerListens(int AHandle, int AMilliseconds);
  void RunLineCommand(bool APlug);
  double NowSeconds() const;

  mutable std::mutex FLock;
  std::unique_ptr<TSimPty> FPty;
  std::map<int, std::unique_ptr<TSlave>> FSlaves;
  int FBaud;
  TSimLineMode FMode = TSimLineMode::Pty;
  QString FBindAddress;
  int FListen = -1;
  std::atomic<int> FTcpPort{0};
  std::atomic<int> FConnections{0};
  std::thread FThread;
  std::atomic<bool> FStop{false};
  int FWake[2] = {-1, -1};
  // A line command (plug/unplug) for the line thread, and its completion.
  std::condition_variable FCommandDone;
  int FPendingCommand = 0; // 0 none, 1 unplug, 2 replug
  std::atomic<int> FAnswered{0}, FIgnored{0}, FDropped{0};
};
