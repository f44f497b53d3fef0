#include "DqHistorySummary.h"

#include "DqHistoryChain.h"
#include "DqHistorySummaryMinute.h"
#include "DqSQLite.h"
#include "DqSQLiteStatement.h"
#include "core/DqRoutine.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace history_summary;

// Minutes of one controller per building transaction: about 7,200 rows,
// a few milliseconds, so the recorder never waits long for the file.
constexpr std::int64_t kBuildChunkMinutes = 120;

const QString kTable = QStringLiteral("DeviceDataMinute");
const QString kHourTable = QStringLiteral("DeviceDataHour");
const QString kQueue = QStringLiteral("DeviceDataMinuteQueue");
const QString kMark = QStringLiteral("DeviceDataMinuteMark");
// Earlier builds kept the summaries with these triggers; they go when the
// tables are made anew.
const char* const kOldTriggers[] = {"DeviceDataMinuteInsert", "DeviceDataMinuteRecompute"};
// Rows summarised per catch-up transaction: about 20 ms, so a recorder
// never waits long for the file (a catch-up every 30 s of 32 controllers
// is a tenth of it).
constexpr std::int64_t kCatchUpChunkRows = 10000;

// A minute row is kept small (about 3 % of its rows' size): values stored
// scaled to whole numbers (see WholeAt), a count left NULL when every row
// of the minute had the value, and of the minute's times only the newest,
// which tells a late row. The hours (DeviceDataHour, by Hour = Minute / 60)
// hold the same of their minutes, for graphs whose columns span hours.
QString SummaryTableSQL(const QString& ATable, const char* AKey) {
  QString sql = QStringLiteral("CREATE TABLE %1 (\n  DeviceID integer not null,\n"
                               "  %2 integer not null,\n  LastTime real not null,\n"
                               "  Rows integer not null,\n  Scale integer not null")
                    .arg(ATable, QLatin1String(AKey));
  for (const char* v : kValues)
    sql += QStringLiteral(",\n  %1Min real, %1Max real, %1First real, %1Last real, %1Count integer")
               .arg(QLatin1String(v));
  return sql + QStringLiteral(",\n  primary key (DeviceID, %1)\n) WITHOUT ROWID").arg(QLatin1String(AKey));
}
QString TableSQL() { return SummaryTableSQL(kTable, "Minute"); }
QString HourTableSQL() { return SummaryTableSQL(kHourTable, "Hour"); }

QString QueueSQL() {
  return QStringLiteral("CREATE TABLE DeviceDataMinuteQueue (DeviceID integer not null, FromMinute integer not null, "
                        "ToMinute integer not null)");
}

// The rowid of the newest history row the summaries hold: rows after it
// are summarised by the next catch-up.
QString MarkSQL() { return QStringLiteral("CREATE TABLE DeviceDataMinuteMark (LastRowID integer not null)"); }

// A statement of the summaries' work, stepped through the connection.
class TStatement : public TSQLiteStatement {
public:
  TStatement(TSQLiteDatabase& ADatabase, const QString& ASQL) : TSQLiteStatement(Errors(), ADatabase, ASQL) {}

private:
  static const TErrors& Errors() {
    static const TErrors errors{QStringLiteral("Failed to prepare history summary statement"),
                                QStringLiteral("Failed to update history summaries")};
    return errors;
  }
};

// One write transaction, rolled back unless committed; inside a
// transaction already open (a restore's) a savepoint of it, so the work
// stands or falls with that transaction.
class TWriteTransaction {
public:
  explicit TWriteTransaction(TSQLiteDatabase& ADatabase)
      : FDatabase(ADatabase), FNested(!sqlite3_get_autocommit(ADatabase.Handle())) {
    FDatabase.ExecSQL(FNested ? QStringLiteral("SAVEPOINT HistorySummaries")
                              : QStringLiteral("BEGIN IMMEDIATE TRANSACTION"));
  }
  ~TWriteTransaction() {
    if (FDone || !FDatabase.Handle() || sqlite3_get_autocommit(FDatabase.Handle())) return;
    sqlite3_exec(FDatabase.Handle(),
                 FNested ? "ROLLBACK TO HistorySummaries; RELEASE HistorySummaries" : "ROLLBACK", nullptr, nullptr,
                 nullptr);
  }
  void Commit() {
    FDatabase.ExecSQL(FNested ? QStringLiteral("RELEASE HistorySummaries") : QStringLiteral("COMMIT TRANSACTION"));
    FDone = true;
  }

private:
  TSQLiteDatabase& FDatabase;
  const bool FNested;
  bool FDone = false;
};

