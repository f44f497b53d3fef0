#include "DqSQLite.h"

#include "DqSQLiteStatement.h"
#include "DqSQLiteText.h"
#include "DqSQLiteWal.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace DqSQLiteText;

namespace {

// Virtual machine steps between looks at a cancel flag: well under a
// millisecond of work.
constexpr int kCancelCheckSteps = 1000;

} // namespace

// ======================================================================
// Texts

QString SQLiteErrorText(int ACode) {
  switch (ACode) {
  case 0: return QStringLiteral("Successful result");
  case 1: return QStringLiteral("SQL error or missing database");
  case 2: return QStringLiteral("An internal logic error in SQLite");
  case 3: return QStringLiteral("Access permission denied");
  case 4: return QStringLiteral("Callback routine requested an abort");
  case 5: return QStringLiteral("The database file is locked");
  case 6: return QStringLiteral("A table in the database is locked");
  case 7: return QStringLiteral("A malloc() failed");
  case 8: return QStringLiteral("Attempt to write a readonly database");
  case 9: return QStringLiteral("Operation terminated by sqlite3_interrupt()");
  case 10: return QStringLiteral("Some kind of disk I/O error occurred");
  case 11: return QStringLiteral("The database disk image is malformed");
  case 12: return QStringLiteral("(Internal Only) Table or record not found");
  case 13: return QStringLiteral("Insertion failed because database is full");
  case 14: return QStringLiteral("Unable to open the database file");
  case 15: return QStringLiteral("Database lock protocol error");
  case 16: return QStringLiteral("Database is empty");
  case 17: return QStringLiteral("The database schema changed");
  case 18: return QStringLiteral("Too much data for one row of a table");
  case 19: return QStringLiteral("Abort due to contraint violation");
  case 20: return QStringLiteral("Data type mismatch");
  case 21: return QStringLiteral("Library used incorrectly");
  case 22: return QStringLiteral("Uses OS features not supported on host");
  case 23: return QStringLiteral("Authorization denied");
  case 24: return QStringLiteral("Auxiliary database format error");
  case 25: return QStringLiteral("2nd parameter to sqlite3_bind out of range");
  case 26: return QStringLiteral("File opened that is not a database file");
  case 100: return QStringLiteral("sqlite3_step() has another row ready");
  case 101: return QStringLiteral("sqlite3_step() has finished executing");
  default: return QStringLiteral("Unknown SQLite Error Code \"%1\"").arg(ACode);
  }
}

QString SQLiteFieldTypeText(int ACode) {
  switch (ACode) {
  case 1: return QStringLiteral("Integer");
  case 2: return QStringLiteral("Float");
  case 3: return QStringLiteral("Text");
  case 4: return QStringLiteral("Blob");
  case 5: return QStringLiteral("Null");
  default: return QStringLiteral("Unknown SQLite Field Type Code \"%1\"").arg(ACode);
  }
}

QString FormatCellText(const TVariant& AValue, const QStringList& ADisplayValues) {
  switch (AValue.Kind()) {
  case TVarKind::Empty:
  case TVarKind::Null: return QString();
  case TVarKind::Integer: {
    const std::int64_t value = AValue.IntValue();
    if (value >= 0 && value < ADisplayValues.size()) return ADisplayValues.at(static_cast<qsizetype>(value));
    return QString::number(value);
  }
  case TVarKind::Float: return FloatToStrLocale(AValue.FloatValue());
  case TVarKind::DateTime: return DateTimeToDisplayText(AValue.FloatValue());
  case TVarKind::Text: return AValue.TextValue();
  case TVarKind::Boolean:
    if (ADisplayValues.size() < 2)
      return AValue.BoolValue() ? QStringLiteral("True") : QStringLiteral("False");
    return ADisplayValues.at(AValue.BoolValue() ? 1 : 0);
  }
  return QString();
}

// ======================================================================
// Parameters, fields, columns

TSQLiteParam* TSQLiteParamList::ParamByName(const QByteArray& AName) const {
  for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
    if ((*it)->Name == AName) return it->get();
  return nullptr;
}

