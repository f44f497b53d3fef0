#include "Main_Database.h"

#include "core/DqRoutine.h"
#include "DqSQLite.h"
#include "DqHistorySummary.h"
#include "Tervox_Secrets.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <chrono>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace {

std::mutex gDatabaseMutex;
std::unique_ptr<TSQLiteDatabase> gDatabase;
QString gFileName;

std::mutex gLogMutex;
double gLastLogTime = 0.0;

constexpr double kOneMillisecond = 1.0 / 86400000.0;

std::mutex gProblemMutex;
TDatabaseProblemNotifier gProblemNotifier;
QString gLastProblem;
// stderr hears of a lasting problem at most once a minute, with the
// readings lost meanwhile, and once that it is over.
std::chrono::steady_clock::time_point gLastPrinted{};
bool gPrintedAny = false;
bool gProblemPrinted = false; // the last line printed was a problem
long long gLostReadings = 0;  // since the last line printed

QString DefaultDataDirectory() {
  const QString dataDir = qEnvironmentVariable("TERVOX_DATA_DIR");
  if (!dataDir.isEmpty()) return dataDir;
  const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
  if (!xdg.isEmpty()) return QDir(xdg).filePath(QStringLiteral("tervox"));
  return QDir(QDir::homePath()).filePath(QStringLiteral(".local/share/tervox"));
}

// The name a usage-log line shows: the controller's stored name, "-" for
// lines of no controller (0, -1) and for an ID that is not (or no longer)
// in the Device table.
QString UsageLogDeviceName(TSQLiteDatabase& ADatabase, int ADeviceID) {
  if (ADeviceID <= 0) return QStringLiteral("-");
  const TVariant name = ADatabase.Lookup(QStringLiteral("Device"), QStringLiteral("ID"), ADeviceID, QStringLiteral("Name"));
  return name.IsNull() ? QStringLiteral("-") : VarAsText(name);
}

// An older build's database, or a backup restored by it, may hold
// secrets in Config. Unmoved (the file cannot be written) they stay where
// they were, and the next open tries again.
void MoveSecretsOutOfConfig(TSQLiteDatabase& ADatabase) {
  try {
    TervoxSecrets::MoveFromConfig(ADatabase);
  } catch (const EDqException& e) {
    qWarning("TERVOX: %s", qPrintable(e.Message()));
  }
}

} // namespace

bool MakeDataDirectory(const QString& ADirectory) {
  if (QFileInfo(ADirectory).isDir()) return true;
  const QFileInfo info(ADirectory);
  if (!QDir().mkpath(info.absolutePath())) return false;
  return ::mkdir(QFile::encodeName(ADirectory).constData(), 0700) == 0 || QFileInfo(ADirectory).isDir();
}

QString GetDatabaseFileName() {
  std::lock_guard<std::mutex> guard(gDatabaseMutex);
  if (gFileName.isEmpty()) gFileName = QDir(DefaultDataDirectory()).filePath(QStringLiteral("Tervox.db"));
  return gFileName;
}

void SetDatabaseFileName(const QString& AFileName) {
  std::lock_guard<std::mutex> guard(gDatabaseMutex);
  gFileName = AFileName.isEmpty() ? QString() : QFileInfo(AFileName).absoluteFilePath();
}

std::unique_ptr<TSQLiteDatabase> OpenTervoxDatabase(const QString& AFileName) {
  const QString directory = QFileInfo(AFileName).absolutePath();
  if (!MakeDataDirectory(directory))
    throw EDqException(QStringLiteral("Cannot create directory \"%1\" for the database").arg(directory));

  auto database = std::make_unique<TSQLiteDatabase>();
  database->SetFileName(AFileName);
  database->SetHeader(QStringLiteral("TERVOX_SQLITE"));
  // The administration tool may run beside the program (scheduled backups),
  // from the open's first read on.
  database->SetTimeout(5000);
  database->Open();
  // Opened for reading only, logins and every reading would fail later.
  if (database->ReadOnly())
    throw EDqException(QStringLiteral("TERVOX cannot write the database file \"%1\": it is read-only. Give the user "
                                      "running TERVOX write permission on the file and its folder, or start TERVOX "
                                      "with --database naming another file.")
                           .arg(AFileName));
  std::vector<std::pair<QString, QString>> tables;
  database->GetTableList(tables);
  if (tables.empty()) {
    database->ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
  } else {
    // Without one of its tables the program would run and drop what
    // belongs there (every reading, without DeviceData).
    QStringList missing = TervoxTableNames();
    for (const auto& table : tables) missing.removeAll(table.first);
    if (!missing.isEmpty())
      throw EDqException(QStringLiteral("The database file \"%1\" lacks TERVOX's tables: %2. It is not a TERVOX "
                                        "database, or it was damaged. Restore it from a backup, or move it away so "
                                        "that TERVOX creates a new database.")
                             .arg(AFileName, missing.join(QStringLiteral(", "))));
  }
  // One small transaction per reading: write-ahead logging keeps each of
  // them cheap while staying durable across a crash of the program.
  database->SetWalMode();
  // Derived data: made here for a database of an older build, or again when
  // dropped or altered by hand; the rows before it are built in the background.
  database->SetDerivedTables(StationOnlyTableNames());
  EnsureHistorySummaries(*database);
  MoveSecretsOutOfConfig(*database);
  return database;
}

