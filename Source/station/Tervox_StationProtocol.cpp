#include "Tervox_StationProtocol.h"

#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

namespace TervoxStation {
namespace {

// The type byte of each alternative, in the variant's order. Codes never
// change meaning: a new message gets a new code.
constexpr std::uint8_t kTypeCodes[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, //
                                       64, 65, 66, 67, 68, 69, 70, 71, 72, 73, 74, 75};
static_assert(std::size(kTypeCodes) == std::variant_size_v<TMessage>);
constexpr std::size_t kFirstReply = 12; // index of TWelcome
static_assert(std::is_same_v<std::variant_alternative_t<kFirstReply, TMessage>, TWelcome>);

class TWriter {
public:
  explicit TWriter(QByteArray& AOut) : FOut(AOut) {}
  void U8(std::uint8_t AValue) { FOut.append(static_cast<char>(AValue)); }
  void U32(std::uint32_t AValue) {
    for (int i = 0; i < 4; ++i) FOut.append(static_cast<char>((AValue >> (8 * i)) & 0xFF));
  }
  void I32(std::int32_t AValue) { U32(static_cast<std::uint32_t>(AValue)); }
  void U64(std::uint64_t AValue) {
    U32(static_cast<std::uint32_t>(AValue));
    U32(static_cast<std::uint32_t>(AValue >> 32));
  }
  void F64(double AValue) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &AValue, sizeof bits);
    U32(static_cast<std::uint32_t>(bits));
    U32(static_cast<std::uint32_t>(bits >> 32));
  }
  void Bytes(const QByteArray& AValue) {
    U32(static_cast<std::uint32_t>(AValue.size()));
    FOut.append(AValue);
  }
  void Text(const QString& AValue) { Bytes(AValue.left(kMaxText).toUtf8()); }

private:
  QByteArray& FOut;
};

// Reads within the body only; any read past its end marks it failed.
class TReader {
public:
  TReader(const char* AData, std::size_t ASize) : FData(AData), FSize(ASize) {}
  bool Ok() const { return FOk; }
  bool AtEnd() const { return FPos == FSize; }
  std::uint8_t U8() {
    if (!Need(1)) return 0;
    return static_cast<std::uint8_t>(FData[FPos++]);
  }
  std::uint32_t U32() {
    if (!Need(4)) return 0;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(FData[FPos++])) << (8 * i);
    return value;
  }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  std::uint64_t U64() {
    const std::uint64_t low = U32();
    const std::uint64_t high = U32();
    return low | (high << 32);
  }
  double F64() {
    const std::uint64_t low = U32();
    const std::uint64_t high = U32();
    const std::uint64_t bits = low | (high << 32);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  bool Bool() {
    const std::uint8_t value = U8();
    if (value > 1) FOk = false;
    return value == 1;
  }
  QByteArray Bytes(std::size_t AMax = kMaxBody) {
    const std::uint32_t size = U32();
    if (size > AMax || !Need(size)) {
      FOk = false;
      return {};
    }
    QByteArray value(FData + FPos, static_cast<qsizetype>(size));
    FPos += size;
    return value;
  }
  QString Text() {
    // Up to kMaxText characters of up to 4 UTF-8 bytes each.
    const QByteArray bytes = Bytes(4 * static_cast<std::size_t>(kMaxText));
    QString text = QString::fromUtf8(bytes);
    if (text.size() > kMaxText) FOk = false; // longer than any sender writes
    return text;
  }

private:
  bool Need(std::size_t ACount) {
    if (!FOk || FSize - FPos < ACount) {
      FOk = false;
      return false;
    }
    return true;
  }
  const char* FData;
  std::size_t FSize;
  std::size_t FPos = 0;
  bool FOk = true;
};

void Put(TWriter& AOut, const TTervoxStatusImage& AImage) {
  for (const std::int32_t value :
       {AImage.DeviceID, AImage.PV, AImage.SV, AImage.Out1, AImage.Out2, AImage.EV1, AImage.EV2, AImage.EV3,
        AImage.Digit, AImage.InputLowerLimit, AImage.InputUpperLimit, AImage.PeriodicTimeOut1,
        AImage.PeriodicTimeOut2, AImage.OpMode[0], AImage.OpMode[1], AImage.OpMode[2]})
    AOut.I32(value);
  AOut.F64(AImage.CT1);
  AOut.F64(AImage.CT2);
  AOut.U32(AImage.Flags);
  for (const char c : AImage.ModelType) AOut.U8(static_cast<std::uint8_t>(c));
}

