#include "DqHistorySummary.h"

#include "DqSQLite.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <thread>
#include <limits>
#include <vector>

namespace {

constexpr const char* kValues[] = {"PV", "SV", "OUT1", "OUT2", "EV1", "EV2", "EV3"};
constexpr int kValueCount = 7;
constexpr double kNoValue = 32767.0;
// Minutes of one controller per building transaction: about 7,200 rows,
// a few milliseconds, so the recorder never waits long for the file.
constexpr std::int64_t kBuildChunkMinutes = 120;

const QString kTable = QStringLiteral("DeviceDataMinute");
const QString kQueue = QStringLiteral("DeviceDataMinuteQueue");
const QString kTrigger = QStringLiteral("DeviceDataMinuteInsert");
const QString kRecomputeTrigger = QStringLiteral("DeviceDataMinuteRecompute");

QString TableSQL() {
  QString sql = QStringLiteral("CREATE TABLE DeviceDataMinute (\n  DeviceID integer not null,\n"
                               "  Minute integer not null,\n  FirstTime real not null,\n"
                               "  LastTime real not null,\n  Rows integer not null");
  for (const char* v : kValues)
    sql += QStringLiteral(",\n  %1Min real, %1Max real, %1First real, %1Last real, %1Count integer not null")
               .arg(QLatin1String(v));
  return sql + QStringLiteral(",\n  primary key (DeviceID, Minute)\n) WITHOUT ROWID");
}

QString QueueSQL() {
  return QStringLiteral("CREATE TABLE DeviceDataMinuteQueue (DeviceID integer not null, FromMinute integer not null, "
                        "ToMinute integer not null)");
}

// The triggers run inside the INSERT into DeviceData, so every recording
// process (the window, the recorder, an older build) keeps the summaries
// current in the same transaction. A row newer than the newest of its
// minute updates the minute from the row alone; the first row of a minute
// and a row older than its minute's newest (a clock stepped back) have the
// minute computed from its rows. Their conditions exclude each other
// whichever runs first.
QString MinuteKey() { return QStringLiteral("DeviceID = new.DeviceID AND Minute = CAST(new.ReadTime * 1440 AS INTEGER)"); }

QString UpdateTriggerSQL() {
  QString update = QStringLiteral("LastTime = new.ReadTime, Rows = Rows + 1");
  for (const char* name : kValues) {
    const QString v = QLatin1String(name);
    const QString newValid = QStringLiteral("(CASE WHEN new.%1 <> 32767 THEN new.%1 END)").arg(v);
    update += QStringLiteral(", %1Min = coalesce(min(%1Min, %2), %1Min, %2), %1Max = coalesce(max(%1Max, %2), "
                             "%1Max, %2), %1First = coalesce(%1First, %2), %1Last = coalesce(%2, %1Last), "
                             "%1Count = %1Count + (%2 IS NOT NULL)")
                  .arg(v, newValid);
  }
  // The update's own key lookup is its condition: no second lookup first.
  return QStringLiteral("CREATE TRIGGER DeviceDataMinuteInsert AFTER INSERT ON DeviceData BEGIN\n"
                        "  UPDATE DeviceDataMinute SET %2 WHERE %1 AND LastTime < new.ReadTime;\n"
                        "END")
      .arg(MinuteKey(), update);
}

QString RecomputeTriggerSQL() {
  const QString minute = QStringLiteral("CAST(new.ReadTime * 1440 AS INTEGER)");
  // The rows of the new row's minute, found through the key.
  const QString rows = QStringLiteral("DeviceID = new.DeviceID AND ReadTime >= (%1 - 1) / 1440.0 AND "
                                      "ReadTime < (%1 + 2) / 1440.0 AND CAST(ReadTime * 1440 AS INTEGER) = %1")
                           .arg(minute);
  QString columns = QStringLiteral("DeviceID, Minute, FirstTime, LastTime, Rows");
  QString recomputed = QStringLiteral("new.DeviceID, %1, min(ReadTime), max(ReadTime), count(*)").arg(minute);
  for (const char* name : kValues) {
    const QString v = QLatin1String(name);
    const QString valid = QStringLiteral("CASE WHEN %1 <> 32767 THEN %1 END").arg(v);
    columns += QStringLiteral(", %1Min, %1Max, %1First, %1Last, %1Count").arg(v);
    recomputed += QStringLiteral(", min(%1), max(%1), (SELECT %2 FROM DeviceData WHERE %3 AND %2 <> 32767 ORDER BY "
                                 "ReadTime LIMIT 1), (SELECT %2 FROM DeviceData WHERE %3 AND %2 <> 32767 ORDER BY "
                                 "ReadTime DESC LIMIT 1), count(%1)")
                      .arg(valid, v, rows);
  }
  return QStringLiteral("CREATE TRIGGER DeviceDataMinuteRecompute AFTER INSERT ON DeviceData WHEN NOT EXISTS (SELECT 1 "
                        "FROM DeviceDataMinute WHERE %1 AND LastTime <= new.ReadTime) BEGIN\n"
                        "  DELETE FROM DeviceDataMinute WHERE %1;\n"
                        "  INSERT INTO DeviceDataMinute (%2) SELECT %3 FROM DeviceData WHERE %4 GROUP BY DeviceID;\n"
                        "END")
      .arg(MinuteKey(), columns, recomputed, rows);
}

class TStatement {
public:
  TStatement(TSQLiteDatabase& ADatabase, const QString& ASQL) : FDatabase(ADatabase), FSQL(ASQL) {
    const QByteArray sql = ASQL.toUtf8();
    if (sqlite3_prepare_v2(ADatabase.Handle(), sql.constData(), static_cast<int>(sql.size()), &FStmt, nullptr) !=
        SQLITE_OK)
      ADatabase.RaiseError(QStringLiteral("Failed to prepare history summary statement"), ASQL);
  }
  ~TStatement() { sqlite3_finalize(FStmt); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;
  sqlite3_stmt* Stmt() const { return FStmt; }
  bool Step() {
    const int rc = FDatabase.Step(FStmt);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) FDatabase.RaiseError(QStringLiteral("Failed to update history summaries"), FSQL);
    return false;
  }
  void Reset() { sqlite3_reset(FStmt); }
  void Run() {
    while (Step()) {}
    Reset();
  }

private:
  TSQLiteDatabase& FDatabase;
  QString FSQL;
  sqlite3_stmt* FStmt = nullptr;
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
  const QByteArray type = AType.toUtf8(), name = AName.toUtf8();
  sqlite3_bind_text(query.Stmt(), 1, type.constData(), static_cast<int>(type.size()), SQLITE_TRANSIENT);
  sqlite3_bind_text(query.Stmt(), 2, name.constData(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
  if (!query.Step()) return QString();
  return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(query.Stmt(), 0)));
}

void DropTriggers(TSQLiteDatabase& ADatabase) {
  ADatabase.ExecSQL(QStringLiteral("DROP TRIGGER IF EXISTS DeviceDataMinuteInsert"));
  ADatabase.ExecSQL(QStringLiteral("DROP TRIGGER IF EXISTS DeviceDataMinuteRecompute"));
}

void DropAll(TSQLiteDatabase& ADatabase) {
  DropTriggers(ADatabase);
  ADatabase.ExecSQL(QStringLiteral("DROP TABLE IF EXISTS DeviceDataMinute"));
  ADatabase.ExecSQL(QStringLiteral("DROP TABLE IF EXISTS DeviceDataMinuteQueue"));
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
    sqlite3_bind_int64(next.Stmt(), 1, last);
    if (!next.Step() || sqlite3_column_type(next.Stmt(), 0) == SQLITE_NULL) break;
    last = sqlite3_column_int64(next.Stmt(), 0);
    next.Reset();
    sqlite3_bind_int64(oldest.Stmt(), 1, last);
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
    sqlite3_bind_int64(insert.Stmt(), 1, span.DeviceID);
    sqlite3_bind_int64(insert.Stmt(), 2, span.FromMinute);
    sqlite3_bind_int64(insert.Stmt(), 3, span.ToMinute);
    insert.Run();
  }
}

