// The MQTT publisher against a real Mosquitto broker, while a recorder
// thread writes 32 controllers' readings once a second as the line workers
// do:
//   Live:    CPU of the publisher's thread, in % of one core.
//   Backlog: one hour of 32 controllers (115,200 readings) recorded while
//            the broker was away, until a subscriber has every one, and the
//            slowest history insert meanwhile (Backlog/0: the same recording
//            without publishing).
//   build/bin/tervox_bench_mqtt [--benchmark_filter=Live|Backlog]
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "store/Tervox_Config.h"
#include "mqtt/Tervox_Mqtt.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>
#include <mosquitto.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int kControllers = 32;
using TClock = std::chrono::steady_clock;

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

class BenchBroker {
public:
  explicit BenchBroker(const QString& ADirectory) : FPort(FreePort()) {
    const passwd* user = getpwuid(geteuid());
    QFile file(ADirectory + QStringLiteral("/mosquitto.conf"));
    file.open(QIODevice::WriteOnly);
    file.write(QStringLiteral("user %1\nmax_queued_messages 0\nlistener %2 127.0.0.1\nallow_anonymous true\n")
                   .arg(QString::fromLocal8Bit(user ? user->pw_name : "root"))
                   .arg(FPort)
                   .toUtf8());
    file.close();
    FProcess.start(QFile::exists(QStringLiteral("/usr/sbin/mosquitto")) ? QStringLiteral("/usr/sbin/mosquitto")
                                                                         : QStringLiteral("mosquitto"),
                   {QStringLiteral("-c"), file.fileName()});
    FProcess.waitForStarted();
    QThread::msleep(500);
  }
  ~BenchBroker() {
    FProcess.terminate();
    FProcess.waitForFinished();
  }
  int Port() const { return FPort; }

private:
  int FPort;
  QProcess FProcess;
};

// A database of 32 controllers, publishing to APort under bench/station.
void PrepareStation(const QString& AFile, int APort) {
  FreeDatabase();
  QFile::remove(AFile);
  SetDatabaseFileName(AFile);
  TSQLiteDatabase* db = GetDatabase();
  db->BeginTransaction();
  for (int i = 1; i <= kControllers; ++i)
    db->ExecSQL(QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address, Enabled) VALUES ('Controller %1', 1, %1, -1)").arg(i));
  db->Commit();
  TTervoxMqttSettings settings;
  settings.Enabled = true;
  settings.Host = QStringLiteral("127.0.0.1");
  settings.Port = APort;
  settings.Topic = QStringLiteral("bench/station");
  settings.Save();
}

void InsertReading(TSQLiteDatabase& ADb, int ADevice, double ATime, std::int64_t AIndex) {
  TSQLiteParamList params;
  params.SetParamValues(":DeviceID", ADevice);
  params.SetParamValues(":ReadTime", TVariant::FromDateTime(ATime));
  params.SetParamValues(":Digit", 1);
  params.SetParamValues(":PV", 250.0 + (AIndex % 100) / 10.0);
  params.SetParamValues(":SV", 300.0);
  params.SetParamValues(":OUT1", 55.5);
  params.SetParamValues(":OUT2", 0.0);
  params.SetParamValues(":EV1", 0.0);
  params.SetParamValues(":EV2", 0.0);
  params.SetParamValues(":EV3", 0.0);
  params.SetParamValues(":IsEV1", false);
  params.SetParamValues(":IsEV2", false);
  params.SetParamValues(":IsEV3", false);
  ADb.ExecSQL(QStringLiteral("INSERT INTO DeviceData VALUES(:DeviceID, :ReadTime, :Digit, :PV, :SV, :OUT1, :OUT2, "
                             ":EV1, :EV2, :EV3, :IsEV1, :IsEV2, :IsEV3)"),
              &params);
}

// Writes every controller's reading once a second on the shared
// connection, as the line workers do, and keeps the slowest insert.
class Recorder {
public:
  Recorder() {
    FThread = std::thread([this] {
      std::int64_t index = 0;
      auto due = TClock::now();
      while (!FStop) {
        for (int i = 1; i <= kControllers; ++i) {
          const auto start = TClock::now();
          InsertReading(*GetDatabase(), i, Now(), index++);
          const double ms = std::chrono::duration<double, std::milli>(TClock::now() - start).count();
          FSlowest = std::max(FSlowest.load(), ms);
          if (ms > 20) ++FOver20;
          ++FRows;
        }
        due += std::chrono::seconds(1);
        std::this_thread::sleep_until(due);
      }
    });
  }
  ~Recorder() {
    FStop = true;
    FThread.join();
  }
  double SlowestInsertMs() const { return FSlowest; }
  std::int64_t Rows() const { return FRows; }
  std::int64_t InsertsOver20Ms() const { return FOver20; }

private:
  std::atomic<bool> FStop{false};
  std::atomic<double> FSlowest{0};
  std::atomic<std::int64_t> FRows{0};
  std::atomic<std::int64_t> FOver20{0};
  std::thread FThread;
};

