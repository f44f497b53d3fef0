// The Debian package as scripts/package makes it (built once for these
// tests by the CTest fixture): what it holds and with which rights, that
// each program runs from a tree the package was extracted to, the desktop
// entry and icons, maintainer scripts that start nothing, and lintian.
#include "TestSupport.h"
#include "TervoxVersion.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace {

struct TResult {
  int Exit = -1;
  QString Out; // standard output, then standard error
  QString StdOut;
};

TResult Execute(const QString& AProgram, const QStringList& AArguments, const QString& AInput = QString()) {
  QProcess process;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  process.setProcessEnvironment(env);
  process.start(AProgram, AArguments);
  if (!AInput.isEmpty()) process.write(AInput.toUtf8());
  process.closeWriteChannel();
  EXPECT_TRUE(process.waitForFinished(240000)) << AProgram.toStdString();
  const QString out = QString::fromUtf8(process.readAllStandardOutput());
  return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
          out + QString::fromUtf8(process.readAllStandardError()), out};
}

QStringList Programs() {
  QStringList programs{QStringLiteral("tervox"), QStringLiteral("tervox-db"), QStringLiteral("tervox-sim")};
#ifdef TERVOX_HAS_RECORDER
  programs << QStringLiteral("tervox-recorder");
#endif
  return programs;
}

class DebianPackage : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    const QDir folder(qEnvironmentVariable("TERVOX_DEB_DIR"));
    const QStringList debs = folder.entryList({QStringLiteral("tervox_*.deb")}, QDir::Files, QDir::Time);
    ASSERT_FALSE(debs.isEmpty()) << folder.path().toStdString();
    gDeb = folder.filePath(debs.first());
  }
  static QString gDeb;
  tervox_test::TempDir root;
};
QString DebianPackage::gDeb;

// tervox_3.0_amd64.deb, with every file an install has, owned by root,
// programs 0755, the rest 0644.
TEST_F(DebianPackage, HoldsEveryPartWithItsRights) {
  EXPECT_EQ(QFileInfo(gDeb).fileName(), QStringLiteral("tervox_%1_amd64.deb").arg(QLatin1String(kTervoxVersion)));
  const TResult listing = Execute(QStringLiteral("dpkg-deb"), {QStringLiteral("--contents"), gDeb});
  ASSERT_EQ(listing.Exit, 0) << listing.Out.toStdString();
  QMap<QString, QString> files; // path -> "mode owner"
  static const QRegularExpression line(QStringLiteral("^(\\S+) (\\S+)\\s+\\d+ \\S+ \\S+ \\./(\\S+)$"),
                                       QRegularExpression::MultilineOption);
  for (auto it = line.globalMatch(listing.Out); it.hasNext();) {
    const auto match = it.next();
    if (!match.captured(3).endsWith(QLatin1Char('/'))) files[match.captured(3)] = match.captured(1) + QLatin1Char(' ') + match.captured(2);
  }
  QMap<QString, QString> expected;
  for (const QString& program : Programs()) expected[QStringLiteral("usr/bin/") + program] = QStringLiteral("-rwxr-xr-x root/root");
  const QStringList data = {
      QStringLiteral("usr/share/applications/tervox.desktop"),
      QStringLiteral("usr/share/icons/hicolor/48x48/apps/tervox.png"),
      QStringLiteral("usr/share/icons/hicolor/128x128/apps/tervox.png"),
      QStringLiteral("usr/share/icons/hicolor/256x256/apps/tervox.png"),
      QStringLiteral("usr/share/icons/hicolor/scalable/apps/tervox.svg"),
      QStringLiteral("usr/share/man/man1/tervox.1.gz"),
      QStringLiteral("usr/share/man/man1/tervox-db.1.gz"),
      QStringLiteral("usr/share/man/man1/tervox-sim.1.gz"),
      QStringLiteral("usr/share/tervox/Sound/Alarm.mp3"),
      QStringLiteral("usr/share/doc/tervox/copyright"),
      QStringLiteral("usr/share/doc/tervox/changelog.gz"),
      QStringLiteral("usr/share/doc/tervox/README.md"),
#ifdef TERVOX_HAS_RECORDER
      QStringLiteral("usr/share/man/man8/tervox-recorder.8.gz"),
      QStringLiteral("usr/lib/systemd/system/tervox-recorder.service"),
      QStringLiteral("usr/lib/sysusers.d/tervox.conf"),
#endif
  };
  for (const QString& file : data) expected[file] = QStringLiteral("-rw-r--r-- root/root");
  EXPECT_EQ(files, expected);
}

