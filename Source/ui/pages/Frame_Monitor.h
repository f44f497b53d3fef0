// The Monitor page: the LED panels of the controllers, left to right and
// wrapped into rows, in a scrolling grey area.
#pragma once

#include "widgets/DqFrameList.h"

#include <memory>

class QScrollArea;
class TTervoxMonitorList;

class TFrameMonitor : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameMonitor(QWidget* AOwner = nullptr);
  ~TFrameMonitor() override;

  // Rebuilds one panel per controller of the device list, in list order.
  void UpdateDevices();
  // Lays the panels out: 8 px margin and gaps, a row ends where the next
  // panel would not fit, the row height is that of the panel ending it.
  void FrameResize();

  TTervoxMonitorList* Monitors() const { return FMonitors.get(); }
  QScrollArea* ScrollBox() const { return FScrollBox; }
  // The scrolled area the panels sit in.
  QWidget* PanelHost() const { return FPanelHost; }

private:
  QScrollArea* FScrollBox;
  QWidget* FPanelHost;
  std::unique_ptr<TTervoxMonitorList> FMonitors;
};
