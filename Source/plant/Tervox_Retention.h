// Keeping the main database small on its own: once a day the recording
// process moves history older than "Keep history for N months" into the
// yearly archives (Tervox_Archive), and the window tells how long the disk
// lasts at the rate the database grows.
#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

class TSQLiteDatabase;
class TTervoxProgress;

// Config names: the months kept (0 or none: everything), and the last
// run's time, outcome text and whether it failed, for every window.
extern const QString kKeepHistoryMonths;
extern const QString kArchiveLastRun;
extern const QString kArchiveLastResult;
extern const QString kArchiveLastFailed;
constexpr int kMaxKeepHistoryMonths = 1200;

// The months stored on ADatabase's Config (the program's connection when
// null), 0 when none or not a number.
int StoredKeepHistoryMonths(TSQLiteDatabase* ADatabase = nullptr);

// The start of the day AMonths calendar months before the day of ANow (the
// 31st of a shorter month is its last day).
double RetentionCutDay(double ANow, int AMonths);

struct TRetentionOutcome {
  bool Ran = false;    // months set and the run took its turn
  bool Failed = false; // an error stopped it; Text says why
  bool Retry = false;  // cancelled or not its turn: to be tried again soon
  QString Text;        // one line for the journal and the status bar
};

// One run at ANow, on connections of its own: nothing when no months are
// kept; else ArchiveHistory up to RetentionCutDay, taking the maintenance
// turn only when it is free, and the outcome stored in Config. A cancel of
// AProgress stops it between steps.
TRetentionOutcome RunHistoryRetention(double ANow, TTervoxProgress* AProgress = nullptr);

// What the status bar says of the last stored run: empty unless it failed.
QString RetentionStatusText();

// The daily run, on a thread of its own in the process that records:
// a check a little after the start, then every check period; a run when
// the months changed since the last one (the first check included) or a
// day passed since it. Stop cancels a run at its next step and waits.
void StartHistoryRetention();
void StopHistoryRetention();
bool HistoryRetentionRunning();
// Called on the retention thread after every run; empty: nobody.
using TRetentionNotifier = std::function<void(const TRetentionOutcome& AOutcome)>;
void SetRetentionNotifier(TRetentionNotifier ANotifier);
// Tests shorten the waits; the defaults are 2 minutes, 10 minutes, a day.
void SetHistoryRetentionTiming(std::chrono::milliseconds AFirstCheck, std::chrono::milliseconds ACheckPeriod,
                               std::chrono::milliseconds ADay);

// How fast the database grows and how long its disk lasts.
struct TDatabaseGrowth {
  std::int64_t FileBytes = 0;  // the file and its write-ahead log
  std::int64_t FreeBytes = -1; // for this user on the file's disk; -1 unknown
  std::int64_t TotalRows = 0;  // history rows, as summarised
  double BytesPerRow = 0;      // file bytes over history rows
  double RowsPerDay = 0;       // recorded over the last 7 days (or since the first row)
  double BytesPerDay = 0;
  double DaysLeft = -1;        // -1: not growing, or unknown
};
// Measured on a connection of its own, from the summaries (a minute per
// row; run it off the user-interface thread). AFreeBytes < 0 asks the disk;
// ABytesPerRow > 0 is taken as known (the whole summary is not read again).
// ACancel, when given and set, stops it with an error between SQLite's steps.
TDatabaseGrowth MeasureDatabaseGrowth(const QString& AFileName, double ANow, std::int64_t AFreeBytes = -1,
                                      double ABytesPerRow = 0, const std::atomic<bool>* ACancel = nullptr);
// "Disk space for about N days of history left" under 30 days, else empty.
QString DiskSpaceWarning(const TDatabaseGrowth& AGrowth);
