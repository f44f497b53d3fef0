#include "Tervox_ReportStamp.h"

#include "Tervox_ReportText.h"
#include "core/DqRoutine.h"
#include "trust/Tervox_Digest.h"
#include "trust/Tervox_Verify.h"

#include <QDateTime>
#include <QFile>
#include <QList>
#include <QTemporaryDir>

using namespace tervox_report;

namespace {

const QByteArray kStampStart("# TERVOX report");

QString TimeText(double ADateTime) {
  return DateTimeToQDateTime(ADateTime).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
}

double TimeOf(const QString& AText) {
  const QDateTime time = QDateTime::fromString(AText, QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
  return time.isValid() ? DateTimeFromQDateTime(time) : -1;
}

// The fields of one CSV record (RFC 4180 quoting).
QStringList CSVFields(const QByteArray& ALine) {
  QStringList fields;
  QByteArray field;
  bool quoted = false;
  for (qsizetype i = 0; i < ALine.size(); ++i) {
    const char c = ALine.at(i);
    if (quoted) {
      if (c == '"' && i + 1 < ALine.size() && ALine.at(i + 1) == '"') {
        field.append('"');
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field.append(c);
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields << QString::fromUtf8(field);
      field.clear();
    } else if (c != '\r' && c != '\n') {
      field.append(c);
    }
  }
  fields << QString::fromUtf8(field);
  return fields;
}

// The file's lines with their line breaks; the last one may lack it.
QList<QByteArray> LinesOf(const QByteArray& AText) {
  QList<QByteArray> lines;
  qsizetype start = 0;
  while (start < AText.size()) {
    const qsizetype end = AText.indexOf('\n', start);
    const qsizetype next = end < 0 ? AText.size() : end + 1;
    lines << AText.mid(start, next - start);
    start = next;
  }
  return lines;
}

} // namespace

QByteArray ReportStampLine(const TReportStamp& AStamp) {
  const TDeviceReportQuery& q = AStamp.Query;
  const QStringList fields{QString::fromLatin1(kStampStart),
                           QStringLiteral("station=") + AStamp.Station,
                           QStringLiteral("device=%1").arg(q.DeviceID),
                           QStringLiteral("device name=") + q.DeviceName,
                           QStringLiteral("from=") + TimeText(q.FirstTime),
                           QStringLiteral("to=") + TimeText(q.LastTime),
                           QStringLiteral("period=") + QString::fromLatin1(kReportPeriodNames[q.Period]),
                           QStringLiteral("columns=%1").arg(q.Columns),
                           QStringLiteral("rows=%1").arg(AStamp.Rows),
                           QStringLiteral("exported by=") + AStamp.User,
                           QStringLiteral("at=") + TimeText(AStamp.At),
                           QStringLiteral("digest=") + AStamp.Digest,
                           QStringLiteral("verified=") + AStamp.Verified};
  QByteArray line;
  for (qsizetype i = 0; i < fields.size(); ++i) {
    if (i) line.append(',');
    AppendCSVField(line, fields.at(i));
  }
  return line + "\r\n";
}

bool ParseReportStamp(const QByteArray& ALine, TReportStamp& AStamp) {
  const QStringList fields = CSVFields(ALine);
  if (fields.isEmpty() || fields.first() != QString::fromLatin1(kStampStart)) return false;
  QMap<QString, QString> values;
  for (qsizetype i = 1; i < fields.size(); ++i) {
    const qsizetype equals = fields.at(i).indexOf(QLatin1Char('='));
    if (equals > 0) values.insert(fields.at(i).left(equals), fields.at(i).mid(equals + 1));
  }
  TDeviceReportQuery& q = AStamp.Query;
  bool ok = true;
  bool okOne = false;
  q.DeviceID = values.value(QStringLiteral("device")).toInt(&okOne);
  ok = ok && okOne;
  q.DeviceName = values.value(QStringLiteral("device name"));
  q.FirstTime = TimeOf(values.value(QStringLiteral("from")));
  q.LastTime = TimeOf(values.value(QStringLiteral("to")));
  q.Period = ReportPeriodIndex(values.value(QStringLiteral("period")));
  q.Columns = values.value(QStringLiteral("columns")).toUInt(&okOne);
  ok = ok && okOne;
  AStamp.Rows = values.value(QStringLiteral("rows")).toLongLong(&okOne);
  ok = ok && okOne;
  AStamp.Station = values.value(QStringLiteral("station"));
  AStamp.User = values.value(QStringLiteral("exported by"));
  AStamp.At = TimeOf(values.value(QStringLiteral("at")));
  AStamp.Digest = values.value(QStringLiteral("digest"));
  AStamp.Verified = values.value(QStringLiteral("verified"));
  return ok && q.FirstTime >= 0 && q.LastTime >= 0 && q.Period >= 0 && !AStamp.Digest.isEmpty();
}

QString RowsVerifiedText(const QString& ADatabaseFile, double AFrom, double ATo) {
  TervoxVerify::TOptions options;
  options.From = AFrom;
  options.To = ATo;
  const TervoxVerify::TResult result = TervoxVerify::Verify(ADatabaseFile, options);
  switch (result.Status) {
  case TervoxVerify::TStatus::Tampered: return QStringLiteral("TAMPERED: ") + result.Problem;
  case TervoxVerify::TStatus::CannotCheck:
    return QStringLiteral("not checked: ") + (result.Problem.isEmpty() ? result.Notes.join(QStringLiteral("; ")) : result.Problem);
  case TervoxVerify::TStatus::Intact: break;
  }
  // Nothing vouches for readings no chain holds yet, nor for a chain no
  // seal of the station's key signs.
  if (result.Unchained > 0 && result.Unchained >= result.Rows)
    return QStringLiteral("not yet chained (%1 reading(s))").arg(result.Unchained);
  QString text = result.Unchained > 0 ? QStringLiteral("intact; %1 reading(s) not yet chained").arg(result.Unchained)
                                      : QStringLiteral("intact");
  if (result.Seals == 0) text += QStringLiteral("; no seal of the station key");
  return text;
}

TReportCheck CheckReportCSV(const QString& AFileName, const QString& ADatabaseFile) {
  TReportCheck check;
  QFile file(AFileName);
  if (!file.open(QIODevice::ReadOnly)) {
    check.Text = QStringLiteral("Cannot read \"%1\": %2").arg(AFileName, file.errorString());
    return check;
  }
  const QList<QByteArray> lines = LinesOf(file.readAll());
  TReportStamp stamp;
  if (lines.isEmpty() || !ParseReportStamp(lines.last(), stamp)) {
    check.Text = QStringLiteral("\"%1\" carries no TERVOX report stamp on its last line.").arg(AFileName);
    return check;
  }
  TTervoxDigest digest;
  for (qsizetype i = 0; i + 1 < lines.size(); ++i) digest.Add(lines.at(i));
  const bool digestMatches = digest.Text() == stamp.Digest;

  // The same report again, from the database as it is now.
  QTemporaryDir scratch;
  const QString again = scratch.filePath(QStringLiteral("again.csv"));
  try {
    TDeviceReport report(ADatabaseFile);
    report.Open(stamp.Query);
    report.ExportCSV(again);
  } catch (const EDqException& e) {
    check.Text = QStringLiteral("The report cannot be made again from \"%1\": %2").arg(ADatabaseFile, e.Message());
    return check;
  }
  QFile againFile(again);
  if (!againFile.open(QIODevice::ReadOnly)) {
    check.Text = QStringLiteral("The report cannot be made again: %1").arg(againFile.errorString());
    return check;
  }
  const QList<QByteArray> expected = LinesOf(againFile.readAll());
  const qsizetype fileRows = lines.size() - 1;
  const qsizetype dbRows = expected.size() - 1; // its own stamp last
  for (qsizetype i = 0; i < std::max(fileRows, dbRows); ++i) {
    const QByteArray mine = i < fileRows ? lines.at(i) : QByteArray();
    const QByteArray theirs = i < dbRows ? expected.at(i) : QByteArray();
    if (mine == theirs) continue;
    check.Status = TReportCheck::Changed;
    check.Text = QStringLiteral("Line %1 differs from the database: the file has \"%2\", the database \"%3\"%4.")
                     .arg(i + 1)
                     .arg(QString::fromUtf8(mine).trimmed(), QString::fromUtf8(theirs).trimmed(),
                          digestMatches ? QStringLiteral(" (the file matches its stamp: the database changed)")
                                        : QStringLiteral(" (the file no longer matches its stamp)"));
    return check;
  }
  if (!digestMatches) {
    check.Status = TReportCheck::Changed;
    check.Text = QStringLiteral("The stamp's digest does not match the file's lines.");
    return check;
  }
  check.Status = TReportCheck::Intact;
  check.Text = QStringLiteral("%1 rows of \"%2\" match the database and the file's stamp (exported by %3 at %4 on %5).")
                   .arg(stamp.Rows)
                   .arg(stamp.Query.DeviceName, stamp.User, TimeText(stamp.At), stamp.Station);
  return check;
}