TSQLiteDatabase* GetDatabase() {
  const QString fileName = GetDatabaseFileName();
  std::lock_guard<std::mutex> guard(gDatabaseMutex);
  if (!gDatabase) gDatabase = OpenTervoxDatabase(fileName);
  return gDatabase.get();
}

void FreeDatabase() {
  {
    std::lock_guard<std::mutex> guard(gProblemMutex);
    gLastProblem.clear();
    gPrintedAny = gProblemPrinted = false;
    gLostReadings = 0;
  }
  std::lock_guard<std::mutex> guard(gDatabaseMutex);
  gDatabase.reset();
}

void SetDatabaseProblemNotifier(TDatabaseProblemNotifier ANotifier) {
  std::lock_guard<std::mutex> guard(gProblemMutex);
  gProblemNotifier = std::move(ANotifier);
}

void ReportDatabaseProblem(const QString& AProblem) {
  // Called for every reading: the window hears of each change only, and
  // stderr (a journal) is not flooded by a disk that stays full.
  std::lock_guard<std::mutex> guard(gProblemMutex);
  const auto now = std::chrono::steady_clock::now();
  if (!AProblem.isEmpty()) {
    ++gLostReadings;
    if (!gPrintedAny || now - gLastPrinted >= std::chrono::minutes(1)) {
      qWarning("TERVOX: %s (%lld reading(s) not stored)", qPrintable(AProblem), gLostReadings);
      gPrintedAny = gProblemPrinted = true;
      gLastPrinted = now;
      gLostReadings = 0;
    }
  } else if (gProblemPrinted) {
    qWarning("TERVOX: readings are stored again (%lld more not stored)", gLostReadings);
    gProblemPrinted = false;
    gLastPrinted = now;
    gLostReadings = 0;
  }
  if (AProblem == gLastProblem) return;
  gLastProblem = AProblem;
  // Under the lock, so that a window taking its notifier back is never
  // called afterwards; notifiers only post to their own thread.
  if (gProblemNotifier) gProblemNotifier(AProblem);
}

void AddUsageLog(const QString& ADetail, int ADeviceID, const QString& AEVStatus, double APV, int ADigit) {
  TSQLiteDatabase* database = nullptr;
  {
    std::lock_guard<std::mutex> guard(gDatabaseMutex);
    database = gDatabase.get();
  }
  if (!database || !database->Active()) return;

  // LogTime is the table's key: two lines in the same instant must not
  // collide, so times handed out here only ever grow, 1 ms apart at least.
  double logTime = Now();
  {
    std::lock_guard<std::mutex> guard(gLogMutex);
    if (logTime < gLastLogTime + kOneMillisecond) logTime = gLastLogTime + kOneMillisecond;
    gLastLogTime = logTime;
  }
  try {
    TSQLiteParamList params;
    params.SetParamValues(":LogTime", TVariant::FromDateTime(logTime));
    params.SetParamValues(":Detail", ADetail);
    params.SetParamValues(":DeviceName", UsageLogDeviceName(*database, ADeviceID));
    params.SetParamValues(":EVStatus", AEVStatus);
    params.SetParamValues(":PV", APV);
    params.SetParamValues(":Digit", ADigit);
    database->ExecSQL(QStringLiteral("INSERT INTO UsageLog (LogTime, Detail, DeviceName, EVStatus, PV, Digit) "
                                     "VALUES (:LogTime, :Detail, :DeviceName, :EVStatus, :PV, :Digit)"),
                      &params);
  } catch (const EDqException&) {
    throw EDqException(QStringLiteral("Failed to add usage log"));
  }
}

QStringList TervoxTableNames() {
  static const QStringList names = [] {
    QStringList result;
    QFile script(QStringLiteral(":/SQL/TERVOXDB"));
    if (!script.open(QIODevice::ReadOnly)) return result;
    static const QRegularExpression create(QStringLiteral("^CREATE TABLE\\s+\"?(\\w+)\"?"),
                                           QRegularExpression::MultilineOption);
    auto it = create.globalMatch(QString::fromUtf8(script.readAll()));
    while (it.hasNext()) result << it.next().captured(1);
    return result;
  }();
  return names;
}

QStringList StationOnlyTableNames() {
  return HistorySummaryTableNames() +
         QStringList{QStringLiteral("AuditTrail"), QStringLiteral("HistoryChain"), QStringLiteral("HistoryChainSeal"),
                     QStringLiteral("HistoryChainMark")};
}

const std::vector<TSQLiteRestoreTable>& TervoxSchema() {
  static const std::vector<TSQLiteRestoreTable> schema = [] {
    std::vector<TSQLiteRestoreTable> result;
    TSQLiteDatabase scratch(QStringLiteral(":memory:"));
    scratch.SetHeader(QStringLiteral("TERVOX_SQLITE"));
    scratch.ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
    for (const QString& table : TervoxTableNames()) {
      TSQLiteRestoreTable entry{table, {}, {}};
      auto columns = scratch.GetTable(QStringLiteral("SELECT name FROM pragma_table_info('%1')").arg(table));
      for (; !columns->Eof(); columns->Next()) entry.Columns << columns->GetFields(0)->AsString();
      result.push_back(std::move(entry));
    }
    return result;
  }();
  return schema;
}
