// The administration tool, run as a separate process the way cron runs it.
#include "Engine/DqSQLite.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

namespace {

struct Result {
  int exitCode;
  QString out;
  QString err;
};

class TervoxDbTest : public ::testing::Test {
protected:
  Result Run(const QStringList& AArgs) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TERVOX_DATA_DIR"), dir.Path(QStringLiteral("data")));
    process.setProcessEnvironment(env);
    // Test programs and tools share one output directory.
    process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tervox-db"), AArgs);
    EXPECT_TRUE(process.waitForFinished(60000));
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
  }
  QString Path(const char* AName) { return dir.Path(QString::fromLatin1(AName)); }

  tervox_test::TempDir dir;
};

TEST_F(TervoxDbTest, BackupAndRestoreRoundTrip) {
  ASSERT_EQ(Run({QStringLiteral("create")}).exitCode, 0);
  const QString defaultFile = Path("data/Tervox.db");
  {
    TSQLiteDatabase db(defaultFile);
    db.ExecSQL(QStringLiteral("INSERT INTO Config VALUES ('Note', 'a''b' || char(13,10) || 'ไทย;')")); 
    db.ExecSQL(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, PV) VALUES (4, 45000.1234567890123, 0.1)"));
  }
  const Result backup = Run({QStringLiteral("backup"), Path("out.sql")});
  ASSERT_EQ(backup.exitCode, 0) << backup.err.toStdString();
  EXPECT_TRUE(tervox_test::ReadFileBytes(Path("out.sql")).startsWith("// TERVOX_SQLITE\r\n\r\n"));

  const Result restore = Run({QStringLiteral("--database"), Path("other.db"), QStringLiteral("restore"), Path("out.sql")});
  ASSERT_EQ(restore.exitCode, 0) << restore.err.toStdString();
  TSQLiteDatabase other(Path("other.db"));
  EXPECT_EQ(other.Lookup(QStringLiteral("Config"), QStringLiteral("Name"), "Note", QStringLiteral("Value")),
            TVariant(QStringLiteral("a'b\r\nไทย;")));
  EXPECT_EQ(other.GetTable(QStringLiteral("SELECT ReadTime FROM DeviceData"))->GetFields(0)->Value(),
            TVariant::FromDateTime(45000.1234567890123));
}

TEST_F(TervoxDbTest, ErrorsAreClearAndExitNonZero) {
  tervox_test::WriteFileBytes(Path("garbled.sql"), "-- not a backup\r\nDROP TABLE Users;\r\n");
  const Result garbled = Run({QStringLiteral("--database"), Path("g.db"), QStringLiteral("restore"), Path("garbled.sql")});
  EXPECT_EQ(garbled.exitCode, 1);
  EXPECT_TRUE(garbled.err.contains(QStringLiteral("SQLITE file header error")));
  TSQLiteDatabase kept(Path("g.db"));
  EXPECT_TRUE(kept.TableExists(QStringLiteral("Users")));

  tervox_test::WriteFileBytes(Path("text.db"), QByteArray("plain text\n").repeated(50));
  const Result notDb = Run({QStringLiteral("--database"), Path("text.db"), QStringLiteral("create")});
  EXPECT_EQ(notDb.exitCode, 1);
  EXPECT_TRUE(notDb.err.contains(QStringLiteral("file is not a database"))) << notDb.err.toStdString();

  const Result missing = Run({QStringLiteral("restore"), Path("nothing.sql")});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_TRUE(missing.err.contains(QStringLiteral("nothing.sql")));

  EXPECT_EQ(Run({QStringLiteral("backup")}).exitCode, 2);
  EXPECT_EQ(Run({QStringLiteral("frobnicate")}).exitCode, 2);
  EXPECT_EQ(Run({}).exitCode, 2);
  const Result help = Run({QStringLiteral("--help")});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(help.out.contains(QStringLiteral("backup OUT.sql")));
}

} // namespace
