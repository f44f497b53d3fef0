// Long work behind a progress window: the work runs on a thread of its
// own, the window shows "done of total", keeps painting and offers Cancel.
#pragma once

#include <QString>

#include <exception>
#include <functional>
#include <memory>

class QWidget;
class TTervoxProgress;

class TFormProgress {
public:
  TFormProgress(QWidget* AParent, const QString& ACaption, const QString& ALabel);
  ~TFormProgress();
  TFormProgress(const TFormProgress&) = delete;
  TFormProgress& operator=(const TFormProgress&) = delete;

  // How done of total reads under the label; "%1 of %2 rows" unless set.
  void SetDetail(const QString& AFormat);
  // Runs AWork on a worker thread and returns once it has ended: its
  // exception, or nullptr when it succeeded. The window appears only when
  // the work lasts longer than a moment. Cancel asks the work to stop
  // (TTervoxProgress::Cancelled); the work decides what is kept.
  std::exception_ptr Run(const std::function<void(TTervoxProgress& AProgress)>& AWork);
  // For the work, while Run runs it: runs AStep on the UI thread between
  // events and returns once it has run (its exception is raised here).
  // False, without running it, once the user has cancelled.
  bool OnUIThread(const std::function<void()>& AStep);
  // True once the user pressed Cancel, even if the work ended regardless.
  bool Cancelled() const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// TFormProgress(AParent, ACaption, ALabel).Run(AWork).
std::exception_ptr RunWithProgress(QWidget* AParent, const QString& ACaption, const QString& ALabel,
                                   const std::function<void(TTervoxProgress& AProgress)>& AWork);

// Shows the work's error unless it was only the user's cancel. True when
// the work succeeded.
bool ReportWorkResult(std::exception_ptr AError);
