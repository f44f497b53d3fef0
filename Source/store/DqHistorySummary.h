// Per-minute summaries of the history (table DeviceDataMinute): for each
// controller and minute the last reading time, the row count and, for
// every value a graph line can show, the minimum, maximum, first and last
// reading (times the minute's Scale) and how many readings it had (NULL:
// every row of the minute; 32767 or NULL in a row is no value).
// The process that records catches them up from the rows recorded after a
// mark (the rowid in DeviceDataMinuteMark) every little while; readers take
// the minutes from the first row after the mark from the rows. Ranges still
// to be (re)computed wait in DeviceDataMinuteQueue. All three tables are
// derived data, left out of backups and rebuilt when missing or damaged.
#pragma once

#include "DqSQLite.h"

#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

inline constexpr double kMinutesPerDay = 1440.0;

struct sqlite3;

// The minute of a reading time.
inline std::int64_t HistoryMinuteOf(double AReadTime) { return static_cast<std::int64_t>(AReadTime * kMinutesPerDay); }

// The summary tables, which backups leave out.
QStringList HistorySummaryTableNames();

// Creates the summaries when they are missing or their tables are not as
// this build makes them (an older database, a table dropped or altered by
// hand): the tables, the mark at the newest row and a queue entry covering
// every controller's recorded history, in one short transaction. Returns
// true when it (re)created them.
bool EnsureHistorySummaries(TSQLiteDatabase& ADatabase);

// Drops the summaries, their queue and mark (before a restore, which
// refills DeviceData wholesale).
void DropHistorySummaries(TSQLiteDatabase& ADatabase);

// Queues the minutes from AFromTime to AToTime of every controller for
// recomputation (history deleted there).
void QueueHistorySummaries(TSQLiteDatabase& ADatabase, double AFromTime, double AToTime);

// In the transaction that deleted history rows: when the newest went, the
// mark goes back with the rowids SQLite hands out again.
void HistoryRowsDeleted(TSQLiteDatabase& ADatabase);

// For history rows of ADeviceIDs' minutes AFromMinute..AToMinute-1 just
// deleted in the caller's transaction: drops the minutes left without rows
// and queues the others for recomputation.
void ForgetHistoryMinutes(TSQLiteDatabase& ADatabase, const std::vector<std::int64_t>& ADeviceIDs,
                          std::int64_t AFromMinute, std::int64_t AToMinute);

// Runs AInsert, which adds ADeviceID's history rows from AFromTime to
// AToTime, in one transaction that moves the mark past them and queues the
// minutes of that span for BuildHistorySummaries (minutes built whole cost
// far less than the rows caught up one batch at a time).
void InsertHistoryInBulk(TSQLiteDatabase& ADatabase, std::int64_t ADeviceID, double AFromTime, double AToTime,
                         const std::function<void()>& AInsert);

// Summarises the rows recorded after the mark, in short transactions;
// AGoOn, asked before each, ends it when false. Returns the rows
// summarised.
std::int64_t CatchUpHistorySummaries(TSQLiteDatabase& ADatabase, const std::function<bool()>& AGoOn = {});

// For a reader: the first minute of ADeviceID whose rows are not all in
// its summary yet (the largest int64 when every one is); -1 when more than
// AMostRows rows wait to be summarised or the file has no mark, and the
// summaries are not to be used.
std::int64_t UnsummarisedHistoryFrom(sqlite3* ADatabase, std::int64_t ADeviceID, std::int64_t AMostRows);

// Minutes waiting in the queue.
std::int64_t PendingHistorySummaryMinutes(TSQLiteDatabase& ADatabase);

// Catches up, then works through the queue in short transactions (two
// hours of one controller each), so the recorder never waits long; a kill
// or a cancel loses nothing and the next call resumes. AProgress hears of
// each step (done and total minutes) and may cancel. Returns false when
// cancelled.
bool BuildHistorySummaries(TSQLiteDatabase& ADatabase, const TSQLiteProgress& AProgress = {});

// Builds the queued summaries of a database file on a thread and
// connection of its own while the program runs; with a period it then goes
// on catching up every period (the process that records).
class THistorySummaryBuilder {
public:
  // Called on the worker: each step (AError empty, AFinished false), then
  // once at the end (finished, or failed with AError).
  using TNotify = std::function<void(std::int64_t ADone, std::int64_t ATotal, bool AFinished, const QString& AError)>;
  THistorySummaryBuilder(const QString& AFileName, TNotify ANotify,
                         std::chrono::milliseconds APeriod = std::chrono::milliseconds(0));
  // Stops after the step under way; what was built stays.
  ~THistorySummaryBuilder();
  THistorySummaryBuilder(const THistorySummaryBuilder&) = delete;
  THistorySummaryBuilder& operator=(const THistorySummaryBuilder&) = delete;
  bool Finished() const;

private:
  struct TState;
  std::shared_ptr<TState> FState;
};

// Compares stored minute summaries with the rows they summarise (a check
// of the file, reading only): rows given minute by minute, in time order.
// A minute not summarised yet (rows after the mark, queued) passes.
class THistorySummaryCheck {
public:
  explicit THistorySummaryCheck(sqlite3* ADatabase);
  ~THistorySummaryCheck();
  THistorySummaryCheck(const THistorySummaryCheck&) = delete;
  THistorySummaryCheck& operator=(const THistorySummaryCheck&) = delete;
  // A row of the minute: its rowid, time and PV..EV3 from AColumn of AStmt.
  void Add(std::int64_t ARowID, double ATime, sqlite3_stmt* AStmt, int AColumn);
  // The minute's rows all given: empty when its stored summary matches,
  // else what differs.
  QString Finish(std::int64_t ADeviceID, std::int64_t AMinute);

private:
  struct TState;
  std::unique_ptr<TState> FState;
};
