#include "Tervox_Audit.h"

#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/DqSQLiteStatement.h"
#include "store/Main_Database.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSysInfo>

#include <sodium.h>
#include <sqlite3.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

namespace TervoxAudit {

namespace {

const TSQLiteStatement::TErrors kErrors{QStringLiteral("The audit trail cannot be read"),
                                        QStringLiteral("The audit trail cannot be written"), true};

const char* const kColumns = "ID, UTCTime, LocalTime, Station, Username, TargetKind, Target, TargetID, Action, "
                             "Changes, Reason, PrevHash, Hash";

// The writer of posted entries: one thread, started with the first post,
// ending with the program after the entries still queued.
class TPoster {
public:
  ~TPoster() {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FStop = true;
    }
    FWake.notify_all();
    if (FThread.joinable()) FThread.join();
  }
  void Post(TEntry AEntry, QString AFile) {
    std::lock_guard<std::mutex> guard(FLock);
    FQueue.emplace_back(std::move(AEntry), std::move(AFile), Now());
    if (!FThread.joinable()) FThread = std::thread([this] { Run(); });
    FWake.notify_all();
  }
  void Flush() {
    std::unique_lock<std::mutex> lock(FLock);
    FDone.wait(lock, [this] { return FQueue.empty() && !FBusy; });
  }

private:
  void Run() {
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
      FWake.wait(lock, [this] { return FStop || !FQueue.empty(); });
      if (FQueue.empty()) return;
      auto [entry, file, time] = std::move(FQueue.front());
      FQueue.pop_front();
      FBusy = true;
      lock.unlock();
      AppendStamped(entry, file, time);
      lock.lock();
      FBusy = false;
      FDone.notify_all();
    }
  }
  static void AppendStamped(const TEntry& AEntry, const QString& AFile, double ATime);

  std::mutex FLock;
  std::condition_variable FWake;
  std::condition_variable FDone;
  std::deque<std::tuple<TEntry, QString, double>> FQueue;
  bool FBusy = false;
  bool FStop = false;
  std::thread FThread;
};

TPoster& Poster() {
  static TPoster poster;
  return poster;
}

void AppendAt(const TEntry& AEntry, const QString& ADatabaseFile, double ATime);

// Each field as its length and its UTF-8 bytes: no two different entries
// hash the same text.
void AddField(crypto_generichash_state& AState, const QByteArray& ABytes) {
  unsigned char length[4];
  const auto size = static_cast<std::uint32_t>(ABytes.size());
  for (int i = 0; i < 4; ++i) length[i] = static_cast<unsigned char>(size >> (8 * i));
  crypto_generichash_update(&AState, length, sizeof length);
  crypto_generichash_update(&AState, reinterpret_cast<const unsigned char*>(ABytes.constData()),
                            static_cast<unsigned long long>(ABytes.size()));
}

QString ColumnText(sqlite3_stmt* AStmt, int AColumn) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(AStmt, AColumn));
  return text ? QString::fromUtf8(text, sqlite3_column_bytes(AStmt, AColumn)) : QString();
}

TStored ReadStored(sqlite3_stmt* AStmt) {
  TStored stored;
  stored.ID = sqlite3_column_int64(AStmt, 0);
  stored.UTCTime = ColumnText(AStmt, 1);
  stored.LocalTime = sqlite3_column_double(AStmt, 2);
  stored.Station = ColumnText(AStmt, 3);
  stored.Entry.User = ColumnText(AStmt, 4);
  stored.Entry.TargetKind = ColumnText(AStmt, 5);
  stored.Entry.Target = ColumnText(AStmt, 6);
  stored.Entry.TargetID = sqlite3_column_int64(AStmt, 7);
  stored.Entry.Action = ColumnText(AStmt, 8);
  stored.Entry.Changes = ChangesFromText(ColumnText(AStmt, 9));
  stored.Entry.Reason = ColumnText(AStmt, 10);
  stored.PrevHash = ColumnText(AStmt, 11);
  stored.Hash = ColumnText(AStmt, 12);
  return stored;
}

} // namespace

QString StationName() {
  const QString host = QSysInfo::machineHostName();
  return host.isEmpty() ? QStringLiteral("localhost") : host;
}

void EnsureAuditTrail(TSQLiteDatabase& ADatabase) {
  if (ADatabase.TableExists(QStringLiteral("AuditTrail"))) return;
  ADatabase.ExecSQL(QStringLiteral(
      "CREATE TABLE IF NOT EXISTS AuditTrail (ID integer primary key, UTCTime text not null, "
      "LocalTime datetime not null, Station text not null, Username text not null, TargetKind text not null, "
      "Target text not null, TargetID integer not null, Action text not null, Changes text not null, "
      "Reason text not null, PrevHash text not null, Hash text not null)"));
  ADatabase.ExecSQL(QStringLiteral("CREATE INDEX IF NOT EXISTS AuditTrailLocalTime ON AuditTrail (LocalTime)"));
  // Entries are only ever added: a change or removal needs the table's
  // guards dropped first, and the chain shows it anyway.
  ADatabase.ExecSQL(QStringLiteral("CREATE TRIGGER IF NOT EXISTS AuditTrailNoUpdate BEFORE UPDATE ON AuditTrail "
                                   "BEGIN SELECT RAISE(ABORT, 'the audit trail is append-only'); END"));
  ADatabase.ExecSQL(QStringLiteral("CREATE TRIGGER IF NOT EXISTS AuditTrailNoDelete BEFORE DELETE ON AuditTrail "
                                   "BEGIN SELECT RAISE(ABORT, 'the audit trail is append-only'); END"));
}

