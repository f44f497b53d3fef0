#include "Tervox_DeviceReport.h"

#include "Tervox_Report.h"
#include "Tervox_ReportStamp.h"
#include "Tervox_ReportText.h"

#include "graph/DqPrint.h"
#include "core/DqClock.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/DqSQLiteStatement.h"
#include "Tervox_PagedReader.h"
#include "XLSExport.h"
#include "XLSXExport.h"

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

#include <sqlite3.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

const char* const kReportPeriodNames[kReportPeriodCount] = {"1 Second",   "30 Second",  "1 Minute", "5 Minutes",
                                                            "10 Minutes", "30 Minutes", "1 Hour",   "1 Day"};
const int kReportPeriodGroups[kReportPeriodCount] = {0, 2880, 1440, 288, 144, 48, 24, 1};
const char* const kReportColumnNames[7] = {"PV", "SV", "OUT1", "OUT2", "EV1", "EV2", "EV3"};

using namespace tervox_report;

namespace {

// A 1-second report is counted an hour at a time: the same rows as one
// count, and any page is then a seek to its hour and at most an hour's rows
// skipped inside the index.
constexpr double kSegmentsPerDay = 24;
// Group starts are sought a little early so that no reading whose product
// rounds into the next group is passed over; those still in the old group
// are stepped over.
constexpr double kSeekMargin = 1e-9;

int RoundInt(double AValue) { return static_cast<int>(std::lround(AValue)); }

// The group of a reading, as SQLite's ROUND(ReadTime * N) makes it.
std::int64_t GroupOf(double AReadTime, int AGroups) {
  const double x = AReadTime * AGroups;
  return x >= 0 ? static_cast<std::int64_t>(x + 0.5) : -static_cast<std::int64_t>(-x + 0.5);
}


// A statement of the report's own connection.
class TStatement : public TSQLiteStatement {
public:
  TStatement(sqlite3* ADb, const QByteArray& ASQL) : TSQLiteStatement(Errors(), ADb, ASQL) {}

private:
  static const TErrors& Errors() {
    static const TErrors errors{QStringLiteral("Failed to prepare the report query: %1"), QString(), false};
    return errors;
  }
};

constexpr const char* kRowColumns = "ReadTime, Digit, PV, SV, OUT1, OUT2, IsEV1, IsEV2, IsEV3";

TReportRow ReadRow(sqlite3_stmt* AStmt) {
  TReportRow row;
  row.ReadTime = sqlite3_column_double(AStmt, 0);
  row.Digit = sqlite3_column_int(AStmt, 1);
  for (int i = 0; i < 4; ++i)
    row.Values[i] = sqlite3_column_type(AStmt, 2 + i) == SQLITE_NULL ? kReportNoValue : sqlite3_column_double(AStmt, 2 + i);
  for (int i = 0; i < 3; ++i) row.IsEV[i] = sqlite3_column_int(AStmt, 6 + i) != 0;
  return row;
}


} // namespace

// ---------------------------------------------------------------- texts

int ReportPeriodIndex(const QString& AName) {
  for (int i = 0; i < kReportPeriodCount; ++i)
    if (AName.compare(QLatin1String(kReportPeriodNames[i]), Qt::CaseInsensitive) == 0) return i;
  return -1;
}

bool ParseReportColumns(const QString& AText, unsigned& AColumns) {
  AColumns = 0;
  for (const QString& part : AText.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    const QString name = part.trimmed();
    int found = -1;
    for (int i = 0; i < 7; ++i)
      if (name.compare(QLatin1String(kReportColumnNames[i]), Qt::CaseInsensitive) == 0) found = i;
    if (found < 0) return false;
    AColumns |= 1u << found;
  }
  return true;
}

int ReportRowsPerPage(const TBaseReport& AProfile) {
  const int rows =
      RoundInt((AProfile.SheetHeight() - AProfile.MarginBottom() - AProfile.MarginTop() - 18) / 6) - 1;
  // Tiny paper still holds one row a page.
  return std::max(rows, 1);
}

