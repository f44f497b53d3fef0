// tervox-db graph: a history profile drawn as the Graph page draws it, as
// a picture or a printed sheet, for daily charts from cron.
#pragma once

#include <QStringList>

// Returns the exit status: 0 done, 1 when the database cannot be read, 2
// for bad input or an unwritable file (nothing is left behind then).
int RunGraphCommand(const QStringList& AArgs);

extern const char* const kGraphUsage;
