// The Monitor page: the LED panels of the controllers.
#pragma once

#include "Engine/DqFrameList.h"

class TFrameMonitor : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameMonitor(QWidget* AOwner = nullptr);
  // Reloads the page's controller list after ports or controllers changed.
  void UpdateDevices();
};
