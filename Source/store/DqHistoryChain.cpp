#include "DqHistoryChain.h"

#include "DqHistorySummary.h"
#include "DqSQLite.h"
#include "DqSQLiteStatement.h"

#include <sodium.h>
#include <sqlite3.h>

#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <set>

namespace {

static_assert(sizeof(crypto_generichash_state) <= 384, "THistoryMinuteDigest::FState is too small");

const TSQLiteStatement::TErrors kErrors{QStringLiteral("Failed to read the history's chain"),
                                        QStringLiteral("Failed to update the history's chain"), true};

// Minutes of one controller chained at a time, and rows per chaining
// transaction: a few milliseconds of the file.
constexpr std::int64_t kChainChunkMinutes = 120;
constexpr std::int64_t kChainChunkRows = 10000;
// Rows after the mark looked at per transaction.
constexpr std::int64_t kScanChunkRows = 20000;

const char* const kLinkColumns = "DeviceID, Link, Kind, Minute, ToMinute, Rows, AuditID, Through, Digest, Prev, Chain";

void EnsureSodium() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (sodium_init() < 0) throw EDqException(QStringLiteral("libsodium failed to start"));
  });
}

class TStatement : public TSQLiteStatement {
public:
  TStatement(TSQLiteDatabase& ADatabase, const QString& ASQL) : TSQLiteStatement(kErrors, ADatabase, ASQL) {}
  void BindBlob(int AIndex, const QByteArray& ABytes) {
    sqlite3_bind_blob(Stmt(), AIndex, ABytes.constData(), static_cast<int>(ABytes.size()), SQLITE_TRANSIENT);
  }
};

QByteArray BlobOf(sqlite3_stmt* AStmt, int AColumn) {
  return QByteArray(static_cast<const char*>(sqlite3_column_blob(AStmt, AColumn)), sqlite3_column_bytes(AStmt, AColumn));
}

THistoryLink LinkOf(sqlite3_stmt* s) {
  THistoryLink link;
  link.DeviceID = sqlite3_column_int64(s, 0);
  link.Link = sqlite3_column_int64(s, 1);
  link.Kind = static_cast<THistoryLinkKind>(sqlite3_column_int(s, 2));
  link.Minute = sqlite3_column_int64(s, 3);
  link.ToMinute = sqlite3_column_int64(s, 4);
  link.Rows = sqlite3_column_int64(s, 5);
  link.AuditID = sqlite3_column_int64(s, 6);
  link.Through = sqlite3_column_int64(s, 7);
  link.Digest = BlobOf(s, 8);
  link.Prev = BlobOf(s, 9);
  link.Chain = BlobOf(s, 10);
  return link;
}

void AddNumber(crypto_generichash_state& AState, std::int64_t AValue) {
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(static_cast<std::uint64_t>(AValue) >> (8 * i));
  crypto_generichash_update(&AState, bytes, sizeof bytes);
}

std::int64_t Int64Of(TSQLiteDatabase& ADatabase, const QString& ASQL) {
  TStatement query(ADatabase, ASQL);
  return query.Step() ? sqlite3_column_int64(query.Stmt(), 0) : 0;
}

// A controller's last link: the chain goes on from it.
struct THead {
  std::int64_t Link = 0;
  std::int64_t Through = -1;
  QByteArray Chain = QByteArray(kHistoryChainHashBytes, '\0');
};

class TChainWriter {
public:
  explicit TChainWriter(TSQLiteDatabase& ADatabase)
      : FDatabase(ADatabase),
        FLast(ADatabase, QStringLiteral("SELECT Link, Through, Chain FROM main.HistoryChain WHERE DeviceID = ?1 ORDER BY "
                                        "Link DESC LIMIT 1")),
        FInsert(ADatabase, QStringLiteral("INSERT INTO main.HistoryChain (%1) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, "
                                          "?9, ?10, ?11)")
                               .arg(QLatin1String(kLinkColumns))),
        FRows(ADatabase, QStringLiteral("SELECT %1 FROM main.DeviceData WHERE DeviceID = ?1 AND ReadTime >= ?2 AND "
                                        "ReadTime < ?3 ORDER BY ReadTime")
                             .arg(QLatin1String(HistoryChainRowColumns()))) {}

