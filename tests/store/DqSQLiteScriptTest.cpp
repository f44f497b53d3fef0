#include "store/DqSQLite.h"
#include "TestSupport.h"

#include <QBuffer>
#include <QFile>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cmath>
#include <iterator>
#include <memory>

namespace {

using tervox_test::ReadFileBytes;
using tervox_test::TempDir;
using tervox_test::WriteFileBytes;

// A database with the program's schema and seed rows.
class ScriptTest : public ::testing::Test {
protected:
  void SetUp() override { db = Fresh(QStringLiteral("main.db")); }

  std::unique_ptr<TSQLiteDatabase> Fresh(const QString& AName) {
    auto result = std::make_unique<TSQLiteDatabase>(dir.Path(AName));
    result->SetHeader(QStringLiteral("TERVOX_SQLITE"));
    result->ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
    return result;
  }

  void Run(const QByteArray& AScript) {
    QBuffer buffer;
    buffer.setData(AScript);
    buffer.open(QIODevice::ReadOnly);
    db->ExecSQLFromStream(buffer);
  }

  QString RunError(const QByteArray& AScript) {
    try {
      Run(AScript);
    } catch (const EDqException& e) {
      return e.Message();
    }
    return QStringLiteral("<no error>");
  }

  QByteArray Export(TSQLiteDatabase& ADatabase) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    ADatabase.ExportSQL(buffer);
    return buffer.data();
  }

  // Every row of every table, as typed text, in a stable order.
  QStringList Dump(TSQLiteDatabase& ADatabase) {
    QStringList rows;
    std::vector<std::pair<QString, QString>> tables;
    ADatabase.GetTableList(tables);
    for (const auto& table : tables) {
      if (table.first == QLatin1String("sqlite_sequence")) continue;
      auto cursor = ADatabase.GetTable(QStringLiteral("SELECT * FROM %1 ORDER BY 1, 2").arg(table.first));
      while (!cursor->Eof()) {
        QStringList values;
        for (int i = 0; i < cursor->FieldCount(); ++i) values << VarDebugText(cursor->GetFields(i)->Value());
        rows << table.first + QStringLiteral(": ") + values.join(QStringLiteral(" | "));
        cursor->Next();
      }
    }
    return rows;
  }

  // Every table of the program's schema.
  QStringList TervoxTables() {
    QStringList names;
    std::vector<std::pair<QString, QString>> tables;
    db->GetTableList(tables);
    for (const auto& table : tables)
      if (table.first != QLatin1String("sqlite_sequence")) names << table.first;
    return names;
  }

  int Count(const QString& ATable) {
    return static_cast<int>(db->GetTableValue(QStringLiteral("SELECT count(*) FROM ") + ATable));
  }

  TempDir dir;
  std::unique_ptr<TSQLiteDatabase> db;
};

TEST_F(ScriptTest, CreationScriptBuildsTheSchemaAndSeedRows) {
  std::vector<std::pair<QString, QString>> tables;
  db->GetTableList(tables);
  QStringList names;
  for (const auto& t : tables) names << t.first;
  EXPECT_EQ(names.join(QLatin1Char(',')),
            QStringLiteral("Config,Device,DeviceData,DeviceGroup,DeviceGroupItem,DeviceGroupMobile,DevicePort,"
                           "DeviceType,Graph,GraphLine,UsageLog,UserGroup,Users,ValueType,sqlite_sequence"));
  EXPECT_EQ(tables[0].second, QStringLiteral("CREATE TABLE \"Config\" ( [Name] text not null primary key default '', "
                                             "[Value] text not null default '' )"));
  EXPECT_EQ(tables[6].second.left(26), QStringLiteral("CREATE TABLE DevicePort ( "));

  EXPECT_EQ(Dump(*db), QStringList({
      QStringLiteral("Config: text:'DatabaseVersion' | text:'591021'"),
      QStringLiteral("UserGroup: text:'Administrators' | bool:true | bool:true | bool:true | bool:true | bool:true"),
      QStringLiteral("UserGroup: text:'Engineers' | bool:false | bool:false | bool:false | bool:false | bool:true"),
      QStringLiteral("UserGroup: text:'Users' | bool:false | bool:false | bool:false | bool:false | bool:false"),
      QStringLiteral("Users: text:'admin' | text:'$argon2id$v=19$m=65536,t=2,p=1$Td/OlNnxn2fgorjaS+FgAQ$"
                     "TjSk9FSGUfLwn770YdxOfQO3Yyg7VlSNBeij59HVUH8' | text:'Administrators' | text:'Administrator' | "
                     "text:'' | text:'' | bool:false | text:'' | datetime:42374.1924802662 | int:12 | bool:false"),
      QStringLiteral("ValueType: int:0 | text:'NONE'"), QStringLiteral("ValueType: int:1 | text:'PV'"),
      QStringLiteral("ValueType: int:2 | text:'SV'"), QStringLiteral("ValueType: int:3 | text:'OUT1'"),
      QStringLiteral("ValueType: int:4 | text:'OUT2'"), QStringLiteral("ValueType: int:5 | text:'EV1'"),
      QStringLiteral("ValueType: int:6 | text:'EV2'"), QStringLiteral("ValueType: int:7 | text:'EV3'")}));

  // DeviceData columns in the order the recorder inserts them.
  auto data = db->GetTable(QStringLiteral("SELECT * FROM DeviceData"));
  QStringList columns;
  for (int i = 0; i < data->FieldCount(); ++i) columns << data->GetFields(i)->FieldName();
  EXPECT_EQ(columns.join(QLatin1Char(',')), QStringLiteral("DeviceID,ReadTime,Digit,PV,SV,OUT1,OUT2,EV1,EV2,EV3,IsEV1,IsEV2,IsEV3"));
}

