// The audit trail: who changed what on this station, when, from which
// value to which, and why. One append-only table (AuditTrail) in the
// station's database, kept out of backups; each entry carries a BLAKE2b
// hash over its content and the previous entry's hash, so an entry edited
// or removed later breaks the chain.
#pragma once

#include <QString>

#include <cstdint>
#include <vector>

class TSQLiteDatabase;

namespace TervoxAudit {

// What the entry acted on.
inline constexpr const char* kController = "controller";
inline constexpr const char* kPort = "port";
inline constexpr const char* kGroup = "group";
inline constexpr const char* kUser = "user";
inline constexpr const char* kOption = "option";
inline constexpr const char* kHistory = "history";
inline constexpr const char* kStation = "station";

// The user of entries a program writes by itself.
inline constexpr const char* kRecorder = "recorder";
inline constexpr const char* kTool = "tervox-db";

struct TChange {
  QString Field;
  QString Old;
  QString New;
  bool operator==(const TChange&) const = default;
};

struct TEntry {
  QString User;       // the authenticated user, or kRecorder, kTool, "tervox"
  QString TargetKind; // kController, kPort, ...
  QString Target;     // its name, or the range of history
  std::int64_t TargetID = 0;
  QString Action;     // what was done, e.g. "setting written", "login failed"
  std::vector<TChange> Changes;
  QString Reason;     // empty when none was given
};

// An entry as stored.
struct TStored {
  std::int64_t ID = 0;
  QString UTCTime;    // ISO 8601, milliseconds, "Z"
  double LocalTime = 0.0;
  QString Station;
  TEntry Entry;
  QString PrevHash;
  QString Hash;
};

// The table and its guards (no update, no delete), made when missing.
void EnsureAuditTrail(TSQLiteDatabase& ADatabase);

// Appends AEntry, stamped now, to the trail of ADatabaseFile (the
// program's database when empty), on a connection of its own, in one
// write transaction with the read of the previous hash: several programs
// may append at once. Raises when it cannot be stored.
void Append(const TEntry& AEntry, const QString& ADatabaseFile = QString());
// As Append; a failure goes to stderr (a program's own start and stop,
// paths that must go on whatever happens).
bool AppendQuietly(const TEntry& AEntry, const QString& ADatabaseFile = QString());

// Queues AEntry, stamped now, for a writer thread of its own: for threads
// that must not wait on the database (a line's worker between two status
// reads). Entries posted keep their order; a failure goes to stderr.
void Post(const TEntry& AEntry, const QString& ADatabaseFile = QString());
// Waits until every entry posted so far is written (tests, a program's
// end).
void Flush();

// The station's name in entries: the host name.
QString StationName();

// The hash an entry must carry, from its stored fields.
QString EntryHash(const TStored& AEntry);
// The changes as stored (a JSON array of [field, old, new]) and back.
QString ChangesText(const std::vector<TChange>& AChanges);
std::vector<TChange> ChangesFromText(const QString& AText);

// Every entry whose time (local) lies in [AFrom, ATo), oldest first; an
// empty user or a controller ID of 0 leaves that filter out.
std::vector<TStored> Entries(TSQLiteDatabase& ADatabase, double AFrom, double ATo, const QString& AUser = QString(),
                             std::int64_t AControllerID = 0);

// The trail's chain, walked from the first entry.
struct TCheck {
  bool Intact = true;
  std::int64_t Entries = 0;
  std::int64_t HeadID = 0; // the last entry walked
  QString HeadHash;
  QString Problem; // the first entry that does not match, and how
};
TCheck CheckChain(TSQLiteDatabase& ADatabase);

// A record's columns as name/value texts, in the table's order: the rows
// ASQL selects with its one parameter bound to AKey (none: no record).
// ASQL may select several rows of two columns (a name and a value), as
// for the Config table.
using TFields = std::vector<std::pair<QString, QString>>;
TFields RecordFields(TSQLiteDatabase& ADatabase, const QString& ASQL, const QString& AKey = QString());

// Field-by-field differences of two records given as name/value pairs of
// the same names; AHidden names fields whose values never enter the trail
// (passwords): a change shows as "(changed)".
std::vector<TChange> Differences(const TFields& AOld, const TFields& ANew, const std::vector<QString>& AHidden = {});

} // namespace TervoxAudit
