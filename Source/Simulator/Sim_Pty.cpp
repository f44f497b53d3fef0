#include "Sim_Pty.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

TSimPty::TSimPty(const QString& ALink) {
  FLinkPath = ALink.contains(QLatin1Char('/')) ? ALink : PortDir() + QLatin1Char('/') + ALink;
}

TSimPty::~TSimPty() { Close(); }

QString TSimPty::PortDir() {
  const QByteArray own = qgetenv("TERVOX_PORT_DIR");
  if (!own.isEmpty()) return QString::fromLocal8Bit(own);
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty()) return QString::fromLocal8Bit(runtime) + QStringLiteral("/tervox");
  return QStringLiteral("/tmp/tervox-%1").arg(getuid());
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
  QDir().mkpath(QFileInfo(FLinkPath).absolutePath());
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
