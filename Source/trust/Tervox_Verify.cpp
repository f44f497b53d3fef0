#include "Tervox_Verify.h"

#include "Tervox_Audit.h"
#include "Tervox_Chain.h"
#include "Tervox_StationKey.h"
#include "core/DqRoutine.h"
#include "store/DqHistoryChain.h"
#include "store/DqHistorySummary.h"
#include "store/DqSQLite.h"
#include "store/DqSQLiteStatement.h"

#include <QDateTime>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>

namespace TervoxVerify {

namespace {

const TSQLiteStatement::TErrors kErrors{QStringLiteral("The database cannot be read"),
                                        QStringLiteral("The database cannot be read"), true};

// Found: the first problem ends the check.
struct TFound {
  QString Problem;
};

QString MinuteText(std::int64_t AMinute) {
  return DateTimeToQDateTime(AMinute / kMinutesPerDay).toString(QStringLiteral("yyyy-MM-dd hh:mm"));
}
QString TimeText(double ATime) {
  return DateTimeToQDateTime(ATime).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
}

class TChecker {
public:
  TChecker(TSQLiteDatabase& ADatabase, const TOptions& AOptions, TResult& AResult)
      : FDatabase(ADatabase), FOptions(AOptions), FResult(AResult) {
    if (FDatabase.TableExists(QStringLiteral("Device"))) {
      TSQLiteStatement names(kErrors, FDatabase, QStringLiteral("SELECT ID, Name FROM Device"));
      while (names.Step())
        FNames[sqlite3_column_int64(names.Stmt(), 0)] =
            QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(names.Stmt(), 1)));
    }
    // Whole minutes: a time given to the second lands on its own minute,
    // not a rounding below it.
    auto minuteOf = [](double ATime) { return static_cast<std::int64_t>(std::floor(ATime * kMinutesPerDay + 1e-6)); };
    FFromMinute = std::isfinite(AOptions.From) ? minuteOf(AOptions.From) : std::numeric_limits<std::int64_t>::min() / 2;
    FToMinute = std::isfinite(AOptions.To) ? minuteOf(AOptions.To) : std::numeric_limits<std::int64_t>::max() / 2;
  }

  QString Controller(std::int64_t ADeviceID) const {
    const auto found = FNames.find(ADeviceID);
    return found != FNames.end() ? QStringLiteral("controller \"%1\" (ID %2)").arg(found->second).arg(ADeviceID)
                                 : QStringLiteral("controller ID %1").arg(ADeviceID);
  }

  [[noreturn]] void Tampered(const QString& AProblem) { throw TFound{AProblem}; }

  // The station's key: the key file's public key against the database's.
  void CheckKey() {
    const QString keyFile = FOptions.KeyFile;
    FStoredKey = TervoxStationKey::StoredPublicKey(FDatabase);
    QByteArray secret;
    QString error;
    if (!TervoxStationKey::ReadSecretKey(keyFile, secret, error)) {
      if (FStoredKey.isEmpty() && !QFileInfo::exists(keyFile)) {
        // A file the recording never opened (an archive): its chain only.
        FArchive = true;
        FResult.Notes << QStringLiteral("the database names no station key (an archive): its chain is checked, "
                                        "there are no seals to check");
        return;
      }
      FResult.Status = TStatus::CannotCheck;
      FResult.Notes << QStringLiteral("cannot check the seals' signatures: %1").arg(error);
      return;
    }
    FFileKey = TervoxStationKey::PublicKeyOf(secret);
    if (FStoredKey.isEmpty())
      Tampered(QStringLiteral("the database names no station key, but the key file \"%1\" is there: its key was "
                              "removed, or the database is not this station's")
                   .arg(keyFile));
    if (FStoredKey != FFileKey)
      Tampered(QStringLiteral("a database from another station: the key file \"%1\" is not the key of this database's "
                              "station")
                   .arg(keyFile));
  }

  void CheckAudit() {
    const TervoxAudit::TCheck check = TervoxAudit::CheckChain(FDatabase);
    if (!check.Intact) Tampered(QStringLiteral("audit trail: ") + check.Problem);
    FResult.AuditEntries = check.Entries;
    FAuditHead = check.HeadID;
  }

