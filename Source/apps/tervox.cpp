// Entry point: options, the process-wide objects in their order, the main
// window with its login, and the shutdown in reverse order.
#include "comm/DqSMS.h"
#include "store/DqSQLite.h"
#include "widgets/DqSQLiteGrid.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_Device.h"
#include "export/Tervox_Report.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_User.h"
#include "ui/shell/Form_Main.h"
#include "store/Main_Database.h"
#include "ui/shell/Main_Demo.h"
#include "ui/shell/Main_Application.h"
#include "trust/Tervox_Audit.h"
#include "ui/base/Main_Routine.h"
#include "TervoxVersion.h"
#include "trust/Tervox_Chain.h"

#include <QCommandLineParser>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace {

const char* const kNoDisplayHint =
    "Run it in a graphical session, or without one under a virtual display: xvfb-run -a tervox";

// Without a display Qt aborts inside QApplication; say why instead.
bool DisplayAvailable(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "-platform") return true;
  const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
  if (!platform.isEmpty() && !platform.startsWith(QLatin1String("xcb")) &&
      !platform.startsWith(QLatin1String("wayland")))
    return true; // offscreen, vnc, ...
  return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// A display that is named but cannot be opened ends in Qt's fatal message.
void StartupMessageHandler(QtMsgType AType, const QMessageLogContext&, const QString& AMessage) {
  std::fprintf(stderr, "%s\n", qPrintable(AMessage));
  if (AType == QtFatalMsg) {
    std::fprintf(stderr, "tervox: cannot open the display. %s\n", kNoDisplayHint);
    std::fflush(stderr);
    _exit(2);
  }
}

} // namespace

int main(int argc, char** argv) {
  QCoreApplication::setApplicationName(QStringLiteral("TERVOX"));
  QCoreApplication::setApplicationVersion(QLatin1String(kTervoxVersion));
  // When this window records (no recorder runs), its keeper seals the history.
  TervoxChain::InstallKeeperHook();
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("TERVOX - Data Acquisition Software"));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption databaseOption(QStringLiteral("database"),
                                          QStringLiteral("Use the database FILE instead of Tervox.db."),
                                          QStringLiteral("FILE"));
  const QCommandLineOption developerOption(QStringLiteral("developer"),
                                           QStringLiteral("Accept the developer login (for development only)."));
  const QCommandLineOption demoOption(
      QStringLiteral("demo"),
      QStringLiteral("Run on simulated controllers and a simulated GSM modem, with a demonstration database of its own."));
  parser.addOption(databaseOption);
  parser.addOption(developerOption);
  parser.addOption(demoOption);
  if (!parser.parse(arguments)) {
    std::fprintf(stderr, "tervox: %s\n", qPrintable(parser.errorText()));
    return 2;
  }
  if (parser.isSet(QStringLiteral("version"))) {
    std::printf("tervox %s\n", kTervoxVersion);
    return 0;
  }
  if (parser.isSet(QStringLiteral("help"))) {
    QString help = parser.helpText();
    help.replace(QStringLiteral("<executable_name>"), QStringLiteral("tervox"));
    std::printf("%s", qPrintable(help));
    return 0;
  }
  if (!DisplayAvailable(argc, argv)) {
    std::fprintf(stderr, "tervox: no display (DISPLAY is not set). %s\n", kNoDisplayHint);
    return 2;
  }

  QtMessageHandler previousHandler = qInstallMessageHandler(StartupMessageHandler);
  TTervoxApplication app(argc, argv);
  // The desktop's menu entry and icon belong to this window.
  QGuiApplication::setDesktopFileName(QStringLiteral("tervox"));
  qInstallMessageHandler(previousHandler);
  InstallSQLiteControlBinder();
  // The modem driver's messages, shown on this thread whoever raised them.
  TDqSMS::SetErrorNotifier([](const QString& AMessage) { ShowErrorBox(AMessage); });
  if (parser.isSet(databaseOption)) SetDatabaseFileName(parser.value(databaseOption));
  std::unique_ptr<TTervoxDemo> demo;
  if (parser.isSet(demoOption)) {
    demo = std::make_unique<TTervoxDemo>();
    QString error;
    if (!demo->Start(&error)) {
      std::fprintf(stderr, "tervox: the demonstration cannot start: %s\n", qPrintable(error));
      ShowErrorBox(QStringLiteral("The demonstration cannot start.\n\n%1").arg(error));
      return 1;
    }
  }
  SetDeveloperLoginEnabled(parser.isSet(developerOption));

  // Process-wide objects, in order. Loading the user groups is the first
  // database use: it creates the file and its tables when missing.
  try {
    Config();
    CreateUserObjects();
    if (demo) demo->Seed();
    // The monitor pictures and the value-control registry are created here
    // as they join the program, then the print profiles "Report", "Graph"
    // and "Log".
    CreatePrintProfiles();
    CreateEngineObjects();
  } catch (const EDqException& e) {
    const QString text =
        QStringLiteral("The database \"%1\" cannot be opened.\n\n%2").arg(GetDatabaseFileName(), e.Message());
    std::fprintf(stderr, "tervox: %s\n", qPrintable(text));
    ShowErrorBox(text);
    FreeEngineObjects();
    FreePrintProfiles();
    FreeDatabase();
    FreeUserObjects();
    return 1;
  }

  const auto stationEntry = [](const char* AAction) {
    return TervoxAudit::TEntry{QStringLiteral("tervox"), TervoxAudit::kStation, QStringLiteral("tervox"), 0,
                               QString::fromLatin1(AAction), {}, QString()};
  };
  TervoxAudit::AppendQuietly(stationEntry("program started"));
  int result = 0;
  {
    TFormMain formMain;
    if (formMain.Login()) result = app.exec();
  }
  TervoxAudit::Flush();
  TervoxAudit::AppendQuietly(stationEntry("program stopped"));

  // Shutdown in reverse order. The engine goes before the database
  // connection: a worker still finishing a reading must not find the
  // connection gone (and open a new one).
  FreeEngineObjects();
  FreePrintProfiles();
  FreeDatabase();
  FreeUserObjects();
  demo.reset();
  return result;
}
