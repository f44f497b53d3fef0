#include "Form_Progress.h"

#include "plant/Tervox_Maintenance.h"
#include "Main_Routine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QLocale>
#include <QObject>
#include <QProgressDialog>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

// Also what takes the work's steps on the UI thread. A step passes under a
// mutex of ours; the posted event only wakes this object, since the sanitizer
// cannot see the lock inside Qt's event queue.
struct TFormProgress::TImpl : QObject {
  QWidget* Parent = nullptr;
  QString Caption;
  QString Label;
  QString Detail = QStringLiteral("%1 of %2 rows");
  TTervoxProgress Progress;
  std::mutex Mutex;
  std::condition_variable Finished;
  const std::function<void()>* Step = nullptr; // the one waiting, if any
  bool Done = false;
  bool Ran = false;
  std::exception_ptr Error;

  void customEvent(QEvent*) override {
    const std::function<void()>* step = nullptr;
    {
      std::lock_guard<std::mutex> guard(Mutex);
      step = Step;
    }
    if (!step) return;
    bool ran = false;
    std::exception_ptr error;
    if (!Progress.Cancelled) {
      try {
        (*step)();
        ran = true;
      } catch (...) {
        error = std::current_exception();
      }
    }
    std::lock_guard<std::mutex> guard(Mutex);
    Step = nullptr;
    Ran = ran;
    Error = error;
    Done = true;
    Finished.notify_all();
  }
};

TFormProgress::TFormProgress(QWidget* AParent, const QString& ACaption, const QString& ALabel)
    : FImpl(std::make_unique<TImpl>()) {
  FImpl->Parent = AParent;
  FImpl->Caption = ACaption;
  FImpl->Label = ALabel;
}

TFormProgress::~TFormProgress() = default;

void TFormProgress::SetDetail(const QString& AFormat) { FImpl->Detail = AFormat; }

bool TFormProgress::Cancelled() const { return FImpl->Progress.Cancelled; }

std::exception_ptr TFormProgress::Run(const std::function<void(TTervoxProgress& AProgress)>& AWork) {
  TImpl& d = *FImpl;
  TTervoxProgress& progress = d.Progress;
  std::exception_ptr error;
  std::atomic<bool> finished{false};

  QProgressDialog dialog(d.Label, QStringLiteral("Cancel"), 0, 1000, d.Parent);
  dialog.setObjectName(QStringLiteral("FormProgress"));
  dialog.setWindowTitle(d.Caption);
  dialog.setWindowModality(Qt::ApplicationModal);
  // Shown by the timer below once the work lasts half a second.
  dialog.setMinimumDuration(std::numeric_limits<int>::max());
  dialog.setAutoClose(false);
  dialog.setAutoReset(false);
  dialog.setMinimumWidth(420);
  QObject::connect(&dialog, &QProgressDialog::canceled, [&progress, &dialog] {
    progress.Cancelled = true;
    dialog.setLabelText(QStringLiteral("Cancelling..."));
    dialog.show(); // stays up until the work has stopped
  });

  QEventLoop loop;
  QElapsedTimer running;
  running.start();
  QTimer timer;
  timer.setInterval(100);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (finished) {
      loop.quit();
      return;
    }
    if (!dialog.isVisible() && running.elapsed() >= 500) dialog.show();
    if (progress.Cancelled) return;
    const std::int64_t total = progress.Total;
    const std::int64_t done = progress.Done;
    // A busy bar while the work does not know how much there is.
    dialog.setMaximum(total > 0 ? 1000 : 0);
    if (total > 0) {
      dialog.setValue(static_cast<int>(std::min<std::int64_t>(999, done * 1000 / total)));
      const QLocale locale = QLocale::system();
      dialog.setLabelText(d.Label + QLatin1Char('\n') + d.Detail.arg(locale.toString(done), locale.toString(total)));
    }
  });

  std::thread worker([&] {
    try {
      AWork(progress);
    } catch (...) {
      error = std::current_exception();
    }
    finished = true;
  });
  timer.start();
  // The window's own event loop keeps painting, polling and recording
  // while the worker runs; input outside the progress window waits.
  loop.exec();
  timer.stop();
  worker.join();
  dialog.hide();
  return error;
}

bool TFormProgress::OnUIThread(const std::function<void()>& AStep) {
  TImpl& d = *FImpl;
  if (d.Progress.Cancelled) return false;
  std::unique_lock<std::mutex> lock(d.Mutex);
  d.Step = &AStep;
  d.Done = false;
  QCoreApplication::postEvent(&d, new QEvent(QEvent::User));
  // Run's event loop turns until this work has returned, so the step is
  // always taken up: the wait cannot outlast the window.
  d.Finished.wait(lock, [&d] { return d.Done; });
  if (d.Error) std::rethrow_exception(std::exchange(d.Error, nullptr));
  return d.Ran;
}

std::exception_ptr RunWithProgress(QWidget* AParent, const QString& ACaption, const QString& ALabel,
                                   const std::function<void(TTervoxProgress& AProgress)>& AWork) {
  return TFormProgress(AParent, ACaption, ALabel).Run(AWork);
}

bool ReportWorkResult(std::exception_ptr AError) {
  if (!AError) return true;
  try {
    std::rethrow_exception(AError);
  } catch (const ESQLiteCancelled&) {
    return false; // the user asked for it
  } catch (...) {
    ShowException(std::current_exception());
  }
  return false;
}