// Runs a statement as written: the schema is compared by its text later.
void ExecVerbatim(TSQLiteDatabase& ADatabase, const QString& ASQL) {
  if (sqlite3_exec(ADatabase.Handle(), ASQL.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
    ADatabase.RaiseError(QStringLiteral("Failed to create history summaries"), ASQL);
}

QString SchemaOf(TSQLiteDatabase& ADatabase, const QString& AType, const QString& AName) {
  TStatement query(ADatabase, QStringLiteral("SELECT sql FROM sqlite_master WHERE type = ?1 AND name = ?2"));
  query.Bind(1, AType);
  query.Bind(2, AName);
  if (!query.Step()) return QString();
  return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(query.Stmt(), 0)));
}

void DropAll(TSQLiteDatabase& ADatabase) {
  for (const char* trigger : kOldTriggers)
    ADatabase.ExecSQL(QStringLiteral("DROP TRIGGER IF EXISTS ") + QLatin1String(trigger));
  ADatabase.ExecSQL(QStringLiteral("DROP TABLE IF EXISTS DeviceDataMinute"));
  ADatabase.ExecSQL(QStringLiteral("DROP TABLE IF EXISTS DeviceDataHour"));
  ADatabase.ExecSQL(QStringLiteral("DROP TABLE IF EXISTS DeviceDataMinuteQueue"));
  ADatabase.ExecSQL(QStringLiteral("DROP TABLE IF EXISTS DeviceDataMinuteMark"));
}

std::int64_t Int64Of(TSQLiteDatabase& ADatabase, const QString& ASQL) {
  TStatement query(ADatabase, ASQL);
  return query.Step() ? sqlite3_column_int64(query.Stmt(), 0) : 0;
}

void SetMark(TSQLiteDatabase& ADatabase, std::int64_t ARowID) {
  TStatement update(ADatabase, QStringLiteral("UPDATE main.DeviceDataMinuteMark SET LastRowID = ?1"));
  update.Bind(1, ARowID);
  update.Run();
}

std::int64_t NewestRowID(TSQLiteDatabase& ADatabase) {
  return Int64Of(ADatabase, QStringLiteral("SELECT coalesce(max(rowid), 0) FROM main.DeviceData"));
}

// History rows of the caller's transaction deleted: when the newest went,
// the rowids after the mark are handed out again and the mark goes back
// with them, or rows recorded next would never be summarised.
void KeepMarkWithinRows(TSQLiteDatabase& ADatabase) {
  const std::int64_t newest = NewestRowID(ADatabase);
  if (newest < Int64Of(ADatabase, QStringLiteral("SELECT LastRowID FROM main.DeviceDataMinuteMark")))
    SetMark(ADatabase, newest);
}

// Every controller with history, found by seeking the next key, and the
// minutes its rows span.
struct TDeviceSpan {
  std::int64_t DeviceID;
  std::int64_t FromMinute;
  std::int64_t ToMinute;
};
std::vector<TDeviceSpan> RecordedSpans(TSQLiteDatabase& ADatabase) {
  std::vector<TDeviceSpan> spans;
  TStatement next(ADatabase, QStringLiteral("SELECT min(DeviceID) FROM DeviceData WHERE DeviceID > ?1"));
  TStatement oldest(ADatabase, QStringLiteral("SELECT min(ReadTime), max(ReadTime) FROM DeviceData WHERE DeviceID = ?1"));
  std::int64_t last = std::numeric_limits<std::int64_t>::min();
  for (;;) {
    next.Bind(1, last);
    if (!next.Step() || sqlite3_column_type(next.Stmt(), 0) == SQLITE_NULL) break;
    last = sqlite3_column_int64(next.Stmt(), 0);
    next.Reset();
    oldest.Bind(1, last);
    if (oldest.Step() && sqlite3_column_type(oldest.Stmt(), 0) != SQLITE_NULL)
      spans.push_back({last, HistoryMinuteOf(sqlite3_column_double(oldest.Stmt(), 0)),
                       HistoryMinuteOf(sqlite3_column_double(oldest.Stmt(), 1)) + 1});
    oldest.Reset();
  }
  return spans;
}

