#include "Main_Demo.h"

#include "store/DqSQLite.h"
#include "graph/DqGraph.h"
#include "store/Tervox_Config.h"
#include "ui/pages/Frame_Graph.h"
#include "ui/pages/Frame_Trend.h"
#include "store/Main_Database.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// The controllers tervox-sim demo serves on its line, by slave address.
struct TDemoController {
  int Address;
  const char* Name;
};

const TDemoController kControllers[] = {{1, "Oven"}, {2, "Kiln"}, {5, "Dryer"}};

// The simulator's links in the demonstration's folder.
const char* const kLineName = "ttyDEMO0";
const char* const kModemName = "ttyGSM0";

// How long the simulator may take to come up, and to answer a command.
constexpr int kReadyMs = 10000;
constexpr int kAnswerMs = 10000;

// The seeded history: yesterday from 08:00, eight hours, one row a second.
constexpr int kHistoryHours = 8;
double HistoryStart() { return std::trunc(Now()) - 1 + 8.0 / 24; }

} // namespace

TTervoxDemo::TTervoxDemo(const QString& ASimulator)
    : FSimulator(ASimulator.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/tervox-sim")
                                      : ASimulator) {}

TTervoxDemo::~TTervoxDemo() { StopSimulator(); }

void TTervoxDemo::StopSimulator() {
  if (!FProcess || FProcess->state() == QProcess::NotRunning) return;
  FProcess->terminate();
  if (!FProcess->waitForFinished(5000)) {
    FProcess->kill();
    FProcess->waitForFinished(5000);
  }
}

bool TTervoxDemo::Start(QString* AError) {
  auto fail = [AError](const QString& AText) {
    if (AError) *AError = AText;
    return false;
  };
  FDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/tervox-demo-XXXXXX"));
  if (!FDir->isValid())
    return fail(QStringLiteral("Cannot create a folder for the demonstration: %1").arg(FDir->errorString()));
  if (!QFileInfo(FSimulator).isExecutable())
    return fail(QStringLiteral("The simulator %1 is missing; it is installed beside tervox.").arg(FSimulator));
  FProcess = std::make_unique<QProcess>();
  // The simulator ends with the program, however the program ends.
  const pid_t parent = ::getpid();
  FProcess->setChildProcessModifier([parent] {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1); // the program is already gone
  });
  FProcess->start(FSimulator, {QStringLiteral("demo"), QStringLiteral("--dir"), FDir->path()});
  const QDeadlineTimer deadline(kReadyMs);
  if (!FProcess->waitForStarted(kReadyMs))
    return fail(QStringLiteral("The simulator %1 cannot start: %2").arg(FSimulator, FProcess->errorString()));
  for (;;) {
    while (FProcess->canReadLine())
      if (FProcess->readLine().trimmed() == "ready") {
        // The port lists (Port and SMS pages) offer the simulated line and
        // modem.
        if (qEnvironmentVariableIsEmpty("TERVOX_PORT_DIR")) qputenv("TERVOX_PORT_DIR", FDir->path().toLocal8Bit());
        SetDatabaseFileName(DatabaseFileName());
        return true;
      }
    if (FProcess->state() == QProcess::NotRunning ||
        !FProcess->waitForReadyRead(static_cast<int>(deadline.remainingTime())))
      break;
  }
  const QString why =
      FProcess->state() == QProcess::NotRunning
          ? QStringLiteral("The simulator %1 ended before it was ready (exit status %2).")
                .arg(FSimulator)
                .arg(FProcess->exitCode())
          : QStringLiteral("The simulator %1 did not get ready within %2 seconds.").arg(FSimulator).arg(kReadyMs / 1000);
  StopSimulator();
  const QString said = QString::fromLocal8Bit(FProcess->readAllStandardError()).trimmed();
  return fail(said.isEmpty() ? why : why + QLatin1Char('\n') + said);
}

QString TTervoxDemo::DatabaseFileName() const { return FDir ? FDir->filePath(QStringLiteral("TervoxDemo.db")) : QString(); }

