// A peer of the recorder speaking the station protocol by hand, and the
// Modbus frames it sends, for the tests of the recorder and its socket.
#pragma once

#include "comm/DqModbus.h"
#include "station/Tervox_StationProtocol.h"
#include "station/Tervox_StationSocket.h"
#include "store/Tervox_StationLock.h"

#include <QElapsedTimer>

#include <optional>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace tervox_test {

using namespace TervoxStation;

inline THello WindowHello() { return THello{TRole::Window, static_cast<std::uint32_t>(::getpid()), QStringLiteral("test")}; }

// A peer of the recorder speaking the protocol by hand.
class Peer {
public:
  explicit Peer(const QString& ADatabase) : FStream(Connect(TTervoxStationLock::SocketFileName(ADatabase))) {}
  // Hello, welcome and a login (empty: none); the recorder's answer.
  std::optional<TLoginReply> Attach(const QString& AUser = QString(), const QString& APassword = QString()) {
    Send(WindowHello());
    if (!Next<TWelcome>()) return std::nullopt;
    if (AUser.isEmpty()) return TLoginReply{};
    Send(TLogin{AUser, APassword});
    return Next<TLoginReply>(60000);
  }
  bool Connected() const { return FStream.Handle() >= 0; }
  void Send(const TMessage& AMessage) { SendRaw(Encode(AMessage)); }
  void SendRaw(const QByteArray& ABytes) {
    FStream.Queue(ABytes, static_cast<std::size_t>(-1));
    QElapsedTimer timer;
    timer.start();
    while (FStream.Pending() && FStream.Flush() && timer.elapsed() < 5000) ::usleep(1000);
  }
  // The next message of type T (others are kept for later); none when the
  // recorder closed the connection or nothing came within ATimeOut ms.
  template <typename T> std::optional<T> Next(int ATimeOut = 20000) {
    QElapsedTimer timer;
    timer.start();
    for (;;) {
      for (auto it = FKept.begin(); it != FKept.end(); ++it)
        if (const T* found = std::get_if<T>(&*it)) {
          T value = *found;
          FKept.erase(it);
          return value;
        }
      if (FClosed || timer.elapsed() > ATimeOut) return std::nullopt;
      Pump(100);
    }
  }
  // Reads what arrived for AMs ms; false once the recorder hung up.
  bool Pump(int AMs) {
    pollfd wait{FStream.Handle(), POLLIN, 0};
    if (::poll(&wait, 1, AMs) > 0 && !FStream.Fill()) FClosed = true;
    TMessage message;
    while (FStream.Next(message) == TDecode::Message) FKept.push_back(message);
    return !FClosed;
  }
  // Waits until the recorder hangs up.
  bool Dropped(int ATimeOut) {
    QElapsedTimer timer;
    timer.start();
    while (!FClosed && timer.elapsed() < ATimeOut) {
      Pump(200);
      FKept.clear();
    }
    return FClosed;
  }
  int Handle() const { return FStream.Handle(); }

private:
  TStream FStream;
  std::vector<TMessage> FKept;
  bool FClosed = false;
};

inline QByteArray WriteFrame(int ASlave, int AAddress, int AValue) {
  QByteArray frame;
  for (int byte : {ASlave, 6, AAddress >> 8, AAddress & 0xFF, (AValue >> 8) & 0xFF, AValue & 0xFF})
    frame.append(static_cast<char>(byte));
  const std::uint16_t crc = TModbusData::ComputeCRC16(frame);
  frame.append(static_cast<char>(crc & 0xFF));
  frame.append(static_cast<char>(crc >> 8));
  return frame;
}

inline QByteArray ReadFrame(int ASlave, int AAddress) {
  QByteArray frame;
  for (int byte : {ASlave, 3, AAddress >> 8, AAddress & 0xFF, 0, 1}) frame.append(static_cast<char>(byte));
  const std::uint16_t crc = TModbusData::ComputeCRC16(frame);
  frame.append(static_cast<char>(crc & 0xFF));
  frame.append(static_cast<char>(crc >> 8));
  return frame;
}

// The register a read reply carries.
inline int ReplyValue(const QByteArray& AReply) {
  if (AReply.size() < 5) return -1;
  return static_cast<std::int16_t>(static_cast<std::uint8_t>(AReply[3]) << 8 | static_cast<std::uint8_t>(AReply[4]));
}

// A whole frame: the bytes given and their CRC.
inline QByteArray Framed(std::initializer_list<int> ABytes) {
  QByteArray frame;
  for (int byte : ABytes) frame.append(static_cast<char>(byte));
  const std::uint16_t crc = TModbusData::ComputeCRC16(frame);
  frame.append(static_cast<char>(crc & 0xFF));
  frame.append(static_cast<char>(crc >> 8));
  return frame;
}

} // namespace tervox_test
