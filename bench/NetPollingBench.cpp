// Polling controllers behind the network (the simulator as a Modbus TCP
// gateway on the loopback).
//   build/bin/tervox_bench_net --benchmark_filter=NetStatusRead   a status read's time against the sum of
//                                                                 its transactions' round trips (<= 1.1)
//   build/bin/tervox_bench_net --benchmark_filter=Gateways        rows/s of the slowest controller:
//                                                                 32 behind one gateway, 4 gateways of 8
#include "comm/DqModbus.h"
#include "comm/DqPort.h"
#include "store/DqSQLite.h"
#include "sim/Sim_ControllerLine.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Engine.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

// AGateways Modbus TCP gateways of AControllers controllers each; device
// IDs run gateway by gateway.
struct NetPlant {
  QTemporaryDir Dir;
  std::vector<std::unique_ptr<TSimControllerLine>> Gateways;
  int Controllers = 0;

  NetPlant(int AGateways, int AControllers, TSimLineMode AMode = TSimLineMode::Tcp) {
    std::vector<int> addresses;
    for (int i = 1; i <= AControllers; ++i) addresses.push_back(i);
    SetDatabaseFileName(Dir.filePath(QStringLiteral("bench.db")));
    TSQLiteDatabase* db = GetDatabase();
    for (int gateway = 1; gateway <= AGateways; ++gateway) {
      auto sim = std::make_unique<TSimControllerLine>(AMode, 0, addresses);
      sim->Start();
      db->ExecSQL(QStringLiteral("INSERT INTO DevicePort (ID, Name, PortType, IPAddress, PortNumber, Enabled) "
                                 "VALUES (%1, 'Gateway %1', %2, '127.0.0.1', '%3', 1)")
                      .arg(gateway)
                      .arg(AMode == TSimLineMode::Tcp ? 2 : 3)
                      .arg(sim->TcpPort()));
      for (int i = 1; i <= AControllers; ++i)
        db->ExecSQL(QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address, Enabled) VALUES ('G%1C%2', %1, %2, -1)")
                        .arg(gateway)
                        .arg(i));
      Gateways.push_back(std::move(sim));
    }
    Controllers = AGateways * AControllers;
    CreateEngineObjects();
  }
  ~NetPlant() {
    FreeEngineObjects();
    Gateways.clear();
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
};

// Times every transaction of the line: each round trip on the wire (from
// the request handed to the connection to the reply taken off it), and the
// span from the first request to the last reply of a status read.
class TimedTransport : public TDqFrameTransport {
public:
  explicit TimedTransport(std::shared_ptr<TDqFrameTransport> ALine) : FLine(std::move(ALine)) {}
  bool Transact(const QByteArray& ARequest, QByteArray& AReply, QString& AError) override {
    TFault fault;
    return TransactChecked(ARequest, AReply, AError, fault);
  }
  bool TransactChecked(const QByteArray& ARequest, QByteArray& AReply, QString& AError, TFault& AFault) override {
    const qint64 start = Clock.nsecsElapsed();
    if (First < 0) First = start;
    const bool ok = FLine->TransactChecked(ARequest, AReply, AError, AFault);
    Last = Clock.nsecsElapsed();
    RoundTrips += Last - start;
    ++Count;
    return ok;
  }
  void Reset() {
    First = -1;
    Last = -1;
    RoundTrips = 0;
    Count = 0;
  }
  QElapsedTimer Clock;
  qint64 First = -1, Last = -1, RoundTrips = 0;
  int Count = 0;

private:
  std::shared_ptr<TDqFrameTransport> FLine;
};

// One status read per controller in this thread, as the worker runs it.
// ratio: from its first request to its last reply, against the sum of its
// transactions' round trips (the engine's work between transactions);
// poll_ratio: the whole poll, its row stored and its alarms handled, against
// the same sum (on the loopback a round trip is some 20 us, so storing the
// row weighs there as it never does behind a real gateway).
void NetStatusRead(benchmark::State& AState) {
  NetPlant plant(1, 32);
  TTervoxDevice::InitialPort();
  DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
  for (int i = 0; i < plant.Controllers; ++i) DeviceList()->GetDevices(i)->DoReadStatus(); // identification once
  std::shared_ptr<TDqComPort> port = PortList()->SharedPortByID(1);
  auto timed = std::make_shared<TimedTransport>(port->FrameTransport());
  timed->Clock.start();
  port->SetFrameTransport(timed);
  double pollMs = 0, spanMs = 0, roundTripMs = 0, cpuMicros = 0;
  std::int64_t reads = 0, transactions = 0;
  for (auto _ : AState) {
    for (int i = 0; i < plant.Controllers; ++i) {
      TTervoxDevice* device = DeviceList()->GetDevices(i);
      timed->Reset();
      const double cpu0 = ThreadCPUMicroseconds();
      QElapsedTimer timer;
      timer.start();
      device->DoReadStatus();
      pollMs += timer.nsecsElapsed() / 1e6;
      cpuMicros += ThreadCPUMicroseconds() - cpu0;
      spanMs += (timed->Last - timed->First) / 1e6;
      roundTripMs += timed->RoundTrips / 1e6;
      transactions += timed->Count;
      ++reads;
    }
  }
  const auto perRead = [&](double AValue) { return AValue / static_cast<double>(reads); };
  AState.counters["status_read_ms"] = perRead(spanMs);
  AState.counters["round_trips_ms"] = perRead(roundTripMs);
  AState.counters["transactions"] = perRead(static_cast<double>(transactions));
  AState.counters["poll_ms"] = perRead(pollMs);
  AState.counters["engine_cpu_us"] = perRead(cpuMicros);
  AState.counters["ratio"] = spanMs / roundTripMs;
  AState.counters["poll_ratio"] = pollMs / roundTripMs;
}

// Rows per second of the slowest controller over AMilliseconds of polling.
double SlowestRate(int AGateways, int AControllers, int AMilliseconds) {
  NetPlant plant(AGateways, AControllers);
  TTervoxDevice::StartThread();
  QTest::qWait(3000);
  auto counts = [&] {
    std::vector<int> rows;
    for (int id = 1; id <= plant.Controllers; ++id)
      rows.push_back(static_cast<int>(GetDatabase()->GetTableValue(
          QStringLiteral("SELECT count(*) FROM DeviceData WHERE DeviceID = %1 AND PV <> 32767").arg(id))));
    return rows;
  };
  const std::vector<int> before = counts();
  QElapsedTimer clock;
  clock.start();
  QTest::qWait(AMilliseconds);
  const std::vector<int> after = counts();
  const double seconds = clock.nsecsElapsed() / 1e9;
  TTervoxDevice::StopThread();
  double slowest = 1e9;
  for (std::size_t i = 0; i < after.size(); ++i) slowest = std::min(slowest, (after[i] - before[i]) / seconds);
  return slowest;
}

void Gateways(benchmark::State& AState) {
  for (auto _ : AState) {
    AState.counters["one_gateway_32_min_rows_per_s"] = SlowestRate(1, 32, 30000);
    AState.counters["four_gateways_8_min_rows_per_s"] = SlowestRate(4, 8, 30000);
  }
}

} // namespace

BENCHMARK(NetStatusRead)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(Gateways)->Unit(benchmark::kSecond)->Iterations(1);

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