QString ChangesText(const std::vector<TChange>& AChanges) {
  QJsonArray array;
  for (const TChange& change : AChanges) array.append(QJsonArray{change.Field, change.Old, change.New});
  return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

std::vector<TChange> ChangesFromText(const QString& AText) {
  std::vector<TChange> changes;
  const QJsonArray array = QJsonDocument::fromJson(AText.toUtf8()).array();
  for (const QJsonValue& value : array) {
    const QJsonArray triple = value.toArray();
    changes.push_back({triple.at(0).toString(), triple.at(1).toString(), triple.at(2).toString()});
  }
  return changes;
}

QString EntryHash(const TStored& AEntry) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES);
  AddField(state, QByteArray::number(static_cast<qlonglong>(AEntry.ID)));
  AddField(state, AEntry.UTCTime.toUtf8());
  AddField(state, QByteArray::number(AEntry.LocalTime, 'g', 17));
  AddField(state, AEntry.Station.toUtf8());
  AddField(state, AEntry.Entry.User.toUtf8());
  AddField(state, AEntry.Entry.TargetKind.toUtf8());
  AddField(state, AEntry.Entry.Target.toUtf8());
  AddField(state, QByteArray::number(static_cast<qlonglong>(AEntry.Entry.TargetID)));
  AddField(state, AEntry.Entry.Action.toUtf8());
  AddField(state, ChangesText(AEntry.Entry.Changes).toUtf8());
  AddField(state, AEntry.Entry.Reason.toUtf8());
  AddField(state, AEntry.PrevHash.toLatin1());
  unsigned char hash[crypto_generichash_BYTES];
  crypto_generichash_final(&state, hash, sizeof hash);
  return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(hash), sizeof hash).toHex());
}

void Append(const TEntry& AEntry, const QString& ADatabaseFile) { AppendAt(AEntry, ADatabaseFile, Now()); }

namespace {

void TPoster::AppendStamped(const TEntry& AEntry, const QString& AFile, double ATime) {
  try {
    AppendAt(AEntry, AFile, ATime);
  } catch (const EDqException& e) {
    std::fprintf(stderr, "TERVOX: %s: %s\n", qPrintable(AEntry.Action), qPrintable(e.Message()));
  }
}

void AppendAt(const TEntry& AEntry, const QString& ADatabaseFile, double ATime) {
  if (sodium_init() < 0) throw EDqException(QStringLiteral("The audit trail cannot be written: libsodium failed"));
  TSQLiteDatabase database;
  database.SetFileName(ADatabaseFile.isEmpty() ? GetDatabaseFileName() : ADatabaseFile);
  database.SetHeader(QStringLiteral("TERVOX_SQLITE"));
  // Waits from the first statement: the open itself reads the file, which
  // another program's connection may hold for a moment.
  database.SetTimeout(10000);
  database.Open();
  EnsureAuditTrail(database);
  TStored stored;
  const double now = ATime;
  stored.LocalTime = now;
  stored.UTCTime = DateTimeToQDateTime(now).toUTC().toString(Qt::ISODateWithMs);
  stored.Station = StationName();
  stored.Entry = AEntry;
  database.InWriteTransaction([&] {
    TSQLiteStatement last(kErrors, database, QStringLiteral("SELECT ID, Hash FROM AuditTrail ORDER BY ID DESC LIMIT 1"));
    if (last.Step()) {
      stored.ID = sqlite3_column_int64(last.Stmt(), 0) + 1;
      stored.PrevHash = ColumnText(last.Stmt(), 1);
    } else {
      stored.ID = 1;
    }
    stored.Hash = EntryHash(stored);
    TSQLiteStatement insert(kErrors, database,
                            QStringLiteral("INSERT INTO AuditTrail (%1) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)")
                                .arg(QLatin1String(kColumns)));
    insert.Bind(1, stored.ID);
    insert.Bind(2, stored.UTCTime);
    insert.Bind(3, stored.LocalTime);
    insert.Bind(4, stored.Station);
    insert.Bind(5, AEntry.User);
    insert.Bind(6, AEntry.TargetKind);
    insert.Bind(7, AEntry.Target);
    insert.Bind(8, AEntry.TargetID);
    insert.Bind(9, AEntry.Action);
    insert.Bind(10, ChangesText(AEntry.Changes));
    insert.Bind(11, AEntry.Reason);
    insert.Bind(12, stored.PrevHash);
    insert.Bind(13, stored.Hash);
    insert.Run();
  });
}

} // namespace

