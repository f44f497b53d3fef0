#include "Tervox_Maintenance.h"

#include "core/DqRoutine.h"
#include "store/Main_Database.h"
#include "Tervox_User.h"
#include "store/DqHistorySummary.h"
#include "store/Tervox_Secrets.h"
#include "trust/Tervox_Chain.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sqlite3.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// Rows per short deleting transaction: small enough that the recorder,
// waiting on the same file, never waits long.
constexpr int kDeleteChunk = 20000;

// A connection of its own to the program's database file.
std::unique_ptr<TSQLiteDatabase> OpenPrivateConnection() {
  auto database = std::make_unique<TSQLiteDatabase>();
  database->SetFileName(GetDatabaseFileName());
  database->SetHeader(QStringLiteral("TERVOX_SQLITE"));
  database->SetTimeout(5000); // the open reads the file already
  database->Open();
  database->SetDerivedTables(StationOnlyTableNames());
  return database;
}

std::mutex gTurnMutex;        // held by the job whose turn it is
std::mutex gYieldingMutex;    // guards gYielding
TTervoxProgress* gYielding = nullptr; // the job that gives the turn up when asked

TSQLiteProgress CallbackOf(TTervoxProgress* AProgress) { return AProgress ? AProgress->Callback() : TSQLiteProgress(); }

// A copy of the database as it is, beside it under a name no other copy
// has, as private as a new database. Copied a few megabytes at a time, so
// that the user may cancel a long copy.
QString KeepCopyBeforeRestore(TSQLiteDatabase& ADatabase, TTervoxProgress* AProgress) {
  const QFileInfo info(ADatabase.FileName());
  const QString stem = info.dir().filePath(info.completeBaseName() + QStringLiteral("_before_restore_") +
                                           DateTimeToQDateTime(Now()).toString(QStringLiteral("yyyyMMdd_HHmmss")));
  QString copy = stem + QStringLiteral(".db");
  for (int attempt = 2; !CreateDatabaseFile(copy); ++attempt) {
    if (attempt > 100)
      throw EDqException(QStringLiteral("Cannot keep a copy of the database \"%1\" beside it; it was not restored.")
                             .arg(ADatabase.FileName()));
    copy = stem + QStringLiteral("_%1.db").arg(attempt);
  }
  try {
    TSQLiteDatabase target(copy);
    sqlite3_backup* backup = sqlite3_backup_init(target.Handle(), "main", ADatabase.Handle(), "main");
    if (!backup) target.RaiseError(QStringLiteral("Could not copy the database"), copy);
    int rc = SQLITE_OK;
    int waits = 0; // a writer holding the file: 10 s at most
    while (rc == SQLITE_OK || ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && ++waits < 500)) {
      if (AProgress && AProgress->Cancelled) break;
      if (rc != SQLITE_OK) sqlite3_sleep(20);
      rc = sqlite3_backup_step(backup, 1024);
    }
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) {
      if (AProgress && AProgress->Cancelled)
        throw ESQLiteCancelled(QStringLiteral("Restore cancelled; the database was not changed."));
      target.RaiseError(QStringLiteral("Could not copy the database"), copy);
    }
  } catch (...) {
    QFile::remove(copy);
    throw;
  }
  return copy;
}

// Runs its work as it goes, whether the scope ends or throws.
struct TRecordRemoval {
  std::function<void()> Work;
  ~TRecordRemoval() {
    try {
      Work();
    } catch (...) {
    }
  }
};

} // namespace

QString MaintenanceUser() {
  // Any thread: a restore and a deletion run on a worker.
  const QString user = ActingUser();
  return user.isEmpty() ? QStringLiteral("tervox") : user;
}

TTervoxMaintenanceTurn::TTervoxMaintenanceTurn() {
  {
    std::lock_guard<std::mutex> guard(gYieldingMutex);
    if (gYielding) gYielding->Cancelled = true;
  }
  gTurnMutex.lock();
  FOwns = true;
}

TTervoxMaintenanceTurn::TTervoxMaintenanceTurn(TTervoxProgress& AYielding) {
  FOwns = gTurnMutex.try_lock();
  if (!FOwns) return;
  std::lock_guard<std::mutex> guard(gYieldingMutex);
  FYielding = gYielding = &AYielding;
}

