// Serial ports on termios: exclusive opening, line settings, the read and
// write time-outs (realised with poll), byte/block/text I/O, a mutex for
// callers and a worker thread of the port's own for queued writes and the
// read monitor. TDqComPortList holds the configured ports of DevicePort.
#pragma once

#include "core/DqEvent.h"

#include <QString>
#include <QtCore/qcontainerfwd.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// dqtTCP: Modbus TCP (MBAP header); dqtRTUTCP: Modbus RTU frames, CRC and
// all, over a TCP connection (a serial device server in raw mode).
enum TDqPortType : std::uint8_t { dqtNone, dqtCOM, dqtTCP, dqtRTUTCP };
inline bool DqIsNetworkPort(int APortType) { return APortType == dqtTCP || APortType == dqtRTUTCP; }

// One row of DevicePort.
class TDqPortData {
public:
  void Assign(const TDqPortData& AData) { *this = AData; }

  int ID = -1;
  QString Name;
  TDqPortType PortType = dqtNone;
  QString PortName;
  int BaudRate = 0;
  std::uint8_t DataBits = 0;
  std::uint8_t StopBits = 0; // 0 one, 1 one and a half, 2 two
  std::uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
  QString IPAddress;
  QString PortNumber;
  bool Enabled = false;
};

// Where a port leads, for lists and logs: the device of a serial port,
// host:port of a network line ([v6]:port).
QString DqPortAddressText(const TDqPortData& AData);

// The wait before the next attempt to open a line that keeps failing:
// 250 ms doubling up to 2 s, none once it opened. Serial ports and network
// lines share it.
class TDqReopenBackOff {
public:
  bool Due(std::chrono::steady_clock::time_point ANow) const { return ANow >= FNext; }
  void Opened(std::chrono::steady_clock::time_point ANow, bool AOk) {
    FBackOff = AOk ? std::chrono::milliseconds(0)
                   : std::min(std::max(FBackOff * 2, std::chrono::milliseconds(250)), std::chrono::milliseconds(2000));
    FNext = ANow + FBackOff;
  }
  std::chrono::milliseconds Current() const { return FBackOff; }

private:
  std::chrono::steady_clock::time_point FNext{};
  std::chrono::milliseconds FBackOff{0};
};

// Time-outs in ms with the classic serial meaning: the interval limits the
// gap between two bytes once the first has come; a read of n bytes ends
// after multiplier x n + total; a write likewise. All read values 0 wait
// without limit; interval kDqTimeOutMax with no total returns at once.
struct TDqTimeOuts {
  std::uint32_t ReadInterval = 0;
  std::uint32_t ReadMultiplier = 0;
  std::uint32_t ReadTotal = 0;
  std::uint32_t WriteMultiplier = 0;
  std::uint32_t WriteTotal = 0;
};
inline constexpr std::uint32_t kDqTimeOutMax = 0xFFFFFFFFu;

// A line reached through another process instead of a device node (a
// window watching a recorder's lines): whole Modbus frames go out and the
// reply's bytes come back. Transactions that belong together (a selection
// and what it selects) are bracketed, so the far end keeps the line for them.
class TDqFrameTransport {
public:
  virtual ~TDqFrameTransport() = default;
  // The reply's bytes as they arrived (none, or cut short, when the device
  // did not answer well); false with AError when the request never reached
  // the line.
  virtual bool Transact(const QByteArray& ARequest, QByteArray& AReply, QString& AError) = 0;
  virtual void BeginRequest(const QString& AName) { (void)AName; }
  virtual void EndRequest() {}
  // As Transact, and what went wrong that the reply's bytes cannot tell
  // (a network line's framing, a reply to another transaction): AError
  // then says it and AReply is empty.
  enum class TFault : std::uint8_t { None, Framing, Foreign };
  virtual bool TransactChecked(const QByteArray& ARequest, QByteArray& AReply, QString& AError, TFault& AFault) {
    AFault = TFault::None;
    return Transact(ARequest, AReply, AError);
  }
};

// Error codes of TDqComPort::Error.
enum : int { dqeNone = 0, dqeRead = 1, dqeWrite = 2, dqeNotOpen = 3, dqeConfig = 4 };

// Line error flags of ErrorCode (from the driver's error counters).
enum : std::uint32_t { dqceOverrun = 0x2, dqceParity = 0x4, dqceFrame = 0x8, dqceBreak = 0x10 };

class TDqComPort {
public:
  // ReadText stops after this many characters or this long, so that a
  // device that never stops sending cannot keep the reader forever.
  static constexpr int kReadTextMaxChars = 16384;
  static constexpr std::uint32_t kReadTextMaxMs = 5000;

