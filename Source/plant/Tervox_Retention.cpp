#include "Tervox_Retention.h"

#include "store/DqHistorySummary.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "Tervox_Archive.h"
#include "store/Tervox_Config.h"
#include "Tervox_Maintenance.h"

#include <QDate>
#include <QDateTime>
#include <QFileInfo>
#include <QStorageInfo>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

const QString kKeepHistoryMonths = QStringLiteral("KeepHistoryMonths");
const QString kArchiveLastRun = QStringLiteral("ArchiveLastRun");
const QString kArchiveLastResult = QStringLiteral("ArchiveLastResult");
const QString kArchiveLastFailed = QStringLiteral("ArchiveLastFailed");

namespace {

// A connection of its own to the program's database file, for the
// retention thread and the measurements (never the program's, which a
// paused recorder frees).
std::unique_ptr<TSQLiteDatabase> OpenOwnConnection(const QString& AFileName) {
  auto database = std::make_unique<TSQLiteDatabase>();
  database->SetFileName(AFileName);
  database->SetHeader(QStringLiteral("TERVOX_SQLITE"));
  // Before the open: the window may be opening the file at the same time.
  database->SetTimeout(5000);
  database->Open();
  return database;
}

QString OneLine(const QString& AText) {
  QString text = AText;
  text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  text.replace(QLatin1Char('\r'), QLatin1Char(' '));
  return text.simplified();
}

// The scheduler's state; gControl serialises Start and Stop.
std::mutex gControl;
std::thread gThread;
std::mutex gLock; // what follows
std::condition_variable gWake;
bool gStop = false;
TTervoxProgress* gRunning = nullptr;
TRetentionNotifier gNotifier;
std::chrono::milliseconds gFirstCheck = std::chrono::minutes(2);
std::chrono::milliseconds gCheckPeriod = std::chrono::minutes(10);
std::chrono::milliseconds gDay = std::chrono::hours(24);

void Notify(const TRetentionOutcome& AOutcome) {
  // Under the lock, so that a window taking its notifier back is never
  // called afterwards; notifiers only post to their own thread or log.
  std::lock_guard<std::mutex> guard(gLock);
  if (gNotifier) gNotifier(AOutcome);
}

// A process that ends without stopping polling ends the schedule too,
// rather than in std::terminate for a thread still joinable.
struct TSchedulerGuard {
  ~TSchedulerGuard() { StopHistoryRetention(); }
};

void SchedulerLoop() {
  using TClock = std::chrono::steady_clock;
  int lastMonths = -1; // of the last finished run; -1 none yet
  TClock::time_point lastRun{};
  std::chrono::milliseconds wait;
  std::chrono::milliseconds day;
  {
    std::lock_guard<std::mutex> guard(gLock);
    wait = gFirstCheck;
    day = gDay;
  }
  // Seconds to the first check, for trying the schedule out (and tests of
  // the programs); the default keeps start-up free of the run.
  bool given = false;
  const int seconds = qEnvironmentVariableIntValue("TERVOX_ARCHIVE_FIRST_CHECK", &given);
  if (given && seconds >= 0) wait = std::chrono::seconds(seconds);
  for (;;) {
    TTervoxProgress progress;
    {
      std::unique_lock<std::mutex> lock(gLock);
      if (gWake.wait_for(lock, wait, [] { return gStop; })) return;
      wait = gCheckPeriod;
    }
    int months = 0;
    try {
      months = StoredKeepHistoryMonths(OpenOwnConnection(GetDatabaseFileName()).get());
    } catch (const EDqException&) {
      continue; // the file is away (a reset): the next check sees it again
    }
    if (months <= 0) {
      lastMonths = 0;
      continue;
    }
    if (months == lastMonths && TClock::now() - lastRun < day) continue;
    {
      std::lock_guard<std::mutex> guard(gLock);
      if (gStop) return;
      gRunning = &progress;
    }
    TRetentionOutcome outcome;
    try {
      outcome = RunHistoryRetention(Now(), &progress);
    } catch (const EDqException& e) {
      // The database itself could not be read: nothing moved.
      outcome = {true, true, false, QStringLiteral("History not archived: ") + OneLine(e.Message())};
    } catch (...) {
      outcome = {true, true, false, QStringLiteral("History not archived: unexpected error")};
    }
    {
      std::lock_guard<std::mutex> guard(gLock);
      gRunning = nullptr;
    }
    if (outcome.Retry) {
      lastMonths = -1; // the next check tries again
    } else {
      lastMonths = months;
      lastRun = TClock::now();
    }
    if (outcome.Ran || outcome.Retry) Notify(outcome);
  }
}

} // namespace

