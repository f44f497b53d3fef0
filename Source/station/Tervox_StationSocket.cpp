#include "Tervox_StationSocket.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <mutex>
#include <vector>

namespace TervoxStation {
namespace {

// sun_path holds 107 bytes. A longer path (a data directory deep in a
// home folder) is reached through the directory's descriptor instead:
// /proc/self/fd/N/name is short and names the same place.
class TAddress {
public:
  explicit TAddress(const QString& APath) {
    QByteArray path = QFile::encodeName(APath);
    if (static_cast<std::size_t>(path.size()) >= sizeof(FAddress.sun_path)) {
      const QFileInfo info(APath);
      FDirectory = ::open(QFile::encodeName(info.absolutePath()).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      path = QStringLiteral("/proc/self/fd/%1/%2").arg(FDirectory).arg(info.fileName()).toLocal8Bit();
    }
    FAddress.sun_family = AF_UNIX;
    FValid = static_cast<std::size_t>(path.size()) < sizeof(FAddress.sun_path);
    if (FValid) std::memcpy(FAddress.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
  }
  ~TAddress() {
    if (FDirectory >= 0) ::close(FDirectory);
  }
  bool Valid() const { return FValid; }
  const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(&FAddress); }
  socklen_t Size() const { return sizeof(FAddress); }
  const char* Path() const { return FAddress.sun_path; }

private:
  sockaddr_un FAddress{};
  int FDirectory = -1;
  bool FValid = false;
};

QString ErrnoText() { return QString::fromLocal8Bit(std::strerror(errno)); }

// The umask is the process's: two sockets made at once must not restore
// each other's.
std::mutex gUmaskLock;

} // namespace

int Listen(const QString& APath, QString* AError) {
  const TAddress address(APath);
  auto fail = [&](const QString& AWhat) {
    if (AError) *AError = QStringLiteral("%1 %2: %3").arg(AWhat, APath, ErrnoText());
    return -1;
  };
  if (!address.Valid()) return fail(QStringLiteral("Cannot name the socket"));
  const int handle = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (handle < 0) return fail(QStringLiteral("Cannot make the socket"));
  // Only the lock's holder gets here: a file left by a killed recorder is
  // nobody's any more.
  ::unlink(address.Path());
  // Bound with at most 0660 from the start: bound first and changed after,
  // it would have the umask's mode for a moment. The umask is only ever
  // narrowed here, so a file another thread makes meanwhile gains nothing.
  mode_t mask = 0;
  bool bound = false;
  {
    std::lock_guard<std::mutex> guard(gUmaskLock);
    mask = ::umask(0777);
    ::umask(mask | 0117);
    bound = ::bind(handle, address.Raw(), address.Size()) == 0;
    const int error = errno;
    ::umask(mask);
    errno = error;
  }
  // The group's rights the umask took are given back.
  const bool narrowed = (0777 & ~(mask | 0117)) != 0660;
  if (!bound || (narrowed && ::chmod(address.Path(), 0660) != 0) || ::listen(handle, 16) != 0) {
    const int error = errno;
    ::close(handle);
    errno = error;
    return fail(QStringLiteral("Cannot serve"));
  }
  return handle;
}

bool SocketGroup(const QString& APath, gid_t& AGroup, QString* AError) {
  const TAddress address(APath);
  struct stat info {};
  if (!address.Valid()) errno = ENAMETOOLONG;
  if (!address.Valid() || ::stat(address.Path(), &info) != 0) {
    if (AError) *AError = QStringLiteral("Cannot read the group of %1: %2").arg(APath, ErrnoText());
    return false;
  }
  AGroup = info.st_gid;
  return true;
}

int Connect(const QString& APath) {
  const TAddress address(APath);
  if (!address.Valid()) return -1;
  const int handle = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (handle < 0) return -1;
  if (::connect(handle, address.Raw(), address.Size()) != 0) {
    ::close(handle);
    return -1;
  }
  ::fcntl(handle, F_SETFL, ::fcntl(handle, F_GETFL) | O_NONBLOCK);
  return handle;
}

bool PeerOf(int AHandle, TPeer& APeer) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(AHandle, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
  APeer.PID = credentials.pid;
  APeer.UID = credentials.uid;
  APeer.GID = credentials.gid;
  return true;
}

bool PeerAllowed(const TPeer& APeer, gid_t ASocketGroup) {
  if (APeer.UID == 0 || APeer.UID == ::geteuid() || APeer.GID == ASocketGroup) return true;
  // The peer's supplementary groups, as its account lists them.
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(APeer.UID, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  if (::getgrouplist(entry.pw_name, APeer.GID, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (::getgrouplist(entry.pw_name, APeer.GID, groups.data(), &count) < 0) return false;
  }
  for (int i = 0; i < count; ++i)
    if (groups[static_cast<std::size_t>(i)] == ASocketGroup) return true;
  return false;
}

TStream::~TStream() {
  if (FHandle >= 0) ::close(FHandle);
}

bool TStream::Queue(const QByteArray& AMessage, std::size_t ALimit) {
  if (static_cast<std::size_t>(FOut.size() + AMessage.size()) > ALimit) return false;
  FOut.append(AMessage);
  return true;
}

bool TStream::Flush() {
  while (!FOut.isEmpty()) {
    const ssize_t sent = ::send(FHandle, FOut.constData(), static_cast<std::size_t>(FOut.size()), MSG_NOSIGNAL);
    if (sent > 0) {
      FOut.remove(0, static_cast<qsizetype>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    return sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return true;
}

bool TStream::Fill() {
  char buffer[8192];
  for (;;) {
    const ssize_t count = ::recv(FHandle, buffer, sizeof buffer, 0);
    if (count > 0) {
      FIn.append(buffer, static_cast<qsizetype>(count));
      // More than one message's worth waiting undecoded: the peer floods.
      if (static_cast<std::size_t>(FIn.size()) > 4 * (kMaxBody + 4)) return false;
      continue;
    }
    if (count == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

} // namespace TervoxStation
