// tervox-db: the database's administration without a screen, for scheduled
// backups and restores, and reports and the usage log as files for
// scheduled jobs. Uses the same units as the program.
#include "store/DqSQLite.h"
#include "plant/Tervox_Archive.h"
#include "plant/Tervox_Maintenance.h"
#include "station/Tervox_StationClient.h"
#include "tervox_db_args.h"
#include "tervox_db_graph.h"
#include "tervox_db_report.h"
#include "tervox_db_verify.h"
#include "plant/Tervox_User.h"
#include "trust/Tervox_Audit.h"
#include "store/Main_Database.h"
#include "TervoxVersion.h"
#include "store/DqHistorySummary.h"

#include <QDate>
#include <QGuiApplication>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

namespace {

const char* const kUsage =
    "Usage: tervox-db [--database FILE] COMMAND\n"
    "\n"
    "Commands:\n"
    "  create           open the database as TERVOX does, creating it when needed\n"
    "                   and bringing its history summaries up to date\n"
    "  backup OUT.sql   write an SQL backup of every table to OUT.sql\n"
    "  restore IN.sql   replace the database's rows by those of a backup, all or\n"
    "                   nothing: a cut-off or damaged file, or one holding more\n"
    "                   than a backup's statements, changes nothing; the\n"
    "                   database is first copied beside it as\n"
    "                   NAME_before_restore_DATE_TIME.db\n"
    "%s"
    "%s"
    "%s"
    "  archive --before \"YYYY-MM-DD\"\n"
    "                   move the history recorded before that day into\n"
    "                   Tervox-archive-YEAR.db beside the database, one whole\n"
    "                   TERVOX database per year; a run cut off is finished by\n"
    "                   the next one\n"
    "\n"
    "Options:\n"
    "  --database FILE  use FILE instead of Tervox.db in the data directory\n"
    "                   ($TERVOX_DATA_DIR, else $XDG_DATA_HOME/tervox,\n"
    "                   else ~/.local/share/tervox)\n"
    "  --help           show this text\n"
    "  --version        show the version\n";

QString UsageText() { return QString::asprintf(kUsage, kReportUsage, kGraphUsage, kVerifyUsage); }

int Usage(const char* AProblem) {
  std::fprintf(stderr, "tervox-db: %s\n\n%s", AProblem, qPrintable(UsageText()));
  return 2;
}

int RunArchiveCommand(const QStringList& AArgs) {
  std::map<QString, QString> values;
  QString error;
  if (!ParseOptions(AArgs, {QStringLiteral("--before")}, values, error)) return Refuse(error);
  if (!values.count(QStringLiteral("--before"))) return Refuse(QStringLiteral("--before is required"));
  const QString text = values[QStringLiteral("--before")].trimmed();
  const QDate day = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
  if (!day.isValid()) return Refuse(QStringLiteral("bad date \"%1\" for --before: use \"YYYY-MM-DD\"").arg(text));
  try {
    GetDatabase(); // created when missing, checked as the program does
    const std::vector<TArchivedYear> years = ArchiveHistory(EncodeDateTime(day.year(), day.month(), day.day()));
    if (years.empty()) std::printf("archive: no history before %s\n", qPrintable(text));
    for (const TArchivedYear& year : years)
      std::printf("archive: %lld row(s) moved to %s\n", static_cast<long long>(year.Rows), qPrintable(year.FileName));
  } catch (const EDqException& e) {
    return Fail(e.Message());
  }
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  // What this tool changes is its own doing in the audit trail.
  SetActingUser(QString::fromLatin1(TervoxAudit::kTool));
  // A job run by cron has no session directory: not worth a line each run.
  qInstallMessageHandler([](QtMsgType AType, const QMessageLogContext&, const QString& AText) {
    if (!AText.startsWith(QLatin1String("QStandardPaths:"))) std::fprintf(stderr, "%s\n", qPrintable(AText));
    if (AType == QtFatalMsg) std::abort();
  });
  // Reports are drawn (fonts, PDF) without a screen.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  QStringList args = QCoreApplication::arguments().mid(1);

  QString databaseFile;
  QStringList positional;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& arg = args.at(i);
    if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
      std::fputs(qPrintable(UsageText()), stdout);
      return 0;
    }
    if (arg == QLatin1String("--version")) {
      std::printf("tervox-db %s\n", kTervoxVersion);
      return 0;
    }
    if (arg == QLatin1String("--database")) {
      if (i + 1 >= args.size()) return Usage("--database needs a file name");
      databaseFile = args.at(++i);
    } else if (arg.startsWith(QLatin1String("--database="))) {
      databaseFile = arg.mid(11);
    } else if (arg.startsWith(QLatin1String("--"))) {
      return Usage(qPrintable(QStringLiteral("unknown option %1").arg(arg)));
    } else {
      positional = args.mid(i); // the command and its own arguments
      break;
    }
  }
  if (positional.isEmpty()) return Usage("no command given");
  const QString command = positional.takeFirst();
  if (command == QLatin1String("report") || command == QLatin1String("log") || command == QLatin1String("graph") ||
      command == QLatin1String("archive") || command == QLatin1String("verify") ||
      command == QLatin1String("audit")) {
    if (!databaseFile.isEmpty()) SetDatabaseFileName(databaseFile);
    const int result = command == QLatin1String("report")    ? RunReportCommand(positional)
                       : command == QLatin1String("log")     ? RunLogCommand(positional)
                       : command == QLatin1String("archive") ? RunArchiveCommand(positional)
                       : command == QLatin1String("verify")  ? RunVerifyCommand(positional)
                       : command == QLatin1String("audit")   ? RunAuditCommand(positional)
                                                             : RunGraphCommand(positional);
    FreeDatabase();
    return result;
  }
  const int wanted = command == QLatin1String("create") ? 0 : 1;
  if (command != QLatin1String("create") && command != QLatin1String("backup") && command != QLatin1String("restore"))
    return Usage(qPrintable(QStringLiteral("unknown command %1").arg(command)));
  if (positional.size() != wanted) return Usage(qPrintable(QStringLiteral("%1 takes %2 argument(s)").arg(command, QString::number(wanted))));

  if (!databaseFile.isEmpty()) SetDatabaseFileName(databaseFile);
  try {
    GetDatabase(); // created when missing
    QString copy;
    if (command == QLatin1String("create")) BuildHistorySummaries(*GetDatabase());
    if (command == QLatin1String("backup")) {
      BackupDatabase(positional.first());
    } else if (command == QLatin1String("restore")) {
      // A recorder of the database writes nothing meanwhile; one that
      // cannot be reached makes the restore refuse.
      const QString user = qEnvironmentVariable("USER", QStringLiteral("unknown"));
      const TTervoxRecordingPause pause(GetDatabaseFileName(), QStringLiteral("tervox-db (%1)").arg(user),
                                        QStringLiteral("a restore"));
      copy = RestoreDatabase(positional.first());
    }
    std::printf("%s: done (%s)\n", qPrintable(command), qPrintable(GetDatabaseFileName()));
    if (!copy.isEmpty()) std::printf("the database as it was before is kept as %s\n", qPrintable(copy));
  } catch (const EDqException& e) {
    FreeDatabase();
    return Fail(e.Message());
  }
  FreeDatabase();
  return 0;
}