  TDqComPort();
  virtual ~TDqComPort();
  TDqComPort(const TDqComPort&) = delete;
  TDqComPort& operator=(const TDqComPort&) = delete;

  bool Open();
  bool Open(const QString& APortName);
  bool Open(int APortNo); // "COM" + number: only a name of an old backup
  // Open() again after the port closed itself (hang-up, failures), with a
  // back-off while it keeps failing; false while waiting out the back-off.
  bool Reopen();
  void Close();
  bool Active() const { return FActive.load(); }

  bool Config();
  bool Config(int ABaudrate, int AByteSize, int AStopBits, int AParity);
  void LoadConfig();
  void SetTimeOut(std::uint32_t AReadInterval, std::uint32_t AReadMultiplier, std::uint32_t AReadTotal,
                  std::uint32_t AWriteMultiplier, std::uint32_t AWriteTotal);
  TDqTimeOuts TimeOuts();
  void SetRTSControlEnabled(bool AValue);

  int ReadBlock(void* AData, int ABlockSize);
  bool ReadByte(std::uint8_t& AData, std::uint32_t AMilliseconds);
  bool ReadChar(QChar& AChar, std::uint32_t AMilliseconds);
  QString ReadText();
  int WriteBlock(const void* AData, int ABlockSize);
  bool WriteChar(char AChar, std::uint32_t AMilliseconds);
  bool WriteText(const QString& AText);
  bool WriteLn(const QString& AText);
  QString WriteAndReadText(const QString& AText);
  QString WriteLnAndReadText(const QString& AText);

  // A reply with ACount more bytes on their way: sleeps while all but the
  // last of those not yet read ahead cross the line at its baud rate, so
  // they are then taken in one read rather than a wake-up each. With
  // AQuietMicroseconds, sleeps while all of them cross and the line then
  // stays quiet that long: when the next read finds them all, the quiet
  // time before the next request has passed in the same sleep.
  void AwaitBytes(int ACount, std::uint32_t AQuietMicroseconds = 0);
  // Discards input until the line has been silent for AMicroseconds (or
  // AMaxMilliseconds passed); returns the bytes discarded.
  int WaitLineSilence(std::uint32_t AMicroseconds, std::uint32_t AMaxMilliseconds);

  void ThreadWrite(const QString& AText);
  void ThreadWriteLn(const QString& AText);
  void AddEvent(std::unique_ptr<TDqEventData> AEventData);
  void AddEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender);
  void AddEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender, const TVariant& AValue);
  void AddFirstEvent(std::unique_ptr<TDqEventData> AEventData);
  void AddFirstEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender);
  void AddFirstEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender, const TVariant& AValue);
  void AddPrivilegeEvent(std::unique_ptr<TDqEventData> AEventData);
  void AddPrivilegeEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender);
  void AddTimerEvent(std::unique_ptr<TDqEventData> AEventData);
  void AddTimerEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender, std::uint32_t AInterval,
                     bool AForever);
  void AddTimerEvent(const QString& AName, TDqSyncEvent AEvent, const void* ASender, const TVariant& AValue,
                     std::uint32_t AInterval, bool AForever);
  void RemoveEvent(const void* ASender);
  bool WaitRemoveEvent(const void* ASender, std::uint32_t ATimeOut);

  int ReadDataCount();
  int WriteDataCount();
  void Purge();
  // The last error code; reading resets it.
  int Error() { return FComError.exchange(dqeNone); }
  std::uint32_t ErrorCode() const { return FErrorCode.load(); }

  void Lock();
  void Unlock();

  // With a transport the port opens no device: opening only marks it
  // active, and Modbus transactions go through the transport.
  void SetFrameTransport(std::shared_ptr<TDqFrameTransport> ATransport);
  std::shared_ptr<TDqFrameTransport> FrameTransport() const;

  // A network line's settings bring its transport (DqNetLine.h) with them.
  void SetPortData(const TDqPortData& AData);
  static void LoadPortList(QStringList& AList, bool AvailabledOnly);

  TDqPortData& PortData() { return FPortData; }
  const TDqPortData& PortData() const { return FPortData; }
  QString PortName();
  bool ThreadMode() const { return FThreadMode.load(); }
  void SetThreadMode(bool AValue);
  // The current worker (replaced by every Close).
  TDqEventThread* Thread();
  bool FixTimeOut() const { return FFixTimeOut.load(); }
  void SetFixTimeOut(bool AValue) { FFixTimeOut = AValue; }
  TDqSyncEvent OnRead();
  void SetOnRead(TDqSyncEvent AValue);
  TDqSyncEvent OnWrite();
  void SetOnWrite(TDqSyncEvent AValue);

