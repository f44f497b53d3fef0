#include "Tervox_Archive.h"

#include "store/DqHistorySummary.h"
#include "store/DqHistoryChain.h"
#include "trust/Tervox_Chain.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/DqSQLiteWal.h"
#include "store/Main_Database.h"
#include "Tervox_Maintenance.h"

#include <QDate>
#include <QDateTime>
#include <QFileInfo>
#include <QDir>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>

namespace {

// The archive has no other writer: a day of a controller per copying
// transaction. The main file's recorder waits at most for one deleting
// transaction, so each is sized to take about kDeleteHold (from a minute of
// the year's controllers to a day of them, starting at an hour of one
// controller's rows), and the file is left free for kDeleteGap after it: a
// writer waiting meanwhile looks every millisecond.
constexpr double kCopyStep = 1.0;
constexpr std::int64_t kDeleteMinutesFirst = 60;
constexpr std::int64_t kDeleteMinutesMost = 1440;
constexpr std::chrono::milliseconds kDeleteHold{20};
constexpr std::chrono::milliseconds kDeleteGap{5};

QString ColumnsOf(const QString& ATable) {
  for (const TSQLiteRestoreTable& table : TervoxSchema())
    if (table.Name == ATable) return table.Columns.join(QStringLiteral(", "));
  return QStringLiteral("*");
}

void Exec(TSQLiteDatabase& ADatabase, const QString& ASQL, const TSQLiteParamList& AParams) {
  TSQLiteTable statement(&ADatabase);
  statement.SetSQL(ASQL);
  statement.Params().Assign(AParams);
  statement.ExecSQL();
}

TVariant Value(TSQLiteDatabase& ADatabase, const QString& ASQL, const TSQLiteParamList& AParams) {
  TSQLiteTable query(&ADatabase);
  query.SetSQL(ASQL);
  query.Params().Assign(AParams);
  query.Open();
  TVariant value = query.GetFields(0)->Value();
  query.Close();
  return value;
}

TSQLiteParamList Range(std::int64_t ADevice, double AFrom, double ATo) {
  TSQLiteParamList params;
  params.SetParamValues(":DeviceID", static_cast<long long>(ADevice));
  params.SetParamValues(":FirstTime", TVariant::FromDateTime(AFrom));
  params.SetParamValues(":LastTime", TVariant::FromDateTime(ATo));
  return params;
}

const QString kInRange = QStringLiteral("DeviceID = :DeviceID AND ReadTime >= :FirstTime AND ReadTime < :LastTime");

// The earliest reading of ADevice at or after AFrom and before ATo, NULL when none.
TVariant NextReading(TSQLiteDatabase& ADatabase, std::int64_t ADevice, double AFrom, double ATo) {
  return Value(ADatabase, QStringLiteral("SELECT min(ReadTime) FROM main.DeviceData WHERE ") + kInRange,
               Range(ADevice, AFrom, ATo));
}

// The settings that show the rows: replaced by the main file's current ones,
// in one transaction of the archive.
void CopyControllers(TSQLiteDatabase& ADatabase, const std::vector<std::int64_t>& ADevices) {
  QStringList ids;
  for (std::int64_t device : ADevices) ids << QString::number(device);
  const QString idList = ids.join(QLatin1Char(','));
  ADatabase.InWriteTransaction([&] {
    auto copy = [&](const QString& ATable, const QString& AWhere) {
      const QString columns = ColumnsOf(ATable);
      ADatabase.ExecSQL(QStringLiteral("INSERT OR REPLACE INTO main.%1 (%2) SELECT %2 FROM Source.%1 %3")
                            .arg(ATable, columns, AWhere));
    };
    // Controllers deleted from the main file since stay in the archive.
    copy(QStringLiteral("Device"), QStringLiteral("WHERE ID IN (%1)").arg(idList));
    copy(QStringLiteral("DeviceGroupItem"), QStringLiteral("WHERE DeviceID IN (%1)").arg(idList));
    for (const char* table : {"DeviceGroup", "DevicePort", "DeviceType", "UserGroup", "Users"})
      copy(QString::fromLatin1(table), QString());
    // Graph lines have no key: the profiles are taken over whole.
    ADatabase.ExecSQL(QStringLiteral("DELETE FROM main.Graph"));
    ADatabase.ExecSQL(QStringLiteral("DELETE FROM main.GraphLine"));
    copy(QStringLiteral("Graph"), QString());
    copy(QStringLiteral("GraphLine"), QString());
  });
}

} // namespace

