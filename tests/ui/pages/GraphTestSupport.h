// Waiting for the Graph page's readings, for the tests that look at its
// picture.
#pragma once

#include "graph/DqGraphHistory.h"
#include "ui/pages/Frame_Graph.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace tervox_test {

// Until the readings of the page's current picture are in and drawn.
inline void WaitRead(TFrameGraph& APage) {
  QElapsedTimer timer;
  timer.start();
  while (APage.Reading() && timer.elapsed() < 20000) {
    APage.Loader()->Wait();
    QCoreApplication::processEvents();
  }
  ASSERT_FALSE(APage.Reading());
}

} // namespace tervox_test
