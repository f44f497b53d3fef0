// Whether the clock is synchronised, from the kernel's state and status.
#include "core/DqClock.h"

#include <gtest/gtest.h>

#include <sys/timex.h>

namespace {

TEST(DqClock, SynchronisedUnlessUnsyncOrAnError) {
  const struct {
    int State;
    int Status;
    bool Synchronised;
  } cases[] = {
      {TIME_OK, 0, true},
      {TIME_OK, STA_PLL | STA_NANO, true},
      {TIME_INS, 0, true}, // a leap second announced: still synchronised
      {TIME_OK, STA_UNSYNC, false},
      {TIME_OK, STA_PLL | STA_UNSYNC, false},
      {TIME_ERROR, 0, false},
      {-1, 0, false}, // the call failed
  };
  for (const auto& c : cases)
    EXPECT_EQ(ClockSynchronisedFrom(c.State, c.Status), c.Synchronised) << c.State << " " << c.Status;
  // This machine's own answer, in the words the window and reports use.
  EXPECT_EQ(ClockStatusText(),
            ClockSynchronised() ? QStringLiteral("Clock synchronised") : QStringLiteral("Clock not synchronised"));
}

} // namespace