QString TTervoxDemo::LinkPath(const QString& AName) const { return FDir ? FDir->filePath(AName) : QString(); }

QStringList TTervoxDemo::ControlLine(const QString& ACommand) { return Control(QLatin1String(kLineName), ACommand); }

QStringList TTervoxDemo::ControlModem(const QString& ACommand) { return Control(QLatin1String(kModemName), ACommand); }

qint64 TTervoxDemo::SimulatorProcessId() const {
  return FProcess && FProcess->state() == QProcess::Running ? FProcess->processId() : 0;
}

// Writes the command to the device's control pipe and reads the answer on
// the simulator's output, up to the empty line that ends it.
QStringList TTervoxDemo::Control(const QString& ALink, const QString& ACommand) {
  QStringList answer;
  if (!FProcess || FProcess->state() != QProcess::Running) return answer;
  FProcess->readAllStandardOutput(); // answers to commands written by others
  // Not created when missing, and never waiting for a reader.
  const int pipe = ::open(QFile::encodeName(LinkPath(ALink) + QStringLiteral(".ctl")).constData(),
                          O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (pipe < 0) return answer;
  const QByteArray line = ACommand.toLocal8Bit() + '\n';
  const bool written = ::write(pipe, line.constData(), static_cast<size_t>(line.size())) == line.size();
  ::close(pipe);
  if (!written) return answer;
  const QDeadlineTimer deadline(kAnswerMs);
  for (;;) {
    while (FProcess->canReadLine()) {
      const QString text = QString::fromLocal8Bit(FProcess->readLine()).trimmed();
      if (text.isEmpty()) return answer;
      answer << text;
    }
    if (!FProcess->waitForReadyRead(static_cast<int>(deadline.remainingTime()))) return answer;
  }
}

void TTervoxDemo::Seed() {
  TSQLiteDatabase* db = GetDatabase();
  if (db->GetTableValue(QStringLiteral("SELECT count(*) FROM DevicePort")) > 0) return;
  TSQLiteParamList params;
  params.SetParamValues(":PortName", LinkPath(QLatin1String(kLineName)));
  db->ExecSQL(QStringLiteral("INSERT INTO DevicePort (Name, PortType, PortName, BaudRate, DataBits, StopBits, Parity, "
                             "IPAddress, PortNumber, Enabled) VALUES ('Demo line', 1, :PortName, 9600, 8, 0, 0, '', '', -1)"),
              &params);
  for (const TDemoController& c : kControllers) {
    TSQLiteParamList device;
    device.SetParamValues(":Name", QString::fromLatin1(c.Name));
    device.SetParamValues(":Address", c.Address);
    db->ExecSQL(QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address, Enabled) VALUES (:Name, 1, :Address, -1)"),
                &device);
  }
  db->ExecSQL(QStringLiteral("INSERT INTO DeviceGroup (Name, Enabled) VALUES ('Night shift', -1)"));
  db->ExecSQL(QStringLiteral("INSERT INTO DeviceGroupMobile (GroupID, MobileNumber, Name) VALUES (1, '+66810000001', 'Duty engineer')"));
  db->ExecSQL(QStringLiteral("INSERT INTO DeviceGroupItem (GroupID, DeviceID) SELECT 1, ID FROM Device"));
  Config()->SetValues(QStringLiteral("SMSPort"), LinkPath(QLatin1String(kModemName)));
  Config()->SetValues(QStringLiteral("SMSProvider"), QStringLiteral("AIS"));
  // SMS alerting on: alarms reach the groups' numbers through the modem.
  Config()->SetValueBool(QStringLiteral("SMSAlert"), true);
  SeedHistory();

  // A live trend and a history profile of the three controllers, shown at
  // once: the pages open on the profile they remember.
  db->ExecSQL(QStringLiteral("INSERT INTO Graph (Name, Size, MinValue, MaxValue) VALUES ('Demo trend', 200, 0, 200)"));
  db->ExecSQL(QStringLiteral("INSERT INTO Graph (Name, Size, MinValue, MaxValue) VALUES ('Demo history', 100, 0, 200)"));
  const TDqColor colors[] = {RGBColor(255, 0, 0), RGBColor(0, 128, 0), RGBColor(0, 0, 255)};
  for (const char* graph : {"Demo trend", "Demo history"}) {
    for (std::size_t i = 0; i < std::size(kControllers); ++i) {
      TSQLiteParamList line;
      line.SetParamValues(":Graph", QString::fromLatin1(graph));
      line.SetParamValues(":Name", QString::fromLatin1(kControllers[i].Name));
      line.SetParamValues(":Color", static_cast<int>(colors[i]));
      db->ExecSQL(QStringLiteral("INSERT INTO GraphLine (Name, GraphID, DeviceID, ValueTypeID, Color) "
                                 "SELECT :Name, g.ID, d.ID, 1, :Color FROM Graph g, Device d "
                                 "WHERE g.Name = :Graph AND d.Name = :Name"),
                  &line);
    }
  }
  TFrameTrend::RememberProfile(QStringLiteral("Demo trend"));
  TFrameGraph::RememberProfile(QStringLiteral("Demo history"));
  // The history profile opens on the seeded hours, so its lines show at once.
  TFrameGraph::RememberWindow(HistoryStart(), HistoryStart() + kHistoryHours / 24.0);
}

