// The application's one database connection and the usage log.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class TSQLiteDatabase;
struct TSQLiteRestoreTable;

// The connection; opened on first call, the file and its tables created
// from the embedded script when the file holds no tables. A file TERVOX
// cannot write, or one that lacks some of TERVOX's tables, is refused with
// a message naming the file (and the tables).
TSQLiteDatabase* GetDatabase();
// A connection of its own to a TERVOX database file, opened and checked as
// GetDatabase does (created from the script when the file holds no tables).
std::unique_ptr<TSQLiteDatabase> OpenTervoxDatabase(const QString& AFileName);
// Full path of the database file: the file named by SetDatabaseFileName, or
// Tervox.db in $TERVOX_DATA_DIR, $XDG_DATA_HOME/tervox or ~/.local/share/tervox.
QString GetDatabaseFileName();
// Names another database file; takes effect before the first GetDatabase.
void SetDatabaseFileName(const QString& AFileName);
// Makes the database's folder chain when missing; the folder itself, when
// made here, is its owner's alone (0700). A folder that exists keeps its
// rights (a service's folder shared with its group).
bool MakeDataDirectory(const QString& ADirectory);
// Closes and frees the connection (shutdown, tests).
void FreeDatabase();

// Failures of the writes the program makes by itself (history rows), for
// the main window's status bar: called on the writing thread, once per
// change; an empty text says writing works again.
using TDatabaseProblemNotifier = std::function<void(const QString& AProblem)>;
void SetDatabaseProblemNotifier(TDatabaseProblemNotifier ANotifier);
void ReportDatabaseProblem(const QString& AProblem);

// Appends a usage-log line stamped now; skipped when the connection is not
// open. Raises "Failed to add usage log" on failure.
void AddUsageLog(const QString& ADetail, int ADeviceID, const QString& AEVStatus, double APV, int ADigit);

// The tables of the creation script, in its order: every backup carries
// them all.
QStringList TervoxTableNames();
// The tables that stay with the station's file and never go into a
// backup: the history summaries, the audit trail and the history's chain.
QStringList StationOnlyTableNames();
// Those tables with their columns, as the creation script makes them.
const std::vector<TSQLiteRestoreTable>& TervoxSchema();
