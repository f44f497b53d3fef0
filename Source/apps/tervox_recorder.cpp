// tervox-recorder: records a database's controllers without a screen or a
// login, as a system service; windows attach to it through its socket.
#include "core/DqRoutine.h"
#include "store/Main_Database.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_Engine.h"
#include "station/Tervox_Recorder.h"
#include "store/Tervox_StationLock.h"
#include "plant/Tervox_User.h"
#include "trust/Tervox_Audit.h"
#include "TervoxVersion.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <systemd/sd-daemon.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

const char* const kUsage =
    "Usage: tervox-recorder [--database FILE]\n"
    "\n"
    "Polls and records every enabled controller of a TERVOX database without a\n"
    "screen or a login: history rows, alarms, lost-connection alerts, usage-log\n"
    "lines and alarm SMS through the modem of the SMS options. Windows started\n"
    "on the same database attach to it instead of polling. Logs to standard\n"
    "error; stops on SIGTERM or SIGINT. Exit status 1 when another process\n"
    "records the database already.\n"
    "\n"
    "Options:\n"
    "  --database FILE  use FILE instead of Tervox.db in the data directory\n"
    "                   ($TERVOX_DATA_DIR, else $XDG_DATA_HOME/tervox,\n"
    "                   else ~/.local/share/tervox)\n"
    "  --help           show this text\n"
    "  --version        show the version\n";

// Under the journal, each line carries its priority ("<4>..."), which
// journald reads; on a terminal the lines stay plain.
bool gJournal = false;

void Log(int APriority, const QString& AText) {
  const QByteArray text = AText.toLocal8Bit();
  if (gJournal)
    std::fprintf(stderr, "<%d>%s\n", APriority, text.constData());
  else
    std::fprintf(stderr, "tervox-recorder: %s\n", text.constData());
  std::fflush(stderr);
}

int Usage(const QString& AProblem) {
  std::fprintf(stderr, "tervox-recorder: %s\n\n%s", qPrintable(AProblem), kUsage);
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  // Archive runs and retention passes are the recorder's own doing.
  SetActingUser(QString::fromLatin1(TervoxAudit::kRecorder));
  gJournal = !qEnvironmentVariableIsEmpty("JOURNAL_STREAM");
  // Qt's own warnings (a worker's failure, a database problem) go the same way.
  qInstallMessageHandler([](QtMsgType AType, const QMessageLogContext&, const QString& AText) {
    QString text = AText;
    if (text.startsWith(QLatin1String("TERVOX: "))) text = text.mid(8);
    Log(AType == QtCriticalMsg || AType == QtFatalMsg ? 3 : AType == QtWarningMsg ? 4 : 6, text);
    if (AType == QtFatalMsg) std::abort();
  });
  // Signals arrive as readable data on the main thread, never inside a
  // worker: blocked here, before any thread starts, they stay blocked in all.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("tervox-recorder"));
  QString databaseFile;
  const QStringList args = QCoreApplication::arguments().mid(1);
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& arg = args.at(i);
    if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == QLatin1String("--version")) {
      std::printf("tervox-recorder %s\n", kTervoxVersion);
      return 0;
    }
    if (arg == QLatin1String("--database")) {
      if (i + 1 >= args.size()) return Usage(QStringLiteral("--database needs a file name"));
      databaseFile = args.at(++i);
    } else if (arg.startsWith(QLatin1String("--database="))) {
      databaseFile = arg.mid(11);
    } else {
      return Usage(QStringLiteral("unknown argument %1").arg(arg));
    }
  }
  if (!databaseFile.isEmpty()) SetDatabaseFileName(databaseFile);
  const QString database = GetDatabaseFileName();
  if (!MakeDataDirectory(QFileInfo(database).absolutePath())) {
    Log(3, QStringLiteral("cannot create the folder of %1").arg(database));
    return 1;
  }

  // Before any port opens: one process records a database.
  const QString socket = TTervoxStationLock::SocketFileName(database);
  TTervoxStationLock lock(database);
  QString lockError;
  if (!lock.Acquire(QStringLiteral("tervox-recorder"), socket, &lockError)) {
    if (!lockError.isEmpty()) {
      Log(3, lockError);
      return 1;
    }
    const TTervoxStationHolder holder = TTervoxStationLock::OtherHolder(database);
    const QString who = holder.PID > 0 ? QStringLiteral("process %1 (%2)").arg(holder.PID).arg(holder.Program)
                                       : QStringLiteral("another process");
    Log(3, QStringLiteral("%1 is already recorded by %2; this recorder does not start").arg(database, who));
    return 1;
  }

  int result = 0;
  {
    TTervoxRecorder recorder(Log);
    try {
      GetDatabase();
      Config();
      CreateUserObjects();
      CreateEngineObjects();
      QString error;
      if (!recorder.Start(socket, &error)) throw EDqException(error);
    } catch (const EDqException& e) {
      QString text = e.Message();
      text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
      Log(3, QStringLiteral("cannot record %1: %2").arg(database, text));
      recorder.Stop();
      FreeEngineObjects();
      FreeDatabase();
      FreeUserObjects();
      return 1;
    }
    Log(6, QStringLiteral("serving windows at %1 (process %2)").arg(socket).arg(::getpid()));

    const int signalHandle = ::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    QSocketNotifier notifier(signalHandle, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [signalHandle] {
      signalfd_siginfo info{};
      if (::read(signalHandle, &info, sizeof info) > 0)
        Log(6, QStringLiteral("stopping on %1").arg(info.ssi_signo == SIGINT ? QStringLiteral("SIGINT")
                                                                              : QStringLiteral("SIGTERM")));
      QCoreApplication::quit();
    });

    // The service manager restarts a recorder whose lines stopped reading:
    // the watchdog is fed only while every line finished a read lately.
    QTimer watchdog;
    std::uint64_t watchdogUsec = 0;
    if (sd_watchdog_enabled(0, &watchdogUsec) > 0 && watchdogUsec > 0) {
      const auto limit = std::chrono::milliseconds(std::max<std::uint64_t>(watchdogUsec / 1000, 2000));
      QObject::connect(&watchdog, &QTimer::timeout, &app, [&recorder, limit] {
        if (recorder.LinesAlive(limit)) sd_notify(0, "WATCHDOG=1");
      });
      watchdog.start(static_cast<int>(std::max<std::uint64_t>(watchdogUsec / 2000, 100)));
    }
    sd_notifyf(0, "READY=1\nSTATUS=Recording %s\nMAINPID=%d", qPrintable(database), static_cast<int>(::getpid()));
    const auto stationEntry = [](const char* AAction) {
      return TervoxAudit::TEntry{QString::fromLatin1(TervoxAudit::kRecorder), TervoxAudit::kStation,
                                 QStringLiteral("tervox-recorder"), 0, QString::fromLatin1(AAction), {}, QString()};
    };
    TervoxAudit::AppendQuietly(stationEntry("program started"));

    result = app.exec();
    sd_notify(0, "STOPPING=1");
    recorder.Stop();
    TervoxAudit::Flush();
    TervoxAudit::AppendQuietly(stationEntry("program stopped"));
    FreeEngineObjects();
    ::close(signalHandle);
  }
  FreeDatabase();
  FreeUserObjects();
  Log(6, QStringLiteral("stopped"));
  return result;
}
