// The window's entries in the audit trail: the user logged in, and the
// reason the options may ask for before a change is made.
#pragma once

#include "trust/Tervox_Audit.h"

#include <QString>

#include <cstdint>
#include <vector>

class QWidget;

// When the option "AuditAskReason" is on, asks why (cancelled: false, and
// the change is not to be made); otherwise true with AReason empty.
bool AskChangeReason(QWidget* AParent, QString& AReason);

// Posts AEntry, stamped now, as the user logged in (or "tervox" when
// nobody is); a failure goes to stderr, never stops the change it records.
void AuditWindowAction(TervoxAudit::TEntry AEntry);

// The ID of the newest row of ATable (a record just added by this window).
QString NewestID(const QString& ATable);

// One record edited, added or deleted, field by field: read before the
// change and again after it.
class TAuditedRecord {
public:
  // ASQL selects the record with its one parameter (the key); AExtras
  // select further fields the same way (lists kept in other tables).
  TAuditedRecord(const char* AKind, const QString& ASQL, const QString& AKey, const QString& AReason,
                 std::vector<QString> AExtras = {}, std::vector<QString> AHidden = {});
  // Reads the record again (under AKey when it was just added) and appends
  // "added", "edited" or "deleted" with what changed; nothing when nothing
  // did. ATarget names it; empty: its Name or Username field.
  void Saved(std::int64_t ATargetID = 0, const QString& AKey = QString(), const QString& ATarget = QString());

private:
  TervoxAudit::TFields Read(const QString& AKey) const;

  const char* FKind;
  QString FSQL;
  QString FKey;
  QString FReason;
  std::vector<QString> FExtras;
  std::vector<QString> FHidden;
  TervoxAudit::TFields FBefore;
};
