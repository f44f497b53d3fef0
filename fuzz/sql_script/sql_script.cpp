// The SQL script reader (backups, the creation script): decoding, the
// header, comments, statements over several lines, PFIELD blocks, run into
// a database in memory.
#include "store/DqSQLite.h"

#include <QBuffer>

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>

namespace {
// The harness keeps SQL itself from leaving the process or running long.
int Authorize(void*, int AAction, const char*, const char*, const char*, const char*) {
  return AAction == SQLITE_ATTACH || AAction == SQLITE_DETACH ? SQLITE_DENY : SQLITE_OK;
}
int Progress(void* ASteps) { return ++*static_cast<int*>(ASteps) > 2000; }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  TSQLiteDatabase db(QStringLiteral(":memory:"));
  db.SetHeader(QStringLiteral("TERVOX_SQLITE"));
  sqlite3_set_authorizer(db.Handle(), &Authorize, nullptr);
  int steps = 0;
  sqlite3_progress_handler(db.Handle(), 100, &Progress, &steps);
  sqlite3_limit(db.Handle(), SQLITE_LIMIT_LENGTH, 1 << 20);
  QByteArray bytes(reinterpret_cast<const char*>(AData), static_cast<qsizetype>(ASize));
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::ReadOnly);
  try {
    db.ExecSQLFromStream(buffer);
  } catch (const EDqException&) {
  }
  return 0;
}
