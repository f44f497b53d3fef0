// Reports over a year of 1-second readings of one controller (31.5 M rows),
// each figure beside raw SQLite in the same run: the page count against
// COUNT(*), page flips (the last page included), grouped reports against
// GROUP BY ROUND(), and the CSV and .xlsx exports' rate and memory.
//   build/bin/tervox_bench_report [--benchmark_filter=...]
// The year is generated once into $TERVOX_BENCH_DIR (default /tmp) as
// tervox-bench-year.db and reused by later runs.
#include "BenchSupport.h"
#include "graph/DqPrint.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "export/Tervox_DeviceReport.h"
#include "export/Tervox_Report.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <random>

namespace {

constexpr int kRows = 365 * 86400;
constexpr double kFirst = 46023.0; // 2026-01-01 00:00:00
constexpr double kLast = kFirst + 365 - 1.0 / 86400;
constexpr double kMonth = 30;

QString YearFile() {
  const QString dir = qEnvironmentVariableIsSet("TERVOX_BENCH_DIR") ? qEnvironmentVariable("TERVOX_BENCH_DIR") : QStringLiteral("/tmp");
  return QDir(dir).filePath(QStringLiteral("tervox-bench-year.db"));
}

// The year, made once: the program's schema, then every second of 2026
// for controller 1 in one transaction.
const QString& YearDatabase() {
  static const QString file = [] {
    const QString path = YearFile();
    {
      TSQLiteDatabase check(path);
      check.Open();
      if (check.TableExists(QStringLiteral("DeviceData")) &&
          check.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID = 1")) == kRows)
        return path;
    }
    QFile::remove(path);
    std::fprintf(stderr, "generating %d rows into %s ...\n", kRows, qPrintable(path));
    TSQLiteDatabase db(path);
    db.SetHeader(QStringLiteral("TERVOX_SQLITE"));
    db.Open();
    db.ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
    sqlite3* raw = db.Handle();
    sqlite3_exec(raw, "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(raw,
                       "INSERT INTO DeviceData VALUES (1, ?1, 1, ?2, 180.0, ?3, 0, 32767, 32767, 32767, ?4, 0, 0)", -1,
                       &stmt, nullptr);
    for (int i = 0; i < kRows; ++i) {
      sqlite3_bind_double(stmt, 1, kFirst + i / 86400.0);
      sqlite3_bind_double(stmt, 2, 150 + (i % 600) / 10.0);
      sqlite3_bind_double(stmt, 3, (i % 1000) / 10.0);
      sqlite3_bind_int(stmt, 4, (i / 60) % 2 ? -1 : 0);
      sqlite3_step(stmt);
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    sqlite3_exec(raw, "COMMIT; PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
    return path;
  }();
  return file;
}

TDeviceReportQuery Query(int APeriod, double AFrom, double ATo) {
  TDeviceReportQuery query;
  query.DeviceID = 1;
  query.DeviceName = QStringLiteral("Bench");
  query.FirstTime = AFrom;
  query.LastTime = ATo;
  query.Period = APeriod;
  return query;
}

std::int64_t RawValue(const char* ASQL, double AFrom, double ATo) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(YearDatabase().toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, ASQL, -1, &stmt, nullptr);
  sqlite3_bind_double(stmt, 1, AFrom);
  sqlite3_bind_double(stmt, 2, ATo);
  std::int64_t rows = 0;
  std::int64_t value = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    value = sqlite3_column_int64(stmt, 0);
    ++rows;
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows == 1 ? value : rows;
}

void BM_Raw_CountYear(benchmark::State& state) {
  YearDatabase();
  for (auto _ : state)
    benchmark::DoNotOptimize(RawValue("SELECT count(*) FROM DeviceData WHERE DeviceID = 1 AND ReadTime >= ?1 AND ReadTime <= ?2",
                                      kFirst, kLast));
}

void BM_Report_PageCount_1Second_Year(benchmark::State& state) {
  YearDatabase();
  for (auto _ : state) {
    TDeviceReport report(YearDatabase());
    report.Open(Query(0, kFirst, kLast));
    state.counters["rows"] = static_cast<double>(report.RecordCount());
    state.counters["pages"] = report.PageCount(42);
  }
}

// A page flip as the screen does it: the page's rows by key and the whole
// sheet drawn at 100 % on an A4-sized picture.
void BM_Report_PageFlip_1Second_Year(benchmark::State& state) {
  TDeviceReport report(YearDatabase());
  report.Open(Query(0, kFirst, kLast));
  TBaseReport profile(QStringLiteral("Bench"), false);
  const int pageCount = report.PageCount(ReportRowsPerPage(profile));
  QImage image(820, 1160, QImage::Format_RGB32);
  TDqPrint print;
  print.SetScreenMode(QRect(QPoint(0, 0), QPoint(787, 1113)), 16, 16);
  std::mt19937 random(7);
  std::vector<int> pages{pageCount, 1, pageCount / 2};
  // The screen has its fonts loaded before the first flip.
  {
    QPainter warm(&image);
    report.DrawPage(warm, print, profile, QRect(16, 16, 788, 1128), 1, pageCount);
  }
  double worst = 0;
  double worstCPU = 0;
  std::size_t n = 0;
  for (auto _ : state) {
    const double cpuStart = ThreadCPUMicroseconds();
    const int page = n < pages.size() ? pages[n] : 1 + static_cast<int>(random() % static_cast<unsigned>(pageCount));
    const auto start = std::chrono::steady_clock::now();
    image.fill(Qt::white);
    QPainter painter(&image);
    report.DrawPage(painter, print, profile, QRect(16, 16, 788, 1128), page, pageCount);
    painter.end();
    worst = std::max(worst, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    worstCPU = std::max(worstCPU, (ThreadCPUMicroseconds() - cpuStart) / 1000);
    ++n;
  }
  state.counters["worst_ms"] = worst;
  state.counters["worst_cpu_ms"] = worstCPU;
}

void BM_Raw_GroupBy(benchmark::State& state) {
  const int groups = static_cast<int>(state.range(0));
  const double to = state.range(1) ? kLast : kFirst + kMonth;
  const QByteArray sql = "SELECT PV, SV, OUT1, OUT2, IsEV1, IsEV2, IsEV3, Digit, MIN(ReadTime) AS ReadTime FROM DeviceData "
                         "WHERE DeviceID = 1 AND ReadTime >= ?1 AND ReadTime <= ?2 GROUP BY ROUND(ReadTime * " +
                         QByteArray::number(groups) + ") ORDER BY ReadTime";
  YearDatabase();
  for (auto _ : state) state.counters["rows"] = static_cast<double>(RawValue(sql.constData(), kFirst, to));
}

void BM_Report_Grouped(benchmark::State& state) {
  const int period = static_cast<int>(state.range(0));
  const double to = state.range(1) ? kLast : kFirst + kMonth;
  YearDatabase();
  for (auto _ : state) {
    TDeviceReport report(YearDatabase());
    report.Open(Query(period, kFirst, to));
    state.counters["rows"] = static_cast<double>(report.RecordCount());
  }
}

long MaxRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_Raw_StepMonth(benchmark::State& state) {
  YearDatabase();
  for (auto _ : state)
    benchmark::DoNotOptimize(RawValue("SELECT ReadTime, Digit, PV, SV, OUT1, OUT2, IsEV1, IsEV2, IsEV3 FROM DeviceData "
                                      "WHERE DeviceID = 1 AND ReadTime >= ?1 AND ReadTime <= ?2 ORDER BY ReadTime",
                                      kFirst, kFirst + kMonth));
  state.SetItemsProcessed(state.iterations() * 30 * 86400);
}

void BM_Report_CsvMonth(benchmark::State& state) {
  const QString file = QDir::temp().filePath(QStringLiteral("tervox-bench-month.csv"));
  const long before = MaxRssKiB();
  for (auto _ : state) {
    TDeviceReport report(YearDatabase());
    report.Open(Query(0, kFirst, kFirst + kMonth));
    state.counters["rows"] = static_cast<double>(report.ExportCSV(file).RowsWritten);
  }
  state.SetItemsProcessed(state.iterations() * 30 * 86400);
  state.counters["maxrss_growth_MiB"] = static_cast<double>(MaxRssKiB() - before) / 1024;
  QFile::remove(file);
}

// A month of 1-second rows (2.6 M) as a workbook: three sheets, in
// libxlsxwriter's constant-memory mode, every cell through its public
// calls. Rates by the wall clock too (wall_rows_per_s): the export waits on
// its disk as well. On 2 shared cores at load 3.1-3.3: 112-122 k rows/s by
// the wall clock (127-135 k rows/s of CPU), 87 MiB, 25 MiB resident (the
// rows' XML written here beside the library, packed at zlib's fastest
// level: 372-403 k rows/s by the wall clock, 116 MiB).
void BM_Report_XlsxMonth(benchmark::State& state) {
  const QString file = QDir::temp().filePath(QStringLiteral("tervox-bench-month.xlsx"));
  TDeviceReport report(YearDatabase());
  report.Open(Query(0, kFirst, kFirst + kMonth));
  const long before = MaxRssKiB();
  double wall = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const TDeviceReport::TExportResult result = report.ExportXLSX(file);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["rows"] = static_cast<double>(result.RowsWritten);
    state.counters["sheets"] = result.Sheets;
  }
  state.SetItemsProcessed(state.iterations() * 30 * 86400);
  state.counters["wall_rows_per_s"] = static_cast<double>(state.iterations()) * 30 * 86400 / wall;
  state.counters["maxrss_MiB"] = static_cast<double>(MaxRssKiB()) / 1024;
  state.counters["maxrss_growth_MiB"] = static_cast<double>(MaxRssKiB() - before) / 1024;
  state.counters["file_MiB"] = static_cast<double>(QFile(file).size()) / (1 << 20);
  QFile::remove(file);
}

} // namespace

BENCHMARK(BM_Raw_CountYear)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Report_PageCount_1Second_Year)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Report_PageFlip_1Second_Year)->Unit(benchmark::kMillisecond)->Iterations(50);
// 1 Minute over a month, 1 Hour over the year.
BENCHMARK(BM_Raw_GroupBy)->Args({1440, 0})->Args({24, 1})->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Report_Grouped)->Args({2, 0})->Args({6, 1})->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Raw_StepMonth)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Report_CsvMonth)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Report_XlsxMonth)->Unit(benchmark::kMillisecond)->Iterations(2);

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
