// The restore reader: a backup file streamed line by line in any of its
// encodings, and only the statements a backup holds applied to the known
// tables, with values bound rather than compiled. Used by
// TSQLiteDatabase::RestoreSQLFromFile inside its one transaction.
#pragma once

#include "DqSQLite.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

class TSQLiteRestoreReader {
public:
  TSQLiteRestoreReader(TSQLiteDatabase& ADatabase, const QString& AFileName, const TSQLiteRestoreRules& ARules);
  ~TSQLiteRestoreReader();
  TSQLiteRestoreReader(const TSQLiteRestoreReader&) = delete;
  TSQLiteRestoreReader& operator=(const TSQLiteRestoreReader&) = delete;

  // Applies the whole file. Raises at the first statement that is not part
  // of a backup (naming its line), at the first SQLite error, and with
  // ESQLiteCancelled when AProgress answers false.
  void Run(const TSQLiteProgress& AProgress);
  // The progress's total: the file's lines.
  std::int64_t Total() const;
  // After Run: the file ended outside any transaction and emptied every
  // known table; the tables still have their columns and no triggers.
  void CheckComplete() const;
  void CheckSchema() const;

private:
  class TImpl;
  std::unique_ptr<TImpl> FImpl;
};
