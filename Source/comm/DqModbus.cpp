#include "DqModbus.h"

#include "DqPort.h"
#include "core/DqRoutine.h"

#include <QStringList>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>

namespace {

constexpr std::array<std::uint16_t, 256> MakeCRCTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    table[i] = crc;
  }
  return table;
}

constexpr std::array<std::uint16_t, 256> kCRCTable = MakeCRCTable();

std::mutex gModbusLock;

// The line must be silent this long before a request: 3.5 characters of
// 11 bits, and 1750 us above 19200 baud.
std::uint32_t FrameGapMicroseconds(int ABaudRate) {
  if (ABaudRate <= 0) ABaudRate = 9600;
  if (ABaudRate > 19200) return 1750;
  return static_cast<std::uint32_t>(38500000LL / ABaudRate);
}

// The longest RTU frame: address, PDU of up to 253 bytes, CRC.
constexpr int kMaxFrameSize = 256;

// How long a request may wait for a chattering line to fall silent.
constexpr std::uint32_t kSilenceLimitMs = 200;

bool IsReadFunction(int AFunction) { return AFunction >= 1 && AFunction <= 4; }
bool IsWriteFunction(int AFunction) { return AFunction == 5 || AFunction == 6 || AFunction == 15 || AFunction == 16; }

std::uint16_t Word(const QByteArray& AData, int AIndex) {
  return static_cast<std::uint16_t>((static_cast<std::uint8_t>(AData[AIndex]) << 8) |
                                    static_cast<std::uint8_t>(AData[AIndex + 1]));
}

void PutWord(char* AData, std::uint16_t AValue) {
  AData[0] = static_cast<char>(AValue >> 8);
  AData[1] = static_cast<char>(AValue & 0xFF);
}

void AppendWord(QByteArray& AData, std::uint16_t AValue) {
  AData.append(static_cast<char>(AValue >> 8));
  AData.append(static_cast<char>(AValue & 0xFF));
}

std::mutex gStatisticsLock;
std::map<std::pair<int, int>, TModbusStatistics> gStatistics;

// The size of the reply a request asks for (an exception reply is
// shorter): what the line will carry once the reply has begun.
int ExpectedReplySize(const QByteArray& ARequest) {
  const int quantity = (static_cast<std::uint8_t>(ARequest[4]) << 8) | static_cast<std::uint8_t>(ARequest[5]);
  switch (static_cast<std::uint8_t>(ARequest[1])) {
  case 1:
  case 2: return 5 + std::min((quantity + 7) / 8, 250);
  case 3:
  case 4: return 5 + 2 * std::min(quantity, 125);
  case 5:
  case 6:
  case 15:
  case 16: return 8;
  default: return 5;
  }
}

} // namespace

QString TModbusStatistics::ExceptionsText() const {
  QStringList parts;
  for (const auto& [code, count] : ExceptionCodes)
    parts << QStringLiteral("%1 x %2").arg(count).arg(QString::number(code, 16).rightJustified(2, QLatin1Char('0')).toUpper());
  return parts.join(QStringLiteral(", "));
}

TModbusStatistics ModbusStatistics(int APortID, int ASlave) {
  std::lock_guard<std::mutex> guard(gStatisticsLock);
  const auto it = gStatistics.find({APortID, ASlave});
  return it == gStatistics.end() ? TModbusStatistics() : it->second;
}

void SetModbusStatistics(int APortID, int ASlave, const TModbusStatistics& AStatistics) {
  std::lock_guard<std::mutex> guard(gStatisticsLock);
  gStatistics[{APortID, ASlave}] = AStatistics;
}

void ResetModbusStatistics() {
  std::lock_guard<std::mutex> guard(gStatisticsLock);
  gStatistics.clear();
}