QString ArchiveFileName(const QString& ADatabaseFile, int AYear) {
  return QFileInfo(ADatabaseFile).absoluteDir().filePath(QStringLiteral("Tervox-archive-%1.db").arg(AYear));
}

namespace {

std::vector<TArchivedYear> MoveHistory(double ABeforeDay, TTervoxProgress* AProgress, std::int64_t& ADone) {
  const double before = std::floor(ABeforeDay);
  const QString mainFile = GetDatabaseFileName();
  std::unique_ptr<TSQLiteDatabase> database = OpenTervoxDatabase(mainFile);
  // A cancel is heard within a statement too (a year's count, a day's
  // copy, a wait for the recorder's lock).
  database->SetCancelFlag(AProgress ? &AProgress->Cancelled : nullptr);
  const std::vector<std::int64_t> devices = HistoryDeviceIDs(*database);

  // Where each controller's old history starts, and how much there is.
  std::vector<double> starts(devices.size(), before);
  std::int64_t total = 0;
  double first = before;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    // Counting a year of a controller takes a while: a cancel is heard
    // between controllers too.
    if (AProgress && AProgress->Cancelled)
      throw ESQLiteCancelled(QStringLiteral("Archiving cancelled; 0 record(s) were moved."));
    const TVariant start = NextReading(*database, devices[i], -1e9, before);
    if (start.IsNull()) continue;
    starts[i] = VarAsFloat(start);
    first = std::min(first, starts[i]);
    total += Value(*database, QStringLiteral("SELECT count(*) FROM main.DeviceData WHERE ") + kInRange,
                   Range(devices[i], -1e9, before))
                 .IntValue();
  }
  std::vector<TArchivedYear> result;
  if (first >= before) return result;

  // Summarising a year takes a while too: a cancel stops it between its
  // steps, and what is left stays queued for the next run or start.
  const TSQLiteProgress summarising = [AProgress](std::int64_t, std::int64_t) {
    return !AProgress || !AProgress->Cancelled;
  };
  auto summarise = [&](TSQLiteDatabase& ADatabase) {
    if (!BuildHistorySummaries(ADatabase, summarising))
      throw ESQLiteCancelled(QStringLiteral("Archiving cancelled; %1 record(s) were moved.").arg(ADone));
  };
  auto report = [&] {
    if (AProgress && !AProgress->Report(ADone, total))
      throw ESQLiteCancelled(QStringLiteral("Archiving cancelled; %1 record(s) were moved.").arg(ADone));
  };
  report();