TEST_F(ScriptTest, SeedOnlyBackupBeginsWithTheKnownText) {
  const QByteArray text = Export(*db);
  const QByteArray expected =
      "// TERVOX_SQLITE\r\n"
      "\r\n"
      "BEGIN EXCLUSIVE TRANSACTION;\r\n"
      "DELETE FROM Config;\r\n"
      "PFIELD \"Config\" (Name, Value);\r\n"
      "PINSERT ('DatabaseVersion', '591021');\r\n"
      "COMMIT TRANSACTION;\r\n"
      "\r\n"
      "BEGIN EXCLUSIVE TRANSACTION;\r\n"
      "DELETE FROM Device;\r\n"
      "COMMIT TRANSACTION;\r\n";
  EXPECT_EQ(text.left(expected.size()), expected);
  EXPECT_TRUE(text.contains("PINSERT ('admin', '$argon2id$v=19$m=65536,t=2,p=1$Td/OlNnxn2fgorjaS+FgAQ$"
                            "TjSk9FSGUfLwn770YdxOfQO3Yyg7VlSNBeij59HVUH8', 'Administrators', 'Administrator', '', '', "
                            "0, '', 42374.1924802662, 12, 0);\r\n"));
  EXPECT_TRUE(text.contains("PINSERT ('Administrators', -1, -1, -1, -1, -1);\r\n"));
  EXPECT_TRUE(text.endsWith("PINSERT (7, 'EV3');\r\nCOMMIT TRANSACTION;\r\n"));
  EXPECT_FALSE(text.contains("sqlite_sequence"));
  // Tables come in binary name order.
  QList<qsizetype> positions;
  for (const char* table : {"Config;", "Device;", "DeviceData;", "DeviceGroup;", "DeviceGroupItem;",
                            "DeviceGroupMobile;", "DevicePort;", "DeviceType;", "Graph;", "GraphLine;", "UsageLog;",
                            "UserGroup;", "Users;", "ValueType;"})
    positions << text.indexOf(QByteArray("DELETE FROM ") + table);
  for (qsizetype i = 1; i < positions.size(); ++i) EXPECT_GT(positions[i], positions[i - 1]) << i;
}

TEST_F(ScriptTest, ReaderRules) {
  Run("  // TERVOX_SQLITE  \n"
      "INSERT INTO Config (Name, Value)\r\n"
      "// a comment inside a statement\r"
      "VALUES ('A', 'x;y');\n"
      "pfield \"Config\" (Name, Value);\n"
      "pinsert ('B', '1');\n"
      "PINSERT ('C', '2'); PINSERT ('D', '3');\n"
      "INSERT INTO Config VALUES ('E', '5')");
  EXPECT_EQ(db->Lookup(QStringLiteral("Config"), QStringLiteral("Name"), "A", QStringLiteral("Value")), TVariant("x;y"));
  EXPECT_EQ(db->Lookup(QStringLiteral("Config"), QStringLiteral("Name"), "B", QStringLiteral("Value")), TVariant("1"));
  // Two statements on one line: one text, only the first runs.
  EXPECT_EQ(db->Lookup(QStringLiteral("Config"), QStringLiteral("Name"), "C", QStringLiteral("Value")), TVariant("2"));
  EXPECT_TRUE(db->Lookup(QStringLiteral("Config"), QStringLiteral("Name"), "D", QStringLiteral("Value")).IsNull());
  // No final ";": never executed.
  EXPECT_TRUE(db->Lookup(QStringLiteral("Config"), QStringLiteral("Name"), "E", QStringLiteral("Value")).IsNull());
}

