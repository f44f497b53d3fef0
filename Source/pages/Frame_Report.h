// The Report page: the history report.
#pragma once

#include "Engine/DqFrameList.h"

class TFrameReport : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameReport(QWidget* AOwner = nullptr);
  // Reloads the page's controller list after ports or controllers changed.
  void UpdateDevices();
};
