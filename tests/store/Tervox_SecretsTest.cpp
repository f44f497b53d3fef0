// The secrets file beside the database: its owner's alone whatever the
// umask, secrets left in Config by an older build moved out at open (the
// file's own value winning), and a write that fails loses nothing.
#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "store/Main_Database.h"
#include "store/Tervox_Secrets.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

class SecretsTest : public ::testing::Test {
protected:
  void TearDown() override {
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
  QString DatabaseFile() const { return dir.Path(QStringLiteral("Tervox.db")); }
  QString SecretsFile() const { return dir.Path(QStringLiteral("Tervox.db.secrets")); }
  // A database as an older build left it: the password in Config.
  void MakeOlderDatabase(const QString& APassword) const {
    TSQLiteDatabase older(DatabaseFile());
    older.SetHeader(QStringLiteral("TERVOX_SQLITE"));
    older.ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
    older.ExecSQL(QStringLiteral("INSERT INTO Config (Name, Value) VALUES ('MQTTPassword', '%1'), ('MQTTUser', 'station')")
                      .arg(APassword));
  }
  static QStringList ConfigNames(TSQLiteDatabase& ADatabase) {
    QStringList names;
    for (auto table = ADatabase.GetTable(QStringLiteral("SELECT Name FROM Config ORDER BY Name")); !table->Eof(); table->Next())
      names << table->GetFields(0)->AsString();
    return names;
  }
  tervox_test::TempDir dir;
};

TEST_F(SecretsTest, TheFileIsItsOwnersAloneWhateverTheUmask) {
  EXPECT_EQ(TervoxSecrets::FileName(DatabaseFile()), SecretsFile());
  EXPECT_TRUE(TervoxSecrets::Read(DatabaseFile(), QStringLiteral("MQTTPassword")).isEmpty()) << "no file yet";
  for (const mode_t mask : {mode_t(000), mode_t(022), mode_t(077)}) {
    SCOPED_TRACE(mask);
    QFile::remove(SecretsFile());
    const mode_t saved = ::umask(mask);
    TervoxSecrets::Write(DatabaseFile(), QStringLiteral("MQTTPassword"), QStringLiteral("pass \"1\"\n"));
    EXPECT_EQ(tervox_test::FileMode(SecretsFile()), 0600);
    TervoxSecrets::Write(DatabaseFile(), QStringLiteral("MailPassword"), QStringLiteral("m"));
    EXPECT_EQ(tervox_test::FileMode(SecretsFile()), 0600) << "replaced, still private";
    ::umask(saved);
    EXPECT_EQ(TervoxSecrets::Read(DatabaseFile(), QStringLiteral("MQTTPassword")), QStringLiteral("pass \"1\"\n"));
    TervoxSecrets::Remove(DatabaseFile(), QStringLiteral("MQTTPassword"));
    EXPECT_TRUE(TervoxSecrets::Read(DatabaseFile(), QStringLiteral("MQTTPassword")).isEmpty());
    EXPECT_EQ(TervoxSecrets::Read(DatabaseFile(), QStringLiteral("MailPassword")), QStringLiteral("m"));
    // No temporary file stays behind.
    EXPECT_EQ(QDir(dir.Root()).entryList(QDir::Files), QStringList{QStringLiteral("Tervox.db.secrets")});
  }
}

// Opening a database of an older build moves its password out of Config;
// a password already in the file (saved by this build) wins.
TEST_F(SecretsTest, AnOlderDatabaseOpensWithItsPasswordMoved) {
  const struct {
    const char* InFile; // nullptr: no file
    const char* Kept;
  } cases[] = {{nullptr, "from-config"}, {"from-file", "from-file"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Kept);
    QFile::remove(DatabaseFile());
    QFile::remove(SecretsFile());
    MakeOlderDatabase(QStringLiteral("from-config"));
    if (c.InFile) TervoxSecrets::Write(DatabaseFile(), QStringLiteral("MQTTPassword"), QString::fromLatin1(c.InFile));
    {
      auto database = OpenTervoxDatabase(DatabaseFile());
      EXPECT_FALSE(ConfigNames(*database).contains(QStringLiteral("MQTTPassword")));
      EXPECT_TRUE(ConfigNames(*database).contains(QStringLiteral("MQTTUser"))) << "only secrets move";
    }
    EXPECT_EQ(TervoxSecrets::Read(DatabaseFile(), QStringLiteral("MQTTPassword")), QString::fromLatin1(c.Kept));
    EXPECT_EQ(tervox_test::FileMode(SecretsFile()), 0600);
    EXPECT_FALSE(tervox_test::ReadFileBytes(DatabaseFile()).contains("from-config"));
  }
}

// A folder the secrets file cannot be written in: Write raises naming the
// file, the file keeps its value; a move at open leaves the password in
// Config, and the database opens all the same.
TEST_F(SecretsTest, AFailedWriteRaisesAndLosesNothing) {
  MakeOlderDatabase(QStringLiteral("in-config"));
  TervoxSecrets::Write(DatabaseFile(), QStringLiteral("MailPassword"), QStringLiteral("kept"));
  auto database = OpenTervoxDatabase(DatabaseFile());
  // Out of the file and back into Config, as a restore of an older
  // backup would leave it.
  TervoxSecrets::Remove(DatabaseFile(), QStringLiteral("MQTTPassword"));
  database->ExecSQL(QStringLiteral("INSERT INTO Config (Name, Value) VALUES ('MQTTPassword', 'in-config')"));
  const QByteArray before = tervox_test::ReadFileBytes(SecretsFile());
  // The folder readable by all, writable by nobody but its owner (root,
  // whom the test then leaves).
  ::chmod(QFile::encodeName(SecretsFile()).constData(), 0644);
  ::chmod(QFile::encodeName(dir.Root()).constData(), 0555);
  QString error;
  QStringList moved{QStringLiteral("<not run>")};
  {
    const tervox_test::Unprivileged asUser;
    try {
      TervoxSecrets::Write(DatabaseFile(), QStringLiteral("MailPassword"), QStringLiteral("lost?"));
    } catch (const EDqException& e) {
      error = e.Message();
    }
    try {
      moved = TervoxSecrets::MoveFromConfig(*database);
    } catch (const EDqException& e) {
      moved = QStringList{e.Message()};
    }
  }
  ::chmod(QFile::encodeName(dir.Root()).constData(), 0700);
  EXPECT_TRUE(error.startsWith(QStringLiteral("Cannot store the secrets file \"%1\": ").arg(SecretsFile())))
      << error.toStdString();
  EXPECT_TRUE(error.endsWith(QStringLiteral(". Nothing was changed."))) << error.toStdString();
  ASSERT_EQ(moved.size(), 1);
  EXPECT_TRUE(moved.first().startsWith(QStringLiteral("Cannot store the secrets file"))) << moved.first().toStdString();
  EXPECT_EQ(tervox_test::ReadFileBytes(SecretsFile()), before);
  EXPECT_EQ(TervoxSecrets::Read(DatabaseFile(), QStringLiteral("MailPassword")), QStringLiteral("kept"));
  EXPECT_TRUE(ConfigNames(*database).contains(QStringLiteral("MQTTPassword")));
  EXPECT_EQ(QDir(dir.Root()).entryList({QStringLiteral("*.secrets*")}, QDir::Files),
            QStringList{QStringLiteral("Tervox.db.secrets")});
  // Writable again: the next open moves it.
  database.reset();
  database = OpenTervoxDatabase(DatabaseFile());
  EXPECT_FALSE(ConfigNames(*database).contains(QStringLiteral("MQTTPassword")));
  EXPECT_EQ(TervoxSecrets::Read(DatabaseFile(), QStringLiteral("MQTTPassword")), QStringLiteral("in-config"));
}

TEST_F(SecretsTest, ADamagedFileIsAClearErrorAndStaysAsItWas) {
  tervox_test::WriteFileBytes(SecretsFile(), "MQTTPassword=old style\n");
  for (const bool writing : {false, true}) {
    try {
      if (writing) TervoxSecrets::Write(DatabaseFile(), QStringLiteral("MQTTPassword"), QStringLiteral("x"));
      else TervoxSecrets::Read(DatabaseFile(), QStringLiteral("MQTTPassword"));
      ADD_FAILURE() << "no error";
    } catch (const EDqException& e) {
      EXPECT_TRUE(e.Message().startsWith(QStringLiteral("The secrets file \"%1\" is damaged").arg(SecretsFile())))
          << e.Message().toStdString();
    }
  }
  EXPECT_EQ(tervox_test::ReadFileBytes(SecretsFile()), QByteArray("MQTTPassword=old style\n"));
}

} // namespace