// Extracted into a folder of its own, each program runs from there and
// says its version; the programs find their data in that tree.
TEST_F(DebianPackage, EveryProgramRunsFromAnExtractedTree) {
  ASSERT_EQ(Execute(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), gDeb, root.Root()}).Exit, 0);
  for (const QString& program : Programs()) {
    const TResult version = Execute(root.Path(QStringLiteral("usr/bin/") + program), {QStringLiteral("--version")});
    EXPECT_EQ(version.Exit, 0) << program.toStdString();
    EXPECT_EQ(version.StdOut, QStringLiteral("%1 %2\n").arg(program, QLatin1String(kTervoxVersion)));
  }
  // The alarm sound lies where an installed program looks: ../share/tervox.
  EXPECT_TRUE(QFileInfo::exists(root.Path(QStringLiteral("usr/bin/../share/tervox/Sound/Alarm.mp3"))));
  // The database tool works on its own from the tree.
  const TResult create = Execute(root.Path(QStringLiteral("usr/bin/tervox-db")),
                             {QStringLiteral("--database"), root.Path(QStringLiteral("t/Tervox.db")), QStringLiteral("create")});
  EXPECT_EQ(create.Exit, 0) << create.Out.toStdString();
  EXPECT_EQ(tervox_test::FileMode(root.Path(QStringLiteral("t/Tervox.db"))), 0600);

  // The menu entry is valid and names the program and icon it ships.
  const QString desktop = root.Path(QStringLiteral("usr/share/applications/tervox.desktop"));
  if (!QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate")).isEmpty()) {
    const TResult valid = Execute(QStringLiteral("desktop-file-validate"), {desktop});
    EXPECT_EQ(valid.Exit, 0) << valid.Out.toStdString();
    EXPECT_EQ(valid.Out, QString());
  }
  const QString entry = QString::fromUtf8(tervox_test::ReadFileBytes(desktop));
  EXPECT_TRUE(entry.contains(QStringLiteral("\nExec=tervox\n")));
  EXPECT_TRUE(entry.contains(QStringLiteral("\nIcon=tervox\n")));
  for (int size : {48, 128, 256}) {
    const QImage icon(root.Path(QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/tervox.png").arg(size)));
    EXPECT_EQ(icon.size(), QSize(size, size));
    EXPECT_TRUE(icon.hasAlphaChannel());
  }
}

// Dependencies come from the binaries; the maintainer scripts make the
// service's user in dialout and enable or start nothing.
TEST_F(DebianPackage, DependsOnItsLibrariesAndStartsNothing) {
  const TResult control = Execute(QStringLiteral("dpkg-deb"), {QStringLiteral("--field"), gDeb, QStringLiteral("Depends")});
  for (const char* library : {"libqt6widgets6", "libqt6multimedia6", "libsqlite3-0", "libsodium23", "libgif7", "libxlsxwriter4", "libc6"})
    EXPECT_TRUE(control.Out.contains(QLatin1String(library))) << library << ": " << control.Out.toStdString();
  const QString scripts = root.Path(QStringLiteral("control"));
  ASSERT_EQ(Execute(QStringLiteral("dpkg-deb"), {QStringLiteral("--control"), gDeb, scripts}).Exit, 0);
  const QString postinst = QString::fromUtf8(tervox_test::ReadFileBytes(scripts + QStringLiteral("/postinst")));
  EXPECT_TRUE(postinst.contains(QStringLiteral("adduser --quiet tervox dialout")));
  for (const char* name : {"postinst", "prerm", "postrm"}) {
    const QString path = scripts + QLatin1Char('/') + QLatin1String(name);
    EXPECT_EQ(tervox_test::FileMode(path), 0755) << name;
    const QString text = QString::fromUtf8(tervox_test::ReadFileBytes(path));
    for (const char* starting : {"systemctl enable", "systemctl start", "systemctl restart", "deb-systemd-helper enable",
                                 "invoke start", "invoke restart"})
      EXPECT_FALSE(text.contains(QLatin1String(starting))) << name << ": " << starting;
    EXPECT_EQ(Execute(QStringLiteral("sh"), {QStringLiteral("-n"), path}).Exit, 0) << name;
  }
}

TEST_F(DebianPackage, LintianFindsNoError) {
  if (QStandardPaths::findExecutable(QStringLiteral("lintian")).isEmpty()) GTEST_SKIP() << "lintian is not installed";
  const TResult lintian = Execute(QStringLiteral("lintian"), {QStringLiteral("--fail-on"), QStringLiteral("error,warning"), gDeb});
  EXPECT_EQ(lintian.Exit, 0) << lintian.Out.toStdString();
}

} // namespace
