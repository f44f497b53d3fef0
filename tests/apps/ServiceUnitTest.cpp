// The service files as systemd reads them: the unit passes
// systemd-analyze verify without a word about it, and sysusers makes the
// service's user in the serial lines' group.
#include "TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace {

QString SourceFile(const char* APath) { return QDir(QStringLiteral(TERVOX_SOURCE_DIR)).filePath(QString::fromLatin1(APath)); }

struct TRun {
  bool Ran = false;
  int ExitCode = -1;
  QString Err;
};

TRun RunTool(const QString& AProgram, const QStringList& AArguments) {
  QProcess process;
  process.start(AProgram, AArguments);
  TRun run;
  run.Ran = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
  run.ExitCode = process.exitCode();
  run.Err = QString::fromLocal8Bit(process.readAllStandardError() + process.readAllStandardOutput());
  return run;
}

TEST(ServiceUnit, SystemdAnalyzeVerifyAcceptsIt) {
  const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
  if (analyze.isEmpty()) GTEST_SKIP() << "systemd-analyze is missing: scripts/setup installs the systemd package";
  const QString unit = QString::fromUtf8(tervox_test::ReadFileBytes(SourceFile("packaging/systemd/tervox-recorder.service")));
  for (const char* line : {"Type=notify", "WatchdogSec=", "Restart=on-failure", "User=tervox", "SupplementaryGroups=dialout",
                           "StateDirectory=tervox", "NoNewPrivileges=yes", "ProtectSystem=strict", "PrivateTmp=yes",
                           "ExecStart=/usr/bin/tervox-recorder --database /var/lib/tervox/Tervox.db"})
    EXPECT_TRUE(unit.contains(QString::fromLatin1(line))) << line;
  // Checked against the recorder just built: verify insists that the
  // program exists.
  tervox_test::TempDir dir;
  const QString copy = dir.Path(QStringLiteral("tervox-recorder.service"));
  QString built = unit;
  built.replace(QStringLiteral("ExecStart=/usr/bin/tervox-recorder"),
                QStringLiteral("ExecStart=") + QDir(qEnvironmentVariable("TERVOX_BIN_DIR")).filePath(QStringLiteral("tervox-recorder")));
  tervox_test::WriteFileBytes(copy, built.toUtf8());
  const TRun run = RunTool(analyze, {QStringLiteral("verify"), QStringLiteral("--man=no"), copy});
  if (!run.Ran) GTEST_SKIP() << "systemd-analyze cannot run here: " << run.Err.toStdString();
  EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();
  // Warnings (an unknown key, a bad value) do not change the exit status.
  EXPECT_FALSE(run.Err.contains(QStringLiteral("tervox-recorder.service"))) << run.Err.toStdString();
}

TEST(ServiceUnit, SysusersMakesTheUserInTheDialoutGroup) {
  const QString sysusers = QStandardPaths::findExecutable(QStringLiteral("systemd-sysusers"));
  if (sysusers.isEmpty()) GTEST_SKIP() << "systemd-sysusers is missing: scripts/setup installs the systemd package";
  tervox_test::TempDir root;
  ASSERT_TRUE(QDir().mkpath(root.Path(QStringLiteral("etc"))));
  for (const char* file : {"etc/passwd", "etc/group", "etc/shadow", "etc/gshadow"})
    tervox_test::WriteFileBytes(root.Path(QString::fromLatin1(file)), {});
  const TRun run = RunTool(sysusers, {QStringLiteral("--root=") + root.Root(), SourceFile("packaging/sysusers.d/tervox.conf")});
  ASSERT_TRUE(run.Ran) << run.Err.toStdString();
  ASSERT_EQ(run.ExitCode, 0) << run.Err.toStdString();
  const QStringList users = QString::fromUtf8(tervox_test::ReadFileBytes(root.Path(QStringLiteral("etc/passwd")))).split(QLatin1Char('\n'));
  const QStringList groups = QString::fromUtf8(tervox_test::ReadFileBytes(root.Path(QStringLiteral("etc/group")))).split(QLatin1Char('\n'));
  const QStringList user = users.filter(QRegularExpression(QStringLiteral("^tervox:"))).value(0).split(QLatin1Char(':'));
  ASSERT_EQ(user.size(), 7) << users.join(QLatin1Char('|')).toStdString();
  EXPECT_EQ(user[5], QStringLiteral("/var/lib/tervox"));
  EXPECT_EQ(user[6], QStringLiteral("/usr/sbin/nologin"));
  EXPECT_EQ(groups.filter(QRegularExpression(QStringLiteral("^tervox:"))).size(), 1);
  EXPECT_TRUE(groups.filter(QRegularExpression(QStringLiteral("^dialout:"))).value(0).endsWith(QStringLiteral(":tervox")))
      << groups.join(QLatin1Char('|')).toStdString();
}

} // namespace
