// The history report of one controller: the readings of a time range,
// every one or the first of each period, in pages of rows. Shared by the
// Report page and tervox-db: counting, seeking a page by key, the cell
// texts, page drawing and the exports (spreadsheet, CSV, PDF).
#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QIODevice;
class QPainter;
class QRect;
class TBaseReport;
class TDqPrint;
class TSQLiteDatabase;

// The sampling periods, in list order, and the groups per day each makes
// (0: every reading).
inline constexpr int kReportPeriodCount = 8;
extern const char* const kReportPeriodNames[kReportPeriodCount];
extern const int kReportPeriodGroups[kReportPeriodCount];
int ReportPeriodIndex(const QString& AName); // -1 when unknown

// Value columns after "Read Time", in order.
enum TReportColumn : unsigned { rcPV = 1, rcSV = 2, rcOUT1 = 4, rcOUT2 = 8, rcEV1 = 16, rcEV2 = 32, rcEV3 = 64 };
inline constexpr unsigned rcAll = 127;
extern const char* const kReportColumnNames[7]; // "PV" .. "EV3"
// Parses "PV,SV,EV1" (any letter case); false for an unknown name.
bool ParseReportColumns(const QString& AText, unsigned& AColumns);

// Rows on one sheet of the report: at least 1 whatever the paper.
int ReportRowsPerPage(const TBaseReport& AProfile);
// Column widths on paper (mm): 40 for "Read Time", 140 shared by the value
// columns shown.
std::vector<double> ReportColumnWidths(unsigned AColumns);

// "No value" in a history column (and NULL) shows as "-".
inline constexpr double kReportNoValue = 32767;

struct TReportRow {
  double ReadTime = 0;
  int Digit = 0;
  double Values[4] = {kReportNoValue, kReportNoValue, kReportNoValue, kReportNoValue}; // PV, SV, OUT1, OUT2
  bool IsEV[3] = {false, false, false};
};

// "dd/mm/yy - hh:nn:ss", the row format of reports and the log.
QString ReportTimeText(double ADateTime);
// A value column's text: "-" for no value, else with ADigit decimals.
QString ReportValueText(double AValue, int ADigit);
// AValue with ADigit decimals, as C's "%.*f" writes it.
QString FormatFixed(double AValue, int ADigit);
// The title line of a range, "From - To" in the user's locale.
QString ReportRangeText(double AFrom, double ATo);

struct TDeviceReportQuery {
  int DeviceID = 0;
  QString DeviceName;
  double FirstTime = 0;
  double LastTime = 0;
  int Period = 0; // index into kReportPeriodNames
  unsigned Columns = rcAll;
};

// What a column of the report shows: the reading's time, a value
// (TReportRow::Values[Index]) or an event output (TReportRow::IsEV[Index]).
struct TReportCell {
  enum TKind { ckReadTime, ckValue, ckEvent };
  TKind Kind = ckReadTime;
  int Index = 0;
};

// Set from another thread to stop a long count or export.
using TCancelFlag = std::atomic<bool>;
// Fraction done, 0..1.
using TProgressEvent = std::function<void(double AFraction)>;

// What a printed sheet says of itself below its table: the station, who
// printed it and when, the digest of the report's rows (the one a CSV of
// the report carries, so either checks the other) and who approved it.
struct TReportSheetFooter {
  QString Station;
  QString User;
  double At = 0;
  QString Digest;   // made when printing starts, when empty
  QString Approval; // "Approved by … at … (meaning)", or empty
  QString Verified; // RowsVerifiedText of the period, made with the digest
};

class TDeviceReport {
public:
  // Reads through its own connection to AFileName, so that a long count
  // runs beside the recorder and the screen.
  explicit TDeviceReport(const QString& AFileName);
  ~TDeviceReport();
  TDeviceReport(const TDeviceReport&) = delete;
  TDeviceReport& operator=(const TDeviceReport&) = delete;

  // Counts the report's rows and keeps the keys that find any row later.
  // Any thread; false when cancelled (the report is then empty).
  bool Open(const TDeviceReportQuery& AQuery, const TCancelFlag* ACancel = nullptr,
            const TProgressEvent& AProgress = {});
  // The counted report again, reading through a connection of its own: for
  // a worker that reads pages beside the screen.
  std::unique_ptr<TDeviceReport> OpenCopy() const;
  const TDeviceReportQuery& Query() const { return FQuery; }
  // Who exports: named in the stamp of a CSV.
  void SetExportedBy(const QString& AUser) { FExportedBy = AUser; }

  // No footer (an empty user) draws none.
  void SetFooter(const TReportSheetFooter& AFooter) { FFooter = AFooter; }
  const TReportSheetFooter& Footer() const { return FFooter; }
  // The digest of the lines a CSV export of the report holds above its
  // stamp; empty when ACancel stopped it.
  QString RowsDigest(const TCancelFlag* ACancel = nullptr) const;
  // The file the report reads.
  QString DatabaseFileName() const;
  std::int64_t RecordCount() const;
  int PageCount(int ARowsPerPage) const;

  // Up to ACount rows from row number AFirst (0-based), by key.
  std::vector<TReportRow> Rows(std::int64_t AFirst, int ACount) const;
  // Every row in order until AHandler answers false or ACancel is set;
  // false when stopped.
  bool ForEachRow(const std::function<bool(const TReportRow&)>& AHandler, const TCancelFlag* ACancel = nullptr) const;

