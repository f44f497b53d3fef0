// The alarm sound routines with the sound file the build makes.
#include "widgets/DqSound.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMediaPlayer>
#include <QPointer>
#include <QStringList>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>


namespace {

QString AlarmFile() {
  return QString::fromLocal8Bit(qgetenv("TERVOX_BIN_DIR")) + QStringLiteral("/Sound/Alarm.mp3");
}

// Sets $TERVOX_AUDIO while it lives.
class TAudio {
public:
  explicit TAudio(const char* AValue) { setenv("TERVOX_AUDIO", AValue, 1); }
  ~TAudio() {
    StopSound();
    QTest::qWait(10);
    unsetenv("TERVOX_AUDIO");
  }
};

// Warnings and worse logged while it lives.
class TWarnings {
public:
  TWarnings() { FPrevious = qInstallMessageHandler(&TWarnings::Handler); }
  ~TWarnings() { qInstallMessageHandler(FPrevious); }
  static QStringList Take() {
    std::lock_guard<std::mutex> guard(FLock);
    return std::exchange(FSeen, {});
  }

private:
  static void Handler(QtMsgType AType, const QMessageLogContext&, const QString& AText) {
    if (AType == QtDebugMsg || AType == QtInfoMsg) return;
    std::lock_guard<std::mutex> guard(FLock);
    FSeen << AText;
  }
  static inline std::mutex FLock;
  static inline QStringList FSeen;
  QtMessageHandler FPrevious = nullptr;
};

TEST(DqSound, TheBuildPutsTheAlarmBesideThePrograms) {
  const QFileInfo file(AlarmFile());
  ASSERT_TRUE(file.exists()) << qPrintable(file.filePath());
  EXPECT_GT(file.size(), 4000);
  EXPECT_TRUE(AlarmSoundFileName().endsWith(QLatin1String("/Sound/Alarm.mp3")));
}

TEST(DqSound, WithoutAnAudioOutputNothingPlaysAndNothingIsLogged) {
  TAudio audio("off");
  TWarnings warnings;
  EXPECT_FALSE(SoundOutputPresent());
  PlaySoundFile(nullptr, AlarmFile(), true);
  std::thread worker([] { PlaySoundFile(nullptr, AlarmFile(), true); });
  worker.join();
  QTest::qWait(100);
  EXPECT_EQ(SoundPlayer(), nullptr);
  StopSound();
  EXPECT_EQ(TWarnings::Take(), QStringList());
}

// With an output (forced here: the test machines have none, the media
// layer then plays into nothing) the sound loops until stopped; a second
// sound replaces the first; a call from a worker is carried out on the UI
// thread.
TEST(DqSound, LoopsUntilStoppedAndReplacesThePreviousSound) {
  TAudio audio("on");
  PlaySoundFile(nullptr, AlarmFile(), true);
  QPointer<QMediaPlayer> first = SoundPlayer();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->loops(), QMediaPlayer::Infinite);
  ASSERT_TRUE(QTest::qWaitFor([&] { return first && first->duration() > 0; }, 20000));
  EXPECT_NEAR(static_cast<double>(first->duration()), 2400.0, 300.0);
  EXPECT_EQ(first->playbackState(), QMediaPlayer::PlayingState);
  // Past the end and round again.
  ASSERT_TRUE(QTest::qWaitFor([&] { return first && first->position() > 1800; }, 30000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return first && first->position() < 1000; }, 30000));
  EXPECT_EQ(first->playbackState(), QMediaPlayer::PlayingState);

  std::thread worker([] { PlaySoundFile(nullptr, AlarmFile(), false); });
  worker.join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return SoundPlayer() != nullptr && SoundPlayer() != first.data(); }, 20000));
  EXPECT_EQ(SoundPlayer()->loops(), 1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return first.isNull(); }, 20000));

  QPointer<QMediaPlayer> second = SoundPlayer();
  StopSound();
  EXPECT_EQ(SoundPlayer(), nullptr);
  EXPECT_TRUE(QTest::qWaitFor([&] { return second.isNull(); }, 20000));
}

TEST(DqSound, AMissingFileIsReportedAndNothingPlays) {
  TAudio audio("on");
  TWarnings warnings;
  PlaySoundFile(nullptr, AlarmFile() + QStringLiteral(".none"), true);
  EXPECT_EQ(SoundPlayer(), nullptr);
  const QStringList seen = TWarnings::Take();
  ASSERT_EQ(seen.size(), 1);
  EXPECT_TRUE(seen[0].contains(QLatin1String("sound file missing")));
}

} // namespace