struct TValueSummary {
  double Min = 0, Max = 0, First = 0, Last = 0;
  std::int64_t Count = 0;
};
struct TMinuteSummary {
  std::int64_t Minute = 0;
  double FirstTime = 0, LastTime = 0;
  std::int64_t Rows = 0;
  std::array<TValueSummary, kValueCount> Values;
};

// Recomputes the minutes [AFrom, ATo) of one controller from its rows.
void RecomputeMinutes(TSQLiteDatabase& ADatabase, std::int64_t ADeviceID, std::int64_t AFrom, std::int64_t ATo) {
  TStatement erase(ADatabase,
                   QStringLiteral("DELETE FROM DeviceDataMinute WHERE DeviceID = ?1 AND Minute >= ?2 AND Minute < ?3"));
  sqlite3_bind_int64(erase.Stmt(), 1, ADeviceID);
  sqlite3_bind_int64(erase.Stmt(), 2, AFrom);
  sqlite3_bind_int64(erase.Stmt(), 3, ATo);
  erase.Run();

  QString select = QStringLiteral("SELECT ReadTime");
  for (const char* v : kValues) select += QStringLiteral(", ") + QLatin1String(v);
  // A minute's rows by the trigger's arithmetic: the range is widened by a
  // minute each side and the minute is checked for each row.
  TStatement rows(ADatabase, select + QStringLiteral(" FROM DeviceData WHERE DeviceID = ?1 AND ReadTime >= ?2 AND "
                                                     "ReadTime < ?3 ORDER BY ReadTime"));
  sqlite3_bind_int64(rows.Stmt(), 1, ADeviceID);
  sqlite3_bind_double(rows.Stmt(), 2, (AFrom - 1) / kMinutesPerDay);
  sqlite3_bind_double(rows.Stmt(), 3, (ATo + 1) / kMinutesPerDay);

  QString columns = QStringLiteral("DeviceID, Minute, FirstTime, LastTime, Rows");
  QString marks = QStringLiteral("?1, ?2, ?3, ?4, ?5");
  int n = 5;
  for (const char* name : kValues) {
    const QString v = QLatin1String(name);
    columns += QStringLiteral(", %1Min, %1Max, %1First, %1Last, %1Count").arg(v);
    for (int k = 0; k < 5; ++k) marks += QStringLiteral(", ?%1").arg(++n);
  }
  TStatement insert(ADatabase, QStringLiteral("INSERT INTO DeviceDataMinute (%1) VALUES (%2)").arg(columns, marks));
  auto write = [&](const TMinuteSummary& AMinute) {
    sqlite3_stmt* s = insert.Stmt();
    sqlite3_bind_int64(s, 1, ADeviceID);
    sqlite3_bind_int64(s, 2, AMinute.Minute);
    sqlite3_bind_double(s, 3, AMinute.FirstTime);
    sqlite3_bind_double(s, 4, AMinute.LastTime);
    sqlite3_bind_int64(s, 5, AMinute.Rows);
    int p = 6;
    for (const TValueSummary& value : AMinute.Values) {
      for (double x : {value.Min, value.Max, value.First, value.Last}) {
        if (value.Count > 0)
          sqlite3_bind_double(s, p, x);
        else
          sqlite3_bind_null(s, p);
        ++p;
      }
      sqlite3_bind_int64(s, p++, value.Count);
    }
    insert.Run();
  };

  TMinuteSummary current;
  bool open = false;
  while (rows.Step()) {
    sqlite3_stmt* s = rows.Stmt();
    const double t = sqlite3_column_double(s, 0);
    const std::int64_t minute = HistoryMinuteOf(t);
    if (minute < AFrom || minute >= ATo) continue;
    if (!open || minute != current.Minute) {
      if (open) write(current);
      current = TMinuteSummary();
      current.Minute = minute;
      current.FirstTime = t;
      open = true;
    }
    current.LastTime = t;
    ++current.Rows;
    for (int k = 0; k < kValueCount; ++k) {
      if (sqlite3_column_type(s, k + 1) == SQLITE_NULL) continue;
      const double x = sqlite3_column_double(s, k + 1);
      if (x == kNoValue) continue;
      TValueSummary& value = current.Values[k];
      if (value.Count++ == 0) {
        value.Min = value.Max = value.First = x;
      } else {
        value.Min = std::min(value.Min, x);
        value.Max = std::max(value.Max, x);
      }
      value.Last = x;
    }
  }
  if (open) write(current);
}

} // namespace