void InsertQueue(TSQLiteDatabase& ADatabase, const std::vector<TDeviceSpan>& ASpans) {
  TStatement insert(ADatabase, QStringLiteral("INSERT INTO DeviceDataMinuteQueue VALUES (?1, ?2, ?3)"));
  for (const TDeviceSpan& span : ASpans) {
    if (span.FromMinute >= span.ToMinute) continue;
    insert.Bind(1, span.DeviceID);
    insert.Bind(2, span.FromMinute);
    insert.Bind(3, span.ToMinute);
    insert.Run();
  }
}

// A minute's values are stored times its Scale, the smallest power of ten
// up to 1000 that makes every one a whole number dividing back to the very
// same double: SQLite keeps a whole real in one to three bytes instead of
// eight, and readings of one or two decimals are whole at 10 or 100. A
// minute no scale makes whole keeps its values as they are, at scale 1.
bool WholeAt(const TMinuteSummary& AMinute, double AScale) {
  for (const TValueSummary& value : AMinute.Values) {
    if (value.Count == 0) continue;
    for (double x : {value.Min, value.Max, value.First, value.Last}) {
      const double scaled = std::nearbyint(x * AScale);
      if (!(std::fabs(scaled) < 1e15) || scaled / AScale != x) return false;
    }
  }
  return true;
}

// Writes minutes (or hours, their Minute the hour), replacing what was
// there.
class TMinuteWriter {
public:
  explicit TMinuteWriter(TSQLiteDatabase& ADatabase, bool AHours = false) : FInsert(ADatabase, InsertSQL(AHours)) {}
  void Write(std::int64_t ADeviceID, const TMinuteSummary& AMinute) {
    sqlite3_stmt* s = FInsert.Stmt();
    double scale = 1;
    bool whole = WholeAt(AMinute, scale);
    while (!whole && scale < 1000) whole = WholeAt(AMinute, scale *= 10);
    if (!whole) scale = 1;
    sqlite3_bind_int64(s, 1, ADeviceID);
    sqlite3_bind_int64(s, 2, AMinute.Minute);
    sqlite3_bind_double(s, 3, AMinute.LastTime);
    sqlite3_bind_int64(s, 4, AMinute.Rows);
    sqlite3_bind_int64(s, 5, static_cast<std::int64_t>(scale));
    int p = 6;
    for (const TValueSummary& value : AMinute.Values) {
      for (double x : {value.Min, value.Max, value.First, value.Last}) {
        if (value.Count > 0)
          sqlite3_bind_double(s, p, whole ? std::nearbyint(x * scale) : x);
        else
          sqlite3_bind_null(s, p);
        ++p;
      }
      if (value.Count == AMinute.Rows)
        sqlite3_bind_null(s, p++);
      else
        sqlite3_bind_int64(s, p++, value.Count);
    }
    FInsert.Run();
  }

private:
  static QString InsertSQL(bool AHours) {
    QString columns = AHours ? QStringLiteral("DeviceID, Hour, LastTime, Rows, Scale")
                             : QStringLiteral("DeviceID, Minute, LastTime, Rows, Scale");
    QString marks = QStringLiteral("?1, ?2, ?3, ?4, ?5");
    int n = 5;
    for (const char* name : kValues) {
      columns += QStringLiteral(", %1Min, %1Max, %1First, %1Last, %1Count").arg(QLatin1String(name));
      for (int k = 0; k < 5; ++k) marks += QStringLiteral(", ?%1").arg(++n);
    }
    return QStringLiteral("INSERT OR REPLACE INTO main.%1 (%2) VALUES (%3)")
        .arg(AHours ? kHourTable : kTable, columns, marks);
  }
  TStatement FInsert;
};

const QString kReadMinute = QStringLiteral("SELECT * FROM main.DeviceDataMinute WHERE DeviceID = ?1 AND Minute = ?2");
const QString kReadHour = QStringLiteral("SELECT * FROM main.DeviceDataHour WHERE DeviceID = ?1 AND Hour = ?2");

