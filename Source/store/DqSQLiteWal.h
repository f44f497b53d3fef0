// Keeps a database's write-ahead log small while the program runs for
// months: checkpoints run on a thread and a connection of their own, so
// neither the UI thread nor the polling worker ever waits for one.
#pragma once

#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct sqlite3;

// A checkpoint is due once this many pages were added since the last one;
// it copies the log without blocking anyone and is repeated every
// kWalRetry until the writer has started the log over. When writes outrun
// that (kWalForcePages in the log) the checkpoint makes writers wait for it
// once. When nothing was committed for kWalIdle the log is cut to nothing,
// and at every restart the file is cut back to kWalSizeLimit. So the -wal
// file stays under kWalForcePages pages (about 6 MB) plus what is committed
// while one checkpoint runs: under kWalBound. Writes that outrun even that
// (kWalHoldPages in the log, the restart refused for want of a quiet
// moment) wait for the next checkpoint, at most kWalRetry each.
inline constexpr int kWalCheckpointPages = 1000;
inline constexpr int kWalForcePages = 1500;
inline constexpr int kWalHoldPages = 1750;
inline constexpr std::int64_t kWalSizeLimit = 4 * 1024 * 1024;
inline constexpr std::int64_t kWalBound = 8 * 1024 * 1024;
inline constexpr std::chrono::milliseconds kWalIdle{2000};
inline constexpr std::chrono::milliseconds kWalRetry{100};

class TSQLiteWalKeeper {
public:
  // AHandle: the program's connection (its commits are watched and its log
  // restarts are cut back); AFileName: the same database, opened again here.
  TSQLiteWalKeeper(sqlite3* AHandle, const QString& AFileName);
  ~TSQLiteWalKeeper();
  TSQLiteWalKeeper(const TSQLiteWalKeeper&) = delete;
  TSQLiteWalKeeper& operator=(const TSQLiteWalKeeper&) = delete;

  // Copies the log into the database on the calling thread, blocking no
  // one. A writer that fills the log faster than this keeper copies it
  // calls it between its transactions, so that the log never grows to the
  // size whose restart holds every writer back while it copies.
  void CopyNow();

  // Checkpoints that ran, and those that could not copy the whole log.
  int Checkpoints() const;
  int Incomplete() const;

private:
  static int WalHook(void* AUser, sqlite3* ADb, const char* ADbName, int APages);
  void Execute();

  sqlite3* FHandle;
  sqlite3* FOwnHandle = nullptr;
  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::condition_variable FCheckpointed; // a checkpoint ran
  int FPages = 0;            // pages in the log after the latest commit
  int FCheckpointedAt = 0;   // log size at the latest checkpoint
  bool FCatchingUp = false;  // a checkpoint ran; the log has not restarted yet
  bool FRestartRefused = false; // the last forced restart could not be done
  bool FTruncated = true;    // nothing committed since the idle truncation
  std::chrono::steady_clock::time_point FLastCommit;
  bool FStop = false;
  int FCheckpoints = 0;
  int FIncomplete = 0;
  std::thread FThread;
};
