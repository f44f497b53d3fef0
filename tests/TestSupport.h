// Shared helpers of the test programs.
#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

class TSQLiteDatabase;

namespace tervox_test {

// A private directory for one test, removed afterwards.
class TempDir {
public:
  TempDir();
  QString Path(const QString& AName) const;
  QString Root() const { return FDir.path(); }

private:
  QTemporaryDir FDir;
};

// Reads a whole file as bytes.
QByteArray ReadFileBytes(const QString& APath);
void WriteFileBytes(const QString& APath, const QByteArray& AData);
// A file's permission bits (0600, 0700, ...), -1 when it is not there.
int FileMode(const QString& APath);

// While it lives, a test run as root acts as the user "nobody", so that
// file permissions apply (root may write any file); otherwise nothing.
class Unprivileged {
public:
  Unprivileged();
  ~Unprivileged();
  Unprivileged(const Unprivileged&) = delete;
  Unprivileged& operator=(const Unprivileged&) = delete;

private:
  bool FSwitched = false;
};

// Fixes the program's clock at a day count until destroyed.
class FixedClock {
public:
  explicit FixedClock(double ANow);
  ~FixedClock();
  void Set(double ANow);
  void Advance(double ADays);

private:
  double FNow;
};

} // namespace tervox_test

// Readable values in test failure messages.
#include <ostream>
inline void PrintTo(const QString& AText, std::ostream* AStream) { *AStream << '"' << AText.toStdString() << '"'; }
#include "core/DqRoutine.h"
inline void PrintTo(const TVariant& AValue, std::ostream* AStream) { *AStream << VarDebugText(AValue).toStdString(); }
#include "trust/Tervox_Audit.h"
namespace TervoxAudit {
inline void PrintTo(const TChange& AChange, std::ostream* AStream) {
  *AStream << AChange.Field.toStdString() << ": \"" << AChange.Old.toStdString() << "\" -> \"" << AChange.New.toStdString() << '"';
}
} // namespace TervoxAudit
