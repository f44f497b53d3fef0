// The history's chain on a recorded database: what the recording process's
// keeper chains and seals, and tervox-db verify (the real program) on
// copies of the file tampered with as someone holding the file would.
#include "trust/Tervox_Chain.h"

#include "ChainTestSupport.h"
#include "TestSupport.h"
#include "core/DqRoutine.h"
#include "store/DqHistoryChain.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "trust/Tervox_Audit.h"
#include "trust/Tervox_StationKey.h"
#include "trust/Tervox_Verify.h"

#include <QFile>

#include <sodium.h>

#include <functional>

#include <gtest/gtest.h>

namespace {

using tervox_test::RunTervoxDb;

// A function: the clock's day zero is not there before main.
double StartTime() { return EncodeDateTime(2026, 12, 11, 8, 0); }

class ChainTest : public ::testing::Test {
protected:
  void SetUp() override {
    file = dir.Path(QStringLiteral("Tervox.db"));
    SetDatabaseFileName(file);
    GetDatabase();
    FreeDatabase();
    tervox_test::AddControllers(file, {{1, QStringLiteral("Kiln")}, {2, QStringLiteral("Dryer")}});
    // Entries the seals cover.
    for (const char* action : {"setting written", "user added", "setting written"})
      TervoxAudit::Append({QStringLiteral("engineer"), TervoxAudit::kController, QStringLiteral("Kiln"), 1,
                           QLatin1String(action), {}, QString()},
                          file);
    // Thirty minutes of two controllers, six readings a minute.
    tervox_test::WriteHistory(file, {1, 2}, StartTime(), 30, 6);
    tervox_test::RunRecordingKeeper(file);
  }
  void TearDown() override { SetDatabaseFileName(QString()); }

  std::int64_t Value(const QString& ASQL) {
    TSQLiteDatabase db(file);
    return db.GetTableValue(ASQL);
  }

