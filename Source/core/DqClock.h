// Whether the system clock is kept synchronised, as the kernel's time
// status says (adjtimex): an NTP client, chrony or systemd-timesyncd,
// whichever runs, keeps it so, and no daemon is asked.
#pragma once

#include <QString>

// False while the kernel marks the clock unsynchronised (STA_UNSYNC) or
// its state is TIME_ERROR, and when the call fails.
bool ClockSynchronised();
// The same from a state and status as adjtimex returns them.
bool ClockSynchronisedFrom(int AState, int AStatus);
// "Clock synchronised" or "Clock not synchronised": now, or for a state
// already asked.
QString ClockStatusText();
QString ClockStatusText(bool ASynchronised);
