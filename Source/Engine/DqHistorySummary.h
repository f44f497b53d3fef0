// Per-minute summaries of the history (table DeviceDataMinute): for each
// controller and minute the first and last reading time, the row count and,
// for every value a graph line can show, the minimum, maximum, first and
// last reading and how many readings it had (32767 or NULL is no value).
// SQLite triggers on DeviceData keep them current in the recording
// transaction, whichever process records. Ranges still to be (re)computed
// wait in DeviceDataMinuteQueue; both tables are derived data, left out of
// backups and rebuilt when missing or damaged.
#pragma once

#include "DqSQLite.h"

#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

inline constexpr double kMinutesPerDay = 1440.0;

// The minute of a reading time, as the triggers compute it.
inline std::int64_t HistoryMinuteOf(double AReadTime) { return static_cast<std::int64_t>(AReadTime * kMinutesPerDay); }

// The summary tables, which backups leave out.
QStringList HistorySummaryTableNames();

// Creates the summaries when they are missing or their tables or triggers are
// not as this build makes them (an older database, a table dropped or
// altered by hand): the tables, the triggers and a queue entry covering every
// controller's recorded history, in one short transaction. Returns true when
// it (re)created them.
bool EnsureHistorySummaries(TSQLiteDatabase& ADatabase);

// Drops the summaries, their queue and the triggers (before a restore, which
// refills DeviceData wholesale).
void DropHistorySummaries(TSQLiteDatabase& ADatabase);

// Queues the minutes from AFromTime to AToTime of every controller for
// recomputation (history deleted there).
void QueueHistorySummaries(TSQLiteDatabase& ADatabase, double AFromTime, double AToTime);

// For history rows of ADeviceID's minutes AFromMinute..AToMinute-1 just
// deleted in the caller's transaction: drops the minutes left without rows
// and queues the others for recomputation.
void ForgetHistoryMinutes(TSQLiteDatabase& ADatabase, std::int64_t ADeviceID, std::int64_t AFromMinute,
                          std::int64_t AToMinute);

// Runs AInsert, which adds ADeviceID's history rows from AFromTime to
// AToTime, in one transaction with the summary triggers set aside (rows
// summarised one by one would cost far more than the copy), queueing the
// minutes of that span for BuildHistorySummaries instead.
void InsertHistoryInBulk(TSQLiteDatabase& ADatabase, std::int64_t ADeviceID, double AFromTime, double AToTime,
                         const std::function<void()>& AInsert);

// Minutes waiting in the queue.
std::int64_t PendingHistorySummaryMinutes(TSQLiteDatabase& ADatabase);

// Works through the queue in short transactions (an hour of one controller
// each), so the recorder never waits long; a kill or a cancel loses nothing
// and the next call resumes. AProgress hears of each step (done and total
// minutes) and may cancel. Returns false when cancelled.
bool BuildHistorySummaries(TSQLiteDatabase& ADatabase, const TSQLiteProgress& AProgress = {});

// Builds the queued summaries of a database file on a thread and
// connection of its own while the program runs.
class THistorySummaryBuilder {
public:
  // Called on the worker: each step (AError empty, AFinished false), then
  // once at the end (finished, or failed with AError).
  using TNotify = std::function<void(std::int64_t ADone, std::int64_t ATotal, bool AFinished, const QString& AError)>;
  THistorySummaryBuilder(const QString& AFileName, TNotify ANotify);
  // Stops after the step under way; what was built stays.
  ~THistorySummaryBuilder();
  THistorySummaryBuilder(const THistorySummaryBuilder&) = delete;
  THistorySummaryBuilder& operator=(const THistorySummaryBuilder&) = delete;
  bool Finished() const;

private:
  struct TState;
  std::shared_ptr<TState> FState;
};
