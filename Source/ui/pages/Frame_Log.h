// The Log page: the usage log, newest first, as paper pages to browse and
// zoom, and the three switches that put event-output changes in the log;
// beside it the audit trail, filtered by period, user and controller,
// printed and exported like the other reports. Both are counted off the
// screen's thread.
#pragma once

#include "widgets/DqFrameList.h"

#include <memory>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QPushButton;
class TAuditReport;
class TDqPageView;
class TUsageLogReport;
struct TAuditFilter;

class TFrameLog : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameLog(QWidget* AOwner = nullptr);
  ~TFrameLog() override;
  // Counts the log (or the audit trail shown) again; entering the page
  // does it. The pages follow when the count ends; a newer count
  // supersedes this one.
  void LoadLog();
  // True while a count runs.
  bool Counting() const;
  bool ShowsAuditTrail() const;
  TAuditFilter AuditFilter() const;
  // Writes the audit trail shown to AFileName (.csv or .xlsx by its
  // suffix, else PDF); returns the entries written.
  std::int64_t ExportAuditTrail(const QString& AFileName) const;

  QCheckBox* CheckBoxEV(int AIndex) const { return FCheckBoxEV[AIndex]; } // 0-2
  TDqPageView* PageView() const { return FPageView; }
  const TUsageLogReport* Report() const { return FReport.get(); }
  const TAuditReport* AuditReport() const { return FAuditReport.get(); }
  QComboBox* ComboShow() const { return FComboShow; }
  QDateEdit* DateFrom() const { return FDateFrom; }
  QDateEdit* DateTo() const { return FDateTo; }
  QComboBox* ComboUser() const { return FComboUser; }
  QComboBox* ComboDevice() const { return FComboDevice; }

private:
  void FillFilters();
  void ShowChanged();
  void ButtonExportClick();
  void ButtonPrintClick();

  QCheckBox* FCheckBoxEV[3];
  QComboBox* FComboShow;
  QWidget* FAuditBar;
  QDateEdit* FDateFrom;
  QDateEdit* FDateTo;
  QComboBox* FComboUser;
  QComboBox* FComboDevice;
  QPushButton* FButtonExport;
  QPushButton* FButtonPrint;
  TDqPageView* FPageView;
  std::shared_ptr<TUsageLogReport> FReport;
  std::shared_ptr<TAuditReport> FAuditReport;
};
