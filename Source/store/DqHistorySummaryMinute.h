// What the files of the history summaries share (not for use outside
// store): a minute's summary as computed and as stored.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace history_summary {

inline constexpr const char* kValues[] = {"PV", "SV", "OUT1", "OUT2", "EV1", "EV2", "EV3"};
inline constexpr int kValueCount = 7;
inline constexpr double kNoValue = 32767.0;

struct TValueSummary {
  double Min = 0, Max = 0, First = 0, Last = 0;
  std::int64_t Count = 0;
};
struct TMinuteSummary {
  std::int64_t Minute = 0;
  double FirstTime = 0, LastTime = 0; // FirstTime: while catching up only
  std::int64_t Rows = 0;
  std::array<TValueSummary, kValueCount> Values;

  // A reading newer than every one so far (its values from AColumn on).
  void Add(double ATime, sqlite3_stmt* AStmt, int AColumn) {
    if (Rows++ == 0) FirstTime = ATime;
    LastTime = ATime;
    for (int k = 0; k < kValueCount; ++k) {
      if (sqlite3_column_type(AStmt, AColumn + k) == SQLITE_NULL) continue;
      const double x = sqlite3_column_double(AStmt, AColumn + k);
      if (x == kNoValue) continue;
      TValueSummary& value = Values[k];
      if (value.Count++ == 0) {
        value.Min = value.Max = value.First = x;
      } else {
        value.Min = std::min(value.Min, x);
        value.Max = std::max(value.Max, x);
      }
      value.Last = x;
    }
  }
  // The readings of ANewer, all newer than this minute's newest.
  void Append(const TMinuteSummary& ANewer) {
    LastTime = ANewer.LastTime;
    Rows += ANewer.Rows;
    for (int k = 0; k < kValueCount; ++k) {
      TValueSummary& value = Values[k];
      const TValueSummary& newer = ANewer.Values[k];
      if (newer.Count == 0) continue;
      if (value.Count == 0) {
        value = newer;
        continue;
      }
      value.Min = std::min(value.Min, newer.Min);
      value.Max = std::max(value.Max, newer.Max);
      value.Last = newer.Last;
      value.Count += newer.Count;
    }
  }
};

// A summary row as SELECT * gives it.
inline void DecodeSummary(sqlite3_stmt* s, TMinuteSummary& AResult) {
  AResult = TMinuteSummary();
  AResult.Minute = sqlite3_column_int64(s, 1);
  AResult.LastTime = sqlite3_column_double(s, 2);
  AResult.Rows = sqlite3_column_int64(s, 3);
  const double scale = static_cast<double>(std::max<std::int64_t>(1, sqlite3_column_int64(s, 4)));
  int c = 5;
  for (TValueSummary& value : AResult.Values) {
    value.Min = sqlite3_column_double(s, c) / scale;
    value.Max = sqlite3_column_double(s, c + 1) / scale;
    value.First = sqlite3_column_double(s, c + 2) / scale;
    value.Last = sqlite3_column_double(s, c + 3) / scale;
    value.Count = sqlite3_column_type(s, c + 4) == SQLITE_NULL ? AResult.Rows : sqlite3_column_int64(s, c + 4);
    c += 5;
  }
}

} // namespace history_summary
