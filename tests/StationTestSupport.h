// The station's real programs, started from a test: the controller
// simulator (tervox-sim, a process of its own, so that nothing of the line
// is open in the test's process) and the recorder (tervox-recorder).
#pragma once

#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "store/Main_Database.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <sqlite3.h>

#include <csignal>
#include <vector>

namespace tervox_test {

inline QString ProgramPath(const char* AName) {
  return QDir(qEnvironmentVariable("TERVOX_BIN_DIR")).filePath(QString::fromLatin1(AName));
}

// tervox-sim serving controllers at ALink, driven through its control pipe.
class SimulatorProcess {
public:
  SimulatorProcess(const QString& ALink, const QString& AAddresses, int ABaud = 0) : FLink(ALink) {
    QStringList args{QStringLiteral("controllers"), QStringLiteral("--link"), ALink, QStringLiteral("--addresses"),
                     AAddresses};
    if (ABaud > 0) args << QStringLiteral("--baud") << QString::number(ABaud);
    FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FProcess.start(ProgramPath("tervox-sim"), args);
  }
  ~SimulatorProcess() {
    FProcess.kill();
    FProcess.waitForFinished(10000);
  }
  bool Started() {
    if (!QTest::qWaitFor([&] { return FOut.contains("ready\n") || !Read(); }, 30000)) return false;
    return FOut.contains("ready\n");
  }
  // One control command; its answer line.
  QString Command(const QString& ACommand) {
    FOut.clear();
    QFile pipe(FLink + QStringLiteral(".ctl"));
    if (!pipe.open(QIODevice::WriteOnly)) return QStringLiteral("error: no control pipe");
    pipe.write((ACommand + QLatin1Char('\n')).toUtf8());
    pipe.close();
    (void)QTest::qWaitFor([&] { return Read() && FOut.contains('\n'); }, 10000);
    return QString::fromUtf8(FOut).trimmed();
  }
  // True when the simulator did it.
  bool Do(const QString& ACommand) { return Command(ACommand).startsWith(QLatin1String("ok")); }
  // A register's value as the controller holds it.
  int Register(int AAddress, int ARegister) {
    return Command(QStringLiteral("get %1 %2").arg(AAddress).arg(ARegister)).section(QLatin1Char(' '), -1).toInt();
  }
  QString LinkPath() const { return FLink; }
  // The terminal device a port of the line opens.
  QString DevicePath() const { return QFileInfo(FLink).symLinkTarget(); }

private:
  bool Read() {
    FProcess.waitForReadyRead(50);
    FOut.append(FProcess.readAllStandardOutput());
    return FProcess.state() == QProcess::Running;
  }
  QString FLink;
  QProcess FProcess;
  QByteArray FOut;
};

// tervox-recorder on a database; its journal (stderr) is kept.
class RecorderProcess {
public:
  explicit RecorderProcess(const QString& ADatabase, QProcessEnvironment AEnvironment =
                                                         QProcessEnvironment::systemEnvironment()) {
    FProcess.setProcessEnvironment(AEnvironment);
    FProcess.start(ProgramPath("tervox-recorder"), {QStringLiteral("--database"), ADatabase});
  }
  ~RecorderProcess() {
    if (FProcess.state() != QProcess::NotRunning) Kill();
  }
  // Waits until it serves windows; false when it ended instead.
  bool Serving(int ATimeOut = 30000) { return WaitFor(QStringLiteral("serving windows at"), ATimeOut); }
  // Waits until the journal holds ACount lines containing AText.
  bool WaitFor(const QString& AText, int ATimeOut = 30000, int ACount = 1) {
    (void)QTest::qWaitFor(
        [&] { return Journal().count(AText) >= ACount || FProcess.state() == QProcess::NotRunning; }, ATimeOut);
    return Journal().count(AText) >= ACount;
  }
  // Its journal as far as it has come.
  QString Journal() {
    QCoreApplication::processEvents();
    FErr.append(FProcess.readAllStandardError());
    return QString::fromLocal8Bit(FErr);
  }
  qint64 PID() const { return FProcess.processId(); }
  bool Running() const { return FProcess.state() == QProcess::Running; }
  void Kill() {
    FProcess.kill(); // SIGKILL: no clean-up at all
    FProcess.waitForFinished(10000);
  }
  // SIGTERM; the exit status, or -1 when it did not end.
  int Terminate(int ATimeOut = 10000) {
    FProcess.terminate();
    if (!FProcess.waitForFinished(ATimeOut)) return -1;
    Journal();
    return FProcess.exitStatus() == QProcess::NormalExit ? FProcess.exitCode() : -1;
  }
  // Waits for it to end by itself; its exit status.
  int Finished(int ATimeOut = 30000) {
    if (!FProcess.waitForFinished(ATimeOut)) return -1;
    Journal();
    return FProcess.exitCode();
  }

private:
  QProcess FProcess;
  QByteArray FErr;
};

// A controller's row: its name, its address, whether it is polled and the
// ID of its line.
struct StationController {
  QString Name;
  int Address = 0;
  bool Enabled = true;
  int PortID = 1;
};

// A station's configuration in the open database: one serial line at ALink
// (ABaud baud, 8 data bits, no parity, one stop bit) named ALineName, and
// its controllers.
inline void WriteStation(const QString& ALink, const QString& ALineName,
                         const std::vector<StationController>& AControllers, int ABaud = 9600) {
  TSQLiteDatabase* db = GetDatabase();
  TSQLiteParamList params;
  params.SetParamValues(":Name", ALineName);
  params.SetParamValues(":PortName", ALink);
  params.SetParamValues(":BaudRate", ABaud);
  db->ExecSQL(QStringLiteral("INSERT INTO DevicePort (Name, PortType, PortName, BaudRate, DataBits, StopBits, Parity) "
                             "VALUES (:Name, 1, :PortName, :BaudRate, 8, 0, 0)"),
              &params);
  for (const StationController& controller : AControllers) {
    TSQLiteParamList row;
    row.SetParamValues(":Name", controller.Name);
    row.SetParamValues(":PortID", controller.PortID);
    row.SetParamValues(":Address", controller.Address);
    row.SetParamValues(":Enabled", controller.Enabled ? -1 : 0);
    db->ExecSQL(QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address, Enabled) "
                               "VALUES (:Name, :PortID, :Address, :Enabled)"),
                &row);
  }
}