void TModbusData::Record() {
  if (Outcome == TModbusOutcome::None || FLastSend.isEmpty()) return;
  const int portID = FPort ? FPort->PortData().ID : -1;
  const int slave = static_cast<std::uint8_t>(FLastSend[0]);
  std::lock_guard<std::mutex> guard(gStatisticsLock);
  TModbusStatistics& stats = gStatistics[{portID, slave}];
  ++stats.Requests;
  switch (Outcome) {
  case TModbusOutcome::Answer:
    ++stats.Answers;
    stats.TotalReplyMs += RoundTripMs;
    stats.WorstReplyMs = std::max(stats.WorstReplyMs, RoundTripMs);
    stats.LastAnswerTime = QDateTime::currentDateTimeUtc();
    return;
  case TModbusOutcome::TimeOut: ++stats.TimeOuts; break;
  case TModbusOutcome::Corrupt: ++stats.Corrupt; break;
  case TModbusOutcome::Foreign: ++stats.Foreign; break;
  case TModbusOutcome::Exception:
    ++stats.Exceptions;
    ++stats.ExceptionCodes[ExceptionCode];
    break;
  case TModbusOutcome::NoLine: ++stats.NoLine; break;
  case TModbusOutcome::None: break;
  }
  QString error = FLastError;
  error.replace(QStringLiteral("\r\n"), QStringLiteral("; "));
  if (Outcome == TModbusOutcome::TimeOut) error = QStringLiteral("No reply (time-out)");
  stats.LastError = error;
  stats.LastErrorTime = QDateTime::currentDateTimeUtc();
}

TModbusData::TModbusData(TDqComPort* APort) : FPort(APort) {}

std::uint16_t TModbusData::ComputeCRC16(const char* AData, int ALength) {
  std::uint16_t crc = 0xFFFF;
  for (int i = 0; i < ALength; ++i)
    crc = static_cast<std::uint16_t>((crc >> 8) ^ kCRCTable[(crc ^ static_cast<std::uint8_t>(AData[i])) & 0xFF]);
  return crc;
}

QString TModbusData::ExceptionText(int ACode) {
  switch (ACode) {
  case 1: return QStringLiteral("Illegal Function");
  case 2: return QStringLiteral("Illegal Data Address");
  case 3: return QStringLiteral("Illegal Data Value");
  case 4: return QStringLiteral("Slave Device Failure");
  case 5: return QStringLiteral("Acknowledge");
  case 6: return QStringLiteral("Slave Device Busy");
  case 7: return QStringLiteral("Negative Acknowledge");
  case 8: return QStringLiteral("Memory Parity Error");
  case 10: return QStringLiteral("Gateway Path Unavailable");
  case 11: return QStringLiteral("Gateway Target Device Failed to Respond");
  default: return QStringLiteral("Error Code %1").arg(ACode);
  }
}

void TModbusData::Clear() {
  SlaveID = 0;
  FunctionCode = 0;
  DataAddress = 0;
  ByteCount = 0;
  DataText.clear();
  CRC16 = 0;
  ExceptionCode = 0;
}

void TModbusData::Assign(const TModbusData& AData) {
  if (&AData == this) return;
  *this = AData;
}

void TModbusData::Lock() {
  try {
    gModbusLock.lock();
  } catch (const std::system_error&) {
    throw EDqException(QStringLiteral("Failed to lock modbus data object"));
  }
}

void TModbusData::Unlock() { gModbusLock.unlock(); }

void TModbusData::AddError(const QString& AText) {
  if (!FLastError.isEmpty()) FLastError += QStringLiteral("\r\n");
  FLastError += AText;
}

std::uint16_t TModbusData::GetDatas(int AIndex) const {
  if (AIndex < 0 || 2 * AIndex + 1 >= DataText.size()) return 0;
  return Word(DataText, 2 * AIndex);
}

void TModbusData::SetDatas(int AIndex, std::uint16_t AValue) {
  if (AIndex < 0) return;
  if (DataText.size() < 2 * AIndex + 2) DataText.append(2 * AIndex + 2 - DataText.size(), '\0');
  DataText[2 * AIndex] = static_cast<char>(AValue >> 8);
  DataText[2 * AIndex + 1] = static_cast<char>(AValue & 0xFF);
}