  THead& Head(std::int64_t ADeviceID) {
    auto found = FHeads.find(ADeviceID);
    if (found != FHeads.end()) return found->second;
    THead head;
    FLast.Reset();
    FLast.Bind(1, ADeviceID);
    if (FLast.Step()) {
      head.Link = sqlite3_column_int64(FLast.Stmt(), 0);
      head.Through = sqlite3_column_int64(FLast.Stmt(), 1);
      head.Chain = BlobOf(FLast.Stmt(), 2);
    }
    FLast.Reset();
    return FHeads[ADeviceID] = head;
  }

  void Append(THistoryLink ALink) {
    THead& head = Head(ALink.DeviceID);
    ALink.Link = head.Link + 1;
    ALink.Prev = head.Chain;
    if (ALink.Digest.isEmpty()) ALink.Digest = QByteArray(kHistoryChainHashBytes, '\0');
    ALink.Chain = HistoryLinkChain(ALink);
    FInsert.Reset();
    FInsert.Bind(1, ALink.DeviceID);
    FInsert.Bind(2, ALink.Link);
    FInsert.Bind(3, static_cast<int>(ALink.Kind));
    FInsert.Bind(4, ALink.Minute);
    FInsert.Bind(5, ALink.ToMinute);
    FInsert.Bind(6, ALink.Rows);
    FInsert.Bind(7, ALink.AuditID);
    FInsert.Bind(8, ALink.Through);
    FInsert.BindBlob(9, ALink.Digest);
    FInsert.BindBlob(10, ALink.Prev);
    FInsert.BindBlob(11, ALink.Chain);
    FInsert.Run();
    head.Link = ALink.Link;
    head.Through = ALink.Through;
    head.Chain = ALink.Chain;
  }

  // Chains the rows of ADeviceID's minutes AFrom..ATo-1 (each minute with
  // rows one link of AKind); returns the minutes chained and their rows.
  std::vector<THistoryAmendment> ChainMinutes(std::int64_t ADeviceID, std::int64_t AFrom, std::int64_t ATo,
                                              THistoryLinkKind AKind) {
    std::vector<THistoryAmendment> chained;
    FRows.Reset();
    FRows.Bind(1, ADeviceID);
    FRows.Bind(2, (AFrom - 1) / kMinutesPerDay);
    FRows.Bind(3, (ATo + 1) / kMinutesPerDay);
    THistoryMinuteDigest digest;
    std::int64_t current = std::numeric_limits<std::int64_t>::min();
    auto close = [&] {
      if (current == std::numeric_limits<std::int64_t>::min()) return;
      THistoryLink link;
      link.DeviceID = ADeviceID;
      link.Kind = AKind;
      link.Minute = current;
      link.ToMinute = current + 1;
      link.Rows = digest.Rows();
      link.Digest = digest.Finish();
      link.Through = std::max(Head(ADeviceID).Through, current);
      chained.push_back({ADeviceID, current, link.Rows});
      Append(link);
      digest = THistoryMinuteDigest();
    };
    while (FRows.Step()) {
      const std::int64_t minute = HistoryMinuteOf(sqlite3_column_double(FRows.Stmt(), 1));
      if (minute < AFrom || minute >= ATo) continue;
      if (minute != current) {
        close();
        current = minute;
      }
      digest.AddRow(FRows.Stmt());
    }
    close();
    FRows.Reset();
    return chained;
  }

private:
  TSQLiteDatabase& FDatabase;
  TStatement FLast, FInsert, FRows;
  std::map<std::int64_t, THead> FHeads;
};

std::int64_t ChainMark(TSQLiteDatabase& ADatabase) {
  return Int64Of(ADatabase, QStringLiteral("SELECT LastRowID FROM main.HistoryChainMark"));
}