void Get(TReader& AIn, TTervoxStatusImage& AImage) {
  for (std::int32_t* value :
       {&AImage.DeviceID, &AImage.PV, &AImage.SV, &AImage.Out1, &AImage.Out2, &AImage.EV1, &AImage.EV2, &AImage.EV3,
        &AImage.Digit, &AImage.InputLowerLimit, &AImage.InputUpperLimit, &AImage.PeriodicTimeOut1,
        &AImage.PeriodicTimeOut2, &AImage.OpMode[0], &AImage.OpMode[1], &AImage.OpMode[2]})
    *value = AIn.I32();
  AImage.CT1 = AIn.F64();
  AImage.CT2 = AIn.F64();
  AImage.Flags = AIn.U32();
  for (char& c : AImage.ModelType) c = static_cast<char>(AIn.U8());
}

// ----- the fields of each message, written and read in the same order

void Put(TWriter& AOut, const THello& A) {
  AOut.U8(static_cast<std::uint8_t>(A.Role));
  AOut.U32(A.PID);
  AOut.Text(A.Program);
}
void Get(TReader& AIn, THello& A) {
  const std::uint8_t role = AIn.U8();
  A.Role = static_cast<TRole>(role);
  if (role != 1 && role != 2) A.Role = TRole{}; // checked below
  A.PID = AIn.U32();
  A.Program = AIn.Text();
}
void Put(TWriter&, const THeartbeat&) {}
void Get(TReader&, THeartbeat&) {}
void Put(TWriter& AOut, const TReload& A) { AOut.U8(A.What); }
void Get(TReader& AIn, TReload& A) { A.What = AIn.U8(); }
void Put(TWriter& AOut, const TSilenceLossAlert& A) { AOut.U32(A.Seconds); }
void Get(TReader& AIn, TSilenceLossAlert& A) { A.Seconds = AIn.U32(); }
void Put(TWriter& AOut, const TAcknowledgeAlarm& A) {
  AOut.I32(A.DeviceID);
  AOut.U8(A.Slot);
}
void Get(TReader& AIn, TAcknowledgeAlarm& A) {
  A.DeviceID = AIn.I32();
  A.Slot = AIn.U8();
}
void Put(TWriter& AOut, const TRequestStatus& A) { AOut.I32(A.DeviceID); }
void Get(TReader& AIn, TRequestStatus& A) { A.DeviceID = AIn.I32(); }
void Put(TWriter& AOut, const TTransaction& A) {
  AOut.U32(A.Seq);
  AOut.U32(A.Request);
  AOut.I32(A.PortID);
  AOut.Text(A.Name);
  AOut.Text(A.User);
  AOut.Bytes(A.Frame);
}
void Get(TReader& AIn, TTransaction& A) {
  A.Seq = AIn.U32();
  A.Request = AIn.U32();
  A.PortID = AIn.I32();
  A.Name = AIn.Text();
  A.User = AIn.Text();
  A.Frame = AIn.Bytes(256);
}
void Put(TWriter& AOut, const TEndRequest& A) { AOut.U32(A.Request); }
void Get(TReader& AIn, TEndRequest& A) { A.Request = AIn.U32(); }
void Put(TWriter& AOut, const TPause& A) {
  AOut.Text(A.User);
  AOut.Text(A.Reason);
}
void Get(TReader& AIn, TPause& A) {
  A.User = AIn.Text();
  A.Reason = AIn.Text();
}
void Put(TWriter&, const TResume&) {}
void Get(TReader&, TResume&) {}
void Put(TWriter& AOut, const TLogin& A) {
  AOut.Text(A.User);
  AOut.Text(A.Password);
}
void Get(TReader& AIn, TLogin& A) {
  A.User = AIn.Text();
  A.Password = AIn.Text();
}
void Put(TWriter&, const TLogout&) {}
void Get(TReader&, TLogout&) {}
void Put(TWriter& AOut, const TLoginReply& A) {
  AOut.U8(A.Accepted ? 1 : 0);
  AOut.Text(A.User);
  AOut.Text(A.Text);
}
void Get(TReader& AIn, TLoginReply& A) {
  A.Accepted = AIn.Bool();
  A.User = AIn.Text();
  A.Text = AIn.Text();
}
void Put(TWriter& AOut, const TWelcome& A) {
  AOut.U32(A.PID);
  AOut.U8(A.Paused ? 1 : 0);
}
void Get(TReader& AIn, TWelcome& A) {
  A.PID = AIn.U32();
  A.Paused = AIn.Bool();
}
void Put(TWriter& AOut, const TStatus& A) { Put(AOut, A.Image); }
void Get(TReader& AIn, TStatus& A) { Get(AIn, A.Image); }
void Put(TWriter& AOut, const TAlarm& A) {
  AOut.I32(A.DeviceID);
  AOut.U8(A.Slot);
  AOut.Text(A.Text);
}
void Get(TReader& AIn, TAlarm& A) {
  A.DeviceID = AIn.I32();
  A.Slot = AIn.U8();
  A.Text = AIn.Text();
}
void Put(TWriter& AOut, const TLossAlert& A) { AOut.I32(A.DeviceID); }
void Get(TReader& AIn, TLossAlert& A) { A.DeviceID = AIn.I32(); }
void Put(TWriter&, const TLossAlertClosed&) {}
void Get(TReader&, TLossAlertClosed&) {}
void Put(TWriter& AOut, const TAlarmAcknowledged& A) {
  AOut.I32(A.DeviceID);
  AOut.U8(A.Slot);
}
void Get(TReader& AIn, TAlarmAcknowledged& A) {
  A.DeviceID = AIn.I32();
  A.Slot = AIn.U8();
}
void Put(TWriter& AOut, const TTransactionReply& A) {
  AOut.U32(A.Seq);
  AOut.U8(static_cast<std::uint8_t>(A.Outcome));
  AOut.Bytes(A.Reply);
  AOut.Text(A.Text);
}
void Get(TReader& AIn, TTransactionReply& A) {
  A.Seq = AIn.U32();
  A.Outcome = static_cast<TOutcome>(AIn.U8());
  A.Reply = AIn.Bytes(256);
  A.Text = AIn.Text();
}
void Put(TWriter& AOut, const TPauseState& A) {
  AOut.U8(A.Paused ? 1 : 0);
  AOut.Text(A.Text);
}
void Get(TReader& AIn, TPauseState& A) {
  A.Paused = AIn.Bool();
  A.Text = AIn.Text();
}
void Put(TWriter& AOut, const TDatabaseProblem& A) { AOut.Text(A.Text); }
void Get(TReader& AIn, TDatabaseProblem& A) { A.Text = AIn.Text(); }
void Put(TWriter&, const TReloaded&) {}
void Get(TReader&, TReloaded&) {}

