#include "DqSQLiteStatement.h"

#include "DqSQLite.h"

#include <sqlite3.h>

void RaiseSQLiteError(sqlite3* AHandle, const QString& AMessage, const QString& ASQL) {
  const int code = AHandle ? sqlite3_errcode(AHandle) : 0;
  if (code != 0) {
    const QString message = QString::fromUtf8(sqlite3_errmsg(AHandle));
    if (!message.isEmpty())
      throw ESQLiteException(QStringLiteral("%1.\rError [%2]: %3.\r\"%4\": %5")
                                 .arg(AMessage)
                                 .arg(code)
                                 .arg(SQLiteErrorText(code), ASQL, message),
                             code);
  }
  throw ESQLiteException(AMessage, code);
}

TSQLiteStatement::TSQLiteStatement(const TErrors& AErrors, sqlite3* AHandle, const QString& ASQL)
    : FHandle(AHandle), FSQL(ASQL), FErrors(AErrors) {
  Prepare(AHandle, ASQL.toUtf8());
}

TSQLiteStatement::TSQLiteStatement(const TErrors& AErrors, sqlite3* AHandle, const QByteArray& ASQL)
    : FHandle(AHandle), FSQL(QString::fromUtf8(ASQL)), FErrors(AErrors) {
  Prepare(AHandle, ASQL);
}

TSQLiteStatement::TSQLiteStatement(const TErrors& AErrors, TSQLiteDatabase& ADatabase, const QString& ASQL)
    : FHandle(ADatabase.Handle()), FDatabase(&ADatabase), FSQL(ASQL), FErrors(AErrors) {
  Prepare(FHandle, ASQL.toUtf8());
}

TSQLiteStatement::~TSQLiteStatement() { sqlite3_finalize(FStmt); }

void TSQLiteStatement::Prepare(sqlite3* AHandle, const QByteArray& AUtf8) {
  if (sqlite3_prepare_v2(AHandle, AUtf8.constData(), static_cast<int>(AUtf8.size()), &FStmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(FStmt);
    FStmt = nullptr;
    Raise(FErrors.Prepare);
  }
}

void TSQLiteStatement::Raise(const QString& AText) const {
  if (FErrors.Detailed) RaiseSQLiteError(FHandle, AText, FSQL);
  const int code = sqlite3_errcode(FHandle);
  throw ESQLiteException(AText.arg(QString::fromUtf8(sqlite3_errmsg(FHandle))), code);
}

void TSQLiteStatement::Bind(int AIndex, int AValue) { sqlite3_bind_int(FStmt, AIndex, AValue); }
void TSQLiteStatement::Bind(int AIndex, std::int64_t AValue) { sqlite3_bind_int64(FStmt, AIndex, AValue); }
void TSQLiteStatement::Bind(int AIndex, double AValue) { sqlite3_bind_double(FStmt, AIndex, AValue); }
void TSQLiteStatement::BindNull(int AIndex) { sqlite3_bind_null(FStmt, AIndex); }

void TSQLiteStatement::Bind(int AIndex, const QString& AText) {
  sqlite3_bind_text16(FStmt, AIndex, AText.utf16(), static_cast<int>(AText.size() * 2), SQLITE_TRANSIENT);
}

bool TSQLiteStatement::Step() {
  const int rc = FDatabase ? FDatabase->Step(FStmt) : sqlite3_step(FStmt);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  // The text is taken before the reset, which may replace the connection's.
  try {
    Raise(FErrors.Step);
  } catch (...) {
    sqlite3_reset(FStmt);
    throw;
  }
}

void TSQLiteStatement::Reset() { sqlite3_reset(FStmt); }

void TSQLiteStatement::Run() {
  while (Step()) {}
  Reset();
}
