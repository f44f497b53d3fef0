// The application's one database connection and the usage log.
#pragma once

#include <QString>

class TSQLiteDatabase;

// The connection; opened on first call, the file and its tables created
// from the embedded script when the table DevicePort is missing.
TSQLiteDatabase* GetDatabase();
// Full path of the database file: the file named by SetDatabaseFileName, or
// Tervox.db in $TERVOX_DATA_DIR, $XDG_DATA_HOME/tervox or ~/.local/share/tervox.
QString GetDatabaseFileName();
// Names another database file; takes effect before the first GetDatabase.
void SetDatabaseFileName(const QString& AFileName);
// Closes and frees the connection (shutdown, tests).
void FreeDatabase();

// Appends a usage-log line stamped now; skipped when the connection is not
// open. Raises "Failed to add usage log" on failure.
void AddUsageLog(const QString& ADetail, int ADeviceID, const QString& AEVStatus, double APV, int ADigit);