bool TModbusData::BuildRequest() {
  FLastError.clear();
  const bool multiple = FunctionCode == 15 || FunctionCode == 16;
  if (!multiple && !IsReadFunction(FunctionCode) && !IsWriteFunction(FunctionCode)) {
    FLastSend.clear();
    AddError(QStringLiteral("Modbus: Invalid TX function code $") + ByteToHex(FunctionCode));
    return false;
  }
  // Written in place: one allocation per request.
  const int length = multiple ? 9 + static_cast<int>(DataText.size()) : 8;
  QByteArray frame(length, Qt::Uninitialized);
  char* out = frame.data();
  out[0] = static_cast<char>(SlaveID);
  out[1] = static_cast<char>(FunctionCode);
  PutWord(out + 2, DataAddress);
  PutWord(out + 4, DataCount);
  if (multiple) {
    out[6] = static_cast<char>(DataText.size());
    std::memcpy(out + 7, DataText.constData(), static_cast<std::size_t>(DataText.size()));
  }
  CRC16 = ComputeCRC16(out, length - 2);
  out[length - 2] = static_cast<char>(CRC16 & 0xFF);
  out[length - 1] = static_cast<char>(CRC16 >> 8);
  FLastSend = frame;
  return true;
}

bool TModbusData::Send() {
  if (!BuildRequest()) return false;
  const QByteArray& frame = FLastSend;
  if (!FPort || !FPort->Active()) {
    AddError(QStringLiteral("Modbus: No assigned comport, data could not be send"));
    return false;
  }
  // Whatever is still arriving (a late reply to an earlier, timed-out
  // request) is dropped, and the line must be quiet for 3.5 characters.
  FPort->WaitLineSilence(FrameGapMicroseconds(FPort->PortData().BaudRate), kSilenceLimitMs);
  if (FPort->WriteBlock(frame.constData(), static_cast<int>(frame.size())) == frame.size()) return true;
  AddError(QStringLiteral("Modbus: Communication error"));
  return false;
}

bool TModbusData::ReadOneByte(std::uint8_t& AData) {
  if (FReplySource) {
    if (FReplyPosition >= FReplySource->size()) return false;
    AData = static_cast<std::uint8_t>((*FReplySource)[FReplyPosition++]);
    return true;
  }
  return FPort->ReadByte(AData, 100);
}

// A block within the port's time-outs; a port without fixed time-outs
// returns at once from a block read, so there each byte gets 100 ms.
bool TModbusData::ReadPiece(char* AData, int ACount) {
  if (ACount <= 0) return true;
  if (FReplySource) {
    if (FReplySource->size() - FReplyPosition < ACount) return false;
    std::memcpy(AData, FReplySource->constData() + FReplyPosition, static_cast<std::size_t>(ACount));
    FReplyPosition += ACount;
    return true;
  }
  if (FPort->FixTimeOut()) return FPort->ReadBlock(AData, ACount) == ACount;
  for (int i = 0; i < ACount; ++i) {
    std::uint8_t byte = 0;
    if (!ReadOneByte(byte)) return false;
    AData[i] = static_cast<char>(byte);
  }
  return true;
}

bool TModbusData::Receive() {
  Clear();
  FLastError.clear();
  if (!FPort || !FPort->Active()) {
    FLastReceive.clear();
    AddError(QStringLiteral("Modbus: No assigned comport, data could not be receive"));
    Outcome = TModbusOutcome::NoLine;
    return false;
  }
  return ParseReply();
}

bool TModbusData::ReceiveFrom(const QByteArray& AReply) {
  Clear();
  FLastError.clear();
  FReplySource = &AReply;
  FReplyPosition = 0;
  struct TRestore {
    TModbusData* Self;
    ~TRestore() { Self->FReplySource = nullptr; }
  } restore{this};
  return ParseReply();
}

