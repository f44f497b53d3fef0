// Notices the wall clock stepping against the steady clock (an NTP step,
// a date set by hand) while this process records: the history's times
// jump there, so the audit trail and the usage log say when and by how
// much.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class TTervoxClockWatch {
public:
  using TWallClock = std::function<std::chrono::system_clock::time_point()>;
  using TSteadyClock = std::function<std::chrono::steady_clock::time_point()>;
  using TStepped = std::function<void(std::chrono::milliseconds AStep)>;
  // A step larger than this, either way, is told.
  static constexpr std::chrono::seconds kTolerance{2};

  // The real clocks when none are given; steps go to RecordClockStep.
  explicit TTervoxClockWatch(TWallClock AWall = {}, TSteadyClock ASteady = {}, TStepped AOnStep = {});
  ~TTervoxClockWatch(); // stops
  TTervoxClockWatch(const TTervoxClockWatch&) = delete;
  TTervoxClockWatch& operator=(const TTervoxClockWatch&) = delete;

  // Checks every APeriod on a thread of its own until Stop; a watch
  // already running goes on as it was.
  void Start(std::chrono::milliseconds APeriod = std::chrono::seconds(5));
  void Stop();
  bool Running() const { return FThread.joinable(); }
  // Compares how far each clock went since the last check (or the first
  // one): a difference beyond the tolerance is told and returned (positive:
  // the wall clock went forward), else 0.
  std::chrono::milliseconds Check();

private:
  TWallClock FWall;
  TSteadyClock FSteady;
  TStepped FOnStep;
  std::mutex FLock; // what follows
  bool FChecked = false;
  std::chrono::system_clock::time_point FLastWall;
  std::chrono::steady_clock::time_point FLastSteady;
  bool FStopping = false;
  std::condition_variable FWake;
  std::thread FThread;
};

// Writes a step to the audit trail (user "recorder", station, "clock
// stepped") and to the usage log.
void RecordClockStep(std::chrono::milliseconds AStep);

// The process's own watch: started when it starts recording, stopped when
// it stops. Both may be called again at any time.
void StartClockWatch();
void StopClockWatch();
