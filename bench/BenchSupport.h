// Helpers shared by the benchmark programs.
#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

// CPU time of the calling thread: the engine's own share of a transaction,
// without the simulator's thread on the other end of the line.
inline double ThreadCPUMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Whether a benchmark of this run failed (its program then exits with 1).
inline std::atomic<bool>& BenchFailed() {
  static std::atomic<bool> failed{false};
  return failed;
}

// Marks the benchmark failed with AWhy, also on stderr; break out of its
// loop after it.
inline void FailBench(benchmark::State& AState, const QString& AWhy) {
  std::fprintf(stderr, "%s\n", AWhy.toLocal8Bit().constData());
  AState.SkipWithError(AWhy.toLocal8Bit().constData());
  BenchFailed() = true;
}

// The sqlite3 shell run to its end for a baseline, in AWorkDir, with AIn
// as its input and AOut as its output when given: its seconds by the wall
// clock, or -1 with AError when it did not start or did not succeed. A
// shell that is not there must not read as a baseline of 0 s.
inline double RunSqliteShell(const QStringList& AArgs, QString& AError, const QString& AWorkDir = QString(),
                             const QString& AIn = QString(), const QString& AOut = QString()) {
  QProcess shell;
  if (!AWorkDir.isEmpty()) shell.setWorkingDirectory(AWorkDir);
  if (!AIn.isEmpty()) shell.setStandardInputFile(AIn);
  if (!AOut.isEmpty()) shell.setStandardOutputFile(AOut);
  QElapsedTimer timer;
  timer.start();
  shell.start(QStringLiteral("sqlite3"), AArgs);
  if (!shell.waitForStarted(-1)) {
    AError = QStringLiteral("the sqlite3 shell did not start: %1").arg(shell.errorString());
    return -1;
  }
  shell.waitForFinished(-1);
  const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
  if (shell.exitStatus() != QProcess::NormalExit || shell.exitCode() != 0) {
    AError = QStringLiteral("the sqlite3 shell failed (%1 %2): %3")
                 .arg(shell.exitStatus() == QProcess::NormalExit ? QStringLiteral("exit code") : QStringLiteral("crashed,"))
                 .arg(shell.exitCode())
                 .arg(QString::fromLocal8Bit(shell.readAllStandardError()).trimmed());
    return -1;
  }
  return seconds;
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

// Keeps the calling thread on one CPU, so that a stall of that CPU can be
// told apart from the thread's own work.
inline void PinToCpu(int ACpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(ACpu, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

inline void UnpinFromCpu() {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (unsigned cpu = 0; cpu < std::thread::hardware_concurrency(); ++cpu) CPU_SET(cpu, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// When the machine itself took a CPU away. On a shared virtual machine the
// host stops a virtual CPU now and then, for up to a few hundred ms; a
// thread running on it seems to spend that time on its own work. One
// real-time thread per CPU wakes every 2 ms: a wake-up over 10 ms late means
// nothing at all ran on that CPU meanwhile, whatever the program did.
class MachineStalls {
public:
  using Clock = std::chrono::steady_clock;
  struct Stall {
    int Cpu;
    Clock::time_point From, To;
  };

  MachineStalls() {
    const int cpus = static_cast<int>(std::thread::hardware_concurrency());
    FStalls.resize(cpus);
    for (int cpu = 0; cpu < cpus; ++cpu) FProbes.emplace_back([this, cpu] { Probe(cpu); });
  }
  ~MachineStalls() { Stop(); }

  void Stop() {
    FStop = true;
    for (std::thread& probe : FProbes)
      if (probe.joinable()) probe.join();
  }

  // All stalls, after Stop().
  std::vector<Stall> All() const {
    std::vector<Stall> all;
    for (const std::vector<Stall>& stalls : FStalls) all.insert(all.end(), stalls.begin(), stalls.end());
    return all;
  }

  // How much of [AFrom, ATo] some CPU was stalled, after Stop().
  Clock::duration Within(Clock::time_point AFrom, Clock::time_point ATo) const {
    std::vector<std::pair<Clock::time_point, Clock::time_point>> parts;
    for (const Stall& stall : All())
      if (stall.To > AFrom && stall.From < ATo) parts.emplace_back(std::max(stall.From, AFrom), std::min(stall.To, ATo));
    std::sort(parts.begin(), parts.end());
    Clock::duration covered{0};
    Clock::time_point reached = AFrom;
    for (const auto& [from, to] : parts) {
      if (to <= reached) continue;
      covered += to - std::max(from, reached);
      reached = to;
    }
    return covered;
  }

private:
  void Probe(int ACpu) {
    PinToCpu(ACpu);
    sched_param priority{};
    priority.sched_priority = 1;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) != 0 && ACpu == 0)
      std::fprintf(stderr, "stall probe: no real-time priority, stalls may include other threads' turns\n");
    constexpr auto kPeriod = std::chrono::milliseconds(2);
    constexpr auto kLate = std::chrono::milliseconds(10);
    Clock::time_point due = Clock::now() + kPeriod;
    while (!FStop) {
      std::this_thread::sleep_until(due);
      const Clock::time_point woke = Clock::now();
      if (woke - due > kLate) FStalls[ACpu].push_back({ACpu, due, woke});
      due = woke + kPeriod;
    }
  }

  std::atomic<bool> FStop{false};
  std::vector<std::vector<Stall>> FStalls;
  std::vector<std::thread> FProbes;
};
