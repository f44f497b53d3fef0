#include "DqBackgroundTask.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

// Lives on the UI thread and takes the results there. A result passes
// under a mutex of ours; the posted event only wakes this object, since the
// sanitizer cannot see the lock inside Qt's event queue. Events still on
// their way when it is gone are dropped with it.
struct TDqBackgroundTask::TState : QObject {
  struct TResult {
    std::uint64_t Generation = 0;
    TDone Done;
    TFailed Failed;
    std::exception_ptr Error;
  };
  std::thread Thread;
  std::shared_ptr<std::atomic<bool>> Cancel;
  std::uint64_t Generation = 0;
  bool Running = false;
  std::mutex Mutex;
  std::optional<TResult> Posted; // under Mutex

  void customEvent(QEvent*) override {
    std::optional<TResult> result;
    {
      std::lock_guard<std::mutex> guard(Mutex);
      result.swap(Posted);
    }
    if (!result || result->Generation != Generation) return;
    if (Thread.joinable()) Thread.join();
    Cancel.reset();
    Running = false;
    if (result->Error) {
      if (result->Failed) result->Failed(result->Error);
    } else if (result->Done) {
      result->Done();
    }
  }
};

TDqBackgroundTask::TDqBackgroundTask() : FState(std::make_unique<TState>()) {}

TDqBackgroundTask::~TDqBackgroundTask() { Stop(); }

bool TDqBackgroundTask::Running() const { return FState->Running; }

void TDqBackgroundTask::Start(TWork AWork, TFailed AFailed) {
  Stop();
  TState& state = *FState;
  const std::uint64_t generation = ++state.Generation;
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  state.Cancel = cancel;
  state.Running = true;
  // The thread is joined before the state goes (Stop), so it may post to it.
  state.Thread = std::thread([&state, generation, cancel, work = std::move(AWork), failed = std::move(AFailed)] {
    TState::TResult result{generation, {}, failed, {}};
    try {
      result.Done = work(*cancel);
    } catch (...) {
      result.Error = std::current_exception();
    }
    if (cancel->load()) return;
    {
      std::lock_guard<std::mutex> guard(state.Mutex);
      state.Posted = std::move(result);
    }
    QCoreApplication::postEvent(&state, new QEvent(QEvent::User));
  });
}

void TDqBackgroundTask::Stop() {
  TState& state = *FState;
  if (state.Cancel) *state.Cancel = true;
  if (state.Thread.joinable()) state.Thread.join();
  {
    // A result not taken yet would keep what it holds (a connection) alive.
    std::lock_guard<std::mutex> guard(state.Mutex);
    state.Posted.reset();
  }
  state.Cancel.reset();
  state.Running = false;
  ++state.Generation;
}

void TDqBackgroundTask::Wait() {
  if (FState->Thread.joinable()) FState->Thread.join();
}
