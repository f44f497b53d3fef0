// The history's chain as the station keeps it: the recording process's
// keeper makes the station key, seals the heads and audits late rows;
// removals by design are audited and linked into the chain.
#pragma once

#include <QString>

#include <cstdint>

class TSQLiteDatabase;

namespace TervoxChain {

// Audit actions of removals by design.
inline constexpr const char* kHistoryDeleted = "history deleted";
inline constexpr const char* kHistoryArchived = "history archived";
inline constexpr const char* kHistoryRestored = "history restored";
// Rows that came late into a chained minute.
inline constexpr const char* kLateReadings = "late readings chained";

// Registers the recording process's part with the summary keeper: the
// station key made at its first start, the heads sealed when the last seal
// is an hour old and at every stop, late rows audited (user "recorder").
void InstallKeeperHook();

// After ARows rows of [AFromTime, AToTime) (local days) were removed by
// design (AAction: kHistoryDeleted, kHistoryArchived): the audit entry of
// the action, then a removal link naming it in every controller's chain.
// Failures go to stderr: the removal itself is done.
void RecordHistoryRemoved(TSQLiteDatabase& ADatabase, const char* AAction, double AFromTime, double AToTime,
                          std::int64_t ARows, const QString& AUser);
// After a restore replaced the rows wholesale: the audit entry, then every
// chain's minutes removed and started anew from the restored rows.
void RecordHistoryRestored(TSQLiteDatabase& ADatabase, const QString& AUser);

} // namespace TervoxChain
