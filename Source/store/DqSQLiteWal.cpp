#include "DqSQLiteWal.h"

#include "DqSQLite.h"

#include <sqlite3.h>

TSQLiteWalKeeper::TSQLiteWalKeeper(sqlite3* AHandle, const QString& AFileName)
    : FHandle(AHandle), FLastCommit(std::chrono::steady_clock::now()) {
  const int rc = sqlite3_open_v2(AFileName.toUtf8().constData(), &FOwnHandle,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const QString message = FOwnHandle ? QString::fromUtf8(sqlite3_errmsg(FOwnHandle)) : QString();
    sqlite3_close_v2(FOwnHandle);
    throw ESQLiteException(QStringLiteral("Failed to open database \"%1\" : %2").arg(AFileName, message), rc);
  }
  // A truncating checkpoint gives way quickly to a busy writer or reader and
  // is tried again at the next idle moment.
  sqlite3_busy_timeout(FOwnHandle, 100);
  // A connection learns that the file is in write-ahead-log mode only when
  // it first reads; until then a checkpoint would find no log to copy.
  sqlite3_exec(FOwnHandle, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  const QByteArray limit = QByteArray("PRAGMA journal_size_limit = ") + QByteArray::number(kWalSizeLimit);
  sqlite3_exec(FHandle, limit.constData(), nullptr, nullptr, nullptr);
  // Replaces SQLite's own automatic checkpoint, which would run inside the
  // committing thread (the UI thread or the polling worker).
  sqlite3_wal_hook(FHandle, &TSQLiteWalKeeper::WalHook, this);
  FThread = std::thread([this] { Execute(); });
}

TSQLiteWalKeeper::~TSQLiteWalKeeper() {
  sqlite3_wal_hook(FHandle, nullptr, nullptr);
  {
    std::lock_guard<std::mutex> guard(FLock);
    FStop = true;
  }
  FWake.notify_all();
  FCheckpointed.notify_all();
  if (FThread.joinable()) FThread.join();
  sqlite3_close_v2(FOwnHandle);
}

void TSQLiteWalKeeper::CopyNow() {
  sqlite3_wal_checkpoint_v2(FHandle, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

int TSQLiteWalKeeper::Checkpoints() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FCheckpoints;
}

int TSQLiteWalKeeper::Incomplete() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FIncomplete;
}

int TSQLiteWalKeeper::WalHook(void* AUser, sqlite3*, const char*, int APages) {
  auto* self = static_cast<TSQLiteWalKeeper*>(AUser);
  bool due;
  {
    std::lock_guard<std::mutex> guard(self->FLock);
    // A smaller log than at the last checkpoint means it started over.
    if (APages < self->FCheckpointedAt) {
      self->FCheckpointedAt = 0;
      self->FCatchingUp = false;
      self->FRestartRefused = false;
    }
    self->FPages = APages;
    self->FTruncated = false;
    self->FLastCommit = std::chrono::steady_clock::now();
    due = APages - self->FCheckpointedAt >= kWalCheckpointPages ||
          (APages >= kWalForcePages && APages > self->FCheckpointedAt);
  }
  if (due) self->FWake.notify_one();
  if (APages >= kWalHoldPages) {
    // The committing thread pauses, so the restart finds the quiet moment it
    // needs; a writer in a tight loop would never leave it one.
    std::unique_lock<std::mutex> lock(self->FLock);
    const int seen = self->FCheckpoints;
    self->FCheckpointed.wait_for(lock, kWalRetry, [&] { return self->FStop || self->FCheckpoints != seen; });
  }
  return SQLITE_OK;
}

void TSQLiteWalKeeper::Execute() {
  std::unique_lock<std::mutex> lock(FLock);
  while (!FStop) {
    // A long log is restarted until a restart succeeds (each try waits for
    // the lock a while), then once more only for what is committed after it:
    // trying again at once would only spin and hold the writers back.
    auto forced = [this] { return FPages >= kWalForcePages && (FPages > FCheckpointedAt || FRestartRefused); };
    FWake.wait_for(lock, FCatchingUp ? kWalRetry : kWalIdle / 2, [&] {
      return FStop || FPages - FCheckpointedAt >= kWalCheckpointPages || forced();
    });
    if (FStop) break;
    const bool force = forced();
    const bool full = force || FPages - FCheckpointedAt >= kWalCheckpointPages;
    const bool idle = !FTruncated && std::chrono::steady_clock::now() - FLastCommit >= kWalIdle;
    // A copy finished while commits went on; one more short copy lets the
    // next commit start the log over.
    const bool catchUp = FCatchingUp && FPages > FCheckpointedAt;
    if (!full && !idle && !catchUp) continue;
    // Copying never blocks anyone; only a log that outgrew the copies or an
    // idle one is restarted, which waits for the writer (briefly).
    const int mode = force  ? SQLITE_CHECKPOINT_RESTART
                     : idle ? SQLITE_CHECKPOINT_TRUNCATE
                            : SQLITE_CHECKPOINT_PASSIVE;
    FCheckpointedAt = FPages;
    lock.unlock();
    int logPages = 0;
    int copied = 0;
    const int rc = sqlite3_wal_checkpoint_v2(FOwnHandle, nullptr, mode, &logPages, &copied);
    lock.lock();
    ++FCheckpoints;
    if (rc != SQLITE_OK || copied < logPages) ++FIncomplete;
    FCatchingUp = mode == SQLITE_CHECKPOINT_PASSIVE || rc != SQLITE_OK;
    if (force) FRestartRefused = rc != SQLITE_OK;
    if (mode == SQLITE_CHECKPOINT_TRUNCATE && rc == SQLITE_OK && FPages == FCheckpointedAt) {
      FTruncated = true;
      FCatchingUp = false;
    }
    // A truncation that was refused is tried again at the next idle moment.
    if (idle && rc != SQLITE_OK) FLastCommit = std::chrono::steady_clock::now();
    FCheckpointed.notify_all();
  }
}
