#include "DqSQLite.h"

#include "DqSQLiteRestore.h"
#include "DqSQLiteWal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QIODevice>
#include <QTemporaryFile>
#include <QStringDecoder>

#include <sqlite3.h>

#include <iconv.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kCRLF = QStringLiteral("\r\n");
// Virtual machine steps between looks at a cancel flag: well under a
// millisecond of work.
constexpr int kCancelCheckSteps = 1000;

const void* Utf16(const QString& AText) { return AText.utf16(); }
int Utf16Bytes(const QString& AText) { return static_cast<int>(AText.size() * 2); }

QString FromUtf16(const void* AText, int ABytes) {
  if (!AText) return QString();
  return QString(reinterpret_cast<const QChar*>(AText), ABytes / 2);
}

QString FromUtf16Z(const void* AText) {
  if (!AText) return QString();
  return QString::fromUtf16(static_cast<const char16_t*>(AText));
}

// Declared column type -> (storage class code, value kind).
void FieldTypeFromDeclared(const QString& ADeclared, bool AHasDeclared, int AStorageClass,
                           std::uint8_t& AFieldType, TVarKind& AValueType) {
  if (!AHasDeclared) {
    switch (AStorageClass) {
    case SQLITE_INTEGER: AFieldType = sftInteger; AValueType = TVarKind::Integer; return;
    case SQLITE_FLOAT: AFieldType = sftFloat; AValueType = TVarKind::Float; return;
    case SQLITE_TEXT: AFieldType = sftText; AValueType = TVarKind::Text; return;
    case SQLITE_BLOB: AFieldType = sftBlob; AValueType = TVarKind::Text; return;
    default: AFieldType = sftNull; AValueType = TVarKind::Null; return;
    }
  }
  const QString type = ADeclared.toUpper();
  if (type == QLatin1String("INTEGER")) {
    AFieldType = sftInteger; AValueType = TVarKind::Integer;
  } else if (type == QLatin1String("BOOLEAN")) {
    AFieldType = sftInteger; AValueType = TVarKind::Boolean;
  } else if (type == QLatin1String("DATETIME")) {
    AFieldType = sftFloat; AValueType = TVarKind::DateTime;
  } else if (type == QLatin1String("NUMERIC") || type == QLatin1String("FLOAT") || type == QLatin1String("DOUBLE") ||
             type == QLatin1String("REAL") || type == QLatin1String("CURRENCY")) {
    AFieldType = sftFloat; AValueType = TVarKind::Float;
  } else if (type == QLatin1String("TEXT")) {
    AFieldType = sftText; AValueType = TVarKind::Text;
  } else {
    AFieldType = sftBlob; AValueType = TVarKind::Text;
  }
}

// A number stored as text in a date-time column; 0.0 when it is not one.
double TextAsNumber(const QString& AText) {
  bool ok = false;
  const double value = QLocale::c().toDouble(AText.trimmed(), &ok);
  return ok ? value : 0.0;
}

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
  const int code = FHandle ? sqlite3_errcode(FHandle) : 0;
  if (code != 0) {
    const QString message = QString::fromUtf8(sqlite3_errmsg(FHandle));
    if (!message.isEmpty())
      throw ESQLiteException(QStringLiteral("%1.\rError [%2]: %3.\r\"%4\": %5")
                                 .arg(AMessage)
                                 .arg(code)
                                 .arg(SQLiteErrorText(code), ASQL, message),
                             code);
  }
  throw ESQLiteException(AMessage, code);
}

// ---------------------------------------------------------------------
// Script reader

