// One Modbus RTU master transaction object on a serial port: frames
// functions 01-06, 15 and 16, writes the request, reads the reply piece by
// piece within the port's time-outs, checks it, and keeps request, reply
// and the problems found. Communication failures are results, not
// exceptions.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <map>
#include <vector>

class TDqComPort;

// How a transaction ended, for the statistics.
enum class TModbusOutcome : std::uint8_t {
  None,      // nothing sent (no request could be built)
  Answer,    // the reply, intact and answering the request
  TimeOut,   // no reply at all
  Corrupt,   // CRC or framing: damaged, cut short, or not fitting the request
  Foreign,   // a reply from another slave or to another transaction
  Exception, // an exception reply (function | 0x80) with its code
  NoLine     // the request never reached the line (port closed, no connection)
};

// The communication of one controller (line and slave address) since the
// engine started: every TModbusData transaction is counted.
struct TModbusStatistics {
  std::int64_t Requests = 0;
  std::int64_t Answers = 0;
  std::int64_t TimeOuts = 0;
  std::int64_t Corrupt = 0;
  std::int64_t Foreign = 0;
  std::int64_t Exceptions = 0;
  std::int64_t NoLine = 0;
  std::map<int, std::int64_t> ExceptionCodes; // by exception code
  QString LastError;
  QDateTime LastErrorTime;
  QDateTime LastAnswerTime;
  double TotalReplyMs = 0; // of the answers
  double WorstReplyMs = 0;
  double MeanReplyMs() const { return Answers > 0 ? TotalReplyMs / static_cast<double>(Answers) : 0.0; }
  // "2 x 02, 1 x 0B" (codes in hex, as the manuals give them).
  QString ExceptionsText() const;
  bool operator==(const TModbusStatistics&) const = default;
};
TModbusStatistics ModbusStatistics(int APortID, int ASlave);
// Another process's figures for a controller (a window shows its
// recorder's): they replace what this process counted.
void SetModbusStatistics(int APortID, int ASlave, const TModbusStatistics& AStatistics);
void ResetModbusStatistics();

class TModbusData {
public:
  static constexpr std::uint16_t kNoValue = 0x7FFF;

  explicit TModbusData(TDqComPort* APort = nullptr);

  void Clear();
  void Assign(const TModbusData& AData);

  // Builds and writes the request; false when nothing was written.
  bool Send();
  // Reads and checks the reply to the last request; true when it arrived
  // complete, intact and answering that request.
  bool Receive();
  // Checks AReply as Receive checks the bytes from the port: as the reply
  // to the last request built by Send.
  bool ReceiveFrom(const QByteArray& AReply);

  bool ReadHoldReg();
  bool ReadHoldReg(std::uint8_t ASlaveID, std::uint16_t ADataAddress, std::uint16_t ADataCount);
  // ADataCount registers into AArray; every element 0x7FFF on failure.
  bool ReadHoldRegArray(std::vector<std::uint16_t>& AArray, std::uint8_t ASlaveID, std::uint16_t ADataAddress,
                        std::uint16_t ADataCount);
  // One single-register read per address; true only when all succeeded.
  bool ReadHoldRegArray(std::vector<std::uint16_t>& AArray, std::uint8_t ASlaveID,
                        const std::vector<std::uint16_t>& ADataAddresses);
  // The register as a signed 16-bit value; 0 when none arrived.
  int ReadHoldRegInt(std::uint8_t ASlaveID, std::uint16_t ADataAddress);
  int ReadInputRegInt(std::uint8_t ASlaveID, std::uint16_t ADataAddress);
  // ABitCount bits from ABitOffset of the (unsigned) register; -1 on failure.
  int ReadHoldRegBit(std::uint8_t ASlaveID, std::uint16_t ADataAddress, int ABitOffset, int ABitCount);

  // True when the controller acknowledged the write.
  bool WriteHoldReg(std::uint8_t ASlaveID, std::uint16_t ADataAddress, std::uint16_t AData);
  // Sends nothing for 0x7FFF (leave unchanged).
  void WriteHoldRegExist(std::uint8_t ASlaveID, std::uint16_t ADataAddress, std::uint16_t AData);
  void WriteHoldRegArray(const std::vector<std::uint16_t>& AArray, std::uint8_t ASlaveID, std::uint16_t ADataAddress,
                         std::uint16_t ADataCount);

  std::uint16_t GetDatas(int AIndex) const;
  void SetDatas(int AIndex, std::uint16_t AValue);

  // One mutex shared by every transaction object.
  static void Lock();
  static void Unlock();

  static std::uint16_t ComputeCRC16(const char* AData, int ALength);
  static std::uint16_t ComputeCRC16(const QByteArray& AData) {
    return ComputeCRC16(AData.constData(), static_cast<int>(AData.size()));
  }
  static QString ExceptionText(int ACode);

  TDqComPort* Port() const { return FPort; }
  void SetPort(TDqComPort* APort) { FPort = APort; }
  const QString& LastError() const { return FLastError; }
  const QByteArray& LastSend() const { return FLastSend; }
  const QByteArray& LastReceive() const { return FLastReceive; }
  QString ExceptionString() const { return ExceptionText(ExceptionCode); }
  bool FreeAfterAction() const { return FFreeAfterAction; }
  void SetFreeAfterAction(bool AValue) { FFreeAfterAction = AValue; }

  std::uint8_t SlaveID = 0;
  std::uint8_t FunctionCode = 0;
  std::uint16_t DataAddress = 0;
  std::uint16_t DataCount = 0;
  std::uint8_t ByteCount = 0;
  std::uint8_t ExceptionCode = 0;
  QByteArray DataText;
  std::uint16_t CRC16 = 0;
  // The last transaction's outcome and, when a reply came, its round trip.
  TModbusOutcome Outcome = TModbusOutcome::None;
  double RoundTripMs = 0;

private:
  void Record();
  void AddError(const QString& AText);
  // Frames the request of the fields above into LastSend.
  bool BuildRequest();
  bool ReadPiece(char* AData, int ACount);
  bool ReadOneByte(std::uint8_t& AData);
  bool Transact();
  bool ParseReply();

  TDqComPort* FPort = nullptr;
  QByteArray FLastSend;
  QByteArray FLastReceive;
  QString FLastError;
  bool FFreeAfterAction = true;
  const QByteArray* FReplySource = nullptr; // ReceiveFrom's bytes, instead of the port
  int FReplyPosition = 0;
};
