#include "DqHistorySummary.h"

#include "DqHistorySummaryMinute.h"

#include <sqlite3.h>

#include <vector>

using namespace history_summary;

struct THistorySummaryCheck::TState {
  sqlite3_stmt* Read = nullptr;
  std::int64_t Mark = -1; // -1: no summaries to check
  struct TQueued {
    std::int64_t DeviceID, From, To;
  };
  std::vector<TQueued> Queue;
  TMinuteSummary Minute;
  bool Unsummarised = false;
};

THistorySummaryCheck::THistorySummaryCheck(sqlite3* ADatabase) : FState(std::make_unique<TState>()) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(ADatabase, "SELECT LastRowID FROM DeviceDataMinuteMark", -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW)
    FState->Mark = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  if (FState->Mark < 0) return;
  if (sqlite3_prepare_v2(ADatabase, "SELECT DeviceID, FromMinute, ToMinute FROM DeviceDataMinuteQueue", -1, &s,
                         nullptr) == SQLITE_OK)
    while (sqlite3_step(s) == SQLITE_ROW)
      FState->Queue.push_back({sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1), sqlite3_column_int64(s, 2)});
  sqlite3_finalize(s);
  if (sqlite3_prepare_v2(ADatabase, "SELECT * FROM DeviceDataMinute WHERE DeviceID = ?1 AND Minute = ?2", -1,
                         &FState->Read, nullptr) != SQLITE_OK)
    FState->Mark = -1;
}

THistorySummaryCheck::~THistorySummaryCheck() { sqlite3_finalize(FState->Read); }

void THistorySummaryCheck::Add(std::int64_t ARowID, double ATime, sqlite3_stmt* AStmt, int AColumn) {
  if (ARowID > FState->Mark) FState->Unsummarised = true;
  FState->Minute.Add(ATime, AStmt, AColumn);
}

QString THistorySummaryCheck::Finish(std::int64_t ADeviceID, std::int64_t AMinute) {
  TState& state = *FState;
  const TMinuteSummary computed = state.Minute;
  const bool unsummarised = state.Unsummarised;
  state.Minute = TMinuteSummary();
  state.Unsummarised = false;
  if (state.Mark < 0 || unsummarised) return QString();
  for (const TState::TQueued& queued : state.Queue)
    if (queued.DeviceID == ADeviceID && AMinute >= queued.From && AMinute < queued.To) return QString();
  sqlite3_reset(state.Read);
  sqlite3_bind_int64(state.Read, 1, ADeviceID);
  sqlite3_bind_int64(state.Read, 2, AMinute);
  if (sqlite3_step(state.Read) != SQLITE_ROW) {
    sqlite3_reset(state.Read);
    return QStringLiteral("its summary is missing");
  }
  TMinuteSummary stored;
  DecodeSummary(state.Read, stored);
  sqlite3_reset(state.Read);
  if (stored.Rows != computed.Rows) return QStringLiteral("its summary counts %1 readings, not %2").arg(stored.Rows).arg(computed.Rows);
  if (stored.LastTime != computed.LastTime) return QStringLiteral("its summary's last reading time differs");
  for (int k = 0; k < kValueCount; ++k) {
    const TValueSummary& a = stored.Values[k];
    const TValueSummary& b = computed.Values[k];
    if (a.Count != b.Count || (b.Count > 0 && (a.Min != b.Min || a.Max != b.Max || a.First != b.First || a.Last != b.Last)))
      return QStringLiteral("its summary's %1 differs from the readings").arg(QLatin1String(kValues[k]));
  }
  return QString();
}
