// The audit trail as paged sheets, newest entry first, filtered by period,
// user and controller; printed, and exported to CSV and .xlsx, like the
// usage log.
#pragma once

#include "trust/Tervox_Audit.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

class QPainter;
class QRect;
class TBaseReport;
class TDqPrint;
class TSQLiteDatabase;

struct TAuditFilter {
  double From = 0; // local date-times; both 0: the whole trail
  double To = 0;
  QString User;               // empty: every user
  std::int64_t ControllerID = 0; // 0: every target
};

class TAuditReport {
public:
  // Reads through its own connection to AFileName (any thread).
  explicit TAuditReport(const QString& AFileName);
  ~TAuditReport();
  TAuditReport(const TAuditReport&) = delete;
  TAuditReport& operator=(const TAuditReport&) = delete;

  void Open(const TAuditFilter& AFilter);
  std::int64_t RecordCount() const { return static_cast<std::int64_t>(FEntries.size()); }
  const std::vector<TervoxAudit::TStored>& Entries() const { return FEntries; }
  int PageCount(int ARowsPerPage) const;

  static QStringList Headings();
  static QStringList RowTexts(const TervoxAudit::TStored& AEntry);
  // "field: old → new; ..." 
  static QString ChangesLine(const std::vector<TervoxAudit::TChange>& AChanges);

  void DrawPage(QPainter& APainter, const TDqPrint& APrint, const TBaseReport& AProfile, const QRect& ARect, int APage,
                int APageCount) const;
  void ExportPDF(const QString& AFileName, const TBaseReport& AProfile) const;
  // Every entry shown, oldest first, with its hashes; returns the rows written.
  std::int64_t ExportCSV(const QString& AFileName) const;
  std::int64_t ExportXLSX(const QString& AFileName) const;

private:
  std::unique_ptr<TSQLiteDatabase> FDatabase;
  std::vector<TervoxAudit::TStored> FEntries; // newest first
};
