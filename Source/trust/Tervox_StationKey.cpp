#include "Tervox_StationKey.h"

#include "core/DqRoutine.h"
#include "store/DqHistoryChain.h"
#include "store/DqSQLite.h"
#include "store/DqSQLiteStatement.h"

#include <QDateTime>
#include <QFile>
#include <QStringList>

#include <sodium.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

namespace TervoxStationKey {

namespace {

const TSQLiteStatement::TErrors kErrors{QStringLiteral("The history's seals cannot be read"),
                                        QStringLiteral("The history's seals cannot be written"), true};

void StartSodium() {
  if (sodium_init() < 0) throw EDqException(QStringLiteral("libsodium failed to start"));
}

QString UTCText(double ANow) { return DateTimeToQDateTime(ANow).toUTC().toString(Qt::ISODateWithMs); }

// The heads as signed: one line each, numbers in decimal, hashes in hex.
QString HeadsText(TSQLiteDatabase& ADatabase, const QString& AUTCTime) {
  QStringList lines{QStringLiteral("tervox-seal 1"), QStringLiteral("utc ") + AUTCTime};
  TSQLiteStatement last(kErrors, ADatabase,
                        QStringLiteral("SELECT Link, Through, Chain FROM HistoryChain WHERE DeviceID = ?1 ORDER BY "
                                       "Link DESC LIMIT 1"));
  for (std::int64_t device : HistoryChainDevices(ADatabase)) {
    last.Reset();
    last.Bind(1, device);
    if (!last.Step()) continue;
    const QByteArray chain(static_cast<const char*>(sqlite3_column_blob(last.Stmt(), 2)),
                           sqlite3_column_bytes(last.Stmt(), 2));
    lines << QStringLiteral("chain %1 %2 %3 %4")
                 .arg(device)
                 .arg(sqlite3_column_int64(last.Stmt(), 0))
                 .arg(sqlite3_column_int64(last.Stmt(), 1))
                 .arg(QString::fromLatin1(chain.toHex()));
  }
  last.Reset();
  std::int64_t auditID = 0;
  QString auditHash;
  if (ADatabase.TableExists(QStringLiteral("AuditTrail"))) {
    TSQLiteStatement audit(kErrors, ADatabase, QStringLiteral("SELECT ID, Hash FROM AuditTrail ORDER BY ID DESC LIMIT 1"));
    if (audit.Step()) {
      auditID = sqlite3_column_int64(audit.Stmt(), 0);
      auditHash = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(audit.Stmt(), 1)));
    }
  }
  lines << QStringLiteral("audit %1 %2").arg(auditID).arg(auditHash);
  return lines.join(QLatin1Char('\n'));
}

void ParseHeads(TSeal& ASeal) {
  for (const QString& line : ASeal.Heads.split(QLatin1Char('\n'))) {
    const QStringList words = line.split(QLatin1Char(' '));
    if (words.value(0) == QLatin1String("chain") && words.size() == 5) {
      ASeal.Links.push_back({words[1].toLongLong(), words[2].toLongLong(), words[3].toLongLong(),
                             QByteArray::fromHex(words[4].toLatin1())});
    } else if (words.value(0) == QLatin1String("audit") && words.size() >= 2) {
      ASeal.AuditID = words[1].toLongLong();
      ASeal.AuditHash = words.value(2);
    }
  }
}

} // namespace

QString KeyFileName(const QString& ADatabaseFile) { return ADatabaseFile + QStringLiteral(".key"); }

bool ReadSecretKey(const QString& AKeyFile, QByteArray& ASecret, QString& AError) {
  QFile file(AKeyFile);
  if (!file.exists()) {
    AError = QStringLiteral("the key file \"%1\" is missing").arg(AKeyFile);
    return false;
  }
  if (!file.open(QIODevice::ReadOnly)) {
    AError = QStringLiteral("the key file \"%1\" cannot be read: %2").arg(AKeyFile, file.errorString());
    return false;
  }
  ASecret = file.readAll();
  if (ASecret.size() != crypto_sign_SECRETKEYBYTES) {
    AError = QStringLiteral("the file \"%1\" is not a station key").arg(AKeyFile);
    return false;
  }
  return true;
}

QByteArray PublicKeyOf(const QByteArray& ASecret) {
  StartSodium();
  QByteArray key(crypto_sign_PUBLICKEYBYTES, '\0');
  crypto_sign_ed25519_sk_to_pk(reinterpret_cast<unsigned char*>(key.data()),
                               reinterpret_cast<const unsigned char*>(ASecret.constData()));
  return key;
}

QByteArray StoredPublicKey(TSQLiteDatabase& ADatabase) {
  if (!ADatabase.TableExists(QStringLiteral("HistoryChainSeal"))) return QByteArray();
  TSQLiteStatement key(kErrors, ADatabase,
                       QStringLiteral("SELECT Heads FROM HistoryChainSeal WHERE Kind = 'key' ORDER BY ID LIMIT 1"));
  if (!key.Step()) return QByteArray();
  return QByteArray::fromHex(QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(key.Stmt(), 0))));
}

