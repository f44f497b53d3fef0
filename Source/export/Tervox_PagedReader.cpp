#include "Tervox_PagedReader.h"

#include "store/DqSQLiteStatement.h"

#include <sqlite3.h>

#include <algorithm>

void TPagedReader::Clear() {
  FKeys.clear();
  FRowsBefore.clear();
  FRecordCount = 0;
}

void TPagedReader::AddKey(double AKey, std::int64_t ARowsBefore) {
  FKeys.push_back(AKey);
  FRowsBefore.push_back(ARowsBefore);
}

int TPagedReader::PageCount(int ARowsPerPage) const {
  const int rows = std::max(ARowsPerPage, 1);
  return static_cast<int>((FRecordCount + rows - 1) / rows);
}

std::int64_t TPagedReader::PageStart(int APage, int ARowsPerPage) {
  return APage >= 1 ? static_cast<std::int64_t>(APage - 1) * ARowsPerPage : -1;
}

bool TPagedReader::Holds(std::int64_t AFirst, int ACount) const {
  return AFirst >= 0 && AFirst < FRecordCount && ACount > 0;
}

void TPagedReader::ReadPage(TSQLiteStatement& AStatement, int AKeyParam, std::int64_t AFirst, int ACount,
                            const std::function<void(sqlite3_stmt*)>& ARow) const {
  const auto key = std::upper_bound(FRowsBefore.begin(), FRowsBefore.end(), AFirst) - 1;
  const std::size_t index = static_cast<std::size_t>(key - FRowsBefore.begin());
  AStatement.Bind(AKeyParam, FKeys[index]);
  AStatement.Bind(4, ACount);
  AStatement.Bind(5, AFirst - *key);
  sqlite3_stmt* stmt = AStatement.Stmt();
  while (sqlite3_step(stmt) == SQLITE_ROW) ARow(stmt);
}

bool TPagedReader::ForEachBatch(int ABatch, const std::atomic<bool>* ACancel,
                                const std::function<bool(std::int64_t AFirst, int ACount)>& AHandler) const {
  for (std::int64_t first = 0; first < FRecordCount; first += ABatch) {
    if (ACancel && ACancel->load()) return false;
    if (!AHandler(first, ABatch)) return false;
  }
  return true;
}
