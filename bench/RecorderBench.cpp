// The recorder as a service runs it, beside the window that attaches:
//   build/bin/tervox_bench_recorder --benchmark_filter=PanelDelay   a set value changed on a controller until
//                                                                  an attached window's panel shows it
//   build/bin/tervox_bench_recorder --benchmark_filter=Load         the recorder's CPU share and RSS with 32
//                                                                  controllers over 10 minutes
//                                                                  ($TERVOX_RECORDER_MINUTES for another span)
//   build/bin/tervox_bench_recorder --benchmark_filter=WindowCost   rows/s of 32 controllers without a window,
//                                                                  then with one attached
//                                                                  ($TERVOX_RECORDER_SECONDS per phase, 120)
// The simulators and the recorder are the real programs beside this one.
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Engine.h"
#include "widgets/Tervox_Monitor.h"
#include "export/Tervox_Report.h"
#include "plant/Tervox_User.h"
#include "ui/pages/Frame_Monitor.h"
#include "ui/shell/Form_Main.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <unistd.h>
#include <vector>

namespace {

QString Program(const char* AName) { return QDir(QCoreApplication::applicationDirPath()).filePath(QString::fromLatin1(AName)); }

class Simulator {
public:
  Simulator(const QString& ALink, int AFirst, int ACount, int ABaud) : FLink(ALink) {
    QStringList addresses;
    for (int i = 0; i < ACount; ++i) addresses << QString::number(AFirst + i);
    FProcess.start(Program("tervox-sim"), {QStringLiteral("controllers"), QStringLiteral("--link"), ALink,
                                           QStringLiteral("--addresses"), addresses.join(QLatin1Char(',')),
                                           QStringLiteral("--baud"), QString::number(ABaud)});
    FProcess.waitForReadyRead(30000);
  }
  ~Simulator() {
    FProcess.kill();
    FProcess.waitForFinished(5000);
  }
  void Command(const QString& ACommand) {
    QFile pipe(FLink + QStringLiteral(".ctl"));
    if (pipe.open(QIODevice::WriteOnly)) pipe.write((ACommand + QLatin1Char('\n')).toUtf8());
  }

private:
  QString FLink;
  QProcess FProcess;
};

class Recorder {
public:
  explicit Recorder(const QString& ADatabase) {
    FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FProcess.start(Program("tervox-recorder"), {QStringLiteral("--database"), ADatabase});
    FProcess.waitForStarted(10000);
  }
  ~Recorder() {
    FProcess.terminate();
    FProcess.waitForFinished(10000);
  }
  qint64 PID() const { return FProcess.processId(); }
  // CPU seconds used so far (user and system).
  double CPUSeconds() const {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(PID()));
    if (!stat.open(QIODevice::ReadOnly)) return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  long RssKilobytes() const {
    QFile status(QStringLiteral("/proc/%1/status").arg(PID()));
    if (!status.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
      if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
  }

private:
  QProcess FProcess;
};

// A station of ALines lines of APerLine controllers each, simulated.
class Station {
public:
  Station(int ALines, int APerLine, int ABaud) {
    FreeDatabase();
    SetDatabaseFileName(FDir.filePath(QStringLiteral("Tervox.db")));
    TSQLiteDatabase* db = GetDatabase();
    for (int line = 0; line < ALines; ++line) {
      const QString link = FDir.filePath(QStringLiteral("BUS%1").arg(line));
      FSimulators.push_back(std::make_unique<Simulator>(link, 1, APerLine, ABaud));
      TSQLiteParamList params;
      params.SetParamValues(":PortName", link);
      params.SetParamValues(":Baud", ABaud);
      db->ExecSQL(QStringLiteral("INSERT INTO DevicePort (Name, PortType, PortName, BaudRate, DataBits, StopBits, Parity) "
                                 "VALUES ('Line %1', 1, :PortName, :Baud, 8, 0, 0)")
                      .arg(line + 1),
                  &params);
      for (int address = 1; address <= APerLine; ++address)
        db->ExecSQL(QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address, Enabled) VALUES ('L%1C%2', %1, %2, -1)")
                        .arg(line + 1)
                        .arg(address));
    }
    FRecorder = std::make_unique<Recorder>(FileName());
  }
  ~Station() {
    FRecorder.reset();
    FSimulators.clear();
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
  QString FileName() const { return FDir.filePath(QStringLiteral("Tervox.db")); }
  long long Rows() { return GetDatabase()->GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData")); }
  Recorder& Rec() { return *FRecorder; }
  Simulator& Line(int AIndex) { return *FSimulators[static_cast<std::size_t>(AIndex)]; }

private:
  QTemporaryDir FDir;
  std::vector<std::unique_ptr<Simulator>> FSimulators;
  std::unique_ptr<Recorder> FRecorder;
};

// A window attached to the station's recorder, logged in as nobody.
std::unique_ptr<TFormMain> AttachedWindow() {
  CurrentUser()->Clear();
  UserGroups()->LoadFromDB();
  CreateEngineObjects();
  auto form = std::make_unique<TFormMain>();
  form->show();
  form->OpenAll();
  (void)QTest::qWaitFor([&] { return form->StationText().startsWith(QStringLiteral("Attached")); }, 30000);
  return form;
}

void CloseWindow(std::unique_ptr<TFormMain>& AForm) {
  AForm->CloseAll();
  AForm.reset();
  FreeEngineObjects();
  FreePrintProfiles();
}

double Percentile(std::vector<double> AValues, double AShare) {
  if (AValues.empty()) return 0;
  std::sort(AValues.begin(), AValues.end());
  return AValues[static_cast<std::size_t>(AShare * static_cast<double>(AValues.size() - 1))];
}

void PanelDelay(benchmark::State& AState) {
  for (auto _ : AState) {
    Station station(1, 3, 9600);
    QTest::qWait(5000);
    std::unique_ptr<TFormMain> form = AttachedWindow();
    auto* page = form->GetFrame<TFrameMonitor>();
    (void)QTest::qWaitFor([&] { return page && page->Monitors()->Count() == 3; }, 10000);
    TTervoxMonitor* panel = page->Monitors()->Monitors(0);
    std::vector<double> delays;
    for (int i = 0; i < 30; ++i) {
      const int value = 1000 + 10 * i;
      // Changes fall anywhere in the polling second.
      QTest::qWait(250 + 37 * (i % 20));
      QElapsedTimer clock;
      clock.start();
      station.Line(0).Command(QStringLiteral("set 1 768 %1").arg(value));
      if (QTest::qWaitFor([&] { return panel->Device() && panel->Device()->SV() == value; }, 10000))
        delays.push_back(static_cast<double>(clock.elapsed()));
    }
    CloseWindow(form);
    AState.counters["changes_seen"] = static_cast<double>(delays.size());
    AState.counters["delay_mean_ms"] = std::accumulate(delays.begin(), delays.end(), 0.0) / std::max<std::size_t>(delays.size(), 1);
    AState.counters["delay_p50_ms"] = Percentile(delays, 0.5);
    AState.counters["delay_max_ms"] = Percentile(delays, 1.0);
  }
}

void Load(benchmark::State& AState) {
  for (auto _ : AState) {
    Station station(4, 8, 38400);
    QTest::qWait(30000); // warmed up
    const int minutes = qEnvironmentVariableIntValue("TERVOX_RECORDER_MINUTES") > 0
                            ? qEnvironmentVariableIntValue("TERVOX_RECORDER_MINUTES")
                            : 10;
    const long rssStart = station.Rec().RssKilobytes();
    const double cpuStart = station.Rec().CPUSeconds();
    const long long rowsStart = station.Rows();
    QElapsedTimer clock;
    clock.start();
    long rssMax = rssStart;
    for (int minute = 1; minute <= minutes; ++minute) {
      QTest::qWait(60000);
      const long rss = station.Rec().RssKilobytes();
      rssMax = std::max(rssMax, rss);
      std::fprintf(stderr, "minute %d: RSS %ld kB, CPU %.2f %%\n", minute, rss,
                   100.0 * (station.Rec().CPUSeconds() - cpuStart) / (clock.elapsed() / 1000.0));
    }
    const double seconds = clock.elapsed() / 1000.0;
    AState.counters["cpu_percent"] = 100.0 * (station.Rec().CPUSeconds() - cpuStart) / seconds;
    AState.counters["rss_start_kB"] = static_cast<double>(rssStart);
    AState.counters["rss_end_kB"] = static_cast<double>(station.Rec().RssKilobytes());
    AState.counters["rss_max_kB"] = static_cast<double>(rssMax);
    AState.counters["rows_per_s"] = static_cast<double>(station.Rows() - rowsStart) / seconds;
  }
}

void WindowCost(benchmark::State& AState) {
  for (auto _ : AState) {
    Station station(4, 8, 38400);
    QTest::qWait(20000);
    const int seconds = qEnvironmentVariableIntValue("TERVOX_RECORDER_SECONDS") > 0
                            ? qEnvironmentVariableIntValue("TERVOX_RECORDER_SECONDS")
                            : 120;
    auto rate = [&] {
      const long long before = station.Rows();
      QElapsedTimer clock;
      clock.start();
      QTest::qWait(seconds * 1000);
      return static_cast<double>(station.Rows() - before) / (clock.elapsed() / 1000.0);
    };
    const double alone = rate();
    std::unique_ptr<TFormMain> form = AttachedWindow();
    QTest::qWait(5000);
    const double watched = rate();
    CloseWindow(form);
    AState.counters["rows_per_s_alone"] = alone;
    AState.counters["rows_per_s_watched"] = watched;
    AState.counters["ratio"] = alone > 0 ? watched / alone : 0;
  }
}

} // namespace

BENCHMARK(PanelDelay)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(Load)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(WindowCost)->Unit(benchmark::kSecond)->Iterations(1);

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  SetUserLocale(QLocale::c());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