namespace {

// Text of a script file. Byte-order marks decide when present; otherwise
// UTF-8 when the bytes are valid UTF-8, else the Thai code page cp874 of
// older 8-bit backups.
QString DecodeScript(const QByteArray& ABytes) {
  if (ABytes.startsWith("\xEF\xBB\xBF")) return QString::fromUtf8(ABytes.mid(3));
  if (ABytes.startsWith("\xFF\xFE")) {
    QStringDecoder decoder(QStringConverter::Utf16LE);
    return decoder.decode(ABytes.mid(2));
  }
  if (ABytes.startsWith("\xFE\xFF")) {
    QStringDecoder decoder(QStringConverter::Utf16BE);
    return decoder.decode(ABytes.mid(2));
  }
  {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(ABytes);
    if (!decoder.hasError()) return text;
  }
  return DecodeLegacyCodePage(ABytes);
}

bool IsBlankOrControl(QChar AChar) { return AChar.unicode() <= 0x20; }

QString TrimBlanks(const QString& ALine) {
  qsizetype begin = 0;
  qsizetype end = ALine.size();
  while (begin < end && IsBlankOrControl(ALine.at(begin))) ++begin;
  while (end > begin && IsBlankOrControl(ALine.at(end - 1))) --end;
  return ALine.mid(begin, end - begin);
}

} // namespace

QString DecodeLegacyCodePage(const QByteArray& ABytes) {
  iconv_t cd = iconv_open("UTF-8", kLegacyCodePage);
  if (cd == reinterpret_cast<iconv_t>(-1)) return QString::fromLatin1(ABytes);
  QByteArray input = ABytes;
  QByteArray output(ABytes.size() * 4 + 16, '\0');
  char* in = input.data();
  size_t inLeft = static_cast<size_t>(input.size());
  char* out = output.data();
  size_t outLeft = static_cast<size_t>(output.size());
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
      // A byte the code page does not define: keep going with U+FFFD.
      if (outLeft < 3) break;
      ++in;
      --inLeft;
      *out++ = '\xEF';
      *out++ = '\xBF';
      *out++ = '\xBD';
      outLeft -= 3;
    }
  }
  iconv_close(cd);
  output.truncate(output.size() - static_cast<qsizetype>(outLeft));
  return QString::fromUtf8(output);
}

void TSQLiteDatabase::ExecSQLFromStream(QIODevice& AStream) { ExecScriptText(DecodeScript(AStream.readAll())); }

void TSQLiteDatabase::ExecSQLFromFile(const QString& AFileName) {
  QFile file(AFileName);
  if (!file.open(QIODevice::ReadOnly))
    throw EDqException(QStringLiteral("Cannot open file \"%1\". %2").arg(AFileName, file.errorString()));
  ExecSQLFromStream(file);
}

void TSQLiteDatabase::ExecSQLFromResource(const QString& AResName, const QString& AResType) {
  QFile file(QStringLiteral(":/%1/%2").arg(AResType, AResName));
  if (!file.open(QIODevice::ReadOnly))
    throw EDqException(QStringLiteral("Resource %1 of type %2 not found").arg(AResName, AResType));
  ExecSQLFromStream(file);
}

namespace {

// Splits one piece of text at its line breaks (CR LF, LF or CR).
template <class TFeed> void ForEachLine(const QString& AText, TFeed&& AFeed) {
  qsizetype start = 0;
  const qsizetype size = AText.size();
  for (qsizetype i = 0; i < size; ++i) {
    const QChar c = AText.at(i);
    if (c != QLatin1Char('\n') && c != QLatin1Char('\r')) continue;
    AFeed(AText.mid(start, i - start));
    if (c == QLatin1Char('\r') && i + 1 < size && AText.at(i + 1) == QLatin1Char('\n')) ++i;
    start = i + 1;
  }
  AFeed(AText.mid(start));
}

// The script format, line by line: the header, comments, statements that
// span lines, PFIELD and PINSERT; every statement runs as it stands.
class TSQLiteScriptRunner {
public:
  explicit TSQLiteScriptRunner(TSQLiteDatabase& ADatabase) : FDatabase(ADatabase) {}