private:
  struct TSavedLine;
  std::shared_ptr<TDqEventThread> CurrentThread();
  void ReplaceThread();
  void JoinRetired();
  void CloseHandle();
  int TakeReadAhead(char* AData, int ACount);
  int DoRead(char* AData, int ACount, const TDqTimeOuts& ATimeOuts, bool& AFailed);
  int DoWrite(const char* AData, int ACount, const TDqTimeOuts& ATimeOuts, bool& AFailed);
  int ReadWith(void* AData, int ACount, const TDqTimeOuts* APerOperation);
  void CountReadResult(bool AFailed);
  void RefreshErrorCode();
  void CloseIfFailedTooOften();
  int WriteLocked(const void* AData, int ABlockSize);
  int DrainLocked(std::uint32_t AMicroseconds, std::uint32_t AMaxMilliseconds);

  TDqPortData FPortData;
  QString FPortName;
  int FComID = -1;
  bool FIsPty = false;
  std::unique_ptr<TSavedLine> FDcbOld;
  TDqTimeOuts FCommTimeoutsOld;
  TDqTimeOuts FTimeOuts;
  std::atomic<int> FComError{dqeNone};
  int FErrorCount = 0;
  std::atomic<std::uint32_t> FErrorCode{0};
  std::atomic<bool> FThreadMode{false};
  std::atomic<bool> FFixTimeOut{true};
  std::atomic<bool> FActive{false};
  std::atomic<bool> FSelfClose{false};
  std::atomic<bool> FHungUp{false}; // the line hung up or its device vanished
  TDqReopenBackOff FReopenBackOff;
  std::chrono::steady_clock::time_point FLastActivity;
  std::int64_t FLineCounts[4] = {0, 0, 0, 0};
  // Received, not yet taken: one read takes all that is queued, and a
  // reply is then handed out piece by piece without further calls.
  char FReadAhead[512];
  int FReadAheadBegin = 0;
  int FReadAheadEnd = 0;
  // Bytes an AwaitBytes slept for, and when they had crossed the line.
  int FAwaited = 0;
  std::chrono::steady_clock::time_point FAwaitedBy;

  std::recursive_mutex FLock;   // for callers (Lock/Unlock)
  std::mutex FIoLock;           // the handle and its state
  std::mutex FThreadLock;       // FThread and FRetired
  std::shared_ptr<TDqEventThread> FThread;
  std::vector<std::shared_ptr<TDqEventThread>> FRetired;
  std::mutex FCallbackLock;
  TDqSyncEvent FOnRead;
  TDqSyncEvent FOnWrite;
  mutable std::mutex FTransportLock;
  std::shared_ptr<TDqFrameTransport> FFrameTransport;
};

class TDqComPortList {
public:
  TDqComPortList() = default;
  virtual ~TDqComPortList();
  TDqComPortList(const TDqComPortList&) = delete;
  TDqComPortList& operator=(const TDqComPortList&) = delete;

  void Lock();
  void Unlock();
  void Clear();
  TDqComPort* AddPort();
  virtual std::unique_ptr<TDqComPort> CreateItem();
  int Count();
  int IndexOfID(int APortID);
  int IndexOf(const QString& APortName);
  TDqComPort* GetPorts(int AIndex);
  void SetPorts(int AIndex, std::unique_ptr<TDqComPort> APort);
  TDqComPort* GetPortByID(int APortID);
  // The port shared with its user: it outlives a Clear while still in use.
  std::shared_ptr<TDqComPort> SharedPortByID(int APortID);
  TDqComPort* GetPortByName(const QString& APortName);
  // Replaces the list with one port for each of APorts, in their order.
  void Load(const std::vector<TDqPortData>& APorts);

private:
  std::recursive_mutex FLock;
  std::vector<std::shared_ptr<TDqComPort>> FItems;
};

// Where the simulator links its pseudo-terminals: $TERVOX_PORT_DIR, else
// $XDG_RUNTIME_DIR/tervox, else /tmp/tervox-<uid> (in $TMPDIR when set),
// which counts only while it is the user's own, closed to others; empty
// when it is not.
QString DqSimulatorPortDir();
// The device a stored port name opens: a path as it stands, a bare name
// under /dev or else in the simulator's directory. A port name such as
// COM3 from an old backup resolves to nothing that exists, so it fails to open.
QString DqPortDevicePath(const QString& APortName);
