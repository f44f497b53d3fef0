#include "DqBackgroundTask.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cstdint>
#include <thread>

// Shared with the posted results, which find it gone once the task is.
struct TDqBackgroundTask::TState {
  std::thread Thread;
  std::shared_ptr<std::atomic<bool>> Cancel;
  std::uint64_t Generation = 0;
  bool Running = false;
};

TDqBackgroundTask::TDqBackgroundTask() : FState(std::make_shared<TState>()) {}

TDqBackgroundTask::~TDqBackgroundTask() { Stop(); }

bool TDqBackgroundTask::Running() const { return FState->Running; }

void TDqBackgroundTask::Start(TWork AWork, TFailed AFailed) {
  Stop();
  TState& state = *FState;
  const std::uint64_t generation = ++state.Generation;
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  state.Cancel = cancel;
  state.Running = true;
  state.Thread = std::thread([weak = std::weak_ptr<TState>(FState), generation, cancel, work = std::move(AWork),
                              failed = std::move(AFailed)] {
    TDone done;
    std::exception_ptr error;
    try {
      done = work(*cancel);
    } catch (...) {
      error = std::current_exception();
    }
    if (cancel->load() || !QCoreApplication::instance()) return;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [weak, generation, done = std::move(done), failed, error] {
          const std::shared_ptr<TState> state = weak.lock();
          if (!state || generation != state->Generation) return;
          if (state->Thread.joinable()) state->Thread.join();
          state->Cancel.reset();
          state->Running = false;
          if (error) {
            if (failed) failed(error);
          } else if (done) {
            done();
          }
        },
        Qt::QueuedConnection);
  });
}

void TDqBackgroundTask::Stop() {
  TState& state = *FState;
  if (state.Cancel) *state.Cancel = true;
  if (state.Thread.joinable()) state.Thread.join();
  state.Cancel.reset();
  state.Running = false;
  ++state.Generation;
}

void TDqBackgroundTask::Wait() {
  if (FState->Thread.joinable()) FState->Thread.join();
}