// Eight hours of yesterday's readings, one a second: the oven warming up
// and holding (EV1 on for a minute each hour), the kiln and the dryer. The
// Report page has pages at once; with the Log page's three switches on,
// event changes are logged.
void TTervoxDemo::SeedHistory() {
  TSQLiteDatabase* db = GetDatabase();
  const double from = HistoryStart();
  TSQLiteParamList params;
  params.SetParamValues(":From", TVariant::FromDateTime(from));
  db->ExecSQL(QStringLiteral(
                  "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                  "INSERT INTO DeviceData (DeviceID, ReadTime, Digit, PV, SV, OUT1, OUT2, EV1, EV2, EV3, IsEV1, IsEV2, IsEV3) "
                  "SELECT 1, :From + i / 86400.0, 1, ROUND(MIN(180.0, 25 + i / 40.0) + (i % 7) / 10.0, 1), 180, "
                  "CASE WHEN i < 6200 THEN 100 ELSE 35.5 END, 0, 32767, 32767, 32767, "
                  "CASE WHEN i % 3600 < 60 THEN -1 ELSE 0 END, 0, 0 FROM n")
                  .arg(kHistoryHours * 3600 - 1),
              &params);
  // The kiln warming to 85 and holding, the dryer through its three steps,
  // so that every line of the history profile shows.
  db->ExecSQL(QStringLiteral(
                  "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                  "INSERT INTO DeviceData (DeviceID, ReadTime, Digit, PV, SV, OUT1, OUT2, EV1, EV2, EV3, IsEV1, IsEV2, IsEV3) "
                  "SELECT d.ID, :From + i / 86400.0, 0, ROUND(MIN(85.0, 20 + i / 55.0)), 85, "
                  "CASE WHEN i < 3600 THEN 100 ELSE 20 END, 0, 32767, 32767, 32767, 0, 0, 0 "
                  "FROM n, Device d WHERE d.Name = 'Kiln' "
                  "UNION ALL "
                  "SELECT d.ID, :From + i / 86400.0, 2, "
                  "CASE (i / 1200) % 3 WHEN 0 THEN 60 WHEN 1 THEN 70 ELSE 65 END - 0.25 + (i % 11) / 20.0, "
                  "CASE (i / 1200) % 3 WHEN 0 THEN 60 WHEN 1 THEN 70 ELSE 65 END, 45.5, 0, 32767, 32767, 32767, 0, 0, 0 "
                  "FROM n, Device d WHERE d.Name = 'Dryer'")
                  .arg(kHistoryHours * 3600 - 1),
              &params);
  for (int i = 0; i < 3; ++i) Config()->SetValueBool(QStringLiteral("AlertEV%1").arg(i + 1), true);
}
