// The Log page: the usage log, newest first, as paper pages to browse and
// zoom, and the three switches that put event-output changes in the log.
// The log is counted off the screen's thread.
#pragma once

#include "widgets/DqFrameList.h"

#include <memory>

class QCheckBox;
class TDqPageView;
class TUsageLogReport;

class TFrameLog : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameLog(QWidget* AOwner = nullptr);
  ~TFrameLog() override;
  // Counts the log again; entering the page does it. The pages follow
  // when the count ends; a newer count supersedes this one.
  void LoadLog();
  // True while a count runs.
  bool Counting() const;

  QCheckBox* CheckBoxEV(int AIndex) const { return FCheckBoxEV[AIndex]; } // 0-2
  TDqPageView* PageView() const { return FPageView; }
  const TUsageLogReport* Report() const { return FReport.get(); }

private:
  QCheckBox* FCheckBoxEV[3];
  TDqPageView* FPageView;
  std::shared_ptr<TUsageLogReport> FReport;
};
