// Helpers shared by the benchmark programs.
#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <ctime>
#include <vector>

// CPU time of the calling thread: the engine's own share of a transaction,
// without the simulator's thread on the other end of the line.
inline double ThreadCPUMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// How late a 10 ms timer on the UI thread fires while it runs: a stalled
// event loop shows as lateness.
class TimerLateness {
public:
  TimerLateness() {
    FClock.start();
    FLast = FClock.nsecsElapsed();
    FTimer.setTimerType(Qt::PreciseTimer);
    FTimer.setInterval(10);
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      const qint64 now = FClock.nsecsElapsed();
      FLateness.push_back((now - FLast) / 1e6 - 10.0);
      FLast = now;
    });
    FTimer.start();
  }
  // Stops measuring; the lateness values in ms, sorted.
  std::vector<double> Stop() {
    FTimer.stop();
    std::sort(FLateness.begin(), FLateness.end());
    return FLateness;
  }

private:
  QElapsedTimer FClock;
  qint64 FLast = 0;
  QTimer FTimer;
  std::vector<double> FLateness;
};