TEST_F(ScriptTest, BadScriptsFailWithoutHalfApplying) {
  const int before = Count(QStringLiteral("Config"));
  for (const QByteArray& header : {QByteArray("//TERVOX_SQLITE\r\nINSERT INTO Config VALUES ('X', '1');\r\n"),
                                   QByteArray("// SQLITE\r\nINSERT INTO Config VALUES ('X', '1');\r\n"),
                                   QByteArray()})
    EXPECT_EQ(RunError(header), QStringLiteral("SQLITE file header error"));
  EXPECT_EQ(Count(QStringLiteral("Config")), before);

  // A failing statement inside the script's transaction rolls the block
  // back and leaves no transaction open.
  const QString error = RunError("// TERVOX_SQLITE\r\n"
                                 "INSERT INTO Config VALUES ('Before', '1');\r\n"
                                 "BEGIN EXCLUSIVE TRANSACTION;\r\n"
                                 "DELETE FROM Config;\r\n"
                                 "INSERT INTO Nowhere VALUES (1);\r\n"
                                 "COMMIT TRANSACTION;\r\n");
  EXPECT_TRUE(error.startsWith(QStringLiteral("Error executing SQL.\rError [1]: SQL error or missing database.\r"
                                              "\"INSERT INTO Nowhere VALUES (1)\r\n\": no such table: Nowhere")))
      << error.toStdString();
  EXPECT_EQ(Count(QStringLiteral("Config")), before + 1);
  db->ExecSQL(QStringLiteral("INSERT INTO Config VALUES ('After', '1')"));
  db->Close();
  db->Open();
  EXPECT_EQ(Count(QStringLiteral("Config")), before + 2);

  EXPECT_TRUE(RunError("// TERVOX_SQLITE\r\nPINSERT (1);\r\n").startsWith(QStringLiteral("Error executing SQL.")));
}

TEST_F(ScriptTest, AwkwardValuesSurviveBackupAndRestore) {
  TSQLiteParamList params;
  const QString awkward[] = {
      QStringLiteral("O'Neil"),
      QStringLiteral("two\r\nlines"),
      QStringLiteral("ends with;\n// looks like a comment\nlast;"),
      QStringLiteral("\n\nleading breaks and trailing\r"),
      QStringLiteral("ภาษาไทย ที่นี่"),
      QStringLiteral("tab\there"),
      QString(),
      QStringLiteral("  padded  "),
      QStringView(u"nul\0inside", 10).toString(),
  };
  int n = 0;
  for (const QString& text : awkward) {
    params.SetParamValues(":LogTime", TVariant::FromDateTime(45000.0 + n / 3.0));
    params.SetParamValues(":Detail", text);
    params.SetParamValues(":PV", n % 2 ? TVariant(1.0 / 3.0 + n) : TVariant::Null());
    db->ExecSQL(QStringLiteral("INSERT INTO UsageLog (LogTime, Detail, PV) VALUES (:LogTime, :Detail, :PV)"), &params);
    ++n;
  }
  db->ExecSQL(QStringLiteral("INSERT INTO DeviceData VALUES (1, 45123.000000123456789, 1, 0.1, 1e-7, 1.5e20, "
                             "123456789012345678, -0.000012345678901234567, NULL, 3, -1, 0, 5)"));
  db->ExecSQL(QStringLiteral("INSERT INTO Device (Name, Accessed, Enabled) VALUES ('dev', -1, 0)"));
  db->ExecSQL(QStringLiteral("INSERT INTO Device (Name, Accessed, Enabled) VALUES ('dev2', 0, -1)"));
  db->ExecSQL(QStringLiteral("DELETE FROM Device WHERE Name = 'dev'"));

  const QString backup = dir.Path(QStringLiteral("backup.sql"));
  db->ExportSQL(backup);
  const QByteArray text = ReadFileBytes(backup);
  EXPECT_FALSE(text.startsWith("\xEF\xBB\xBF")); // UTF-8 without BOM
  EXPECT_TRUE(text.contains("'O''Neil'"));
  EXPECT_TRUE(text.contains("'two' || char(13,10) || 'lines'"));
  EXPECT_TRUE(text.contains(QStringLiteral("'ภาษาไทย ที่นี่'").toUtf8()));
  // Every line of the file is one statement piece; no raw breaks inside.
  for (const QByteArray& line : text.split('\n')) EXPECT_TRUE(line.isEmpty() || line.endsWith('\r')) << line.data();

  auto restored = Fresh(QStringLiteral("restored.db"));
  restored->ExecSQLFromFile(backup);
  EXPECT_EQ(Dump(*restored), Dump(*db));
  // The restore binds the values it reads instead of compiling them: the
  // same rows.
  auto bound = Fresh(QStringLiteral("bound.db"));
  bound->RestoreSQLFromFile(backup, TervoxTables());
  EXPECT_EQ(Dump(*bound), Dump(*db));
  // The autoincrement counter follows the restored IDs.
  restored->ExecSQL(QStringLiteral("INSERT INTO Device (Name) VALUES ('next')"));
  EXPECT_EQ(restored->GetTableValue(QStringLiteral("SELECT max(ID) FROM Device")), 3);
}