  QString AuditHash(std::int64_t AID) {
    if (!FDatabase.TableExists(QStringLiteral("AuditTrail"))) return QString();
    TSQLiteStatement entry(kErrors, FDatabase, QStringLiteral("SELECT Hash FROM AuditTrail WHERE ID = ?1"));
    entry.Bind(1, AID);
    return entry.Step() ? QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(entry.Stmt(), 0)))
                        : QString();
  }

  // Every seal: signed by this station's key, and what it signed still
  // there (a tail removed after it shows here).
  void CheckSeals() {
    const std::vector<TervoxStationKey::TSeal> seals = TervoxStationKey::Seals(FDatabase);
    FResult.Seals = static_cast<std::int64_t>(seals.size());
    if (!seals.empty() && FStoredKey.isEmpty()) Tampered(QStringLiteral("the database holds seals but no station key"));
    TSQLiteStatement link(kErrors, FDatabase,
                          QStringLiteral("SELECT Chain FROM HistoryChain WHERE DeviceID = ?1 AND Link = ?2"));
    TSQLiteStatement last(kErrors, FDatabase,
                          QStringLiteral("SELECT max(Link) FROM HistoryChain WHERE DeviceID = ?1"));
    for (const TervoxStationKey::TSeal& seal : seals) {
      if (!FFileKey.isEmpty() && !TervoxStationKey::SignatureValid(FFileKey, seal))
        Tampered(QStringLiteral("the seal of %1 (seal %2) is not signed by this station's key: it was changed")
                     .arg(seal.UTCTime)
                     .arg(seal.ID));
      if (!seal.Heads.contains(QStringLiteral("\nutc ") + seal.UTCTime + QLatin1Char('\n')))
        Tampered(QStringLiteral("the seal %1 was changed: its time is not the time it signs").arg(seal.ID));
      for (const TervoxStationKey::THeadLink& head : seal.Links) {
        link.Reset();
        link.Bind(1, head.DeviceID);
        link.Bind(2, head.Link);
        if (!link.Step()) {
          last.Reset();
          last.Bind(1, head.DeviceID);
          last.Step();
          const std::int64_t ends = sqlite3_column_int64(last.Stmt(), 0);
          Tampered(QStringLiteral("history removed after the seal of %1: the chain of %2 ends at link %3, the seal "
                                  "names link %4 (readings up to %5)")
                       .arg(seal.UTCTime, Controller(head.DeviceID))
                       .arg(ends)
                       .arg(head.Link)
                       .arg(MinuteText(head.Through)));
        }
        const QByteArray chain(static_cast<const char*>(sqlite3_column_blob(link.Stmt(), 0)),
                               sqlite3_column_bytes(link.Stmt(), 0));
        if (chain != head.Chain)
          Tampered(QStringLiteral("the chain of %1 was changed before the seal of %2 (link %3)")
                       .arg(Controller(head.DeviceID), seal.UTCTime)
                       .arg(head.Link));
      }
      if (seal.AuditID > 0) {
        const QString hash = AuditHash(seal.AuditID);
        if (hash.isEmpty())
          Tampered(QStringLiteral("audit entries removed after the seal of %1: the trail ends at entry %2, the seal "
                                  "names entry %3")
                       .arg(seal.UTCTime)
                       .arg(FAuditHead)
                       .arg(seal.AuditID));
        if (hash != seal.AuditHash)
          Tampered(QStringLiteral("audit entry %1 was changed after the seal of %2").arg(seal.AuditID).arg(seal.UTCTime));
      }
    }
  }

  struct TExpected {
    std::int64_t Rows = 0;
    QByteArray Digest;
  };

  // Walks ADeviceID's links: each follows the one before and hashes as
  // stored. Returns the minutes chained as the chain stands now, and the
  // newest chained minute in AThrough.
  std::map<std::int64_t, TExpected> WalkChain(std::int64_t ADeviceID, std::int64_t& AThrough) {
    std::map<std::int64_t, TExpected> expected;
    AThrough = std::numeric_limits<std::int64_t>::min();
    std::int64_t previousLink = 0;
    QByteArray previousChain(kHistoryChainHashBytes, '\0');
    QString problem;
    ReadHistoryLinks(FDatabase, ADeviceID, [&](const THistoryLink& ALink) {
      ++FResult.Links;
      const bool follows = ALink.Link == previousLink + 1;
      // An archive holds some links of the chain: a gap starts anew.
      if (!follows && !(FArchive && ALink.Link > previousLink)) {
        problem = QStringLiteral("link %1 of the history's chain of %2 is missing (links removed before %3)")
                      .arg(previousLink + 1)
                      .arg(Controller(ADeviceID), MinuteText(ALink.Minute));
        return false;
      }
      if (follows && ALink.Prev != previousChain) {
        problem = QStringLiteral("link %1 of the history's chain of %2 does not follow the link before it")
                      .arg(ALink.Link)
                      .arg(Controller(ADeviceID));
        return false;
      }
      if (HistoryLinkChain(ALink) != ALink.Chain) {
        problem = QStringLiteral("link %1 of the history's chain of %2 (%3) was changed")
                      .arg(ALink.Link)
                      .arg(Controller(ADeviceID), MinuteText(ALink.Minute));
        return false;
      }
      previousLink = ALink.Link;
      previousChain = ALink.Chain;
      switch (ALink.Kind) {
      case THistoryLinkKind::Minute:
      case THistoryLinkKind::Amendment:
        if (ALink.Minute >= FFromMinute && ALink.Minute < FToMinute) expected[ALink.Minute] = {ALink.Rows, ALink.Digest};
        AThrough = std::max(AThrough, ALink.Minute);
        break;
      case THistoryLinkKind::Removal:
        if (!RemovalAudited(ALink.AuditID)) {
          problem = QStringLiteral("history of %1 from %2 to %3 was removed without an audit entry of a delete, "
                                   "archive run or restore (entry %4)")
                        .arg(Controller(ADeviceID), MinuteText(ALink.Minute), MinuteText(ALink.ToMinute))
                        .arg(ALink.AuditID);
          return false;
        }
        expected.erase(expected.lower_bound(ALink.Minute), expected.lower_bound(ALink.ToMinute));
        break;
      case THistoryLinkKind::Restart:
        expected.clear();
        AThrough = std::numeric_limits<std::int64_t>::min();
        break;
      }
      return true;
    });
    if (!problem.isEmpty()) Tampered(problem);
    return expected;
  }

  bool RemovalAudited(std::int64_t AID) {
    if (!FDatabase.TableExists(QStringLiteral("AuditTrail"))) return false;
    TSQLiteStatement entry(kErrors, FDatabase, QStringLiteral("SELECT Action FROM AuditTrail WHERE ID = ?1"));
    entry.Bind(1, AID);
    if (!entry.Step()) return FArchive; // an archive holds no audit trail
    const QString action = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(entry.Stmt(), 0)));
    return action == QLatin1String(TervoxChain::kHistoryDeleted) ||
           action == QLatin1String(TervoxChain::kHistoryArchived) ||
           action == QLatin1String(TervoxChain::kHistoryRestored);
  }

  // ADeviceID's rows, minute by minute, against the chain and the
  // summaries.
  void CheckRows(std::int64_t ADeviceID) {
    std::int64_t through = 0;
    std::map<std::int64_t, TExpected> expected = WalkChain(ADeviceID, through);
    THistorySummaryCheck summaries(FDatabase.Handle());
    TSQLiteStatement rows(kErrors, FDatabase,
                          QStringLiteral("SELECT %1, rowid FROM DeviceData WHERE DeviceID = ?1 AND ReadTime >= ?2 AND "
                                         "ReadTime < ?3 ORDER BY ReadTime")
                              .arg(QLatin1String(HistoryChainRowColumns())));
    rows.Bind(1, ADeviceID);
    rows.Bind(2, std::isfinite(FOptions.From) ? (FFromMinute - 1) / kMinutesPerDay : -1e300);
    rows.Bind(3, std::isfinite(FOptions.To) ? (FToMinute + 1) / kMinutesPerDay : 1e300);
    auto next = expected.begin();
    // Chained minutes with no rows left before AMinute.
    auto passTo = [&](std::int64_t AMinute) {
      if (next != expected.end() && next->first < AMinute)
        Tampered(QStringLiteral("readings removed: %1, %2 (%3 reading(s) chained, none there)")
                     .arg(Controller(ADeviceID), MinuteText(next->first))
                     .arg(next->second.Rows));
    };
    std::int64_t minute = std::numeric_limits<std::int64_t>::min();
    double firstTime = 0;
    THistoryMinuteDigest digest;
    std::int64_t unchained = 0;
    double firstUnchained = 0;
    auto close = [&] {
      if (minute == std::numeric_limits<std::int64_t>::min()) return;
      ++FResult.Minutes;
      const std::int64_t count = digest.Rows();
      const QByteArray value = digest.Finish();
      digest = THistoryMinuteDigest();
      const QString summary = summaries.Finish(ADeviceID, minute);
      if (minute > through) {
        if (unchained == 0) firstUnchained = firstTime;
        unchained += count;
        return;
      }
      passTo(minute);
      if (next == expected.end() || next->first != minute)
        Tampered(QStringLiteral("a reading inserted: %1 at %2, in a minute the chain does not hold")
                     .arg(Controller(ADeviceID), TimeText(firstTime)));
      const TExpected& want = next->second;
      if (count > want.Rows)
        Tampered(QStringLiteral("a reading inserted: %1, %2 (%3 reading(s), %4 chained)")
                     .arg(Controller(ADeviceID), MinuteText(minute))
                     .arg(count)
                     .arg(want.Rows));
      if (count < want.Rows)
        Tampered(QStringLiteral("a reading removed: %1, %2 (%3 reading(s), %4 chained)")
                     .arg(Controller(ADeviceID), MinuteText(minute))
                     .arg(count)
                     .arg(want.Rows));
      if (value != want.Digest)
        Tampered(QStringLiteral("a reading changed: %1, %2").arg(Controller(ADeviceID), MinuteText(minute)));
      if (!summary.isEmpty())
        Tampered(QStringLiteral("a summary changed: %1, %2: %3").arg(Controller(ADeviceID), MinuteText(minute), summary));
      ++next;
    };
    while (rows.Step()) {
      sqlite3_stmt* s = rows.Stmt();
      const double time = sqlite3_column_double(s, 1);
      const std::int64_t at = HistoryMinuteOf(time);
      if (at < FFromMinute || at >= FToMinute) continue;
      if (at != minute) {
        close();
        minute = at;
        firstTime = time;
      }
      ++FResult.Rows;
      digest.AddRow(s);
      summaries.Add(sqlite3_column_int64(s, 13), time, s, 3);
    }
    close();
    passTo(std::min(through + 1, FToMinute));
    if (unchained > 0) {
      FResult.Unchained += unchained;
      FResult.Notes << QStringLiteral("%1: %2 reading(s) from %3 on not yet chained")
                           .arg(Controller(ADeviceID))
                           .arg(unchained)
                           .arg(TimeText(firstUnchained));
    }
  }

  void CheckHistory() {
    std::set<std::int64_t> devices;
    for (std::int64_t device : HistoryChainDevices(FDatabase)) devices.insert(device);
    TSQLiteStatement nextDevice(kErrors, FDatabase, QStringLiteral("SELECT min(DeviceID) FROM DeviceData WHERE DeviceID > ?1"));
    std::int64_t last = std::numeric_limits<std::int64_t>::min();
    for (;;) {
      nextDevice.Reset();
      nextDevice.Bind(1, last);
      if (!nextDevice.Step() || sqlite3_column_type(nextDevice.Stmt(), 0) == SQLITE_NULL) break;
      devices.insert(last = sqlite3_column_int64(nextDevice.Stmt(), 0));
    }
    FResult.Controllers = static_cast<std::int64_t>(devices.size());
    for (std::int64_t device : devices) CheckRows(device);
  }