bool TModbusData::ParseReply() {
  // The request this reply must answer.
  const bool haveRequest = FLastSend.size() >= 8;
  const std::uint8_t requestSlave = haveRequest ? static_cast<std::uint8_t>(FLastSend[0]) : 0;
  const std::uint8_t requestFunction = haveRequest ? static_cast<std::uint8_t>(FLastSend[1]) : 0;

  QByteArray image;
  image.reserve(kMaxFrameSize);
  auto answersRequest = [&](std::uint8_t AFunction) {
    if (!haveRequest) return true;
    bool ok = true;
    if (SlaveID != requestSlave) {
      AddError(QStringLiteral("Modbus: Invalid RX slave address $") + ByteToHex(SlaveID));
      ok = false;
    }
    if ((AFunction & 0x7F) != requestFunction) {
      AddError(QStringLiteral("Modbus: Invalid RX function code $") + ByteToHex(AFunction));
      ok = false;
    }
    return ok;
  };

  // A piece that does not arrive ends the reply: later reads could only
  // take stray bytes, which the next request drops instead.
  if (!ReadOneByte(SlaveID)) {
    FLastReceive.clear();
    AddError(QStringLiteral("Modbus: Communication error"));
    Outcome = TModbusOutcome::TimeOut;
    return false;
  }
  // The reply has begun: the rest of it, as long as the request asks for,
  // is waited for in one go.
  if (!FReplySource && haveRequest)
    FPort->AwaitBytes(ExpectedReplySize(FLastSend) - 1, FrameGapMicroseconds(FPort->PortData().BaudRate));
  if (!ReadOneByte(FunctionCode)) {
    FLastReceive = QByteArray(1, static_cast<char>(SlaveID));
    AddError(QStringLiteral("Modbus: Communication error"));
    Outcome = TModbusOutcome::Corrupt;
    return false;
  }
  image.append(static_cast<char>(SlaveID));
  image.append(static_cast<char>(FunctionCode));

  if (FunctionCode & 0x80) {
    char crc[2] = {0, 0};
    const bool codeArrived = ReadOneByte(ExceptionCode);
    const bool crcArrived = codeArrived && ReadPiece(crc, 2);
    CRC16 = static_cast<std::uint16_t>(static_cast<std::uint8_t>(crc[0]) | (static_cast<std::uint8_t>(crc[1]) << 8));
    image.append(static_cast<char>(ExceptionCode));
    AddError(ExceptionString());
    const bool intact = crcArrived && ComputeCRC16(image) == CRC16;
    if (ComputeCRC16(image) != CRC16) AddError(QStringLiteral("Modbus: Invalid RX CRC"));
    if (crcArrived) image.append(crc, 2);
    FLastReceive = image;
    const bool answers = answersRequest(FunctionCode);
    Outcome = !intact ? TModbusOutcome::Corrupt : answers ? TModbusOutcome::Exception : TModbusOutcome::Foreign;
    AddError(crcArrived ? QStringLiteral("Modbus: Receive error code from Slave device")
                        : QStringLiteral("Modbus: Communication error"));
    return false;
  }

  bool arrived = true;
  if (IsReadFunction(FunctionCode)) {
    arrived = ReadOneByte(ByteCount);
  } else if (IsWriteFunction(FunctionCode)) {
    char address[2] = {0, 0};
    arrived = ReadPiece(address, 2);
    DataAddress = static_cast<std::uint16_t>((static_cast<std::uint8_t>(address[0]) << 8) |
                                             static_cast<std::uint8_t>(address[1]));
    ByteCount = 2;
  }
  DataText = QByteArray(ByteCount, '\0');
  char crc[2] = {0, 0};
  if (arrived) arrived = ReadPiece(DataText.data(), ByteCount);
  if (arrived) arrived = ReadPiece(crc, 2);
  CRC16 = static_cast<std::uint16_t>(static_cast<std::uint8_t>(crc[0]) | (static_cast<std::uint8_t>(crc[1]) << 8));

  bool valid = true;
  bool damaged = false; // CRC or framing, rather than another slave's reply
  try {
    if (IsReadFunction(FunctionCode)) {
      image.append(static_cast<char>(ByteCount));
      image.append(DataText);
    } else if (IsWriteFunction(FunctionCode)) {
      AppendWord(image, DataAddress);
      image.append(DataText);
      if (DataText.size() != ByteCount || DataText.size() != 2) {
        AddError(QStringLiteral("Modbus: Invalid RX data"));
        valid = false;
        damaged = true;
      }
    } else {
      AddError(QStringLiteral("Modbus: Invalid RX function code $") + ByteToHex(FunctionCode));
      valid = false;
      damaged = true;
    }
  } catch (const std::exception&) {
    throw EDqException(IsReadFunction(FunctionCode) ? QStringLiteral("Modbus: Read registers error")
                                                    : QStringLiteral("Modbus: Write register(s) error"));
  }
  if (!arrived) {
    AddError(QStringLiteral("Modbus: Communication error"));
    damaged = true;
  } else {
    if (ComputeCRC16(image) != CRC16) {
      AddError(QStringLiteral("Modbus: Invalid RX CRC"));
      valid = false;
      damaged = true;
    }
    image.append(crc, 2);
  }
  FLastReceive = image;
  const bool foreign = !answersRequest(FunctionCode);
  if (foreign) valid = false;

  // The reply must also fit the request: the byte count of a read, the
  // echo of a write.
  if (arrived && valid && haveRequest) {
    const std::uint16_t requestAddress = Word(FLastSend, 2);
    const std::uint16_t requestCount = Word(FLastSend, 4);
    bool fits = true;
    if (FunctionCode == 3 || FunctionCode == 4)
      fits = ByteCount == 2 * requestCount;
    else if (FunctionCode == 1 || FunctionCode == 2)
      fits = ByteCount == (requestCount + 7) / 8;
    else
      fits = DataAddress == requestAddress && GetDatas(0) == requestCount;
    if (!fits) {
      AddError(QStringLiteral("Modbus: Invalid RX data"));
      valid = false;
      damaged = true;
    }
  }
  Outcome = damaged || !arrived ? TModbusOutcome::Corrupt
            : foreign           ? TModbusOutcome::Foreign
            : valid             ? TModbusOutcome::Answer
                                : TModbusOutcome::Corrupt;
  if (!arrived || !valid) {
    // A damaged or foreign reply never reaches the caller.
    DataText.clear();
    return false;
  }
  return true;
}