std::vector<double> ReportColumnWidths(unsigned AColumns) {
  std::vector<double> widths{40};
  const int shown = std::popcount(AColumns & rcAll);
  for (int i = 0; i < 7; ++i)
    if (AColumns & (1u << i)) widths.push_back(140.0 / shown);
  return widths;
}

QString ReportTimeText(double ADateTime) {
  const TDayTime t = DecodeDayTime(ADateTime);
  QByteArray text;
  text.reserve(20);
  AppendTwo(text, t.Day);
  text.append('/');
  AppendTwo(text, t.Month);
  text.append('/');
  AppendTwo(text, t.Year % 100);
  text.append(" - ");
  AppendTwo(text, t.Hour);
  text.append(':');
  AppendTwo(text, t.Minute);
  text.append(':');
  AppendTwo(text, t.Second);
  return QString::fromLatin1(text);
}

QString ReportValueText(double AValue, int ADigit) {
  if (IsNoValue(AValue)) return QStringLiteral("-");
  QByteArray text;
  AppendNumber(text, AValue, ADigit);
  return QString::fromLatin1(text);
}

QString FormatFixed(double AValue, int ADigit) {
  char buffer[400];
  std::snprintf(buffer, sizeof buffer, "%.*f", std::clamp(ADigit, 0, 9), AValue);
  return QString::fromLatin1(buffer);
}

