// tervox-sim: simulated devices on pseudo-terminals, for demos and tests.
#include "Sim_ControllerLine.h"
#include "Sim_Demo.h"
#include "Sim_Modem.h"
#include "Sim_Pty.h"
#include "TervoxVersion.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>
#include <poll.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

void PrintHelp() {
  std::printf(
      "Usage: tervox-sim controllers --link PATH --addresses 1,2,5 [--baud 9600] [--control FILE]\n"
      "       tervox-sim controllers --tcp PORT | --rtu-tcp PORT --addresses 1,2,5 [--bind ADDR]\n"
      "                  [--control FILE]\n"
      "       tervox-sim modem --link PATH [--control FILE]   (a GSM modem; see: tervox-sim modem)\n"
      "       tervox-sim demo --dir DIR   (the demonstration's devices)\n"
      "       tervox-sim --help | --version\n"
      "\n"
      "Serves simulated temperature controllers as Modbus RTU slaves (functions 03\n"
      "and 06) on one pseudo-terminal, linked at PATH (a bare name is linked in\n"
      "$TERVOX_PORT_DIR, else $XDG_RUNTIME_DIR/tervox, else /tmp/tervox-UID, made\n"
      "for this user alone, where TERVOX finds simulated ports). Prints \"ready\"\n"
      "when the line is up and serves until interrupted. --baud paces the bytes\n"
      "like that baud rate; without it there is no wire delay.\n"
      "\n"
      "Behind the network instead: --tcp PORT serves them as a Modbus TCP gateway\n"
      "(unit identifier = slave address), --rtu-tcp PORT as a serial device server\n"
      "in raw mode (RTU frames with their CRC over TCP). They listen on ADDR\n"
      "(default 127.0.0.1; 0.0.0.0 for every interface), print \"listening on\n"
      "ADDR:PORT\" (PORT 0: one the system picks) and take the same commands; the\n"
      "control pipe is then FILE, else tcp-PORT.ctl beside the simulated ports.\n"
      "unplug closes the port and its connections, replug listens again.\n"
      "\n"
      "demo serves what tervox --demo shows, in the folder DIR: controllers 1, 2\n"
      "and 5 set up and running their programs on the line ttyDEMO0, a GSM modem\n"
      "on ttyGSM0. Each has its control pipe beside it, ttyDEMO0.ctl for the\n"
      "commands below and ttyGSM0.ctl for the modem's. It prints \"ready\" when\n"
      "both are up; there each answer ends with an empty line.\n"
      "\n"
      "Control channel: a named pipe, FILE or else PATH.ctl. Write one command per\n"
      "line (echo \"silent 2 on\" > PATH.ctl); each is answered on standard output\n"
      "with a line beginning \"ok\" or \"error\":\n"
      "%s"
      "  quit                     stop serving\n",
      qPrintable(TSimControllerLine::CommandHelp()));
}

// A named pipe taking commands, one a line, and what runs them.
struct TControlChannel {
  QString Path;
  std::function<QString(const QString&)> Execute;
};

