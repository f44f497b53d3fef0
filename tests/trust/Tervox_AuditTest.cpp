#include "trust/Tervox_Audit.h"

#include "TestSupport.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"

#include <QFile>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace TervoxAudit;

class AuditTest : public ::testing::Test {
protected:
  void SetUp() override {
    file = dir.Path(QStringLiteral("Tervox.db"));
    SetDatabaseFileName(file);
    GetDatabase();
  }
  void TearDown() override {
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
  static TEntry Setting(const QString& AUser, const QString& AOld, const QString& ANew) {
    return TEntry{AUser, kController, QStringLiteral("Kiln"), 3, QStringLiteral("setting written"),
                  {{QStringLiteral("FIX-SV1"), AOld, ANew}}, QString()};
  }
  // Changes the trail behind the program's back, as someone with the file would.
  void Tamper(const QString& ASQL) {
    TSQLiteDatabase raw(file);
    raw.ExecSQL(QStringLiteral("DROP TRIGGER IF EXISTS AuditTrailNoUpdate"));
    raw.ExecSQL(QStringLiteral("DROP TRIGGER IF EXISTS AuditTrailNoDelete"));
    raw.ExecSQL(ASQL);
  }
  tervox_test::TempDir dir;
  QString file;
  tervox_test::FixedClock clock{EncodeDateTime(2026, 12, 11, 9, 30)};
};

TEST_F(AuditTest, EntriesAreStoredWithTheirChangesAndChained) {
  Append(Setting(QStringLiteral("engineer"), QStringLiteral("100.0"), QStringLiteral("120.5")));
  clock.Advance(1.0 / 24);
  Append(TEntry{QStringLiteral("admin"), kUser, QStringLiteral("op1"), 0, QStringLiteral("password changed"),
                {{QStringLiteral("Password"), QString(), QStringLiteral("(changed)")}},
                QStringLiteral("forgotten")});
  const std::vector<TStored> all = Entries(*GetDatabase(), 0, 1e9);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].Entry.User, QStringLiteral("engineer"));
  EXPECT_EQ(all[0].Entry.Changes, (std::vector<TChange>{{QStringLiteral("FIX-SV1"), QStringLiteral("100.0"),
                                                          QStringLiteral("120.5")}}));
  EXPECT_EQ(all[0].UTCTime, DateTimeToQDateTime(EncodeDateTime(2026, 12, 11, 9, 30)).toUTC().toString(Qt::ISODateWithMs));
  EXPECT_EQ(all[0].Station, StationName());
  EXPECT_TRUE(all[0].PrevHash.isEmpty());
  EXPECT_EQ(all[1].PrevHash, all[0].Hash);
  EXPECT_EQ(all[1].Entry.Reason, QStringLiteral("forgotten"));
  // Filters: by user, by controller, by period.
  EXPECT_EQ(Entries(*GetDatabase(), 0, 1e9, QStringLiteral("admin")).size(), 1u);
  EXPECT_EQ(Entries(*GetDatabase(), 0, 1e9, QString(), 3).size(), 1u);
  EXPECT_EQ(Entries(*GetDatabase(), 0, EncodeDateTime(2026, 12, 11, 10, 0)).size(), 1u);
  const TCheck check = CheckChain(*GetDatabase());
  EXPECT_TRUE(check.Intact) << check.Problem.toStdString();
  EXPECT_EQ(check.Entries, 2);
  EXPECT_EQ(check.HeadHash, all[1].Hash);
}