TVariant TSQLiteParamList::GetParamsValues(const QByteArray& AName) const {
  const TSQLiteParam* param = ParamByName(AName);
  return param ? param->Value : TVariant::Null();
}

void TSQLiteParamList::SetParamValues(const QByteArray& AName, const TVariant& AValue) {
  if (TSQLiteParam* param = ParamByName(AName)) {
    param->Value = AValue;
    return;
  }
  FItems.push_back(std::make_unique<TSQLiteParam>(AName, AValue));
}

void TSQLiteParamList::Assign(const TSQLiteParamList& ASource) {
  if (&ASource == this) return;
  FItems.clear();
  for (const auto& item : ASource.FItems) FItems.push_back(std::make_unique<TSQLiteParam>(*item));
}

void TSQLiteParamList::Bind(sqlite3_stmt* AStmt) const {
  for (const auto& param : FItems) {
    const int index = sqlite3_bind_parameter_index(AStmt, param->Name.constData());
    if (index == 0) throw EDqException(QStringLiteral("Not found parameter binding name"));
    const TVariant& value = param->Value;
    switch (value.Kind()) {
    case TVarKind::Empty:
    case TVarKind::Null: sqlite3_bind_null(AStmt, index); break;
    // The whole 64-bit value is bound: cutting it to 32 bits would store a
    // different number.
    case TVarKind::Integer: sqlite3_bind_int64(AStmt, index, value.IntValue()); break;
    case TVarKind::Boolean: sqlite3_bind_int64(AStmt, index, value.BoolValue() ? -1 : 0); break;
    case TVarKind::Float:
    case TVarKind::DateTime: sqlite3_bind_double(AStmt, index, value.FloatValue()); break;
    case TVarKind::Text:
      sqlite3_bind_text16(AStmt, index, Utf16(value.TextValue()), Utf16Bytes(value.TextValue()), SQLITE_TRANSIENT);
      break;
    }
  }
}

QString TSQLiteField::ValueTypeString() const {
  switch (FValueType) {
  case TVarKind::Empty:
  case TVarKind::Null: return QStringLiteral("NULL");
  case TVarKind::Integer: return QStringLiteral("INTEGER");
  case TVarKind::Float: return QStringLiteral("FLOAT");
  case TVarKind::DateTime: return QStringLiteral("DATETIME");
  case TVarKind::Text: return QStringLiteral("TEXT");
  case TVarKind::Boolean: return QStringLiteral("BOOLEAN");
  }
  return QStringLiteral("BLOB");
}

TSQLiteField* TSQLiteFieldList::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) return nullptr;
  return FItems[static_cast<std::size_t>(AIndex)].get();
}

TSQLiteField* TSQLiteFieldList::AddField(const QString& AName, std::uint8_t AFieldType, TVarKind AValueType,
                                         const QString& ATypeString) {
  auto field = std::make_unique<TSQLiteField>();
  field->FFieldName = AName;
  field->FFieldType = AFieldType;
  field->FValueType = AValueType;
  field->FFieldTypeString = ATypeString.isEmpty() ? SQLiteFieldTypeText(AFieldType) : ATypeString;
  FItems.push_back(std::move(field));
  return FItems.back().get();
}

TSQLiteField* TSQLiteFieldList::FindField(const QString& AName) const {
  for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
    if ((*it)->FFieldName == AName) return it->get();
  return nullptr;
}

TSQLiteColumn* TSQLiteColumnList::AddColumn(const QString& ADisplayName, const QString& AFieldName, int AWidth) {
  auto column = std::make_unique<TSQLiteColumn>();
  column->DisplayName = ADisplayName;
  column->FieldName = AFieldName;
  column->Width = AWidth;
  FItems.push_back(std::move(column));
  return FItems.back().get();
}

// ======================================================================
// TSQLiteDatabase

// Prepared statements by their text, oldest dropped first. One statement
// is bound and stepped by one thread at a time.
struct TSQLiteDatabase::TStatementCache {
  static constexpr std::size_t kLimit = 8;
  std::mutex Mutex;
  std::vector<std::pair<QString, sqlite3_stmt*>> Items;

