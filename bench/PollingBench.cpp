// The polling cycle against simulated controllers on one line or several.
//   build/bin/tervox_bench_polling --benchmark_filter=StatusRead    per-read time, CPU, ratio to the wire
//   build/bin/tervox_bench_polling --benchmark_filter=Period9600    period per controller at 9600 baud
//   build/bin/tervox_bench_polling --benchmark_filter=UILatency     UI event loop while a controller is silent
//   build/bin/tervox_bench_polling --benchmark_filter=Soak          RSS over 10 minutes of polling
//                                                                    ($TERVOX_SOAK_MINUTES for longer)
//   build/bin/tervox_bench_polling --benchmark_filter=AlertOpen     rows/s of the healthy two of three
//                                                                    controllers while one is silent and
//                                                                    its alert stays open for 60 s
//   build/bin/tervox_bench_polling --benchmark_filter=StopTime      how long a stop (logout, refresh)
//                                                                    takes with one controller alarming
//                                                                    and one silent
//   build/bin/tervox_bench_polling --benchmark_filter=WalSoak       -wal size over 10 minutes of polling
//                                                                    with the Device page open
//   build/bin/tervox_bench_polling --benchmark_filter=Lines9600     rows/s per controller, 8 lines of 4
//                                                                    at 9600 baud against 1 line of 4
//   build/bin/tervox_bench_polling --benchmark_filter=UIHeld        rows/s per controller while the UI
//                                                                    thread is held for 10 s, and after
//   build/bin/tervox_bench_polling --benchmark_filter=LineWorkers   threads and memory of 32 lines
#include "comm/DqModbus.h"
#include "comm/DqPort.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "sim/Sim_ControllerLine.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Alerts.h"
#include "sim/Sim_Controller.h"
#include "store/Main_Database.h"
#include "ui/pages/Frame_Device.h"
#include "widgets/DqDrawGrid.h"
#include "store/DqSQLiteWal.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kControllers = 32;

long RssKilobytes() {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
  return 0;
}

long ProcessThreads() {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("Threads:")) return line.mid(8).trimmed().toLong();
  return 0;
}

// A database with ALines ports, each on a simulated line of AControllers
// controllers (32 on one line unless told); device IDs run line by line.
struct Plant {
  QTemporaryDir Dir;
  std::unique_ptr<TSimControllerLine> Line; // the first line
  std::vector<std::unique_ptr<TSimControllerLine>> Lines;

  explicit Plant(int ABaud, int AControllers = kControllers, int ALines = 1) {
    std::vector<int> addresses;
    for (int i = 1; i <= AControllers; ++i) addresses.push_back(i);
    SetDatabaseFileName(Dir.filePath(QStringLiteral("bench.db")));
    TSQLiteDatabase* db = GetDatabase();
    for (int line = 1; line <= ALines; ++line) {
      auto sim = std::make_unique<TSimControllerLine>(Dir.filePath(QStringLiteral("BUS%1").arg(line)), addresses, ABaud);
      sim->Start();
      TSQLiteParamList params;
      params.SetParamValues(":Name", QStringLiteral("Bus %1").arg(line));
      params.SetParamValues(":PortName", sim->LinkPath());
      params.SetParamValues(":BaudRate", ABaud > 0 ? ABaud : 115200);
      db->ExecSQL(QStringLiteral("INSERT INTO DevicePort (ID, Name, PortType, PortName, BaudRate, DataBits, StopBits, Parity) "
                                 "VALUES (%1, :Name, 1, :PortName, :BaudRate, 8, 0, 0)").arg(line),
                  &params);
      for (int i = 1; i <= AControllers; ++i)
        db->ExecSQL(QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address, Enabled) VALUES ('L%1C%2', %1, %2, -1)")
                        .arg(line)
                        .arg(i));
      Lines.push_back(std::move(sim));
    }
    Line = std::move(Lines.front());
    Lines.erase(Lines.begin());
    CreateEngineObjects();
  }
  ~Plant() {
    FreeEngineObjects();
    Line.reset();
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
};

