// The restore reader (backups read back): its encodings, the statement
// forms it accepts and the values it binds, run against a database in
// memory with three tables of the program's shapes. Whatever the input, it
// must refuse or apply it without a crash, and a refused file changes
// nothing.
#include "store/DqSQLite.h"

#include <QFile>
#include <QTemporaryFile>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

TSQLiteDatabase& Database() {
  static TSQLiteDatabase* db = [] {
    auto* result = new TSQLiteDatabase(QStringLiteral(":memory:"));
    result->SetHeader(QStringLiteral("TERVOX_SQLITE"));
    result->ExecSQL(QStringLiteral("CREATE TABLE Config (Name text not null primary key default '', "
                                   "Value text not null default '')"));
    result->ExecSQL(QStringLiteral("CREATE TABLE Users (Username text not null primary key, Password text not null "
                                   "default '', OldPassword text default NULL)"));
    result->ExecSQL(QStringLiteral("CREATE TABLE DeviceData (DeviceID integer not null default 0, ReadTime DateTime "
                                   "default 0.0, PV numeric default NULL, IsEV1 boolean default 0, "
                                   "primary key (DeviceID, ReadTime))"));
    return result;
  }();
  return *db;
}

// Every row of the three tables as text.
QString Rows(TSQLiteDatabase& ADatabase) {
  auto rows = ADatabase.GetTable(QStringLiteral(
      "SELECT (SELECT group_concat(quote(Name) || quote(Value)) FROM Config) || '|' || "
      "(SELECT group_concat(quote(Username) || quote(Password) || quote(OldPassword)) FROM Users) || '|' || "
      "(SELECT group_concat(quote(DeviceID) || quote(ReadTime) || quote(PV) || quote(IsEV1)) FROM DeviceData)"));
  return rows->GetFields(0)->AsString();
}

const QString& FileName() {
  static QTemporaryFile* file = [] {
    auto* result = new QTemporaryFile;
    if (!result->open()) std::abort();
    return result;
  }();
  static const QString name = file->fileName();
  return name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  {
    QFile file(FileName());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
    file.write(reinterpret_cast<const char*>(AData), static_cast<qint64>(ASize));
  }
  TSQLiteRestoreRules rules;
  for (const char* table : {"Config", "Users", "DeviceData"}) rules.Tables.push_back({QString::fromLatin1(table), {}, {}});
  rules.Tables[1].FilteredColumns = {QStringLiteral("Password"), QStringLiteral("OldPassword")};
  rules.Filter = [](const QString& AText) { return QStringLiteral("#") + QString::number(AText.size()); };
  TSQLiteDatabase& db = Database();
  const QString before = Rows(db);
  try {
    db.RestoreSQLFromFile(FileName(), rules);
  } catch (const EDqException&) {
    // Refused: no transaction left open, not a row changed.
    if (db.IsTransactionOpen() || Rows(db) != before) std::abort();
  }
  return 0;
}
