// Helpers shared by the benchmark programs.
#pragma once

#include <ctime>

// CPU time of the calling thread: the engine's own share of a transaction,
// without the simulator's thread on the other end of the line.
inline double ThreadCPUMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}