// The stored minute (hour) of a controller through AQuery (of kReadMinute,
// kReadHour), false when it has none; the query is left reset.
bool ReadMinute(TStatement& AQuery, std::int64_t ADeviceID, std::int64_t AMinute, TMinuteSummary& AResult) {
  AQuery.Reset();
  AQuery.Bind(1, ADeviceID);
  AQuery.Bind(2, AMinute);
  const bool found = AQuery.Step();
  if (found) DecodeSummary(AQuery.Stmt(), AResult);
  AQuery.Reset();
  return found;
}

// Deletes one controller's summaries of ATable from AFrom to ATo - 1 of its
// AKey.
void EraseSummaries(TSQLiteDatabase& ADatabase, const QString& ATable, const char* AKey, std::int64_t ADeviceID,
                    std::int64_t AFrom, std::int64_t ATo) {
  TStatement erase(ADatabase, QStringLiteral("DELETE FROM main.%1 WHERE DeviceID = ?1 AND %2 >= ?2 AND %2 < ?3")
                                  .arg(ATable, QLatin1String(AKey)));
  erase.Bind(1, ADeviceID);
  erase.Bind(2, AFrom);
  erase.Bind(3, ATo);
  erase.Run();
}

QString IdList(const std::vector<std::int64_t>& AIDs) {
  QStringList ids;
  for (std::int64_t id : AIDs) ids << QString::number(id);
  return ids.join(QLatin1Char(','));
}

// Recomputes the hours [AFromHour, AToHour) of the controllers ADeviceIDs
// from their minutes, in order.
void RecomputeHours(TSQLiteDatabase& ADatabase, const std::vector<std::int64_t>& ADeviceIDs, std::int64_t AFromHour,
                    std::int64_t AToHour) {
  const QString devices = IdList(ADeviceIDs);
  TStatement erase(ADatabase, QStringLiteral("DELETE FROM main.DeviceDataHour WHERE DeviceID IN (%1) AND Hour >= ?1 "
                                             "AND Hour < ?2")
                                  .arg(devices));
  erase.Bind(1, AFromHour);
  erase.Bind(2, AToHour);
  erase.Run();
  TStatement minutes(ADatabase, QStringLiteral("SELECT * FROM main.DeviceDataMinute WHERE DeviceID IN (%1) AND "
                                               "Minute >= ?1 AND Minute < ?2 ORDER BY DeviceID, Minute")
                                    .arg(devices));
  minutes.Bind(1, AFromHour * 60);
  minutes.Bind(2, AToHour * 60);
  TMinuteWriter writer(ADatabase, true);
  TMinuteSummary hour, minute;
  std::int64_t device = 0;
  bool open = false;
  while (minutes.Step()) {
    DecodeSummary(minutes.Stmt(), minute);
    const std::int64_t minuteDevice = sqlite3_column_int64(minutes.Stmt(), 0);
    if (open && (minuteDevice != device || minute.Minute / 60 != hour.Minute)) {
      writer.Write(device, hour);
      open = false;
    }
    if (!open) {
      device = minuteDevice;
      hour = TMinuteSummary();
      hour.Minute = minute.Minute / 60;
      open = true;
    }
    hour.Append(minute);
  }
  if (open) writer.Write(device, hour);
}

QString ValueColumns() {
  QString columns;
  for (const char* v : kValues) columns += QStringLiteral(", ") + QLatin1String(v);
  return columns;
}

// Recomputes the minutes [AFrom, ATo) of one controller from its rows.
void RecomputeMinutes(TSQLiteDatabase& ADatabase, std::int64_t ADeviceID, std::int64_t AFrom, std::int64_t ATo) {
  EraseSummaries(ADatabase, kTable, "Minute", ADeviceID, AFrom, ATo);

  // A minute's rows by HistoryMinuteOf: the range is widened by a minute
  // each side and the minute is checked for each row.
  TStatement rows(ADatabase, QStringLiteral("SELECT ReadTime%1 FROM main.DeviceData WHERE DeviceID = ?1 AND "
                                            "ReadTime >= ?2 AND ReadTime < ?3 ORDER BY ReadTime")
                                 .arg(ValueColumns()));
  rows.Bind(1, ADeviceID);
  rows.Bind(2, (AFrom - 1) / kMinutesPerDay);
  rows.Bind(3, (ATo + 1) / kMinutesPerDay);

  TMinuteWriter writer(ADatabase);
  TMinuteSummary current;
  bool open = false;
  while (rows.Step()) {
    const double t = sqlite3_column_double(rows.Stmt(), 0);
    const std::int64_t minute = HistoryMinuteOf(t);
    if (minute < AFrom || minute >= ATo) continue;
    if (!open || minute != current.Minute) {
      if (open) writer.Write(ADeviceID, current);
      current = TMinuteSummary();
      current.Minute = minute;
      open = true;
    }
    current.Add(t, rows.Stmt(), 1);
  }
  if (open) writer.Write(ADeviceID, current);
  RecomputeHours(ADatabase, {ADeviceID}, AFrom / 60, (ATo + 59) / 60);
}