// The same with a line "Bus" and a controller "C<n>" at each address.
inline void WriteStation(const QString& ALink, const std::vector<int>& AAddresses, int ABaud = 9600) {
  std::vector<StationController> controllers;
  for (int address : AAddresses) controllers.push_back({QStringLiteral("C%1").arg(address), address});
  WriteStation(ALink, QStringLiteral("Bus"), controllers, ABaud);
}

// Our own plain SQLite connection: what any other program would see.
class RawDatabase {
public:
  explicit RawDatabase(const QString& APath) {
    FOk = sqlite3_open_v2(APath.toUtf8().constData(), &FDb, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    if (FOk) sqlite3_busy_timeout(FDb, 5000);
  }
  ~RawDatabase() { sqlite3_close(FDb); }
  RawDatabase(const RawDatabase&) = delete;
  RawDatabase& operator=(const RawDatabase&) = delete;
  bool Ok() const { return FOk; }
  QString Text(const QString& ASql) const {
    sqlite3_stmt* statement = nullptr;
    QString result = QStringLiteral("<error>");
    if (sqlite3_prepare_v2(FDb, ASql.toUtf8().constData(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
      result = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    sqlite3_finalize(statement);
    return result;
  }
  long long Number(const QString& ASql) const { return Text(ASql).toLongLong(); }
  bool Exec(const QString& ASql) { return sqlite3_exec(FDb, ASql.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK; }

private:
  sqlite3* FDb = nullptr;
  bool FOk = false;
};

// The descriptors of this process that lead to APath.
inline int OpenDescriptorsOf(const QString& APath) {
  int count = 0;
  const QString target = QFileInfo(APath).canonicalFilePath();
  for (const QFileInfo& fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::NoDotAndDotDot))
    if (fd.symLinkTarget() == target) ++count;
  return count;
}

} // namespace tervox_test
