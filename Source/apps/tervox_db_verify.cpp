#include "tervox_db_verify.h"

#include "tervox_db_args.h"

#include "core/DqRoutine.h"
#include "export/Tervox_AuditReport.h"
#include "export/Tervox_ReportStamp.h"
#include "store/Main_Database.h"
#include "trust/Tervox_Verify.h"

#include <cstdio>
#include <map>

const char* const kVerifyUsage =
    "  verify [--from \"YYYY-MM-DD hh:mm:ss\"] [--to \"YYYY-MM-DD hh:mm:ss\"]\n"
    "                   check the history against its chain, the summaries, the\n"
    "                   audit trail and the station's seals (key file DATABASE.key),\n"
    "                   reading only; prints the first thing that does not match;\n"
    "                   exit status 0 intact, 1 tampered, 2 could not check\n"
    "  verify --report FILE.csv\n"
    "                   check a report exported as CSV against its stamp and the\n"
    "                   database; names the first line that differs\n"
    "  audit [--from \"YYYY-MM-DD hh:mm:ss\"] [--to \"YYYY-MM-DD hh:mm:ss\"] [--user NAME] [--csv FILE]\n"
    "                   the audit trail, oldest first, to standard output or CSV\n";

int RunVerifyCommand(const QStringList& AArgs) {
  std::map<QString, QString> values;
  QString error;
  if (!ParseOptions(AArgs, {QStringLiteral("--from"), QStringLiteral("--to"), QStringLiteral("--report")}, values, error))
    return Refuse(error);
  if (values.count(QStringLiteral("--report"))) {
    if (values.size() != 1) return Refuse(QStringLiteral("--report takes no period: the file's stamp names it"));
    const TReportCheck check = CheckReportCSV(values.at(QStringLiteral("--report")), GetDatabaseFileName());
    std::printf("verify: %s%s\n", check.Status == TReportCheck::Changed ? "CHANGED: " : "", qPrintable(check.Text));
    std::fflush(stdout);
    return static_cast<int>(check.Status);
  }
  TervoxVerify::TOptions options;
  if (!ReadRange(values, false, options.From, options.To, error)) return Refuse(error);
  const QString file = GetDatabaseFileName();
  const TervoxVerify::TResult result = TervoxVerify::Verify(file, options);
  switch (result.Status) {
  case TervoxVerify::TStatus::Tampered:
    std::printf("verify: TAMPERED: %s\n", qPrintable(result.Problem));
    break;
  case TervoxVerify::TStatus::CannotCheck:
    if (!result.Problem.isEmpty()) std::printf("verify: cannot check: %s\n", qPrintable(result.Problem));
    break;
  case TervoxVerify::TStatus::Intact:
    break;
  }
  for (const QString& note : result.Notes) std::printf("verify: %s\n", qPrintable(note));
  if (result.Status != TervoxVerify::TStatus::Tampered && result.Problem.isEmpty())
    std::printf("verify: %s: %lld reading(s) in %lld minute(s) of %lld controller(s), %lld link(s), %lld audit "
                "entr%s, %lld seal(s)%s\n",
                qPrintable(file), static_cast<long long>(result.Rows), static_cast<long long>(result.Minutes),
                static_cast<long long>(result.Controllers), static_cast<long long>(result.Links),
                static_cast<long long>(result.AuditEntries), result.AuditEntries == 1 ? "y" : "ies",
                static_cast<long long>(result.Seals),
                result.Status == TervoxVerify::TStatus::Intact ? " match" : " match what could be checked");
  std::fflush(stdout);
  return static_cast<int>(result.Status);
}

int RunAuditCommand(const QStringList& AArgs) {
  std::map<QString, QString> values;
  QString error;
  if (!ParseOptions(AArgs, {QStringLiteral("--from"), QStringLiteral("--to"), QStringLiteral("--user"), QStringLiteral("--csv")},
                    values, error))
    return Refuse(error);
  TAuditFilter filter;
  // One bound alone leaves the trail open on the other side.
  const bool ranged = values.count(QStringLiteral("--from")) || values.count(QStringLiteral("--to"));
  if (ranged) {
    values.emplace(QStringLiteral("--from"), QStringLiteral("1900-01-01"));
    values.emplace(QStringLiteral("--to"), QStringLiteral("9999-12-31"));
  }
  if (!ReadRange(values, false, filter.From, filter.To, error)) return Refuse(error);
  if (values.count(QStringLiteral("--user"))) filter.User = values.at(QStringLiteral("--user"));
  try {
    TAuditReport report(GetDatabaseFileName());
    report.Open(filter);
    if (values.count(QStringLiteral("--csv"))) {
      const std::int64_t written = report.ExportCSV(values.at(QStringLiteral("--csv")));
      std::printf("audit: %lld entr%s written to %s\n", static_cast<long long>(written), written == 1 ? "y" : "ies",
                  qPrintable(values.at(QStringLiteral("--csv"))));
    } else {
      const auto& entries = report.Entries();
      for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        std::printf("%s\n", qPrintable(TAuditReport::RowTexts(*it).join(QLatin1Char('\t'))));
    }
  } catch (const EDqException& e) {
    return Fail(e.Message());
  }
  std::fflush(stdout);
  return 0;
}
