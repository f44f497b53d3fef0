#include "DqGraphHistory.h"

#include "store/DqHistorySummary.h"
#include "store/DqSQLite.h"
#include "store/DqSQLiteStatement.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr double kNoSample = 32767.0;
constexpr double kSecondsPerDay = 86400.0;
// Short reads per pixel column in stride mode, and rows per read.
constexpr int kStrideReads = 8;
constexpr int kStrideRows = 4;

// Texts of the history reader's failures.
const TSQLiteStatement::TErrors& HistoryErrors() {
  static const TSQLiteStatement::TErrors errors{QStringLiteral("Failed to prepare history query"),
                                                QStringLiteral("Failed to read history")};
  return errors;
}

// Folds rows, newest first, into pixel columns.
class TColumnReducer {
public:
  TColumnReducer(TDqHistorySeries& ASeries, const TDqHistoryRequest& ARequest) : FSeries(ASeries), FRequest(ARequest) {}
  void Add(double AT, double AValue) {
    if (!FSeries.HasRows) {
      FSeries.HasRows = true;
      FSeries.NewestValue = AValue;
    }
    ++FSeries.RowsRead;
    if (AValue == kNoSample) return;
    const int x = HistoryX(AT, FRequest.FirstTime, FRequest.LastTime, FRequest.Left, FRequest.Width);
    if (FSeries.Columns.empty() || FSeries.Columns.back().X != x) {
      FSeries.Columns.push_back({x, AValue, AValue, AValue, AValue});
      return;
    }
    TDqHistoryColumn& c = FSeries.Columns.back();
    c.Min = std::min(c.Min, AValue);
    c.Max = std::max(c.Max, AValue);
    c.Last = AValue;
  }

private:
  TDqHistorySeries& FSeries;
  const TDqHistoryRequest& FRequest;
};

// A missing cell counts as no value, as the recorder's 32767 does.
double ColumnValue(sqlite3_stmt* AStmt, int AColumn) {
  return sqlite3_column_type(AStmt, AColumn) == SQLITE_NULL ? kNoSample : sqlite3_column_double(AStmt, AColumn);
}

bool IsCancelled(const std::atomic<bool>* ACancel) { return ACancel && ACancel->load(std::memory_order_relaxed); }

void ReadExact(sqlite3* ADatabase, const char* AColumn, const TDqHistoryRequest& ARequest, TDqHistorySeries& ASeries,
               const std::atomic<bool>* ACancel) {
  TSQLiteStatement query(HistoryErrors(), ADatabase, QByteArray("SELECT ReadTime, ") + AColumn +
                                  " FROM DeviceData WHERE DeviceID = ?1 AND ReadTime >= ?2 AND ReadTime <= ?3"
                                  " ORDER BY ReadTime DESC");
  query.Bind(1, ARequest.DeviceID);
  query.Bind(2, ARequest.FirstTime);
  query.Bind(3, ARequest.LastTime);
  TColumnReducer reducer(ASeries, ARequest);
  std::int64_t n = 0;
  while (query.Step()) {
    if ((++n & 4095) == 0 && IsCancelled(ACancel)) {
      ASeries.Cancelled = true;
      return;
    }
    reducer.Add(sqlite3_column_double(query.Stmt(), 0), ColumnValue(query.Stmt(), 1));
  }
}