void EnsureStationKey(TSQLiteDatabase& ADatabase, const QString& AKeyFile) {
  EnsureHistoryChain(ADatabase);
  if (!StoredPublicKey(ADatabase).isEmpty()) return;
  StartSodium();
  QByteArray secret;
  QString error;
  if (!QFile::exists(AKeyFile)) {
    QByteArray pk(crypto_sign_PUBLICKEYBYTES, '\0');
    secret = QByteArray(crypto_sign_SECRETKEYBYTES, '\0');
    crypto_sign_keypair(reinterpret_cast<unsigned char*>(pk.data()), reinterpret_cast<unsigned char*>(secret.data()));
    // Made with its rights: never readable by others, not even for a moment.
    const int fd = ::open(QFile::encodeName(AKeyFile).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, secret.constData(), secret.size()) != secret.size() || ::fsync(fd) != 0) {
      if (fd >= 0) ::close(fd);
      QFile::remove(AKeyFile);
      throw EDqException(QStringLiteral("The station key \"%1\" cannot be written").arg(AKeyFile));
    }
    ::close(fd);
  } else if (!ReadSecretKey(AKeyFile, secret, error)) {
    throw EDqException(QStringLiteral("The station key cannot be used: %1").arg(error));
  }
  TSQLiteStatement insert(kErrors, ADatabase,
                          QStringLiteral("INSERT INTO HistoryChainSeal (Kind, UTCTime, Heads) VALUES ('key', ?1, ?2)"));
  insert.Bind(1, UTCText(Now()));
  insert.Bind(2, QString::fromLatin1(PublicKeyOf(secret).toHex()));
  insert.Run();
}

void SealHeads(TSQLiteDatabase& ADatabase, const QString& AKeyFile, double ANow) {
  QByteArray secret;
  QString error;
  if (!ReadSecretKey(AKeyFile, secret, error))
    throw EDqException(QStringLiteral("The history cannot be sealed: %1").arg(error));
  StartSodium();
  const QString utc = UTCText(ANow);
  // The heads read and the seal stored in one transaction: nothing is
  // chained between.
  ADatabase.InWriteTransaction([&] {
    const QByteArray heads = HeadsText(ADatabase, utc).toUtf8();
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(heads.constData()),
                         static_cast<unsigned long long>(heads.size()),
                         reinterpret_cast<const unsigned char*>(secret.constData()));
    TSQLiteStatement insert(kErrors, ADatabase,
                            QStringLiteral("INSERT INTO HistoryChainSeal (Kind, UTCTime, Heads, Signature) VALUES "
                                           "('seal', ?1, ?2, ?3)"));
    insert.Bind(1, utc);
    insert.Bind(2, QString::fromUtf8(heads));
    sqlite3_bind_blob(insert.Stmt(), 3, signature.constData(), static_cast<int>(signature.size()), SQLITE_TRANSIENT);
    insert.Run();
  });
  sodium_memzero(secret.data(), static_cast<std::size_t>(secret.size()));
}

bool SealDue(TSQLiteDatabase& ADatabase, double ANow, double ASeconds) {
  TSQLiteStatement last(kErrors, ADatabase,
                        QStringLiteral("SELECT UTCTime FROM HistoryChainSeal WHERE Kind = 'seal' ORDER BY ID DESC LIMIT 1"));
  if (!last.Step()) return true;
  const QDateTime sealed = QDateTime::fromString(
      QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(last.Stmt(), 0))), Qt::ISODateWithMs);
  const QDateTime now = DateTimeToQDateTime(ANow);
  return !sealed.isValid() || sealed.msecsTo(now) >= static_cast<qint64>(ASeconds * 1000) || sealed > now;
}

std::vector<TSeal> Seals(TSQLiteDatabase& ADatabase) {
  std::vector<TSeal> seals;
  if (!ADatabase.TableExists(QStringLiteral("HistoryChainSeal"))) return seals;
  TSQLiteStatement select(kErrors, ADatabase,
                          QStringLiteral("SELECT ID, UTCTime, Heads, Signature FROM HistoryChainSeal WHERE Kind = 'seal' "
                                         "ORDER BY ID"));
  while (select.Step()) {
    TSeal seal;
    seal.ID = sqlite3_column_int64(select.Stmt(), 0);
    seal.UTCTime = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(select.Stmt(), 1)));
    seal.Heads = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(select.Stmt(), 2)));
    seal.Signature = QByteArray(static_cast<const char*>(sqlite3_column_blob(select.Stmt(), 3)),
                                sqlite3_column_bytes(select.Stmt(), 3));
    ParseHeads(seal);
    seals.push_back(std::move(seal));
  }
  return seals;
}

bool SignatureValid(const QByteArray& APublicKey, const TSeal& ASeal) {
  StartSodium();
  if (APublicKey.size() != crypto_sign_PUBLICKEYBYTES || ASeal.Signature.size() != crypto_sign_BYTES) return false;
  const QByteArray heads = ASeal.Heads.toUtf8();
  return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(ASeal.Signature.constData()),
                                     reinterpret_cast<const unsigned char*>(heads.constData()),
                                     static_cast<unsigned long long>(heads.size()),
                                     reinterpret_cast<const unsigned char*>(APublicKey.constData())) == 0;
}

} // namespace TervoxStationKey
