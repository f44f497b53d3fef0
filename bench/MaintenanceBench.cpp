// Backup, restore and record deletion on a plant-sized database, against the
// sqlite3 command-line shell on the same file in the same run, and the UI
// thread's timer lateness while a backup runs beside live polling.
//   build/bin/tervox_bench_maintenance                 10 M history rows
//   TERVOX_BENCH_ROWS=1000000 build/bin/tervox_bench_maintenance
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "sim/Sim_ControllerLine.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_Maintenance.h"
#include "ui/base/Form_Progress.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Engine.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kControllers = 4;

std::int64_t Rows() {
  const qint64 rows = qEnvironmentVariable("TERVOX_BENCH_ROWS").toLongLong();
  return rows > 0 ? rows : 10'000'000;
}

QTemporaryDir& Dir() {
  static QTemporaryDir dir;
  return dir;
}
QString PathOf(const char* AName) { return Dir().filePath(QString::fromLatin1(AName)); }

double Seconds(const QElapsedTimer& ATimer) { return static_cast<double>(ATimer.nsecsElapsed()) / 1e9; }

// A year of readings of four controllers (IDs 101-104), made once per run.
const QString& PlantDatabase() {
  static const QString file = [] {
    const QString path = PathOf("plant.db");
    TSQLiteDatabase db(path);
    db.SetHeader(QStringLiteral("TERVOX_SQLITE"));
    db.GetTable(QStringLiteral("PRAGMA journal_mode = WAL"));
    db.ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
    const std::int64_t rows = Rows();
    QElapsedTimer timer;
    timer.start();
    db.ExecSQL(QStringLiteral("BEGIN"));
    db.ExecSQL(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                              "INSERT INTO DeviceData SELECT 101 + i % 4, 45000.0 + (i / 4) * (365.0 / %2), 1, "
                              "20 + (i % 977) / 10.0, 180, 55.5, 0, 0, 0, 0, 0, 0, -1 FROM n")
                   .arg(rows - 1)
                   .arg(rows / kControllers));
    db.ExecSQL(QStringLiteral("COMMIT"));
    std::fprintf(stderr, "plant database: %lld rows in %.1f s, %.0f MB\n", static_cast<long long>(rows), Seconds(timer),
                 QFileInfo(path).size() / 1e6);
    return path;
  }();
  return file;
}

void UseDatabase(const QString& AFile) {
  FreeDatabase();
  SetDatabaseFileName(AFile);
  GetDatabase();
}

void Backup(benchmark::State& AState) {
  UseDatabase(PlantDatabase());
  for (auto _ : AState) {
    QElapsedTimer timer;
    timer.start();
    BackupDatabase(PathOf("backup.sql"));
    const double ours = Seconds(timer);
    QString error;
    const double shell = RunSqliteShell({PlantDatabase(), QStringLiteral(".dump")}, error, QString(), QString(), PathOf("dump.sql"));
    if (shell < 0) {
      FailBench(AState, error);
      break;
    }
    AState.counters["tervox_s"] = ours;
    AState.counters["sqlite3_dump_s"] = shell;
    AState.counters["ratio"] = ours / shell;
    AState.counters["backup_MB"] = QFileInfo(PathOf("backup.sql")).size() / 1e6;
  }
}