  // The shown columns, "Read Time" first: the one list every output
  // (pages, spreadsheets, CSV) takes its cells from.
  std::vector<TReportCell> Cells() const;
  // The three title lines above the table: "TERVOX REPORT", the device and
  // the range.
  QStringList TitleTexts() const;
  // Headings of the shown columns, "Read Time" first, and a row's texts.
  QStringList Headings() const;
  QStringList RowTexts(const TReportRow& ARow) const;

  // One sheet (APage from 1) into ARect, positions through APrint.
  void DrawPage(QPainter& APainter, const TDqPrint& APrint, const TBaseReport& AProfile, const QRect& ARect,
                int APage, int APageCount) const;
  // The same in two steps, so that the reading can run on another thread:
  // the cell texts of sheet APage, then the sheet drawn with them.
  std::vector<QStringList> PageTexts(int APage, int ARowsPerPage) const;
  void DrawPageTexts(QPainter& APainter, const TDqPrint& APrint, const TBaseReport& AProfile, const QRect& ARect,
                     int APage, int APageCount, const std::vector<QStringList>& ATexts) const;

  // The spreadsheet: title rows, headings, then the rows, as many as the
  // format holds. Returns the rows left out (0 when all fit).
  struct TExportResult {
    std::int64_t RowsWritten = 0;
    std::int64_t RowsLeftOut = 0;
    int LostCharacters = 0; // characters code page 1250 cannot hold
    int Sheets = 1;
  };
  TExportResult ExportXLS(const QString& AFileName, const TCancelFlag* ACancel = nullptr) const;
  // The workbook (.xlsx): the same title rows merged across the columns and
  // the headings frozen above the rows; times as date-times, values as
  // numbers with the controller's decimals, no value as an empty cell,
  // text exact. Every row: a full sheet (ASheetRows, top rows included)
  // goes on on the next one. Memory stays the same for any count.
  TExportResult ExportXLSX(const QString& AFileName, const TCancelFlag* ACancel = nullptr,
                           const TProgressEvent& AProgress = {}, std::int64_t ASheetRows = kXLSXSheetRows) const;
  // RFC 4180 CSV in UTF-8: a header row, ISO 8601 local times, values with
  // the controller's decimals (empty for no value), and last the report's
  // stamp with the digest of the lines above it (Tervox_ReportStamp.h).
  TExportResult ExportCSV(const QString& AFileName, const TCancelFlag* ACancel = nullptr) const;
  // Pages AFirst..ALast (from 1) on the profile's paper, as a PDF file.
  void ExportPDF(const QString& AFileName, const TBaseReport& AProfile, int AFirst = 1, int ALast = -1,
                 const TCancelFlag* ACancel = nullptr) const;
  // The same onto any paged device already set up (a printer).
  void PrintPages(QPainter& APainter, TDqPrint& APrint, const TBaseReport& AProfile, int AFirst, int ALast,
                  const TCancelFlag* ACancel = nullptr) const;

  // The rows the spreadsheet format holds below the title rows.
  static constexpr std::int64_t kXLSMaxRows = 65531;
  // The rows of a workbook's sheet.
  static constexpr std::int64_t kXLSXSheetRows = 1048576;

private:
  class TImpl;
  std::unique_ptr<TImpl> FImpl;
  // The CSV's lines (header and rows) in chunks; false when cancelled.
  bool WriteCSVLines(const std::function<void(const QByteArray&)>& AOut, const TCancelFlag* ACancel,
                     std::int64_t& ARows) const;

  TDeviceReportQuery FQuery;
  QString FExportedBy;
  mutable TReportSheetFooter FFooter; // its digest is made by the first print
};

// Pieces of a paged sheet shared with the usage log. The top of the page's
// content: the top margin from the sheet's corner, not above ARect.
int PageTop(const TDqPrint& APrint, const TBaseReport& AProfile, const QRect& ARect);
// "Page %d of %d" right-aligned at the right margin, and at the left
// margin whether the system clock is synchronised.
void DrawPageNumber(QPainter& APainter, const TDqPrint& APrint, const TBaseReport& AProfile, const QRect& ARect,
                    int ATop, int APage, int APageCount);
// A table centred across ARect: a header row at ATop in the painter's
// current font, then rows 6 mm high at font 22; every cell outlined.
void DrawPagedTable(QPainter& APainter, const TDqPrint& APrint, const QRect& ARect, int ATop,
                    const std::vector<double>& AWidths, const QStringList& AHeadings, bool AHeadingBold,
                    const std::vector<QStringList>& ARows);

// A sheet of a log (the usage log, the audit trail): the page number and
// clock state at the top, then ARows under bold AHeadings.
void DrawLogSheet(QPainter& APainter, const TDqPrint& APrint, const TBaseReport& AProfile, const QRect& ARect, int APage,
                  int APageCount, const std::vector<double>& AWidths, const QStringList& AHeadings,
                  const std::vector<QStringList>& ARows);

// Writes to AFileName through a temporary file that replaces it only when
// AWrite finished; raises with the file's error otherwise.
void WriteFileWhole(const QString& AFileName, const std::function<void(QIODevice&)>& AWrite);
// APageCount sheets (at least one) on the profile's paper as a PDF titled
// ATitle, each drawn by ADraw(painter, print, rect, page).
using TDrawSheet = std::function<void(QPainter& APainter, const TDqPrint& APrint, const QRect& ARect, int APage)>;
void WritePagedPDF(const QString& AFileName, const TBaseReport& AProfile, const QString& ATitle, int APageCount,
                   const TDrawSheet& ADraw);
