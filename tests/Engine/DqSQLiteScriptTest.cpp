#include "Engine/DqSQLite.h"
#include "TestSupport.h"

#include <QBuffer>
#include <QFile>

#include <gtest/gtest.h>

#include <cmath>
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
  QByteArray garbage = backup;
  garbage.insert(backup.indexOf("BEGIN EXCLUSIVE TRANSACTION;\r\nDELETE FROM UsageLog;"), "this is no SQL;\r\n");
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
    const char* error;
  } broken[] = {
      {"cut inside the history", backup.left(midData), "is cut off: it ends inside an open transaction"},
      {"cut between tables", backup.left(afterGroup), "is cut off: it lacks the tables DeviceGroupItem, "
                                                      "DeviceGroupMobile, DevicePort, DeviceType, Graph, GraphLine, "
                                                      "UsageLog, UserGroup, Users, ValueType"},
      {"cut inside the last line", backup.left(backup.size() - 5), "is cut off: it ends inside an open transaction"},
      {"garbage line", garbage, "near \"this\": syntax error"},
      {"commit without begin", unbalanced, "no transaction is active"},
      {"attach", attach, "not authorized"},
      {"pragma", pragma, "not authorized"},
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
    if (QByteArray(c.error).contains("cut off")) {
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
