// The program's only path to its database: one SQLite connection
// (TSQLiteDatabase, serialized mode, UTF-16 calls), forward-only cursors
// (TSQLiteTable) with named parameters and typed field values, the SQL
// script reader and the backup writer.
#pragma once

#include "core/DqRoutine.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <atomic>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
class QIODevice;
class QObject;

class TSQLiteDatabase;
class TSQLiteTable;
class TSQLiteWalKeeper;

// Errors reported by SQLite.
class ESQLiteException : public EDqException {
public:
  explicit ESQLiteException(const QString& AMessage, int ACode = 0) : EDqException(AMessage), FCode(ACode) {}
  int Code() const { return FCode; }

private:
  int FCode;
};

// Long work given up by the user (a backup or a restore cancelled); what it
// was writing is left as it was before.
class ESQLiteCancelled : public EDqException {
public:
  using EDqException::EDqException;
};

// Progress of a backup or restore: done of total (rows written, or script
// lines read); answers false to cancel. Called on the working thread.
using TSQLiteProgress = std::function<bool(std::int64_t ADone, std::int64_t ATotal)>;

// Texts of SQLite result codes and storage classes used in messages.
QString SQLiteErrorText(int ACode);
QString SQLiteFieldTypeText(int ACode);

// Storage class codes of SQLite.
enum : std::uint8_t { sftInteger = 1, sftFloat = 2, sftText = 3, sftBlob = 4, sftNull = 5 };

// Code page of 8-bit script files that are not valid UTF-8: backups in the
// Thai code page cp874.
inline constexpr const char* kLegacyCodePage = "CP874";
QString DecodeLegacyCodePage(const QByteArray& ABytes);

// Creates an empty file for a new database, for its owner only (0600), or
// for the folder's group too (0660, and in that group) in a folder shared
// with its group (0770). False when the file exists or cannot be made.
bool CreateDatabaseFile(const QString& AFileName);

// A cell's text in a bound grid or list box.
QString FormatCellText(const TVariant& AValue, const QStringList& ADisplayValues);

class TSQLiteParam {
public:
  TSQLiteParam(const QByteArray& AName, const TVariant& AValue) : Name(AName), Value(AValue) {}
  QByteArray Name; // with its ':' prefix, as written in the SQL
  TVariant Value;
};

class TSQLiteParamList {
public:
  int Count() const { return static_cast<int>(FItems.size()); }
  TSQLiteParam* Items(int AIndex) const { return FItems.at(AIndex).get(); }
  TSQLiteParam* ParamByName(const QByteArray& AName) const;
  TVariant GetParamsValues(const QByteArray& AName) const;
  void SetParamValues(const QByteArray& AName, const TVariant& AValue);
  void SetParamValues(const char* AName, const TVariant& AValue) { SetParamValues(QByteArray(AName), AValue); }
  void Assign(const TSQLiteParamList& ASource);
  void Clear() { FItems.clear(); }
  // Binds every parameter to the compiled statement, in list order.
  void Bind(sqlite3_stmt* AStmt) const;

private:
  std::vector<std::unique_ptr<TSQLiteParam>> FItems;
};

class TSQLiteField {
public:
  TSQLiteField() = default;
  const QString& FieldName() const { return FFieldName; }
  const QString& FieldTypeString() const { return FFieldTypeString; }
  std::uint8_t FieldType() const { return FFieldType; }
  TVarKind ValueType() const { return FValueType; }
  QString ValueTypeString() const;
  const TVariant& Value() const { return FValue; }
  void SetValue(const TVariant& AValue) { FValue = AValue; }

  int AsInteger(int ADefault = 0) const { return VarAsInt(FValue, ADefault); }
  double AsFloat(double ADefault = 0.0) const { return VarAsFloat(FValue, ADefault); }
  bool AsBool(bool ADefault = false) const { return VarAsBool(FValue, ADefault); }
  double AsDateTime(double ADefault = 0.0) const { return VarAsDateTime(FValue, ADefault); }
  QString AsString(const QString& ADefault = QString()) const { return VarAsText(FValue, ADefault); }

private:
  friend class TSQLiteFieldList;
  friend class TSQLiteTable;
  QString FFieldName;
  QString FFieldTypeString = QStringLiteral("NULL");
  std::uint8_t FFieldType = sftNull;
  TVarKind FValueType = TVarKind::Null;
  TVariant FValue = TVariant::Null();
};

class TSQLiteFieldList {
public:
  int Count() const { return static_cast<int>(FItems.size()); }
  TSQLiteField* Items(int AIndex) const;
  // Adds a field; without a type string the storage class's name is used.
  TSQLiteField* AddField(const QString& AName, std::uint8_t AFieldType, TVarKind AValueType,
                         const QString& ATypeString = QString());
  TSQLiteField* FindField(const QString& AName) const; // last match, or nullptr
  void Clear() { FItems.clear(); }

private:
  std::vector<std::unique_ptr<TSQLiteField>> FItems;
};

