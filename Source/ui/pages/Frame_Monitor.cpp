#include "Frame_Monitor.h"

#include "plant/Tervox_Device.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"
#include "widgets/Tervox_Monitor.h"

#include <QCoreApplication>
#include <QEvent>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

namespace {

constexpr int kGap = 8;

struct TFlow {
  std::vector<QPoint> Places;
  int Height = 0; // bottom of the lowest panel plus the margin
};

TFlow FlowPanels(const std::vector<QSize>& ASizes, int AClientWidth) {
  TFlow flow;
  int x = kGap;
  int y = kGap;
  for (std::size_t i = 0; i < ASizes.size(); ++i) {
    flow.Places.emplace_back(x, y);
    flow.Height = std::max(flow.Height, y + ASizes[i].height() + kGap);
    x += ASizes[i].width() + kGap;
    if (i + 1 < ASizes.size() && AClientWidth < ASizes[i + 1].width() + x) {
      y += ASizes[i].height() + kGap;
      x = kGap;
    }
  }
  return flow;
}

// The live panels, in list order (a panel freed by its parent is skipped).
std::vector<TTervoxMonitor*> PanelsOf(const TTervoxMonitorList* AMonitors) {
  std::vector<TTervoxMonitor*> panels;
  if (!AMonitors) return panels;
  for (int i = 0; i < AMonitors->Count(); ++i)
    if (TTervoxMonitor* monitor = AMonitors->Monitors(i)) panels.push_back(monitor);
  return panels;
}

std::vector<QSize> SizesOf(const std::vector<TTervoxMonitor*>& APanels) {
  std::vector<QSize> sizes;
  for (const TTervoxMonitor* panel : APanels) sizes.push_back(panel->size());
  return sizes;
}

// The scrolled area. Its height follows from its width, so the scroll area
// decides about the vertical bar with the wrapped layout in mind.
class TPanelHost : public QWidget {
public:
  TPanelHost(TFrameMonitor* APage, QWidget* AParent) : QWidget(AParent), FPage(APage) {
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
  }
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int AWidth) const override {
    return FlowPanels(SizesOf(PanelsOf(FPage->Monitors())), AWidth).Height;
  }

protected:
  void resizeEvent(QResizeEvent* AEvent) override {
    QWidget::resizeEvent(AEvent);
    FPage->FrameResize();
  }

private:
  TFrameMonitor* FPage;
};

} // namespace

TFrameMonitor::TFrameMonitor(QWidget* AOwner)
    : TDqFrame(AOwner), FScrollBox(new QScrollArea(this)), FMonitors(std::make_unique<TTervoxMonitorList>()) {
  setObjectName(QStringLiteral("FrameMonitor"));
  setAutoFillBackground(true);
  FScrollBox->setObjectName(QStringLiteral("ScrollBox"));
  FScrollBox->setFrameShape(QFrame::NoFrame);
  FScrollBox->setWidgetResizable(true);
  FPanelHost = new TPanelHost(this, FScrollBox);
  FPanelHost->setObjectName(QStringLiteral("PanelHost"));
  QPalette grey = FPanelHost->palette();
  grey.setColor(QPalette::Window, QColor(128, 128, 128));
  FPanelHost->setPalette(grey);
  FPanelHost->setAutoFillBackground(true);
  FScrollBox->setWidget(FPanelHost);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(FScrollBox);
  UpdateDevices();
}

// The panel list goes first and frees the panels before their host.
TFrameMonitor::~TFrameMonitor() = default;

void TFrameMonitor::UpdateDevices() {
  TTervoxDeviceList* devices = DeviceList();
  if (devices) {
    devices->Lock();
    try {
      FMonitors->Clear();
      for (int i = 0; i < devices->Count(); ++i) FMonitors->AddMonitor(devices->GetDevices(i), FPanelHost);
    } catch (...) {
      devices->Unlock();
      throw;
    }
    devices->Unlock();
  } else {
    FMonitors->Clear();
  }
  // The host's height for its width changed: let the scroll area size it
  // again (which lays the panels out), and lay out now in any case.
  QEvent request(QEvent::LayoutRequest);
  QCoreApplication::sendEvent(FScrollBox, &request);
  FrameResize();
}

void TFrameMonitor::FrameResize() {
  // Host coordinates: the scroll area already moves the host by the
  // vertical scroll position.
  const std::vector<TTervoxMonitor*> panels = PanelsOf(FMonitors.get());
  const std::vector<QSize> sizes = SizesOf(panels);
  const TFlow flow = FlowPanels(sizes, FPanelHost->width());
  int widest = 0;
  for (const QSize& size : sizes) widest = std::max(widest, size.width());
  // A panel wider than the page scrolls sideways instead of being cut.
  FPanelHost->setMinimumWidth(widest > 0 ? widest + 2 * kGap : 0);
  for (std::size_t i = 0; i < panels.size(); ++i) panels[i]->move(flow.Places[i]);
  FPanelHost->update();
}
