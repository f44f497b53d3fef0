// The station's secrets (the MQTT password, later mail passwords and
// tokens): kept beside the database in "<database>.secrets", a small JSON
// object readable by its owner alone (0600), and never in the database, so
// that no backup, export or archive of the database carries them.
#pragma once

#include <QString>
#include <QStringList>

class TSQLiteDatabase;

namespace TervoxSecrets {

// "<database file>.secrets", beside it.
QString FileName(const QString& ADatabaseFile);

// The value stored under AName; empty when the file or the name is not
// there. Raises, naming the file, when it cannot be read or is damaged.
QString Read(const QString& ADatabaseFile, const QString& AName);
// Stores AValue under AName (an empty value removes it). The file is
// replaced whole through a 0600 temporary file; on failure it raises,
// naming the file, and the file stays as it was.
void Write(const QString& ADatabaseFile, const QString& AName, const QString& AValue);
void Remove(const QString& ADatabaseFile, const QString& AName);

// The Config names whose values are secrets.
const QStringList& ConfigNames();
// Deletes AName's row from Config, its bytes overwritten in the file.
void DropFromConfig(TSQLiteDatabase& ADatabase, const QString& AName);
// Moves the secrets still in ADatabase's Config table (a database of an
// older build, a backup restored) into its secrets file, a value already
// in the file winning, then deletes them from Config. Raises when the file
// cannot be written: Config then keeps them. Returns the names moved.
QStringList MoveFromConfig(TSQLiteDatabase& ADatabase);

} // namespace TervoxSecrets