class TSQLiteColumn {
public:
  QString DisplayName;
  QString FieldName;
  int Width = 64;
  QStringList DisplayValues; // integer i shows entry i; Boolean shows 0/1
};

class TSQLiteColumnList {
public:
  int Count() const { return static_cast<int>(FItems.size()); }
  TSQLiteColumn* Items(int AIndex) const { return FItems.at(AIndex).get(); }
  TSQLiteColumn* AddColumn(const QString& ADisplayName, const QString& AFieldName, int AWidth = 64);
  TSQLiteColumn* AddColumn(const QString& AFieldName, int AWidth = 64) { return AddColumn(AFieldName, AFieldName, AWidth); }
  void Clear() { FItems.clear(); }

private:
  std::vector<std::unique_ptr<TSQLiteColumn>> FItems;
};

// What a restore may write: the tables a backup empties and refills, each
// with its columns in order (none given: the columns the table has when the
// restore begins). Text read for a filtered column is stored as Filter
// makes it (passwords as their hashes), never as read.
struct TSQLiteRestoreTable {
  QString Name;
  QStringList Columns;
  QStringList FilteredColumns;
};
// Before and After run inside the restore's transaction, around the rows:
// derived tables can be set aside and rebuilt, all or nothing with them.
struct TSQLiteRestoreRules {
  std::vector<TSQLiteRestoreTable> Tables;
  std::function<QString(const QString& AText)> Filter;
  std::function<void()> Before;
  std::function<void()> After;
};

struct TSQLiteQuery {
  QString SQL;
  sqlite3_stmt* Statement = nullptr;
};

using TSQLiteCompare = int (*)(void* AUser, int ALength1, const void* AText1, int ALength2, const void* AText2);

class TSQLiteDatabase {
public:
  explicit TSQLiteDatabase(const QString& AFileName = QString());
  ~TSQLiteDatabase();
  TSQLiteDatabase(const TSQLiteDatabase&) = delete;
  TSQLiteDatabase& operator=(const TSQLiteDatabase&) = delete;

  void Open();
  void Close();
  bool Active() const { return FHandle != nullptr; }
  void SetActive(bool AValue) { AValue ? Open() : Close(); }
  const QString& FileName() const { return FFileName; }
  void SetFileName(const QString& AValue) { FFileName = AValue; }
  const QString& Header() const { return FHeader; }
  void SetHeader(const QString& AValue) { FHeader = AValue; }
  bool IsTransactionOpen() const { return FInTrans; }
  bool Synchronized() const { return FSynchronized; }
  void SetSynchronized(bool AValue);
  sqlite3* Handle() const { return FHandle; }
  // True when SQLite could open the file for reading only (permissions, a
  // read-only file system).
  bool ReadOnly() const;
  // Write-ahead logging, with the log kept small by checkpoints on a
  // thread of their own (DqSQLiteWal.h); kept across Close and Open.
  // Writers need a busy time-out (SetTimeout): a log that outgrows the
  // copies is restarted while they wait.
  void SetWalMode();
  TSQLiteWalKeeper* WalKeeper() const { return FWalKeeper.get(); }

  void BeginTransaction();
  void Commit();
  void Rollback();
  // AWork in a write transaction taken at once (BEGIN IMMEDIATE), committed,
  // or rolled back when it throws.
  void InWriteTransaction(const std::function<void()>& AWork);

  // With parameters the statement is kept prepared for the next call with
  // the same text (a few such statements per connection).
  void ExecSQL(const QString& ASQL, const TSQLiteParamList* AParams = nullptr);
  std::unique_ptr<TSQLiteTable> GetTable(const QString& ASQL);
  // (table name, CREATE statement) by name in SQLite's binary order.
  void GetTableList(std::vector<std::pair<QString, QString>>& AList);
  bool TableExists(const QString& ATableName);
  std::int64_t GetTableValue(const QString& ASQL);
  TVariant Lookup(const QString& ATableName, const QString& AKeyFields, const TVariant& AKeyValues,
                  const QString& AResultFields);

