// The program as started from a shell: options, the no-display case, and
// the demonstration's simulator, which goes when the program goes.
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct TRun {
  int ExitCode;
  QString Out;
  QString Err;
};

TRun RunTervox(const QStringList& AArguments, const QProcessEnvironment& AEnvironment) {
  QProcess process;
  process.setProcessEnvironment(AEnvironment);
  process.start(qEnvironmentVariable("TERVOX_BIN_DIR") + QStringLiteral("/tervox"), AArguments);
  EXPECT_TRUE(process.waitForFinished(60000));
  return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()),
          QString::fromLocal8Bit(process.readAllStandardError())};
}

QProcessEnvironment WithoutDisplay() {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(QString::fromLatin1(name));
  return environment;
}

TEST(MainProgram, WithoutADisplayItSaysSoAndPointsToXvfb) {
  if (qEnvironmentVariableIsEmpty("TERVOX_BIN_DIR")) GTEST_SKIP() << "run through ctest";
  const TRun run = RunTervox({}, WithoutDisplay());
  EXPECT_EQ(run.ExitCode, 2);
  const QStringList lines = run.Err.trimmed().split(QLatin1Char('\n'));
  ASSERT_EQ(lines.size(), 1) << run.Err.toStdString();
  EXPECT_TRUE(lines[0].contains(QStringLiteral("no display"))) << run.Err.toStdString();
  EXPECT_TRUE(lines[0].contains(QStringLiteral("xvfb-run"))) << run.Err.toStdString();
}

TEST(MainProgram, HelpAndBadOptionsNeedNoDisplay) {
  if (qEnvironmentVariableIsEmpty("TERVOX_BIN_DIR")) GTEST_SKIP() << "run through ctest";
  const TRun help = RunTervox({QStringLiteral("--help")}, WithoutDisplay());
  EXPECT_EQ(help.ExitCode, 0);
  EXPECT_TRUE(help.Out.contains(QStringLiteral("--database <FILE>"))) << help.Out.toStdString();
  EXPECT_TRUE(help.Out.contains(QStringLiteral("Usage: tervox"))) << help.Out.toStdString();
  const TRun bad = RunTervox({QStringLiteral("--databse"), QStringLiteral("x")}, WithoutDisplay());
  EXPECT_EQ(bad.ExitCode, 2);
  EXPECT_TRUE(bad.Err.contains(QStringLiteral("databse"))) << bad.Err.toStdString();
}

// A process's name, state and parent from /proc; an empty name when it is
// gone.
struct TProcessInfo {
  QByteArray Name;
  char State = 0;
  qint64 Parent = 0;
};

TProcessInfo ProcessInfo(qint64 APid) {
  QFile file(QStringLiteral("/proc/%1/stat").arg(APid));
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray text = file.readAll();
  const qsizetype open = text.indexOf('('), close = text.lastIndexOf(')');
  if (open < 0 || close < open) return {};
  const QList<QByteArray> rest = text.mid(close + 2).split(' ');
  const QByteArray state = rest.value(0);
  return {text.mid(open + 1, close - open - 1), state.isEmpty() ? '?' : state[0], rest.value(1).toLongLong()};
}

// Running: there and not a zombie waiting for its new parent to reap it.
bool Running(qint64 APid) {
  const TProcessInfo info = ProcessInfo(APid);
  return !info.Name.isEmpty() && info.State != 'Z';
}

// The running tervox-sim whose parent is AParent, 0 when there is none.
qint64 SimulatorChildOf(qint64 AParent) {
  for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    bool number = false;
    const qint64 pid = entry.toLongLong(&number);
    if (!number) continue;
    const TProcessInfo info = ProcessInfo(pid);
    if (info.Name == "tervox-sim" && info.Parent == AParent && info.State != 'Z') return pid;
  }
  return 0;
}

// `tervox --demo` runs tervox-sim as its child; however the program ends
// (terminated, or killed with no chance to clean up), the child goes too.
TEST(MainProgram, TheDemonstrationsSimulatorEndsWithTheProgram) {
  if (qEnvironmentVariableIsEmpty("TERVOX_BIN_DIR")) GTEST_SKIP() << "run through ctest";
  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "terminated");
    tervox_test::TempDir temp; // the demonstration's folder, left behind by a killed program
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("TMPDIR"), temp.Root());
    environment.remove(QStringLiteral("TERVOX_PORT_DIR"));
    QProcess tervox;
    tervox.setProcessEnvironment(environment);
    tervox.start(qEnvironmentVariable("TERVOX_BIN_DIR") + QStringLiteral("/tervox"), {QStringLiteral("--demo")});
    ASSERT_TRUE(tervox.waitForStarted(30000));
    // Up: the child serves its control pipes.
    qint64 child = 0;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          const QStringList ready = QDir(temp.Root()).entryList({QStringLiteral("tervox-demo-*")}, QDir::Dirs);
          child = SimulatorChildOf(tervox.processId());
          return child && !ready.isEmpty() &&
                 QFile::exists(temp.Path(ready[0] + QStringLiteral("/ttyGSM0.ctl")));
        },
        60000))
        << tervox.readAllStandardError().constData();
    if (killed)
      tervox.kill();
    else
      tervox.terminate();
    ASSERT_TRUE(tervox.waitForFinished(30000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Running(child); }, 30000)) << "tervox-sim " << child << " outlived tervox";
    if (Running(child) && ProcessInfo(child).Name == "tervox-sim") ::kill(static_cast<pid_t>(child), SIGKILL);
  }
}

} // namespace