// Times as ms since the epoch, -1 for none.
std::int64_t TimeValue(const QDateTime& ATime) { return ATime.isValid() ? ATime.toMSecsSinceEpoch() : -1; }
QDateTime TimeOf(std::int64_t AValue) {
  return AValue < 0 ? QDateTime() : QDateTime::fromMSecsSinceEpoch(AValue, QTimeZone::utc());
}

void Put(TWriter& AOut, const TCommStatistics& A) {
  const TModbusStatistics& s = A.Statistics;
  AOut.I32(A.PortID);
  AOut.U8(A.Slave);
  for (const std::int64_t count : {s.Requests, s.Answers, s.TimeOuts, s.Corrupt, s.Foreign, s.Exceptions, s.NoLine})
    AOut.U64(static_cast<std::uint64_t>(count));
  AOut.U8(static_cast<std::uint8_t>(std::min<std::size_t>(s.ExceptionCodes.size(), 255)));
  int written = 0;
  for (const auto& [code, count] : s.ExceptionCodes) {
    if (++written > 255) break;
    AOut.U8(static_cast<std::uint8_t>(code));
    AOut.U64(static_cast<std::uint64_t>(count));
  }
  AOut.Text(s.LastError);
  AOut.U64(static_cast<std::uint64_t>(TimeValue(s.LastErrorTime)));
  AOut.U64(static_cast<std::uint64_t>(TimeValue(s.LastAnswerTime)));
  AOut.F64(s.TotalReplyMs);
  AOut.F64(s.WorstReplyMs);
}
void Get(TReader& AIn, TCommStatistics& A) {
  TModbusStatistics& s = A.Statistics;
  A.PortID = AIn.I32();
  A.Slave = AIn.U8();
  for (std::int64_t* count : {&s.Requests, &s.Answers, &s.TimeOuts, &s.Corrupt, &s.Foreign, &s.Exceptions, &s.NoLine})
    *count = static_cast<std::int64_t>(AIn.U64());
  const int codes = AIn.U8();
  for (int i = 0; i < codes && AIn.Ok(); ++i) {
    const int code = AIn.U8();
    s.ExceptionCodes[code] = static_cast<std::int64_t>(AIn.U64());
  }
  s.LastError = AIn.Text();
  s.LastErrorTime = TimeOf(static_cast<std::int64_t>(AIn.U64()));
  s.LastAnswerTime = TimeOf(static_cast<std::int64_t>(AIn.U64()));
  s.TotalReplyMs = AIn.F64();
  s.WorstReplyMs = AIn.F64();
}