  std::int64_t GetLastInsertRowID() const;
  std::int64_t GetLastChangedRows() const;
  int RowsChanged() const;
  static QString Version();
  // How long a statement waits for another connection's write transaction.
  void SetTimeout(int AMilliseconds);
  // While *ACancel is true, a running statement stops (SQLITE_INTERRUPT)
  // and one waiting for the lock gives up (SQLITE_BUSY), so that long work
  // on this connection is left at once, its statement undone; nullptr
  // takes the flag off. The flag must outlive its use here.
  void SetCancelFlag(const std::atomic<bool>* ACancel);
  bool CancelRequested() const {
    const std::atomic<bool>* cancel = FCancel.load();
    return cancel && cancel->load();
  }
  // sqlite3_step, except that a write refused as busy is tried again until
  // the time-out: SQLite refuses it at once, without its busy handler, when
  // another cursor of this shared connection is still reading, even though
  // what holds the lock (a checkpoint) lets go by itself.
  int Step(sqlite3_stmt* AStatement);

  TSQLiteQuery PrepareSQL(const QString& ASQL);
  void ExecSQL(TSQLiteQuery& AQuery);
  void ReleaseSQL(TSQLiteQuery& AQuery);
  void UpdateBlob(const QString& ASQL, QIODevice& ABlobData);

  int Backup(TSQLiteDatabase& ATargetDB, const QString& ATargetName = QStringLiteral("main"),
             const QString& ASourceName = QStringLiteral("main"));
  void AddCustomCollate(const QString& AName, TSQLiteCompare ACompare, void* AUser = nullptr);
  void AddSystemCollate();

  // The SQL script reader and the backup writer.
  void ExecSQLFromStream(QIODevice& AStream);
  void ExecSQLFromFile(const QString& AFileName);
  void ExecSQLFromResource(const QString& AResName, const QString& AResType);
  // The backup is one snapshot: on a connection of its own it reads inside
  // one read transaction, so writers on other connections go on meanwhile.
  void ExportSQL(QIODevice& AStream, const TSQLiteProgress& AProgress = {});
  // Tables of data derived from the others (rebuilt after a restore), which
  // backups leave out.
  void SetDerivedTables(const QStringList& ANames) { FDerivedTables = ANames; }
  void ExportSQL(const QString& AFileName, const TSQLiteProgress& AProgress = {});
  // Restores a backup all or nothing: the whole script runs in one
  // transaction (its own BEGIN/COMMIT become savepoints). Only what a backup
  // holds is accepted: transactions, DELETE FROM and INSERT INTO (or PFIELD
  // and PINSERT) a table of ARules with plain values; anything else refuses
  // the file, naming the line. It is committed only when it ends outside any
  // transaction, has emptied every table of ARules, and the tables still
  // have their columns and no triggers; otherwise nothing changes. Streams
  // the file, so its size is not limited by memory.
  void RestoreSQLFromFile(const QString& AFileName, const TSQLiteRestoreRules& ARules,
                          const TSQLiteProgress& AProgress = {});
  // The same for tables whose columns are taken from the database.
  void RestoreSQLFromFile(const QString& AFileName, const QStringList& ATables, const TSQLiteProgress& AProgress = {});

  // Raises ESQLiteException with the connection's error code and message.
  [[noreturn]] void RaiseError(const QString& AMessage, const QString& ASQL) const;

private:
  static int WaitWhileBusy(void* ADatabase, int ATries);
  static int InterruptWhenCancelled(void* ADatabase);
  void ExecScriptText(const QString& AText);

  QString FFileName;
  QString FHeader = QStringLiteral("SQLITE");
  QStringList FDerivedTables;
  sqlite3* FHandle = nullptr;
  std::unique_ptr<TSQLiteWalKeeper> FWalKeeper;
  bool FWalMode = false;
  bool FInTrans = false;
  bool FSynchronized = true;
  std::atomic<int> FTimeout{0};
  std::atomic<const std::atomic<bool>*> FCancel{nullptr};
  std::int64_t FBusySince = 0; // µs on the steady clock, while waiting
  // Statements run again and again with new values (a reading each
  // second per controller) stay prepared: compiling one, with the triggers
  // it fires, costs several times its run.
  struct TStatementCache;
  std::unique_ptr<TStatementCache> FStatements;
};

class TSQLiteTable {
public:
  using THookQuery = std::function<void(TSQLiteTable* ASender, const QString& ASQL)>;
  // Lets the owner of a bound grid replace a cell's value before formatting.
  using TDrawDataCellEvent =
      std::function<void(QObject* ASender, TSQLiteColumn* AColumn, TSQLiteTable* ATable, TVariant& AValue)>;

  explicit TSQLiteTable(TSQLiteDatabase* ADatabase);
  ~TSQLiteTable();
  TSQLiteTable(const TSQLiteTable&) = delete;
  TSQLiteTable& operator=(const TSQLiteTable&) = delete;

  void Open();
  bool Next(bool AResync = true);
  void Close();
  void Clear();
  void ExecSQL();
  bool EofExec();
  int RecordCount();
  bool MoveTo(int APosition);