void Post(const TEntry& AEntry, const QString& ADatabaseFile) {
  Poster().Post(AEntry, ADatabaseFile.isEmpty() ? GetDatabaseFileName() : ADatabaseFile);
}

void Flush() { Poster().Flush(); }

bool AppendQuietly(const TEntry& AEntry, const QString& ADatabaseFile) {
  try {
    Append(AEntry, ADatabaseFile);
    return true;
  } catch (const EDqException& e) {
    std::fprintf(stderr, "TERVOX: %s: %s\n", qPrintable(AEntry.Action), qPrintable(e.Message()));
    return false;
  }
}

std::vector<TStored> Entries(TSQLiteDatabase& ADatabase, double AFrom, double ATo, const QString& AUser,
                             std::int64_t AControllerID) {
  std::vector<TStored> entries;
  if (!ADatabase.TableExists(QStringLiteral("AuditTrail"))) return entries;
  TSQLiteStatement select(
      kErrors, ADatabase,
      QStringLiteral("SELECT %1 FROM AuditTrail WHERE LocalTime >= ? AND LocalTime < ? AND (? = '' OR Username = ?) "
                     "AND (? = 0 OR (TargetKind = 'controller' AND TargetID = ?)) ORDER BY ID")
          .arg(QLatin1String(kColumns)));
  select.Bind(1, AFrom);
  select.Bind(2, ATo);
  select.Bind(3, AUser);
  select.Bind(4, AUser);
  select.Bind(5, AControllerID);
  select.Bind(6, AControllerID);
  while (select.Step()) entries.push_back(ReadStored(select.Stmt()));
  return entries;
}

TCheck CheckChain(TSQLiteDatabase& ADatabase) {
  TCheck check;
  if (!ADatabase.TableExists(QStringLiteral("AuditTrail"))) return check;
  TSQLiteStatement select(kErrors, ADatabase,
                          QStringLiteral("SELECT %1 FROM AuditTrail ORDER BY ID").arg(QLatin1String(kColumns)));
  QString previous;
  std::int64_t expectedID = 1;
  while (select.Step()) {
    const TStored stored = ReadStored(select.Stmt());
    QString problem;
    if (stored.ID != expectedID)
      problem = QStringLiteral("audit entry %1 is missing").arg(expectedID);
    else if (stored.PrevHash != previous)
      problem = QStringLiteral("audit entry %1 does not follow the entry before it").arg(stored.ID);
    else if (EntryHash(stored) != stored.Hash)
      problem = QStringLiteral("audit entry %1 (%2, %3) was changed").arg(stored.ID).arg(stored.UTCTime, stored.Entry.Action);
    if (!problem.isEmpty()) {
      check.Intact = false;
      check.Problem = problem;
      return check;
    }
    ++check.Entries;
    check.HeadID = stored.ID;
    check.HeadHash = previous = stored.Hash;
    expectedID = stored.ID + 1;
  }
  return check;
}

TFields RecordFields(TSQLiteDatabase& ADatabase, const QString& ASQL, const QString& AKey) {
  TFields fields;
  TSQLiteStatement select(kErrors, ADatabase, ASQL);
  if (sqlite3_bind_parameter_count(select.Stmt()) > 0) select.Bind(1, AKey);
  const int columns = sqlite3_column_count(select.Stmt());
  const bool pairs = columns == 2 && QString::fromUtf8(sqlite3_column_name(select.Stmt(), 0)) == QLatin1String("Name") &&
                     QString::fromUtf8(sqlite3_column_name(select.Stmt(), 1)) == QLatin1String("Value");
  while (select.Step()) {
    if (pairs) {
      fields.emplace_back(ColumnText(select.Stmt(), 0), ColumnText(select.Stmt(), 1));
      continue;
    }
    for (int i = 0; i < columns; ++i)
      fields.emplace_back(QString::fromUtf8(sqlite3_column_name(select.Stmt(), i)), ColumnText(select.Stmt(), i));
  }
  return fields;
}

std::vector<TChange> Differences(const TFields& AOld, const TFields& ANew, const std::vector<QString>& AHidden) {
  std::vector<TChange> changes;
  const auto valueIn = [](const TFields& AFields, const QString& AField) -> std::optional<QString> {
    for (const auto& [field, value] : AFields)
      if (field == AField) return value;
    return std::nullopt;
  };
  const auto add = [&](const QString& AField, const QString& AOldValue, const QString& ANewValue) {
    const bool hidden = std::find(AHidden.begin(), AHidden.end(), AField) != AHidden.end();
    changes.push_back(hidden ? TChange{AField, QString(), QStringLiteral("(changed)")}
                             : TChange{AField, AOldValue, ANewValue});
  };
  for (const auto& [field, value] : ANew) {
    const std::optional<QString> old = valueIn(AOld, field);
    if (!old || *old != value) add(field, old.value_or(QString()), value);
  }
  // Fields gone (a record deleted, a setting removed) show with their last value.
  for (const auto& [field, value] : AOld)
    if (!valueIn(ANew, field)) add(field, value, QString());
  return changes;
}

} // namespace TervoxAudit