QStringList HistorySummaryTableNames() { return {kTable, kQueue}; }

bool EnsureHistorySummaries(TSQLiteDatabase& ADatabase) {
  if (SchemaOf(ADatabase, QStringLiteral("table"), kTable) == TableSQL() &&
      SchemaOf(ADatabase, QStringLiteral("table"), kQueue) == QueueSQL() &&
      SchemaOf(ADatabase, QStringLiteral("trigger"), kTrigger) == UpdateTriggerSQL() &&
      SchemaOf(ADatabase, QStringLiteral("trigger"), kRecomputeTrigger) == RecomputeTriggerSQL())
    return false;
  // Rows recorded from this transaction on are summarised by the trigger;
  // those before it wait in the queue for the background build.
  TWriteTransaction transaction(ADatabase);
  DropAll(ADatabase);
  ExecVerbatim(ADatabase, TableSQL());
  ExecVerbatim(ADatabase, QueueSQL());
  ExecVerbatim(ADatabase, UpdateTriggerSQL());
  ExecVerbatim(ADatabase, RecomputeTriggerSQL());
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
    sqlite3_bind_int64(next.Stmt(), 1, last);
    if (!next.Step() || sqlite3_column_type(next.Stmt(), 0) == SQLITE_NULL) break;
    last = sqlite3_column_int64(next.Stmt(), 0);
    next.Reset();
    spans.push_back({last, HistoryMinuteOf(AFromTime), HistoryMinuteOf(AToTime) + 1});
  }
  InsertQueue(ADatabase, spans);
  transaction.Commit();
}