// Makes the named pipes, prints "ready", then runs the commands written to
// them, printing each answer, until "quit" or a signal. AFramed: each
// answer ends with an empty line (and has none inside), so that a reader
// knows where a listing ends.
int ServeControlChannels(const std::vector<TControlChannel>& AChannels, bool AFramed = false) {
  std::vector<pollfd> descriptors;
  auto closeAll = [&] {
    for (std::size_t i = 0; i < descriptors.size(); ++i) {
      if (descriptors[i].fd >= 0) ::close(descriptors[i].fd);
      ::unlink(QFile::encodeName(AChannels[i].Path).constData());
    }
  };
  for (const TControlChannel& channel : AChannels) {
    const QByteArray controlPath = QFile::encodeName(channel.Path);
    ::unlink(controlPath.constData());
    if (::mkfifo(controlPath.constData(), 0600) != 0) {
      std::fprintf(stderr, "tervox-sim: cannot make %s\n", controlPath.constData());
      closeAll();
      return 1;
    }
    // Opened for writing too, so that writers coming and going never end it.
    descriptors.push_back({::open(controlPath.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC), POLLIN, 0});
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::vector<QByteArray> pending(AChannels.size());
  while (!gStop) {
    if (poll(descriptors.data(), descriptors.size(), 200) < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < AChannels.size(); ++i) {
      char buffer[256];
      ssize_t count;
      while ((count = ::read(descriptors[i].fd, buffer, sizeof buffer)) > 0)
        pending[i].append(buffer, static_cast<int>(count));
      int end;
      while ((end = static_cast<int>(pending[i].indexOf('\n'))) >= 0) {
        const QString command = QString::fromLocal8Bit(pending[i].left(end)).trimmed();
        pending[i].remove(0, end + 1);
        if (command.isEmpty()) continue;
        QString answer;
        if (command == QLatin1String("quit")) {
          gStop = 1;
          answer = QStringLiteral("ok");
        } else {
          answer = AChannels[i].Execute(command);
        }
        if (AFramed) {
          QStringList lines = answer.split(QLatin1Char('\n'));
          lines.removeIf([](const QString& ALine) { return ALine.trimmed().isEmpty(); });
          answer = lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
        }
        std::printf("%s\n", qPrintable(answer));
        std::fflush(stdout);
      }
    }
  }
  closeAll();
  return 0;
}

int ServeControlChannel(const QString& AControl, const std::function<QString(const QString&)>& AExecute) {
  return ServeControlChannels({{AControl, AExecute}});
}

int RunControllers(const QStringList& AArguments) {
  QString link, control, bind;
  std::vector<int> addresses;
  int baud = 0;
  int tcpPort = -1;
  TSimLineMode mode = TSimLineMode::Pty;
  for (int i = 0; i < AArguments.size(); ++i) {
    const QString& option = AArguments[i];
    const QString value = AArguments.value(i + 1);
    if (option == QLatin1String("--link")) {
      link = value;
      ++i;
    } else if (option == QLatin1String("--addresses")) {
      for (const QString& part : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        const int address = part.toInt(&ok);
        if (!ok || address < 1 || address > 247) {
          std::fprintf(stderr, "tervox-sim: bad slave address %s\n", qPrintable(part));
          return 2;
        }
        addresses.push_back(address);
      }
      ++i;
    } else if (option == QLatin1String("--baud")) {
      baud = value.toInt();
      ++i;
    } else if (option == QLatin1String("--control")) {
      control = value;
      ++i;
    } else if (option == QLatin1String("--tcp") || option == QLatin1String("--rtu-tcp")) {
      bool ok = false;
      tcpPort = value.toInt(&ok);
      if (!ok || tcpPort < 0 || tcpPort > 65535) {
        std::fprintf(stderr, "tervox-sim: bad TCP port %s\n", qPrintable(value));
        return 2;
      }
      mode = option == QLatin1String("--tcp") ? TSimLineMode::Tcp : TSimLineMode::RtuTcp;
      ++i;
    } else if (option == QLatin1String("--bind")) {
      bind = value;
      ++i;
    } else {
      std::fprintf(stderr, "tervox-sim: unknown option %s\n", qPrintable(option));
      return 2;
    }
  }
  if ((link.isEmpty() == (mode == TSimLineMode::Pty)) || addresses.empty()) {
    PrintHelp();
    return 2;
  }
  std::unique_ptr<TSimControllerLine> owned =
      mode == TSimLineMode::Pty ? std::make_unique<TSimControllerLine>(link, addresses, baud)
                                : std::make_unique<TSimControllerLine>(mode, tcpPort, addresses, bind);
  TSimControllerLine& line = *owned;
  QString error;
  if (!line.Start(&error)) {
    std::fprintf(stderr, "tervox-sim: %s\n", qPrintable(error));
    return 1;
  }
  if (mode != TSimLineMode::Pty) {
    std::printf("listening on %s:%d\n", qPrintable(bind.isEmpty() ? QStringLiteral("127.0.0.1") : bind), line.TcpPort());
    if (control.isEmpty()) {
      const QString folder = TSimPty::PortDir();
      if (folder.isEmpty()) {
        std::fprintf(stderr, "tervox-sim: no folder for the control pipe: give --control FILE\n");
        return 1;
      }
      control = folder + QStringLiteral("/tcp-%1.ctl").arg(line.TcpPort());
    }
  }
  const int result = ServeControlChannel(control.isEmpty() ? line.LinkPath() + QStringLiteral(".ctl") : control,
                                         [&line](const QString& ACommand) { return line.Execute(ACommand); });
  line.Stop();
  return result;
}

// tervox-sim modem --link PATH [--control FILE]: a GSM modem on one
// pseudo-terminal, steered through a named pipe like the controllers.
int RunModem(const QStringList& AArguments) {
  QString link, control;
  for (int i = 0; i < AArguments.size(); ++i) {
    const QString& option = AArguments[i];
    if (option == QLatin1String("--link")) {
      link = AArguments.value(++i);
    } else if (option == QLatin1String("--control")) {
      control = AArguments.value(++i);
    } else {
      std::fprintf(stderr, "tervox-sim: unknown option %s\n", qPrintable(option));
      return 2;
    }
  }
  if (link.isEmpty()) {
    std::printf("Usage: tervox-sim modem --link PATH [--control FILE]\n\n"
                "Serves a simulated GSM modem (AT commands, SMS, USSD) on a pseudo-terminal\n"
                "linked at PATH. Prints \"ready\" and serves until interrupted. Commands on the\n"
                "control pipe (FILE, else PATH.ctl), one a line:\n%s  quit                     stop serving\n",
                qPrintable(TSimModem::CommandHelp()));
    return 2;
  }
  TSimModem modem(link);
  QString error;
  if (!modem.Start(&error)) {
    std::fprintf(stderr, "tervox-sim: %s\n", qPrintable(error));
    return 1;
  }
  const int result = ServeControlChannel(control.isEmpty() ? modem.LinkPath() + QStringLiteral(".ctl") : control,
                                         [&modem](const QString& ACommand) { return modem.Execute(ACommand); });
  modem.Stop();
  return result;
}

// tervox-sim demo --dir DIR: the demonstration's line and modem, each
// with its control pipe.
int RunDemo(const QStringList& AArguments) {
  QString dir;
  for (int i = 0; i < AArguments.size(); ++i) {
    const QString& option = AArguments[i];
    if (option == QLatin1String("--dir")) {
      dir = AArguments.value(++i);
    } else {
      std::fprintf(stderr, "tervox-sim: unknown option %s\n", qPrintable(option));
      return 2;
    }
  }
  if (dir.isEmpty()) {
    PrintHelp();
    return 2;
  }
  TSimDemo demo(dir);
  QString error;
  if (!demo.Start(&error)) {
    std::fprintf(stderr, "tervox-sim: %s\n", qPrintable(error));
    return 1;
  }
  TSimControllerLine& line = demo.Line();
  TSimModem& modem = demo.Modem();
  const std::vector<TControlChannel> channels = {
      {line.LinkPath() + QStringLiteral(".ctl"), [&line](const QString& ACommand) { return line.Execute(ACommand); }},
      {modem.LinkPath() + QStringLiteral(".ctl"),
       [&modem](const QString& ACommand) { return modem.Execute(ACommand); }}};
  const int result = ServeControlChannels(channels, true);
  demo.Stop();
  return result;
}

} // namespace

int main(int argc, char** argv) {
  QStringList arguments;
  for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  if (arguments.isEmpty() || arguments[0] == QLatin1String("--help") || arguments[0] == QLatin1String("-h")) {
    PrintHelp();
    return arguments.isEmpty() ? 2 : 0;
  }
  if (arguments[0] == QLatin1String("--version")) {
    std::printf("tervox-sim %s\n", kTervoxVersion);
    return 0;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);
  if (arguments[0] == QLatin1String("controllers")) return RunControllers(arguments.mid(1));
  if (arguments[0] == QLatin1String("modem")) return RunModem(arguments.mid(1));
  if (arguments[0] == QLatin1String("demo")) return RunDemo(arguments.mid(1));
  std::fprintf(stderr, "tervox-sim: unknown simulator %s (try --help)\n", qPrintable(arguments[0]));
  return 2;
}
