// A long result read a page at a time. Counting it keeps, every so often,
// the sort key of a row and the rows before it; a page is then read from
// the key at or before its first row, the rest skipped with a short
// OFFSET, however deep into the result the page lies.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

struct sqlite3_stmt;
class TSQLiteStatement;

class TPagedReader {
public:
  // No rows, no keys.
  void Clear();
  // AKey sorts at row ARowsBefore (0-based); added in row order.
  void AddKey(double AKey, std::int64_t ARowsBefore);
  void SetRecordCount(std::int64_t ACount) { FRecordCount = ACount; }
  std::int64_t RecordCount() const { return FRecordCount; }
  int PageCount(int ARowsPerPage) const;
  // The first row of sheet APage (from 1); -1 before the first sheet.
  static std::int64_t PageStart(int APage, int ARowsPerPage);
  // True when rows from AFirst on exist and ACount asks for some.
  bool Holds(std::int64_t AFirst, int ACount) const;

  // Steps AStatement through up to ACount rows from row AFirst, ARow reading
  // each: the key at or before AFirst goes to ?AKeyParam, ACount to ?4 and
  // the rows to skip from the key to ?5; the caller binds the rest.
  void ReadPage(TSQLiteStatement& AStatement, int AKeyParam, std::int64_t AFirst, int ACount,
                const std::function<void(sqlite3_stmt*)>& ARow) const;
  // AHandler for rows [AFirst, AFirst + ABatch) from the first row to the
  // last; false when it answered false or ACancel was set.
  bool ForEachBatch(int ABatch, const std::atomic<bool>* ACancel,
                    const std::function<bool(std::int64_t AFirst, int ACount)>& AHandler) const;

private:
  std::vector<double> FKeys;
  std::vector<std::int64_t> FRowsBefore;
  std::int64_t FRecordCount = 0;
};
