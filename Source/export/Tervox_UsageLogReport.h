// The usage log as paged sheets, newest entry first: counting, pages by
// key, page drawing, and the exports of tervox-db (PDF, CSV).
#pragma once

#include "Tervox_DeviceReport.h"
#include "Tervox_PagedReader.h"

struct TUsageLogRow {
  double LogTime = 0;
  QString Detail;
  QString DeviceName;
  QString EVStatus;
  double PV = 0; // empty reads as 0
  int Digit = 0;
};

// Rows on one sheet of the log: at least 1 whatever the paper.
int UsageLogRowsPerPage(const TBaseReport& AProfile);

class TUsageLogReport {
public:
  explicit TUsageLogReport(TSQLiteDatabase* ADatabase); // not owned
  // Reads through its own connection to AFileName, so that the count can
  // run off the screen's thread.
  explicit TUsageLogReport(const QString& AFileName);
  ~TUsageLogReport();
  TUsageLogReport(const TUsageLogReport&) = delete;
  TUsageLogReport& operator=(const TUsageLogReport&) = delete;

  // Counts the whole log, or the entries from AFirstTime to ALastTime.
  // False when ACancel stopped it (the report is then empty).
  bool Open(const TCancelFlag* ACancel = nullptr);
  bool Open(double AFirstTime, double ALastTime, const TCancelFlag* ACancel = nullptr);
  std::int64_t RecordCount() const { return FPages.RecordCount(); }
  int PageCount(int ARowsPerPage) const;
  std::vector<TUsageLogRow> Rows(std::int64_t AFirst, int ACount) const;
  static QStringList Headings();
  static QStringList RowTexts(const TUsageLogRow& ARow);

  void DrawPage(QPainter& APainter, const TDqPrint& APrint, const TBaseReport& AProfile, const QRect& ARect, int APage,
                int APageCount) const;
  void ExportPDF(const QString& AFileName, const TBaseReport& AProfile) const;
  std::int64_t ExportCSV(const QString& AFileName) const;

private:
  std::unique_ptr<TSQLiteDatabase> FOwnDatabase;
  TSQLiteDatabase* FDatabase;
  bool FRanged = false;
  double FFirstTime = 0;
  double FLastTime = 0;
  TPagedReader FPages; // LogTime of every 64th entry, newest first
};
