// The station's local socket: versioned, length-prefixed binary messages
// between the process that records a database and the windows and tools
// that attach to it. Each message is a 4-byte little-endian body length,
// then the body: protocol version, message type, the type's fields.
#pragma once

#include "comm/DqModbus.h"
#include "plant/Tervox_StatusImage.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <variant>

namespace TervoxStation {

inline constexpr std::uint8_t kProtocolVersion = 2;
// The largest body: Modbus frames are at most 256 bytes, texts are short.
inline constexpr std::uint32_t kMaxBody = 64 * 1024;
inline constexpr int kMaxText = 4096;

enum class TRole : std::uint8_t { Window = 1, Maintenance = 2 };
// How a forwarded transaction ended on the recorder.
enum class TOutcome : std::uint8_t { Reply = 0, NoLine = 1, Refused = 2, Paused = 3 };
enum TReloadWhat : std::uint8_t { ReloadDevices = 1, ReloadSettings = 2 };

// ----- from a window or tool to the recorder
struct THello {
  TRole Role = TRole::Window;
  std::uint32_t PID = 0;
  QString Program;
  bool operator==(const THello&) const = default;
};
// Sent every few seconds: a peer that stays silent longer is dropped.
struct THeartbeat {
  bool operator==(const THeartbeat&) const = default;
};
struct TReload {
  std::uint8_t What = 0; // TReloadWhat bits
  bool operator==(const TReload&) const = default;
};
// The Alert's buttons: no loss alert for that long.
struct TSilenceLossAlert {
  std::uint32_t Seconds = 0;
  bool operator==(const TSilenceLossAlert&) const = default;
};
struct TAcknowledgeAlarm {
  std::int32_t DeviceID = 0;
  std::uint8_t Slot = 0;
  bool operator==(const TAcknowledgeAlarm&) const = default;
};
// A status read now (after a control write), published as any other.
struct TRequestStatus {
  std::int32_t DeviceID = 0;
  bool operator==(const TRequestStatus&) const = default;
};
// One Modbus request frame for line PortID. Request groups the
// transactions of one settings request (0: none), which the recorder runs
// without another peer's transactions on that line in between.
struct TTransaction {
  std::uint32_t Seq = 0;
  std::uint32_t Request = 0;
  std::int32_t PortID = 0;
  QString Name; // the request, e.g. "WriteFix"
  QString User; // the TERVOX user logged in at the window
  QByteArray Frame;
  bool operator==(const TTransaction&) const = default;
};
struct TEndRequest {
  std::uint32_t Request = 0;
  bool operator==(const TEndRequest&) const = default;
};
// Maintenance: no polling, no recording, the database closed, until Resume
// or until the peer goes away.
struct TPause {
  QString User;
  QString Reason;
  bool operator==(const TPause&) const = default;
};
struct TResume {
  bool operator==(const TResume&) const = default;
};
// The window's user, checked by the recorder against the Users table: the
// connection's transactions act as that user until Logout or until the
// connection ends. Answered by TLoginReply.
struct TLogin {
  QString User;
  QString Password;
  bool operator==(const TLogin&) const = default;
};
struct TLogout {
  bool operator==(const TLogout&) const = default;
};

// ----- from the recorder
struct TLoginReply {
  bool Accepted = false;
  QString User;
  QString Text; // why, when refused
  bool operator==(const TLoginReply&) const = default;
};
struct TWelcome {
  std::uint32_t PID = 0;
  bool Paused = false;
  bool operator==(const TWelcome&) const = default;
};
struct TStatus {
  TTervoxStatusImage Image;
  bool operator==(const TStatus&) const = default;
};
struct TAlarm {
  std::int32_t DeviceID = 0;
  std::uint8_t Slot = 0;
  QString Text;
  bool operator==(const TAlarm&) const = default;
};
struct TLossAlert {
  std::int32_t DeviceID = 0;
  bool operator==(const TLossAlert&) const = default;
};
// Somebody silenced the loss alert: every window closes its own.
struct TLossAlertClosed {
  bool operator==(const TLossAlertClosed&) const = default;
};
struct TAlarmAcknowledged {
  std::int32_t DeviceID = 0;
  std::uint8_t Slot = 0;
  bool operator==(const TAlarmAcknowledged&) const = default;
};
struct TTransactionReply {
  std::uint32_t Seq = 0;
  TOutcome Outcome = TOutcome::Reply;
  QByteArray Reply;
  QString Text; // why, when refused
  bool operator==(const TTransactionReply&) const = default;
};
// The answer to Pause and Resume: whether recording is paused now.
struct TPauseState {
  bool Paused = false;
  QString Text;
  bool operator==(const TPauseState&) const = default;
};
// History rows cannot be stored (empty: they can again).
struct TDatabaseProblem {
  QString Text;
  bool operator==(const TDatabaseProblem&) const = default;
};
struct TReloaded {
  bool operator==(const TReloaded&) const = default;
};
// A controller's communication statistics (line and slave address), sent
// after each of its status reads while windows are attached.
struct TCommStatistics {
  std::int32_t PortID = 0;
  std::uint8_t Slave = 0;
  TModbusStatistics Statistics;
  bool operator==(const TCommStatistics&) const = default;
};

using TMessage = std::variant<THello, THeartbeat, TReload, TSilenceLossAlert, TAcknowledgeAlarm, TRequestStatus,
                              TTransaction, TEndRequest, TPause, TResume, TLogin, TLogout, TWelcome, TStatus, TAlarm,
                              TLossAlert, TLossAlertClosed, TAlarmAcknowledged, TTransactionReply, TPauseState,
                              TDatabaseProblem, TReloaded, TCommStatistics, TLoginReply>;

// True for the messages a recorder accepts from its peers.
bool IsRequest(const TMessage& AMessage);

// The whole message with its length prefix.
QByteArray Encode(const TMessage& AMessage);

enum class TDecode : std::uint8_t { Message, NeedMore, Bad };
// Takes the first message off ABuffer. NeedMore leaves ABuffer as it is;
// Bad means the stream cannot be trusted any more (a wrong length, version
// or type, or fields that do not fill the body exactly).
TDecode Decode(QByteArray& ABuffer, TMessage& AMessage);

} // namespace TervoxStation
