// tervox-db verify: the database checked against its chain, summaries,
// audit trail and seals, reading only.
#pragma once

#include <QStringList>

// 0 intact, 1 tampered (the first thing that does not match is printed),
// 2 could not check (a key file missing, a bad command line).
int RunVerifyCommand(const QStringList& AArgs);
// tervox-db audit: the audit trail, filtered by period and user.
int RunAuditCommand(const QStringList& AArgs);

extern const char* const kVerifyUsage;
