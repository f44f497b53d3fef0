// A workbook in the Office Open XML format (.xlsx) through libxlsxwriter's
// constant-memory mode: each row goes to disk when the next one starts, so
// memory stays the same whatever the row count. Rows are written in order;
// when a sheet is full the rows go on on a new sheet that repeats the top
// rows (titles and headings). Every cell goes through the library's own
// calls, so that the workbook is whatever the library makes of them.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>
#include <vector>

struct lxw_workbook;
struct lxw_worksheet;
struct lxw_format;

// The rows at the top of every sheet: each title on a row of its own,
// merged across the columns, then the headings, below which the sheet
// scrolls. Widths in characters, by column (missing ones keep the default).
struct TXLSXLayout {
  QStringList Titles;
  QStringList Headings;
  std::vector<double> Widths;
  QString SheetName = QStringLiteral("Sheet");
};

class TXLSXWriter {
public:
  // The rows one sheet holds in the format.
  static constexpr std::int64_t kMaxSheetRows = 1048576;

  // Claims a temporary file beside AFileName (made with the rights a new
  // file gets) that replaces it at Close(). ASheetRows (top rows included)
  // is at most kMaxSheetRows. Raises when the folder cannot take the file.
  TXLSXWriter(const QString& AFileName, const TXLSXLayout& ALayout, std::int64_t ASheetRows = kMaxSheetRows);
  // Without Close() (cancelled, failed) the temporary is removed and
  // AFileName stays as it was: a partial workbook is worse than none.
  ~TXLSXWriter();
  TXLSXWriter(const TXLSXWriter&) = delete;
  TXLSXWriter& operator=(const TXLSXWriter&) = delete;

  // Starts the next row (on a new sheet when this one is full). Raises
  // when the disk refused what was written so far.
  void NewRow();
  // Cells of the current row, by column from 0: each at most once, left to
  // right (they go out as they come).
  void WriteText(int ACol, const QByteArray& AUtf8);
  // A number shown with ADecimals decimals (0..9).
  void WriteNumber(int ACol, double AValue, int ADecimals);
  // Days since 1899-12-30 00:00, the format's own date-time count.
  void WriteDateTime(int ACol, double AValue);

  // Assembles the workbook and puts it in place; raises when it cannot be
  // written.
  void Close();
  int SheetCount() const { return static_cast<int>(FSheets.size()); }
  QString FileName() const { return FFileName; }

private:
  void AddSheet();
  // Raises on the library's refusal, or on a write to its files that the
  // disk refused during the call.
  void Check(int AResult) const;
  [[noreturn]] void Raise(const QString& AProblem) const;

  QString FFileName;
  QByteArray FTemporary; // beside the target, until Close()
  TXLSXLayout FLayout;
  std::int64_t FSheetRows;
  lxw_workbook* FWorkbook = nullptr;
  std::vector<lxw_worksheet*> FSheets;
  lxw_worksheet* FSheet = nullptr;
  std::int64_t FRow = -1; // the row being written on FSheet
  lxw_format* FTitleFormat = nullptr;
  lxw_format* FSubtitleFormat = nullptr;
  lxw_format* FHeadingFormat = nullptr;
  lxw_format* FDateTimeFormat = nullptr;
  lxw_format* FNumberFormats[10] = {};
  bool FClosed = false;
};