  TSQLiteField* GetFields(int AIndex) const { return FFields.Items(AIndex); }
  TSQLiteField* GetFieldByName(const QString& AFieldName) const;
  TSQLiteField* FieldByName(const QString& AFieldName) const { return GetFieldByName(AFieldName); }
  TVariant GetFieldValues(const QString& AFieldName) const { return GetFieldByName(AFieldName)->Value(); }
  void SetFieldValues(const QString& AFieldName, const TVariant& AValue) { GetFieldByName(AFieldName)->SetValue(AValue); }
  QString GetFieldValueDef(const QString& AFieldName, const QString& ADefValue) const;
  int FieldCount() const { return FFields.Count(); }
  TSQLiteFieldList& Fields() { return FFields; }

  // The SQL text, one line per entry.
  QStringList& SQL() { return FSQL; }
  void SetSQL(const QString& AText);
  QString SQLText() const;
  TSQLiteParamList& Params() { return FParams; }
  void SetParamValues(const char* AName, const TVariant& AValue) { FParams.SetParamValues(AName, AValue); }
  TSQLiteColumnList& ColumnDefs() { return FColumnDefs; }
  TSQLiteDatabase* Database() const { return FDatabase; }
  sqlite3_stmt* Stmt() const { return FStmt; }

  bool Active() const { return FStmt != nullptr; }
  void SetActive(bool AValue) { AValue ? Open() : Close(); }
  bool Eof() const { return FEof; }
  bool Bof() const { return FRecNo < 1; }
  int RecNo() const { return FRecNo; }
  void SetRecNo(int AValue) { MoveTo(AValue); }
  bool IsUnidirectional() const { return FIsUnidirectional; }
  bool Synchronized() const { return FDatabase && FDatabase->Synchronized(); }

  void BeginTransaction() { FDatabase->BeginTransaction(); }
  void Commit() { FDatabase->Commit(); }
  void Rollback() { FDatabase->Rollback(); }
  TVariant Lookup(const QString& ATableName, const QString& AKeyFields, const TVariant& AKeyValues,
                  const QString& AResultFields) {
    return FDatabase->Lookup(ATableName, AKeyFields, AKeyValues, AResultFields);
  }

  void SetOnQuery(THookQuery AHandler) { FOnQuery = std::move(AHandler); }
  const TDrawDataCellEvent& OnDrawDataCell() const { return FOnDrawDataCell; }
  void SetOnDrawDataCell(TDrawDataCellEvent AHandler) { FOnDrawDataCell = std::move(AHandler); }

  // The text of column ACol for record ARecord (0-based) of a bound grid or
  // list box; the current row is restored afterwards.
  QString CellText(QObject* ASender, int ACol, int ARecord);

  // Bound grids and list boxes (not owned). The widget side registers a
  // binder that paints them; without one the list only remembers them.
  using TControlBinder = std::function<void(TSQLiteTable* ATable, QObject* AControl, bool AAttach)>;
  static void SetControlBinder(TControlBinder ABinder);
  void AddControl(QObject* AControl);
  void DeleteControl(QObject* AControl);
  void DeleteControl(int AIndex);
  void ClearControls();
  const std::vector<QObject*>& Controls() const { return FDBControls; }

private:
  using TRow = std::vector<TVariant>;
  void Prepare(const char* AMessage);
  // Before the first row, nothing counted or cached.
  void ClearPosition();
  void Resync();
  void ReadRow(TRow& ARow) const;
  void LoadRow(const TRow& ARow);
  // Steps past the statement's end or to the first error, then resets it.
  void ResetStatement();
  // Reads a window of rows around APosition into the row cache and resets
  // the statement; false when APosition is past the last row.
  bool FetchWindow(int APosition);
  const TRow* CachedRow(int APosition) const;
  [[noreturn]] void RaiseError(const QString& AMessage) const;

  TSQLiteDatabase* FDatabase;
  sqlite3_stmt* FStmt = nullptr;
  QStringList FSQL;
  TSQLiteParamList FParams;
  TSQLiteFieldList FFields;
  TSQLiteColumnList FColumnDefs;
  int FRecordCount = -1;
  int FRecNo = -1;
  // The row the statement is on; -1 while it is reset. Loops stepping
  // forward read straight from it; random access (a grid's cells) goes
  // through the row cache so that nothing stays stepped between uses.
  int FStmtRow = -1;
  std::vector<TRow> FCache;
  int FCacheFirst = 0;
  bool FEof = false;
  bool FIsUnidirectional = false;
  std::vector<QObject*> FDBControls;
  THookQuery FOnQuery;
  TDrawDataCellEvent FOnDrawDataCell;
};