  const int lastYear = DateTimeToQDateTime(before).date().addDays(-1).year();
  for (int year = DateTimeToQDateTime(first).date().year(); year <= lastYear; ++year) {
    const double yearStart = EncodeDateTime(year, 1, 1);
    const double yearEnd = std::min(EncodeDateTime(year + 1, 1, 1), before);
    std::vector<std::int64_t> yearDevices;
    for (std::size_t i = 0; i < devices.size(); ++i)
      if (starts[i] < yearEnd && !NextReading(*database, devices[i], yearStart, yearEnd).IsNull())
        yearDevices.push_back(devices[i]);
    if (yearDevices.empty()) continue;

    TArchivedYear archived{ArchiveFileName(mainFile, year), 0};
    if (QFileInfo(archived.FileName) == QFileInfo(mainFile))
      throw EDqException(QStringLiteral("The database \"%1\" is itself the archive of %2; its history stays where it is.")
                             .arg(mainFile)
                             .arg(year));
    try {
      // The archive is made (or checked) as the program makes its database.
      // Its connection reaches the main file read-only: a write transaction
      // would otherwise lock every attached file, the recorder's included.
      std::unique_ptr<TSQLiteDatabase> archive = OpenTervoxDatabase(archived.FileName);
      archive->SetCancelFlag(AProgress ? &AProgress->Cancelled : nullptr);
      TSQLiteParamList attach;
      attach.SetParamValues(":File", QUrl::fromLocalFile(mainFile).toString(QUrl::FullyEncoded) +
                                         QStringLiteral("?mode=ro"));
      Exec(*archive, QStringLiteral("ATTACH DATABASE :File AS Source"), attach);
      CopyControllers(*archive, yearDevices);
      // The archive keeps the chain of the rows it holds.
      CopyHistoryChain(*archive, QStringLiteral("Source"), yearDevices, HistoryMinuteOf(yearStart),
                       HistoryMinuteOf(yearEnd));
      const QString copy = QStringLiteral("INSERT OR IGNORE INTO main.DeviceData (%1) SELECT %1 FROM Source.DeviceData "
                                          "WHERE %2")
                               .arg(ColumnsOf(QStringLiteral("DeviceData")), kInRange);
      for (std::int64_t device : yearDevices) {
        for (TVariant at = NextReading(*database, device, yearStart, yearEnd); !at.IsNull();) {
          const double from = VarAsFloat(at);
          const double to = std::min(from + kCopyStep, yearEnd);
          // A row a killed run copied already stays as it is.
          InsertHistoryInBulk(*archive, device, from, to, [&] { Exec(*archive, copy, Range(device, from, to)); });
          report();
          at = NextReading(*database, device, to, yearEnd);
        }
      }
      summarise(*archive);
      archive->ExecSQL(QStringLiteral("DETACH DATABASE Source"));
    } catch (const ESQLiteCancelled&) {
      throw;
    } catch (const EDqException& e) {
      throw EDqException(QStringLiteral("Cannot write the archive \"%1\"; no history of %2 was removed from the "
                                        "database.\n%3")
                             .arg(archived.FileName)
                             .arg(year)
                             .arg(e.Message()));
    }
    TSQLiteParamList attach;
    attach.SetParamValues(":File", archived.FileName);
    Exec(*database, QStringLiteral("ATTACH DATABASE :File AS Archive"), attach);
    // A delete need not reach the disk at its commit, which would keep the
    // recorder waiting for as long as the disk is busy: a power cut can only
    // undo it, and the rows are then in both files, for the next run.
    database->ExecSQL(QStringLiteral("PRAGMA main.synchronous = NORMAL"));
    // The history's chain hears of the minutes removed, cut off or not.
    std::int64_t removedTo = HistoryMinuteOf(yearStart);
    auto recordRemoval = [&] {
      if (archived.Rows > 0)
        TervoxChain::RecordHistoryRemoved(*database, TervoxChain::kHistoryArchived, yearStart,
                                          std::min(yearEnd, removedTo / kMinutesPerDay), archived.Rows,
                                          MaintenanceUser());
    };
    try {
      // Everything of the year is committed in the archive: only now may
      // the main file let go of it, and only of rows the archive holds. A
      // few minutes of every controller at a time: the rows of the same
      // seconds lie together in the file, as they were recorded, so each
      // transaction changes few pages. Whole minutes, so that their summary
      // minutes go in the same transaction.
      QStringList ids;
      for (std::int64_t device : yearDevices) ids << QString::number(device);
      const QString rowsOfChunk = QStringLiteral(
          "DeviceID IN (%1) AND ReadTime >= :FirstTime AND ReadTime < :LastTime AND CAST(ReadTime * 1440 AS INTEGER) "
          ">= :FromMinute AND CAST(ReadTime * 1440 AS INTEGER) < :ToMinute")
                                      .arg(ids.join(QLatin1Char(',')));
      const QString chunk = QStringLiteral("DELETE FROM main.DeviceData WHERE %1 AND EXISTS (SELECT 1 FROM "
                                           "Archive.DeviceData a WHERE a.DeviceID = main.DeviceData.DeviceID AND "
                                           "a.ReadTime = main.DeviceData.ReadTime)")
                                .arg(rowsOfChunk);
      // The earliest reading of the year's controllers from AFrom on.
      auto nextReading = [&](double AFrom) {
        TVariant next;
        for (std::int64_t device : yearDevices) {
          const TVariant at = NextReading(*database, device, AFrom, yearEnd);
          if (!at.IsNull() && (next.IsNull() || VarAsFloat(at) < VarAsFloat(next))) next = at;
        }
        return next;
      };
      std::int64_t minutes =
          std::max<std::int64_t>(1, kDeleteMinutesFirst / static_cast<std::int64_t>(yearDevices.size()));
      std::int64_t fromMinute = std::numeric_limits<std::int64_t>::min();
      for (TVariant at = nextReading(yearStart); !at.IsNull();) {
        fromMinute = std::max(fromMinute, HistoryMinuteOf(VarAsFloat(at)));
        const std::int64_t toMinute = fromMinute + minutes;
        // One range of the key per controller: the chunk's minutes, with a
        // minute's slack for rounding, within the year.
        TSQLiteParamList params;
        params.SetParamValues(":FirstTime", TVariant::FromDateTime(std::max(yearStart, (fromMinute - 1) / kMinutesPerDay)));
        params.SetParamValues(":LastTime", TVariant::FromDateTime(std::min(yearEnd, (toMinute + 1) / kMinutesPerDay)));
        params.SetParamValues(":FromMinute", static_cast<long long>(fromMinute));
        params.SetParamValues(":ToMinute", static_cast<long long>(toMinute));
        const auto began = std::chrono::steady_clock::now();
        int deleted = 0;
        database->InWriteTransaction([&] {
          Exec(*database, chunk, params);
          deleted = database->RowsChanged();
          ForgetHistoryMinutes(*database, yearDevices, fromMinute, toMinute);
        });
        archived.Rows += deleted;
        ADone += deleted;
        const auto held = std::chrono::steady_clock::now() - began;
        if (held > kDeleteHold && minutes > 1)
          minutes /= 2;
        else if (held < kDeleteHold / 2 && minutes < kDeleteMinutesMost)
          minutes = std::min(minutes * 2, kDeleteMinutesMost);
        // Deleting fills the log quickly: copied here, it never grows to
        // the size whose restart would hold the recorder back.
        if (TSQLiteWalKeeper* keeper = database->WalKeeper()) keeper->CopyNow();
        std::this_thread::sleep_for(kDeleteGap);
        report();
        // A row the archive lacks (recorded late into the range) is left
        // for the next run rather than looped over here.
        fromMinute = toMinute;
        removedTo = toMinute;
        at = nextReading((toMinute - 1) / kMinutesPerDay);
      }
    } catch (...) {
      try {
        database->ExecSQL(QStringLiteral("DETACH DATABASE Archive"));
      } catch (...) {
      }
      recordRemoval();
      throw;
    }
    database->ExecSQL(QStringLiteral("DETACH DATABASE Archive"));
    removedTo = HistoryMinuteOf(yearEnd);
    recordRemoval();
    result.push_back(archived);
  }
  // Minutes that kept rows (of another year, or not yet archived).
  summarise(*database);
  return result;
}

} // namespace

std::vector<TArchivedYear> ArchiveHistory(double ABeforeDay, TTervoxProgress* AProgress) {
  std::int64_t done = 0;
  try {
    return MoveHistory(ABeforeDay, AProgress, done);
  } catch (const EDqException&) {
    // A statement the cancel stopped fails as any other would.
    if (AProgress && AProgress->Cancelled)
      throw ESQLiteCancelled(QStringLiteral("Archiving cancelled; %1 record(s) were moved.").arg(done));
    throw;
  }
}
