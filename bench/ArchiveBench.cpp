// Archiving a month of 1-second history of a few controllers, while a
// writer records a row every 10 ms into the same file as the recorder does:
// rows moved per second, and the longest time that writer waited for the
// write lock and for its whole write. Against
// the sqlite3 shell moving the same rows in one statement each on a copy,
// with no writer beside it and no summaries to keep.
// The archiving runs on the first CPU and the writer on the second; a wait
// is also given less the time either CPU was stalled by the machine itself
// (MachineStalls), which no program can help.
//   build/bin/tervox_bench_archive                    4 controllers
//   TERVOX_BENCH_CONTROLLERS=32 build/bin/tervox_bench_archive
#include "BenchSupport.h"
#include "store/DqHistorySummary.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Archive.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

int Controllers() {
  const int count = qEnvironmentVariableIntValue("TERVOX_BENCH_CONTROLLERS");
  return count > 0 ? count : 4;
}

double Seconds(const QElapsedTimer& ATimer) { return static_cast<double>(ATimer.nsecsElapsed()) / 1e9; }

double MonthStart() { return EncodeDateTime(2025, 3, 1); }
double Cut() { return EncodeDateTime(2025, 3, 31); }

// March 2025 of every controller, one reading a second, summarised; the
// rows of a second one after the other, as a recorder writes them.
void MakeStation(const QString& AFile) {
  std::unique_ptr<TSQLiteDatabase> db = OpenTervoxDatabase(AFile);
  QElapsedTimer timer;
  timer.start();
  for (int device = 1; device <= Controllers(); ++device)
    db->ExecSQL(QStringLiteral("INSERT INTO Device (ID, Name) VALUES (%1, 'Controller %1')").arg(device));
  // A day per transaction: the log of one month-long one would keep the
  // checkpointer, and the summaries' catch-up with it, waiting.
  for (int day = 0; day < 31; ++day)
    db->ExecSQL(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT %1 UNION ALL SELECT i + 1 FROM n WHERE i < %2) "
                               "INSERT INTO DeviceData SELECT d.ID, %3 + i / 86400.0, 1, 20 + ((i + d.ID) % 977) / 10.0, "
                               "180, 55.5, 0, 0, 0, 0, 0, 0, -1 FROM n CROSS JOIN Device d")
                    .arg(day * 86400)
                    .arg(day * 86400 + 86399)
                    .arg(MonthStart(), 0, 'g', 17));
  BuildHistorySummaries(*db);
  std::fprintf(stderr, "station: %d controllers x 31 days in %.1f s, %.0f MB\n", Controllers(), Seconds(timer),
               QFileInfo(AFile).size() / 1e6);
}

