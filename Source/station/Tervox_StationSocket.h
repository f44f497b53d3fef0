// The station's Unix stream socket: listening and connecting at a path of
// any length, who is on the other end, and one peer's buffered,
// non-blocking message stream.
#pragma once

#include "Tervox_StationProtocol.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <sys/types.h>

namespace TervoxStation {

// A listening socket at APath, mode 0660 (a stale file of a killed
// recorder is replaced); -1 with AError on failure. Non-blocking.
int Listen(const QString& APath, QString* AError);
// The group of the socket at APath, read where Listen made it (so at a path
// of any length); false with AError, AGroup as it was, when it cannot be.
bool SocketGroup(const QString& APath, gid_t& AGroup, QString* AError);
// A connected, non-blocking socket; -1 when nobody listens there.
int Connect(const QString& APath);

struct TPeer {
  pid_t PID = 0;
  uid_t UID = 0;
  gid_t GID = 0;
};
bool PeerOf(int AHandle, TPeer& APeer);
// Who may talk to a recorder: root, its own user, or a member of the
// socket's group (the group a service's windows share).
bool PeerAllowed(const TPeer& APeer, gid_t ASocketGroup);

// One end of a connection: what arrived and is not yet decoded, what is
// to be sent and has not left yet.
class TStream {
public:
  explicit TStream(int AHandle) : FHandle(AHandle) {}
  ~TStream();
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  int Handle() const { return FHandle; }
  // Appends to the outbox; false when that would pass ALimit bytes waiting
  // (a peer that does not read).
  bool Queue(const QByteArray& AMessage, std::size_t ALimit);
  bool Pending() const { return !FOut.isEmpty(); }
  std::size_t PendingBytes() const { return static_cast<std::size_t>(FOut.size()); }
  // Writes what the socket takes now; false when the peer is gone.
  bool Flush();
  // Reads what has arrived; false at end of stream or on error.
  bool Fill();
  // The next whole message of what arrived.
  TDecode Next(TMessage& AMessage) { return Decode(FIn, AMessage); }

private:
  int FHandle;
  QByteArray FIn;
  QByteArray FOut;
};

} // namespace TervoxStation