TEST_F(ScriptTest, EncodingsOfScriptFiles) {
  const QString thai = QStringLiteral("อุณหภูมิ");
  const QByteArray body = "// TERVOX_SQLITE\r\nPFIELD \"Config\" (Name, Value);\r\nPINSERT ('T', '";
  const QByteArray tail = "');\r\n";
  // cp874 bytes of the same word, as in backups in the Thai code page.
  const QByteArray cp874("\xCD\xD8\xB3\xCB\xC0\xD9\xC1\xD4");
  ASSERT_EQ(DecodeLegacyCodePage(cp874), thai);

  const struct {
    const char* name;
    QByteArray bytes;
  } cases[] = {
      {"utf8", body + thai.toUtf8() + tail},
      {"utf8 bom", QByteArray("\xEF\xBB\xBF") + body + thai.toUtf8() + tail},
      {"cp874", body + cp874 + tail},
      {"utf16le bom", QByteArray("\xFF\xFE") +
                          QByteArray(reinterpret_cast<const char*>(QString::fromUtf8(body + thai.toUtf8() + tail).utf16()),
                                     (body.size() + thai.size() + tail.size()) * 2)},
  };
  for (const auto& c : cases) {
    db->ExecSQL(QStringLiteral("DELETE FROM Config WHERE Name = 'T'"));
    Run(c.bytes);
    EXPECT_EQ(db->Lookup(QStringLiteral("Config"), QStringLiteral("Name"), "T", QStringLiteral("Value")), TVariant(thai))
        << c.name;
  }
}

TEST_F(ScriptTest, FailedBackupKeepsTheOldFile) {
  const QString backup = dir.Path(QStringLiteral("keep.sql"));
  WriteFileBytes(backup, "an older backup");
  db->Close(); // reading the tables now fails half-way through the backup
  EXPECT_THROW(db->ExportSQL(backup), EDqException);
  EXPECT_EQ(ReadFileBytes(backup), QByteArray("an older backup"));
  EXPECT_THROW(db->ExecSQLFromFile(dir.Path(QStringLiteral("missing.sql"))), EDqException);
}

