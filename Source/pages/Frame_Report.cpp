#include "Frame_Report.h"

TFrameReport::TFrameReport(QWidget* AOwner) : TDqFrame(AOwner) {
  setObjectName(QStringLiteral("FrameReport"));
  setAutoFillBackground(true);
}

void TFrameReport::UpdateDevices() {
  // The page holds no controller list yet; it joins with the controller
  // engine.
}
