#include "Frame_Graph.h"

TFrameGraph::TFrameGraph(QWidget* AOwner) : TDqFrame(AOwner) {
  setObjectName(QStringLiteral("FrameGraph"));
  setAutoFillBackground(true);
}

void TFrameGraph::UpdateDevices() {
  // The page holds no controller list yet; it joins with the controller
  // engine.
}

void TFrameGraph::RememberProfile(const QString&) {}