// A restore applies the whole file or nothing: the target keeps every row
// when the backup is cut off, damaged or the user cancels.
TEST_F(ScriptTest, RestoreIsAllOrNothing) {
  db->ExecSQL(QStringLiteral("INSERT INTO Device (Name) VALUES ('from backup')"));
  db->ExecSQL(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 4999) "
                           "INSERT INTO DeviceData (DeviceID, ReadTime, PV) SELECT 1, 45000 + i, 20.5 FROM n"));
  db->ExecSQL(QStringLiteral("INSERT INTO UsageLog (LogTime, Detail) VALUES (45000.5, 'from backup')"));
  const QByteArray backup = Export(*db);
  QStringList required;
  std::vector<std::pair<QString, QString>> tables;
  db->GetTableList(tables);
  for (const auto& table : tables)
    if (table.first != QLatin1String("sqlite_sequence")) required << table.first;
  ASSERT_EQ(required.size(), 14);

  const qsizetype midData = backup.indexOf("PINSERT (1, 45100") + 10;
  const qsizetype afterGroup = backup.indexOf("COMMIT TRANSACTION;\r\n", backup.indexOf("DELETE FROM DeviceGroup;")) + 21;
  const qsizetype beforeLog = backup.indexOf("BEGIN EXCLUSIVE TRANSACTION;\r\nDELETE FROM UsageLog;");
  // The line a statement put there stands on.
  const QByteArray logLine = "refused at line " + QByteArray::number(backup.left(beforeLog).count('\n') + 1) +
                             ": this is not a statement of a backup";
  QByteArray garbage = backup;
  garbage.insert(beforeLog, "this is no SQL;\r\n");
  // Reaching beyond the database: a file written elsewhere, the schema unlocked.
  const QString elsewhere = dir.Path(QStringLiteral("elsewhere.db"));
  QByteArray attach = backup;
  attach.insert(backup.indexOf("BEGIN EXCLUSIVE TRANSACTION;\r\nDELETE FROM UsageLog;"),
                "ATTACH '" + elsewhere.toUtf8() + "' AS x;\r\nCREATE TABLE x.t (a);\r\n");
  QByteArray pragma = backup;
  pragma.insert(backup.indexOf("BEGIN EXCLUSIVE TRANSACTION;\r\nDELETE FROM UsageLog;"), "PRAGMA writable_schema = 1;\r\n");
  QByteArray unbalanced = backup;
  unbalanced.replace("BEGIN EXCLUSIVE TRANSACTION;\r\nDELETE FROM ValueType;", "DELETE FROM ValueType;");
  const struct {
    const char* name;
    QByteArray bytes;
    QByteArray error;
  } broken[] = {
      {"cut inside the history", backup.left(midData), "is cut off: it ends inside an open transaction"},
      {"cut between tables", backup.left(afterGroup), "is cut off: it lacks the tables DeviceGroupItem, "
                                                      "DeviceGroupMobile, DevicePort, DeviceType, Graph, GraphLine, "
                                                      "UsageLog, UserGroup, Users, ValueType"},
      {"cut inside the last line", backup.left(backup.size() - 5), "is cut off: it ends inside an open transaction"},
      {"garbage line", garbage, logLine},
      {"commit without begin", unbalanced, "no transaction is active"},
      {"attach", attach, logLine},
      {"pragma", pragma, logLine},
      {"empty file", QByteArray(), "SQLITE file header error"},
  };
  auto target = Fresh(QStringLiteral("target.db"));
  target->ExecSQL(QStringLiteral("INSERT INTO Device (Name) VALUES ('kept')"));
  target->ExecSQL(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, PV) VALUES (7, 46000, 1)"));
  const QStringList before = Dump(*target);
  const QString file = dir.Path(QStringLiteral("restore.sql"));
  for (const auto& c : broken) {
    WriteFileBytes(file, c.bytes);
    QString error = QStringLiteral("<no error>");
    try {
      target->RestoreSQLFromFile(file, required);
    } catch (const EDqException& e) {
      error = e.Message();
    }
    EXPECT_TRUE(error.contains(QString::fromLatin1(c.error))) << c.name << ": " << error.toStdString();
    if (c.error.contains("cut off")) {
      EXPECT_TRUE(error.contains(file)) << c.name;
    }
    EXPECT_FALSE(target->IsTransactionOpen()) << c.name;
    EXPECT_EQ(Dump(*target), before) << c.name;
  }

  EXPECT_FALSE(QFile::exists(elsewhere));

  // Cancelled half-way: nothing changes either.
  WriteFileBytes(file, backup);
  std::int64_t calls = 0;
  EXPECT_THROW(target->RestoreSQLFromFile(file, required, [&](std::int64_t, std::int64_t) { return ++calls < 2; }),
               ESQLiteCancelled);
  EXPECT_EQ(Dump(*target), before);

  // Complete: applied, with progress up to the end.
  std::int64_t lastDone = 0, lastTotal = -1;
  target->RestoreSQLFromFile(file, required, [&](std::int64_t ADone, std::int64_t ATotal) {
    lastDone = ADone;
    lastTotal = ATotal;
    return true;
  });
  EXPECT_EQ(Dump(*target), Dump(*db));
  EXPECT_EQ(lastDone, lastTotal);
  EXPECT_GT(lastTotal, 5000);
  target->ExecSQL(QStringLiteral("INSERT INTO Config VALUES ('after', '1')")); // no transaction left open
}

