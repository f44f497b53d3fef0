// The station's key: an Ed25519 key pair made when the recording process
// first opens a database without one. The secret key stays in a file of
// its owner's alone beside the database (never in it, nor in a backup);
// the database keeps the public key (a "key" row of HistoryChainSeal), so
// a database of another station is told apart. The chain heads and the
// audit trail's head are signed at least hourly and at every stop of the
// recording ("seal" rows).
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

class TSQLiteDatabase;

namespace TervoxStationKey {

// "<database file>.key".
QString KeyFileName(const QString& ADatabaseFile);

// The secret key of AKeyFile; false with AError when it is missing or not
// a key.
bool ReadSecretKey(const QString& AKeyFile, QByteArray& ASecret, QString& AError);
QByteArray PublicKeyOf(const QByteArray& ASecret);
// The public key the database names; empty when none.
QByteArray StoredPublicKey(TSQLiteDatabase& ADatabase);

// Makes the key pair and names its public key in the database when it
// names none (the key file kept when it is there already). Raises when
// the key file cannot be written.
void EnsureStationKey(TSQLiteDatabase& ADatabase, const QString& AKeyFile);

// A seal as stored: the heads it signs, as text, and the signature.
struct THeadLink {
  std::int64_t DeviceID = 0;
  std::int64_t Link = 0;
  std::int64_t Through = 0;
  QByteArray Chain;
};
struct TSeal {
  std::int64_t ID = 0;
  QString UTCTime;
  QString Heads;
  QByteArray Signature;
  // Parsed from Heads.
  std::vector<THeadLink> Links;
  std::int64_t AuditID = 0;
  QString AuditHash;
};

// Signs the heads as they are now (time ANow, local days) with the key of
// AKeyFile. Raises when the key cannot be read.
void SealHeads(TSQLiteDatabase& ADatabase, const QString& AKeyFile, double ANow);
// True when no seal is younger than ASeconds at ANow.
bool SealDue(TSQLiteDatabase& ADatabase, double ANow, double ASeconds = 3600);

std::vector<TSeal> Seals(TSQLiteDatabase& ADatabase);
bool SignatureValid(const QByteArray& APublicKey, const TSeal& ASeal);

} // namespace TervoxStationKey
