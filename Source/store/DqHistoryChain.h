// The history's chain (table HistoryChain): per controller and minute a
// BLAKE2b digest of that minute's rows (every column, ReadTime order),
// each link hashed over the one before it, so a reading changed, removed or
// inserted later no longer matches. The recording process's summary keeper
// chains a minute once the controller has rows in a later minute or the
// minute is over two minutes old. Rows that come late into a chained minute
// are chained again as an amendment; removals by design (a delete, an
// archive run, a restore) are links of their own that name the minutes
// removed and the audit entry of the action. HistoryChainSeal holds the
// station's public key and the signed heads (trust/Tervox_StationKey.h).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <vector>

class TSQLiteDatabase;
struct sqlite3_stmt;

inline constexpr int kHistoryChainHashBytes = 32;

// What a link records.
enum class THistoryLinkKind : int {
  Minute = 0,    // a minute's rows, chained the first time
  Amendment = 1, // a chained minute's rows again, with rows that came late
  Removal = 2,   // minutes Minute..ToMinute-1 removed by design (AuditID)
  Restart = 3,   // the rows replaced wholesale (a restore, AuditID): chained anew
};

struct THistoryLink {
  std::int64_t DeviceID = 0;
  std::int64_t Link = 0; // 1, 2, ... per controller
  THistoryLinkKind Kind = THistoryLinkKind::Minute;
  std::int64_t Minute = 0;
  std::int64_t ToMinute = 0;
  std::int64_t Rows = 0;
  std::int64_t AuditID = 0;
  std::int64_t Through = -1; // the newest minute chained so far
  QByteArray Digest, Prev, Chain;
};

// HistoryChain, HistoryChainMark, HistoryChainSeal.
QStringList HistoryChainTableNames();
// Makes the tables when missing; never drops them (they are the evidence).
void EnsureHistoryChain(TSQLiteDatabase& ADatabase);

// The columns of DeviceData a minute's digest covers, in this order.
const char* HistoryChainRowColumns();

// The digest of one minute's rows, given in ReadTime order.
class THistoryMinuteDigest {
public:
  THistoryMinuteDigest();
  // The row's columns (HistoryChainRowColumns) from AFirstColumn of AStmt.
  void AddRow(sqlite3_stmt* AStmt, int AFirstColumn = 0);
  std::int64_t Rows() const { return FRows; }
  QByteArray Finish();

private:
  alignas(64) unsigned char FState[384];
  std::int64_t FRows = 0;
};

// H(Prev ‖ DeviceID ‖ Minute ‖ Rows ‖ Digest ‖ Kind ‖ ToMinute ‖ AuditID),
// numbers as 8 bytes little-endian.
QByteArray HistoryLinkChain(const THistoryLink& ALink);

// Every link of ADeviceID in order, through ACallback (false stops).
void ReadHistoryLinks(TSQLiteDatabase& ADatabase, std::int64_t ADeviceID,
                      const std::function<bool(const THistoryLink&)>& ACallback);
// Controllers with links.
std::vector<std::int64_t> HistoryChainDevices(TSQLiteDatabase& ADatabase);

// A minute chained again because rows came late into it.
struct THistoryAmendment {
  std::int64_t DeviceID = 0;
  std::int64_t Minute = 0;
  std::int64_t Rows = 0;
};

// Chains the rows recorded since the last call in short transactions:
// late rows of chained minutes as amendments, then every minute complete
// at ANow (local days). AGoOn, asked before each transaction, ends it when
// false. Returns the amendments made.
std::vector<THistoryAmendment> ChainHistory(TSQLiteDatabase& ADatabase, double ANow,
                                            const std::function<bool()>& AGoOn = {});

// After rows of minutes AFromMinute..AToMinute-1 were removed by design
// (AAuditID the action's audit entry): a removal link for every chained
// controller, and the rows still there chained again, in one transaction.
void RecordHistoryRemoval(TSQLiteDatabase& ADatabase, std::int64_t AFromMinute, std::int64_t AToMinute,
                          std::int64_t AAuditID);
// After the rows were replaced wholesale: every chain's minutes removed and
// a restart link, so the restored rows are chained anew.
void RecordHistoryRestart(TSQLiteDatabase& ADatabase, std::int64_t AAuditID);

// Copies the links of ADeviceIDs' minutes AFromMinute..AToMinute-1 from the
// attached schema ASchema into ADatabase (an archive keeps the chain of the
// rows it holds).
void CopyHistoryChain(TSQLiteDatabase& ADatabase, const QString& ASchema, const std::vector<std::int64_t>& ADeviceIDs,
                      std::int64_t AFromMinute, std::int64_t AToMinute);

// The recording process's keeper tells trust what it chained, on its own
// connection: at its start, after each pass and as it stops.
enum class THistoryChainEvent { Started, Pass, Stopping };
using THistoryChainHook =
    std::function<void(TSQLiteDatabase& ADatabase, THistoryChainEvent AEvent, const std::vector<THistoryAmendment>&)>;
void SetHistoryChainHook(THistoryChainHook AHook);
const THistoryChainHook& HistoryChainHook();
