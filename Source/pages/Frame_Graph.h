// The Graph page: the history graph.
#pragma once

#include "Engine/DqFrameList.h"

class TFrameGraph : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameGraph(QWidget* AOwner = nullptr);
  // Reloads the page's controller list after ports or controllers changed.
  void UpdateDevices();
  // The profile the page shows when it is next created (the demo's).
  static void RememberProfile(const QString& AName);
};