int StoredKeepHistoryMonths(TSQLiteDatabase* ADatabase) {
  const int months = TTervoxConfig(ADatabase).GetValueIntDef(kKeepHistoryMonths, 0);
  return std::clamp(months, 0, kMaxKeepHistoryMonths);
}

double RetentionCutDay(double ANow, int AMonths) {
  const QDate day = DateTimeToQDateTime(ANow).date().addMonths(-AMonths);
  return EncodeDateTime(day.year(), day.month(), day.day());
}

TRetentionOutcome RunHistoryRetention(double ANow, TTervoxProgress* AProgress) {
  TRetentionOutcome outcome;
  std::unique_ptr<TSQLiteDatabase> database = OpenOwnConnection(GetDatabaseFileName());
  const int months = StoredKeepHistoryMonths(database.get());
  if (months <= 0) return outcome;

  TTervoxProgress ownProgress;
  TTervoxProgress& progress = AProgress ? *AProgress : ownProgress;
  const double cut = RetentionCutDay(ANow, months);
  const QString cutText = DateTimeToQDateTime(cut).date().toString(Qt::ISODate);
  {
    const TTervoxMaintenanceTurn turn(progress);
    if (!turn.Owns()) {
      outcome.Retry = true;
      outcome.Text = QStringLiteral("History archiving waits: another database job runs");
      return outcome;
    }
    outcome.Ran = true;
    try {
      const std::vector<TArchivedYear> years = ArchiveHistory(cut, &progress);
      std::int64_t rows = 0;
      QStringList files;
      for (const TArchivedYear& year : years) {
        rows += year.Rows;
        files << QFileInfo(year.FileName).fileName();
      }
      outcome.Text = rows > 0 || !files.isEmpty()
                         ? QStringLiteral("History before %1 archived: %2 record(s) into %3")
                               .arg(cutText)
                               .arg(rows)
                               .arg(files.join(QStringLiteral(", ")))
                         : QStringLiteral("History before %1: nothing to archive").arg(cutText);
    } catch (const ESQLiteCancelled& e) {
      // Stopped for a maintenance job or a stop of recording: what moved
      // stays moved, the rest waits for the next run.
      outcome.Ran = false;
      outcome.Retry = true;
      outcome.Text = QStringLiteral("History archiving stopped: ") + OneLine(e.Message());
      return outcome;
    } catch (const EDqException& e) {
      outcome.Failed = true;
      outcome.Text = QStringLiteral("History not archived: ") + OneLine(e.Message());
    }
  }
  try {
    TTervoxConfig config(database.get());
    config.SetValueDateTime(kArchiveLastRun, ANow);
    config.SetValues(kArchiveLastResult, outcome.Text);
    config.SetValueBool(kArchiveLastFailed, outcome.Failed);
  } catch (const EDqException& e) {
    // A database that takes no write (a full disk) says so in the journal.
    outcome.Text += QStringLiteral(" (not stored: %1)").arg(OneLine(e.Message()));
  }
  return outcome;
}

QString RetentionStatusText() {
  TTervoxConfig* config = Config();
  if (!config->GetValueBoolDef(kArchiveLastFailed, false)) return QString();
  const double at = config->GetValueDateTime(kArchiveLastRun);
  return DateTimeToQDateTime(at).toString(QStringLiteral("yyyy-MM-dd HH:mm ")) + config->GetValues(kArchiveLastResult);
}

void StartHistoryRetention() {
  static TSchedulerGuard guard; // destroyed before the state it stops
  StopHistoryRetention();
  std::lock_guard<std::mutex> control(gControl);
  {
    std::lock_guard<std::mutex> guard(gLock);
    gStop = false;
  }
  gThread = std::thread(SchedulerLoop);
}