  tervox_test::TempDir dir;
  tervox_test::FixedClock clock{EncodeDateTime(2026, 12, 11, 9, 30)};
  QString file;
};

TEST_F(ChainTest, TheKeeperChainsEveryMinuteAndSealsWithAKeyKeptBesideTheFile) {
  EXPECT_EQ(Value(QStringLiteral("SELECT count(*) FROM HistoryChain WHERE Kind = 0")), 60);
  EXPECT_EQ(Value(QStringLiteral("SELECT sum(Rows) FROM HistoryChain")), 360);
  // The secret key: beside the file, its owner's alone, never in it.
  const QString keyFile = TervoxStationKey::KeyFileName(file);
  EXPECT_EQ(tervox_test::FileMode(keyFile), 0600);
  QByteArray secret;
  QString error;
  ASSERT_TRUE(TervoxStationKey::ReadSecretKey(keyFile, secret, error)) << error.toStdString();
  const QByteArray fileBytes = tervox_test::ReadFileBytes(file);
  EXPECT_FALSE(fileBytes.contains(secret.left(32)));
  EXPECT_FALSE(fileBytes.contains(secret.left(32).toHex()));
  TSQLiteDatabase db(file);
  EXPECT_EQ(TervoxStationKey::StoredPublicKey(db), TervoxStationKey::PublicKeyOf(secret));
  // A seal at the first pass and one at the stop, each signed, each naming
  // every controller's head and the trail's last entry.
  const std::vector<TervoxStationKey::TSeal> seals = TervoxStationKey::Seals(db);
  ASSERT_EQ(seals.size(), 2u);
  for (const TervoxStationKey::TSeal& seal : seals) {
    EXPECT_TRUE(TervoxStationKey::SignatureValid(TervoxStationKey::PublicKeyOf(secret), seal));
    EXPECT_EQ(seal.Links.size(), 2u);
    EXPECT_EQ(seal.AuditID, 3);
  }
  EXPECT_FALSE(TervoxStationKey::SealDue(db, Now()));
  EXPECT_TRUE(TervoxStationKey::SealDue(db, Now() + 1.0 / 24));
  // Backups leave the chain, its seals and its mark out.
  for (const QString& table : HistoryChainTableNames()) EXPECT_TRUE(StationOnlyTableNames().contains(table)) << table.toStdString();

  const TervoxVerify::TResult result = TervoxVerify::Verify(file);
  EXPECT_EQ(result.Status, TervoxVerify::TStatus::Intact) << result.Problem.toStdString();
  EXPECT_EQ(result.Rows, 360);
  EXPECT_EQ(result.Unchained, 0);
}

TEST_F(ChainTest, LateRowsAreChainedAsAnAmendmentWithAnAuditEntry) {
  {
    TSQLiteDatabase db(file);
    // The clock stepped back: a reading of a minute already chained.
    db.ExecSQL(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, PV) VALUES (2, %1, 21.5)")
                   .arg(StartTime() + (10 + 0.99) / 1440.0, 0, 'g', 17));
  }
  tervox_test::RunRecordingKeeper(file);
  EXPECT_EQ(Value(QStringLiteral("SELECT count(*) FROM HistoryChain WHERE Kind = 1 AND DeviceID = 2 AND Rows = 7")), 1);
  TSQLiteDatabase db(file);
  const std::vector<TervoxAudit::TStored> entries = TervoxAudit::Entries(db, 0, 1e9, QStringLiteral("recorder"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Entry.Action, QLatin1String(TervoxChain::kLateReadings));
  EXPECT_EQ(entries[0].Entry.TargetID, 2);
  EXPECT_EQ(entries[0].Entry.Target, QStringLiteral("2026-12-11 08:10:00 to 2026-12-11 08:11:00"));
  const TervoxVerify::TResult result = TervoxVerify::Verify(file);
  EXPECT_EQ(result.Status, TervoxVerify::TStatus::Intact) << result.Problem.toStdString();
}

TEST_F(ChainTest, TheNewestMinutesWaitAsNotYetChained) {
  // Readings up to the minute before the clock's: the last one may still
  // get rows (no later minute has any, and it is under two minutes old).
  tervox_test::WriteHistory(file, {1}, EncodeDateTime(2026, 12, 11, 9, 27), 3, 6);
  tervox_test::RunRecordingKeeper(file);
  const TervoxVerify::TResult result = TervoxVerify::Verify(file);
  EXPECT_EQ(result.Status, TervoxVerify::TStatus::Intact) << result.Problem.toStdString();
  EXPECT_EQ(result.Unchained, 6);
  ASSERT_EQ(result.Notes.size(), 1);
  EXPECT_EQ(result.Notes[0],
            QStringLiteral("controller \"Kiln\" (ID 1): 6 reading(s) from 2026-12-11 09:29:05.000 on not yet chained"));
}

// Each way of changing the file behind the program's back, on a copy of the
// recorded database and its key, found by tervox-db verify with its place.
TEST_F(ChainTest, VerifyFindsEachTamperingWithItsPlace) {
  struct TCase {
    const char* Name;
    std::function<void(TSQLiteDatabase&, const QString& AKeyFile)> Tamper;
    int Exit;
    QString Says;
  };
  auto minuteTime = [](int AMinute, int ARow) { return QString::number(StartTime() + (AMinute + (ARow + 0.5) / 6) / 1440.0, 'g', 17); };
  const std::vector<TCase> cases = {
      {"untouched", [](TSQLiteDatabase&, const QString&) {}, 0, QStringLiteral("match")},
      {"PV updated",
       [&](TSQLiteDatabase& db, const QString&) {
         db.ExecSQL(QStringLiteral("UPDATE DeviceData SET PV = PV + 0.1 WHERE DeviceID = 2 AND ReadTime = %1").arg(minuteTime(12, 3)));
       },
       1, QStringLiteral("a reading changed: controller \"Dryer\" (ID 2), 2026-12-11 08:12")},
      {"row deleted",
       [&](TSQLiteDatabase& db, const QString&) {
         db.ExecSQL(QStringLiteral("DELETE FROM DeviceData WHERE DeviceID = 1 AND ReadTime = %1").arg(minuteTime(20, 0)));
       },
       1, QStringLiteral("a reading removed: controller \"Kiln\" (ID 1), 2026-12-11 08:20 (5 reading(s), 6 chained)")},
      {"row inserted into a chained minute",
       [&](TSQLiteDatabase& db, const QString&) {
         db.ExecSQL(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, PV) VALUES (1, %1, 25)")
                        .arg(StartTime() + 5.999 / 1440.0, 0, 'g', 17));
       },
       1, QStringLiteral("a reading inserted: controller \"Kiln\" (ID 1), 2026-12-11 08:05 (7 reading(s), 6 chained)")},
      {"row inserted before the history",
       [&](TSQLiteDatabase& db, const QString&) {
         db.ExecSQL(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, PV) VALUES (2, %1, 25)")
                        .arg(EncodeDateTime(2026, 12, 11, 7, 0, 30), 0, 'g', 17));
       },
       1, QStringLiteral("a reading inserted: controller \"Dryer\" (ID 2) at 2026-12-11 07:00:30.000")},
      {"whole minutes removed with their links after the seal",
       [&](TSQLiteDatabase& db, const QString&) {
         db.ExecSQL(QStringLiteral("DELETE FROM DeviceData WHERE DeviceID = 1 AND ReadTime >= %1").arg(StartTime() + 25 / 1440.0, 0, 'g', 17));
         db.ExecSQL(QStringLiteral("DELETE FROM HistoryChain WHERE DeviceID = 1 AND Minute >= %1").arg(HistoryMinuteOf(StartTime()) + 25));
       },
       1, QStringLiteral("history removed after the seal of")},
      {"audit entry edited",
       [](TSQLiteDatabase& db, const QString&) {
         db.ExecSQL(QStringLiteral("DROP TRIGGER AuditTrailNoUpdate"));
         db.ExecSQL(QStringLiteral("UPDATE AuditTrail SET Username = 'nobody' WHERE ID = 2"));
       },
       1, QStringLiteral("audit trail: audit entry 2 (")},
      {"last audit entries deleted",
       [](TSQLiteDatabase& db, const QString&) {
         db.ExecSQL(QStringLiteral("DROP TRIGGER AuditTrailNoDelete"));
         db.ExecSQL(QStringLiteral("DELETE FROM AuditTrail WHERE ID >= 2"));
       },
       1, QStringLiteral("audit entries removed after the seal of %1: the trail ends at entry 1, the seal names entry 3")
              .arg(DateTimeToQDateTime(EncodeDateTime(2026, 12, 11, 9, 30)).toUTC().toString(Qt::ISODateWithMs))},
      {"summary row edited",
       [](TSQLiteDatabase& db, const QString&) {
         db.ExecSQL(QStringLiteral("UPDATE DeviceDataMinute SET PVMax = PVMax + 7 WHERE DeviceID = 1 AND Minute = %1")
                        .arg(HistoryMinuteOf(StartTime()) + 17));
       },
       1, QStringLiteral("a summary changed: controller \"Kiln\" (ID 1), 2026-12-11 08:17: its summary's PV differs")},
      {"key file of another station",
       [](TSQLiteDatabase&, const QString& AKeyFile) {
         QByteArray pk(crypto_sign_PUBLICKEYBYTES, '\0'), sk(crypto_sign_SECRETKEYBYTES, '\0');
         crypto_sign_keypair(reinterpret_cast<unsigned char*>(pk.data()), reinterpret_cast<unsigned char*>(sk.data()));
         tervox_test::WriteFileBytes(AKeyFile, sk);
       },
       1, QStringLiteral("a database from another station")},
      {"key file missing", [](TSQLiteDatabase&, const QString& AKeyFile) { QFile::remove(AKeyFile); }, 2,
       QStringLiteral("cannot check the seals' signatures: the key file")},
  };
  ASSERT_GE(sodium_init(), 0);
  int n = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const QString copy = dir.Path(QStringLiteral("case%1.db").arg(++n));
    ASSERT_TRUE(QFile::copy(file, copy));
    ASSERT_TRUE(QFile::copy(TervoxStationKey::KeyFileName(file), TervoxStationKey::KeyFileName(copy)));
    {
      TSQLiteDatabase db(copy);
      c.Tamper(db, TervoxStationKey::KeyFileName(copy));
    }
    const tervox_test::TToolResult result = RunTervoxDb(copy, {QStringLiteral("verify")});
    EXPECT_EQ(result.ExitCode, c.Exit) << result.Out.toStdString() << result.Err.toStdString();
    EXPECT_TRUE(result.Out.contains(c.Says)) << result.Out.toStdString();
  }
}

