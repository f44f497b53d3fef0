#include "Frame_Trend.h"

TFrameTrend::TFrameTrend(QWidget* AOwner) : TDqFrame(AOwner) {
  setObjectName(QStringLiteral("FrameTrend"));
  setAutoFillBackground(true);
}

void TFrameTrend::UpdateDevices() {
  // The page holds no controller list yet; it joins with the controller
  // engine.
}
