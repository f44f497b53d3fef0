// One compiled SQLite statement owned by the code that runs it: prepared
// on construction, finalised with it. Failures raise the owner's own texts.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

struct sqlite3;
struct sqlite3_stmt;
class TSQLiteDatabase;

// Raises ESQLiteException with AMessage, the connection's error code and
// message and ASQL; AMessage alone when the connection holds no error.
[[noreturn]] void RaiseSQLiteError(sqlite3* AHandle, const QString& AMessage, const QString& ASQL);

class TSQLiteStatement {
public:
  // What a failure says. Detailed: the text with SQLite's code and words
  // and the SQL (RaiseSQLiteError); otherwise the text with SQLite's
  // message in place of its %1.
  struct TErrors {
    QString Prepare; // the SQL does not compile
    QString Step;    // a step fails (busy, I/O, a damaged file)
    bool Detailed = true;
  };

  TSQLiteStatement(const TErrors& AErrors, sqlite3* AHandle, const QString& ASQL);
  TSQLiteStatement(const TErrors& AErrors, sqlite3* AHandle, const QByteArray& ASQL);
  // Steps through ADatabase.Step: a write refused as busy while another
  // cursor reads is tried again until the connection's time-out.
  TSQLiteStatement(const TErrors& AErrors, TSQLiteDatabase& ADatabase, const QString& ASQL);
  ~TSQLiteStatement();
  TSQLiteStatement(const TSQLiteStatement&) = delete;
  TSQLiteStatement& operator=(const TSQLiteStatement&) = delete;

  sqlite3_stmt* Stmt() const { return FStmt; }
  const QString& SQL() const { return FSQL; }

  void Bind(int AIndex, int AValue);
  void Bind(int AIndex, std::int64_t AValue);
  void Bind(int AIndex, double AValue);
  void Bind(int AIndex, const QString& AText);
  void BindNull(int AIndex);

  // True while a row is available; false at the end. A failure raises and
  // leaves the statement reset.
  bool Step();
  // Back to the first row; the values bound stay.
  void Reset();
  // Steps to the end, then resets.
  void Run();

private:
  void Prepare(sqlite3* AHandle, const QByteArray& AUtf8);
  [[noreturn]] void Raise(const QString& AText) const;

  sqlite3* FHandle;
  TSQLiteDatabase* FDatabase = nullptr;
  QString FSQL;
  TErrors FErrors;
  sqlite3_stmt* FStmt = nullptr;
};
