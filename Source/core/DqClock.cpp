#include "DqClock.h"

#include <sys/timex.h>

bool ClockSynchronisedFrom(int AState, int AStatus) {
  return AState >= 0 && AState != TIME_ERROR && (AStatus & STA_UNSYNC) == 0;
}

bool ClockSynchronised() {
  timex status{};
  status.modes = 0; // read only: no privilege needed
  const int state = ::adjtimex(&status);
  return ClockSynchronisedFrom(state, status.status);
}

QString ClockStatusText(bool ASynchronised) {
  return ASynchronised ? QStringLiteral("Clock synchronised") : QStringLiteral("Clock not synchronised");
}

QString ClockStatusText() { return ClockStatusText(ClockSynchronised()); }