// The mark's one row is written when first needed: a file the keeper never
// chained holds none (and its rows are all after the mark).
void SetChainMark(TSQLiteDatabase& ADatabase, std::int64_t ARowID) {
  TStatement update(ADatabase, QStringLiteral("INSERT OR REPLACE INTO main.HistoryChainMark (ID, LastRowID) VALUES (1, ?1)"));
  update.Bind(1, ARowID);
  update.Run();
}

std::int64_t NewestRowID(TSQLiteDatabase& ADatabase) {
  return Int64Of(ADatabase, QStringLiteral("SELECT coalesce(max(rowid), 0) FROM main.DeviceData"));
}

// Rows deleted at the end hand their rowids out again: the mark goes back
// with them, or late rows recorded next would be missed.
void KeepChainMarkWithinRows(TSQLiteDatabase& ADatabase) {
  const std::int64_t newest = NewestRowID(ADatabase);
  if (newest < ChainMark(ADatabase)) SetChainMark(ADatabase, newest);
}

// Every controller with rows, found by seeking the next key.
std::vector<std::int64_t> RowDevices(TSQLiteDatabase& ADatabase) {
  std::vector<std::int64_t> devices;
  TStatement next(ADatabase, QStringLiteral("SELECT min(DeviceID) FROM main.DeviceData WHERE DeviceID > ?1"));
  std::int64_t last = std::numeric_limits<std::int64_t>::min();
  for (;;) {
    next.Reset();
    next.Bind(1, last);
    if (!next.Step() || sqlite3_column_type(next.Stmt(), 0) == SQLITE_NULL) break;
    devices.push_back(last = sqlite3_column_int64(next.Stmt(), 0));
  }
  return devices;
}

// Late rows (after the mark, into minutes already chained) in the
// caller's transaction: their minutes chained again, the mark moved past
// them. Returns the rows looked at (ALimit at most, none when 0).
std::int64_t ScanLateRows(TSQLiteDatabase& ADatabase, TChainWriter& AWriter, std::vector<THistoryAmendment>& AAmended,
                          std::int64_t ALimit) {
  KeepChainMarkWithinRows(ADatabase);
  TStatement rows(ADatabase, QStringLiteral("SELECT rowid, DeviceID, ReadTime FROM main.DeviceData WHERE rowid > ?1 "
                                            "ORDER BY rowid LIMIT ?2"));
  rows.Bind(1, ChainMark(ADatabase));
  rows.Bind(2, ALimit > 0 ? ALimit : -1);
  std::set<std::pair<std::int64_t, std::int64_t>> late;
  std::int64_t last = -1, count = 0;
  while (rows.Step()) {
    ++count;
    last = sqlite3_column_int64(rows.Stmt(), 0);
    const std::int64_t device = sqlite3_column_int64(rows.Stmt(), 1);
    const std::int64_t minute = HistoryMinuteOf(sqlite3_column_double(rows.Stmt(), 2));
    if (minute <= AWriter.Head(device).Through) late.insert({device, minute});
  }
  rows.Reset();
  for (const auto& [device, minute] : late) {
    const auto chained = AWriter.ChainMinutes(device, minute, minute + 1, THistoryLinkKind::Amendment);
    AAmended.insert(AAmended.end(), chained.begin(), chained.end());
  }
  if (count > 0) SetChainMark(ADatabase, last);
  return count;
}

// The complete minutes of every controller still to chain, from the rows
// after each one's chained minutes (a gap of any length skipped), with its
// statements prepared once per transaction.
class TForwardChainer {
public:
  TForwardChainer(TSQLiteDatabase& ADatabase, TChainWriter& AWriter, std::int64_t ANowMinute)
      : FWriter(AWriter), FNowMinute(ANowMinute),
        FOldest(ADatabase, QStringLiteral("SELECT ReadTime FROM main.DeviceData WHERE DeviceID = ?1 AND ReadTime >= ?2 "
                                          "AND CAST(ReadTime * 1440 AS INTEGER) > ?3 ORDER BY ReadTime LIMIT 1")),
        FNewest(ADatabase, QStringLiteral("SELECT max(ReadTime) FROM main.DeviceData WHERE DeviceID = ?1")) {}