// CPU seconds of this process's thread named AName.
double ThreadCPUSeconds(const char* AName) {
  const QDir tasks(QStringLiteral("/proc/self/task"));
  for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
    if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != AName) continue;
    QFile stat(tasks.filePath(tid + QStringLiteral("/stat")));
    if (!stat.open(QIODevice::ReadOnly)) continue;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return 0;
}

void Live(benchmark::State& state) {
  QTemporaryDir dir;
  BenchBroker broker(dir.path());
  PrepareStation(dir.filePath(QStringLiteral("live.db")), broker.Port());
  for (auto _ : state) {
    Recorder recorder;
    StartMqttPublisher();
    QThread::sleep(3); // connected, caught up
    const double cpu0 = ThreadCPUSeconds("tervox-mqtt");
    const auto wall0 = TClock::now();
    QThread::sleep(static_cast<unsigned long>(state.range(0)));
    const double cpu = ThreadCPUSeconds("tervox-mqtt") - cpu0;
    const double wall = std::chrono::duration<double>(TClock::now() - wall0).count();
    state.counters["publisher_cpu_pct"] = 100.0 * cpu / wall;
    state.counters["status_online"] = MqttStatus().State == TMqttState::Online;
    StopMqttPublisher();
  }
  FreeDatabase();
}
BENCHMARK(Live)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void Backlog(benchmark::State& state) {
  QTemporaryDir dir;
  BenchBroker broker(dir.path());
  PrepareStation(dir.filePath(QStringLiteral("backlog.db")), broker.Port());
  // An hour recorded while the broker was away, after the marks.
  const double hourAgo = Now() - 1.0 / 24.0;
  {
    QStringList marks;
    for (int i = 1; i <= kControllers; ++i) marks << QStringLiteral("%1=%2").arg(i).arg(QString::number(hourAgo, 'g', 17));
    Config()->SetValues(QStringLiteral("MQTTPublishedUpTo"), marks.join(QLatin1Char(';')));
    TSQLiteDatabase* db = GetDatabase();
    db->BeginTransaction();
    std::int64_t index = 0;
    for (int s = 1; s <= 3600; ++s)
      for (int i = 1; i <= kControllers; ++i) InsertReading(*db, i, hourAgo + s / 86400.0 - 1e-6, index++);
    db->Commit();
  }
  mosquitto_lib_init();
  std::atomic<std::int64_t> replayed{0};
  mosquitto* subscriber = mosquitto_new("bench-subscriber", true, &replayed);
  mosquitto_message_callback_set(subscriber, [](mosquitto*, void* AObject, const mosquitto_message* AMessage) {
    const QByteArray payload(static_cast<const char*>(AMessage->payload), AMessage->payloadlen);
    if (payload.contains("\"replayed\":true")) ++*static_cast<std::atomic<std::int64_t>*>(AObject);
  });
  mosquitto_connect(subscriber, "127.0.0.1", broker.Port(), 30);
  mosquitto_subscribe(subscriber, nullptr, "bench/station/+/reading", 1);
  mosquitto_loop_start(subscriber);
  QThread::msleep(500);
  for (auto _ : state) {
    Recorder recorder;
    const auto start = TClock::now();
    // Arg 0: the same half minute of recording without publishing, for the
    // slowest insert to compare with.
    if (state.range(0)) {
      StartMqttPublisher();
      while (replayed < 3600 * kControllers && TClock::now() - start < std::chrono::minutes(5)) QThread::msleep(20);
    } else {
      QThread::sleep(25);
    }
    state.counters["backlog_s"] = std::chrono::duration<double>(TClock::now() - start).count();
    state.counters["replayed"] = static_cast<double>(replayed.load());
    state.counters["slowest_insert_ms"] = recorder.SlowestInsertMs();
    state.counters["inserts_over_20ms"] = static_cast<double>(recorder.InsertsOver20Ms());
    state.counters["rows_recorded_meanwhile"] = static_cast<double>(recorder.Rows());
    StopMqttPublisher();
  }
  mosquitto_disconnect(subscriber);
  mosquitto_loop_stop(subscriber, false);
  mosquitto_destroy(subscriber);
  FreeDatabase();
}
BENCHMARK(Backlog)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QTemporaryDir data;
  qputenv("TERVOX_DATA_DIR", data.path().toLocal8Bit());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