void ReadStride(sqlite3* ADatabase, const char* AColumn, const TDqHistoryRequest& ARequest, TDqHistorySeries& ASeries,
                const std::atomic<bool>* ACancel) {
  ASeries.Sampled = true;
  const QByteArray select = QByteArray("SELECT ReadTime, ") + AColumn + " FROM DeviceData WHERE DeviceID = ?1";
  TSQLiteStatement newest(HistoryErrors(), ADatabase, select + " AND ReadTime >= ?2 AND ReadTime <= ?3 ORDER BY ReadTime DESC LIMIT 1");
  TSQLiteStatement piece(HistoryErrors(), ADatabase, select + " AND ReadTime >= ?2 AND ReadTime <= ?3 ORDER BY ReadTime LIMIT " +
                                  QByteArray::number(kStrideRows));
  const double first = ARequest.FirstTime;
  const double last = ARequest.LastTime;
  const double columnSpan = (last - first) / ARequest.Width;
  TColumnReducer reducer(ASeries, ARequest);

  // The newest reading of the window leads, as it does in an exact read.
  newest.Bind(1, ARequest.DeviceID);
  newest.Bind(2, first);
  newest.Bind(3, last);
  if (!newest.Step()) return;
  const double newestTime = sqlite3_column_double(newest.Stmt(), 0);
  reducer.Add(newestTime, ColumnValue(newest.Stmt(), 1));

  std::vector<std::pair<double, double>> rows;
  for (int column = ARequest.Width; column >= 0; --column) {
    if (IsCancelled(ACancel)) {
      ASeries.Cancelled = true;
      return;
    }
    const double from = std::max(first, first + (column - 0.5) * columnSpan);
    const double to = std::min(last, first + (column + 0.5) * columnSpan);
    rows.clear();
    for (int k = 0; k < kStrideReads; ++k) {
      piece.Reset();
      piece.Bind(1, ARequest.DeviceID);
      piece.Bind(2, from + k * (to - from) / kStrideReads);
      piece.Bind(3, to);
      while (piece.Step()) {
        const double t = sqlite3_column_double(piece.Stmt(), 0);
        if (t >= newestTime) break; // already counted
        rows.emplace_back(t, ColumnValue(piece.Stmt(), 1));
      }
    }
    std::sort(rows.begin(), rows.end(), [](const auto& A, const auto& B) { return A.first > B.first; });
    rows.erase(std::unique(rows.begin(), rows.end(), [](const auto& A, const auto& B) { return A.first == B.first; }),
               rows.end());
    for (const auto& [t, v] : rows) reducer.Add(t, v);
  }
}

// Rows waiting for the catch-up beyond which a window is read from its rows
// instead (normally a minute or so of every controller's).
constexpr std::int64_t kMostUnsummarisedRows = 100000;

// The minute from which a controller's window is read from its rows, the
// summaries serving the minutes before it; -1 when they serve none of it:
// the tables are missing or part of the window waits to be built.
std::int64_t SummarisedBefore(sqlite3* ADatabase, int ADeviceID, std::int64_t AFrom, std::int64_t ATo) {
  sqlite3_stmt* stmt = nullptr;
  const char* sql = "SELECT (SELECT count(*) FROM sqlite_master WHERE name IN ('DeviceDataMinute', "
                    "'DeviceDataMinuteQueue', 'DeviceDataMinuteMark')) = 3 AND NOT EXISTS (SELECT 1 FROM "
                    "DeviceDataMinuteQueue WHERE DeviceID = ?1 AND FromMinute <= ?3 AND ToMinute > ?2)";
  bool covered = false;
  if (sqlite3_prepare_v2(ADatabase, sql, -1, &stmt, nullptr) == SQLITE_OK) {
    sqlite3_bind_int(stmt, 1, ADeviceID);
    sqlite3_bind_int64(stmt, 2, AFrom);
    sqlite3_bind_int64(stmt, 3, ATo);
    covered = sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int(stmt, 0) == 1;
  }
  sqlite3_finalize(stmt); // a database without the queue table is simply not covered
  return covered ? UnsummarisedHistoryFrom(ADatabase, ADeviceID, kMostUnsummarisedRows) : -1;
}

// Folds rows and minutes, oldest first, into pixel columns; Finish turns
// them into drawing order (newest first), the columns the rows read newest
// first would give.
class TAscendingReducer {
public:
  TAscendingReducer(TDqHistorySeries& ASeries, const TDqHistoryRequest& ARequest)
      : FSeries(ASeries), FRequest(ARequest) {}
  void Add(double AT, double AValue) {
    ++FSeries.RowsRead;
    if (AValue == kNoSample) return;
    Fold(HistoryX(AT, FRequest.FirstTime, FRequest.LastTime, FRequest.Left, FRequest.Width), AValue, AValue, AValue,
         AValue);
  }
  // A minute whose rows all fall in column AX, from its summary.
  void AddMinute(int AX, double AMin, double AMax, double AOldest, double ANewest) {
    ++FSeries.RowsRead; // one summary row
    Fold(AX, ANewest, AMin, AMax, AOldest);
  }
  void Finish() { std::reverse(FSeries.Columns.begin(), FSeries.Columns.end()); }

private:
  void Fold(int AX, double ANewest, double AMin, double AMax, double AOldest) {
    if (FSeries.Columns.empty() || FSeries.Columns.back().X != AX) {
      FSeries.Columns.push_back({AX, ANewest, AMin, AMax, AOldest});
      return;
    }
    TDqHistoryColumn& c = FSeries.Columns.back();
    c.First = ANewest;
    c.Min = std::min(c.Min, AMin);
    c.Max = std::max(c.Max, AMax);
  }
  TDqHistorySeries& FSeries;
  const TDqHistoryRequest& FRequest;
};