  // Chains up to kChainChunkMinutes of ADeviceID's next complete minutes;
  // returns the rows chained, 0 when none is left.
  std::int64_t Next(std::int64_t ADeviceID) {
    const std::int64_t through = FWriter.Head(ADeviceID).Through;
    FOldest.Reset();
    FOldest.Bind(1, ADeviceID);
    FOldest.Bind(2, (through - 1) / kMinutesPerDay);
    FOldest.Bind(3, through);
    if (!FOldest.Step()) return 0;
    const std::int64_t first = HistoryMinuteOf(sqlite3_column_double(FOldest.Stmt(), 0));
    FOldest.Reset();
    FNewest.Reset();
    FNewest.Bind(1, ADeviceID);
    if (!FNewest.Step()) return 0;
    const std::int64_t newest = HistoryMinuteOf(sqlite3_column_double(FNewest.Stmt(), 0));
    FNewest.Reset();
    // Complete: a later minute has rows, or the clock is over two minutes on.
    const std::int64_t limit = std::max(newest, FNowMinute - 2);
    if (first >= limit) return 0;
    std::int64_t rows = 0;
    for (const THistoryAmendment& minute :
         FWriter.ChainMinutes(ADeviceID, first, std::min(limit, first + kChainChunkMinutes), THistoryLinkKind::Minute))
      rows += minute.Rows;
    return rows;
  }

private:
  TChainWriter& FWriter;
  const std::int64_t FNowMinute;
  TStatement FOldest, FNewest;
};

THistoryChainHook& Hook() {
  static THistoryChainHook hook;
  return hook;
}

} // namespace

QStringList HistoryChainTableNames() {
  return {QStringLiteral("HistoryChain"), QStringLiteral("HistoryChainMark"), QStringLiteral("HistoryChainSeal")};
}

void EnsureHistoryChain(TSQLiteDatabase& ADatabase) {
  if (ADatabase.TableExists(QStringLiteral("HistoryChain")) && ADatabase.TableExists(QStringLiteral("HistoryChainMark")) &&
      ADatabase.TableExists(QStringLiteral("HistoryChainSeal")))
    return;
  ADatabase.InWriteTransaction([&] {
    ADatabase.ExecSQL(QStringLiteral(
        "CREATE TABLE IF NOT EXISTS HistoryChain (DeviceID integer not null, Link integer not null, "
        "Kind integer not null, Minute integer not null, ToMinute integer not null, Rows integer not null, "
        "AuditID integer not null, Through integer not null, Digest blob not null, Prev blob not null, "
        "Chain blob not null, primary key (DeviceID, Link)) WITHOUT ROWID"));
    // The chain starts at the rows already there: they are chained as the
    // keeper catches up.
    ADatabase.ExecSQL(QStringLiteral("CREATE TABLE IF NOT EXISTS HistoryChainMark (ID integer primary key check (ID = 1), "
                                     "LastRowID integer not null)"));
    ADatabase.ExecSQL(QStringLiteral(
        "CREATE TABLE IF NOT EXISTS HistoryChainSeal (ID integer primary key, Kind text not null, "
        "UTCTime text not null, Heads text not null, Signature blob)"));
  });
}

const char* HistoryChainRowColumns() {
  return "DeviceID, ReadTime, Digit, PV, SV, OUT1, OUT2, EV1, EV2, EV3, IsEV1, IsEV2, IsEV3";
}

THistoryMinuteDigest::THistoryMinuteDigest() {
  EnsureSodium();
  crypto_generichash_init(reinterpret_cast<crypto_generichash_state*>(FState), nullptr, 0, kHistoryChainHashBytes);
}