// A restore binds the values it reads instead of compiling them: each
// value a backup may hold comes back with the type and bits SQLite gives
// the same literal, in a number column and in a text column.
TEST_F(ScriptTest, RestoreReadsValuesAsSQLiteDoes) {
  const char* literals[] = {
      "0", "-0", "12", "-12", "+5", "9223372036854775807", "-9223372036854775808", "9223372036854775808",
      "99999999999999999999", "0.1", "-0.000012345678901234567", "1E-6", "1.5E20", "1e308", "9e999", "-9e999",
      "1e-400", ".5", "5.", "45123.000000123456789", "'12'", "'1.50'", "' 7 '", "'O''Neil'", "''",
      "'a' || char(13,10) || 'b'", "char(9)", "'x' || char(0) || 'y'", "NULL", "'ไทย;'",
  };
  QByteArray script = "// TERVOX_SQLITE\r\nBEGIN EXCLUSIVE TRANSACTION;\r\nDELETE FROM UsageLog;\r\n"
                      "PFIELD \"UsageLog\" (LogTime, Detail, PV, DeviceName);\r\n";
  int n = 0;
  for (const char* literal : literals)
    script += "PINSERT (" + QByteArray::number(++n) + ", 'v', " + literal + ", " + literal + ");\r\n";
  script += "COMMIT TRANSACTION;\r\n";
  const QString file = dir.Path(QStringLiteral("values.sql"));
  WriteFileBytes(file, script);
  auto compiled = Fresh(QStringLiteral("compiled.db"));
  compiled->ExecSQLFromFile(file);
  auto bound = Fresh(QStringLiteral("bound.db"));
  bound->RestoreSQLFromFile(file, {QStringLiteral("UsageLog")});
  auto rows = [](TSQLiteDatabase& ADatabase) {
    QStringList result;
    auto table = ADatabase.GetTable(
        QStringLiteral("SELECT LogTime, typeof(PV), PV, typeof(DeviceName), DeviceName FROM UsageLog ORDER BY LogTime"));
    for (; !table->Eof(); table->Next()) {
      QString row = table->GetFields(0)->AsString();
      for (int i : {1, 3}) {
        const QString type = table->GetFields(i)->AsString();
        const TVariant value = table->GetFields(i + 1)->Value();
        row += QLatin1Char(' ') + type + QLatin1Char(':') +
               (type == QLatin1String("real") ? QString::number(value.FloatValue(), 'g', 17) : VarAsText(value));
      }
      result << row;
    }
    return result;
  };
  const QStringList expected = rows(*compiled);
  ASSERT_EQ(expected.size(), static_cast<int>(std::size(literals)));
  EXPECT_EQ(rows(*bound), expected);
}