TEST_F(ChainTest, VerifyOfARangeChecksOnlyItsReadings) {
  {
    TSQLiteDatabase db(file);
    db.ExecSQL(QStringLiteral("UPDATE DeviceData SET PV = 0 WHERE DeviceID = 1 AND ReadTime < %1").arg(StartTime() + 5 / 1440.0, 0, 'g', 17));
  }
  const tervox_test::TToolResult later =
      RunTervoxDb(file, {QStringLiteral("verify"), QStringLiteral("--from"), QStringLiteral("2026-12-11 08:10:00"),
                         QStringLiteral("--to"), QStringLiteral("2026-12-11 08:20:00")});
  EXPECT_EQ(later.ExitCode, 0) << later.Out.toStdString();
  EXPECT_TRUE(later.Out.contains(QStringLiteral("120 reading(s) in 20 minute(s) of 2 controller(s)"))) << later.Out.toStdString();
  const tervox_test::TToolResult all = RunTervoxDb(file, {QStringLiteral("verify"), QStringLiteral("--to"), QStringLiteral("2026-12-11 08:20:00")});
  EXPECT_EQ(all.ExitCode, 1);
  EXPECT_TRUE(all.Out.contains(QStringLiteral("a reading changed: controller \"Kiln\" (ID 1), 2026-12-11 08:00"))) << all.Out.toStdString();
}

} // namespace