void THistoryMinuteDigest::AddRow(sqlite3_stmt* AStmt, int AFirstColumn) {
  // Each column as a type byte and its value: integers and the bits of
  // doubles as 8 bytes little-endian, text and blobs length-prefixed.
  unsigned char buffer[13 * 9];
  std::size_t used = 0;
  auto state = reinterpret_cast<crypto_generichash_state*>(FState);
  auto put8 = [&](std::uint64_t AValue) {
    for (int i = 0; i < 8; ++i) buffer[used++] = static_cast<unsigned char>(AValue >> (8 * i));
  };
  for (int c = AFirstColumn; c < AFirstColumn + 13; ++c) {
    const int type = sqlite3_column_type(AStmt, c);
    buffer[used++] = static_cast<unsigned char>(type);
    if (type == SQLITE_INTEGER) {
      put8(static_cast<std::uint64_t>(sqlite3_column_int64(AStmt, c)));
    } else if (type == SQLITE_FLOAT) {
      const double value = sqlite3_column_double(AStmt, c);
      std::uint64_t bits;
      std::memcpy(&bits, &value, sizeof bits);
      put8(bits);
    } else if (type == SQLITE_TEXT || type == SQLITE_BLOB) {
      const void* data = type == SQLITE_TEXT ? static_cast<const void*>(sqlite3_column_text(AStmt, c))
                                             : sqlite3_column_blob(AStmt, c);
      const int bytes = sqlite3_column_bytes(AStmt, c);
      put8(static_cast<std::uint64_t>(bytes));
      crypto_generichash_update(state, buffer, used);
      used = 0;
      crypto_generichash_update(state, static_cast<const unsigned char*>(data), static_cast<unsigned long long>(bytes));
    }
  }
  crypto_generichash_update(state, buffer, used);
  ++FRows;
}

QByteArray THistoryMinuteDigest::Finish() {
  QByteArray digest(kHistoryChainHashBytes, '\0');
  crypto_generichash_final(reinterpret_cast<crypto_generichash_state*>(FState),
                           reinterpret_cast<unsigned char*>(digest.data()), kHistoryChainHashBytes);
  return digest;
}

QByteArray HistoryLinkChain(const THistoryLink& ALink) {
  EnsureSodium();
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, kHistoryChainHashBytes);
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(ALink.Prev.constData()),
                            static_cast<unsigned long long>(ALink.Prev.size()));
  AddNumber(state, ALink.DeviceID);
  AddNumber(state, ALink.Minute);
  AddNumber(state, ALink.Rows);
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(ALink.Digest.constData()),
                            static_cast<unsigned long long>(ALink.Digest.size()));
  AddNumber(state, static_cast<std::int64_t>(ALink.Kind));
  AddNumber(state, ALink.ToMinute);
  AddNumber(state, ALink.AuditID);
  QByteArray chain(kHistoryChainHashBytes, '\0');
  crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(chain.data()), kHistoryChainHashBytes);
  return chain;
}

void ReadHistoryLinks(TSQLiteDatabase& ADatabase, std::int64_t ADeviceID,
                      const std::function<bool(const THistoryLink&)>& ACallback) {
  TStatement links(ADatabase, QStringLiteral("SELECT %1 FROM main.HistoryChain WHERE DeviceID = ?1 ORDER BY Link")
                                  .arg(QLatin1String(kLinkColumns)));
  links.Bind(1, ADeviceID);
  while (links.Step())
    if (!ACallback(LinkOf(links.Stmt()))) break;
  links.Reset();
}

std::vector<std::int64_t> HistoryChainDevices(TSQLiteDatabase& ADatabase) {
  std::vector<std::int64_t> devices;
  if (!ADatabase.TableExists(QStringLiteral("HistoryChain"))) return devices;
  TStatement next(ADatabase, QStringLiteral("SELECT min(DeviceID) FROM main.HistoryChain WHERE DeviceID > ?1"));
  std::int64_t last = std::numeric_limits<std::int64_t>::min();
  for (;;) {
    next.Reset();
    next.Bind(1, last);
    if (!next.Step() || sqlite3_column_type(next.Stmt(), 0) == SQLITE_NULL) break;
    devices.push_back(last = sqlite3_column_int64(next.Stmt(), 0));
  }
  return devices;
}

