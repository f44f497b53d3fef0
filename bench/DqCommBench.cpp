// The communication layer: a one-register Modbus read over a pseudo-
// terminal against the simulator (no wire delay), and the event thread's
// throughput and hand-off latencies.
//   build/bin/tervox_bench_comm [--benchmark_filter=...]
//
// The Modbus figures: engine_cpu_us is the median CPU time of this process
// (the calling thread, the port's worker and anything else it runs) per
// transaction. The simulator runs as a process of its own (tervox-sim
// beside this program), so none of its work is counted; neither is the
// work the kernel does for the pseudo-terminal in its own worker threads.
// median_us is the wall time. System calls per transaction:
//   strace -f -c build/bin/tervox_bench_comm --benchmark_filter=Modbus
// counts both processes; the simulator makes a poll, two reads and a
// write per request.
#include "core/DqEvent.h"
#include "comm/DqModbus.h"
#include "comm/DqPort.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double Median(std::vector<double> AValues) {
  if (AValues.empty()) return 0.0;
  std::sort(AValues.begin(), AValues.end());
  return AValues[AValues.size() / 2];
}

double ProcessCPUMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// One controller served by tervox-sim, and the port opened on its line.
struct Line {
  QTemporaryDir Dir;
  QProcess Sim;
  TDqComPort Port;
  QString Error;

  Line() {
    const QString link = Dir.filePath(QStringLiteral("BUS"));
    Sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    Sim.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tervox-sim"),
              {QStringLiteral("controllers"), QStringLiteral("--link"), link, QStringLiteral("--addresses"),
               QStringLiteral("1")});
    while (Sim.waitForReadyRead(5000) && !Sim.canReadLine()) {
    }
    if (!Sim.canReadLine() || !Sim.readLine().startsWith("ready")) {
      Error = QStringLiteral("tervox-sim did not start");
      return;
    }
    if (!Port.Open(link) || !Port.Config(115200, 8, 0, 0)) Error = QStringLiteral("cannot open ") + link;
  }
  ~Line() {
    Port.Close();
    Sim.terminate();
    Sim.waitForFinished(5000);
  }
};

// Wall and process CPU time of each read. A read that times out on a busy
// machine is counted, not fatal; many failing reads end the benchmark.
struct Samples {
  std::vector<double> Latencies, Cpu;
  int Failed = 0;
  QString LastError;

  void Read(TModbusData& AModbus) {
    const double cpu0 = ProcessCPUMicroseconds();
    const auto t0 = TClock::now();
    const bool ok = AModbus.ReadHoldReg(1, 256, 1);
    Latencies.push_back(std::chrono::duration<double, std::micro>(TClock::now() - t0).count());
    Cpu.push_back(ProcessCPUMicroseconds() - cpu0);
    if (!ok) {
      ++Failed;
      LastError = AModbus.LastError();
    }
  }
  void Report(benchmark::State& AState) const {
    AState.counters["median_us"] = Median(Latencies);
    AState.counters["engine_cpu_us"] = Median(Cpu);
    AState.counters["failed"] = Failed;
    if (Failed > static_cast<int>(Cpu.size()) / 100)
      AState.SkipWithError(("reads failed: " + LastError.toStdString()).c_str());
  }
};

// Back to back: each request first waits for 3.5 quiet characters
// (1.75 ms at 115200) after the previous reply.
void BM_ModbusReadBackToBack(benchmark::State& AState) {
  Line line;
  if (!line.Error.isEmpty()) return AState.SkipWithError(line.Error.toStdString().c_str());
  TModbusData modbus(&line.Port);
  Samples samples;
  for (auto _ : AState) samples.Read(modbus);
  samples.Report(AState);
}
BENCHMARK(BM_ModbusReadBackToBack)->Unit(benchmark::kMicrosecond);

// The round trip alone: the line has been quiet long enough before each
// request, as in the polling cycle.
void BM_ModbusReadRoundTrip(benchmark::State& AState) {
  Line line;
  if (!line.Error.isEmpty()) return AState.SkipWithError(line.Error.toStdString().c_str());
  TModbusData modbus(&line.Port);
  Samples samples;
  for (auto _ : AState) {
    AState.PauseTiming();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    AState.ResumeTiming();
    samples.Read(modbus);
    AState.SetIterationTime(samples.Latencies.back() / 1e6);
  }
  samples.Report(AState);
}
BENCHMARK(BM_ModbusReadRoundTrip)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Events through the normal queue, empty work.
void BM_EventThroughput(benchmark::State& AState) {
  TDqEventThread thread;
  const int batch = 10000;
  for (auto _ : AState) {
    std::atomic<int> done{0};
    for (int i = 0; i < batch; ++i)
      thread.AddEvent(QStringLiteral("Work"), [&done](TDqEventData*) { done.fetch_add(1, std::memory_order_relaxed); },
                      nullptr);
    while (done.load() < batch) std::this_thread::yield();
  }
  AState.counters["events_per_s"] = benchmark::Counter(static_cast<double>(batch) * AState.iterations(),
                                                       benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EventThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

// From AddEvent to the start of its work on an idle worker, and from the
// end of the work to its completion callback on the UI thread.
void BM_EventHandOff(benchmark::State& AState) {
  TDqEventThread thread;
  std::vector<double> wake, posting;
  for (auto _ : AState) {
    std::atomic<bool> done{false};
    TClock::time_point queued = TClock::now(), started, finished, delivered;
    auto event = std::make_unique<TDqEventData>(
        QStringLiteral("Work"),
        [&](TDqEventData*) {
          started = TClock::now();
          finished = TClock::now();
        },
        nullptr);
    event->SetOnSyncExecuted([&] {
      delivered = TClock::now();
      done = true;
    });
    queued = TClock::now();
    thread.AddEvent(std::move(event));
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents);
    wake.push_back(std::chrono::duration<double, std::micro>(started - queued).count());
    posting.push_back(std::chrono::duration<double, std::micro>(delivered - finished).count());
  }
  AState.counters["wake_median_us"] = Median(wake);
  AState.counters["post_median_us"] = Median(posting);
}
BENCHMARK(BM_EventHandOff)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
