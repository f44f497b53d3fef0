// tervox-db report and tervox-db log: the Report page's report and the
// usage log without a window, from the same code as the pages.
#pragma once

#include <QStringList>

// Each returns the exit status: 0 done, 2 for bad input or an unwritable
// file (nothing is left behind then).
int RunReportCommand(const QStringList& AArgs);
int RunLogCommand(const QStringList& AArgs);

extern const char* const kReportUsage;