// One status read per controller, run in this thread as the worker would.
void StatusRead(benchmark::State& AState) {
  Plant plant(0);
  TTervoxDevice::InitialPort();
  DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
  for (int i = 0; i < kControllers; ++i) DeviceList()->GetDevices(i)->DoReadStatus(); // identification read once
  double readSeconds = 0, cpuMicros = 0;
  std::int64_t reads = 0;
  for (auto _ : AState) {
    for (int i = 0; i < kControllers; ++i) {
      const double cpu0 = ThreadCPUMicroseconds();
      QElapsedTimer timer;
      timer.start();
      DeviceList()->GetDevices(i)->DoReadStatus();
      readSeconds += timer.nsecsElapsed() / 1e9;
      cpuMicros += ThreadCPUMicroseconds() - cpu0;
      ++reads;
    }
  }
  // The same transactions without the engine: the wire's share.
  TModbusData modbus(DeviceList()->GetDevices(0)->Port());
  std::vector<std::uint16_t> r;
  const std::uint16_t singles[] = {1799, 288, 1537, 1540, 259, 1280, 1281, 1288, 1289, 1296, 1297};
  const bool program = DeviceList()->GetDevices(0)->HavePrg(); // one more read: register 2048
  QElapsedTimer timer;
  timer.start();
  const int rounds = 50;
  for (int k = 0; k < rounds; ++k) {
    const std::uint8_t slave = static_cast<std::uint8_t>(k % kControllers + 1);
    modbus.ReadHoldRegArray(r, slave, 256, 6);
    modbus.ReadHoldRegArray(r, slave, 265, 2);
    for (std::uint16_t address : singles) modbus.ReadHoldRegArray(r, slave, address, 1);
    if (program) modbus.ReadHoldRegArray(r, slave, 2048, 1);
  }
  const double wireSeconds = timer.nsecsElapsed() / 1e9 / rounds;
  AState.counters["status_read_ms"] = readSeconds / reads * 1e3;
  AState.counters["engine_cpu_us"] = cpuMicros / reads;
  AState.counters["wire_ms"] = wireSeconds * 1e3;
  AState.counters["ratio"] = readSeconds / reads / wireSeconds;
}

// Polling as the program runs it: the period each controller gets.
void Period9600(benchmark::State& AState) {
  for (auto _ : AState) {
    Plant plant(9600);
    TTervoxDevice::StartThread();
    QTest::qWait(60000);
    TTervoxDevice::StopThread();
    auto table = GetDatabase()->GetTable(QStringLiteral(
        "SELECT (max(ReadTime) - min(ReadTime)) * 86400000.0 / (count(*) - 1), count(*) FROM DeviceData "
        "WHERE DeviceID = 5 AND PV <> 32767"));
    AState.counters["period_ms"] = table->GetFields(0)->AsFloat();
    AState.counters["rows_dev5"] = table->GetFields(1)->AsFloat();
  }
}

// The UI thread's event loop while the worker waits out a silent
// controller's time-outs: how late a 10 ms timer fires.
void UILatency(benchmark::State& AState) {
  for (auto _ : AState) {
    Plant plant(0);
    plant.Line->SetFault(1, TSimFault::Silent, true);
    TTervoxDevice::StartThread();
    TimerLateness timer;
    QTest::qWait(20000);
    const std::vector<double> lateness = timer.Stop();
    TTervoxDevice::StopThread();
    AState.counters["late_median_ms"] = lateness[lateness.size() / 2];
    AState.counters["late_p99_ms"] = lateness[lateness.size() * 99 / 100];
    AState.counters["late_max_ms"] = lateness.back();
  }
}