QString ReportRangeText(double AFrom, double ATo) {
  auto text = [](double AValue) {
    const QDateTime dt = DateTimeToQDateTime(AValue);
    return UserLocale().toString(dt.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           dt.time().toString(QStringLiteral("HH:mm:ss"));
  };
  return text(AFrom) + QStringLiteral(" - ") + text(ATo);
}

// ---------------------------------------------------------------- report

class TDeviceReport::TImpl {
public:
  explicit TImpl(const QString& AFileName) : Database(AFileName) {
    Database.Open();
    Database.SetTimeout(5000);
  }
  TSQLiteDatabase Database;
  // The count; for 1-second reports the start of every hour that has
  // readings and the rows before it.
  TPagedReader Pages;
  // Grouped reports: the key of every row (the first reading of each group).
  std::vector<double> GroupKeys;
  bool Grouped = false;
};

TDeviceReport::TDeviceReport(const QString& AFileName) : FImpl(std::make_unique<TImpl>(AFileName)) {}

TDeviceReport::~TDeviceReport() = default;

QString TDeviceReport::DatabaseFileName() const { return FImpl->Database.FileName(); }

std::unique_ptr<TDeviceReport> TDeviceReport::OpenCopy() const {
  auto copy = std::make_unique<TDeviceReport>(FImpl->Database.FileName());
  copy->FQuery = FQuery;
  copy->FImpl->Pages = FImpl->Pages;
  copy->FImpl->GroupKeys = FImpl->GroupKeys;
  copy->FImpl->Grouped = FImpl->Grouped;
  return copy;
}

bool TDeviceReport::Open(const TDeviceReportQuery& AQuery, const TCancelFlag* ACancel, const TProgressEvent& AProgress) {
  FQuery = AQuery;
  FImpl->Pages.Clear();
  FImpl->GroupKeys.clear();
  FImpl->Grouped = AQuery.Period > 0 && AQuery.Period < kReportPeriodCount;
  sqlite3* db = FImpl->Database.Handle();
  FImpl->Database.SetCancelFlag(ACancel);
  struct TRestore {
    TSQLiteDatabase& Database;
    ~TRestore() { Database.SetCancelFlag(nullptr); }
  } restore{FImpl->Database};
  const double span = std::max(AQuery.LastTime - AQuery.FirstTime, 1e-12);

  if (!FImpl->Grouped) {
    TStatement count(db, "SELECT count(*) FROM DeviceData WHERE DeviceID = ?1 AND ReadTime >= ?2 AND ReadTime < ?3");
    count.Bind(1, AQuery.DeviceID);
    const double end = std::nextafter(AQuery.LastTime, std::numeric_limits<double>::infinity());
    std::int64_t total = 0;
    for (double from = AQuery.FirstTime; from < end;) {
      double to = (std::floor(from * kSegmentsPerDay) + 1) / kSegmentsPerDay;
      if (to <= from) to = (std::floor(from * kSegmentsPerDay) + 2) / kSegmentsPerDay; // rounding at a boundary
      to = std::min(to, end);
      count.Reset();
      count.Bind(2, from);
      count.Bind(3, to);
      const int rc = sqlite3_step(count.Stmt());
      if (rc == SQLITE_INTERRUPT || (ACancel && ACancel->load())) {
        FImpl->Pages.Clear();
        return false;
      }
      if (rc != SQLITE_ROW) FImpl->Database.RaiseError(QStringLiteral("Failed to count the report"), QString());
      const std::int64_t rows = sqlite3_column_int64(count.Stmt(), 0);
      if (rows > 0) {
        FImpl->Pages.AddKey(from, total);
        total += rows;
      }
      from = to;
      if (AProgress) AProgress(std::clamp((from - AQuery.FirstTime) / span, 0.0, 1.0));
    }
    count.Reset();
    FImpl->Pages.SetRecordCount(total);
    return true;
  }

  // One seek per group: the first reading at or after the group's start.
  const int groups = kReportPeriodGroups[AQuery.Period];
  TStatement seek(db, "SELECT ReadTime FROM DeviceData WHERE DeviceID = ?1 AND ReadTime >= ?2 "
                      "AND ReadTime <= ?3 ORDER BY ReadTime");
  seek.Bind(1, AQuery.DeviceID);
  seek.Bind(3, AQuery.LastTime);
  double from = AQuery.FirstTime;
  std::int64_t lastGroup = std::numeric_limits<std::int64_t>::min();
  for (std::int64_t n = 0;; ++n) {
    seek.Reset();
    seek.Bind(2, from);
    bool found = false;
    int rc;
    while ((rc = sqlite3_step(seek.Stmt())) == SQLITE_ROW) {
      const double readTime = sqlite3_column_double(seek.Stmt(), 0);
      const std::int64_t group = GroupOf(readTime, groups);
      if (group > lastGroup) {
        FImpl->GroupKeys.push_back(readTime);
        lastGroup = group;
        found = true;
        break;
      }
    }
    if (rc == SQLITE_INTERRUPT || (ACancel && ACancel->load())) {
      FImpl->GroupKeys.clear();
      return false;
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
      FImpl->Database.RaiseError(QStringLiteral("Failed to count the report"), QString());
    if (!found) break;
    from = (static_cast<double>(lastGroup) + 0.5) / groups - kSeekMargin;
    if (AProgress && n % 4096 == 0) AProgress(std::clamp((from - AQuery.FirstTime) / span, 0.0, 1.0));
  }
  seek.Reset();
  FImpl->Pages.SetRecordCount(static_cast<std::int64_t>(FImpl->GroupKeys.size()));
  if (AProgress) AProgress(1.0);
  return true;
}

std::int64_t TDeviceReport::RecordCount() const { return FImpl->Pages.RecordCount(); }

int TDeviceReport::PageCount(int ARowsPerPage) const { return FImpl->Pages.PageCount(ARowsPerPage); }

std::vector<TReportRow> TDeviceReport::Rows(std::int64_t AFirst, int ACount) const {
  std::vector<TReportRow> rows;
  if (!FImpl->Pages.Holds(AFirst, ACount)) return rows;
  sqlite3* db = FImpl->Database.Handle();
  const QByteArray columns(kRowColumns);
  if (FImpl->Grouped) {
    TStatement fetch(db, "SELECT " + columns + " FROM DeviceData WHERE DeviceID = ?1 AND ReadTime = ?2");
    fetch.Bind(1, FQuery.DeviceID);
    const std::int64_t last = std::min<std::int64_t>(AFirst + ACount, RecordCount());
    for (std::int64_t i = AFirst; i < last; ++i) {
      fetch.Reset();
      fetch.Bind(2, FImpl->GroupKeys[static_cast<std::size_t>(i)]);
      if (sqlite3_step(fetch.Stmt()) == SQLITE_ROW) rows.push_back(ReadRow(fetch.Stmt()));
    }
    return rows;
  }
  TStatement page(db, "SELECT " + columns +
                          " FROM DeviceData WHERE DeviceID = ?1 AND ReadTime >= ?2 AND ReadTime <= ?3 "
                          "ORDER BY ReadTime LIMIT ?4 OFFSET ?5");
  page.Bind(1, FQuery.DeviceID);
  page.Bind(3, FQuery.LastTime);
  // From the hour holding row AFirst, the rows before it in that hour skipped.
  FImpl->Pages.ReadPage(page, 2, AFirst, ACount, [&rows](sqlite3_stmt* AStmt) { rows.push_back(ReadRow(AStmt)); });
  return rows;
}

bool TDeviceReport::ForEachRow(const std::function<bool(const TReportRow&)>& AHandler, const TCancelFlag* ACancel) const {
  if (RecordCount() == 0) return true;
  if (FImpl->Grouped)
    return FImpl->Pages.ForEachBatch(1024, ACancel, [&](std::int64_t AFirst, int ACount) {
      for (const TReportRow& row : Rows(AFirst, ACount))
        if (!AHandler(row)) return false;
      return true;
    });
  sqlite3* db = FImpl->Database.Handle();
  TStatement all(db, "SELECT " + QByteArray(kRowColumns) +
                         " FROM DeviceData WHERE DeviceID = ?1 AND ReadTime >= ?2 AND ReadTime <= ?3 ORDER BY ReadTime");
  all.Bind(1, FQuery.DeviceID);
  all.Bind(2, FQuery.FirstTime);
  all.Bind(3, FQuery.LastTime);
  std::int64_t n = 0;
  while (sqlite3_step(all.Stmt()) == SQLITE_ROW) {
    if ((++n & 0xFFF) == 0 && ACancel && ACancel->load()) return false;
    if (!AHandler(ReadRow(all.Stmt()))) return false;
  }
  return true;
}

std::vector<TReportCell> TDeviceReport::Cells() const {
  std::vector<TReportCell> cells{{TReportCell::ckReadTime, 0}};
  for (int i = 0; i < 4; ++i)
    if (FQuery.Columns & (1u << i)) cells.push_back({TReportCell::ckValue, i});
  for (int i = 0; i < 3; ++i)
    if (FQuery.Columns & (1u << (4 + i))) cells.push_back({TReportCell::ckEvent, i});
  return cells;
}

QStringList TDeviceReport::TitleTexts() const {
  return {QStringLiteral("TERVOX REPORT"), QStringLiteral("Device Name: ") + FQuery.DeviceName,
          ReportRangeText(FQuery.FirstTime, FQuery.LastTime)};
}

QStringList TDeviceReport::Headings() const {
  QStringList headings;
  for (const TReportCell& cell : Cells())
    switch (cell.Kind) {
    case TReportCell::ckReadTime: headings << QStringLiteral("Read Time"); break;
    case TReportCell::ckValue: headings << QString::fromLatin1(kReportColumnNames[cell.Index]); break;
    case TReportCell::ckEvent: headings << QString::fromLatin1(kReportColumnNames[4 + cell.Index]); break;
    }
  return headings;
}

QStringList TDeviceReport::RowTexts(const TReportRow& ARow) const {
  QStringList texts;
  for (const TReportCell& cell : Cells())
    switch (cell.Kind) {
    case TReportCell::ckReadTime: texts << ReportTimeText(ARow.ReadTime); break;
    case TReportCell::ckValue: texts << ReportValueText(ARow.Values[cell.Index], ARow.Digit); break;
    case TReportCell::ckEvent: texts << (ARow.IsEV[cell.Index] ? QStringLiteral("On") : QStringLiteral("Off")); break;
    }
  return texts;
}

// ---------------------------------------------------------------- drawing

namespace {

void SetFont(QPainter& APainter, const TDqPrint& APrint, double ASize, bool ABold) {
  QFont font(QStringLiteral("Microsoft Sans Serif"));
  font.setPointSize(APrint.FontScale(ASize));
  font.setBold(ABold);
  APainter.setFont(font);
}

// Text centred in a cell horizontally, and vertically by the height of "A"
// in a row ARowHeight high.
void CellText(QPainter& APainter, int ALeft, int AWidth, int ATop, int ARowHeight, const QString& AText) {
  const QFontMetrics metrics = APainter.fontMetrics();
  const int x = ALeft + (AWidth - metrics.horizontalAdvance(AText)) / 2;
  const int y = ATop + (ARowHeight - metrics.height()) / 2;
  APainter.drawText(x, y + metrics.ascent(), AText);
}

} // namespace

void DrawPagedTable(QPainter& APainter, const TDqPrint& APrint, const QRect& ARect, int ATop,
                    const std::vector<double>& AWidths, const QStringList& AHeadings, bool AHeadingBold,
                    const std::vector<QStringList>& ARows) {
  int tableWidth = 1;
  for (double width : AWidths) tableWidth += APrint.ScaleX(width);
  const int x0 = ARect.left() + (ARect.width() - tableWidth) / 2;
  const int rowHeight = APrint.ScaleY(6);
  APainter.setPen(QPen(Qt::black, 1));
  APainter.setBrush(Qt::NoBrush);
  auto drawRow = [&](int ATopY, int ABottomY, const QStringList& ATexts) {
    double total = 0;
    int left = x0;
    for (std::size_t c = 0; c < AWidths.size(); ++c) {
      total += AWidths[c];
      const int right = x0 + APrint.ScaleX(total);
      // Neighbouring cells share their border lines.
      APainter.drawRect(QRect(QPoint(left, ATopY), QPoint(right, ABottomY)));
      if (static_cast<qsizetype>(c) < ATexts.size())
        CellText(APainter, left, APrint.ScaleX(AWidths[c]), ATopY, rowHeight, ATexts.at(static_cast<qsizetype>(c)));
      left = right;
    }
  };
  QFont font = APainter.font();
  font.setBold(AHeadingBold);
  APainter.setFont(font);
  drawRow(ATop, ATop + rowHeight, AHeadings);
  SetFont(APainter, APrint, 22, false);
  int top = ATop + rowHeight;
  for (std::size_t k = 1; k <= ARows.size(); ++k) {
    // Each bottom from the header's top, so that rounding does not add up.
    const int bottom = ATop + APrint.ScaleY(6.0 * static_cast<double>(k + 1));
    drawRow(top, bottom, ARows[k - 1]);
    top = bottom;
  }
}

void DrawPageNumber(QPainter& APainter, const TDqPrint& APrint, const TBaseReport& AProfile, const QRect& ARect,
                    int ATop, int APage, int APageCount) {
  SetFont(APainter, APrint, 20, false);
  const QString text = QStringLiteral("Page %1 of %2").arg(APage).arg(APageCount);
  const int right = std::min(ARect.left() + APrint.PosScaleX(std::round(AProfile.SheetWidth() - AProfile.MarginRight())),
                             ARect.right() + 1);
  const QFontMetrics metrics = APainter.fontMetrics();
  APainter.drawText(right - metrics.horizontalAdvance(text), ATop + metrics.ascent(), text);
  // Times on paper are only as good as the clock that stamped them.
  const int left = std::max(ARect.left() + APrint.PosScaleX(std::round(AProfile.MarginLeft())), ARect.left());
  APainter.drawText(left, ATop + metrics.ascent(), ClockStatusText());
}

void DrawLogSheet(QPainter& APainter, const TDqPrint& APrint, const TBaseReport& AProfile, const QRect& ARect, int APage,
                  int APageCount, const std::vector<double>& AWidths, const QStringList& AHeadings,
                  const std::vector<QStringList>& ARows) {
  APainter.save();
  APainter.setBackgroundMode(Qt::TransparentMode);
  const int y0 = PageTop(APrint, AProfile, ARect);
  DrawPageNumber(APainter, APrint, AProfile, ARect, y0, APage, APageCount);
  SetFont(APainter, APrint, 20, true);
  DrawPagedTable(APainter, APrint, ARect, y0 + APrint.ScaleY(8), AWidths, AHeadings, true, ARows);
  APainter.restore();
}

int PageTop(const TDqPrint& APrint, const TBaseReport& AProfile, const QRect& ARect) {
  return std::max(ARect.top() + APrint.PosScaleY(std::round(AProfile.MarginTop())), ARect.top());
}

std::vector<QStringList> TDeviceReport::PageTexts(int APage, int ARowsPerPage) const {
  std::vector<QStringList> texts;
  for (const TReportRow& row : Rows(TPagedReader::PageStart(APage, ARowsPerPage), ARowsPerPage))
    texts.push_back(RowTexts(row));
  return texts;
}

void TDeviceReport::DrawPage(QPainter& APainter, const TDqPrint& APrint, const TBaseReport& AProfile,
                             const QRect& ARect, int APage, int APageCount) const {
  DrawPageTexts(APainter, APrint, AProfile, ARect, APage, APageCount, PageTexts(APage, ReportRowsPerPage(AProfile)));
}

void TDeviceReport::DrawPageTexts(QPainter& APainter, const TDqPrint& APrint, const TBaseReport& AProfile,
                                  const QRect& ARect, int APage, int APageCount,
                                  const std::vector<QStringList>& ATexts) const {
  APainter.save();
  APainter.setBackgroundMode(Qt::TransparentMode);
  const int y0 = PageTop(APrint, AProfile, ARect);
  DrawPageNumber(APainter, APrint, AProfile, ARect, y0, APage, APageCount);
  auto centred = [&](int ATop, const QString& AText) {
    const QFontMetrics metrics = APainter.fontMetrics();
    APainter.drawText(ARect.left() + (ARect.width() - metrics.horizontalAdvance(AText)) / 2, ATop + metrics.ascent(),
                      AText);
  };
  const QStringList titles = TitleTexts();
  SetFont(APainter, APrint, 36, true);
  centred(y0, titles.at(0));
  SetFont(APainter, APrint, 28, false);
  centred(y0 + APrint.ScaleY(6.4), titles.at(1));
  centred(y0 + APrint.ScaleY(12), titles.at(2));
  DrawPagedTable(APainter, APrint, ARect, y0 + APrint.ScaleY(18), ReportColumnWidths(FQuery.Columns), Headings(), false,
                 ATexts);
  if (!FFooter.User.isEmpty()) {
    // In the bottom margin, below the last row a sheet holds.
    SetFont(APainter, APrint, 14, false);
    const int left = std::max(ARect.left() + APrint.PosScaleX(std::round(AProfile.MarginLeft())), ARect.left());
    const int y = ARect.top() + APrint.PosScaleY(std::round(AProfile.SheetHeight() - AProfile.MarginBottom() + 1)) +
                  APainter.fontMetrics().ascent();
    QStringList lines{QStringLiteral("Station %1, printed by %2 at %3, period %4")
                          .arg(FFooter.Station, FFooter.User,
                               DateTimeToQDateTime(FFooter.At).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                               ReportRangeText(FQuery.FirstTime, FQuery.LastTime)),
                      QStringLiteral("Digest of the report's %1 rows: %2; verified: %3")
                          .arg(RecordCount())
                          .arg(FFooter.Digest, FFooter.Verified)};
    if (!FFooter.Approval.isEmpty()) lines << FFooter.Approval;
    for (qsizetype i = 0; i < lines.size(); ++i)
      APainter.drawText(left, y + static_cast<int>(i) * APainter.fontMetrics().height(), lines.at(i));
  }
  APainter.restore();
}

void TDeviceReport::PrintPages(QPainter& APainter, TDqPrint& APrint, const TBaseReport& AProfile, int AFirst, int ALast,
                               const TCancelFlag* ACancel) const {
  auto* device = dynamic_cast<QPagedPaintDevice*>(APainter.device());
  const int pageCount = PageCount(ReportRowsPerPage(AProfile));
  if (!FFooter.User.isEmpty() && FFooter.Digest.isEmpty()) {
    FFooter.Digest = RowsDigest(ACancel);
    FFooter.Verified = RowsVerifiedText(DatabaseFileName(), FQuery.FirstTime, FQuery.LastTime);
    FFooter.At = Now();
  }
  APrint.SetPrinterMode(APainter.device());
  const QRect rect = PrintableRect(APainter.device());
  for (int page = AFirst; page <= ALast; ++page) {
    if (ACancel && ACancel->load()) return;
    DrawPage(APainter, APrint, AProfile, rect, page, pageCount);
    if (page < ALast && device) device->newPage();
  }
}

void TDeviceReport::ExportPDF(const QString& AFileName, const TBaseReport& AProfile, int AFirst, int ALast,
                              const TCancelFlag* ACancel) const {
  const int pageCount = std::max(PageCount(ReportRowsPerPage(AProfile)), 1);
  const int first = std::clamp(AFirst, 1, pageCount);
  const int last = ALast < 1 ? pageCount : std::clamp(ALast, first, pageCount);
  WriteFileWhole(AFileName, [&](QIODevice& AFile) {
    QPdfWriter pdf(&AFile);
    pdf.setTitle(QStringLiteral("Tervox Report"));
    pdf.setCreator(QStringLiteral("TERVOX"));
    pdf.setResolution(600);
    pdf.setPageLayout(AProfile.PageLayout());
    QPainter painter(&pdf);
    TDqPrint print;
    print.PaperWidth = AProfile.SheetWidth();
    print.PaperHeight = AProfile.SheetHeight();
    PrintPages(painter, print, AProfile, first, last, ACancel);
    painter.end();
    if (ACancel && ACancel->load()) throw EDqException(QStringLiteral("Export cancelled"));
  });
}

// ---------------------------------------------------------------- exports

void WritePagedPDF(const QString& AFileName, const TBaseReport& AProfile, const QString& ATitle, int APageCount,
                   const TDrawSheet& ADraw) {
  const int pageCount = std::max(APageCount, 1);
  WriteFileWhole(AFileName, [&](QIODevice& AFile) {
    QPdfWriter pdf(&AFile);
    pdf.setTitle(ATitle);
    pdf.setCreator(QStringLiteral("TERVOX"));
    pdf.setResolution(600);
    pdf.setPageLayout(AProfile.PageLayout());
    QPainter painter(&pdf);
    TDqPrint print;
    print.PaperWidth = AProfile.SheetWidth();
    print.PaperHeight = AProfile.SheetHeight();
    print.SetPrinterMode(&pdf);
    const QRect rect = PrintableRect(&pdf);
    for (int page = 1; page <= pageCount; ++page) {
      ADraw(painter, print, rect, page);
      if (page < pageCount) pdf.newPage();
    }
  });
}

void WriteFileWhole(const QString& AFileName, const std::function<void(QIODevice&)>& AWrite) {
  QSaveFile file(AFileName);
  if (!file.open(QIODevice::WriteOnly))
    throw EDqException(QStringLiteral("Cannot write \"%1\": %2").arg(AFileName, file.errorString()));
  AWrite(file); // an exception leaves the old file (or none) in place
  if (!file.commit())
    throw EDqException(QStringLiteral("Cannot write \"%1\": %2").arg(AFileName, file.errorString()));
}

TDeviceReport::TExportResult TDeviceReport::ExportXLS(const QString& AFileName, const TCancelFlag* ACancel) const {
  TExportResult result;
  TXLSWriter writer(AFileName, 100, 65535);
  TExtendedFormat format;
  format.SetBits(xfParentStyle, 1);
  format.SetBits(xfHorizontalAlign, 2);
  format.SetBits(xfAlignUsed, 1);
  format.SetBits(xfPatternUsed, 1);
  format.SetBits(xfPatternColour, 10);
  writer.WriteExtendedFormat(format);
  writer.WriteColumnInfo({0, 0, 5632, 1, 0, 0});
  const QStringList titles = TitleTexts();
  for (qsizetype r = 0; r < titles.size(); ++r) writer.SetCells(0, static_cast<std::uint16_t>(r), titles.at(r));
  const QStringList headings = Headings();
  for (qsizetype c = 0; c < headings.size(); ++c)
    writer.SetCellsA(static_cast<std::uint16_t>(c), 3, acShaded | acBottomBorder | acCenter | acFill, headings.at(c));
  std::uint16_t row = 4;
  const bool complete = ForEachRow(
      [&](const TReportRow& ARow) {
        // Row numbers are 16-bit: stop at the last row the format holds.
        if (result.RowsWritten >= kXLSMaxRows) return false;
        const QStringList texts = RowTexts(ARow);
        for (qsizetype c = 0; c < texts.size(); ++c) writer.SetCells(static_cast<std::uint16_t>(c), row, texts.at(c));
        ++row;
        ++result.RowsWritten;
        return true;
      },
      ACancel);
  if (ACancel && ACancel->load()) throw EDqException(QStringLiteral("Export cancelled"));
  if (!complete) result.RowsLeftOut = RecordCount() - result.RowsWritten;
  writer.Close();
  result.LostCharacters = writer.LostCharacters();
  return result;
}

TDeviceReport::TExportResult TDeviceReport::ExportXLSX(const QString& AFileName, const TCancelFlag* ACancel,
                                                       const TProgressEvent& AProgress, std::int64_t ASheetRows) const {
  TExportResult result;
  const std::vector<TReportCell> cells = Cells();
  TXLSXLayout layout;
  layout.Titles = TitleTexts();
  layout.Headings = Headings();
  layout.SheetName = QStringLiteral("Report");
  layout.Widths.assign(cells.size(), 10);
  layout.Widths[0] = 20;
  TXLSXWriter writer(AFileName, layout, ASheetRows);
  const QByteArray on("On");
  const QByteArray off("Off");
  const double total = std::max<double>(static_cast<double>(RecordCount()), 1);
  auto write = [&](const TReportRow& ARow) {
    writer.NewRow();
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const int col = static_cast<int>(c);
      const int i = cells[c].Index;
      switch (cells[c].Kind) {
      case TReportCell::ckReadTime: writer.WriteDateTime(col, ARow.ReadTime); break;
      case TReportCell::ckValue:
        // No value stays empty: a chart leaves a gap there, where text would read as 0.
        if (!IsNoValue(ARow.Values[i])) writer.WriteNumber(col, ARow.Values[i], ARow.Digit);
        break;
      case TReportCell::ckEvent: writer.WriteText(col, ARow.IsEV[i] ? on : off); break;
      }
    }
    if ((++result.RowsWritten & 0x3FFF) == 0 && AProgress) AProgress(static_cast<double>(result.RowsWritten) / total);
  };

  // The rows are read on a thread of their own, a batch ahead of the
  // writing: reading was a quarter of the export, the other core idle.
  constexpr std::size_t kBatch = 4096;
  std::mutex lock;
  std::condition_variable changed;
  std::vector<TReportRow> filled;  // handed over by the reader
  bool readerDone = false;
  bool readerComplete = false;
  bool writerStopped = false;
  std::exception_ptr readerError;
  std::thread reader([&] {
    std::vector<TReportRow> batch;
    batch.reserve(kBatch);
    auto handOver = [&] {
      std::unique_lock<std::mutex> guard(lock);
      changed.wait(guard, [&] { return filled.empty() || writerStopped; });
      if (writerStopped) return false;
      filled.swap(batch);
      changed.notify_all();
      return true;
    };
    bool complete = false;
    try {
      complete = ForEachRow(
          [&](const TReportRow& ARow) {
            batch.push_back(ARow);
            return batch.size() < kBatch || handOver();
          },
          ACancel);
      if (complete && !batch.empty()) complete = handOver();
    } catch (...) {
      readerError = std::current_exception();
    }
    std::lock_guard<std::mutex> guard(lock);
    readerDone = true;
    readerComplete = complete;
    changed.notify_all();
  });
  bool done = false;
  try {
    std::vector<TReportRow> batch;
    for (;;) {
      {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return !filled.empty() || readerDone; });
        if (filled.empty()) {
          done = readerComplete;
          break;
        }
        batch.swap(filled);
        changed.notify_all();
      }
      for (const TReportRow& row : batch) write(row);
      batch.clear();
    }
  } catch (...) {
    {
      std::lock_guard<std::mutex> guard(lock);
      writerStopped = true;
      changed.notify_all();
    }
    reader.join();
    throw;
  }
  reader.join();
  if (readerError) std::rethrow_exception(readerError);
  if (!done) throw EDqException(QStringLiteral("Export cancelled"));
  writer.Close();
  result.Sheets = writer.SheetCount();
  if (AProgress) AProgress(1.0);
  return result;
}
