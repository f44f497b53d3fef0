// The history's chain: its share of the recording's CPU (32 controllers, a
// reading a second each, summaries and chain caught up every half minute as
// the recording process does), and tervox-db verify of a week of 4
// controllers (2.4 million rows) against a plain scan of the same rows with
// the same hashing (tervox_bench_chain_scan, a small C program).
//   build/bin/tervox_bench_chain [--benchmark_filter=...]
#include "BenchSupport.h"
#include "core/DqRoutine.h"
#include "store/DqHistoryChain.h"
#include "store/DqHistorySummary.h"
#include "store/DqSQLite.h"
#include "trust/Tervox_StationKey.h"
#include "trust/Tervox_Verify.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
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

std::unique_ptr<TSQLiteDatabase> NewDatabase(const QString& AName) {
  const QString path = Dir().filePath(AName);
  for (const char* suffix : {"", "-wal", "-shm", ".key"}) QFile::remove(path + QLatin1String(suffix));
  auto db = std::make_unique<TSQLiteDatabase>(path);
  db->SetHeader(QStringLiteral("TERVOX_SQLITE"));
  db->GetTable(QStringLiteral("PRAGMA journal_mode = WAL"));
  db->ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
  EnsureHistorySummaries(*db);
  return db;
}

constexpr int kControllers = 32;
constexpr double kStart = 46000.0;
std::int64_t DeviceOf(std::int64_t AIndex, int AControllers) { return 1 + AIndex % AControllers; }
double TimeOf(std::int64_t AIndex, int AControllers) {
  return kStart + static_cast<double>(AIndex / AControllers) / 86400.0;
}
constexpr std::int64_t kCatchUpRows = 30 * kControllers;

// Each reading as a controller's is recorded (the layer, its statement by
// text); every half minute the keeper's pass: summaries, then the chain.
// Counters: the thread CPU per row of the insert, of the summaries and of
// the chain, and the chain's share of the insert's CPU in percent.
void ChainShareOfInsert(benchmark::State& state) {
  auto db = NewDatabase(QStringLiteral("share.db"));
  TSQLiteParamList params;
  std::int64_t i = 0;
  double insertCpu = 0, summaryCpu = 0, chainCpu = 0;
  for (auto _ : state) {
    params.SetParamValues(":DeviceID", static_cast<long long>(DeviceOf(i, kControllers)));
    params.SetParamValues(":ReadTime", TVariant::FromDateTime(TimeOf(i, kControllers)));
    params.SetParamValues(":Digit", 1);
    params.SetParamValues(":PV", 25.3 + (i % 10) * 0.1);
    params.SetParamValues(":SV", 30.0);
    params.SetParamValues(":OUT1", 55.5);
    params.SetParamValues(":OUT2", 0.0);
    params.SetParamValues(":EV1", 0.0);
    params.SetParamValues(":EV2", 0.0);
    params.SetParamValues(":EV3", 0.0);
    params.SetParamValues(":IsEV1", false);
    params.SetParamValues(":IsEV2", false);
    params.SetParamValues(":IsEV3", true);
    const double before = ThreadCPUMicroseconds();
    db->ExecSQL(kInsert, &params);
    const double inserted = ThreadCPUMicroseconds();
    insertCpu += inserted - before;
    if (++i % kCatchUpRows == 0) {
      CatchUpHistorySummaries(*db);
      const double summarised = ThreadCPUMicroseconds();
      ChainHistory(*db, TimeOf(i, kControllers));
      const double chained = ThreadCPUMicroseconds();
      summaryCpu += summarised - inserted;
      chainCpu += chained - summarised;
    }
  }
  const double rows = static_cast<double>(i);
  state.counters["insert_cpu_us_per_row"] = insertCpu / rows;
  state.counters["summary_cpu_us_per_row"] = summaryCpu / rows;
  state.counters["chain_cpu_us_per_row"] = chainCpu / rows;
  state.counters["chain_share_pct"] = 100.0 * chainCpu / insertCpu;
  state.SetItemsProcessed(state.iterations());
  if (db->GetTableValue(QStringLiteral("SELECT count(*) FROM HistoryChain")) == 0)
    FailBench(state, QStringLiteral("nothing was chained"));
}