TEST_F(AuditTest, TheTableRefusesChangesAndTheChainShowsThemWhenForced) {
  for (int i = 0; i < 4; ++i) Append(Setting(QStringLiteral("op"), QString::number(i), QString::number(i + 1)));
  EXPECT_THROW(GetDatabase()->ExecSQL(QStringLiteral("UPDATE AuditTrail SET Username = 'x'")), EDqException);
  EXPECT_THROW(GetDatabase()->ExecSQL(QStringLiteral("DELETE FROM AuditTrail WHERE ID = 2")), EDqException);

  struct TCase {
    const char* SQL;
    const char* Problem;
  };
  const TCase cases[] = {
      {"UPDATE AuditTrail SET Changes = '[[\"FIX-SV1\",\"1\",\"9\"]]' WHERE ID = 2", "audit entry 2 ("},
      {"DELETE FROM AuditTrail WHERE ID = 3", "audit entry 3 is missing"},
      {"UPDATE AuditTrail SET PrevHash = '' WHERE ID = 4", "audit entry 4 does not follow"},
  };
  FreeDatabase(); // the last connection closed: every entry is in the file itself
  const QByteArray original = tervox_test::ReadFileBytes(file);
  for (const TCase& c : cases) {
    QFile::remove(file + QStringLiteral("-wal"));
    QFile::remove(file + QStringLiteral("-shm"));
    tervox_test::WriteFileBytes(file, original);
    Tamper(QString::fromUtf8(c.SQL));
    TSQLiteDatabase copy(file);
    const TCheck check = CheckChain(copy);
    EXPECT_FALSE(check.Intact) << c.SQL;
    EXPECT_TRUE(check.Problem.startsWith(QString::fromUtf8(c.Problem))) << check.Problem.toStdString();
  }
}

TEST_F(AuditTest, ProgramsAppendingAtOnceKeepOneChain) {
  FreeDatabase();
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w)
    writers.emplace_back([this, w] {
      for (int i = 0; i < 10; ++i) Append(Setting(QStringLiteral("u%1").arg(w), QString(), QString::number(i)), file);
    });
  for (std::thread& writer : writers) writer.join();
  TSQLiteDatabase database(file);
  const TCheck check = CheckChain(database);
  EXPECT_TRUE(check.Intact) << check.Problem.toStdString();
  EXPECT_EQ(check.Entries, 30);
}

TEST_F(AuditTest, BackupsLeaveTheTrailOut) {
  Append(Setting(QStringLiteral("op"), QStringLiteral("1"), QStringLiteral("2")));
  const QString backup = dir.Path(QStringLiteral("b.sql"));
  GetDatabase()->SetDerivedTables(StationOnlyTableNames());
  GetDatabase()->ExportSQL(backup);
  const QByteArray text = tervox_test::ReadFileBytes(backup);
  EXPECT_TRUE(text.contains("UsageLog"));
  EXPECT_FALSE(text.contains("AuditTrail"));
}

TEST(AuditDifferences, NamesChangedFieldsAndHidesSecrets) {
  const std::vector<std::pair<QString, QString>> before{{"Name", "Kiln"}, {"Slave", "1"}, {"Password", "a"}};
  const std::vector<std::pair<QString, QString>> after{{"Name", "Kiln 2"}, {"Slave", "1"}, {"Password", "b"}};
  EXPECT_EQ(Differences(before, after, {QStringLiteral("Password")}),
            (std::vector<TChange>{{"Name", "Kiln", "Kiln 2"}, {"Password", "", "(changed)"}}));
  EXPECT_TRUE(Differences(before, before).empty());
}

} // namespace

namespace {

TEST_F(AuditTest, PostedEntriesKeepTheirOrderAndTime) {
  for (int i = 0; i < 5; ++i) {
    TervoxAudit::Post(TervoxAudit::TEntry{QStringLiteral("op"), TervoxAudit::kController, QStringLiteral("Kiln"), 1,
                                          QStringLiteral("setting written"), {}, QString::number(i)});
    clock.Advance(1.0 / 86400);
  }
  TervoxAudit::Flush();
  const auto all = TervoxAudit::Entries(*GetDatabase(), 0, 1e9);
  ASSERT_EQ(all.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(all[static_cast<std::size_t>(i)].Entry.Reason, QString::number(i));
    // Stamped when posted, not when written.
    EXPECT_DOUBLE_EQ(all[static_cast<std::size_t>(i)].LocalTime, EncodeDateTime(2026, 12, 11, 9, 30, i));
  }
}

} // namespace