void ForgetHistoryMinutes(TSQLiteDatabase& ADatabase, std::int64_t ADeviceID, std::int64_t AFromMinute,
                          std::int64_t AToMinute) {
  if (!ADatabase.TableExists(kQueue)) return; // rebuilt whole at the next start
  const QString rowsLeft = QStringLiteral(
      "EXISTS (SELECT 1 FROM main.DeviceData d WHERE d.DeviceID = m.DeviceID AND d.ReadTime >= (m.Minute - 1) / 1440.0 "
      "AND d.ReadTime < (m.Minute + 2) / 1440.0 AND CAST(d.ReadTime * 1440 AS INTEGER) = m.Minute)");
  const QString minutes = QStringLiteral("m.DeviceID = ?1 AND m.Minute >= ?2 AND m.Minute < ?3");
  for (const QString& sql :
       {QStringLiteral("INSERT INTO main.DeviceDataMinuteQueue SELECT m.DeviceID, m.Minute, m.Minute + 1 FROM "
                       "main.DeviceDataMinute m WHERE %1 AND %2").arg(minutes, rowsLeft),
        QStringLiteral("DELETE FROM main.DeviceDataMinute AS m WHERE %1 AND NOT %2").arg(minutes, rowsLeft)}) {
    TStatement statement(ADatabase, sql);
    sqlite3_bind_int64(statement.Stmt(), 1, ADeviceID);
    sqlite3_bind_int64(statement.Stmt(), 2, AFromMinute);
    sqlite3_bind_int64(statement.Stmt(), 3, AToMinute);
    statement.Run();
  }
}

void InsertHistoryInBulk(TSQLiteDatabase& ADatabase, std::int64_t ADeviceID, double AFromTime, double AToTime,
                         const std::function<void()>& AInsert) {
  TWriteTransaction transaction(ADatabase);
  const bool summarised = ADatabase.TableExists(kQueue);
  if (summarised) DropTriggers(ADatabase);
  AInsert();
  if (summarised) {
    InsertQueue(ADatabase, {{ADeviceID, HistoryMinuteOf(AFromTime), HistoryMinuteOf(AToTime) + 1}});
    ExecVerbatim(ADatabase, UpdateTriggerSQL());
    ExecVerbatim(ADatabase, RecomputeTriggerSQL());
  }
  transaction.Commit();
}

std::int64_t PendingHistorySummaryMinutes(TSQLiteDatabase& ADatabase) {
  if (!ADatabase.TableExists(kQueue)) return 0;
  return ADatabase.GetTableValue(QStringLiteral("SELECT coalesce(sum(ToMinute - FromMinute), 0) FROM DeviceDataMinuteQueue"));
}

bool BuildHistorySummaries(TSQLiteDatabase& ADatabase, const TSQLiteProgress& AProgress) {
  const std::int64_t total = PendingHistorySummaryMinutes(ADatabase);
  std::int64_t done = 0;
  if (AProgress && !AProgress(done, total)) return false;
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
    sqlite3_bind_int64(advance.Stmt(), 1, entry);
    if (end < to) sqlite3_bind_int64(advance.Stmt(), 2, end);
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
  std::thread Thread;
};

THistorySummaryBuilder::THistorySummaryBuilder(const QString& AFileName, TNotify ANotify)
    : FState(std::make_shared<TState>()) {
  FState->Thread = std::thread([state = FState.get(), fileName = AFileName, notify = std::move(ANotify)] {
    QString error;
    bool finished = false;
    try {
      TSQLiteDatabase database;
      database.SetFileName(fileName);
      database.Open();
      database.SetTimeout(5000);
      finished = BuildHistorySummaries(database, [&](std::int64_t ADone, std::int64_t ATotal) {
        if (notify) notify(ADone, ATotal, false, QString());
        return !state->Stop.load();
      });
    } catch (const EDqException& e) {
      error = e.Message();
    } catch (const std::exception& e) {
      error = QString::fromLocal8Bit(e.what());
    }
    state->Finished = true;
    if (notify && (finished || !error.isEmpty())) notify(0, 0, true, error);
  });
}

THistorySummaryBuilder::~THistorySummaryBuilder() {
  FState->Stop = true;
  if (FState->Thread.joinable()) FState->Thread.join();
}

bool THistorySummaryBuilder::Finished() const { return FState->Finished; }