void Soak(benchmark::State& AState) {
  for (auto _ : AState) {
    Plant plant(0);
    TTervoxDevice::StartThread();
    QTest::qWait(60000); // warmed up
    const long start = RssKilobytes();
    const int minutes = qEnvironmentVariableIntValue("TERVOX_SOAK_MINUTES") > 0
                            ? qEnvironmentVariableIntValue("TERVOX_SOAK_MINUTES")
                            : 10;
    for (int minute = 1; minute <= minutes; ++minute) {
      QTest::qWait(60000);
      std::fprintf(stderr, "minute %d: RSS %ld kB\n", minute, RssKilobytes());
    }
    const long end = RssKilobytes();
    TTervoxDevice::StopThread();
    AState.counters["rss_start_kB"] = static_cast<double>(start);
    AState.counters["rss_end_kB"] = static_cast<double>(end);
    AState.counters["rows"] = static_cast<double>(GetDatabase()->GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")));
  }
}

// The main window's part for the two alert benchmarks.
class BenchMain : public TTervoxMainLink {
public:
  std::function<void()> OnLost;
  void DeviceLost(int) override {
    if (OnLost) OnLost();
    TervoxAlerts::SetLossAlertShowing(false);
  }
  void DeviceAlarm(std::unique_ptr<TTervoxAlarmMessage>) override {}
};

int HealthyRows(int AFirst, int ALast) {
  return static_cast<int>(GetDatabase()->GetTableValue(
      QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID BETWEEN %1 AND %2 AND PV <> 32767")
          .arg(AFirst)
          .arg(ALast)));
}

void AlertOpen(benchmark::State& AState) {
  for (auto _ : AState) {
    Plant plant(115200, 3);
    BenchMain main;
    SetMainLink(&main);
    double rate = 0;
    main.OnLost = [&] {
      // The alert stays open for a minute, as at night with nobody there.
      const int before = HealthyRows(2, 3);
      QElapsedTimer open;
      open.start();
      QTest::qWait(60000);
      rate = (HealthyRows(2, 3) - before) / 2.0 / (open.nsecsElapsed() / 1e9);
    };
    TTervoxDevice::StartThread();
    QTest::qWait(3000);
    // The same two controllers while all three answer: the figure to keep.
    const int healthyBefore = HealthyRows(2, 3);
    QElapsedTimer healthy;
    healthy.start();
    QTest::qWait(20000);
    const double baseline = (HealthyRows(2, 3) - healthyBefore) / 2.0 / (healthy.nsecsElapsed() / 1e9);
    plant.Line->SetFault(1, TSimFault::Silent, true);
    if (!QTest::qWaitFor([&] { return rate > 0; }, 120000)) AState.SkipWithError("no alert within 2 minutes");
    TTervoxDevice::StopThread();
    SetMainLink(nullptr);
    AState.counters["all_answer_rows_per_s_each"] = baseline;
    AState.counters["rows_per_s_each"] = rate;
  }
}

void StopTime(benchmark::State& AState) {
  double worst = 0, total = 0;
  int stops = 0;
  for (auto _ : AState) {
    Plant plant(9600, 3);
    BenchMain main;
    SetMainLink(&main);
    plant.Line->WithController(1, [](TSimController& c) {
      c.SetRegister(1280, 1); // EV1 high alarm, on at once
      c.SetRegister(1281, 0);
    });
    TTervoxDevice::StartThread();
    QTest::qWait(2000);
    plant.Line->SetFault(2, TSimFault::Silent, true);
    for (int round = 0; round < 5; ++round) {
      QTest::qWait(1500 + 137 * round); // stop at a different point of the cycle each time
      QElapsedTimer timer;
      timer.start();
      TTervoxDevice::StopThread();
      const double ms = timer.nsecsElapsed() / 1e6;
      worst = std::max(worst, ms);
      total += ms;
      ++stops;
      TTervoxDevice::StartThread();
    }
    TTervoxDevice::StopThread();
    SetMainLink(nullptr);
  }
  AState.counters["stop_mean_ms"] = total / stops;
  AState.counters["stop_max_ms"] = worst;
}

// The write-ahead log while 32 controllers are recorded and the Device page
// is open and repainted every second, as on a station's screen.
void WalSoak(benchmark::State& AState) {
  for (auto _ : AState) {
    Plant plant(0);
    TFrameDevice page;
    page.resize(900, 600);
    page.show();
    QTimer repaint;
    QObject::connect(&repaint, &QTimer::timeout, [&] { page.GridDevice()->viewport()->repaint(); });
    repaint.start(1000);
    TTervoxDevice::StartThread();
    const QString wal = GetDatabaseFileName() + QStringLiteral("-wal");
    const int minutes = qEnvironmentVariableIntValue("TERVOX_SOAK_MINUTES") > 0
                            ? qEnvironmentVariableIntValue("TERVOX_SOAK_MINUTES")
                            : 10;
    qint64 largest = 0;
    QElapsedTimer clock;
    clock.start();
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] { largest = std::max(largest, QFileInfo(wal).size()); });
    sample.start(100);
    for (int step = 1; step <= minutes * 2; ++step) {
      QTest::qWait(30000);
      std::fprintf(stderr, "%5.1f min: -wal %lld bytes (largest so far %lld), rows %lld\n", clock.elapsed() / 60000.0,
                   static_cast<long long>(QFileInfo(wal).size()), static_cast<long long>(largest),
                   static_cast<long long>(
                       GetDatabase()->GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData"))));
    }
    TTervoxDevice::StopThread();
    AState.counters["wal_largest_MB"] = largest / 1048576.0;
    AState.counters["wal_bound_MB"] = kWalBound / 1048576.0;
    AState.counters["checkpoints"] = GetDatabase()->WalKeeper() ? GetDatabase()->WalKeeper()->Checkpoints() : 0;
    AState.counters["rows"] =
        static_cast<double>(GetDatabase()->GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")));
  }
}

int AnsweredRows() {
  return static_cast<int>(GetDatabase()->GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData WHERE PV <> 32767")));
}

// Rows per second per controller over AMilliseconds of polling on ALines
// lines of 4 controllers at 9600 baud, after a warm-up.
double LineRate(int ALines, int AMilliseconds) {
  Plant plant(9600, 4, ALines);
  TTervoxDevice::StartThread();
  QTest::qWait(3000);
  const int before = AnsweredRows();
  QElapsedTimer clock;
  clock.start();
  QTest::qWait(AMilliseconds);
  const double rate = (AnsweredRows() - before) / (4.0 * ALines) / (clock.nsecsElapsed() / 1e9);
  TTervoxDevice::StopThread();
  return rate;
}

// Lines are separate wires: eight of them poll as fast as one.
void Lines9600(benchmark::State& AState) {
  for (auto _ : AState) {
    const double one = LineRate(1, 60000);
    const double eight = LineRate(8, 60000);
    AState.counters["one_line_rows_per_s_each"] = one;
    AState.counters["eight_lines_rows_per_s_each"] = eight;
    AState.counters["ratio"] = eight / one;
  }
}

// The UI thread held for 10 s (a long print): rows per second per
// controller during the hold, and in the 10 s after it (no burst).
void UIHeld(benchmark::State& AState) {
  for (auto _ : AState) {
    Plant plant(115200, 4);
    TTervoxDevice::StartThread();
    QTest::qWait(3000);
    const int before = AnsweredRows();
    QElapsedTimer clock;
    clock.start();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double held = (AnsweredRows() - before) / 4.0 / (clock.nsecsElapsed() / 1e9);
    const int after = AnsweredRows();
    clock.restart();
    QTest::qWait(10000);
    const double free = (AnsweredRows() - after) / 4.0 / (clock.nsecsElapsed() / 1e9);
    TTervoxDevice::StopThread();
    AState.counters["held_rows_per_s_each"] = held;
    AState.counters["after_rows_per_s_each"] = free;
  }
}

// What one worker per line costs: threads and resident memory of 32 lines
// of one controller each, against the same process before polling.
void LineWorkers(benchmark::State& AState) {
  for (auto _ : AState) {
    Plant plant(115200, 1, 32);
    const long threadsBefore = ProcessThreads();
    const long rssBefore = RssKilobytes();
    TTervoxDevice::StartThread();
    QTest::qWait(10000);
    AState.counters["threads_added"] = static_cast<double>(ProcessThreads() - threadsBefore);
    AState.counters["rss_added_kB"] = static_cast<double>(RssKilobytes() - rssBefore);
    AState.counters["rows_per_s_each"] = AnsweredRows() / 32.0 / 10.0;
    TTervoxDevice::StopThread();
  }
}

} // namespace

BENCHMARK(Lines9600)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(UIHeld)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(LineWorkers)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(AlertOpen)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(StopTime)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(StatusRead)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(Period9600)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(UILatency)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(Soak)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(WalSoak)->Unit(benchmark::kSecond)->Iterations(1);

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  SetUserLocale(QLocale::c());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
