#include "Tervox_DeviceReport.h"

#include "Tervox_Report.h"
#include "Tervox_ReportStamp.h"
#include "Tervox_ReportText.h"
#include "core/DqRoutine.h"
#include "trust/Tervox_Audit.h"
#include "trust/Tervox_Digest.h"

#include <QIODevice>

#include <limits>

using namespace tervox_report;

bool TDeviceReport::WriteCSVLines(const std::function<void(const QByteArray&)>& AOut, const TCancelFlag* ACancel,
                                  std::int64_t& ARows) const {
  QByteArray buffer;
  buffer.reserve(1 << 20);
  const QStringList headings = Headings();
  for (qsizetype c = 0; c < headings.size(); ++c) {
    if (c) buffer.append(',');
    AppendCSVField(buffer, headings.at(c));
  }
  buffer.append("\r\n");
  const std::vector<TReportCell> cells = Cells();
  // The date part changes once a day: keep its text.
  std::int64_t cachedDay = std::numeric_limits<std::int64_t>::min();
  QByteArray dayText;
  const bool done = ForEachRow(
      [&](const TReportRow& ARow) {
        std::int64_t day = 0;
        std::int64_t ms = 0;
        SplitDayTime(ARow.ReadTime, day, ms);
        if (day != cachedDay) {
          cachedDay = day;
          const TDayTime t = DecodeDayTime(static_cast<double>(day));
          dayText = QByteArray::number(t.Year).rightJustified(4, '0') + '-';
          AppendTwo(dayText, t.Month);
          dayText.append('-');
          AppendTwo(dayText, t.Day);
          dayText.append('T');
        }
        buffer.append(dayText);
        AppendTwo(buffer, static_cast<int>(ms / 3600000));
        buffer.append(':');
        AppendTwo(buffer, static_cast<int>(ms / 60000 % 60));
        buffer.append(':');
        AppendTwo(buffer, static_cast<int>(ms / 1000 % 60));
        for (std::size_t c = 1; c < cells.size(); ++c) {
          const int i = cells[c].Index;
          if (cells[c].Kind == TReportCell::ckEvent) {
            buffer.append(ARow.IsEV[i] ? ",On" : ",Off");
          } else {
            buffer.append(',');
            if (!IsNoValue(ARow.Values[i])) AppendNumber(buffer, ARow.Values[i], ARow.Digit);
          }
        }
        buffer.append("\r\n");
        ++ARows;
        if (buffer.size() > (1 << 20) - 256) {
          AOut(buffer);
          buffer.clear();
        }
        return true;
      },
      ACancel);
  if (!done) return false;
  AOut(buffer);
  return true;
}

QString TDeviceReport::RowsDigest(const TCancelFlag* ACancel) const {
  TTervoxDigest digest;
  std::int64_t rows = 0;
  if (!WriteCSVLines([&digest](const QByteArray& AChunk) { digest.Add(AChunk); }, ACancel, rows)) return QString();
  return digest.Text();
}

TDeviceReport::TExportResult TDeviceReport::ExportCSV(const QString& AFileName, const TCancelFlag* ACancel) const {
  TExportResult result;
  WriteFileWhole(AFileName, [&](QIODevice& AFile) {
    TTervoxDigest digest;
    const auto write = [&](const QByteArray& AChunk) {
      digest.Add(AChunk);
      if (AFile.write(AChunk) != AChunk.size())
        throw EDqException(QStringLiteral("Cannot write \"%1\": %2").arg(AFileName, AFile.errorString()));
    };
    if (!WriteCSVLines(write, ACancel, result.RowsWritten)) throw EDqException(QStringLiteral("Export cancelled"));
    TReportStamp stamp;
    stamp.Station = TervoxAudit::StationName();
    stamp.User = FExportedBy;
    stamp.At = Now();
    stamp.Query = FQuery;
    stamp.Rows = result.RowsWritten;
    stamp.Digest = digest.Text();
    stamp.Verified = RowsVerifiedText(DatabaseFileName(), FQuery.FirstTime, FQuery.LastTime);
    const QByteArray line = ReportStampLine(stamp);
    if (AFile.write(line) != line.size())
      throw EDqException(QStringLiteral("Cannot write \"%1\": %2").arg(AFileName, AFile.errorString()));
  });
  return result;
}
