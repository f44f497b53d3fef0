#include "Tervox_Chain.h"

#include "Tervox_Audit.h"
#include "Tervox_StationKey.h"
#include "core/DqRoutine.h"
#include "store/DqHistoryChain.h"
#include "store/DqHistorySummary.h"
#include "store/DqSQLite.h"
#include "store/DqSQLiteStatement.h"

#include <QDateTime>

#include <sqlite3.h>

#include <cstdio>
#include <map>

namespace TervoxChain {

namespace {

QString TimeText(double ATime) {
  return DateTimeToQDateTime(ATime).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

QString RangeText(double AFrom, double ATo) { return TimeText(AFrom) + QStringLiteral(" to ") + TimeText(ATo); }

// The entry just written of AAction and ATarget: the newest such.
std::int64_t EntryID(TSQLiteDatabase& ADatabase, const QString& AAction, const QString& ATarget) {
  static const TSQLiteStatement::TErrors errors{QStringLiteral("The audit trail cannot be read"),
                                                QStringLiteral("The audit trail cannot be read"), true};
  TSQLiteStatement query(errors, ADatabase,
                         QStringLiteral("SELECT coalesce(max(ID), 0) FROM AuditTrail WHERE Action = ?1 AND Target = ?2"));
  query.Bind(1, AAction);
  query.Bind(2, ATarget);
  return query.Step() ? sqlite3_column_int64(query.Stmt(), 0) : 0;
}

void Complain(const QString& AWhat, const QString& AWhy) {
  std::fprintf(stderr, "TERVOX: %s: %s\n", qPrintable(AWhat), qPrintable(AWhy));
}

// Late rows, one entry per controller and pass.
void AuditAmendments(const QString& AFile, const std::vector<THistoryAmendment>& AAmended) {
  std::map<std::int64_t, std::vector<THistoryAmendment>> byDevice;
  for (const THistoryAmendment& amendment : AAmended) byDevice[amendment.DeviceID].push_back(amendment);
  for (const auto& [device, minutes] : byDevice) {
    std::int64_t rows = 0;
    for (const THistoryAmendment& minute : minutes) rows += minute.Rows;
    TervoxAudit::TEntry entry;
    entry.User = QLatin1String(TervoxAudit::kRecorder);
    entry.TargetKind = QLatin1String(TervoxAudit::kHistory);
    entry.Target = RangeText(minutes.front().Minute / kMinutesPerDay, (minutes.back().Minute + 1) / kMinutesPerDay);
    entry.TargetID = device;
    entry.Action = QLatin1String(kLateReadings);
    entry.Changes = {{QStringLiteral("Minutes"), QString(), QString::number(minutes.size())},
                     {QStringLiteral("Rows"), QString(), QString::number(rows)}};
    entry.Reason = QStringLiteral("readings recorded into minutes already chained (the clock stepped back)");
    TervoxAudit::AppendQuietly(entry, AFile);
  }
}

void KeeperHook(TSQLiteDatabase& ADatabase, THistoryChainEvent AEvent, const std::vector<THistoryAmendment>& AAmended) {
  const QString file = ADatabase.FileName();
  const QString keyFile = TervoxStationKey::KeyFileName(file);
  try {
    if (!AAmended.empty()) AuditAmendments(file, AAmended);
    switch (AEvent) {
    case THistoryChainEvent::Started:
      TervoxStationKey::EnsureStationKey(ADatabase, keyFile);
      break;
    case THistoryChainEvent::Pass:
      if (TervoxStationKey::SealDue(ADatabase, Now())) TervoxStationKey::SealHeads(ADatabase, keyFile, Now());
      break;
    case THistoryChainEvent::Stopping:
      TervoxStationKey::SealHeads(ADatabase, keyFile, Now());
      break;
    }
  } catch (const EDqException& e) {
    Complain(QStringLiteral("the history's seal"), e.Message());
  }
}

} // namespace

void InstallKeeperHook() { SetHistoryChainHook(&KeeperHook); }

void RecordHistoryRemoved(TSQLiteDatabase& ADatabase, const char* AAction, double AFromTime, double AToTime,
                          std::int64_t ARows, const QString& AUser) {
  TervoxAudit::TEntry entry;
  entry.User = AUser;
  entry.TargetKind = QLatin1String(TervoxAudit::kHistory);
  entry.Target = RangeText(AFromTime, AToTime);
  entry.Action = QLatin1String(AAction);
  entry.Changes = {{QStringLiteral("Rows"), QString(), QString::number(ARows)}};
  try {
    TervoxAudit::Append(entry, ADatabase.FileName());
    RecordHistoryRemoval(ADatabase, HistoryMinuteOf(AFromTime), HistoryMinuteOf(AToTime),
                         EntryID(ADatabase, entry.Action, entry.Target));
  } catch (const EDqException& e) {
    Complain(entry.Action, e.Message());
  }
}

void RecordHistoryRestored(TSQLiteDatabase& ADatabase, const QString& AUser) {
  TervoxAudit::TEntry entry;
  entry.User = AUser;
  entry.TargetKind = QLatin1String(TervoxAudit::kHistory);
  entry.Action = QLatin1String(kHistoryRestored);
  try {
    const std::int64_t rows = ADatabase.GetTableValue(QStringLiteral("SELECT count(*) FROM DeviceData"));
    auto range = ADatabase.GetTable(QStringLiteral("SELECT min(ReadTime), max(ReadTime) FROM DeviceData"));
    const TVariant from = range->GetFields(0)->Value(), to = range->GetFields(1)->Value();
    range.reset();
    entry.Target = from.IsNull() ? QStringLiteral("(no history)") : RangeText(VarAsFloat(from), VarAsFloat(to));
    entry.Changes = {{QStringLiteral("Rows"), QString(), QString::number(rows)}};
    TervoxAudit::Append(entry, ADatabase.FileName());
    RecordHistoryRestart(ADatabase, EntryID(ADatabase, entry.Action, entry.Target));
  } catch (const EDqException& e) {
    Complain(entry.Action, e.Message());
  }
}

} // namespace TervoxChain
