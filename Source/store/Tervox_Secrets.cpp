#include "Tervox_Secrets.h"

#include "core/DqRoutine.h"
#include "DqSQLite.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace {

QString ErrorText(int AError) { return QString::fromLocal8Bit(std::strerror(AError)); }

QJsonObject ReadAll(const QString& AFileName) {
  QFile file(AFileName);
  if (!file.exists()) return {};
  if (!file.open(QIODevice::ReadOnly))
    throw EDqException(QStringLiteral("Cannot read the secrets file \"%1\": %2").arg(AFileName, file.errorString()));
  const QByteArray text = file.readAll();
  if (text.trimmed().isEmpty()) return {};
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(text, &error);
  if (error.error != QJsonParseError::NoError || !document.isObject())
    throw EDqException(QStringLiteral("The secrets file \"%1\" is damaged (%2). Remove it and enter the passwords "
                                      "again in Options.")
                           .arg(AFileName, error.error != QJsonParseError::NoError ? error.errorString()
                                                                                   : QStringLiteral("not an object")));
  return document.object();
}

// Replaces the file whole: a temporary file that is the owner's alone from
// its creation, whatever the umask, renamed over it once written and synced.
void WriteAll(const QString& AFileName, const QJsonObject& ASecrets) {
  const auto fail = [&AFileName](int AError) {
    return EDqException(QStringLiteral("Cannot store the secrets file \"%1\": %2. Nothing was changed.")
                            .arg(AFileName, ErrorText(AError)));
  };
  QByteArray pattern = QFile::encodeName(AFileName) + ".XXXXXX";
  const int handle = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (handle < 0) throw fail(errno);
  const QByteArray text = QJsonDocument(ASecrets).toJson(QJsonDocument::Indented);
  int error = 0;
  if (::fchmod(handle, 0600) != 0) error = errno;
  for (qsizetype done = 0; error == 0 && done < text.size();) {
    const ssize_t written = ::write(handle, text.constData() + done, static_cast<std::size_t>(text.size() - done));
    if (written < 0 && errno != EINTR) error = errno;
    if (written > 0) done += written;
  }
  if (error == 0 && ::fsync(handle) != 0) error = errno;
  if (::close(handle) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(pattern.constData(), QFile::encodeName(AFileName).constData()) != 0) error = errno;
  if (error != 0) {
    ::unlink(pattern.constData());
    throw fail(error);
  }
  // The rename itself survives a power cut.
  const int folder = ::open(QFile::encodeName(QFileInfo(AFileName).absolutePath()).constData(), O_RDONLY | O_CLOEXEC);
  if (folder >= 0) {
    if (::fsync(folder) != 0) {
      // Some file systems cannot sync a folder; the file itself is whole.
    }
    ::close(folder);
  }
}

} // namespace

namespace TervoxSecrets {

QString FileName(const QString& ADatabaseFile) {
  return QFileInfo(ADatabaseFile).absoluteFilePath() + QStringLiteral(".secrets");
}

QString Read(const QString& ADatabaseFile, const QString& AName) {
  return ReadAll(FileName(ADatabaseFile)).value(AName).toString();
}

void Write(const QString& ADatabaseFile, const QString& AName, const QString& AValue) {
  const QString fileName = FileName(ADatabaseFile);
  QJsonObject secrets = ReadAll(fileName);
  if (AValue.isEmpty()) {
    if (!secrets.contains(AName)) return;
    secrets.remove(AName);
  } else {
    if (secrets.value(AName) == QJsonValue(AValue)) return;
    secrets.insert(AName, AValue);
  }
  WriteAll(fileName, secrets);
}

void Remove(const QString& ADatabaseFile, const QString& AName) { Write(ADatabaseFile, AName, QString()); }

const QStringList& ConfigNames() {
  static const QStringList names{QStringLiteral("MQTTPassword")};
  return names;
}

void DropFromConfig(TSQLiteDatabase& ADatabase, const QString& AName) {
  // Overwritten where it stood, not only unlinked: a copy of the file made
  // later must not carry it in its free space.
  const std::int64_t secureDelete = ADatabase.GetTableValue(QStringLiteral("PRAGMA secure_delete"));
  ADatabase.GetTable(QStringLiteral("PRAGMA secure_delete = 1"));
  const auto restore = [&] { ADatabase.GetTable(QStringLiteral("PRAGMA secure_delete = %1").arg(secureDelete)); };
  try {
    TSQLiteTable table(&ADatabase);
    table.SetSQL(QStringLiteral("DELETE FROM Config WHERE Name = :Name"));
    table.SetParamValues(":Name", AName);
    table.ExecSQL();
  } catch (...) {
    restore();
    throw;
  }
  restore();
}

QStringList MoveFromConfig(TSQLiteDatabase& ADatabase) {
  const QString databaseFile = ADatabase.FileName();
  if (databaseFile.isEmpty() || databaseFile == QLatin1String(":memory:")) return {};
  std::vector<std::pair<QString, QString>> found;
  for (const QString& name : ConfigNames()) {
    TSQLiteTable table(&ADatabase);
    table.SetSQL(QStringLiteral("SELECT Value FROM Config WHERE Name = :Name"));
    table.SetParamValues(":Name", name);
    table.Open();
    if (!table.Eof()) found.emplace_back(name, table.GetFields(0)->AsString());
  }
  if (found.empty()) return {};
  // Stored first, deleted after: a failed write loses nothing.
  const QString fileName = FileName(databaseFile);
  QJsonObject secrets = ReadAll(fileName);
  bool changed = false;
  for (const auto& [name, value] : found) {
    if (value.isEmpty() || !secrets.value(name).toString().isEmpty()) continue;
    secrets.insert(name, value);
    changed = true;
  }
  if (changed) WriteAll(fileName, secrets);
  QStringList moved;
  for (const auto& [name, value] : found) {
    DropFromConfig(ADatabase, name);
    moved << name;
  }
  return moved;
}

} // namespace TervoxSecrets
