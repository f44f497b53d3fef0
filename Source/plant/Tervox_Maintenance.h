// Database maintenance: backup, restore, deletion of history records and
// reset. Backup, restore and deletion grow with the database, so they run
// on a worker of the caller's choosing, on a connection of their own, and
// report progress through a TTervoxProgress that the user may cancel.
#pragma once

#include "store/DqSQLite.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <vector>

// Shared between the worker doing the job and the window showing it.
class TTervoxProgress {
public:
  std::atomic<std::int64_t> Done{0};
  std::atomic<std::int64_t> Total{0};
  std::atomic<bool> Cancelled{false};
  // Records the counts; answers false once the user cancelled.
  bool Report(std::int64_t ADone, std::int64_t ATotal) {
    Done = ADone;
    Total = ATotal;
    return !Cancelled;
  }
  TSQLiteProgress Callback() {
    return [this](std::int64_t ADone, std::int64_t ATotal) { return Report(ADone, ATotal); };
  }
};

// One job on the whole history at a time in this process: restore,
// deletion, reset and the daily archive run. A job that asks for the turn
// waits for it, and the archive run holding it is cancelled at its next
// step rather than finished first; the archive run takes the turn only when
// it is free.
class TTervoxMaintenanceTurn {
public:
  // Waits for the turn.
  TTervoxMaintenanceTurn();
  // Takes the turn only when it is free (Owns() says so); AYielding is
  // cancelled when another job asks for the turn meanwhile.
  explicit TTervoxMaintenanceTurn(TTervoxProgress& AYielding);
  ~TTervoxMaintenanceTurn();
  TTervoxMaintenanceTurn(const TTervoxMaintenanceTurn&) = delete;
  TTervoxMaintenanceTurn& operator=(const TTervoxMaintenanceTurn&) = delete;
  bool Owns() const { return FOwns; }

private:
  bool FOwns = false;
  TTervoxProgress* FYielding = nullptr;
};

// Who the audit names for a removal: the user logged in, else "tervox".
QString MaintenanceUser();

// The controllers that have history rows, deleted ones included.
std::vector<std::int64_t> HistoryDeviceIDs(TSQLiteDatabase& ADatabase);

// "Tervox_yyyymmdd_hhnnss_zzz.sql" for the date-time ANow.
QString BackupFileSuggestion(double ANow);

// Writes a backup of the whole database to AFileName, as one snapshot while
// the recorder goes on writing. Cancelled or failed: no file is left.
void BackupDatabase(const QString& AFileName, TTervoxProgress* AProgress = nullptr);

// Restores a backup all or nothing (a cut-off or damaged file, or one that
// holds more than a backup's statements, is refused and the database stays
// as it was). Plain-text passwords in the backup are stored hashed. The
// database is first copied beside itself as
// "<name>_before_restore_yyyymmdd_hhnnss.db"; returns that copy's path
// (removed again when the restore is refused or cancelled). Nobody may be
// writing meanwhile: the program logs out first.
QString RestoreDatabase(const QString& AFileName, TTervoxProgress* AProgress = nullptr);

// Deletes the history rows and usage-log lines from the start of the day
// AFromDate to the end of the day AToDate. It deletes in short transactions,
// so the recorder is never held up for long; a cancel stops it between them
// (what was deleted stays deleted, every row kept is whole). Returns the
// number of rows deleted.
std::int64_t DeleteRecords(double AFromDate, double AToDate, TTervoxProgress* AProgress = nullptr);

// Sets the database file aside and recreates it empty from the creation
// script. The copy is "<name>_backup.db"; when an earlier reset already
// took that name, a time-stamped "<name>_backup_yyyymmdd_hhnnss_zzz.db", so
// no earlier copy is ever replaced. Raises, leaving the file in use, when
// the copy cannot be made. Returns the copy's path.
QString ResetDatabaseFile();
