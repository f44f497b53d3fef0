// The graphs on a plant's real volume: a week of one-second readings of
// four controllers (2.4 M DeviceData rows, generated here), each figure
// beside what raw SQLite takes for the same rows in the same run.
//
//   tervox_bench_graph                       the week, the live trend
//   TERVOX_BENCH_YEAR=1 tervox_bench_graph   also a year of four lines
//                                            (126 M rows and their minute
//                                            summaries, generated once and
//                                            kept in $TMPDIR between runs;
//                                            delete tervox-bench-year4.db
//                                            there when done)
//
// Each controller's readings have a one-second spike and a one-second dip
// a day; the history benches check that exactly the pixel columns holding
// them reach them (exact per-column lowest and highest).
#include "BenchSupport.h"
#include "graph/DqGraph.h"
#include "graph/DqGraphHistory.h"
#include "store/DqHistorySummary.h"
#include "store/DqSQLite.h"
#include "core/DqRoutine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <set>
#include <tuple>
#include <stdexcept>
#include <string>

namespace {

constexpr double kSecond = 1.0 / 86400.0;
const double kStart = 46000.0; // 9 Dec 2025
constexpr int kWeekSeconds = 7 * 86400;
constexpr int kYearSeconds = 365 * 86400;
const QSize kPicture(1000, 600);

void Check(int ARc, sqlite3* ADB, const char* AWhat) {
  if (ARc != SQLITE_OK && ARc != SQLITE_DONE && ARc != SQLITE_ROW)
    throw std::runtime_error(std::string(AWhat) + ": " + sqlite3_errmsg(ADB));
}

void Exec(sqlite3* ADB, const char* ASQL) { Check(sqlite3_exec(ADB, ASQL, nullptr, nullptr, nullptr), ADB, ASQL); }

double Seconds(std::chrono::steady_clock::time_point AStart) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - AStart).count();
}

// The machine is shared: each figure carries the load it was taken under.
double LoadAverage() {
  double load[1] = {0};
  return getloadavg(load, 1) == 1 ? load[0] : -1;
}

double ProcessCPUMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// One spike and one dip a second long per controller and day, at seconds
// of the day that move from day to day; nothing else comes near them.
constexpr double kSpike = 195.0;
constexpr double kDip = 5.0;
int SpikeSecond(int ADay, int ADevice) { return (ADevice * 7919 + ADay * 104729) % 86400; }
int DipSecond(int ADay, int ADevice) { return (ADevice * 15485 + ADay * 7907 + 43200) % 86400; }

// Controller ADevice's PV at second AS of the generated history.
double Reading(int AS, int ADevice) {
  const int day = AS / 86400, second = AS % 86400;
  if (second == SpikeSecond(day, ADevice)) return kSpike;
  if (second == DipSecond(day, ADevice)) return kDip;
  if ((AS + ADevice) % 5000 == 0) return 32767.0; // now and then a lost reading
  // A slow wave with noise.
  return std::round((100.0 + 40.0 * std::sin(AS / 3600.0 + ADevice) +
                     ((static_cast<long long>(AS) * 7919 + ADevice) % 23) / 10.0) * 10) / 10;
}