// Summarises up to kCatchUpChunkRows rows after the mark in the caller's
// transaction and moves the mark past them. Rows of a minute newer than
// its summary's newest are added to it; a minute with a row among or
// before its summarised ones (a clock stepped back) is computed afresh
// from its rows. Returns the rows summarised.
std::int64_t CatchUpChunk(TSQLiteDatabase& ADatabase) {
  const std::int64_t mark = Int64Of(ADatabase, QStringLiteral("SELECT LastRowID FROM main.DeviceDataMinuteMark"));
  TStatement rows(ADatabase, QStringLiteral("SELECT rowid, DeviceID, ReadTime%1 FROM main.DeviceData WHERE rowid > ?1 "
                                            "ORDER BY rowid LIMIT ?2")
                                 .arg(ValueColumns()));
  rows.Bind(1, mark);
  rows.Bind(2, kCatchUpChunkRows);
  struct TNew {
    TMinuteSummary Minute;
    bool InOrder = true;
  };
  std::map<std::pair<std::int64_t, std::int64_t>, TNew> minutes;
  std::int64_t last = mark, count = 0;
  while (rows.Step()) {
    sqlite3_stmt* s = rows.Stmt();
    last = sqlite3_column_int64(s, 0);
    ++count;
    const double t = sqlite3_column_double(s, 2);
    TNew& entry = minutes[{sqlite3_column_int64(s, 1), HistoryMinuteOf(t)}];
    entry.Minute.Minute = HistoryMinuteOf(t);
    if (entry.Minute.Rows > 0 && t <= entry.Minute.LastTime) entry.InOrder = false;
    if (entry.InOrder) entry.Minute.Add(t, s, 3);
  }
  if (count == 0) return 0;
  TMinuteWriter writer(ADatabase), hourWriter(ADatabase, true);
  TStatement query(ADatabase, kReadMinute), hourQuery(ADatabase, kReadHour);
  // The new rows' summary ANew (of AMinute) joins its hour in the same way.
  auto addToHour = [&](std::int64_t ADevice, std::int64_t AMinute, const TMinuteSummary& ANew) {
    TMinuteSummary hour;
    const bool stored = ReadMinute(hourQuery, ADevice, AMinute / 60, hour);
    if (stored && ANew.FirstTime <= hour.LastTime) {
      RecomputeHours(ADatabase, {ADevice}, AMinute / 60, AMinute / 60 + 1);
      return;
    }
    if (!stored) {
      hour = TMinuteSummary();
      hour.Minute = AMinute / 60;
    }
    hour.Append(ANew);
    hourWriter.Write(ADevice, hour);
  };
  for (const auto& [key, entry] : minutes) {
    const auto& [device, minute] = key;
    TMinuteSummary stored;
    if (!entry.InOrder) {
      RecomputeMinutes(ADatabase, device, minute, minute + 1);
    } else if (!ReadMinute(query, device, minute, stored)) {
      // Every row up to the mark is in its minute's summary or queued:
      // a minute without one holds only these rows.
      writer.Write(device, entry.Minute);
      addToHour(device, minute, entry.Minute);
    } else if (entry.Minute.FirstTime > stored.LastTime) {
      stored.Append(entry.Minute);
      writer.Write(device, stored);
      addToHour(device, minute, entry.Minute);
    } else {
      RecomputeMinutes(ADatabase, device, minute, minute + 1);
    }
  }
  SetMark(ADatabase, last);
  return count;
}

} // namespace

QStringList HistorySummaryTableNames() { return {kTable, kHourTable, kQueue, kMark}; }

