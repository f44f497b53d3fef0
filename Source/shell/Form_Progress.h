// Long work behind a progress window: the work runs on a thread of its
// own, the window shows "rows done of rows total", keeps painting and
// offers Cancel.
#pragma once

#include <QString>

#include <exception>
#include <functional>

class QWidget;
class TTervoxProgress;

// Runs AWork on a worker thread and returns once it has ended: its
// exception, or nullptr when it succeeded. The window appears only when the
// work lasts longer than a moment. Cancel asks the work to stop
// (TTervoxProgress::Cancelled); the work decides what is kept.
std::exception_ptr RunWithProgress(QWidget* AParent, const QString& ACaption, const QString& ALabel,
                                   const std::function<void(TTervoxProgress& AProgress)>& AWork);

// Shows the work's error unless it was only the user's cancel. True when
// the work succeeded.
bool ReportWorkResult(std::exception_ptr AError);