// Values a field may not take.
bool Valid(const TMessage& AMessage) {
  if (const auto* hello = std::get_if<THello>(&AMessage))
    return hello->Role == TRole::Window || hello->Role == TRole::Maintenance;
  if (const auto* reply = std::get_if<TTransactionReply>(&AMessage))
    return static_cast<std::uint8_t>(reply->Outcome) <= static_cast<std::uint8_t>(TOutcome::Paused);
  if (const auto* ack = std::get_if<TAcknowledgeAlarm>(&AMessage)) return ack->Slot < 3;
  if (const auto* alarm = std::get_if<TAlarm>(&AMessage)) return alarm->Slot < 3;
  if (const auto* done = std::get_if<TAlarmAcknowledged>(&AMessage)) return done->Slot < 3;
  if (const auto* status = std::get_if<TStatus>(&AMessage))
    return std::isfinite(status->Image.CT1) && std::isfinite(status->Image.CT2);
  if (const auto* comm = std::get_if<TCommStatistics>(&AMessage)) {
    const TModbusStatistics& s = comm->Statistics;
    for (const std::int64_t count : {s.Requests, s.Answers, s.TimeOuts, s.Corrupt, s.Foreign, s.Exceptions, s.NoLine})
      if (count < 0) return false;
    for (const auto& [code, count] : s.ExceptionCodes)
      if (count < 0) return false;
    return std::isfinite(s.TotalReplyMs) && std::isfinite(s.WorstReplyMs) && s.TotalReplyMs >= 0 && s.WorstReplyMs >= 0;
  }
  return true;
}

template <std::size_t I> bool ReadAlternative(TReader& AIn, std::size_t AIndex, TMessage& AMessage) {
  if constexpr (I < std::variant_size_v<TMessage>) {
    if (AIndex != I) return ReadAlternative<I + 1>(AIn, AIndex, AMessage);
    std::variant_alternative_t<I, TMessage> value;
    Get(AIn, value);
    AMessage = std::move(value);
    return true;
  } else {
    return false;
  }
}

} // namespace

bool IsRequest(const TMessage& AMessage) { return AMessage.index() < kFirstReply; }

QByteArray Encode(const TMessage& AMessage) {
  QByteArray out(4, '\0');
  TWriter writer(out);
  writer.U8(kProtocolVersion);
  writer.U8(kTypeCodes[AMessage.index()]);
  std::visit([&writer](const auto& AValue) { Put(writer, AValue); }, AMessage);
  const std::uint32_t body = static_cast<std::uint32_t>(out.size() - 4);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((body >> (8 * i)) & 0xFF);
  return out;
}

TDecode Decode(QByteArray& ABuffer, TMessage& AMessage) {
  if (ABuffer.size() < 4) return TDecode::NeedMore;
  std::uint32_t body = 0;
  for (int i = 0; i < 4; ++i) body |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(ABuffer[i])) << (8 * i);
  if (body < 2 || body > kMaxBody) return TDecode::Bad;
  if (static_cast<std::uint64_t>(ABuffer.size()) < 4ull + body) return TDecode::NeedMore;
  TReader reader(ABuffer.constData(), 4 + body);
  reader.U32(); // the length, read above
  if (reader.U8() != kProtocolVersion) return TDecode::Bad;
  const std::uint8_t type = reader.U8();
  std::size_t index = std::size(kTypeCodes);
  for (std::size_t i = 0; i < std::size(kTypeCodes); ++i)
    if (kTypeCodes[i] == type) index = i;
  TMessage message;
  if (!ReadAlternative<0>(reader, index, message) || !reader.Ok() || !reader.AtEnd() || !Valid(message))
    return TDecode::Bad;
  AMessage = std::move(message);
  ABuffer.remove(0, static_cast<qsizetype>(4 + body));
  return TDecode::Message;
}

} // namespace TervoxStation