bool EnsureHistorySummaries(TSQLiteDatabase& ADatabase) {
  // The chain is evidence, not derived data: made when missing, never
  // made anew with the summaries.
  EnsureHistoryChain(ADatabase);
  bool oldTriggers = false;
  for (const char* trigger : kOldTriggers)
    oldTriggers = oldTriggers || !SchemaOf(ADatabase, QStringLiteral("trigger"), QLatin1String(trigger)).isEmpty();
  if (!oldTriggers && SchemaOf(ADatabase, QStringLiteral("table"), kTable) == TableSQL() &&
      SchemaOf(ADatabase, QStringLiteral("table"), kHourTable) == HourTableSQL() &&
      SchemaOf(ADatabase, QStringLiteral("table"), kQueue) == QueueSQL() &&
      SchemaOf(ADatabase, QStringLiteral("table"), kMark) == MarkSQL() &&
      Int64Of(ADatabase, QStringLiteral("SELECT count(*) FROM DeviceDataMinuteMark")) == 1)
    return false;
  // Rows recorded from this transaction on are summarised as they come;
  // those before it wait in the queue for the background build.
  TWriteTransaction transaction(ADatabase);
  DropAll(ADatabase);
  ExecVerbatim(ADatabase, TableSQL());
  ExecVerbatim(ADatabase, HourTableSQL());
  ExecVerbatim(ADatabase, QueueSQL());
  ExecVerbatim(ADatabase, MarkSQL());
  ADatabase.ExecSQL(QStringLiteral("INSERT INTO DeviceDataMinuteMark VALUES (0)"));
  SetMark(ADatabase, NewestRowID(ADatabase));
  InsertQueue(ADatabase, RecordedSpans(ADatabase));
  transaction.Commit();
  return true;
}

void DropHistorySummaries(TSQLiteDatabase& ADatabase) {
  TWriteTransaction transaction(ADatabase);
  DropAll(ADatabase);
  transaction.Commit();
}

void QueueHistorySummaries(TSQLiteDatabase& ADatabase, double AFromTime, double AToTime) {
  if (!ADatabase.TableExists(kQueue)) return; // rebuilt whole at the next start
  std::vector<TDeviceSpan> spans;
  // Controllers of the summaries, not of the rows: rows already gone leave
  // their minutes behind.
  TWriteTransaction transaction(ADatabase);
  TStatement next(ADatabase, QStringLiteral("SELECT min(DeviceID) FROM DeviceDataMinute WHERE DeviceID > ?1"));
  std::int64_t last = std::numeric_limits<std::int64_t>::min();
  for (;;) {
    next.Bind(1, last);
    if (!next.Step() || sqlite3_column_type(next.Stmt(), 0) == SQLITE_NULL) break;
    last = sqlite3_column_int64(next.Stmt(), 0);
    next.Reset();
    spans.push_back({last, HistoryMinuteOf(AFromTime), HistoryMinuteOf(AToTime) + 1});
  }
  InsertQueue(ADatabase, spans);
  transaction.Commit();
}

void HistoryRowsDeleted(TSQLiteDatabase& ADatabase) {
  if (ADatabase.TableExists(kMark)) KeepMarkWithinRows(ADatabase);
}

void ForgetHistoryMinutes(TSQLiteDatabase& ADatabase, const std::vector<std::int64_t>& ADeviceIDs,
                          std::int64_t AFromMinute, std::int64_t AToMinute) {
  if (!ADatabase.TableExists(kQueue) || ADeviceIDs.empty()) return; // rebuilt whole at the next start
  KeepMarkWithinRows(ADatabase);
  const QString rowsLeft = QStringLiteral(
      "EXISTS (SELECT 1 FROM main.DeviceData d WHERE d.DeviceID = m.DeviceID AND d.ReadTime >= (m.Minute - 1) / 1440.0 "
      "AND d.ReadTime < (m.Minute + 2) / 1440.0 AND CAST(d.ReadTime * 1440 AS INTEGER) = m.Minute)");
  const QString minutes =
      QStringLiteral("m.DeviceID IN (%1) AND m.Minute >= ?2 AND m.Minute < ?3").arg(IdList(ADeviceIDs));
  for (const QString& sql :
       {QStringLiteral("INSERT INTO main.DeviceDataMinuteQueue SELECT m.DeviceID, m.Minute, m.Minute + 1 FROM "
                       "main.DeviceDataMinute m WHERE %1 AND %2").arg(minutes, rowsLeft),
        QStringLiteral("DELETE FROM main.DeviceDataMinute AS m WHERE %1 AND NOT %2").arg(minutes, rowsLeft)}) {
    TStatement statement(ADatabase, sql);
    statement.Bind(2, AFromMinute);
    statement.Bind(3, AToMinute);
    statement.Run();
  }
  RecomputeHours(ADatabase, ADeviceIDs, AFromMinute / 60, (AToMinute + 59) / 60);
}

