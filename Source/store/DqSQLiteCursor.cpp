#include "DqSQLite.h"

#include "DqSQLiteText.h"

#include <QLocale>

#include <sqlite3.h>

#include <algorithm>
#include <mutex>

using namespace DqSQLiteText;

namespace {

const QString kCRLF = QStringLiteral("\r\n");

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
  ClearPosition();
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

void TSQLiteTable::ClearPosition() {
  FRecordCount = -1;
  FRecNo = -1;
  FStmtRow = -1;
  FCache.clear();
  FCacheFirst = 0;
  FEof = false;
}

void TSQLiteTable::Close() {
  if (FStmt) {
    sqlite3_finalize(FStmt);
    FStmt = nullptr;
  }
  ClearPosition();
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
