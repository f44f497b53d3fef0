#include "tervox_db_verify.h"

#include "tervox_db_args.h"

#include "store/Main_Database.h"
#include "trust/Tervox_Verify.h"

#include <cstdio>
#include <map>

const char* const kVerifyUsage =
    "  verify [--from \"YYYY-MM-DD hh:mm:ss\"] [--to \"YYYY-MM-DD hh:mm:ss\"]\n"
    "                   check the history against its chain, the summaries, the\n"
    "                   audit trail and the station's seals (key file DATABASE.key),\n"
    "                   reading only; prints the first thing that does not match;\n"
    "                   exit status 0 intact, 1 tampered, 2 could not check\n";

int RunVerifyCommand(const QStringList& AArgs) {
  std::map<QString, QString> values;
  QString error;
  if (!ParseOptions(AArgs, {QStringLiteral("--from"), QStringLiteral("--to")}, values, error)) return Refuse(error);
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