// The DeviceData table as the program creates it, filled with ASeconds of
// one reading a second for ADevices controllers, as the recorder writes
// them (one row per controller per second, interleaved).
void Generate(const QString& AFile, int ADevices, int ASeconds) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(AFile.toUtf8().constData(), &db), db, "open");
  // Generation only: no journal and a cache that holds the key's pages, or
  // a big transaction spills the same pages to disk over and over.
  Exec(db, "PRAGMA journal_mode = OFF");
  Exec(db, "PRAGMA synchronous = OFF");
  Exec(db, "PRAGMA cache_size = -524288");
  Exec(db,
       "CREATE TABLE \"DeviceData\" ([DeviceID] integer not null default 0, [ReadTime] DateTime default 0.0,"
       " [Digit] numeric default 0, [PV] numeric default NULL, [SV] numeric default NULL, [OUT1] numeric default NULL,"
       " [OUT2] numeric default NULL, [EV1] numeric default NULL, [EV2] numeric default NULL, [EV3] numeric default NULL,"
       " [IsEV1] boolean default 0, [IsEV2] boolean default 0, [IsEV3] boolean default 0,"
       " primary key ([DeviceID], [ReadTime]))");
  sqlite3_stmt* insert = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO DeviceData VALUES (?1, ?2, 1, ?3, ?4, ?5, 0, 0, 0, 0, 0, 0, 0)", -1, &insert,
                           nullptr),
        db, "prepare");
  Exec(db, "BEGIN");
  for (int s = 0; s < ASeconds; ++s) {
    for (int d = 1; d <= ADevices; ++d) {
      sqlite3_bind_int(insert, 1, d);
      sqlite3_bind_double(insert, 2, kStart + s * kSecond);
      sqlite3_bind_double(insert, 3, Reading(s, d));
      sqlite3_bind_double(insert, 4, 150.0);
      sqlite3_bind_double(insert, 5, 50.0);
      Check(sqlite3_step(insert), db, "insert");
      sqlite3_reset(insert);
    }
    if (s % 500000 == 499999) {
      Exec(db, "COMMIT");
      Exec(db, "BEGIN");
      if (s % 5000000 == 4999999)
        std::fprintf(stderr, "generated %.1f M rows\n", (s + 1.0) * ADevices / 1e6);
    }
  }
  Exec(db, "COMMIT");
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

struct TWeek {
  QTemporaryDir Dir;
  QString File;
  TWeek() : File(Dir.filePath(QStringLiteral("Week.db"))) { Generate(File, 4, kWeekSeconds); }
};

TWeek& Week() {
  static TWeek week;
  return week;
}

// A year of four lines with their minute summaries, generated once: the
// rows in bulk, then the summaries by the program's own builder, both
// without a journal or syncing (generation only).
QString YearFile() {
  const QString file = QDir::temp().filePath(QStringLiteral("tervox-bench-year4.db"));
  if (!QFile::exists(file)) {
    const QString part = file + QStringLiteral(".part");
    QFile::remove(part);
    const auto start = std::chrono::steady_clock::now();
    Generate(part, 4, kYearSeconds);
    std::fprintf(stderr, "year: 4 x %d rows in %.0f s (load %.2f)\n", kYearSeconds, Seconds(start), LoadAverage());
    QFile::rename(part, file);
  }
  // Summaries of another layout (a file of an earlier build) are made anew.
  const auto start = std::chrono::steady_clock::now();
  TSQLiteDatabase db(file);
  Exec(db.Handle(), "PRAGMA journal_mode = OFF");
  Exec(db.Handle(), "PRAGMA synchronous = OFF");
  Exec(db.Handle(), "PRAGMA cache_size = -524288");
  if (EnsureHistorySummaries(db) || PendingHistorySummaryMinutes(db) > 0) {
    std::int64_t reported = 0;
    BuildHistorySummaries(db, [&](std::int64_t ADone, std::int64_t ATotal) {
      if (ADone - reported >= ATotal / 20) {
        reported = ADone;
        std::fprintf(stderr, "summaries %lld of %lld minutes, %.0f s\n", static_cast<long long>(ADone),
                     static_cast<long long>(ATotal), Seconds(start));
      }
      return true;
    });
    std::fprintf(stderr, "year: summaries built in %.0f s (load %.2f), file %.2f GB\n", Seconds(start),
                 LoadAverage(), QFileInfo(file).size() / 1e9);
  }
  return file;
}