bool TModbusData::Transact() {
  const std::shared_ptr<TDqFrameTransport> transport = FPort ? FPort->FrameTransport() : nullptr;
  Outcome = TModbusOutcome::None;
  RoundTripMs = 0;
  const auto start = std::chrono::steady_clock::now();
  bool ok = false;
  if (!transport) {
    if (Send())
      ok = Receive();
    else if (!FLastSend.isEmpty())
      Outcome = TModbusOutcome::NoLine;
  } else {
    if (!BuildRequest()) return false;
    // The far end runs the request on its line; the reply is checked here
    // exactly as bytes from a wire would be.
    QByteArray reply;
    QString error;
    TDqFrameTransport::TFault fault = TDqFrameTransport::TFault::None;
    if (!transport->TransactChecked(FLastSend, reply, error, fault)) {
      Clear();
      FLastReceive.clear();
      AddError(error.isEmpty() ? QStringLiteral("Modbus: Communication error") : error);
      Outcome = TModbusOutcome::NoLine;
    } else if (fault != TDqFrameTransport::TFault::None) {
      Clear();
      FLastReceive.clear();
      AddError(error);
      Outcome = fault == TDqFrameTransport::TFault::Framing ? TModbusOutcome::Corrupt : TModbusOutcome::Foreign;
    } else {
      ok = ReceiveFrom(reply);
    }
  }
  RoundTripMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  Record();
  return ok;
}