TTervoxMaintenanceTurn::~TTervoxMaintenanceTurn() {
  if (!FOwns) return;
  if (FYielding) {
    std::lock_guard<std::mutex> guard(gYieldingMutex);
    gYielding = nullptr;
  }
  gTurnMutex.unlock();
}

std::vector<std::int64_t> HistoryDeviceIDs(TSQLiteDatabase& ADatabase) {
  // Found by seeking the next key, so a controller deleted since counts too.
  std::vector<std::int64_t> devices;
  TSQLiteTable next(&ADatabase);
  std::int64_t last = std::numeric_limits<std::int64_t>::min();
  for (;;) {
    next.SetSQL(QStringLiteral("SELECT min(DeviceID) FROM DeviceData WHERE DeviceID > :Last"));
    next.SetParamValues(":Last", static_cast<long long>(last));
    next.Open();
    const TVariant value = next.GetFields(0)->Value();
    next.Close();
    if (value.IsNull()) break;
    last = value.IntValue();
    devices.push_back(last);
  }
  return devices;
}

QString BackupFileSuggestion(double ANow) {
  return QStringLiteral("Tervox_") + DateTimeToQDateTime(ANow).toString(QStringLiteral("yyyyMMdd_HHmmss_zzz")) +
         QStringLiteral(".sql");
}

void BackupDatabase(const QString& AFileName, TTervoxProgress* AProgress) {
  OpenPrivateConnection()->ExportSQL(AFileName, CallbackOf(AProgress));
}

QString RestoreDatabase(const QString& AFileName, TTervoxProgress* AProgress) {
  const TTervoxMaintenanceTurn turn;
  std::unique_ptr<TSQLiteDatabase> database = OpenPrivateConnection();
  const QString copy = KeepCopyBeforeRestore(*database, AProgress);
  TSQLiteRestoreRules rules;
  rules.Tables = TervoxSchema();
  // A backup written by hand or by an older program may hold passwords as
  // plain text: they reach the file as their hashes only.
  for (TSQLiteRestoreTable& table : rules.Tables)
    if (table.Name == QLatin1String("Users")) table.FilteredColumns = {QStringLiteral("Password"), QStringLiteral("OldPassword")};
  rules.Filter = HashedStoredPassword;
  // The summaries leave with their triggers (a refill summarised row by row
  // would be slow) and come back empty with every restored row queued for
  // the background build, within the restore's transaction.
  TSQLiteDatabase& db = *database;
  rules.Before = [&db] { DropHistorySummaries(db); };
  rules.After = [&db] { EnsureHistorySummaries(db); };
  try {
    database->RestoreSQLFromFile(AFileName, rules, CallbackOf(AProgress));
  } catch (...) {
    // Nothing changed: the copy would only be clutter.
    database.reset();
    QFile::remove(copy);
    throw;
  }
  // A backup of an older build carries its secrets in Config: they leave
  // the table for the secrets file (whose own values win). The restore
  // stands whatever happens here; what could not move stays, and moves at
  // the next open.
  try {
    TervoxSecrets::MoveFromConfig(*database);
  } catch (const EDqException& e) {
    qWarning("TERVOX: %s", qPrintable(e.Message()));
  }
  // The history's chain starts anew from the restored rows.
  TervoxChain::RecordHistoryRestored(*database, MaintenanceUser());
  return copy;
}