// Per-minute summaries for the minutes wholly inside the window and wholly
// inside one pixel column; the rows themselves for the rest (the window's
// two edge minutes and minutes split between two columns), so every column
// gets exactly what its rows would give. Read oldest first: the summaries
// of a controller lie in the file in that order, so a file not yet in the
// system's cache is read ahead instead of page by page backwards.
void ReadSummarised(sqlite3* ADatabase, const char* AColumn, const TDqHistoryRequest& ARequest,
                    std::int64_t ASummarisedBefore, TDqHistorySeries& ASeries, const std::atomic<bool>* ACancel) {
  ASeries.Summarised = true;
  const QByteArray column(AColumn);
  const QByteArray select = "SELECT ReadTime, " + column + " FROM DeviceData WHERE DeviceID = ?1";
  TSQLiteStatement newest(HistoryErrors(), ADatabase, select + " AND ReadTime >= ?2 AND ReadTime <= ?3 ORDER BY ReadTime DESC LIMIT 1");
  newest.Bind(1, ARequest.DeviceID);
  newest.Bind(2, ARequest.FirstTime);
  newest.Bind(3, ARequest.LastTime);
  if (!newest.Step()) return;
  ASeries.HasRows = true;
  ASeries.NewestValue = ColumnValue(newest.Stmt(), 1);

  TAscendingReducer reducer(ASeries, ARequest);
  TSQLiteStatement rows(HistoryErrors(), ADatabase, select + " AND ReadTime >= ?2 AND ReadTime <= ?3 ORDER BY ReadTime");
  // A minute's rows lie within a thousandth of a minute of its ends, far
  // more than the rounding of ReadTime * 1440 (which each row's minute is
  // checked by, as the summaries are made).
  constexpr double kMargin = 0.001;
  auto readMinutes = [&](std::int64_t AFrom, std::int64_t ATo) {
    rows.Reset();
    rows.Bind(1, ARequest.DeviceID);
    rows.Bind(2, std::max(ARequest.FirstTime, (AFrom - kMargin) / kMinutesPerDay));
    rows.Bind(3, std::min(ARequest.LastTime, (ATo + 1 + kMargin) / kMinutesPerDay));
    while (rows.Step()) {
      const double t = sqlite3_column_double(rows.Stmt(), 0);
      const std::int64_t minute = HistoryMinuteOf(t);
      if (minute >= AFrom && minute <= ATo) reducer.Add(t, ColumnValue(rows.Stmt(), 1));
    }
  };
  auto x = [&](double AMinute) {
    return HistoryX(AMinute / kMinutesPerDay, ARequest.FirstTime, ARequest.LastTime, ARequest.Left, ARequest.Width);
  };
  // Summary rows (minutes, or hours by their first minute) of [AFrom, ATo),
  // oldest first: those wholly in one column from their summary, the rest
  // through ASplit. Only the columns the line needs; a summary without a
  // value has them NULL; values are stored times the row's Scale.
  auto summaryStatement = [&](const char* ATable, const char* AKey) {
    return std::make_unique<TSQLiteStatement>(HistoryErrors(), ADatabase, "SELECT " + QByteArray(AKey) + ", " + column + "Min, " + column +
                                                       "Max, " + column + "First, " + column + "Last, Scale FROM " +
                                                       ATable + " WHERE DeviceID = ?1 AND " + AKey + " >= ?2 AND " +
                                                       AKey + " < ?3 ORDER BY " + AKey);
  };
  const auto minuteRows = summaryStatement("DeviceDataMinute", "Minute");
  const auto hourRows = summaryStatement("DeviceDataHour", "Hour");
  bool cancelled = false;
  std::int64_t n = 0;
  auto readSummaries = [&](TSQLiteStatement& AStatement, std::int64_t ASpan, std::int64_t AFrom, std::int64_t ATo,
                           const std::function<void(std::int64_t)>& ASplit) {
    AStatement.Reset();
    AStatement.Bind(1, ARequest.DeviceID);
    AStatement.Bind(2, AFrom);
    AStatement.Bind(3, ATo);
    // Once a summary lies in a column whole, a later one ending in that
    // column does too (x grows with time): one x a row instead of two.
    bool known = false;
    int knownX = 0;
    while (!cancelled && AStatement.Step()) {
      if ((++n & 4095) == 0 && IsCancelled(ACancel)) {
        cancelled = true;
        break;
      }
      sqlite3_stmt* m = AStatement.Stmt();
      const std::int64_t first = sqlite3_column_int64(m, 0) * ASpan;
      const int to = x(first + ASpan + kMargin);
      known = (known && to == knownX) || to == x(first - kMargin);
      knownX = to;
      if (!known) {
        ASplit(first);
      } else if (sqlite3_column_type(m, 1) != SQLITE_NULL) {
        const double scale = static_cast<double>(std::max<std::int64_t>(1, sqlite3_column_int64(m, 5)));
        reducer.AddMinute(to, sqlite3_column_double(m, 1) / scale, sqlite3_column_double(m, 2) / scale,
                          sqlite3_column_double(m, 3) / scale, sqlite3_column_double(m, 4) / scale);
      } else {
        ++ASeries.RowsRead; // a summary without a value
      }
    }
  };
  auto readMinuteSummaries = [&](std::int64_t AFrom, std::int64_t ATo) {
    readSummaries(*minuteRows, 1, AFrom, ATo, [&](std::int64_t AMinute) { readMinutes(AMinute, AMinute); });
  };
  // Columns of an hour or more take whole hours from their summaries; an
  // hour split between columns, and the minutes before the first whole
  // hour and after the last, from the minutes.
  const bool hourColumns = (ARequest.LastTime - ARequest.FirstTime) * kMinutesPerDay / ARequest.Width >= 60.0;
  auto readSpan = [&](std::int64_t AFrom, std::int64_t ATo) {
    const std::int64_t firstHour = (AFrom + 59) / 60, endHour = ATo / 60;
    if (!hourColumns || firstHour >= endHour) {
      readMinuteSummaries(AFrom, ATo);
      return;
    }
    readMinuteSummaries(AFrom, firstHour * 60);
    // The minutes' statement is reset for each split hour; the hours' one
    // goes on.
    readSummaries(*hourRows, 60, firstHour, endHour,
                  [&](std::int64_t AMinute) { readMinuteSummaries(AMinute, AMinute + 60); });
    readMinuteSummaries(endHour * 60, ATo);
  };

  const std::int64_t firstMinute = HistoryMinuteOf(ARequest.FirstTime);
  const std::int64_t lastMinute = HistoryMinuteOf(ARequest.LastTime);
  // The newest minutes not yet summarised come from the rows too.
  const std::int64_t rowsFrom = std::max(firstMinute + 1, std::min(lastMinute, ASummarisedBefore));
  readMinutes(firstMinute, firstMinute);
  if (lastMinute != firstMinute) {
    readSpan(firstMinute + 1, rowsFrom);
    if (cancelled) {
      ASeries.Cancelled = true;
      reducer.Finish();
      return;
    }
    readMinutes(rowsFrom, lastMinute);
  }
  reducer.Finish();
}

} // namespace