bool TModbusData::ReadHoldReg() {
  FunctionCode = 3;
  return Transact();
}

bool TModbusData::ReadHoldReg(std::uint8_t ASlaveID, std::uint16_t ADataAddress, std::uint16_t ADataCount) {
  SlaveID = ASlaveID;
  DataAddress = ADataAddress;
  DataCount = ADataCount;
  return ReadHoldReg();
}

bool TModbusData::ReadHoldRegArray(std::vector<std::uint16_t>& AArray, std::uint8_t ASlaveID,
                                   std::uint16_t ADataAddress, std::uint16_t ADataCount) {
  const bool ok = ReadHoldReg(ASlaveID, ADataAddress, ADataCount);
  AArray.assign(ADataCount, kNoValue);
  if (ok)
    for (int i = 0; i < ADataCount; ++i) AArray[static_cast<std::size_t>(i)] = GetDatas(i);
  return ok;
}

bool TModbusData::ReadHoldRegArray(std::vector<std::uint16_t>& AArray, std::uint8_t ASlaveID,
                                   const std::vector<std::uint16_t>& ADataAddresses) {
  AArray.assign(ADataAddresses.size(), kNoValue);
  bool all = true;
  for (std::size_t i = 0; i < ADataAddresses.size(); ++i) {
    if (ReadHoldReg(ASlaveID, ADataAddresses[i], 1))
      AArray[i] = GetDatas(0);
    else
      all = false;
  }
  return all;
}

int TModbusData::ReadHoldRegInt(std::uint8_t ASlaveID, std::uint16_t ADataAddress) {
  if (!ReadHoldReg(ASlaveID, ADataAddress, 1)) return 0;
  return static_cast<std::int16_t>(GetDatas(0));
}

int TModbusData::ReadInputRegInt(std::uint8_t ASlaveID, std::uint16_t ADataAddress) {
  SlaveID = ASlaveID;
  DataAddress = ADataAddress;
  DataCount = 1;
  FunctionCode = 4;
  if (!Transact()) return 0;
  return static_cast<std::int16_t>(GetDatas(0));
}

int TModbusData::ReadHoldRegBit(std::uint8_t ASlaveID, std::uint16_t ADataAddress, int ABitOffset, int ABitCount) {
  if (!ReadHoldReg(ASlaveID, ADataAddress, 1)) return -1;
  const unsigned value = GetDatas(0);
  const unsigned mask = ABitCount >= 16 ? 0xFFFFu : ((1u << ABitCount) - 1u);
  return static_cast<int>((value >> ABitOffset) & mask);
}

bool TModbusData::WriteHoldReg(std::uint8_t ASlaveID, std::uint16_t ADataAddress, std::uint16_t AData) {
  SlaveID = ASlaveID;
  FunctionCode = 6;
  DataAddress = ADataAddress;
  DataCount = AData;
  return Transact();
}

void TModbusData::WriteHoldRegExist(std::uint8_t ASlaveID, std::uint16_t ADataAddress, std::uint16_t AData) {
  if (AData == kNoValue) return;
  WriteHoldReg(ASlaveID, ADataAddress, AData);
}

void TModbusData::WriteHoldRegArray(const std::vector<std::uint16_t>& AArray, std::uint8_t ASlaveID,
                                    std::uint16_t ADataAddress, std::uint16_t ADataCount) {
  SlaveID = ASlaveID;
  FunctionCode = 16;
  DataAddress = ADataAddress;
  DataCount = ADataCount;
  DataText.clear();
  for (int i = 0; i < ADataCount; ++i)
    SetDatas(i, static_cast<std::size_t>(i) < AArray.size() ? AArray[static_cast<std::size_t>(i)] : 0);
  Transact();
}
