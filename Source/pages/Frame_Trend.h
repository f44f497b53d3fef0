// The Trend page: the live trend graph; created first so that sampling runs whichever page is shown.
#pragma once

#include "Engine/DqFrameList.h"

class TFrameTrend : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameTrend(QWidget* AOwner = nullptr);
  // Reloads the page's controller list after ports or controllers changed.
  void UpdateDevices();
};
