#include "Tervox_StationLock.h"

#include "Main_Database.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Open-file-description locks: like flock they belong to the open file and
// vanish with the process, and unlike flock they can be tested without
// being taken (F_OFD_GETLK).
flock WholeFile(short AType) {
  flock lock{};
  lock.l_type = AType;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  lock.l_pid = 0;
  return lock;
}

TTervoxStationHolder ReadHolder(int AHandle) {
  TTervoxStationHolder holder;
  char buffer[4096];
  const ssize_t count = ::pread(AHandle, buffer, sizeof buffer - 1, 0);
  if (count <= 0) return holder;
  const QStringList lines = QString::fromUtf8(buffer, static_cast<qsizetype>(count)).split(QLatin1Char('\n'));
  holder.PID = lines.value(0).trimmed().toLongLong();
  holder.Program = lines.value(1).trimmed();
  holder.Socket = lines.value(2).trimmed();
  return holder;
}

} // namespace

TTervoxStationLock::TTervoxStationLock(const QString& ADatabaseFile) : FFileName(LockFileName(ADatabaseFile)) {}

TTervoxStationLock::~TTervoxStationLock() { Release(); }

QString TTervoxStationLock::LockFileName(const QString& ADatabaseFile) {
  return QFileInfo(ADatabaseFile).absoluteFilePath() + QStringLiteral(".lock");
}

QString TTervoxStationLock::SocketFileName(const QString& ADatabaseFile) {
  return QFileInfo(ADatabaseFile).absoluteFilePath() + QStringLiteral(".sock");
}

bool TTervoxStationLock::Acquire(const QString& AProgram, const QString& ASocket, QString* AError) {
  if (FHandle >= 0) return true;
  // Group members (the windows of a service's users) test and take it too.
  const int handle = ::open(QFile::encodeName(FFileName).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
  if (handle < 0) {
    if (AError) *AError = QStringLiteral("Cannot open %1: %2").arg(FFileName, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  }
  // Whatever the umask: a window of the group takes it when it polls itself.
  if (::fchmod(handle, 0660) != 0) {
    // Not the file's owner: its mode stays the owner's choice.
  }
  flock lock = WholeFile(F_WRLCK);
  if (::fcntl(handle, F_OFD_SETLK, &lock) != 0) {
    ::close(handle);
    return false;
  }
  FHandle = handle;
  const QByteArray text = QStringLiteral("%1\n%2\n%3\n").arg(::getpid()).arg(AProgram, ASocket).toUtf8();
  if (::ftruncate(handle, 0) != 0 || ::pwrite(handle, text.constData(), static_cast<std::size_t>(text.size()), 0) < 0) {
    // The lock counts, whatever the file says; a reader then knows no PID.
  }
  return true;
}

void TTervoxStationLock::Release() {
  if (FHandle < 0) return;
  // Emptied first: a reader never finds a stale PID in a free file.
  if (::ftruncate(FHandle, 0) != 0) {
  }
  ::close(FHandle);
  FHandle = -1;
}

TTervoxStationHolder TTervoxStationLock::OtherHolder(const QString& ADatabaseFile) {
  const QString name = LockFileName(ADatabaseFile);
  const int handle = ::open(QFile::encodeName(name).constData(), O_RDONLY | O_CLOEXEC);
  if (handle < 0) return {};
  flock lock = WholeFile(F_WRLCK);
  TTervoxStationHolder holder;
  if (::fcntl(handle, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) {
    holder = ReadHolder(handle);
    // Held, but the holder is still writing its name: someone all the same.
    if (holder.PID == 0) holder.PID = -1;
    if (holder.PID == ::getpid()) holder = {};
  }
  ::close(handle);
  return holder;
}

bool StationRecordedElsewhere() { return TTervoxStationLock::OtherHolder(GetDatabaseFileName()).Held(); }
