// A recorder killed while it records (the OOM killer, kill -9): what was
// committed stays, the file stays whole, and the next run records on. The
// kernel keeps what the killed process wrote, so this shows nothing of a
// power cut, which also loses what never reached the disk.
#include "store/DqSQLite.h"
#include "sim/Sim_ControllerLine.h"
#include "StationTestSupport.h"
#include "TestSupport.h"
#include "store/Main_Database.h"

#include <QDir>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

constexpr int kControllers = 32;

class Recorder {
public:
  explicit Recorder(const QString& ADatabase) {
    FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FProcess.start(QDir(qEnvironmentVariable("TERVOX_BIN_DIR")).filePath(QStringLiteral("tervox_test_recorder")),
                   {ADatabase});
  }
  ~Recorder() {
    if (FProcess.state() != QProcess::NotRunning) Kill();
  }
  bool Started() { return FProcess.waitForReadyRead(30000) && FProcess.readAll().contains("recording"); }
  void Kill() {
    FProcess.kill(); // SIGKILL: no handler, no clean-up, no last commit
    FProcess.waitForFinished(10000);
  }

private:
  QProcess FProcess;
};

TEST(KillWhileRecording, CommittedRowsSurviveAKilledRecorderAndTheNextRunRecordsOn) {
  tervox_test::TempDir dir;
  std::vector<int> addresses;
  for (int i = 1; i <= kControllers; ++i) addresses.push_back(i);
  TSimControllerLine line(dir.Path(QStringLiteral("BUS")), addresses, 115200);
  QString error;
  ASSERT_TRUE(line.Start(&error)) << error.toStdString();

  // The station's configuration, written through TERVOX's own bootstrap.
  const QString path = dir.Path(QStringLiteral("station.db"));
  SetDatabaseFileName(path);
  tervox_test::WriteStation(line.LinkPath(), addresses, 115200);
  FreeDatabase();
  SetDatabaseFileName(QString());

  tervox_test::RawDatabase raw(path);
  ASSERT_TRUE(raw.Ok());
  auto rows = [&] { return raw.Number("SELECT count(*) FROM DeviceData"); };
  // Killed three times, each at a moment when rows are being written.
  for (int round = 0; round < 3; ++round) {
    Recorder recorder(path);
    ASSERT_TRUE(recorder.Started()) << "round " << round;
    const long long before = rows();
    ASSERT_TRUE(QTest::qWaitFor([&] { return rows() >= before + 2 * kControllers; }, 60000)) << "round " << round;
    const long long count = rows();
    ASSERT_TRUE(QTest::qWaitFor([&] { return rows() != count; }, 10000)); // in the middle of writing
    recorder.Kill();

    EXPECT_EQ(raw.Text("PRAGMA integrity_check"), QStringLiteral("ok")) << "round " << round;
    const long long after = rows();
    EXPECT_GE(after, count) << "a committed row was lost in round " << round;
  }
  const long long seen = raw.Number("SELECT max(rowid) FROM DeviceData");

  // The next run records every controller again.
  Recorder next(path);
  ASSERT_TRUE(next.Started());
  const QByteArray perController =
      QStringLiteral("SELECT count(DISTINCT DeviceID) FROM DeviceData WHERE rowid > %1 AND PV <> 32767").arg(seen).toUtf8();
  EXPECT_TRUE(QTest::qWaitFor([&] { return raw.Number(perController.constData()) == kControllers; }, 60000))
      << raw.Number(perController.constData()) << " of " << kControllers << " controllers recorded after the kills";
  next.Kill();
  EXPECT_EQ(raw.Text("PRAGMA integrity_check"), QStringLiteral("ok"));
}

} // namespace