const char* HistoryColumnName(int AValueType) {
  static const char* const kColumns[] = {nullptr, "PV", "SV", "OUT1", "OUT2", "EV1", "EV2", "EV3"};
  if (AValueType < 1 || AValueType > 7) return nullptr;
  return kColumns[AValueType];
}

int HistoryX(double AT, double AFirstTime, double ALastTime, int ALeft, int AWidth) {
  const double span = ALastTime - AFirstTime;
  if (!(span > 0.0) && !(span < 0.0)) return ALeft;
  const double offset = std::nearbyint((AT - AFirstTime) * AWidth / span);
  // Far outside the picture a column number means nothing; keep it finite.
  return ALeft + static_cast<int>(std::clamp(offset, -1.0e7, 1.0e7));
}

TDqHistorySeries ReadHistorySeries(sqlite3* ADatabase, const TDqHistoryRequest& ARequest,
                                   const std::atomic<bool>* ACancel) {
  TDqHistorySeries series;
  const char* column = HistoryColumnName(ARequest.ValueType);
  if (!column || !ADatabase) return series;
  const double seconds = (ARequest.LastTime - ARequest.FirstTime) * kSecondsPerDay;
  const std::int64_t summarisedBefore =
      ARequest.Width > 0 && seconds / ARequest.Width >= kHistorySummarySecondsPerColumn
          ? SummarisedBefore(ADatabase, ARequest.DeviceID, HistoryMinuteOf(ARequest.FirstTime),
                             HistoryMinuteOf(ARequest.LastTime))
          : -1;
  if (summarisedBefore >= 0)
    ReadSummarised(ADatabase, column, ARequest, summarisedBefore, series, ACancel);
  else if (ARequest.Width > 0 && seconds / ARequest.Width > kHistoryStrideRowsPerColumn)
    ReadStride(ADatabase, column, ARequest, series, ACancel);
  else
    ReadExact(ADatabase, column, ARequest, series, ACancel);
  return series;
}

