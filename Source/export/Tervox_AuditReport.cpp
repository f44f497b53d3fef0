#include "Tervox_AuditReport.h"

#include "Tervox_DeviceReport.h"
#include "Tervox_Report.h"
#include "Tervox_ReportText.h"
#include "Tervox_UsageLogReport.h"
#include "XLSXExport.h"

#include "core/DqRoutine.h"
#include "graph/DqPrint.h"
#include "store/DqSQLite.h"

#include <QDateTime>
#include <QIODevice>
#include <QPainter>

#include <algorithm>

namespace {

const std::vector<double> kColumnWidths{26, 18, 26, 26, 64, 20};

QByteArray CSVLine(const QStringList& AFields) {
  QByteArray out;
  for (qsizetype i = 0; i < AFields.size(); ++i) {
    if (i) out.append(',');
    tervox_report::AppendCSVField(out, AFields.at(i));
  }
  return out + "\r\n";
}

QStringList ExportHeadings() {
  return TAuditReport::Headings() << QStringLiteral("UTC Time") << QStringLiteral("Station") << QStringLiteral("Entry")
                                  << QStringLiteral("Hash");
}

QStringList ExportTexts(const TervoxAudit::TStored& AEntry) {
  QStringList texts = TAuditReport::RowTexts(AEntry);
  texts[0] = DateTimeToQDateTime(AEntry.LocalTime).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
  return texts << AEntry.UTCTime << AEntry.Station << QString::number(AEntry.ID) << AEntry.Hash;
}

} // namespace

TAuditReport::TAuditReport(const QString& AFileName) : FDatabase(std::make_unique<TSQLiteDatabase>(AFileName)) {
  FDatabase->Open();
  FDatabase->SetTimeout(5000);
}

TAuditReport::~TAuditReport() = default;

void TAuditReport::Open(const TAuditFilter& AFilter) {
  const bool whole = AFilter.From == 0 && AFilter.To == 0;
  FEntries = TervoxAudit::Entries(*FDatabase, whole ? -1e9 : AFilter.From, whole ? 1e9 : AFilter.To, AFilter.User,
                                  AFilter.ControllerID);
  std::reverse(FEntries.begin(), FEntries.end());
}

int TAuditReport::PageCount(int ARowsPerPage) const {
  const auto rows = static_cast<std::int64_t>(std::max(ARowsPerPage, 1));
  return static_cast<int>((RecordCount() + rows - 1) / rows);
}

QStringList TAuditReport::Headings() {
  return {QStringLiteral("Time"),   QStringLiteral("User"),    QStringLiteral("Target"),
          QStringLiteral("Action"), QStringLiteral("Changes"), QStringLiteral("Reason")};
}

QString TAuditReport::ChangesLine(const std::vector<TervoxAudit::TChange>& AChanges) {
  QStringList parts;
  for (const TervoxAudit::TChange& change : AChanges)
    parts << (change.Old.isEmpty() ? QStringLiteral("%1: %2").arg(change.Field, change.New)
                                   : QStringLiteral("%1: %2 \u2192 %3").arg(change.Field, change.Old, change.New));
  return parts.join(QStringLiteral("; "));
}

QStringList TAuditReport::RowTexts(const TervoxAudit::TStored& AEntry) {
  const TervoxAudit::TEntry& entry = AEntry.Entry;
  const QString target = entry.Target.isEmpty() ? entry.TargetKind : QStringLiteral("%1 %2").arg(entry.TargetKind, entry.Target);
  return {ReportTimeText(AEntry.LocalTime), entry.User, target, entry.Action, ChangesLine(entry.Changes), entry.Reason};
}

void TAuditReport::DrawPage(QPainter& APainter, const TDqPrint& APrint, const TBaseReport& AProfile, const QRect& ARect,
                            int APage, int APageCount) const {
  const int rowsPerPage = UsageLogRowsPerPage(AProfile);
  std::vector<QStringList> texts;
  const auto first = static_cast<std::size_t>(std::max(APage - 1, 0)) * static_cast<std::size_t>(rowsPerPage);
  for (std::size_t i = first; i < FEntries.size() && i < first + static_cast<std::size_t>(rowsPerPage); ++i)
    texts.push_back(RowTexts(FEntries[i]));
  DrawLogSheet(APainter, APrint, AProfile, ARect, APage, APageCount, kColumnWidths, Headings(), texts);
}

void TAuditReport::ExportPDF(const QString& AFileName, const TBaseReport& AProfile) const {
  const int pageCount = std::max(PageCount(UsageLogRowsPerPage(AProfile)), 1);
  WritePagedPDF(AFileName, AProfile, QStringLiteral("Tervox Audit Trail"), pageCount,
                [&](QPainter& APainter, const TDqPrint& APrint, const QRect& ARect, int APage) {
                  DrawPage(APainter, APrint, AProfile, ARect, APage, pageCount);
                });
}

std::int64_t TAuditReport::ExportCSV(const QString& AFileName) const {
  std::int64_t written = 0;
  WriteFileWhole(AFileName, [&](QIODevice& AFile) {
    const auto line = [&](const QStringList& AFields) {
      const QByteArray out = CSVLine(AFields);
      if (AFile.write(out) != out.size())
        throw EDqException(QStringLiteral("Cannot write \"%1\": %2").arg(AFileName, AFile.errorString()));
    };
    line(ExportHeadings());
    for (auto it = FEntries.rbegin(); it != FEntries.rend(); ++it, ++written) line(ExportTexts(*it));
  });
  return written;
}

std::int64_t TAuditReport::ExportXLSX(const QString& AFileName) const {
  TXLSXLayout layout;
  layout.Titles << QStringLiteral("Tervox Audit Trail");
  layout.Headings = ExportHeadings();
  layout.Widths = {20, 14, 24, 24, 60, 20, 26, 16, 8, 66};
  layout.SheetName = QStringLiteral("Audit trail");
  TXLSXWriter writer(AFileName, layout);
  std::int64_t written = 0;
  for (auto it = FEntries.rbegin(); it != FEntries.rend(); ++it, ++written) {
    writer.NewRow();
    const QStringList texts = ExportTexts(*it);
    writer.WriteDateTime(0, it->LocalTime);
    for (int col = 1; col < texts.size(); ++col) writer.WriteText(col, texts.at(col).toUtf8());
  }
  writer.Close();
  return written;
}
