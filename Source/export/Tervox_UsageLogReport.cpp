#include "Tervox_UsageLogReport.h"

#include "Tervox_Report.h"

#include "graph/DqPrint.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "store/DqSQLiteStatement.h"

#include <QIODevice>
#include <QPainter>
#include <QDateTime>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kKeyStride = 64;
const double kLogColumnWidths[] = {30, 50, 30, 20, 50};

QString FieldText(sqlite3_stmt* AStmt, int AColumn) {
  const void* text = sqlite3_column_text16(AStmt, AColumn);
  if (!text) return QString();
  return QString::fromUtf16(static_cast<const char16_t*>(text), sqlite3_column_bytes16(AStmt, AColumn) / 2);
}


} // namespace

int UsageLogRowsPerPage(const TBaseReport& AProfile) {
  const int rows =
      static_cast<int>(std::lround((AProfile.SheetHeight() - AProfile.MarginBottom() - AProfile.MarginTop() - 8) / 6)) - 1;
  return std::max(rows, 1);
}

TUsageLogReport::TUsageLogReport(TSQLiteDatabase* ADatabase) : FDatabase(ADatabase) {}

TUsageLogReport::TUsageLogReport(const QString& AFileName)
    : FOwnDatabase(std::make_unique<TSQLiteDatabase>(AFileName)), FDatabase(FOwnDatabase.get()) {
  FOwnDatabase->Open();
  FOwnDatabase->SetTimeout(5000);
}

TUsageLogReport::~TUsageLogReport() = default;

bool TUsageLogReport::Open(const TCancelFlag* ACancel) {
  FRanged = false;
  return Open(0, 0, ACancel);
}

bool TUsageLogReport::Open(double AFirstTime, double ALastTime, const TCancelFlag* ACancel) {
  if (AFirstTime != 0 || ALastTime != 0) FRanged = true;
  FFirstTime = AFirstTime;
  FLastTime = ALastTime;
  FPages.Clear();
  std::int64_t count = 0;
  std::unique_ptr<TSQLiteTable> table = std::make_unique<TSQLiteTable>(FDatabase);
  table->SetSQL(QStringLiteral("SELECT LogTime FROM UsageLog%1 ORDER BY LogTime DESC")
                    .arg(FRanged ? QStringLiteral(" WHERE LogTime >= :First AND LogTime <= :Last") : QString()));
  if (FRanged) {
    table->SetParamValues(":First", TVariant::FromDateTime(FFirstTime));
    table->SetParamValues(":Last", TVariant::FromDateTime(FLastTime));
  }
  table->Open();
  while (!table->Eof()) {
    if (count % kKeyStride == 0) {
      if (ACancel && ACancel->load()) {
        FPages.Clear();
        return false;
      }
      FPages.AddKey(table->GetFields(0)->AsFloat(), count);
    }
    ++count;
    table->Next();
  }
  FPages.SetRecordCount(count);
  return true;
}

int TUsageLogReport::PageCount(int ARowsPerPage) const { return FPages.PageCount(ARowsPerPage); }

std::vector<TUsageLogRow> TUsageLogReport::Rows(std::int64_t AFirst, int ACount) const {
  std::vector<TUsageLogRow> rows;
  if (!FPages.Holds(AFirst, ACount)) return rows;
  const QByteArray sql = "SELECT LogTime, Detail, DeviceName, EVStatus, PV, Digit FROM UsageLog WHERE LogTime <= ?1" +
                         QByteArray(FRanged ? " AND LogTime >= ?2" : "") +
                         " ORDER BY LogTime DESC LIMIT ?4 OFFSET ?5";
  static const TSQLiteStatement::TErrors errors{QStringLiteral("Failed to read the usage log"), QString()};
  TSQLiteStatement page(errors, FDatabase->Handle(), sql);
  if (FRanged) page.Bind(2, FFirstTime);
  FPages.ReadPage(page, 1, AFirst, ACount, [&rows](sqlite3_stmt* AStmt) {
    TUsageLogRow row;
    row.LogTime = sqlite3_column_double(AStmt, 0);
    row.Detail = FieldText(AStmt, 1);
    row.DeviceName = FieldText(AStmt, 2);
    row.EVStatus = FieldText(AStmt, 3);
    row.PV = sqlite3_column_double(AStmt, 4); // NULL and '' read as 0
    row.Digit = sqlite3_column_int(AStmt, 5);
    rows.push_back(row);
  });
  return rows;
}

QStringList TUsageLogReport::Headings() {
  return {QStringLiteral("Log Time"), QStringLiteral("Description"), QStringLiteral("Device Name"),
          QStringLiteral("Status"), QStringLiteral("PV")};
}

QStringList TUsageLogReport::RowTexts(const TUsageLogRow& ARow) {
  return {ReportTimeText(ARow.LogTime), ARow.Detail, ARow.DeviceName, ARow.EVStatus,
          FormatFixed(ARow.PV, ARow.Digit)};
}

void TUsageLogReport::DrawPage(QPainter& APainter, const TDqPrint& APrint, const TBaseReport& AProfile,
                               const QRect& ARect, int APage, int APageCount) const {
  std::vector<QStringList> texts;
  const int rowsPerPage = UsageLogRowsPerPage(AProfile);
  for (const TUsageLogRow& row : Rows(TPagedReader::PageStart(APage, rowsPerPage), rowsPerPage))
    texts.push_back(RowTexts(row));
  DrawLogSheet(APainter, APrint, AProfile, ARect, APage, APageCount,
               std::vector<double>(std::begin(kLogColumnWidths), std::end(kLogColumnWidths)), Headings(), texts);
}

void TUsageLogReport::ExportPDF(const QString& AFileName, const TBaseReport& AProfile) const {
  const int pageCount = std::max(PageCount(UsageLogRowsPerPage(AProfile)), 1);
  WritePagedPDF(AFileName, AProfile, QStringLiteral("Tervox Usage Log"), pageCount,
                [&](QPainter& APainter, const TDqPrint& APrint, const QRect& ARect, int APage) {
                  DrawPage(APainter, APrint, AProfile, ARect, APage, PageCount(UsageLogRowsPerPage(AProfile)));
                });
}

std::int64_t TUsageLogReport::ExportCSV(const QString& AFileName) const {
  std::int64_t written = 0;
  WriteFileWhole(AFileName, [&](QIODevice& AFile) {
    auto line = [&](const QStringList& AFields) {
      QByteArray out;
      for (qsizetype i = 0; i < AFields.size(); ++i) {
        if (i) out.append(',');
        const QByteArray utf8 = AFields.at(i).toUtf8();
        if (utf8.contains(',') || utf8.contains('"') || utf8.contains('\r') || utf8.contains('\n'))
          out.append('"' + QByteArray(utf8).replace("\"", "\"\"") + '"');
        else
          out.append(utf8);
      }
      out.append("\r\n");
      if (AFile.write(out) != out.size())
        throw EDqException(QStringLiteral("Cannot write \"%1\": %2").arg(AFileName, AFile.errorString()));
    };
    line(Headings());
    FPages.ForEachBatch(1024, nullptr, [&](std::int64_t AFirst, int ACount) {
      for (const TUsageLogRow& row : Rows(AFirst, ACount)) {
        const QDateTime time = DateTimeToQDateTime(row.LogTime);
        line({time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")), row.Detail, row.DeviceName, row.EVStatus,
              FormatFixed(row.PV, row.Digit)});
        ++written;
      }
      return true;
    });
  });
  return written;
}
