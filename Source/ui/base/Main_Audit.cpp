#include "Main_Audit.h"

#include "plant/Tervox_User.h"
#include "store/Main_Database.h"
#include "store/Tervox_Config.h"

#include <QInputDialog>

bool AskChangeReason(QWidget* AParent, QString& AReason) {
  AReason.clear();
  if (!Config()->GetValueBoolDef(QStringLiteral("AuditAskReason"), false)) return true;
  for (;;) {
    bool ok = false;
    const QString reason = QInputDialog::getText(AParent, QStringLiteral("Reason for the change"),
                                                 QStringLiteral("Why is this change made?"), QLineEdit::Normal,
                                                 QString(), &ok);
    if (!ok) return false;
    AReason = reason.simplified();
    if (!AReason.isEmpty()) return true;
  }
}

void AuditWindowAction(TervoxAudit::TEntry AEntry) {
  if (AEntry.User.isEmpty()) {
    const QString user = ActingUser();
    AEntry.User = user.isEmpty() ? QStringLiteral("tervox") : user;
  }
  // Written by the trail's own thread: the window never waits on the file.
  TervoxAudit::Post(AEntry);
}

QString NewestID(const QString& ATable) {
  const TervoxAudit::TFields newest =
      TervoxAudit::RecordFields(*GetDatabase(), QStringLiteral("SELECT max(ID) AS ID FROM %1").arg(ATable));
  return newest.empty() ? QString() : newest.front().second;
}

TAuditedRecord::TAuditedRecord(const char* AKind, const QString& ASQL, const QString& AKey, const QString& AReason,
                               std::vector<QString> AExtras, std::vector<QString> AHidden)
    : FKind(AKind), FSQL(ASQL), FKey(AKey), FReason(AReason), FExtras(std::move(AExtras)), FHidden(std::move(AHidden)) {
  FBefore = Read(FKey);
}

TervoxAudit::TFields TAuditedRecord::Read(const QString& AKey) const {
  if (AKey.isEmpty() && FSQL.contains(QLatin1Char('?'))) return {};
  TervoxAudit::TFields fields = TervoxAudit::RecordFields(*GetDatabase(), FSQL, AKey);
  // A record that is not there has no lists either.
  if (fields.empty()) return fields;
  for (const QString& extra : FExtras) {
    const TervoxAudit::TFields more = TervoxAudit::RecordFields(*GetDatabase(), extra, AKey);
    fields.insert(fields.end(), more.begin(), more.end());
  }
  return fields;
}

void TAuditedRecord::Saved(std::int64_t ATargetID, const QString& AKey, const QString& ATarget) {
  const TervoxAudit::TFields after = Read(AKey.isEmpty() ? FKey : AKey);
  std::vector<TervoxAudit::TChange> changes = TervoxAudit::Differences(FBefore, after, FHidden);
  if (changes.empty()) return;
  const TervoxAudit::TFields& known = after.empty() ? FBefore : after;
  QString target = ATarget;
  for (const auto& [field, value] : known)
    if (target.isEmpty() && (field == QLatin1String("Name") || field == QLatin1String("Username"))) target = value;
  TervoxAudit::TEntry entry;
  entry.TargetKind = QString::fromLatin1(FKind);
  entry.Target = target;
  entry.TargetID = ATargetID;
  entry.Action = FBefore.empty() ? QStringLiteral("added") : after.empty() ? QStringLiteral("deleted") : QStringLiteral("edited");
  entry.Changes = std::move(changes);
  entry.Reason = FReason;
  AuditWindowAction(std::move(entry));
}