  void Line(const QString& ALine) {
    const QString line = TrimBlanks(ALine);
    if (FLines++ == 0) {
      if (line != QStringLiteral("// ") + FDatabase.Header()) throw EDqException(QStringLiteral("SQLITE file header error"));
      return;
    }
    if (line.startsWith(QLatin1String("//"))) return;
    if (!FPending.isEmpty()) FPending += QLatin1Char(' ');
    FPending += line;
    if (!FPending.endsWith(QLatin1Char(';'))) return;
    QString statement = FPending.left(FPending.size() - 1);
    FPending.clear();
    Statement(statement);
  }

private:
  void Statement(const QString& AStatement) {
    if (TextStartsWith(AStatement, QStringLiteral("PFIELD "))) {
      FTarget = AStatement.mid(7);
      return;
    }
    if (TextStartsWith(AStatement, QStringLiteral("PINSERT "))) {
      Exec(QStringLiteral("INSERT INTO ") + FTarget + QStringLiteral(" VALUES") + AStatement.mid(8));
      return;
    }
    Exec(AStatement);
  }

  void Exec(const QString& ASQL) {
    try {
      FDatabase.ExecSQL(ASQL);
    } catch (...) {
      // A transaction the script began must not stay open: the rows
      // written after it would be lost with the connection.
      sqlite3* handle = FDatabase.Handle();
      if (!FDatabase.IsTransactionOpen() && handle && !sqlite3_get_autocommit(handle))
        sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  TSQLiteDatabase& FDatabase;
  std::int64_t FLines = 0;
  QString FPending;
  QString FTarget;
};

} // namespace

void TSQLiteDatabase::ExecScriptText(const QString& AText) {
  TSQLiteScriptRunner runner(*this);
  ForEachLine(AText, [&runner](const QString& ALine) { runner.Line(ALine); });
  // Text still pending without its final ";" is not executed.
}

void TSQLiteDatabase::RestoreSQLFromFile(const QString& AFileName, const QStringList& ATables,
                                         const TSQLiteProgress& AProgress) {
  TSQLiteRestoreRules rules;
  for (const QString& table : ATables) rules.Tables.push_back({table, {}, {}});
  RestoreSQLFromFile(AFileName, rules, AProgress);
}

void TSQLiteDatabase::RestoreSQLFromFile(const QString& AFileName, const TSQLiteRestoreRules& ARules,
                                         const TSQLiteProgress& AProgress) {
  ExecSQL(QStringLiteral("BEGIN IMMEDIATE TRANSACTION"));
  FInTrans = true;
  try {
    if (ARules.Before) ARules.Before();
    TSQLiteRestoreReader reader(*this, AFileName, ARules);
    reader.Run(AProgress);
    reader.CheckComplete();
    reader.CheckSchema();
    if (ARules.After) ARules.After();
    if (AProgress && !AProgress(reader.Total(), reader.Total()))
      throw ESQLiteCancelled(QStringLiteral("Restore cancelled; the database was not changed."));
    ExecSQL(QStringLiteral("COMMIT TRANSACTION"));
    FInTrans = false;
  } catch (...) {
    FInTrans = false;
    if (FHandle && !sqlite3_get_autocommit(FHandle)) sqlite3_exec(FHandle, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

// ---------------------------------------------------------------------
// Backup writer

namespace {

// A text value as an SQL literal. Line breaks and other control characters
// cannot stand inside a line of the script, so they are written with char()
// and joined: 'a' || char(13,10) || 'b'.
QString QuoteText(const QString& AText) {
  auto isControl = [](QChar c) { return c.unicode() < 0x20 && c.unicode() != 0x09; };
  QString result;
  QString literal;
  QString codes;
  bool literalOpen = false;
  auto flushLiteral = [&] {
    if (!literalOpen) return;
    if (!result.isEmpty()) result += QStringLiteral(" || ");
    result += QLatin1Char('\'') + literal + QLatin1Char('\'');
    literal.clear();
    literalOpen = false;
  };
  auto flushCodes = [&] {
    if (codes.isEmpty()) return;
    if (!result.isEmpty()) result += QStringLiteral(" || ");
    result += QStringLiteral("char(") + codes + QLatin1Char(')');
    codes.clear();
  };
  for (QChar c : AText) {
    if (isControl(c)) {
      flushLiteral();
      if (!codes.isEmpty()) codes += QLatin1Char(',');
      codes += QString::number(c.unicode());
    } else {
      flushCodes();
      literalOpen = true;
      if (c == QLatin1Char('\'')) literal += QLatin1Char('\'');
      literal += c;
    }
  }
  flushLiteral();
  flushCodes();
  return result.isEmpty() ? QStringLiteral("''") : result;
}

// Appends a number in the backup's general format.
void AppendNumber(QByteArray& ALine, const TVariant& AValue) {
  char buffer[64];
  if (AValue.Kind() == TVarKind::Integer) {
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, AValue.IntValue()).ptr;
    ALine.append(buffer, end - buffer);
    return;
  }
  const double value = AValue.FloatValue();
  // SQLite reads an out-of-range literal as infinity.
  if (std::isinf(value)) {
    ALine += value < 0 ? "-9e999" : "9e999";
    return;
  }
  const double magnitude = std::fabs(value);
  if (value == 0.0) {
    ALine += '0';
  } else if (magnitude >= 1e-5 && magnitude < 1e15) {
    // Plain digits here: the shortest text that reads back exactly is the
    // general format's 15 digits (16 or 17 where 15 are not exact), and it
    // costs a fraction of printing and re-reading.
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed).ptr;
    ALine.append(buffer, end - buffer);
  } else {
    ALine += FloatToStrExact(value).toLatin1();
  }
}

void AppendValueLiteral(QByteArray& ALine, const TSQLiteField& AField) {
  const TVariant& value = AField.Value();
  if (value.IsNull()) {
    ALine += "NULL";
    return;
  }
  switch (AField.ValueType()) {
  case TVarKind::Boolean: ALine += value.BoolValue() ? "-1" : "0"; return;
  case TVarKind::Integer:
  case TVarKind::Float:
  case TVarKind::DateTime:
    if (value.IsNumeric()) {
      AppendNumber(ALine, value);
      return;
    }
    break; // text kept in a number column stays text
  default:
    break;
  }
  if (value.Kind() == TVarKind::Text) {
    ALine += QuoteText(value.TextValue()).toUtf8();
  } else if (value.IsNumeric() && AField.ValueType() == TVarKind::Null) {
    AppendNumber(ALine, value);
  } else {
    ALine += QuoteText(VarAsText(value)).toUtf8();
  }
}

} // namespace

void TSQLiteDatabase::ExportSQL(QIODevice& AStream, const TSQLiteProgress& AProgress) {
  // Lines gather in a buffer: one write per line would cost a system call
  // each on an unbuffered device.
  QByteArray buffer;
  auto flush = [&] {
    if (buffer.isEmpty()) return;
    if (AStream.write(buffer) != buffer.size())
      throw EDqException(QStringLiteral("Failed to write backup: %1").arg(AStream.errorString()));
    buffer.clear();
  };
  auto write = [&](const QString& ALine) {
    buffer += ALine.toUtf8();
    buffer += "\r\n";
    if (buffer.size() >= (1 << 20)) flush();
  };

  // One read transaction: every table as it stood at one instant.
  const bool snapshot = FHandle && sqlite3_get_autocommit(FHandle);
  if (snapshot) ExecSQL(QStringLiteral("BEGIN DEFERRED TRANSACTION"));
  try {
    write(QStringLiteral("// ") + FHeader);
    write(QString());

    std::vector<std::pair<QString, QString>> tables;
    GetTableList(tables);
    std::erase_if(tables, [this](const auto& AEntry) {
      return AEntry.first == QLatin1String("sqlite_sequence") || FDerivedTables.contains(AEntry.first);
    });
    std::int64_t total = 0, done = 0;
    if (AProgress)
      for (const auto& entry : tables) total += GetTableValue(QStringLiteral("SELECT count(*) FROM ") + entry.first);
    auto report = [&] {
      if (AProgress && !AProgress(done, total))
        throw ESQLiteCancelled(QStringLiteral("Backup cancelled; no file was written."));
    };
    report();

    bool first = true;
    for (const auto& entry : tables) {
      const QString& name = entry.first;
      if (!first) write(QString());
      first = false;
      write(QStringLiteral("BEGIN EXCLUSIVE TRANSACTION;"));
      write(QStringLiteral("DELETE FROM ") + name + QLatin1Char(';'));

      TSQLiteTable table(this);
      table.SetSQL(QStringLiteral("SELECT * FROM ") + name);
      table.Open();
      if (!table.Eof()) {
        QStringList columns;
        for (int i = 0; i < table.FieldCount(); ++i) columns << table.GetFields(i)->FieldName();
        write(QStringLiteral("PFIELD \"%1\" (%2);").arg(name, columns.join(QStringLiteral(", "))));
        while (!table.Eof()) {
          buffer += "PINSERT (";
          for (int i = 0; i < table.FieldCount(); ++i) {
            if (i > 0) buffer += ", ";
            AppendValueLiteral(buffer, *table.GetFields(i));
          }
          buffer += ");\r\n";
          if (buffer.size() >= (1 << 20)) flush();
          if ((++done & 0xFFF) == 0) report();
          table.Next();
        }
      }
      write(QStringLiteral("COMMIT TRANSACTION;"));
    }
    flush();
    report();
    if (snapshot) ExecSQL(QStringLiteral("COMMIT TRANSACTION"));
  } catch (...) {
    if (snapshot && FHandle && !sqlite3_get_autocommit(FHandle))
      sqlite3_exec(FHandle, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void TSQLiteDatabase::ExportSQL(const QString& AFileName, const TSQLiteProgress& AProgress) {
  // Written beside the target and renamed on success, so that a backup that
  // fails half-way or is cancelled leaves no file and an existing file of
  // that name untouched. The temporary file is its owner's alone from the
  // start (a backup holds the users' password hashes); a file replaced
  // keeps its rights.
  QTemporaryFile file(AFileName + QStringLiteral(".XXXXXX"));
  if (!file.open())
    throw EDqException(QStringLiteral("Cannot create file \"%1\". %2").arg(AFileName, file.errorString()));
  const QFileInfo existing(AFileName);
  if (existing.exists()) file.setPermissions(existing.permissions());
  ExportSQL(file, AProgress);
  if (!file.flush() || ::fsync(file.handle()) != 0 ||
      ::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(AFileName).constData()) != 0)
    throw EDqException(QStringLiteral("Cannot create file \"%1\". %2").arg(AFileName, QString::fromLocal8Bit(std::strerror(errno))));
  file.setAutoRemove(false);
}

// ======================================================================
// TSQLiteTable

namespace {
std::mutex gBinderMutex;
TSQLiteTable::TControlBinder gControlBinder;

TSQLiteTable::TControlBinder ControlBinder() {
  std::lock_guard<std::mutex> guard(gBinderMutex);
  return gControlBinder;
}
} // namespace

void TSQLiteTable::SetControlBinder(TControlBinder ABinder) {
  std::lock_guard<std::mutex> guard(gBinderMutex);
  gControlBinder = std::move(ABinder);
}

TSQLiteTable::TSQLiteTable(TSQLiteDatabase* ADatabase) : FDatabase(ADatabase) {}

TSQLiteTable::~TSQLiteTable() {
  Close();
  ClearControls();
}

void TSQLiteTable::SetSQL(const QString& AText) {
  FSQL = AText.split(QLatin1Char('\n'));
  for (QString& line : FSQL)
    if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
}

QString TSQLiteTable::SQLText() const {
  QString text;
  for (const QString& line : FSQL) text += line + kCRLF;
  return text;
}

void TSQLiteTable::RaiseError(const QString& AMessage) const {
  if (!FDatabase) throw EDqException(QStringLiteral("Not assigned database."));
  FDatabase->RaiseError(AMessage, SQLText());
}

void TSQLiteTable::Prepare(const char* AMessage) {
  if (!FDatabase) throw EDqException(QStringLiteral("Not assigned database."));
  const QString text = SQLText();
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare16_v2(FDatabase->Handle(), Utf16(text), Utf16Bytes(text), &stmt, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt);
    RaiseError(QString::fromLatin1(AMessage));
  }
  if (!stmt) RaiseError(QStringLiteral("Could not prepare SQL statement"));
  FStmt = stmt;
  if (FOnQuery) FOnQuery(this, text);
  try {
    FParams.Bind(FStmt);
  } catch (...) {
    sqlite3_finalize(FStmt);
    FStmt = nullptr;
    throw;
  }
}

void TSQLiteTable::Open() {
  if (FStmt) Close();
  Prepare("Error executing SQL");
  FFields.Clear();
  const int count = sqlite3_column_count(FStmt);
  for (int i = 0; i < count; ++i) {
    const void* declared = sqlite3_column_decltype16(FStmt, i);
    const QString declaredText = FromUtf16Z(declared);
    std::uint8_t fieldType = sftNull;
    TVarKind valueType = TVarKind::Null;
    FieldTypeFromDeclared(declaredText, declared != nullptr, sqlite3_column_type(FStmt, i), fieldType, valueType);
    TSQLiteField* field = FFields.AddField(FromUtf16Z(sqlite3_column_name16(FStmt, i)), fieldType, valueType,
                                           declared ? declaredText : QString());
    if (!declared) field->FFieldTypeString.clear();
  }
  FRecordCount = -1;
  FRecNo = -1;
  FStmtRow = -1;
  FCache.clear();
  FCacheFirst = 0;
  FEof = false;
  Next();
}

bool TSQLiteTable::Next(bool AResync) {
  if (!FStmt) return false;
  if (FStmtRow != FRecNo) {
    // The statement was reset under the cursor (a count, a grid's paint):
    // carry on from the cache instead of stepping from the first row.
    const int position = FRecNo + 1;
    const TRow* row = CachedRow(position);
    if (!row && (FRecordCount < 0 || position < FRecordCount) && FetchWindow(position)) row = CachedRow(position);
    if (!row) {
      FEof = true;
      return false;
    }
    FRecNo = position;
    FEof = false;
    LoadRow(*row);
    return true;
  }
  // Only the first step may run again: later ones have rows behind them.
  const int rc = FRecNo < 0 ? FDatabase->Step(FStmt) : sqlite3_step(FStmt);
  if (rc == SQLITE_ROW) {
    ++FRecNo;
    FStmtRow = FRecNo;
    FEof = false;
    if (AResync) Resync();
    return true;
  }
  FEof = true;
  FStmtRow = -1;
  sqlite3_reset(FStmt);
  if (rc == SQLITE_BUSY) throw ESQLiteException(QStringLiteral("Could not prepare SQL statement"), rc);
  // An error is not the end of the rows: a damaged file must not look like
  // a shorter result.
  if (rc != SQLITE_DONE) RaiseError(QStringLiteral("Error executing SQL statement"));
  return false;
}

void TSQLiteTable::ReadRow(TRow& ARow) const {
  const int count = FFields.Count();
  ARow.assign(static_cast<std::size_t>(count), TVariant::Null());
  for (int i = 0; i < count; ++i) {
    const TSQLiteField* field = FFields.Items(i);
    TVariant value;
    switch (sqlite3_column_type(FStmt, i)) {
    case SQLITE_INTEGER: value = TVariant(static_cast<long long>(sqlite3_column_int64(FStmt, i))); break;
    case SQLITE_FLOAT: value = TVariant(sqlite3_column_double(FStmt, i)); break;
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const void* text = sqlite3_column_text16(FStmt, i);
      value = TVariant(FromUtf16(text, sqlite3_column_bytes16(FStmt, i)));
      break;
    }
    default: continue;
    }
    if (field->FValueType == TVarKind::DateTime) {
      const double number = value.Kind() == TVarKind::Text ? TextAsNumber(value.TextValue()) : VarAsFloat(value);
      value = TVariant::FromDateTime(number);
    } else if (field->FValueType == TVarKind::Boolean) {
      value = TVariant(VarAsInt(value, 0) != 0);
    }
    ARow[static_cast<std::size_t>(i)] = std::move(value);
  }
}

void TSQLiteTable::LoadRow(const TRow& ARow) {
  const int count = std::min(FFields.Count(), static_cast<int>(ARow.size()));
  for (int i = 0; i < count; ++i) FFields.Items(i)->FValue = ARow[static_cast<std::size_t>(i)];
}

void TSQLiteTable::Resync() {
  TRow row;
  ReadRow(row);
  LoadRow(row);
}

const TSQLiteTable::TRow* TSQLiteTable::CachedRow(int APosition) const {
  const int index = APosition - FCacheFirst;
  if (index < 0 || index >= static_cast<int>(FCache.size())) return nullptr;
  return &FCache[static_cast<std::size_t>(index)];
}

void TSQLiteTable::ResetStatement() {
  sqlite3_reset(FStmt);
  FStmtRow = -1;
}

namespace {
// Rows read at once for a bound grid: a few screens, so that scrolling
// re-reads rarely and a repaint never steps the statement.
constexpr int kCacheWindow = 256;
} // namespace

bool TSQLiteTable::FetchWindow(int APosition) {
  const int first = std::max(0, APosition - kCacheWindow / 4);
  FCache.clear();
  FCacheFirst = first;
  sqlite3_reset(FStmt);
  FStmtRow = -1;
  int row = 0;
  int rc = SQLITE_ROW;
  while (row < first + kCacheWindow && (rc = sqlite3_step(FStmt)) == SQLITE_ROW) {
    if (row >= first) {
      FCache.emplace_back();
      ReadRow(FCache.back());
    }
    ++row;
  }
  ResetStatement();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    FCache.clear();
    RaiseError(QStringLiteral("Error executing SQL statement"));
  }
  if (rc == SQLITE_DONE && FRecordCount < 0) FRecordCount = row;
  return CachedRow(APosition) != nullptr;
}

void TSQLiteTable::Close() {
  if (FStmt) {
    sqlite3_finalize(FStmt);
    FStmt = nullptr;
  }
  FRecordCount = -1;
  FRecNo = -1;
  FStmtRow = -1;
  FCache.clear();
  FCacheFirst = 0;
  FEof = false;
  FParams.Clear();
  FFields.Clear();
  FSQL.clear();
}

void TSQLiteTable::Clear() {
  FSQL.clear();
  FParams.Clear();
}

void TSQLiteTable::ExecSQL() {
  Prepare("Error executing SQL");
  const int rc = FDatabase->Step(FStmt);
  if (rc != SQLITE_DONE) {
    sqlite3_reset(FStmt);
    try {
      RaiseError(QStringLiteral("Error executing SQL statement"));
    } catch (...) {
      sqlite3_finalize(FStmt);
      FStmt = nullptr;
      throw;
    }
  }
  sqlite3_finalize(FStmt);
  FStmt = nullptr;
}

bool TSQLiteTable::EofExec() {
  Open();
  const bool empty = FEof;
  Close();
  Clear();
  return empty;
}

int TSQLiteTable::RecordCount() {
  if (FRecordCount != -1 || !FStmt) return FRecordCount;
  // Counting reads to the end; the first window of rows is kept on the way
  // and the statement is left reset, so the cursor holds no snapshot.
  sqlite3_reset(FStmt);
  FStmtRow = -1;
  FCache.clear();
  FCacheFirst = 0;
  int count = 0;
  int rc;
  while ((rc = sqlite3_step(FStmt)) == SQLITE_ROW) {
    if (count < kCacheWindow) {
      FCache.emplace_back();
      ReadRow(FCache.back());
    }
    ++count;
  }
  ResetStatement();
  if (rc != SQLITE_DONE) {
    FCache.clear();
    FEof = true;
    RaiseError(QStringLiteral("Error executing SQL statement"));
  }
  FRecordCount = count;
  return FRecordCount;
}

bool TSQLiteTable::MoveTo(int APosition) {
  if (APosition < 0 || APosition >= RecordCount()) return false;
  const TRow* row = CachedRow(APosition);
  if (!row) {
    if (!FetchWindow(APosition)) return false;
    row = CachedRow(APosition);
  }
  FRecNo = APosition;
  FEof = false;
  LoadRow(*row);
  return true;
}

TSQLiteField* TSQLiteTable::GetFieldByName(const QString& AFieldName) const {
  TSQLiteField* field = FFields.FindField(AFieldName);
  if (!field) throw EDqException(QStringLiteral("Fieldname not found: ") + AFieldName);
  return field;
}

QString TSQLiteTable::GetFieldValueDef(const QString& AFieldName, const QString& ADefValue) const {
  const TSQLiteField* field = FFields.FindField(AFieldName);
  return field ? VarAsText(field->Value()) : ADefValue;
}

QString TSQLiteTable::CellText(QObject* ASender, int ACol, int ARecord) {
  if (ACol < 0 || ACol >= FColumnDefs.Count()) return QString();
  TSQLiteColumn* column = FColumnDefs.Items(ACol);
  // The handler sees ARecord as the current row; the cursor's own row comes
  // back from a copy, so painting a cell never re-reads from the first row.
  const int savedRecNo = FRecNo;
  const bool savedEof = FEof;
  TRow saved;
  saved.reserve(static_cast<std::size_t>(FFields.Count()));
  for (int i = 0; i < FFields.Count(); ++i) saved.push_back(FFields.Items(i)->Value());
  QString text;
  try {
    if (MoveTo(ARecord)) {
      TVariant value = GetFieldByName(column->FieldName)->Value();
      if (FOnDrawDataCell) FOnDrawDataCell(ASender, column, this, value);
      text = FormatCellText(value, column->DisplayValues);
    }
  } catch (...) {
    FRecNo = savedRecNo;
    FEof = savedEof;
    LoadRow(saved);
    throw;
  }
  FRecNo = savedRecNo;
  FEof = savedEof;
  LoadRow(saved);
  return text;
}

void TSQLiteTable::AddControl(QObject* AControl) {
  if (!AControl) return;
  if (std::find(FDBControls.begin(), FDBControls.end(), AControl) == FDBControls.end()) FDBControls.push_back(AControl);
  if (auto binder = ControlBinder()) binder(this, AControl, true);
}

void TSQLiteTable::DeleteControl(QObject* AControl) {
  auto it = std::find(FDBControls.begin(), FDBControls.end(), AControl);
  if (it == FDBControls.end()) return;
  FDBControls.erase(it);
  if (auto binder = ControlBinder()) binder(this, AControl, false);
}

void TSQLiteTable::DeleteControl(int AIndex) {
  if (AIndex < 0 || AIndex >= static_cast<int>(FDBControls.size())) return;
  DeleteControl(FDBControls[static_cast<std::size_t>(AIndex)]);
}

void TSQLiteTable::ClearControls() {
  while (!FDBControls.empty()) DeleteControl(FDBControls.back());
}