// A restore accepts only what a backup holds. Each statement below, put
// into a good backup, refuses the whole file, naming its line, and the
// database keeps every row.
TEST_F(ScriptTest, RestoreRefusesWhatNoBackupHolds) {
  db->ExecSQL(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, PV) VALUES (1, 45000, 20.5)"));
  const QByteArray backup = Export(*db);
  const qsizetype at = backup.indexOf("BEGIN EXCLUSIVE TRANSACTION;\r\nDELETE FROM DevicePort;");
  const QByteArray line = QByteArray::number(backup.left(at).count('\n') + 1);
  const struct {
    const char* statement;
    const char* reason;
  } cases[] = {
      {"CREATE TRIGGER t AFTER INSERT ON DeviceData BEGIN DELETE FROM DeviceData; END;", "not a statement of a backup"},
      {"DROP TABLE DeviceData;", "not a statement of a backup"},
      {"ALTER TABLE Users ADD COLUMN Note;", "not a statement of a backup"},
      {"UPDATE Users SET GroupName = 'Administrators';", "not a statement of a backup"},
      {"CREATE VIEW v AS SELECT * FROM Users;", "not a statement of a backup"},
      {"CREATE TABLE Extra (a);", "not a statement of a backup"},
      {"ATTACH 'x.db' AS x;", "not a statement of a backup"},
      {"PRAGMA writable_schema = 1;", "not a statement of a backup"},
      {"VACUUM;", "not a statement of a backup"},
      {"SAVEPOINT s;", "not a statement of a backup"},
      {"REPLACE INTO Config VALUES ('a', 'b');", "not a statement of a backup"},
      {"INSERT OR REPLACE INTO Config VALUES ('a', 'b');", "not a statement of a backup"},
      {"INSERT INTO Secrets VALUES (1);", "Secrets is not a table of TERVOX"},
      {"INSERT INTO main.Config VALUES ('a', 'b');", "main is not a table of TERVOX"},
      {"INSERT INTO sqlite_master VALUES ('table', 'x', 'x', 0, '');", "sqlite_master is not a table of TERVOX"},
      {"INSERT INTO Config SELECT Username, Password FROM Users;", "only INSERT ... VALUES is accepted"},
      {"INSERT INTO Config VALUES ((SELECT Password FROM Users), 'b');", "the values are not plain values"},
      {"INSERT INTO Config VALUES ('a', 'b') RETURNING *;", "only values may follow VALUES"},
      {"INSERT INTO Config VALUES (lower('A'), 'b');", "the values are not plain values"},
      {"INSERT INTO Config VALUES ('a', 1 + 1);", "the values are not plain values"},
      {"INSERT INTO Config VALUES ('a');", "1 values for 2 columns"},
      {"PFIELD \"Users\" (Username, Secret);", "Secret is not a column of Users"},
      {"PFIELD \"Config\" (Name, Name);", "the column Name is named twice"},
      {"DELETE FROM Users WHERE Username <> 'admin';", "DELETE FROM empties a whole table"},
      {"DELETE FROM Config; DROP TABLE Users;", "DELETE FROM empties a whole table"},
      {"BEGIN; DROP TABLE Users;", "not a statement of a backup"},
  };
  const QStringList before = Dump(*db);
  const QString file = dir.Path(QStringLiteral("crafted.sql"));
  for (const auto& c : cases) {
    QByteArray crafted = backup;
    crafted.insert(at, QByteArray(c.statement) + "\r\n");
    WriteFileBytes(file, crafted);
    QString error = QStringLiteral("<no error>");
    try {
      db->RestoreSQLFromFile(file, TervoxTables());
    } catch (const EDqException& e) {
      error = e.Message();
    }
    EXPECT_TRUE(error.contains(QStringLiteral("refused at line ") + QString::fromLatin1(line) + QLatin1Char(':')))
        << c.statement << ": " << error.toStdString();
    EXPECT_TRUE(error.contains(QString::fromUtf8(c.reason))) << c.statement << ": " << error.toStdString();
    EXPECT_EQ(Dump(*db), before) << c.statement;
    EXPECT_FALSE(db->IsTransactionOpen()) << c.statement;
  }
  EXPECT_EQ(db->GetTableValue(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type IN ('trigger', 'view')")), 0);
  EXPECT_EQ(db->GetTableValue(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table'")), 15);
  // The good backup itself still restores.
  WriteFileBytes(file, backup);
  db->RestoreSQLFromFile(file, TervoxTables());
  EXPECT_EQ(Dump(*db), before);
}

// After the script the tables must still be the program's: a database whose
// history table was replaced, or which holds a trigger, keeps nothing of the
// restore, even of a good backup.
TEST_F(ScriptTest, RestoreChecksTheSchemaItLeaves) {
  TSQLiteRestoreRules rules;
  for (const QString& table : TervoxTables()) {
    TSQLiteRestoreTable entry{table, {}, {}};
    auto columns = db->GetTable(QStringLiteral("SELECT name FROM pragma_table_info('%1')").arg(table));
    for (; !columns->Eof(); columns->Next()) entry.Columns << columns->GetFields(0)->AsString();
    rules.Tables.push_back(entry);
  }
  const QString file = dir.Path(QStringLiteral("good.sql"));
  db->ExportSQL(file);
  const struct {
    const char* name;
    const char* change;
    const char* error;
  } cases[] = {
      {"history replaced", "DROP TABLE DeviceData; CREATE TABLE DeviceData (a, b);",
       "the table DeviceData has the columns (a, b) instead of TERVOX's (DeviceID, ReadTime"},
      {"a trigger", "CREATE TRIGGER wipe AFTER INSERT ON Config BEGIN DELETE FROM Config; END;",
       "holds the trigger wipe"},
  };
  for (const auto& c : cases) {
    auto target = Fresh(QStringLiteral("%1.db").arg(QString::fromLatin1(c.name)));
    ASSERT_EQ(sqlite3_exec(target->Handle(), c.change, nullptr, nullptr, nullptr), SQLITE_OK) << c.name;
    target->ExecSQL(QStringLiteral("INSERT INTO Device (Name) VALUES ('kept')"));
    const QStringList before = Dump(*target);
    QString error = QStringLiteral("<no error>");
    try {
      target->RestoreSQLFromFile(file, rules);
    } catch (const EDqException& e) {
      error = e.Message();
    }
    EXPECT_TRUE(error.contains(QString::fromLatin1(c.error))) << c.name << ": " << error.toStdString();
    EXPECT_EQ(Dump(*target), before) << c.name;
  }
}

// Text read for a filtered column is stored as the filter makes it, never
// as read; NULL stays NULL, and a number there is refused.
TEST_F(ScriptTest, RestoreStoresFilteredColumnsAsTheFilterMakesThem) {
  const QString file = dir.Path(QStringLiteral("b.sql"));
  auto script = [&](const QByteArray& ARows) {
    WriteFileBytes(file, "// TERVOX_SQLITE\r\nBEGIN;\r\nDELETE FROM Users;\r\n"
                         "PFIELD \"Users\" (Username, Password, OldPassword);\r\n" + ARows + "COMMIT;\r\n");
  };
  TSQLiteRestoreRules rules;
  rules.Tables.push_back({QStringLiteral("Users"), {}, {QStringLiteral("password"), QStringLiteral("OldPassword")}});
  QStringList seen;
  rules.Filter = [&seen](const QString& AText) {
    seen << AText;
    return QStringLiteral("<%1>").arg(AText.size());
  };
  script("PINSERT ('u1', 'pa''ss', NULL);\r\nPINSERT ('u2', 'a' || char(13,10) || 'b', 'old');\r\n");
  db->RestoreSQLFromFile(file, rules);
  EXPECT_EQ(seen, (QStringList{QStringLiteral("pa'ss"), QStringLiteral("a\r\nb"), QStringLiteral("old")}));
  EXPECT_EQ(db->Lookup(QStringLiteral("Users"), QStringLiteral("Username"), "u1", QStringLiteral("Password")), TVariant("<5>"));
  EXPECT_TRUE(db->Lookup(QStringLiteral("Users"), QStringLiteral("Username"), "u1", QStringLiteral("OldPassword")).IsNull());
  EXPECT_EQ(db->Lookup(QStringLiteral("Users"), QStringLiteral("Username"), "u2", QStringLiteral("Password")), TVariant("<4>"));
  EXPECT_EQ(db->Lookup(QStringLiteral("Users"), QStringLiteral("Username"), "u2", QStringLiteral("OldPassword")), TVariant("<3>"));

  script("PINSERT ('u3', 1234, NULL);\r\n");
  const QStringList before = Dump(*db);
  try {
    db->RestoreSQLFromFile(file, rules);
    ADD_FAILURE() << "a number in a filtered column";
  } catch (const EDqException& e) {
    EXPECT_TRUE(e.Message().contains(QStringLiteral("Users.Password holds text only"))) << e.Message().toStdString();
  }
  EXPECT_EQ(Dump(*db), before);
}

// The streaming reader of a restore reads every encoding and line break the
// whole-text reader does.
TEST_F(ScriptTest, RestoreReadsEveryEncoding) {
  const QString thai = QStringLiteral("อุณหภูมิ");
  const QByteArray cp874("\xCD\xD8\xB3\xCB\xC0\xD9\xC1\xD4");
  auto script = [](const QByteArray& AValue, const char* ABreak) {
    return QByteArray("// TERVOX_SQLITE") + ABreak + "BEGIN EXCLUSIVE TRANSACTION;" + ABreak + "DELETE FROM Config;" +
           ABreak + "PFIELD \"Config\" (Name, Value);" + ABreak + "// a comment" + ABreak + "PINSERT ('T'," + ABreak +
           "'" + AValue + "');" + ABreak + "COMMIT TRANSACTION;" + ABreak;
  };
  const QString utf16 = QString::fromUtf8(script(thai.toUtf8(), "\r\n"));
  const struct {
    const char* name;
    QByteArray bytes;
  } cases[] = {
      {"utf8 crlf", script(thai.toUtf8(), "\r\n")},
      {"utf8 bom lf", QByteArray("\xEF\xBB\xBF") + script(thai.toUtf8(), "\n")},
      {"cp874 cr", script(cp874, "\r")},
      {"utf16le bom", QByteArray("\xFF\xFE") + QByteArray(reinterpret_cast<const char*>(utf16.utf16()), utf16.size() * 2)},
  };
  const QString file = dir.Path(QStringLiteral("enc.sql"));
  for (const auto& c : cases) {
    db->ExecSQL(QStringLiteral("DELETE FROM Config"));
    WriteFileBytes(file, c.bytes);
    db->RestoreSQLFromFile(file, {QStringLiteral("Config")});
    EXPECT_EQ(db->Lookup(QStringLiteral("Config"), QStringLiteral("Name"), "T", QStringLiteral("Value")), TVariant(thai))
        << c.name;
  }
}

} // namespace