// A week of 4 controllers, a reading a second each, summarised, chained and
// sealed as the recording process leaves it.
QString RecordedWeek() {
  static QString file;
  if (!file.isEmpty()) return file;
  constexpr int controllers = 4;
  const std::int64_t total = std::int64_t(7) * 86400 * controllers;
  auto db = NewDatabase(QStringLiteral("week.db"));
  db->InWriteTransaction([&] {
    TSQLiteQuery query = db->PrepareSQL(kInsert);
    for (std::int64_t i = 0; i < total; ++i) {
      sqlite3_bind_int64(query.Statement, 1, DeviceOf(i, controllers));
      sqlite3_bind_double(query.Statement, 2, TimeOf(i, controllers));
      sqlite3_bind_int64(query.Statement, 3, 1);
      sqlite3_bind_double(query.Statement, 4, 25.3 + (i % 97) * 0.1);
      for (int p = 5; p <= 10; ++p) sqlite3_bind_double(query.Statement, p, 30.5);
      for (int p = 11; p <= 13; ++p) sqlite3_bind_int64(query.Statement, p, 0);
      db->ExecSQL(query);
    }
    db->ReleaseSQL(query);
  });
  // Summaries made anew queue every controller's recorded minutes.
  DropHistorySummaries(*db);
  EnsureHistorySummaries(*db);
  BuildHistorySummaries(*db);
  ChainHistory(*db, kStart + 8);
  const QString keyFile = TervoxStationKey::KeyFileName(db->FileName());
  TervoxStationKey::EnsureStationKey(*db, keyFile);
  TervoxStationKey::SealHeads(*db, keyFile, kStart + 8);
  db->GetTable(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
  file = db->FileName();
  return file;
}

// tervox-db verify's check (the same code, in this process), its CPU and
// wall time.
void VerifyWeek(benchmark::State& state) {
  const QString file = RecordedWeek();
  TervoxVerify::TResult result;
  double cpu = 0;
  for (auto _ : state) {
    const double before = ThreadCPUMicroseconds();
    result = TervoxVerify::Verify(file);
    cpu += ThreadCPUMicroseconds() - before;
  }
  if (result.Status != TervoxVerify::TStatus::Intact || result.Rows != 7 * 86400 * 4)
    FailBench(state, QStringLiteral("verify: %1 rows, %2").arg(result.Rows).arg(result.Problem));
  state.counters["cpu_s"] = cpu / 1e6 / static_cast<double>(state.iterations());
  state.counters["rows"] = static_cast<double>(result.Rows);
  state.SetItemsProcessed(state.iterations() * result.Rows);
}

// The same rows scanned and hashed by the small C program: the floor.
void PlainScanWeek(benchmark::State& state) {
  const QString file = RecordedWeek();
  const QString program = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("tervox_bench_chain_scan"));
  double cpu = 0;
  qint64 rows = 0;
  for (auto _ : state) {
    QProcess scan;
    scan.start(program, {file});
    if (!scan.waitForFinished(600000) || scan.exitCode() != 0) {
      FailBench(state, QStringLiteral("%1 failed").arg(program));
      break;
    }
    const QStringList words = QString::fromLatin1(scan.readAllStandardOutput()).split(QLatin1Char(' '));
    rows = words.value(0).toLongLong();
    cpu += words.value(2).toDouble();
  }
  state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
  state.counters["rows"] = static_cast<double>(rows);
  state.SetItemsProcessed(state.iterations() * rows);
}

} // namespace

BENCHMARK(ChainShareOfInsert)->Unit(benchmark::kMicrosecond)->Iterations(32 * 60 * 30);
BENCHMARK(VerifyWeek)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(PlainScanWeek)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return BenchFailed() ? 1 : 0;
}
