// A recorded database for the tests of the history's chain: history
// written in bulk, then the recording process's keeper run over it (chain,
// station key, seals), and tervox-db run on it as a process of its own.
#pragma once

#include "TestSupport.h"
#include "core/DqRoutine.h"
#include "store/DqHistoryChain.h"
#include "store/DqHistorySummary.h"
#include "store/DqSQLite.h"
#include "trust/Tervox_Chain.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace tervox_test {

// Controllers named in the Device table.
inline void AddControllers(const QString& AFile, const std::vector<std::pair<int, QString>>& AControllers) {
  TSQLiteDatabase db(AFile);
  for (const auto& [id, name] : AControllers)
    db.ExecSQL(QStringLiteral("INSERT INTO Device (ID, Name) VALUES (%1, '%2')").arg(id).arg(name));
}

// ARowsPerMinute readings a minute of each controller for AMinutes minutes
// from AFrom, in one transaction, as a recorder writes them (in time order,
// the controllers interleaved); values vary with the time.
inline void WriteHistory(const QString& AFile, const std::vector<int>& ADevices, double AFrom, int AMinutes,
                         int ARowsPerMinute) {
  TSQLiteDatabase db(AFile);
  db.InWriteTransaction([&] {
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db.Handle(),
                       "INSERT INTO DeviceData VALUES (?1, ?2, 1, ?3, ?4, 50, 0, 32767, 32767, 32767, 0, 0, 0)", -1,
                       &insert, nullptr);
    for (int m = 0; m < AMinutes; ++m)
      for (int r = 0; r < ARowsPerMinute; ++r)
        for (int device : ADevices) {
          const double time = AFrom + (m + (r + 0.5) / ARowsPerMinute) / 1440.0;
          sqlite3_bind_int(insert, 1, device);
          sqlite3_bind_double(insert, 2, time);
          sqlite3_bind_double(insert, 3, 20.0 + device + (m % 17) * 0.1 + r * 0.01);
          sqlite3_bind_double(insert, 4, 100.0 + device);
          sqlite3_step(insert);
          sqlite3_reset(insert);
        }
    sqlite3_finalize(insert);
  });
}

// The recording process's keeper over AFile: a first pass (summaries,
// chain, key, a seal), then its stop (the last seal).
inline void RunRecordingKeeper(const QString& AFile) {
  TervoxChain::InstallKeeperHook();
  std::atomic<bool> passed{false};
  {
    THistorySummaryBuilder keeper(
        AFile, [&](std::int64_t, std::int64_t, bool AFinished, const QString&) { if (AFinished) passed = true; },
        std::chrono::hours(1));
    for (int i = 0; i < 3000 && !passed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(passed.load());
  }
  SetHistoryChainHook({});
}

struct TToolResult {
  int ExitCode = -1;
  QString Out, Err;
};

// tervox-db with AArgs on the database AFile.
inline TToolResult RunTervoxDb(const QString& AFile, const QStringList& AArgs) {
  QProcess process;
  process.start(QDir(qEnvironmentVariable("TERVOX_BIN_DIR", QCoreApplication::applicationDirPath()))
                    .filePath(QStringLiteral("tervox-db")),
                QStringList{QStringLiteral("--database"), AFile} + AArgs);
  EXPECT_TRUE(process.waitForFinished(120000));
  return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
          QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

} // namespace tervox_test