void ArchiveOneMonth(benchmark::State& AState) {
  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("Tervox.db"));
  MakeStation(file);
  // The same file for the shell, made before anything is moved.
  const QString shellDir = dir.filePath(QStringLiteral("shell"));
  QDir().mkpath(shellDir);
  QFile::copy(file, shellDir + QStringLiteral("/Tervox.db"));
  SetDatabaseFileName(file);
  for (auto _ : AState) {
    std::atomic<bool> stop{false};
    double longestWait = 0;
    double longestLockWait = 0;
    std::int64_t locksOver100ms = 0;
    std::int64_t recorded = 0;
    using Clock = MachineStalls::Clock;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> slowLocks;
    MachineStalls stalls;
    // Opened before the archiving starts, as the recorder's connection is.
    TSQLiteDatabase db(file);
    db.SetTimeout(5000);
    std::thread recorder([&] {
      PinToCpu(1);
      double at = Cut(); // a controller of its own
      while (!stop) {
        // Taking the write lock apart from writing and committing, which
        // also waits for the disk (its flush queues behind the archiving's).
        QElapsedTimer wait;
        wait.start();
        const Clock::time_point asked = Clock::now();
        db.ExecSQL(QStringLiteral("BEGIN IMMEDIATE"));
        longestLockWait = std::max(longestLockWait, Seconds(wait));
        if (Seconds(wait) > 0.1) {
          ++locksOver100ms;
          slowLocks.emplace_back(asked, Clock::now());
        }
        db.ExecSQL(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, PV) VALUES (0, %1, 1)").arg(at, 0, 'g', 17));
        db.ExecSQL(QStringLiteral("COMMIT"));
        longestWait = std::max(longestWait, Seconds(wait));
        at += 1.0 / 86400;
        ++recorded;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    QElapsedTimer timer;
    timer.start();
    std::int64_t moved = 0;
    PinToCpu(0);
    for (const TArchivedYear& year : ArchiveHistory(Cut())) moved += year.Rows;
    UnpinFromCpu();
    const double ours = Seconds(timer);
    stop = true;
    recorder.join();
    stalls.Stop();
    // The slow waits less the time the machine held a CPU still meanwhile.
    double longestLessStalls = 0;
    std::int64_t overLessStalls = 0;
    for (const auto& [from, to] : slowLocks) {
      const double less = std::chrono::duration<double>(to - from - stalls.Within(from, to)).count();
      longestLessStalls = std::max(longestLessStalls, less);
      if (less > 0.1) ++overLessStalls;
    }
    double longestStall = 0;
    std::int64_t stallsOver100ms = 0;
    for (const MachineStalls::Stall& stall : stalls.All()) {
      const double length = std::chrono::duration<double>(stall.To - stall.From).count();
      longestStall = std::max(longestStall, length);
      if (length > 0.1) ++stallsOver100ms;
    }

    QString error;
    const double raw = RunSqliteShell(
        {QStringLiteral("Tervox.db"),
         QStringLiteral("ATTACH 'Tervox-archive-2025.db' AS a; CREATE TABLE a.DeviceData AS SELECT * FROM "
                        "DeviceData WHERE 0; INSERT INTO a.DeviceData SELECT * FROM DeviceData WHERE ReadTime < "
                        "%1; DELETE FROM DeviceData WHERE ReadTime < %1;")
             .arg(Cut(), 0, 'g', 17)},
        error, shellDir);
    if (raw < 0) {
      FailBench(AState, error);
      break;
    }

    AState.counters["rows_moved"] = static_cast<double>(moved);
    AState.counters["tervox_s"] = ours;
    AState.counters["rows_per_s"] = moved / ours;
    AState.counters["longest_lock_wait_ms"] = longestLockWait * 1e3;
    AState.counters["lock_waits_over_100ms"] = static_cast<double>(locksOver100ms);
    // Named so that each raw figure is printed before the one less stalls.
    AState.counters["longest_lock_wait_ms_less_stalls"] = longestLessStalls * 1e3;
    AState.counters["lock_waits_over_100ms_less_stalls"] = static_cast<double>(overLessStalls);
    AState.counters["machine_stalls"] = static_cast<double>(stalls.All().size());
    AState.counters["machine_stalls_over_100ms"] = static_cast<double>(stallsOver100ms);
    AState.counters["longest_machine_stall_ms"] = longestStall * 1e3;
    AState.counters["longest_write_ms"] = longestWait * 1e3;
    AState.counters["rows_recorded_meanwhile"] = static_cast<double>(recorded);
    AState.counters["sqlite3_s"] = raw;
    AState.counters["ratio"] = ours / raw;
    AState.SetLabel("ratio: the sqlite3 side moves the rows with no writer beside it and no summaries to keep");
    std::fprintf(stderr,
                 "longest lock wait %.1f ms, %.1f ms less the machine's stalls; %lld wait(s) over 100 ms, %lld less "
                 "stalls\nratio %.2f against a sqlite3 shell with no concurrent writer and no summaries\n",
                 longestLockWait * 1e3, longestLessStalls * 1e3, static_cast<long long>(locksOver100ms),
                 static_cast<long long>(overLessStalls), ours / raw);
  }
  FreeDatabase();
}

} // namespace

BENCHMARK(ArchiveOneMonth)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return BenchFailed() ? 1 : 0;
}
