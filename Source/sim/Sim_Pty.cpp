#include "Sim_Pty.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

TSimPty::TSimPty(const QString& ALink) {
  FLinkPath = ALink.contains(QLatin1Char('/')) ? ALink : PortDir() + QLatin1Char('/') + ALink;
}

TSimPty::~TSimPty() { Close(); }

namespace {

QString SharedFallbackDir() { return QDir::tempPath() + QStringLiteral("/tervox-%1").arg(getuid()); }

// The fallback folder lies in a folder every user writes: it is made for
// the user alone, and one that another user made first (who could read the
// lines or put links of theirs there) or that others may enter is refused.
bool MakePrivateFolder(const QString& AFolder, QString* AError) {
  const QByteArray name = QFile::encodeName(AFolder);
  if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
    if (AError) *AError = QStringLiteral("cannot make %1: %2").arg(AFolder, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  }
  struct stat info {};
  if (::lstat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
      (info.st_mode & 077) != 0) {
    if (AError)
      *AError = QStringLiteral("%1 is not a folder of this user's alone (another owner, or open to others); remove it, "
                               "or name another folder in TERVOX_PORT_DIR")
                    .arg(AFolder);
    return false;
  }
  return true;
}

} // namespace

QString TSimPty::PortDir() {
  const QByteArray own = qgetenv("TERVOX_PORT_DIR");
  if (!own.isEmpty()) return QString::fromLocal8Bit(own);
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty()) return QString::fromLocal8Bit(runtime) + QStringLiteral("/tervox");
  return SharedFallbackDir();
}

bool TSimPty::Open(QString* AError) {
  Close();
  auto fail = [&](const QString& AWhat) {
    if (AError) *AError = AWhat + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
    Close();
    return false;
  };
  FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (FMaster < 0) return fail(QStringLiteral("posix_openpt"));
  if (grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) return fail(QStringLiteral("unlockpt"));
  char name[128];
  if (ptsname_r(FMaster, name, sizeof name) != 0) return fail(QStringLiteral("ptsname"));
  FSlavePath = QString::fromLocal8Bit(name);
  FSlaveHold = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (FSlaveHold < 0) return fail(QStringLiteral("open ") + FSlavePath);
  // Raw bytes from the start, whatever the opener does.
  termios line{};
  if (tcgetattr(FSlaveHold, &line) == 0) {
    cfmakeraw(&line);
    tcsetattr(FSlaveHold, TCSANOW, &line);
  }
  const QString folder = QFileInfo(FLinkPath).absolutePath();
  if (folder == SharedFallbackDir()) {
    if (!MakePrivateFolder(folder, AError)) {
      Close();
      return false;
    }
  } else {
    QDir().mkpath(folder);
  }
  // Replace any stale link atomically.
  const QString temporary = FLinkPath + QStringLiteral(".new");
  QFile::remove(temporary);
  if (::symlink(name, QFile::encodeName(temporary).constData()) != 0) return fail(QStringLiteral("symlink"));
  if (::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(FLinkPath).constData()) != 0)
    return fail(QStringLiteral("rename"));
  return true;
}

void TSimPty::Close() {
  if (FMaster >= 0) {
    const QFileInfo link(FLinkPath);
    if (link.isSymLink() && link.symLinkTarget() == FSlavePath) QFile::remove(FLinkPath);
  }
  if (FSlaveHold >= 0) ::close(FSlaveHold);
  if (FMaster >= 0) ::close(FMaster);
  FSlaveHold = -1;
  FMaster = -1;
}
