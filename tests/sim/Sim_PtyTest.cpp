// The simulator's fallback folder for its port links in the shared
// temporary folder: made for the user alone, and refused, by the simulator
// and by the program's port list alike, when another user made it first or
// others may enter it.
#include "comm/DqPort.h"
#include "sim/Sim_Pty.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// No port folder named: the fallback lies in a temporary folder of the
// test's own (TMPDIR), so that its owner and rights can be set.
class FallbackFolder : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char* name : {"TERVOX_PORT_DIR", "XDG_RUNTIME_DIR", "TMPDIR"}) {
      FSaved.push_back({name, qgetenv(name), qEnvironmentVariableIsSet(name)});
      qunsetenv(name);
    }
    qputenv("TMPDIR", FTemp.Root().toLocal8Bit());
  }
  void TearDown() override {
    for (const auto& saved : FSaved) {
      if (saved.Set) qputenv(saved.Name, saved.Value);
      else qunsetenv(saved.Name);
    }
  }
  QString Folder() const { return FTemp.Path(QStringLiteral("tervox-%1").arg(getuid())); }

  tervox_test::TempDir FTemp;

private:
  struct TSaved {
    const char* Name;
    QByteArray Value;
    bool Set;
  };
  std::vector<TSaved> FSaved;
};

TEST_F(FallbackFolder, MadePrivateAndRefusedWhenOthersCouldUseIt) {
  const QByteArray folder = QFile::encodeName(Folder());
  const QByteArray elsewhere = QFile::encodeName(FTemp.Path(QStringLiteral("elsewhere")));
  const struct {
    const char* name;
    std::function<void()> prepare;
    bool usable;
  } cases[] = {
      {"absent: made for the user alone", [] {}, true},
      {"the user's own, closed to others", [&] { ::mkdir(folder.constData(), 0700); }, true},
      {"open to others", [&] { ::mkdir(folder.constData(), 0755); }, false},
      {"writable by all", [&] {
         ::mkdir(folder.constData(), 0700);
         ::chmod(folder.constData(), 01777);
       }, false},
      {"another user's", [&] {
         ::mkdir(folder.constData(), 0700);
         if (::chown(folder.constData(), 65534, 65534) != 0) ADD_FAILURE() << "chown";
       }, false},
      {"a link to a private folder", [&] {
         ::mkdir(elsewhere.constData(), 0700);
         if (::symlink(elsewhere.constData(), folder.constData()) != 0) ADD_FAILURE() << "symlink";
       }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QDir(Folder()).removeRecursively();
    ::unlink(folder.constData());
    QDir(QFile::decodeName(elsewhere)).removeRecursively();
    if (geteuid() != 0 && QByteArray(c.name) == "another user's") continue;
    c.prepare();
    EXPECT_EQ(TSimPty::PortDir(), Folder());
    TSimPty pty(QStringLiteral("ttyFALL0"));
    QString error;
    EXPECT_EQ(pty.Open(&error), c.usable) << error.toStdString();
    // A link planted there as another user would.
    const QString planted = Folder() + QStringLiteral("/ttyPLANT0");
    if (!c.usable) {
      EXPECT_TRUE(error.contains(Folder())) << error.toStdString();
      EXPECT_FALSE(QFileInfo(Folder() + QStringLiteral("/ttyFALL0")).isSymLink());
      (void)::symlink("/dev/null", QFile::encodeName(planted).constData());
    } else {
      EXPECT_EQ(tervox_test::FileMode(Folder()), 0700);
      EXPECT_TRUE(QFileInfo(pty.LinkPath()).isSymLink());
    }
    QStringList ports;
    ListComPorts(ports, true);
    EXPECT_EQ(ports.contains(pty.LinkPath()), c.usable) << ports.join(QLatin1Char(' ')).toStdString();
    EXPECT_FALSE(ports.contains(planted));
    EXPECT_EQ(DqPortDevicePath(QStringLiteral("ttyPLANT0")), QStringLiteral("/dev/ttyPLANT0"));
    pty.Close();
    ::unlink(QFile::encodeName(planted).constData());
  }
}

} // namespace
