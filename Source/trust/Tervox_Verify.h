// The check of a TERVOX database file against its own evidence, reading
// only, on a connection of its own (the recorder may write beside it): the
// history's rows against the chained digests, the chain's links, the
// summaries against the rows, the audit trail's chain, and the seals'
// signatures and heads against the station's key file.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <limits>

namespace TervoxVerify {

enum class TStatus { Intact = 0, Tampered = 1, CannotCheck = 2 };

struct TOptions {
  // Readings checked: [From, To) local days; every link, entry and seal is
  // checked whatever the range.
  double From = -std::numeric_limits<double>::infinity();
  double To = std::numeric_limits<double>::infinity();
  QString KeyFile; // the database file's ".key" when empty
};

struct TResult {
  TStatus Status = TStatus::Intact;
  QString Problem; // the first thing that does not match, its place named
  QStringList Notes; // what could not be checked, rows not yet chained
  std::int64_t Rows = 0, Minutes = 0, Links = 0, Controllers = 0, AuditEntries = 0, Seals = 0, Unchained = 0;
};

TResult Verify(const QString& ADatabaseFile, const TOptions& AOptions = {});

} // namespace TervoxVerify