// Drops the file's pages from the operating system's cache, as after a
// restart: the next read comes from the disk.
void EvictFromCache(const QString& AFile) {
  const int fd = ::open(QFile::encodeName(AFile).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fdatasync(fd);
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

// Every pixel column holding a spike (a dip) reaches it as its highest
// (lowest) value, and no other column does: the columns' extremes are
// those of every row. Empty when so.
QString CheckSpikes(const std::vector<TDqHistoryRequest>& ARequests, const std::vector<TDqHistorySeries>& ASeries) {
  int spikes = 0;
  for (std::size_t i = 0; i < ARequests.size() && i < ASeries.size(); ++i) {
    const TDqHistoryRequest& r = ARequests[i];
    std::set<int> spikeX, dipX;
    for (int day = 0; day < 366; ++day) {
      for (const auto& [second, value, xs] : {std::tuple{SpikeSecond(day, r.DeviceID), kSpike, &spikeX},
                                              std::tuple{DipSecond(day, r.DeviceID), kDip, &dipX}}) {
        const int s = day * 86400 + second;
        const double t = kStart + s * kSecond;
        if (t < r.FirstTime || t > r.LastTime || Reading(s, r.DeviceID) != value) continue;
        xs->insert(HistoryX(t, r.FirstTime, r.LastTime, r.Left, r.Width));
        ++spikes;
      }
    }
    std::set<int> seenSpike, seenDip;
    for (const TDqHistoryColumn& c : ASeries[i].Columns) {
      if ((c.Max == kSpike) != (spikeX.count(c.X) > 0) || (c.Min == kDip) != (dipX.count(c.X) > 0))
        return QStringLiteral("line %1, column x=%2: lowest %3, highest %4, spike there: %5, dip there: %6")
            .arg(r.DeviceID)
            .arg(c.X)
            .arg(c.Min)
            .arg(c.Max)
            .arg(spikeX.count(c.X))
            .arg(dipX.count(c.X));
      if (c.Max == kSpike) seenSpike.insert(c.X);
      if (c.Min == kDip) seenDip.insert(c.X);
    }
    if (seenSpike != spikeX || seenDip != dipX) return QStringLiteral("line %1: a spike's column is missing").arg(r.DeviceID);
  }
  return spikes > 0 ? QString() : QStringLiteral("no spike in the window");
}

// The profile of the history page: four PV lines over a window.
std::unique_ptr<TDqTrendGraph> Profile(int ALines, double AFirst, double ALast) {
  auto graph = std::make_unique<TDqTrendGraph>();
  graph->MinValue = 0;
  graph->MaxValue = 200;
  graph->FirstTime = AFirst;
  graph->LastTime = ALast;
  graph->TimeMode = true;
  for (int i = 0; i < ALines; ++i) {
    auto line = std::make_unique<TDqTrendLine>();
    line->ValueObjectID = i + 1;
    line->ValueType = 1;
    line->Color = RGBColor(60 * i, 128, 255 - 60 * i);
    graph->Add(std::move(line));
  }
  return graph;
}

// Reads every line through the page's loader and draws the picture.
void RenderHistory(benchmark::State& AState, const QString& AFile, int ALines, double AFirst, double ALast) {
  auto graph = Profile(ALines, AFirst, ALast);
  QImage image(kPicture, QImage::Format_RGB32);
  const QRect graphRect(8, 38, kPicture.width() - 8, kPicture.height() - 76);
  const QRect plot = TDqTrendGraph::MarginRect(graphRect);
  TDqHistoryLoader loader(AFile);
  QObject context;
  std::int64_t rows = 0;
  bool sampled = false, summarised = true;
  std::vector<double> times;
  double cpu = 0;
  std::vector<TDqHistoryRequest> requests;
  std::vector<TDqHistorySeries> series;
  for (auto _ : AState) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCPUMilliseconds();
    requests = graph->HistoryRequests(plot);
    series.clear();
    loader.Start(requests, &context,
                 [&](std::uint64_t, std::vector<TDqHistorySeries> ASeries, QString) { series = std::move(ASeries); });
    loader.Wait();
    QCoreApplication::processEvents();
    graph->HistoryProvider = [&](const TDqTrendLine& ALine, const QRect&) {
      const int i = graph->IndexOf(&ALine);
      return i >= 0 && static_cast<std::size_t>(i) < series.size() ? &series[static_cast<std::size_t>(i)] : nullptr;
    };
    QPainter painter(&image);
    graph->Draw(painter, graphRect, 1, true);
    painter.end();
    times.push_back(Seconds(start) * 1000);
    cpu += ProcessCPUMilliseconds() - cpuStart;
    rows = 0;
    for (const TDqHistorySeries& s : series) {
      rows += s.RowsRead;
      sampled = sampled || s.Sampled;
      summarised = summarised && s.Summarised;
    }
  }
  AState.counters["rows_read"] = static_cast<double>(rows);
  AState.counters["stride"] = sampled ? 1 : 0;
  AState.counters["summarised"] = summarised ? 1 : 0;
  AState.counters["load"] = LoadAverage();
  // All threads' CPU, which the other users of the machine do not inflate.
  AState.counters["cpu_ms"] = cpu / static_cast<double>(std::max<std::size_t>(1, times.size()));
  if (!times.empty()) {
    AState.counters["first_ms"] = times.front();
    double again = 0;
    for (std::size_t i = 1; i < times.size(); ++i) again += times[i];
    if (times.size() > 1) AState.counters["rerender_ms"] = again / static_cast<double>(times.size() - 1);
  }
  if (!sampled) {
    const QString spikes = CheckSpikes(requests, series);
    static std::string error; // the benchmark library keeps the pointer
    error = ("inexact columns: " + spikes).toStdString();
    if (!spikes.isEmpty()) AState.SkipWithError(error.c_str());
  }
}

// The plain query of the same rows, every column, newest first, one line
// after the other on one connection.
void RawQuery(benchmark::State& AState, const QString& AFile, int ALines, double AFirst, double ALast) {
  sqlite3* db = nullptr;
  Check(sqlite3_open_v2(AFile.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr), db, "open");
  sqlite3_stmt* query = nullptr;
  Check(sqlite3_prepare_v2(db,
                           "SELECT * FROM DeviceData WHERE DeviceID = ?1 AND ReadTime >= ?2 AND ReadTime <= ?3 "
                           "ORDER BY ReadTime DESC",
                           -1, &query, nullptr),
        db, "prepare");
  std::int64_t rows = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : AState) {
    rows = 0;
    double sum = 0;
    for (int line = 1; line <= ALines; ++line) {
      sqlite3_bind_int(query, 1, line);
      sqlite3_bind_double(query, 2, AFirst);
      sqlite3_bind_double(query, 3, ALast);
      while (sqlite3_step(query) == SQLITE_ROW) {
        sum += sqlite3_column_double(query, 1) + sqlite3_column_double(query, 3);
        ++rows;
      }
      sqlite3_reset(query);
    }
    benchmark::DoNotOptimize(sum);
  }
  AState.counters["rows_read"] = static_cast<double>(rows);
  AState.counters["rows_per_s"] = static_cast<double>(rows) * static_cast<double>(AState.iterations()) / Seconds(start);
  AState.counters["load"] = LoadAverage();
  sqlite3_finalize(query);
  sqlite3_close(db);
}