std::vector<THistoryAmendment> ChainHistory(TSQLiteDatabase& ADatabase, double ANow, const std::function<bool()>& AGoOn) {
  std::vector<THistoryAmendment> amended;
  if (!ADatabase.TableExists(QStringLiteral("HistoryChainMark"))) return amended;
  // One transaction a pass: the late rows taken in first (no row recorded
  // meanwhile is chained without the mark passing it), then every
  // controller's complete minutes; a backlog of either goes on in the next.
  const std::int64_t nowMinute = HistoryMinuteOf(ANow);
  for (bool more = true; more;) {
    if (AGoOn && !AGoOn()) return amended;
    more = false;
    ADatabase.InWriteTransaction([&] {
      TChainWriter writer(ADatabase);
      if (ScanLateRows(ADatabase, writer, amended, kScanChunkRows) == kScanChunkRows) {
        more = true;
        return;
      }
      TForwardChainer forward(ADatabase, writer, nowMinute);
      std::int64_t rows = 0;
      for (std::int64_t device : RowDevices(ADatabase)) {
        while (rows < kChainChunkRows) {
          const std::int64_t chained = forward.Next(device);
          if (chained == 0) break;
          rows += chained;
        }
        if (rows >= kChainChunkRows) {
          more = true;
          return;
        }
      }
    });
  }
  return amended;
}

void RecordHistoryRemoval(TSQLiteDatabase& ADatabase, std::int64_t AFromMinute, std::int64_t AToMinute,
                          std::int64_t AAuditID) {
  EnsureHistoryChain(ADatabase);
  ADatabase.InWriteTransaction([&] {
    KeepChainMarkWithinRows(ADatabase);
    TChainWriter writer(ADatabase);
    for (std::int64_t device : HistoryChainDevices(ADatabase)) {
      const std::int64_t through = writer.Head(device).Through;
      if (AFromMinute > through) continue; // nothing of it was chained yet
      THistoryLink link;
      link.DeviceID = device;
      link.Kind = THistoryLinkKind::Removal;
      link.Minute = AFromMinute;
      link.ToMinute = AToMinute;
      link.AuditID = AAuditID;
      link.Through = through;
      writer.Append(link);
      // Rows the action left (a cancelled run, rows it kept) stay chained.
      writer.ChainMinutes(device, AFromMinute, std::min(AToMinute, through + 1), THistoryLinkKind::Amendment);
    }
  });
}

void RecordHistoryRestart(TSQLiteDatabase& ADatabase, std::int64_t AAuditID) {
  EnsureHistoryChain(ADatabase);
  ADatabase.InWriteTransaction([&] {
    TChainWriter writer(ADatabase);
    for (std::int64_t device : HistoryChainDevices(ADatabase)) {
      THistoryLink removal;
      removal.DeviceID = device;
      removal.Kind = THistoryLinkKind::Removal;
      removal.Minute = 0;
      removal.ToMinute = writer.Head(device).Through + 1;
      removal.AuditID = AAuditID;
      removal.Through = writer.Head(device).Through;
      writer.Append(removal);
      THistoryLink restart;
      restart.DeviceID = device;
      restart.Kind = THistoryLinkKind::Restart;
      restart.AuditID = AAuditID;
      restart.Through = -1;
      writer.Append(restart);
    }
    SetChainMark(ADatabase, NewestRowID(ADatabase));
  });
}

void CopyHistoryChain(TSQLiteDatabase& ADatabase, const QString& ASchema, const std::vector<std::int64_t>& ADeviceIDs,
                      std::int64_t AFromMinute, std::int64_t AToMinute) {
  EnsureHistoryChain(ADatabase);
  TStatement copy(ADatabase, QStringLiteral("INSERT OR IGNORE INTO main.HistoryChain (%1) SELECT %1 FROM %2.HistoryChain "
                                            "WHERE DeviceID = ?1 AND Minute >= ?2 AND Minute < ?3 AND Kind IN (0, 1)")
                                 .arg(QLatin1String(kLinkColumns), ASchema));
  ADatabase.InWriteTransaction([&] {
    for (std::int64_t device : ADeviceIDs) {
      copy.Reset();
      copy.Bind(1, device);
      copy.Bind(2, AFromMinute);
      copy.Bind(3, AToMinute);
      copy.Run();
    }
  });
}

void SetHistoryChainHook(THistoryChainHook AHook) { Hook() = std::move(AHook); }

const THistoryChainHook& HistoryChainHook() { return Hook(); }
