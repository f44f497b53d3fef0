#include "tervox_db_report.h"

#include "tervox_db_args.h"

#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "export/Tervox_DeviceReport.h"
#include "export/Tervox_Report.h"
#include "export/Tervox_UsageLogReport.h"
#include "trust/Tervox_Audit.h"
#include "store/Main_Database.h"

#include <cstdio>
#include <map>

const char* const kReportUsage =
    "  report --device NAME --from \"YYYY-MM-DD hh:mm:ss\" --to \"YYYY-MM-DD hh:mm:ss\"\n"
    "         [--period \"1 Minute\"] [--columns PV,SV,OUT1,OUT2,EV1,EV2,EV3]\n"
    "         (--xls FILE | --xlsx FILE | --pdf FILE | --csv FILE)\n"
    "                   the Report page's report of one controller; periods:\n"
    "                   \"1 Second\" (every reading, the default), \"30 Second\",\n"
    "                   \"1 Minute\", \"5 Minutes\", \"10 Minutes\", \"30 Minutes\",\n"
    "                   \"1 Hour\", \"1 Day\"; paper and margins of the Report setting;\n"
    "                   --xlsx keeps every row (a full sheet goes on on the next)\n"
    "  log [--from \"YYYY-MM-DD hh:mm:ss\"] [--to \"YYYY-MM-DD hh:mm:ss\"]\n"
    "      (--pdf FILE | --csv FILE)\n"
    "                   the usage log, newest first; paper of the Log setting\n";

int RunReportCommand(const QStringList& AArgs) {
  std::map<QString, QString> values;
  QString error;
  if (!ParseOptions(AArgs, {"--device", "--from", "--to", "--period", "--columns", "--xls", "--xlsx", "--pdf", "--csv"}, values,
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
  if (!ReadOutput(values, {"xls", "xlsx", "pdf", "csv"}, kind, file, error)) return Refuse(error);

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
    report.SetExportedBy(QStringLiteral("tervox-db"));
    // A PDF's sheets name the station, the tool and the rows' digest.
    report.SetFooter({TervoxAudit::StationName(), QStringLiteral("tervox-db"), 0, QString(), QString()});
    report.Open(query);
    TDeviceReport::TExportResult result;
    if (kind == QLatin1String("xls")) {
      result = report.ExportXLS(file);
    } else if (kind == QLatin1String("xlsx")) {
      result = report.ExportXLSX(file);
    } else if (kind == QLatin1String("csv")) {
      result = report.ExportCSV(file);
    } else {
      report.ExportPDF(file, *ReportSetting());
      result.RowsWritten = report.RecordCount();
    }
    std::printf("report: %lld rows of \"%s\" written to %s\n", static_cast<long long>(result.RowsWritten),
                qPrintable(query.DeviceName), qPrintable(file));
    if (result.Sheets > 1) std::printf("report: the rows go on over %d sheets\n", result.Sheets);
    if (result.RowsLeftOut > 0)
      std::fprintf(stderr,
                   "tervox-db: the spreadsheet holds %lld rows: the last %lld rows were left out; use --xlsx or --csv for all\n",
                   static_cast<long long>(TDeviceReport::kXLSMaxRows), static_cast<long long>(result.RowsLeftOut));
    if (result.LostCharacters > 0)
      std::fprintf(stderr,
                   "tervox-db: %d character(s) are not in the spreadsheet's code page 1250 and are written as \"?\"; "
                   "use --xlsx or --csv to keep them\n",
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