void BM_HistoryRenderWeek(benchmark::State& AState) {
  RenderHistory(AState, Week().File, 4, kStart, kStart + 7.0);
}
BENCHMARK(BM_HistoryRenderWeek)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// The week with its per-minute summaries, built from the rows as for a
// database of an older build; the build is timed once.
struct TWeekSummarised {
  QString File;
  double BuildSeconds = 0;
  TWeekSummarised() : File(Week().Dir.filePath(QStringLiteral("WeekSummarised.db"))) {
    QFile::copy(Week().File, File);
    TSQLiteDatabase db(File);
    db.SetTimeout(5000);
    const auto start = std::chrono::steady_clock::now();
    EnsureHistorySummaries(db);
    BuildHistorySummaries(db);
    BuildSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
};

TWeekSummarised& WeekSummarised() {
  static TWeekSummarised week;
  return week;
}

void BM_SummaryBuildWeek(benchmark::State& AState) {
  for (auto _ : AState) benchmark::DoNotOptimize(WeekSummarised().BuildSeconds);
  AState.counters["build_s"] = WeekSummarised().BuildSeconds;
  AState.counters["rows_per_s"] = 4.0 * kWeekSeconds / WeekSummarised().BuildSeconds;
}
BENCHMARK(BM_SummaryBuildWeek)->Unit(benchmark::kMillisecond)->Iterations(1);

// The summaries' size (minutes and hours) beside the rows', page by page
// (SQLite's dbstat): against the DeviceData table alone and against the
// table and its key.
void BM_SummarySizeWeek(benchmark::State& AState) {
  std::map<std::string, double> bytes;
  for (auto _ : AState) {
    sqlite3* db = nullptr;
    Check(sqlite3_open_v2(WeekSummarised().File.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr), db, "open");
    sqlite3_stmt* stmt = nullptr;
    Check(sqlite3_prepare_v2(db, "SELECT name, sum(pgsize) FROM dbstat GROUP BY name", -1, &stmt, nullptr), db,
          "dbstat");
    while (sqlite3_step(stmt) == SQLITE_ROW)
      bytes[reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))] = sqlite3_column_double(stmt, 1);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }
  const double summary = bytes["DeviceDataMinute"] + bytes["DeviceDataHour"], table = bytes["DeviceData"];
  const double key = bytes["sqlite_autoindex_DeviceData_1"];
  AState.counters["summary_pct_of_table"] = table > 0 ? 100.0 * summary / table : 0;
  AState.counters["summary_pct_of_table_and_key"] = table + key > 0 ? 100.0 * summary / (table + key) : 0;
  AState.counters["summary_bytes_per_minute"] = summary / (4.0 * kWeekSeconds / 60.0);
}
BENCHMARK(BM_SummarySizeWeek)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_HistoryRenderWeekSummarised(benchmark::State& AState) {
  RenderHistory(AState, WeekSummarised().File, 4, kStart, kStart + 7.0);
}
BENCHMARK(BM_HistoryRenderWeekSummarised)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// Defined with the year's below.
void RawSummaryQuery(benchmark::State& AState, const QString& AFile, int ALines, double AFirst, double ALast);

