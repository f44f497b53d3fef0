// The communication layer: a one-register Modbus read over a pseudo-
// terminal against the simulator (no wire delay), and the event thread's
// throughput and hand-off latencies.
//   build/bin/tervox_bench_comm [--benchmark_filter=...]
#include "Engine/DqEvent.h"
#include "Engine/DqModbus.h"
#include "Engine/DqPort.h"
#include "Simulator/Sim_ControllerLine.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double Median(std::vector<double> AValues) {
  if (AValues.empty()) return 0.0;
  std::sort(AValues.begin(), AValues.end());
  return AValues[AValues.size() / 2];
}

// One controller on a simulated line and the port opened on it.
struct Line {
  QTemporaryDir Dir;
  TSimControllerLine Sim{Dir.filePath(QStringLiteral("BUS")), {1}};
  TDqComPort Port;
  Line() {
    Sim.Start();
    Port.Open(Sim.LinkPath());
    Port.Config(115200, 8, 0, 0);
  }
};

// Back to back: each request first waits for 3.5 quiet characters
// (1.75 ms at 115200) after the previous reply.
void BM_ModbusReadBackToBack(benchmark::State& AState) {
  Line line;
  TModbusData modbus(&line.Port);
  std::vector<double> latencies, cpu;
  for (auto _ : AState) {
    const double cpu0 = ThreadCPUMicroseconds();
    const auto t0 = TClock::now();
    if (!modbus.ReadHoldReg(1, 256, 1)) AState.SkipWithError("read failed");
    latencies.push_back(std::chrono::duration<double, std::micro>(TClock::now() - t0).count());
    cpu.push_back(ThreadCPUMicroseconds() - cpu0);
  }
  AState.counters["median_us"] = Median(latencies);
  AState.counters["engine_cpu_us"] = Median(cpu);
}
BENCHMARK(BM_ModbusReadBackToBack)->Unit(benchmark::kMicrosecond);

// The round trip alone: the line has been quiet long enough before each
// request, as in the polling cycle.
void BM_ModbusReadRoundTrip(benchmark::State& AState) {
  Line line;
  TModbusData modbus(&line.Port);
  std::vector<double> latencies, cpu;
  for (auto _ : AState) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const double cpu0 = ThreadCPUMicroseconds();
    const auto t0 = TClock::now();
    if (!modbus.ReadHoldReg(1, 256, 1)) AState.SkipWithError("read failed");
    const double elapsed = std::chrono::duration<double>(TClock::now() - t0).count();
    cpu.push_back(ThreadCPUMicroseconds() - cpu0);
    latencies.push_back(elapsed * 1e6);
    AState.SetIterationTime(elapsed);
  }
  AState.counters["median_us"] = Median(latencies);
  AState.counters["engine_cpu_us"] = Median(cpu);
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
