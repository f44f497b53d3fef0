// Reading recorded readings for a graph window: one controller's values
// reduced to what one pixel column shows (newest, lowest, highest and
// oldest value of the column), read on a connection of the caller or on a
// worker thread with connections of its own.
#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QObject;
struct sqlite3;

// The DeviceData column of a value type; nullptr for "NONE" and unknown types.
const char* HistoryColumnName(int AValueType);

// x of a reading at time AT in a window drawn AWidth pixels wide from ALeft.
// A window of zero length puts every reading on ALeft.
int HistoryX(double AT, double AFirstTime, double ALastTime, int ALeft, int AWidth);

// One pixel column, in drawing order: the newest reading first.
struct TDqHistoryColumn {
  int X = 0;
  double First = 0; // newest value in the column
  double Min = 0;
  double Max = 0;
  double Last = 0; // oldest value in the column
};

struct TDqHistorySeries {
  std::vector<TDqHistoryColumn> Columns; // right to left
  bool HasRows = false;                  // the window held a row
  double NewestValue = 32767.0;          // of the newest row, missing or not
  bool Sampled = false;                  // read with a stride: an overview
  bool Summarised = false;               // read from the per-minute summaries
  std::int64_t RowsRead = 0;
  bool Cancelled = false;
};

struct TDqHistoryRequest {
  int DeviceID = -1;
  int ValueType = 0;
  double FirstTime = 0;
  double LastTime = 0;
  int Left = 0;
  int Width = 0;
  bool operator==(const TDqHistoryRequest&) const = default;
};

// Windows with more readings per pixel column than this (at one reading a
// second) are read with a stride: a few short reads per column, so that a
// year stays a matter of a second instead of minutes.
inline constexpr double kHistoryStrideRowsPerColumn = 2048.0;
// Windows whose pixel columns span a minute or more are read from the
// per-minute summaries (DqHistorySummary.h) where they are whole, exactly.
inline constexpr double kHistorySummarySecondsPerColumn = 60.0;

// Reads one line's window. ACancel, when given, stops the read early
// (Cancelled is then set). Raises ESQLiteException on database errors.
TDqHistorySeries ReadHistorySeries(sqlite3* ADatabase, const TDqHistoryRequest& ARequest,
                                   const std::atomic<bool>* ACancel = nullptr);

// Reads the windows of several lines off the user-interface thread, each
// line on a read-only connection of its own (write-ahead logging lets them
// run beside the recorder). A newer Start cancels the read under way.
class TDqHistoryLoader {
public:
  using TDone = std::function<void(std::uint64_t AGeneration, std::vector<TDqHistorySeries> ASeries,
                                   QString AError)>;
  explicit TDqHistoryLoader(const QString& AFileName);
  ~TDqHistoryLoader();
  TDqHistoryLoader(const TDqHistoryLoader&) = delete;
  TDqHistoryLoader& operator=(const TDqHistoryLoader&) = delete;

  // ADone runs on AContext's thread (the user-interface thread) unless
  // AContext is gone or the read was superseded. Returns the generation.
  std::uint64_t Start(std::vector<TDqHistoryRequest> ARequests, QObject* AContext, TDone ADone);
  // The read Start runs, on the calling thread and helpers of its own, for
  // a caller that is already off the user-interface thread. ADone, when
  // given, counts the lines read; AError gets the last failure.
  static std::vector<TDqHistorySeries> Read(const QString& AFileName, const std::vector<TDqHistoryRequest>& ARequests,
                                            const std::atomic<bool>& ACancel, QString& AError,
                                            std::atomic<std::int64_t>* ADone = nullptr);
  void Cancel();
  bool Busy() const;
  std::uint64_t Generation() const { return FGeneration.load(); }
  // Waits until no read runs (shutdown, tests).
  void Wait();

private:
  struct TJob;
  QString FFileName;
  std::atomic<std::uint64_t> FGeneration{0};
  std::vector<std::shared_ptr<TJob>> FJobs; // reads not yet known to be finished
};