void Restore(benchmark::State& AState) {
  for (auto _ : AState) {
    if (!QFile::exists(PathOf("backup.sql"))) {
      UseDatabase(PlantDatabase());
      BackupDatabase(PathOf("backup.sql"));
    }
    const QString target = PathOf("restored.db");
    for (const char* suffix : {"", "-wal", "-shm"}) QFile::remove(target + QLatin1String(suffix));
    UseDatabase(target); // an empty database of the program
    QElapsedTimer timer;
    timer.start();
    RestoreDatabase(PathOf("backup.sql"));
    const double ours = Seconds(timer);
    const std::int64_t rows = GetDatabase()->GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData"));
    const QString shellTarget = PathOf("shell.db");
    QFile::remove(shellTarget);
    QString error;
    if (!QFile::exists(PathOf("dump.sql")) &&
        RunSqliteShell({PlantDatabase(), QStringLiteral(".dump")}, error, QString(), QString(), PathOf("dump.sql")) < 0) {
      FailBench(AState, error);
      break;
    }
    const double shell = RunSqliteShell({shellTarget}, error, QString(), PathOf("dump.sql"));
    if (shell < 0) {
      FailBench(AState, error);
      break;
    }
    AState.counters["tervox_s"] = ours;
    AState.counters["sqlite3_restore_s"] = shell;
    AState.counters["ratio"] = ours / shell;
    AState.counters["rows"] = static_cast<double>(rows);
  }
}

// One day out of the year, every controller.
void DeleteOneDay(benchmark::State& AState) {
  UseDatabase(PlantDatabase());
  double day = 45100;
  for (auto _ : AState) {
    QElapsedTimer timer;
    timer.start();
    const std::int64_t deleted = DeleteRecords(day, day);
    AState.counters["delete_s"] = Seconds(timer);
    AState.counters["rows_deleted"] = static_cast<double>(deleted);
    day += 1;
  }
}

// A backup behind the progress window while 4 simulated controllers are
// polled and recorded into the same database: how late a 10 ms timer of
// the UI thread fires, and whether rows keep arriving.
void UIStallDuringBackup(benchmark::State& AState) {
  for (auto _ : AState) {
    TSimControllerLine line(PathOf("BUS"), {1, 2, 3, 4});
    line.Start();
    UseDatabase(PlantDatabase());
    TSQLiteDatabase* db = GetDatabase();
    db->ExecSQL(QStringLiteral("DELETE FROM Device"));
    db->ExecSQL(QStringLiteral("DELETE FROM DevicePort"));
    TSQLiteParamList params;
    params.SetParamValues(":PortName", line.LinkPath());
    db->ExecSQL(QStringLiteral("INSERT INTO DevicePort (ID, Name, PortType, PortName, BaudRate, DataBits, StopBits, Parity) "
                               "VALUES (1, 'Bus', 1, :PortName, 115200, 8, 0, 0)"),
                &params);
    for (int i = 1; i <= 4; ++i)
      db->ExecSQL(QStringLiteral("INSERT INTO Device (ID, Name, DevicePortID, Address, Enabled) VALUES (%1, 'C%1', 1, %1, -1)").arg(i));
    CreateEngineObjects();
    TTervoxDevice::StartThread();
    QTest::qWait(3000);
    auto live = [db] { return db->GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID <= 4")); };
    const std::int64_t before = live();

    TimerLateness timer;
    QElapsedTimer backupTime;
    backupTime.start();
    const std::exception_ptr error = RunWithProgress(nullptr, QStringLiteral("Backup"), QStringLiteral("Backup"),
                                                     [](TTervoxProgress& AProgress) { BackupDatabase(PathOf("live.sql"), &AProgress); });
    const double seconds = Seconds(backupTime);
    const std::vector<double> lateness = timer.Stop();
    const std::int64_t after = live();
    TTervoxDevice::StopThread();
    FreeEngineObjects();
    if (error) std::fprintf(stderr, "backup failed\n");
    AState.counters["backup_s"] = seconds;
    AState.counters["late_median_ms"] = lateness[lateness.size() / 2];
    AState.counters["late_p99_ms"] = lateness[lateness.size() * 99 / 100];
    AState.counters["late_max_ms"] = lateness.back();
    AState.counters["live_rows_during"] = static_cast<double>(after - before);
    AState.counters["live_rows_per_s"] = (after - before) / seconds;
  }
}

} // namespace

BENCHMARK(Backup)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(Restore)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(DeleteOneDay)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(UIStallDuringBackup)->Unit(benchmark::kSecond)->Iterations(1);

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  SetUserLocale(QLocale::c());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  FreeDatabase();
  return BenchFailed() ? 1 : 0;
}
