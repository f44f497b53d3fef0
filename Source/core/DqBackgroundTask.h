// Work a page waits for without waiting: it runs on a thread of its own and
// its result reaches the UI thread as a posted call. A newer start
// supersedes the one under way, so only the latest request shows.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>

class TDqBackgroundTask {
public:
  // What the work hands back, to run on the UI thread; empty for nothing.
  using TDone = std::function<void()>;
  using TWork = std::function<TDone(const std::atomic<bool>& ACancel)>;
  using TFailed = std::function<void(std::exception_ptr AError)>;

  TDqBackgroundTask();
  ~TDqBackgroundTask(); // stops
  TDqBackgroundTask(const TDqBackgroundTask&) = delete;
  TDqBackgroundTask& operator=(const TDqBackgroundTask&) = delete;

  // Stops the task under way, then runs AWork on a thread of its own. What
  // it returns, or AFailed with what it raised, runs on the UI thread (the
  // one that made the task) unless a newer Start or a Stop came first or
  // this task is gone: what the result touches belongs to its owner.
  void Start(TWork AWork, TFailed AFailed);
  // Cancels the task under way and waits for its thread; a result already
  // on its way is dropped.
  void Stop();
  // From Start until its result has run or it was stopped.
  bool Running() const;
  // Waits until the work has returned; its result may still be on its way
  // (tests).
  void Wait();

private:
  struct TState;
  std::unique_ptr<TState> FState;
};