void BM_RawSummaryQueryWeek(benchmark::State& AState) {
  RawSummaryQuery(AState, WeekSummarised().File, 4, kStart, kStart + 7.0);
}
BENCHMARK(BM_RawSummaryQueryWeek)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_RawQueryWeek(benchmark::State& AState) { RawQuery(AState, Week().File, 4, kStart, kStart + 7.0); }
BENCHMARK(BM_RawQueryWeek)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// While the user drags the zoom rectangle the page only paints its overlay;
// this is the full picture drawn again from the readings already read,
// an upper bound of what any repaint then costs.
void BM_HistoryRedrawFromReadings(benchmark::State& AState) {
  auto graph = Profile(4, kStart, kStart + 7.0);
  QImage image(kPicture, QImage::Format_RGB32);
  const QRect graphRect(8, 38, kPicture.width() - 8, kPicture.height() - 76);
  std::vector<TDqHistorySeries> series;
  sqlite3* db = nullptr;
  Check(sqlite3_open_v2(Week().File.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr), db, "open");
  for (const TDqHistoryRequest& r : graph->HistoryRequests(TDqTrendGraph::MarginRect(graphRect)))
    series.push_back(ReadHistorySeries(db, r));
  sqlite3_close(db);
  graph->HistoryProvider = [&](const TDqTrendLine& ALine, const QRect&) {
    return &series[static_cast<std::size_t>(graph->IndexOf(&ALine))];
  };
  for (auto _ : AState) {
    image.fill(QColor(64, 192, 64));
    QPainter painter(&image);
    graph->Draw(painter, graphRect, 1, true);
    // The drag rectangle over it.
    painter.setPen(QPen(Qt::red, 1, Qt::DotLine));
    painter.drawRect(200, 150, 300, 200);
  }
}
BENCHMARK(BM_HistoryRedrawFromReadings)->Unit(benchmark::kMillisecond)->UseRealTime();

