#include "tervox_db_report.h"

#include "Engine/DqRoutine.h"
#include "Engine/DqSQLite.h"
#include "domain/Tervox_DeviceReport.h"
#include "domain/Tervox_Report.h"
#include "domain/Tervox_UsageLogReport.h"
#include "domain/Main_Database.h"

#include <QDateTime>
#include <QFileInfo>

#include <cstdio>
#include <map>

const char* const kReportUsage =
    "  report --device NAME --from \"YYYY-MM-DD hh:mm:ss\" --to \"YYYY-MM-DD hh:mm:ss\"\n"
    "         [--period \"1 Minute\"] [--columns PV,SV,OUT1,OUT2,EV1,EV2,EV3]\n"
    "         (--xls FILE | --pdf FILE | --csv FILE)\n"
    "                   the Report page's report of one controller; periods:\n"
    "                   \"1 Second\" (every reading, the default), \"30 Second\",\n"
    "                   \"1 Minute\", \"5 Minutes\", \"10 Minutes\", \"30 Minutes\",\n"
    "                   \"1 Hour\", \"1 Day\"; paper and margins of the Report setting\n"
    "  log [--from \"YYYY-MM-DD hh:mm:ss\"] [--to \"YYYY-MM-DD hh:mm:ss\"]\n"
    "      (--pdf FILE | --csv FILE)\n"
    "                   the usage log, newest first; paper of the Log setting\n";