  ~TStatementCache() { Clear(); }
  void Clear() {
    for (auto& item : Items) sqlite3_finalize(item.second);
    Items.clear();
  }
  sqlite3_stmt* Find(const QString& ASQL) const {
    for (const auto& item : Items)
      if (item.first == ASQL) return item.second;
    return nullptr;
  }
  void Add(const QString& ASQL, sqlite3_stmt* AStmt) {
    if (Items.size() >= kLimit) {
      sqlite3_finalize(Items.front().second);
      Items.erase(Items.begin());
    }
    Items.emplace_back(ASQL, AStmt);
  }
};

TSQLiteDatabase::TSQLiteDatabase(const QString& AFileName)
    : FFileName(AFileName), FStatements(std::make_unique<TStatementCache>()) {
  if (!FFileName.isEmpty()) Open();
}

TSQLiteDatabase::~TSQLiteDatabase() {
  try {
    Close();
  } catch (...) {
  }
}

bool CreateDatabaseFile(const QString& AFileName) {
  struct stat folder {};
  const QByteArray folderName = QFile::encodeName(QFileInfo(AFileName).absolutePath());
  const bool shared = ::stat(folderName.constData(), &folder) == 0 && (folder.st_mode & S_IRWXG) == S_IRWXG;
  const mode_t mode = shared ? 0660 : 0600;
  const int fd = ::open(QFile::encodeName(AFileName).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  // The folder's group (a service's) must reach the file whoever made it,
  // and the umask may have taken the group's write right.
  if (shared) {
    (void)::fchown(fd, static_cast<uid_t>(-1), folder.st_gid);
    (void)::fchmod(fd, mode);
  }
  ::close(fd);
  return true;
}

void TSQLiteDatabase::Open() {
  if (FHandle) Close();
  if (FFileName.isEmpty()) throw EDqException(QStringLiteral("Database filename not defined."));
  // A new file is created private before SQLite makes it with the umask's
  // rights; SQLite gives its -wal and -shm files the same rights.
  if (FFileName != QLatin1String(":memory:") && !FFileName.startsWith(QLatin1String("file:")) &&
      !QFileInfo::exists(FFileName))
    CreateDatabaseFile(FFileName);
  FInTrans = false;
  FSynchronized = true;
  // Serialized mode: the UI thread and the engine worker share the
  // connection. The open call with flags is the one that guarantees it.
  sqlite3* handle = nullptr;
  const int rc = sqlite3_open_v2(FFileName.toUtf8().constData(), &handle,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (!handle)
    throw ESQLiteException(QStringLiteral("Failed to open database \"%1\" : unknown error").arg(FFileName), rc);
  // The wait set before (or before a close) holds from the first read: a
  // file another connection holds for a moment (opening it, writing) is
  // waited for, not refused.
  if (rc == SQLITE_OK && FTimeout > 0) sqlite3_busy_handler(handle, &WaitWhileBusy, this);
  if (rc == SQLITE_OK && FCancel.load())
    sqlite3_progress_handler(handle, kCancelCheckSteps, &InterruptWhenCancelled, this);
  // SQLite opens lazily: read the schema now so that a file that is not a
  // database is refused here, before anything else touches it.
  int probe = rc;
  if (probe == SQLITE_OK) probe = sqlite3_exec(handle, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  if (probe != SQLITE_OK) {
    const QString message = QString::fromUtf8(sqlite3_errmsg(handle));
    sqlite3_close_v2(handle);
    throw ESQLiteException(QStringLiteral("Failed to open database \"%1\" : %2").arg(FFileName, message), probe);
  }
  FHandle = handle;
  if (FWalMode) SetWalMode();
}

bool TSQLiteDatabase::ReadOnly() const { return FHandle && sqlite3_db_readonly(FHandle, "main") == 1; }

void TSQLiteDatabase::SetWalMode() {
  if (!FHandle) throw EDqException(QStringLiteral("Database not open."));
  FWalKeeper.reset();
  GetTable(QStringLiteral("PRAGMA journal_mode = WAL")); // answers with the mode
  FWalKeeper = std::make_unique<TSQLiteWalKeeper>(FHandle, FFileName);
  FWalMode = true;
}

void TSQLiteDatabase::Close() {
  if (FInTrans && FHandle) {
    FInTrans = false;
    sqlite3_exec(FHandle, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  FInTrans = false;
  FWalKeeper.reset();
  {
    std::lock_guard<std::mutex> guard(FStatements->Mutex);
    FStatements->Clear();
  }
  if (FHandle) {
    // Cursors still holding statements keep the connection alive until they
    // are finalised.
    sqlite3_close_v2(FHandle);
    FHandle = nullptr;
  }
  FSynchronized = true;
}

void TSQLiteDatabase::SetSynchronized(bool AValue) {
  if (AValue == FSynchronized) return;
  ExecSQL(AValue ? QStringLiteral("PRAGMA synchronous = ON") : QStringLiteral("PRAGMA synchronous = OFF"));
  FSynchronized = AValue;
}

void TSQLiteDatabase::BeginTransaction() {
  if (FInTrans) throw ESQLiteException(QStringLiteral("Transaction already open"));
  ExecSQL(QStringLiteral("BEGIN TRANSACTION"));
  FInTrans = true;
}

void TSQLiteDatabase::InWriteTransaction(const std::function<void()>& AWork) {
  ExecSQL(QStringLiteral("BEGIN IMMEDIATE"));
  try {
    AWork();
    ExecSQL(QStringLiteral("COMMIT"));
  } catch (...) {
    // The first error is the one to tell.
    if (FHandle && !sqlite3_get_autocommit(FHandle)) sqlite3_exec(FHandle, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void TSQLiteDatabase::Commit() {
  ExecSQL(QStringLiteral("COMMIT"));
  FInTrans = false;
}

void TSQLiteDatabase::Rollback() {
  ExecSQL(QStringLiteral("ROLLBACK"));
  FInTrans = false;
}

void TSQLiteDatabase::ExecSQL(const QString& ASQL, const TSQLiteParamList* AParams) {
  if (!AParams) {
    TSQLiteTable table(this);
    table.SetSQL(ASQL);
    table.ExecSQL();
    return;
  }
  if (!FHandle) throw EDqException(QStringLiteral("Not assigned database."));
  std::lock_guard<std::mutex> guard(FStatements->Mutex);
  sqlite3_stmt* stmt = FStatements->Find(ASQL);
  if (!stmt) {
    if (sqlite3_prepare16_v2(FHandle, Utf16(ASQL), Utf16Bytes(ASQL), &stmt, nullptr) != SQLITE_OK || !stmt) {
      sqlite3_finalize(stmt);
      RaiseError(QStringLiteral("Error executing SQL"), ASQL);
    }
    FStatements->Add(ASQL, stmt);
  }
  int rc = SQLITE_DONE;
  try {
    AParams->Bind(stmt);
    rc = Step(stmt);
  } catch (...) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    throw;
  }
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  if (rc != SQLITE_DONE) RaiseError(QStringLiteral("Error executing SQL statement"), ASQL);
}

std::unique_ptr<TSQLiteTable> TSQLiteDatabase::GetTable(const QString& ASQL) {
  auto table = std::make_unique<TSQLiteTable>(this);
  table->SetSQL(ASQL);
  table->Open();
  return table;
}

void TSQLiteDatabase::GetTableList(std::vector<std::pair<QString, QString>>& AList) {
  AList.clear();
  TSQLiteTable table(this);
  table.SetSQL(QStringLiteral("SELECT * FROM sqlite_master WHERE type = 'table' ORDER BY name"));
  table.Open();
  TSQLiteField* name = table.FieldByName(QStringLiteral("name"));
  TSQLiteField* sql = table.FieldByName(QStringLiteral("sql"));
  while (!table.Eof()) {
    AList.emplace_back(name->AsString(), sql->AsString());
    table.Next();
  }
}

bool TSQLiteDatabase::TableExists(const QString& ATableName) {
  TSQLiteTable table(this);
  table.SetSQL(QStringLiteral("SELECT [sql] FROM sqlite_master WHERE [type] = 'table' AND LOWER(name) = :Name"));
  table.SetParamValues(":Name", ATableName.toLower());
  return !table.EofExec();
}

std::int64_t TSQLiteDatabase::GetTableValue(const QString& ASQL) {
  TSQLiteTable table(this);
  table.SetSQL(ASQL);
  table.Open();
  if (table.Eof() || table.FieldCount() == 0) return 0;
  return table.GetFields(0)->AsInteger(0);
}

TVariant TSQLiteDatabase::Lookup(const QString& ATableName, const QString& AKeyFields, const TVariant& AKeyValues,
                                 const QString& AResultFields) {
  TSQLiteTable table(this);
  table.SetSQL(QStringLiteral("SELECT %1 FROM %2 WHERE (%3 = :%3)").arg(AResultFields, ATableName, AKeyFields));
  table.Params().SetParamValues(QByteArray(":") + AKeyFields.toUtf8(), AKeyValues);
  table.Open();
  if (table.Eof()) return TVariant::Null();
  return table.FieldByName(AResultFields)->Value();
}

std::int64_t TSQLiteDatabase::GetLastInsertRowID() const { return FHandle ? sqlite3_last_insert_rowid(FHandle) : 0; }
std::int64_t TSQLiteDatabase::GetLastChangedRows() const { return FHandle ? sqlite3_total_changes(FHandle) : 0; }
int TSQLiteDatabase::RowsChanged() const { return FHandle ? sqlite3_changes(FHandle) : 0; }
QString TSQLiteDatabase::Version() { return QString::fromLatin1(sqlite3_libversion()); }

// Another connection's write transaction holds the file. SQLite's own
// handler backs off to 100 ms between looks, and a writer that looks that
// seldom may miss every short gap between someone else's transactions
// (archiving deletes in many short ones). A look each millisecond finds
// the first gap; waiting is rare, so its cost is too. Called under the
// connection's mutex, so one wait at a time.
int TSQLiteDatabase::WaitWhileBusy(void* ADatabase, int ATries) {
  auto* database = static_cast<TSQLiteDatabase*>(ADatabase);
  const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch() / std::chrono::microseconds(1);
  if (ATries == 0) database->FBusySince = now;
  if (now - database->FBusySince >= std::int64_t{database->FTimeout} * 1000 || database->CancelRequested()) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return 1;
}

void TSQLiteDatabase::SetTimeout(int AMilliseconds) {
  FTimeout = AMilliseconds;
  if (!FHandle) return;
  if (AMilliseconds > 0)
    sqlite3_busy_handler(FHandle, &WaitWhileBusy, this);
  else
    sqlite3_busy_handler(FHandle, nullptr, nullptr);
}

int TSQLiteDatabase::InterruptWhenCancelled(void* ADatabase) {
  return static_cast<const TSQLiteDatabase*>(ADatabase)->CancelRequested() ? 1 : 0;
}

void TSQLiteDatabase::SetCancelFlag(const std::atomic<bool>* ACancel) {
  FCancel = ACancel;
  if (!FHandle) return;
  if (ACancel)
    sqlite3_progress_handler(FHandle, kCancelCheckSteps, &InterruptWhenCancelled, this);
  else
    sqlite3_progress_handler(FHandle, 0, nullptr, nullptr);
}

int TSQLiteDatabase::Step(sqlite3_stmt* AStatement) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(FTimeout.load());
  int rc = sqlite3_step(AStatement);
  // Inside a transaction of its own a refusal may be for good (its snapshot
  // is stale): only rolling back helps, so it is reported at once.
  if (!sqlite3_get_autocommit(sqlite3_db_handle(AStatement))) return rc;
  auto pause = std::chrono::milliseconds(1);
  while (rc == SQLITE_BUSY && std::chrono::steady_clock::now() < deadline && !CancelRequested()) {
    // Refused before it changed anything: the same statement may run again.
    sqlite3_reset(AStatement);
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
    rc = sqlite3_step(AStatement);
  }
  return rc;
}

TSQLiteQuery TSQLiteDatabase::PrepareSQL(const QString& ASQL) {
  TSQLiteQuery query;
  query.SQL = ASQL;
  const int rc = sqlite3_prepare16_v2(FHandle, Utf16(ASQL), Utf16Bytes(ASQL), &query.Statement, nullptr);
  if (rc != SQLITE_OK || !query.Statement) {
    sqlite3_finalize(query.Statement);
    query.Statement = nullptr;
    RaiseError(QStringLiteral("Could not prepare SQL statement"), ASQL);
  }
  return query;
}

void TSQLiteDatabase::ExecSQL(TSQLiteQuery& AQuery) {
  const int rc = Step(AQuery.Statement);
  if (rc != SQLITE_DONE) {
    sqlite3_reset(AQuery.Statement);
    RaiseError(QStringLiteral("Error executing prepared SQL statement"), AQuery.SQL);
  }
  sqlite3_reset(AQuery.Statement);
}

void TSQLiteDatabase::ReleaseSQL(TSQLiteQuery& AQuery) {
  const int rc = sqlite3_finalize(AQuery.Statement);
  AQuery.Statement = nullptr;
  if (rc != SQLITE_OK) RaiseError(QStringLiteral("Could not release prepared SQL statement"), AQuery.SQL);
}

void TSQLiteDatabase::UpdateBlob(const QString& ASQL, QIODevice& ABlobData) {
  if (!ASQL.contains(QLatin1Char('?'))) throw ESQLiteException(QStringLiteral("SQL must include a ? parameter"));
  ABlobData.seek(0);
  const QByteArray data = ABlobData.readAll();
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare16_v2(FHandle, Utf16(ASQL), Utf16Bytes(ASQL), &stmt, nullptr) != SQLITE_OK || !stmt) {
    sqlite3_finalize(stmt);
    RaiseError(QStringLiteral("Error executing SQL"), ASQL);
  }
  if (sqlite3_bind_blob(stmt, 1, data.constData(), static_cast<int>(data.size()), SQLITE_TRANSIENT) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    RaiseError(QStringLiteral("Error binding blob to database"), ASQL);
  }
  const int rc = Step(stmt);
  if (rc != SQLITE_DONE) {
    sqlite3_reset(stmt);
    sqlite3_finalize(stmt);
    RaiseError(QStringLiteral("Error executing SQL statement"), ASQL);
  }
  sqlite3_finalize(stmt);
}

int TSQLiteDatabase::Backup(TSQLiteDatabase& ATargetDB, const QString& ATargetName, const QString& ASourceName) {
  sqlite3_backup* backup = sqlite3_backup_init(ATargetDB.FHandle, ATargetName.toUtf8().constData(), FHandle,
                                               ASourceName.toUtf8().constData());
  if (!backup) ATargetDB.RaiseError(QStringLiteral("Could not initialize backup"), QString());
  const int rc = sqlite3_backup_step(backup, -1);
  sqlite3_backup_finish(backup);
  return rc;
}

void TSQLiteDatabase::AddCustomCollate(const QString& AName, TSQLiteCompare ACompare, void* AUser) {
  sqlite3_create_collation16(FHandle, Utf16(AName), SQLITE_UTF16, AUser, ACompare);
}

namespace {
int SystemCompare(void*, int ALength1, const void* AText1, int ALength2, const void* AText2) {
  // SQLite gives lengths in bytes; the comparison works on characters.
  const QString a = FromUtf16(AText1, ALength1);
  const QString b = FromUtf16(AText2, ALength2);
  const int result = QString::localeAwareCompare(a, b);
  return result < 0 ? -1 : (result > 0 ? 1 : 0);
}
} // namespace

void TSQLiteDatabase::AddSystemCollate() { AddCustomCollate(QStringLiteral("SYSTEM"), SystemCompare); }

void TSQLiteDatabase::RaiseError(const QString& AMessage, const QString& ASQL) const {
  RaiseSQLiteError(FHandle, AMessage, ASQL);
}
