#include "Frame_Monitor.h"

TFrameMonitor::TFrameMonitor(QWidget* AOwner) : TDqFrame(AOwner) {
  setObjectName(QStringLiteral("FrameMonitor"));
  setAutoFillBackground(true);
}

void TFrameMonitor::UpdateDevices() {
  // The page holds no controller list yet; it joins with the controller
  // engine.
}