private:
  TSQLiteDatabase& FDatabase;
  const TOptions& FOptions;
  TResult& FResult;
  std::map<std::int64_t, QString> FNames;
  std::int64_t FFromMinute = 0, FToMinute = 0;
  QByteArray FStoredKey, FFileKey;
  bool FArchive = false;
  std::int64_t FAuditHead = 0;
};

} // namespace

TResult Verify(const QString& ADatabaseFile, const TOptions& AOptions) {
  TResult result;
  if (!QFileInfo(ADatabaseFile).isFile()) {
    result.Status = TStatus::CannotCheck;
    result.Problem = QStringLiteral("the database \"%1\" does not exist").arg(ADatabaseFile);
    return result;
  }
  TOptions options = AOptions;
  if (options.KeyFile.isEmpty()) options.KeyFile = TervoxStationKey::KeyFileName(ADatabaseFile);
  try {
    TSQLiteDatabase database;
    database.SetFileName(ADatabaseFile);
    database.SetTimeout(10000);
    database.Open();
    database.ExecSQL(QStringLiteral("PRAGMA query_only = ON"));
    // One snapshot for the whole check: rows recorded meanwhile wait for
    // the next.
    database.ExecSQL(QStringLiteral("BEGIN"));
    if (!database.TableExists(QStringLiteral("DeviceData"))) {
      result.Status = TStatus::CannotCheck;
      result.Problem = QStringLiteral("\"%1\" is not a TERVOX database").arg(ADatabaseFile);
      return result;
    }
    TChecker checker(database, options, result);
    try {
      checker.CheckKey();
      checker.CheckAudit();
      checker.CheckSeals();
      checker.CheckHistory();
    } catch (const TFound& found) {
      result.Status = TStatus::Tampered;
      result.Problem = found.Problem;
    }
    database.ExecSQL(QStringLiteral("COMMIT"));
  } catch (const EDqException& e) {
    result.Status = TStatus::CannotCheck;
    result.Problem = e.Message();
  }
  return result;
}

} // namespace TervoxVerify
