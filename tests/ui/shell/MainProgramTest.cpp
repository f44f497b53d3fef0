// The program as started from a shell: options and the no-display case.
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

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

} // namespace
