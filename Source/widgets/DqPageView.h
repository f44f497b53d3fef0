// Paper pages on screen: a grey scrollable area with one white sheet drawn
// through TDqPrint, Ctrl+wheel zoom, and the page bar (page box, "of n",
// First/Prev/Next/Last with auto-repeat). The page is drawn by its owner,
// which may count its pages off the UI thread.
#pragma once

#include "graph/DqPrint.h"

#include <QWidget>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QTimer;
class TDqBackgroundTask;
class TPageNumberModel;

class TDqPageView : public QWidget {
  Q_OBJECT
public:
  using TDrawPage = std::function<void(QPainter& APainter, const TDqPrint& APrint, const QRect& ARect, int APage,
                                       int APageCount)>;
  explicit TDqPageView(QWidget* AParent = nullptr);
  ~TDqPageView() override;

  void SetOnDrawPage(TDrawPage AHandler) { FOnDrawPage = std::move(AHandler); }
  TDqPrint& Print() { return FPrint; }
  void SetPaper(double AWidth, double AHeight);

  // "of n", the page box filled 1..n and the first page selected; redraws.
  void SetPageCount(int ACount);
  int PageCount() const { return FPageCount; }
  int CurrentPage() const; // from 1; 0 when there are no pages
  // Counts the pages on a thread of its own; a newer count supersedes the
  // one under way. ACount runs there and hands back, for the UI thread,
  // what keeps the counted result and answers the page count (nothing when
  // cancelled). Meanwhile the bar says "counting..." and the sheet shown
  // stays; a failure shows no pages and goes to AFailed.
  using TCount = std::function<std::function<int()>(const std::atomic<bool>& ACancel)>;
  void CountPages(TCount ACount, std::function<void(std::exception_ptr AError)> AFailed);
  void StopCount();
  bool Counting() const;
  void SetCurrentPage(int APage);
  void StepPage(int ADelta);

  double Zoom() const { return FPrint.ZoomFactor; }
  void SetZoom(double AZoom);
  // Ctrl+wheel: towards the user smaller, away larger.
  void ZoomStep(bool AIn);
  void LayoutPage();
  void Redraw();
  // The sheet's rectangle in the paint box.
  QRect PageRect() const { return FPageRect; }

  QScrollArea* ScrollBox() const { return FScrollBox; }
  QWidget* PaintBox() const { return FPaintBox; }
  // Label2 "Page:", ComboPage, LabelPage, the four buttons: for the
  // owner's bottom panel.
  QWidget* PageBar() const { return FPageBar; }
  QComboBox* ComboPage() const { return FComboPage; }
  QLabel* LabelPage() const { return FLabelPage; }
  QPushButton* ButtonFirst() const { return FButtonFirst; }
  QPushButton* ButtonPrev() const { return FButtonPrev; }
  QPushButton* ButtonNext() const { return FButtonNext; }
  QPushButton* ButtonLast() const { return FButtonLast; }
  QTimer* TimerBrowse() const { return FTimerBrowse; }

protected:
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
  void PaintPage(QPainter& APainter);
  void BrowsePress(int ADirection);
  void TimerBrowseTimer();

  TDqPrint FPrint;
  TDrawPage FOnDrawPage;
  std::unique_ptr<TDqBackgroundTask> FCount;
  int FPageCount = 0;
  int FBrowseDirection = 0;
  QRect FPageRect;
  QScrollArea* FScrollBox;
  QWidget* FPaintBox;
  QWidget* FPageBar;
  TPageNumberModel* FPageModel;
  QComboBox* FComboPage;
  QLabel* FLabelPage;
  QPushButton* FButtonFirst;
  QPushButton* FButtonPrev;
  QPushButton* FButtonNext;
  QPushButton* FButtonLast;
  QTimer* FTimerBrowse;
};