void InsertHistoryInBulk(TSQLiteDatabase& ADatabase, std::int64_t ADeviceID, double AFromTime, double AToTime,
                         const std::function<void()>& AInsert) {
  TWriteTransaction transaction(ADatabase);
  const bool summarised = ADatabase.TableExists(kMark);
  // What was recorded before is summarised first: the mark then moves past
  // the copied rows, whose minutes wait in the queue.
  if (summarised) CatchUpHistorySummaries(ADatabase);
  AInsert();
  if (summarised) {
    InsertQueue(ADatabase, {{ADeviceID, HistoryMinuteOf(AFromTime), HistoryMinuteOf(AToTime) + 1}});
    SetMark(ADatabase, NewestRowID(ADatabase));
  }
  transaction.Commit();
}

std::int64_t CatchUpHistorySummaries(TSQLiteDatabase& ADatabase, const std::function<bool()>& AGoOn) {
  if (!ADatabase.TableExists(kMark)) return 0;
  std::int64_t total = 0;
  for (;;) {
    if (AGoOn && !AGoOn()) return total;
    TWriteTransaction transaction(ADatabase);
    const std::int64_t count = CatchUpChunk(ADatabase);
    transaction.Commit();
    total += count;
    if (count < kCatchUpChunkRows) return total;
  }
}

std::int64_t UnsummarisedHistoryFrom(sqlite3* ADatabase, std::int64_t ADeviceID, std::int64_t AMostRows) {
  sqlite3_stmt* stmt = nullptr;
  const char* sql = "SELECT count(*), min(CASE WHEN DeviceID = ?1 THEN ReadTime END) FROM (SELECT DeviceID, ReadTime "
                    "FROM DeviceData WHERE rowid > (SELECT LastRowID FROM DeviceDataMinuteMark) LIMIT ?2)";
  std::int64_t result = -1;
  if (sqlite3_prepare_v2(ADatabase, sql, -1, &stmt, nullptr) == SQLITE_OK) {
    sqlite3_bind_int64(stmt, 1, ADeviceID);
    sqlite3_bind_int64(stmt, 2, AMostRows + 1);
    if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int64(stmt, 0) <= AMostRows)
      result = sqlite3_column_type(stmt, 1) == SQLITE_NULL ? std::numeric_limits<std::int64_t>::max()
                                                           : HistoryMinuteOf(sqlite3_column_double(stmt, 1));
  }
  sqlite3_finalize(stmt);
  return result;
}

std::int64_t PendingHistorySummaryMinutes(TSQLiteDatabase& ADatabase) {
  if (!ADatabase.TableExists(kQueue)) return 0;
  return ADatabase.GetTableValue(QStringLiteral("SELECT coalesce(sum(ToMinute - FromMinute), 0) FROM DeviceDataMinuteQueue"));
}

bool BuildHistorySummaries(TSQLiteDatabase& ADatabase, const TSQLiteProgress& AProgress) {
  std::int64_t total = PendingHistorySummaryMinutes(ADatabase);
  std::int64_t done = 0;
  bool goOn = true;
  CatchUpHistorySummaries(ADatabase, [&] { return goOn = !AProgress || AProgress(done, total); });
  if (!goOn) return false;
  total = PendingHistorySummaryMinutes(ADatabase);
  for (;;) {
    TWriteTransaction transaction(ADatabase);
    TStatement next(ADatabase, QStringLiteral("SELECT rowid, DeviceID, FromMinute, ToMinute FROM DeviceDataMinuteQueue "
                                              "ORDER BY rowid LIMIT 1"));
    if (!next.Step()) break;
    const std::int64_t entry = sqlite3_column_int64(next.Stmt(), 0);
    const std::int64_t device = sqlite3_column_int64(next.Stmt(), 1);
    const std::int64_t from = sqlite3_column_int64(next.Stmt(), 2);
    const std::int64_t to = sqlite3_column_int64(next.Stmt(), 3);
    next.Reset();
    const std::int64_t end = std::min(to, from + kBuildChunkMinutes);
    RecomputeMinutes(ADatabase, device, from, end);
    // The queue moves on in the same transaction: a kill loses nothing and
    // computes nothing twice.
    TStatement advance(ADatabase, end >= to ? QStringLiteral("DELETE FROM DeviceDataMinuteQueue WHERE rowid = ?1")
                                            : QStringLiteral("UPDATE DeviceDataMinuteQueue SET FromMinute = ?2 "
                                                             "WHERE rowid = ?1"));
    advance.Bind(1, entry);
    if (end < to) advance.Bind(2, end);
    advance.Run();
    transaction.Commit();
    done += end - from;
    if (AProgress && !AProgress(std::min(done, total), total)) return false;
  }
  return true;
}