namespace {

int Refuse(const QString& AMessage) {
  QString text = AMessage;
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  std::fprintf(stderr, "tervox-db: %s\n", qPrintable(text));
  return 2;
}

// "--name value" pairs; false (with AError) for anything else.
bool ParseOptions(const QStringList& AArgs, const QStringList& AKnown, std::map<QString, QString>& AValues,
                  QString& AError) {
  for (qsizetype i = 0; i < AArgs.size(); ++i) {
    QString name = AArgs.at(i);
    QString value;
    const qsizetype equals = name.indexOf(QLatin1Char('='));
    if (name.startsWith(QLatin1String("--")) && equals > 0) {
      value = name.mid(equals + 1);
      name = name.left(equals);
    } else if (i + 1 < AArgs.size()) {
      value = AArgs.at(++i);
    } else {
      AError = name.startsWith(QLatin1String("--")) ? QStringLiteral("%1 needs a value").arg(name)
                                                     : QStringLiteral("unexpected argument %1").arg(name);
      return false;
    }
    if (!AKnown.contains(name)) {
      AError = QStringLiteral("unknown option %1").arg(name);
      return false;
    }
    if (AValues.count(name)) {
      AError = QStringLiteral("%1 given twice").arg(name);
      return false;
    }
    AValues[name] = value;
  }
  return true;
}

// Local date and time: "YYYY-MM-DD hh:mm:ss" (a "T" may stand for the
// space; the time may be left out for midnight).
bool ParseLocalTime(const QString& AText, double& AValue) {
  const QString text = AText.trimmed();
  for (const char* format : {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-dd HH:mm", "yyyy-MM-dd"}) {
    const QDateTime time = QDateTime::fromString(text, QString::fromLatin1(format));
    if (time.isValid()) {
      AValue = DateTimeFromQDateTime(time);
      return true;
    }
  }
  return false;
}

bool ReadRange(const std::map<QString, QString>& AValues, bool ARequired, double& AFrom, double& ATo, QString& AError) {
  for (const char* name : {"--from", "--to"}) {
    auto found = AValues.find(QString::fromLatin1(name));
    if (found == AValues.end()) {
      if (ARequired) {
        AError = QStringLiteral("%1 is required").arg(QString::fromLatin1(name));
        return false;
      }
      continue;
    }
    double& value = QLatin1String(name) == QLatin1String("--from") ? AFrom : ATo;
    if (!ParseLocalTime(found->second, value)) {
      AError = QStringLiteral("bad date \"%1\" for %2: use \"YYYY-MM-DD hh:mm:ss\"").arg(found->second, QString::fromLatin1(name));
      return false;
    }
  }
  if (AFrom > ATo) {
    AError = QStringLiteral("--from is after --to");
    return false;
  }
  return true;
}

// The one output option given: ("xls"|"pdf"|"csv", file).
bool ReadOutput(const std::map<QString, QString>& AValues, const QStringList& AKinds, QString& AKind, QString& AFile,
                QString& AError) {
  for (const QString& kind : AKinds) {
    auto found = AValues.find(QStringLiteral("--") + kind);
    if (found == AValues.end()) continue;
    if (!AKind.isEmpty()) {
      AError = QStringLiteral("give only one of --%1").arg(AKinds.join(QStringLiteral(", --")));
      return false;
    }
    AKind = kind;
    AFile = found->second;
  }
  if (AKind.isEmpty()) {
    AError = QStringLiteral("one of --%1 is required").arg(AKinds.join(QStringLiteral(", --")));
    return false;
  }
  return true;
}

} // namespace

int RunReportCommand(const QStringList& AArgs) {
  std::map<QString, QString> values;
  QString error;
  if (!ParseOptions(AArgs, {"--device", "--from", "--to", "--period", "--columns", "--xls", "--pdf", "--csv"}, values,
                    error))
    return Refuse(error);
  if (!values.count(QStringLiteral("--device"))) return Refuse(QStringLiteral("--device is required"));
  TDeviceReportQuery query;
  query.DeviceName = values[QStringLiteral("--device")];
  if (!ReadRange(values, true, query.FirstTime, query.LastTime, error)) return Refuse(error);
  if (values.count(QStringLiteral("--period"))) {
    query.Period = ReportPeriodIndex(values[QStringLiteral("--period")].trimmed());
    if (query.Period < 0) return Refuse(QStringLiteral("unknown period \"%1\"").arg(values[QStringLiteral("--period")]));
  }
  if (values.count(QStringLiteral("--columns")) && !ParseReportColumns(values[QStringLiteral("--columns")], query.Columns))
    return Refuse(QStringLiteral("unknown column in \"%1\": use PV,SV,OUT1,OUT2,EV1,EV2,EV3")
                      .arg(values[QStringLiteral("--columns")]));
  QString kind;
  QString file;
  if (!ReadOutput(values, {"xls", "pdf", "csv"}, kind, file, error)) return Refuse(error);

  try {
    TSQLiteDatabase* database = GetDatabase();
    TSQLiteTable device(database);
    device.SetSQL(QStringLiteral("SELECT ID FROM Device WHERE Name = :Name ORDER BY ID"));
    device.SetParamValues(":Name", query.DeviceName);
    device.Open();
    if (device.Eof()) return Refuse(QStringLiteral("unknown device \"%1\"").arg(query.DeviceName));
    query.DeviceID = device.GetFields(0)->AsInteger();
    device.Close();

    TDeviceReport report(GetDatabaseFileName());
    report.Open(query);
    TDeviceReport::TExportResult result;
    if (kind == QLatin1String("xls")) {
      result = report.ExportXLS(file);
    } else if (kind == QLatin1String("csv")) {
      result = report.ExportCSV(file);
    } else {
      report.ExportPDF(file, *ReportSetting());
      result.RowsWritten = report.RecordCount();
    }
    std::printf("report: %lld rows of \"%s\" written to %s\n", static_cast<long long>(result.RowsWritten),
                qPrintable(query.DeviceName), qPrintable(file));
    if (result.RowsLeftOut > 0)
      std::fprintf(stderr,
                   "tervox-db: the spreadsheet holds %lld rows: the last %lld rows were left out; use --csv for all\n",
                   static_cast<long long>(TDeviceReport::kXLSMaxRows), static_cast<long long>(result.RowsLeftOut));
    if (result.LostCharacters > 0)
      std::fprintf(stderr,
                   "tervox-db: %d character(s) are not in the spreadsheet's code page 1250 and are written as \"?\"; "
                   "use --csv to keep them\n",
                   result.LostCharacters);
  } catch (const EDqException& e) {
    return Refuse(e.Message());
  }
  return 0;
}

int RunLogCommand(const QStringList& AArgs) {
  std::map<QString, QString> values;
  QString error;
  if (!ParseOptions(AArgs, {"--from", "--to", "--pdf", "--csv"}, values, error)) return Refuse(error);
  double from = 0;
  double to = 1e6; // beyond any date the log holds
  if (!ReadRange(values, false, from, to, error)) return Refuse(error);
  QString kind;
  QString file;
  if (!ReadOutput(values, {"pdf", "csv"}, kind, file, error)) return Refuse(error);
  try {
    TUsageLogReport log(GetDatabase());
    log.Open(from, to);
    if (kind == QLatin1String("csv"))
      log.ExportCSV(file);
    else
      log.ExportPDF(file, *LogSetting());
    std::printf("log: %lld entries written to %s\n", static_cast<long long>(log.RecordCount()), qPrintable(file));
  } catch (const EDqException& e) {
    return Refuse(e.Message());
  }
  return 0;
}
