#include "DqSound.h"

#include "core/DqRoutine.h"

#include <QAudioOutput>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMediaPlayer>
#include <QPointer>
#include <QThread>
#include <QUrl>

namespace {

Q_LOGGING_CATEGORY(lcSound, "tervox.sound")

QPointer<QMediaPlayer> gPlayer;

bool OnUiThread() {
  const QCoreApplication* application = QCoreApplication::instance();
  return application && QThread::currentThread() == application->thread();
}

// Runs AWork on the UI thread: now when already there, else posted.
template <typename TWork>
bool RunOnUiThread(TWork AWork) {
  QCoreApplication* application = QCoreApplication::instance();
  if (!application) return false;
  if (OnUiThread()) {
    AWork();
  } else {
    QMetaObject::invokeMethod(application, std::move(AWork), Qt::QueuedConnection);
  }
  return true;
}

void CloseSound() {
  if (!gPlayer) return;
  QMediaPlayer* player = gPlayer.data();
  gPlayer.clear();
  player->stop();
  player->setSource(QUrl());
  player->deleteLater();
}

} // namespace

QString AlarmSoundFileName() { return ProgramDataFile(QStringLiteral("Sound/Alarm.mp3")); }

// Looks for a sound server or a playback device without asking the media
// layer, which complains aloud on a machine that has neither.
bool SoundOutputPresent() {
  const QByteArray forced = qgetenv("TERVOX_AUDIO");
  if (forced == "on") return true;
  if (forced == "off") return false;
  if (!qEnvironmentVariableIsEmpty("PULSE_SERVER")) return true;
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && (QFileInfo::exists(runtime + QStringLiteral("/pulse/native")) ||
                             QFileInfo::exists(runtime + QStringLiteral("/pipewire-0"))))
    return true;
  const QDir devices(QStringLiteral("/dev/snd"));
  return !devices.entryList({QStringLiteral("pcmC*D*p")}, QDir::System).isEmpty();
}

QMediaPlayer* SoundPlayer() { return gPlayer.data(); }

void PlaySoundFile(QWidget* AControl, const QString& AFileName, bool ARepeat) {
  Q_UNUSED(AControl);
  RunOnUiThread([AFileName, ARepeat] {
    CloseSound();
    if (!QFileInfo::exists(AFileName)) {
      qCWarning(lcSound) << "sound file missing:" << AFileName;
      return;
    }
    if (!SoundOutputPresent()) {
      qCDebug(lcSound) << "no audio output; not playing" << AFileName;
      return;
    }
    auto* player = new QMediaPlayer(QCoreApplication::instance());
    player->setAudioOutput(new QAudioOutput(player));
    QObject::connect(player, &QMediaPlayer::errorOccurred, player,
                     [](QMediaPlayer::Error, const QString& AText) { qCDebug(lcSound) << AText; });
    player->setLoops(ARepeat ? QMediaPlayer::Infinite : 1);
    player->setSource(QUrl::fromLocalFile(QFileInfo(AFileName).absoluteFilePath()));
    gPlayer = player;
    player->play();
  });
}

void StopSound() { RunOnUiThread([] { CloseSound(); }); }