struct THistorySummaryBuilder::TState {
  std::atomic<bool> Stop{false};
  std::atomic<bool> Finished{false};
  std::mutex Mutex;
  std::condition_variable Wake;
  std::thread Thread;
};

namespace {

// Runs AWork; the error it raised, empty when none.
QString ErrorOf(const std::function<void()>& AWork) {
  try {
    AWork();
  } catch (...) {
    return ExceptionMessage(std::current_exception());
  }
  return QString();
}

} // namespace

THistorySummaryBuilder::THistorySummaryBuilder(const QString& AFileName, TNotify ANotify,
                                               std::chrono::milliseconds APeriod)
    : FState(std::make_shared<TState>()) {
  FState->Thread = std::thread([state = FState.get(), fileName = AFileName, notify = std::move(ANotify), APeriod] {
    TSQLiteDatabase database;
    bool finished = false;
    // The process that records (a period) also chains what it recorded and
    // tells the hook (trust: the station's key and seals).
    const THistoryChainHook hook = APeriod.count() > 0 ? HistoryChainHook() : THistoryChainHook();
    auto chain = [&](THistoryChainEvent AEvent, const std::function<bool()>& AGoOn) {
      if (APeriod.count() == 0) return;
      const std::vector<THistoryAmendment> amended = ChainHistory(database, Now(), AGoOn);
      if (hook) hook(database, AEvent, amended);
    };
    auto goOn = [state] { return !state->Stop.load(); };
    QString error = ErrorOf([&] {
      database.SetFileName(fileName);
      database.Open();
      database.SetTimeout(5000);
      if (hook) hook(database, THistoryChainEvent::Started, {});
      finished = BuildHistorySummaries(database, [&](std::int64_t ADone, std::int64_t ATotal) {
        if (notify) notify(ADone, ATotal, false, QString());
        return !state->Stop.load();
      });
      if (finished) chain(THistoryChainEvent::Pass, goOn);
    });
    if (APeriod.count() == 0) state->Finished = true;
    if (notify && (finished || !error.isEmpty())) notify(0, 0, true, error);
    // Then the rows recorded since, every period, until stopped; a pass
    // that failed (the file busy with a restore) is tried again at the
    // next. At the stop, the rows recorded last (a period's worth, one
    // transaction), chained and sealed.
    while (APeriod.count() > 0 && database.Active() && (finished || !error.isEmpty())) {
      bool stopped = false;
      {
        std::unique_lock<std::mutex> lock(state->Mutex);
        stopped = state->Wake.wait_for(lock, APeriod, [state] { return state->Stop.load(); });
      }
      if (stopped) {
        int chunks = 0;
        ErrorOf([&] { CatchUpHistorySummaries(database, [&chunks] { return chunks++ == 0; }); });
        ErrorOf([&] { chain(THistoryChainEvent::Stopping, {}); });
        break;
      }
      error = ErrorOf([&] {
        BuildHistorySummaries(database, [state](std::int64_t, std::int64_t) { return !state->Stop.load(); });
        chain(THistoryChainEvent::Pass, goOn);
      });
    }
    state->Finished = true;
  });
}

THistorySummaryBuilder::~THistorySummaryBuilder() {
  {
    std::lock_guard<std::mutex> lock(FState->Mutex);
    FState->Stop = true;
  }
  FState->Wake.notify_all();
  if (FState->Thread.joinable()) FState->Thread.join();
}

bool THistorySummaryBuilder::Finished() const { return FState->Finished; }