// ---------------------------------------------------------------- loader

struct TDqHistoryLoader::TJob {
  std::atomic<bool> Cancel{false};
  std::mutex Mutex;
  std::condition_variable Finished;
  bool Done = false;
};

TDqHistoryLoader::TDqHistoryLoader(const QString& AFileName) : FFileName(AFileName) {}

TDqHistoryLoader::~TDqHistoryLoader() {
  Cancel();
  Wait();
}

std::vector<TDqHistorySeries> TDqHistoryLoader::Read(const QString& AFileName,
                                                     const std::vector<TDqHistoryRequest>& ARequests,
                                                     const std::atomic<bool>& ACancel, QString& AError,
                                                     std::atomic<std::int64_t>* ADone) {
  std::vector<TDqHistorySeries> result(ARequests.size());
  std::mutex errorMutex;
  std::atomic<std::size_t> next{0};
  auto worker = [&]() {
    sqlite3* db = nullptr;
    const QByteArray file = AFileName.toUtf8();
    if (sqlite3_open_v2(file.constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
      std::lock_guard<std::mutex> guard(errorMutex);
      AError = QStringLiteral("Failed to open the database for the graph: %1").arg(QString::fromUtf8(sqlite3_errmsg(db)));
      sqlite3_close(db);
      return;
    }
    sqlite3_busy_timeout(db, 5000);
    for (std::size_t i = next++; i < ARequests.size() && !ACancel; i = next++) {
      try {
        result[i] = ReadHistorySeries(db, ARequests[i], &ACancel);
      } catch (const EDqException& e) {
        std::lock_guard<std::mutex> guard(errorMutex);
        AError = e.Message();
      }
      if (ADone) ++*ADone;
    }
    sqlite3_close(db);
  };
  // At least four reads at once even on two cores: a file the system has
  // not cached keeps each read waiting on the disk much of the time (a
  // year of four lines drawn first: one thread a line was faster).
  const std::size_t threads = std::clamp<std::size_t>(std::max(std::thread::hardware_concurrency(), 4u), 1,
                                                      std::max<std::size_t>(1, ARequests.size()));
  std::vector<std::thread> pool;
  for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();
  return result;
}

std::uint64_t TDqHistoryLoader::Start(std::vector<TDqHistoryRequest> ARequests, QObject* AContext, TDone ADone) {
  Cancel();
  const std::uint64_t generation = ++FGeneration;
  auto job = std::make_shared<TJob>();
  std::erase_if(FJobs, [](const std::shared_ptr<TJob>& AJob) {
    std::lock_guard<std::mutex> guard(AJob->Mutex);
    return AJob->Done;
  });
  FJobs.push_back(job);
  std::thread([job, generation, fileName = FFileName, requests = std::move(ARequests),
               context = QPointer<QObject>(AContext), done = std::move(ADone)]() mutable {
    QString error;
    std::vector<TDqHistorySeries> series = Read(fileName, requests, job->Cancel, error);
    // Posted to the application object: the context is looked at only on
    // its own thread, where it may have been destroyed meanwhile.
    if (!job->Cancel && QCoreApplication::instance()) {
      QMetaObject::invokeMethod(
          QCoreApplication::instance(),
          [context, done = std::move(done), generation, series = std::move(series), error]() mutable {
            if (context) done(generation, std::move(series), error);
          },
          Qt::QueuedConnection);
    }
    std::lock_guard<std::mutex> guard(job->Mutex);
    job->Done = true;
    job->Finished.notify_all();
  }).detach();
  return generation;
}

void TDqHistoryLoader::Cancel() {
  for (const std::shared_ptr<TJob>& job : FJobs) job->Cancel = true;
}

bool TDqHistoryLoader::Busy() const {
  for (const std::shared_ptr<TJob>& job : FJobs) {
    std::lock_guard<std::mutex> guard(job->Mutex);
    if (!job->Done) return true;
  }
  return false;
}

void TDqHistoryLoader::Wait() {
  // Cancelled reads stop within a few thousand rows; each is waited for.
  for (const std::shared_ptr<TJob>& job : FJobs) {
    std::unique_lock<std::mutex> lock(job->Mutex);
    job->Finished.wait(lock, [&job] { return job->Done; });
  }
}
