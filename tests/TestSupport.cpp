#include "TestSupport.h"

#include "core/DqRoutine.h"

#include <QFile>

#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

namespace tervox_test {

TempDir::TempDir() { FDir.setAutoRemove(true); }

QString TempDir::Path(const QString& AName) const { return FDir.filePath(AName); }

QByteArray ReadFileBytes(const QString& APath) {
  QFile file(APath);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

void WriteFileBytes(const QString& APath, const QByteArray& AData) {
  QFile file(APath);
  if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(AData);
}

int FileMode(const QString& APath) {
  struct stat info {};
  if (::lstat(QFile::encodeName(APath).constData(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

Unprivileged::Unprivileged() {
  if (geteuid() != 0) return;
  FSwitched = seteuid(65534) == 0; // nobody
}

Unprivileged::~Unprivileged() {
  if (FSwitched && seteuid(0) != 0) std::abort();
}

FixedClock::FixedClock(double ANow) : FNow(ANow) { SetClock([this] { return FNow; }); }
FixedClock::~FixedClock() { SetClock({}); }
void FixedClock::Set(double ANow) { FNow = ANow; }
void FixedClock::Advance(double ADays) { FNow += ADays; }

} // namespace tervox_test