std::int64_t DeleteRecords(double AFromDate, double AToDate, TTervoxProgress* AProgress) {
  const TTervoxMaintenanceTurn turn;
  std::unique_ptr<TSQLiteDatabase> database = OpenPrivateConnection();
  TSQLiteParamList bounds;
  bounds.SetParamValues(":FirstTime", TVariant::FromDateTime(std::floor(AFromDate)));
  bounds.SetParamValues(":LastTime", TVariant::FromDateTime(std::floor(AToDate + 1.0)));

  // History is keyed by (DeviceID, ReadTime): a range of time is found
  // through the key one controller at a time, never by reading every row.
  const std::vector<std::int64_t> devices = HistoryDeviceIDs(*database);
  struct TPart {
    QString Where;
    TSQLiteParamList Params;
    QString Table;
  };
  std::vector<TPart> parts;
  for (std::int64_t device : devices) {
    TPart part;
    part.Table = QStringLiteral("DeviceData");
    part.Where = QStringLiteral("DeviceID = :DeviceID AND ReadTime >= :FirstTime AND ReadTime < :LastTime");
    part.Params.Assign(bounds);
    part.Params.SetParamValues(":DeviceID", static_cast<long long>(device));
    parts.push_back(std::move(part));
  }
  TPart log;
  log.Table = QStringLiteral("UsageLog");
  log.Where = QStringLiteral("LogTime >= :FirstTime AND LogTime < :LastTime");
  log.Params.Assign(bounds);
  parts.push_back(std::move(log));

  std::int64_t total = 0;
  for (const TPart& part : parts) {
    TSQLiteTable count(database.get());
    count.SetSQL(QStringLiteral("SELECT count(*) FROM %1 WHERE %2").arg(part.Table, part.Where));
    count.Params().Assign(part.Params);
    count.Open();
    total += count.GetFields(0)->AsInteger();
  }
  // The minutes of the range are recomputed once the rows are gone; queued
  // first, so a kill half-way leaves them to the next start.
  QueueHistorySummaries(*database, std::floor(AFromDate), std::floor(AToDate + 1.0));
  std::int64_t done = 0, history = 0;
  // The history's chain hears of the removal, cancelled half-way or not.
  const TRecordRemoval recordRemoval{[&] {
    if (history > 0)
      TervoxChain::RecordHistoryRemoved(*database, TervoxChain::kHistoryDeleted, std::floor(AFromDate),
                                        std::floor(AToDate + 1.0), history, MaintenanceUser());
  }};
  auto report = [&] {
    if (AProgress && !AProgress->Report(done, total))
      throw ESQLiteCancelled(QStringLiteral("Deletion cancelled; %1 record(s) were deleted.").arg(done));
  };
  report();
  for (const TPart& part : parts) {
    for (;;) {
      TSQLiteTable chunk(database.get());
      chunk.SetSQL(QStringLiteral("DELETE FROM %1 WHERE rowid IN (SELECT rowid FROM %1 WHERE %2 LIMIT %3)")
                       .arg(part.Table, part.Where)
                       .arg(kDeleteChunk));
      chunk.Params().Assign(part.Params);
      // The mark of the summaries goes back in the same transaction when
      // the newest rows go, before a recorder's next row takes a rowid.
      int deleted = 0;
      database->InWriteTransaction([&] {
        chunk.ExecSQL();
        deleted = database->RowsChanged();
        HistoryRowsDeleted(*database);
      });
      done += deleted;
      if (part.Table == QLatin1String("DeviceData")) history += deleted;
      report();
      if (deleted < kDeleteChunk) break;
    }
  }
  BuildHistorySummaries(*database);
  return done;
}

QString ResetDatabaseFile() {
  const TTervoxMaintenanceTurn turn;
  const QString fileName = GetDatabaseFileName();
  const QFileInfo info(fileName);
  const QString stem = info.dir().filePath(info.completeBaseName() + QStringLiteral("_backup"));
  TSQLiteDatabase* database = GetDatabase();
  database->Close();

  // Never replace an earlier copy: the first reset takes "_backup.db", each
  // later one a time-stamped name (rename does not replace an existing file).
  QString copy = stem + QStringLiteral(".db");
  bool moved = QFile::rename(fileName, copy);
  for (int attempt = 0; !moved && attempt < 100 && QFile::exists(fileName); ++attempt) {
    copy = stem + DateTimeToQDateTime(Now()).toString(QStringLiteral("_yyyyMMdd_HHmmss_zzz")) +
           (attempt > 0 ? QStringLiteral("_%1").arg(attempt) : QString()) + QStringLiteral(".db");
    moved = QFile::rename(fileName, copy);
  }
  if (!moved) {
    database->Open();
    throw EDqException(QStringLiteral("Cannot keep a copy of the database \"%1\"; it was not reset.").arg(fileName));
  }
  // A log another program still holds belongs with the copy.
  for (const char* suffix : {"-wal", "-shm"})
    if (QFile::exists(fileName + QLatin1String(suffix))) QFile::rename(fileName + QLatin1String(suffix), copy + QLatin1String(suffix));

  database->Open();
  database->SetTimeout(5000);
  database->GetTable(QStringLiteral("PRAGMA journal_mode = WAL"));
  database->ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
  EnsureHistorySummaries(*database);
  return copy;
}
