// History inserts and row stepping through the access layer against the raw
// SQLite calls, in the rollback journal and in WAL.
//   build/bin/tervox_bench_sqlite [--benchmark_filter=...]
#include "core/DqRoutine.h"
#include "store/DqHistorySummary.h"
#include "store/DqSQLite.h"
#include "BenchSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <memory>

namespace {

const QString kInsert = QStringLiteral(
    "INSERT INTO DeviceData VALUES(:DeviceID, :ReadTime, :Digit, :PV, :SV, :OUT1, :OUT2, :EV1, :EV2, :EV3, "
    ":IsEV1, :IsEV2, :IsEV3)");

QTemporaryDir& Dir() {
  static QTemporaryDir dir;
  return dir;
}

// A fresh database with the program's schema and the given journal mode.
std::unique_ptr<TSQLiteDatabase> NewDatabase(const QString& AName, bool AWal) {
  const QString path = Dir().filePath(AName);
  QFile::remove(path);
  QFile::remove(path + QStringLiteral("-wal"));
  QFile::remove(path + QStringLiteral("-shm"));
  auto db = std::make_unique<TSQLiteDatabase>(path);
  db->SetHeader(QStringLiteral("TERVOX_SQLITE"));
  db->GetTable(AWal ? QStringLiteral("PRAGMA journal_mode = WAL") : QStringLiteral("PRAGMA journal_mode = DELETE"));
  db->ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
  return db;
}

// Readings as a station of 32 controllers records them, one a second each.
constexpr int kControllers = 32;
std::int64_t DeviceOf(std::int64_t AIndex) { return 1 + AIndex % kControllers; }
double TimeOf(std::int64_t AIndex) { return 45000.0 + static_cast<double>(AIndex / kControllers) / 86400.0; }
// With summaries, the recording process catches them up every half minute.
constexpr std::int64_t kCatchUpRows = 30 * kControllers;

void BindReading(TSQLiteParamList& AParams, std::int64_t AIndex) {
  AParams.SetParamValues(":DeviceID", static_cast<long long>(DeviceOf(AIndex)));
  AParams.SetParamValues(":ReadTime", TVariant::FromDateTime(TimeOf(AIndex)));
  AParams.SetParamValues(":Digit", 1);
  AParams.SetParamValues(":PV", 25.3 + (AIndex % 10));
  AParams.SetParamValues(":SV", 30.0);
  AParams.SetParamValues(":OUT1", 55.5);
  AParams.SetParamValues(":OUT2", 0.0);
  AParams.SetParamValues(":EV1", 0.0);
  AParams.SetParamValues(":EV2", 0.0);
  AParams.SetParamValues(":EV3", 0.0);
  AParams.SetParamValues(":IsEV1", false);
  AParams.SetParamValues(":IsEV2", false);
  AParams.SetParamValues(":IsEV3", true);
}

// Arg 0: rollback journal, 1: WAL, 2: WAL with the per-minute summaries
// caught up every half minute (the recorder's path), their cost in the
// inserts' time.
void LayerInsert(benchmark::State& state) {
  auto db = NewDatabase(QStringLiteral("layer.db"), state.range(0) != 0);
  if (state.range(0) == 2) EnsureHistorySummaries(*db);
  std::int64_t i = 0;
  // As a reading is recorded: the statement by its text, new values bound.
  TSQLiteParamList params;
  for (auto _ : state) {
    BindReading(params, i++);
    db->ExecSQL(kInsert, &params);
    if (state.range(0) == 2 && i % kCatchUpRows == 0) CatchUpHistorySummaries(*db);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(state.range(0) == 2 ? "WAL, summaries" : state.range(0) ? "WAL" : "rollback journal");
}

void RawInsert(benchmark::State& state) {
  auto db = NewDatabase(QStringLiteral("raw.db"), state.range(0) != 0);
  if (state.range(0) == 2) EnsureHistorySummaries(*db);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare16_v2(db->Handle(), kInsert.utf16(), static_cast<int>(kInsert.size() * 2), &stmt, nullptr);
  std::int64_t i = 0;
  double catchUpCpu = 0;
  for (auto _ : state) {
    sqlite3_bind_int64(stmt, 1, DeviceOf(i));
    sqlite3_bind_double(stmt, 2, TimeOf(i));
    sqlite3_bind_int64(stmt, 3, 1);
    sqlite3_bind_double(stmt, 4, 25.3 + (i % 10));
    for (int p = 5; p <= 10; ++p) sqlite3_bind_double(stmt, p, 30.0);
    for (int p = 11; p <= 13; ++p) sqlite3_bind_int64(stmt, p, p == 13 ? -1 : 0);
    if (sqlite3_step(stmt) != SQLITE_DONE) state.SkipWithError("insert failed");
    sqlite3_reset(stmt);
    if (++i % kCatchUpRows == 0 && state.range(0) == 2) {
      const double before = ThreadCPUMicroseconds();
      CatchUpHistorySummaries(*db);
      catchUpCpu += ThreadCPUMicroseconds() - before;
    }
  }
  sqlite3_finalize(stmt);
  state.SetItemsProcessed(state.iterations());
  // The catch-up's own CPU per row recorded: its share of the insert's.
  if (state.range(0) == 2) state.counters["catchup_cpu_us_per_row"] = catchUpCpu / static_cast<double>(i);
  state.SetLabel(state.range(0) == 2 ? "WAL, summaries" : state.range(0) ? "WAL" : "rollback journal");
}

// One catch-up transaction of a backlog (10,000 rows of 32 controllers, the
// most one takes): how long the recorder may wait for it, on the wall clock.
void CatchUpBacklog(benchmark::State& state) {
  auto db = NewDatabase(QStringLiteral("backlog.db"), true);
  EnsureHistorySummaries(*db);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare16_v2(db->Handle(), kInsert.utf16(), static_cast<int>(kInsert.size() * 2), &stmt, nullptr);
  std::int64_t i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    db->ExecSQL(QStringLiteral("BEGIN"));
    for (const std::int64_t end = i + 10000; i < end; ++i) {
      sqlite3_bind_int64(stmt, 1, DeviceOf(i));
      sqlite3_bind_double(stmt, 2, TimeOf(i));
      sqlite3_bind_int64(stmt, 3, 1);
      sqlite3_bind_double(stmt, 4, 25.3 + (i % 10));
      for (int p = 5; p <= 10; ++p) sqlite3_bind_double(stmt, p, 30.0);
      for (int p = 11; p <= 13; ++p) sqlite3_bind_int64(stmt, p, 0);
      sqlite3_step(stmt);
      sqlite3_reset(stmt);
    }
    db->ExecSQL(QStringLiteral("COMMIT"));
    state.ResumeTiming();
    if (CatchUpHistorySummaries(*db) != 10000) state.SkipWithError("not every row caught up");
  }
  sqlite3_finalize(stmt);
  state.SetItemsProcessed(state.iterations() * 10000);
}

// One database with a million readings, shared by the stepping benchmarks.
TSQLiteDatabase* MillionRows() {
  static std::unique_ptr<TSQLiteDatabase> db;
  if (db) return db.get();
  db = NewDatabase(QStringLiteral("million.db"), true);
  db->ExecSQL(QStringLiteral("BEGIN"));
  TSQLiteQuery query = db->PrepareSQL(kInsert);
  for (std::int64_t i = 0; i < 1000000; ++i) {
    sqlite3_bind_int64(query.Statement, 1, 1);
    sqlite3_bind_double(query.Statement, 2, 45000.0 + i / 86400.0);
    sqlite3_bind_int64(query.Statement, 3, 1);
    sqlite3_bind_double(query.Statement, 4, 25.3 + (i % 10) * 0.1);
    for (int p = 5; p <= 10; ++p) sqlite3_bind_double(query.Statement, p, 30.5);
    for (int p = 11; p <= 13; ++p) sqlite3_bind_int64(query.Statement, p, 0);
    db->ExecSQL(query);
  }
  db->ReleaseSQL(query);
  db->ExecSQL(QStringLiteral("COMMIT"));
  return db.get();
}

const QString kRange = QStringLiteral("SELECT * FROM DeviceData WHERE DeviceID = 1 AND ReadTime >= 45000 ORDER BY ReadTime");

void LayerStep(benchmark::State& state) {
  TSQLiteDatabase* db = MillionRows();
  std::int64_t rows = 0;
  for (auto _ : state) {
    TSQLiteTable table(db);
    table.SetSQL(kRange);
    table.Open();
    double sum = 0;
    TSQLiteField* pv = table.FieldByName(QStringLiteral("PV"));
    while (!table.Eof()) {
      sum += pv->AsFloat();
      ++rows;
      table.Next();
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(rows);
}

void RawStep(benchmark::State& state) {
  TSQLiteDatabase* db = MillionRows();
  std::int64_t rows = 0;
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare16_v2(db->Handle(), kRange.utf16(), static_cast<int>(kRange.size() * 2), &stmt, nullptr);
    double sum = 0;
    const int columns = sqlite3_column_count(stmt);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      // Read every column by its storage class, as the layer does.
      for (int c = 0; c < columns; ++c) {
        switch (sqlite3_column_type(stmt, c)) {
        case SQLITE_INTEGER: benchmark::DoNotOptimize(sqlite3_column_int64(stmt, c)); break;
        case SQLITE_FLOAT: benchmark::DoNotOptimize(sqlite3_column_double(stmt, c)); break;
        default: break;
        }
      }
      sum += sqlite3_column_double(stmt, 3);
      ++rows;
    }
    sqlite3_finalize(stmt);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(rows);
}

} // namespace

BENCHMARK(LayerInsert)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(RawInsert)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(CatchUpBacklog)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);
BENCHMARK(LayerStep)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(RawStep)->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  SetUserLocale(QLocale::c());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
