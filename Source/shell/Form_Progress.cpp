#include "Form_Progress.h"

#include "domain/Tervox_Maintenance.h"
#include "shell/Main_Routine.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QLocale>
#include <QPointer>
#include <QProgressDialog>
#include <QTimer>

#include <atomic>
#include <limits>
#include <thread>

std::exception_ptr RunWithProgress(QWidget* AParent, const QString& ACaption, const QString& ALabel,
                                   const std::function<void(TTervoxProgress& AProgress)>& AWork) {
  TTervoxProgress progress;
  std::exception_ptr error;
  std::atomic<bool> finished{false};

  QProgressDialog dialog(ALabel, QStringLiteral("Cancel"), 0, 1000, AParent);
  dialog.setObjectName(QStringLiteral("FormProgress"));
  dialog.setWindowTitle(ACaption);
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
    const std::int64_t total = progress.Total;
    const std::int64_t done = progress.Done;
    if (total > 0 && !progress.Cancelled) {
      dialog.setValue(static_cast<int>(std::min<std::int64_t>(999, done * 1000 / total)));
      const QLocale locale = QLocale::system();
      dialog.setLabelText(QStringLiteral("%1\n%2 of %3 rows").arg(ALabel, locale.toString(done), locale.toString(total)));
    } else if (!progress.Cancelled) {
      dialog.setValue(0);
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