// What raw SQLite takes to read the summaries four PV lines need over a
// window, one line after the other, with the page's own query: the floor
// of a summarised read.
void RawSummaryQuery(benchmark::State& AState, const QString& AFile, int ALines, double AFirst, double ALast) {
  sqlite3* db = nullptr;
  Check(sqlite3_open_v2(AFile.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr), db, "open");
  sqlite3_stmt* query = nullptr;
  Check(sqlite3_prepare_v2(db,
                           "SELECT Minute, PVMin, PVMax, PVFirst, PVLast, Scale FROM DeviceDataMinute "
                           "WHERE DeviceID = ?1 AND Minute > ?2 AND Minute < ?3 ORDER BY Minute",
                           -1, &query, nullptr),
        db, "prepare");
  std::int64_t rows = 0;
  for (auto _ : AState) {
    rows = 0;
    double sum = 0;
    for (int line = 1; line <= ALines; ++line) {
      sqlite3_bind_int(query, 1, line);
      sqlite3_bind_int64(query, 2, HistoryMinuteOf(AFirst));
      sqlite3_bind_int64(query, 3, HistoryMinuteOf(ALast));
      while (sqlite3_step(query) == SQLITE_ROW) {
        const double scale = sqlite3_column_double(query, 5);
        sum += (sqlite3_column_double(query, 1) + sqlite3_column_double(query, 3) + sqlite3_column_double(query, 4)) /
               scale;
        ++rows;
      }
      sqlite3_reset(query);
    }
    benchmark::DoNotOptimize(sum);
  }
  AState.counters["rows_read"] = static_cast<double>(rows);
  AState.counters["load"] = LoadAverage();
  sqlite3_finalize(query);
  sqlite3_close(db);
}

bool YearWanted(benchmark::State& AState) {
  if (!qEnvironmentVariableIsEmpty("TERVOX_BENCH_YEAR")) return true;
  AState.SkipWithError("set TERVOX_BENCH_YEAR=1 to generate and run the year");
  return false;
}

// The year's four lines drawn first from a cold file (its pages dropped
// from the operating system's cache, as after a restart).
void BM_HistoryRenderYearCold(benchmark::State& AState) {
  if (!YearWanted(AState)) return;
  const QString file = YearFile();
  EvictFromCache(file);
  RenderHistory(AState, file, 4, kStart, kStart + 365.0);
}
BENCHMARK(BM_HistoryRenderYearCold)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// Then drawn again: first_ms is a new page's first picture of a file the
// system has cached, rerender_ms the pictures after it.
void BM_HistoryRenderYear(benchmark::State& AState) {
  if (!YearWanted(AState)) return;
  RenderHistory(AState, YearFile(), 4, kStart, kStart + 365.0);
}
BENCHMARK(BM_HistoryRenderYear)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_RawSummaryQueryYear(benchmark::State& AState) {
  if (!YearWanted(AState)) return;
  RawSummaryQuery(AState, YearFile(), 4, kStart, kStart + 365.0);
}
BENCHMARK(BM_RawSummaryQueryYear)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Every row of the year's four lines (126 M): one run, minutes long.
void BM_RawQueryYear(benchmark::State& AState) {
  if (!YearWanted(AState)) return;
  RawQuery(AState, YearFile(), 4, kStart, kStart + 365.0);
}
BENCHMARK(BM_RawQueryYear)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// One tick of the Trend page: a sample into each of 8 full rings, the
// shared step, and the picture drawn again (UI-thread CPU time).
void BM_TrendTick(benchmark::State& AState) {
  const int size = static_cast<int>(AState.range(0));
  TDqTrendGraph graph;
  graph.Size = size;
  graph.MinValue = 0;
  graph.MaxValue = 200;
  for (int i = 0; i < 8; ++i) {
    auto line = std::make_unique<TDqTrendLine>();
    line->Color = RGBColor(30 * i, 100, 200 - 20 * i);
    line->ValueType = 1;
    graph.Add(std::move(line));
  }
  int tick = 0;
  auto sample = [&] {
    for (int i = 0; i < 8; ++i) graph.GetLines(i)->UpdateValue(100 + 50 * std::sin(tick / 300.0 + i));
    graph.Next();
    ++tick;
  };
  while (tick < kTrendRingSize) sample();
  QImage image(kPicture, QImage::Format_RGB32);
  const QRect graphRect(8, 38, kPicture.width() - 8, kPicture.height() - 46);
  double cpu = 0;
  for (auto _ : AState) {
    const double start = ThreadCPUMicroseconds();
    sample();
    image.fill(QColor(224, 192, 64));
    QPainter painter(&image);
    graph.Draw(painter, graphRect, 1, false);
    painter.end();
    cpu += ThreadCPUMicroseconds() - start;
  }
  AState.counters["ui_cpu_ms"] = benchmark::Counter(cpu / 1000.0 / static_cast<double>(AState.iterations()));
}
BENCHMARK(BM_TrendTick)->Arg(100)->Arg(1000)->Arg(kTrendRingSize)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