void StopHistoryRetention() {
  std::lock_guard<std::mutex> control(gControl);
  if (!gThread.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(gLock);
    gStop = true;
    if (gRunning) gRunning->Cancelled = true;
  }
  gWake.notify_all();
  gThread.join();
}

bool HistoryRetentionRunning() {
  std::lock_guard<std::mutex> control(gControl);
  return gThread.joinable();
}

void SetRetentionNotifier(TRetentionNotifier ANotifier) {
  std::lock_guard<std::mutex> guard(gLock);
  gNotifier = std::move(ANotifier);
}

void SetHistoryRetentionTiming(std::chrono::milliseconds AFirstCheck, std::chrono::milliseconds ACheckPeriod,
                               std::chrono::milliseconds ADay) {
  std::lock_guard<std::mutex> guard(gLock);
  gFirstCheck = AFirstCheck;
  gCheckPeriod = ACheckPeriod;
  gDay = ADay;
}

// ---------------------------------------------------------------- growth

TDatabaseGrowth MeasureDatabaseGrowth(const QString& AFileName, double ANow, std::int64_t AFreeBytes,
                                      double ABytesPerRow, const std::atomic<bool>* ACancel) {
  TDatabaseGrowth growth;
  growth.FileBytes = QFileInfo(AFileName).size() + QFileInfo(AFileName + QStringLiteral("-wal")).size();
  if (AFreeBytes >= 0) {
    growth.FreeBytes = AFreeBytes;
  } else {
    const QStorageInfo disk(QFileInfo(AFileName).absolutePath());
    if (disk.isValid()) growth.FreeBytes = disk.bytesAvailable();
  }
  std::unique_ptr<TSQLiteDatabase> database = OpenOwnConnection(AFileName);
  // A page closed meanwhile does not wait for the whole summary to be read.
  database->SetCancelFlag(ACancel);
  // The last 7 days through the summaries' key, a controller at a time
  // (CROSS JOIN keeps that order: the planner, without statistics, would
  // read every summarised minute, 15 times slower on a year of ten).
  const double from = ANow - 7.0;
  TSQLiteTable recent(database.get());
  recent.SetSQL(QStringLiteral("SELECT coalesce(sum(m.Rows), 0), min(m.Minute) / 1440.0 FROM Device d CROSS JOIN DeviceDataMinute m "
                               "ON m.DeviceID = d.ID AND m.Minute >= :FromMinute AND m.Minute <= :ToMinute"));
  recent.SetParamValues(":FromMinute", static_cast<long long>(HistoryMinuteOf(from)));
  recent.SetParamValues(":ToMinute", static_cast<long long>(HistoryMinuteOf(ANow)));
  recent.Open();
  const std::int64_t recentRows = recent.GetFields(0)->AsInteger();
  const TVariant first = recent.GetFields(1)->Value();
  recent.Close();
  if (recentRows > 0 && !first.IsNull()) {
    // A database younger than a week grows at the rate since its first
    // row; an hour at least, so a few rows are no rate.
    const double days = std::max(ANow - std::max(from, VarAsFloat(first)), 1.0 / 24.0);
    growth.RowsPerDay = static_cast<double>(recentRows) / days;
  }
  if (ABytesPerRow > 0) {
    growth.BytesPerRow = ABytesPerRow;
  } else {
    // Every summarised minute is read: this is the slow part.
    growth.TotalRows = database->GetTableValue(QStringLiteral("SELECT coalesce(sum(Rows), 0) FROM DeviceDataMinute"));
    if (growth.TotalRows > 0) growth.BytesPerRow = static_cast<double>(growth.FileBytes) / growth.TotalRows;
  }
  growth.BytesPerDay = growth.RowsPerDay * growth.BytesPerRow;
  if (growth.BytesPerDay > 0 && growth.FreeBytes >= 0) growth.DaysLeft = growth.FreeBytes / growth.BytesPerDay;
  return growth;
}

QString DiskSpaceWarning(const TDatabaseGrowth& AGrowth) {
  if (AGrowth.DaysLeft < 0 || AGrowth.DaysLeft >= 30) return QString();
  return QStringLiteral("Disk space for about %1 day(s) of history left").arg(static_cast<int>(std::floor(AGrowth.DaysLeft)));
}
