// Removals by design are chain events, never tampering: a history delete,
// an archive run and a restore on a recorded database, each audited and
// linked into the chain, and tervox-db verify finds the file intact (the
// archive on its own too).
#include "ChainTestSupport.h"
#include "TestSupport.h"
#include "core/DqRoutine.h"
#include "plant/Tervox_Archive.h"
#include "plant/Tervox_Maintenance.h"
#include "store/DqHistoryChain.h"
#include "store/DqSQLite.h"
#include "store/Main_Database.h"
#include "trust/Tervox_Audit.h"
#include "trust/Tervox_Chain.h"

#include <gtest/gtest.h>

namespace {

using tervox_test::RunTervoxDb;

class ChainRemovalTest : public ::testing::Test {
protected:
  void SetUp() override {
    file = dir.Path(QStringLiteral("Tervox.db"));
    SetDatabaseFileName(file);
    GetDatabase();
    FreeDatabase();
    tervox_test::AddControllers(file, {{1, QStringLiteral("Kiln")}, {2, QStringLiteral("Dryer")}});
    // Four days across the turn of the year, two readings a minute.
    tervox_test::WriteHistory(file, {1, 2}, EncodeDateTime(2025, 12, 30), 4 * 1440, 2);
    tervox_test::RunRecordingKeeper(file);
  }
  void TearDown() override {
    FreeDatabase();
    SetDatabaseFileName(QString());
  }

  std::int64_t Value(const QString& ASQL) {
    TSQLiteDatabase db(file);
    return db.GetTableValue(ASQL);
  }
  // The audit entry of a removal: its rows, and the links naming it.
  void ExpectRemoval(const char* AAction, const QString& ATarget, std::int64_t ARows, int ALinks) {
    TSQLiteDatabase db(file);
    for (const TervoxAudit::TStored& stored : TervoxAudit::Entries(db, 0, 1e9)) {
      if (stored.Entry.Action != QLatin1String(AAction)) continue;
      EXPECT_EQ(stored.Entry.TargetKind, QLatin1String(TervoxAudit::kHistory));
      EXPECT_EQ(stored.Entry.Target, ATarget);
      EXPECT_EQ(stored.Entry.Changes,
                (std::vector<TervoxAudit::TChange>{{QStringLiteral("Rows"), QString(), QString::number(ARows)}}));
      EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT count(*) FROM HistoryChain WHERE Kind = 2 AND AuditID = %1")
                                     .arg(stored.ID)),
                ALinks);
      return;
    }
    ADD_FAILURE() << "no entry " << AAction;
  }
  void ExpectIntact(const QString& AFile) {
    const tervox_test::TToolResult result = RunTervoxDb(AFile, {QStringLiteral("verify")});
    EXPECT_EQ(result.ExitCode, 0) << result.Out.toStdString() << result.Err.toStdString();
    EXPECT_FALSE(result.Out.contains(QStringLiteral("not yet chained"))) << result.Out.toStdString();
  }

  tervox_test::TempDir dir;
  tervox_test::FixedClock clock{EncodeDateTime(2026, 1, 5, 12, 0)};
  QString file;
};

TEST_F(ChainRemovalTest, DeleteArchiveAndRestoreAreChainEventsThatVerifyIntact) {
  // The first day of the year deleted, then the old year archived.
  EXPECT_EQ(DeleteRecords(EncodeDateTime(2026, 1, 1), EncodeDateTime(2026, 1, 1)), 2 * 1440 * 2);
  ExpectRemoval(TervoxChain::kHistoryDeleted, QStringLiteral("2026-01-01 00:00:00 to 2026-01-02 00:00:00"), 5760, 2);
  ASSERT_EQ(ArchiveHistory(EncodeDateTime(2026, 1, 1)).size(), 1u);
  ExpectRemoval(TervoxChain::kHistoryArchived, QStringLiteral("2025-01-01 00:00:00 to 2026-01-01 00:00:00"), 11520, 2);
  tervox_test::RunRecordingKeeper(file);
  ExpectIntact(file);
  // The archive keeps the chain of its rows and verifies on its own.
  const QString archive = ArchiveFileName(file, 2025);
  ExpectIntact(archive);
  {
    TSQLiteDatabase db(archive);
    EXPECT_EQ(db.GetTableValue(QStringLiteral("SELECT count(*) FROM HistoryChain")), 2 * 2 * 1440);
    // A reading of the archive changed is found there.
    db.ExecSQL(QStringLiteral("UPDATE DeviceData SET PV = -1 WHERE rowid = 100"));
  }
  EXPECT_EQ(RunTervoxDb(archive, {QStringLiteral("verify")}).ExitCode, 1);

  // A backup, a day more recorded, then the backup restored: the chain
  // starts anew from the restored rows.
  BackupDatabase(dir.Path(QStringLiteral("backup.sql")));
  tervox_test::WriteHistory(file, {1, 2}, EncodeDateTime(2026, 1, 3), 1440, 2);
  tervox_test::RunRecordingKeeper(file);
  RestoreDatabase(dir.Path(QStringLiteral("backup.sql")));
  ExpectRemoval(TervoxChain::kHistoryRestored, QStringLiteral("2026-01-02 00:00:15 to 2026-01-02 23:59:45"), 5760, 2);
  EXPECT_EQ(Value(QStringLiteral("SELECT count(*) FROM HistoryChain WHERE Kind = 3")), 2);
  tervox_test::RunRecordingKeeper(file);
  ExpectIntact(file);
  EXPECT_EQ(Value(QStringLiteral("SELECT count(*) FROM HistoryChain WHERE Kind = 0 AND Link > (SELECT Link FROM "
                                 "HistoryChain c WHERE c.DeviceID = HistoryChain.DeviceID AND c.Kind = 3)")),
            2 * 1440);
}

TEST_F(ChainRemovalTest, RowsRemovedWithoutTheirAuditEntryAreTampering) {
  // The rows and the removal link as a delete leaves them, but its audit
  // entry is not one of a removal.
  {
    TSQLiteDatabase db(file);
    db.ExecSQL(QStringLiteral("DELETE FROM DeviceData WHERE ReadTime < %1").arg(EncodeDateTime(2025, 12, 31)));
  }
  {
    TSQLiteDatabase db(file);
    RecordHistoryRemoval(db, HistoryMinuteOf(EncodeDateTime(2025, 12, 30)), HistoryMinuteOf(EncodeDateTime(2025, 12, 31)), 0);
  }
  const tervox_test::TToolResult result = RunTervoxDb(file, {QStringLiteral("verify")});
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_TRUE(result.Out.contains(QStringLiteral("history of controller \"Kiln\" (ID 1) from 2025-12-30 00:00 to "
                                                 "2025-12-31 00:00 was removed without an audit entry")))
      << result.Out.toStdString();
}

} // namespace
