#include "Tervox_Monitor.h"
#include "Tervox_MonitorModule.h"

#include "core/DqRoutine.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_User.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QThread>
#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <system_error>

namespace {

constexpr int kFaceWidth = 220;
constexpr int kFaceHeight = 220;
constexpr int kStripHeight = 40;
constexpr int kLampTop = 149;

QFont PanelFont(const QString& AFamily, int APixelSize) {
  QFont font(AFamily);
  font.setPixelSize(APixelSize);
  font.setBold(true);
  return font;
}

// Text placed by its top edge, as the panel's layout gives positions.
void DrawTextTop(QPainter& ACanvas, int ALeft, int ATop, const QString& AText) {
  ACanvas.drawText(ALeft, ATop + QFontMetrics(ACanvas.font()).ascent(), AText);
}

int TextWidth(const QPainter& ACanvas, const QString& AText) {
  return QFontMetrics(ACanvas.font()).horizontalAdvance(AText);
}

// The engine's hand-over to a panel. Calls may come from the worker: each
// is carried out on the user-interface thread, and only while the panel
// still exists.
class TMonitorLink final : public TTervoxMonitorLink {
public:
  explicit TMonitorLink(TTervoxMonitor* APanel) : FPanel(APanel) {}
  // User-interface thread only.
  TTervoxMonitor* Panel() const { return FPanel.data(); }

  void Redraw() override {
    Post([](TTervoxMonitor& APanel) { APanel.UpdateBitmap(); });
  }
  void ResetTimer() override {
    Post([](TTervoxMonitor& APanel) { APanel.ResetTimer(); });
  }
  void RestoreTimer() override {
    Post([](TTervoxMonitor& APanel) { APanel.RestoreTimer(); });
  }
  void ShowSync() override {
    Post([](TTervoxMonitor& APanel) { APanel.SetShowSync(true); });
  }

private:
  template <class F> void Post(F AAction) const {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    // Copying the guarded pointer is safe on any thread; reading it is
    // left to the user-interface thread.
    QPointer<TTervoxMonitor> panel = FPanel;
    if (QThread::currentThread() == app->thread()) {
      if (panel) AAction(*panel);
      return;
    }
    QMetaObject::invokeMethod(
        app,
        [panel, AAction] {
          if (panel) AAction(*panel);
        },
        Qt::QueuedConnection);
  }

  const QPointer<TTervoxMonitor> FPanel;
};
// Lamp phase length in whole milliseconds, halves to the even neighbour,
// never below 1 ms (a zero-interval timer would fire continuously).
int PhaseInterval(int AShare, int APeriod) {
  const double ms = std::nearbyint(static_cast<double>(AShare) * APeriod / 1000.0);
  return static_cast<int>(std::clamp(ms, 1.0, 2147483647.0));
}

int OutPeriod(int APeriodicTime) {
  return APeriodicTime > 0 ? APeriodicTime : 1000;
}
} // namespace

// ===== TTervoxMonitor

class TTervoxMonitor::TLockGuard {
public:
  explicit TLockGuard(TTervoxMonitor& AMonitor) : FMonitor(AMonitor) { FMonitor.Lock(); }
  ~TLockGuard() { FMonitor.Unlock(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

private:
  TTervoxMonitor& FMonitor;
};

TTervoxMonitor::TTervoxMonitor(QWidget* AOwner)
    : QWidget(AOwner),
      FBitmap(kFaceWidth, kFaceHeight + kStripHeight, QImage::Format_ARGB32_Premultiplied),
      FActions(DefaultMonitorActions()) {
  LoadMonitorResources();
  FBitmap.fill(Qt::black);
  // The off-screen picture covers every pixel: no background erase.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setMouseTracking(true);
  FLink = std::make_shared<TMonitorLink>(this);

  auto makeTimer = [this](const char* AName, int AInterval, auto AHandler) {
    auto timer = std::make_unique<QTimer>(this);
    timer->setObjectName(QString::fromLatin1(AName));
    timer->setInterval(AInterval);
    connect(timer.get(), &QTimer::timeout, this, AHandler);
    timer->start();
    return timer;
  };
  FTimerAT = makeTimer("TimerAT", 500, [this] { TimerATTimer(); });
  FTimerRun = makeTimer("TimerRun", 500, [this] { TimerRunTimer(); });
  FTimerOut1 = makeTimer("TimerOut1", 500, [this] { TimerOutTimer(0); });
  FTimerOut2 = makeTimer("TimerOut2", 500, [this] { TimerOutTimer(1); });
  FTimerPrg = makeTimer("TimerPrg", 500, [this] { TimerPrgTimer(); });
  FTimerSync = makeTimer("TimerSync", 700, [this] { TimerSyncTimer(); });
  ApplyZoom();

  const TTervoxUserGroup* group = CurrentUser()->Group();
  CreateButtons(group && group->CanChangeMode);
  // The first picture already carries the (disabled) keys.
  UpdateBitmap();
}

TTervoxMonitor::~TTervoxMonitor() {
  Unbind();
  FTimerAT.reset();
  FTimerRun.reset();
  FTimerOut1.reset();
  FTimerOut2.reset();
  FTimerPrg.reset();
  FTimerSync.reset();
  FButtons.reset();
}

void TTervoxMonitor::CreateButtons(bool ACanChangeMode) {
  FButtons = std::make_unique<TTervoxButtonList>(this);
  auto act = [this](auto AAction) {
    return [this, AAction](TTervoxButton&) {
      // Not under the lock: the action may open a modal dialog.
      TTervoxDevice* device = nullptr;
      {
        TLockGuard guard(*this);
        device = FDevice;
      }
      if (device) AAction(*device);
    };
  };
  FButtons->AddButton(QStringLiteral("BUTTON_RUN"), 6, 103, act([this](TTervoxDevice& ADevice) {
                        if (FActions.SetIsRun) FActions.SetIsRun(ADevice, !ADevice.IsRun());
                      }));
  FButtons->AddButton(QStringLiteral("BUTTON_MANUAL"), 6, 169, act([this](TTervoxDevice& ADevice) {
                        if (FActions.LaunchManual) FActions.LaunchManual(ADevice);
                      }));
  FButtons->AddButton(
      1, kFaceHeight, kFaceWidth - 1, kStripHeight, act([this](TTervoxDevice& ADevice) {
        if (FActions.ShowInfomation) FActions.ShowInfomation(ADevice);
      }),
      [this](TTervoxButton& AButton, QPainter& ACanvas) { PaintNameStrip(AButton, ACanvas); });
  FButtons->AddButton(QStringLiteral("BUTTON_AT"), ACanChangeMode ? 48 : 61, 169,
                      act([this](TTervoxDevice& ADevice) {
                        if (FActions.SetIsAT) FActions.SetIsAT(ADevice, !ADevice.IsAT());
                      }));
  FButtons->AddButton(QStringLiteral("BUTTON_PRG"), ACanChangeMode ? 89 : 116, 169,
                      act([this](TTervoxDevice& ADevice) {
                        if (FActions.SetIsPrg) FActions.SetIsPrg(ADevice, !ADevice.IsPrg());
                      }));
  FButtons->AddButton(QStringLiteral("BUTTON_FIX"), ACanChangeMode ? 131 : 172, 169,
                      act([this](TTervoxDevice& ADevice) {
                        if (FActions.LaunchFix) FActions.LaunchFix(ADevice);
                      }));
  if (ACanChangeMode)
    FButtons->AddButton(QStringLiteral("BUTTON_MODE"), 172, 169,
                        act([this](TTervoxDevice& ADevice) {
                          if (FActions.LaunchMode) FActions.LaunchMode(ADevice);
                        }));
}

void TTervoxMonitor::Lock() {
  try {
    FLock.lock();
  } catch (const std::system_error&) {
    throw EDqException(QStringLiteral("Failed to lock monitor object"));
  }
  FLockOwner = std::this_thread::get_id();
  ++FLockDepth;
}

void TTervoxMonitor::Unlock() {
  if (FLockOwner.load() != std::this_thread::get_id() || FLockDepth <= 0)
    throw EDqException(QStringLiteral("Failed to unlock monitor object"));
  if (--FLockDepth == 0) FLockOwner = std::thread::id();
  FLock.unlock();
}

void TTervoxMonitor::SetDevice(TTervoxDevice* ADevice) {
  if (ADevice == FDevice) return;
  {
    TLockGuard guard(*this);
    TTervoxDevice* old = FDevice;
    std::shared_ptr<TTervoxDevice> oldHold = std::move(FDeviceHold);
    FDevice = ADevice;
    FDeviceHold = ADevice ? ADevice->weak_from_this().lock() : nullptr;
    if (old && old->Monitor() == FLink) old->SetMonitor(nullptr);
    if (ADevice) {
      const std::shared_ptr<TTervoxMonitorLink> previous = ADevice->Monitor();
      if (previous != FLink) {
        ADevice->SetMonitor(FLink);
        // The panel that showed this device shows none now.
        if (auto* link = dynamic_cast<TMonitorLink*>(previous.get()))
          if (TTervoxMonitor* other = link->Panel();
              other && other != this && other->Device() == ADevice)
            other->SetDevice(nullptr);
      }
    }
  }
  UpdateBitmap();
}

void TTervoxMonitor::Unbind() {
  TLockGuard guard(*this);
  if (FDevice && FDevice->Monitor() == FLink) FDevice->SetMonitor(nullptr);
  FDevice = nullptr;
  FDeviceHold.reset();
}

void TTervoxMonitor::SetShowSync(bool AValue) {
  FShowSync = AValue;
  // Restarted by every poll, so the lamp stays lit 700 ms after the last.
  if (AValue)
    FTimerSync->start();
  else
    FTimerSync->stop();
}

void TTervoxMonitor::SetZoom(int AValue) {
  if (AValue == FZoom || AValue <= 0) return;
  FZoom = AValue;
  ApplyZoom();
  update();
}

void TTervoxMonitor::ApplyZoom() {
  setFixedSize(FBitmap.width() * FZoom / 100, FBitmap.height() * FZoom / 100);
}

QString TTervoxMonitor::ValueText(double AValue, int ADigit, bool AIsPV) {
  if (!(AValue >= -9999)) return AIsPV ? QStringLiteral("LLLL") : QStringLiteral("CJLL");
  if (AValue >= 10000) return AIsPV ? QStringLiteral("HHHH") : QStringLiteral("CJHH");
  const int decimals = std::clamp(ADigit, 0, 20);
  QString text = QString::asprintf("    %4.*f", decimals, std::fabs(AValue));
  // The point is a character of its own; only four digit places survive.
  text = text.right(ADigit < 1 ? 4 : 5);
  if (AValue < 0) text.prepend(QLatin1Char('-'));
  return text;
}

void TTervoxMonitor::UpdateBitmap() {
  TLockGuard guard(*this);
  const TMonitorModule& module = MonitorModule();
  {
    QPainter canvas(&FBitmap);
    canvas.setRenderHint(QPainter::TextAntialiasing);
    canvas.drawImage(0, 0, module.DisplayNone);
    const int mode = DeviceDisplayMode();
    if (mode == kDisplayModeLED) {
      canvas.drawImage(86, kLampTop, module.BoxGray);
      canvas.drawImage(116, kLampTop, module.BoxGray);
    }
    TTervoxDevice* device = FDevice;
    const bool ready = device && device->StatusReady();
    const bool synchronized = ready && device->Synchronized();
    if (!ready) {
      canvas.drawImage(197, 2, module.Sync2);
    } else if (!synchronized) {
      canvas.drawImage(197, 2, module.Unsync);
    } else {
      const int digit = device->Digit();
      module.LedPV->Draw(canvas, ValueText(device->PV_Float(), digit, true));
      module.LedSV->Draw(canvas, ValueText(device->SV_Float(), digit, false));

      if (device->IsRun() && FShowRun) canvas.drawImage(10, kLampTop, module.BoxGreen);
      if (device->IsPrg() && FShowPrg) canvas.drawImage(34, kLampTop, module.BoxGreen);
      if (device->IsAT() && FShowAT) canvas.drawImage(59, kLampTop, module.BoxGreen);
      if (device->IsEV1()) canvas.drawImage(144, kLampTop, module.BoxOrange);
      if (device->IsEV2()) canvas.drawImage(169, kLampTop, module.BoxOrange);
      if (device->IsEV3()) canvas.drawImage(194, kLampTop, module.BoxOrange);

      const int out1 = device->Out1(), out2 = device->Out2();
      if (mode == kDisplayModeValue) {
        canvas.setFont(PanelFont(QStringLiteral("Arial"), 14));
        canvas.setPen(QColor(136, 255, 128));
        auto outText = [](int AOut) {
          return (-32767 < AOut && AOut < 32767) ? QString::asprintf("%1.1f", AOut / 10.0)
                                                 : QStringLiteral("----");
        };
        const QString text1 = outText(out1), text2 = outText(out2);
        DrawTextTop(canvas, 93 - TextWidth(canvas, text1) / 2, kLampTop, text1);
        DrawTextTop(canvas, 124 - TextWidth(canvas, text2) / 2, kLampTop, text2);
      } else {
        if (FShowOut1 && 0 < out1 && out1 < 32767) canvas.drawImage(86, kLampTop, module.BoxGreen);
        if (FShowOut2 && 0 < out2 && out2 < 32767) canvas.drawImage(116, kLampTop, module.BoxGreen);
      }
      canvas.drawImage(197, 2, FShowSync ? module.Sync : module.Sync2);

      canvas.setFont(PanelFont(QStringLiteral("Arial"), 14));
      canvas.setPen(Qt::white);
      DrawTextTop(canvas, 9, module.DisplayNone.height() - 17, device->ModelName());
    }
    if (FButtons) {
      FButtons->SetEnabled(synchronized);
      FButtons->Paint(canvas);
    }
  }
  update();
}

void TTervoxMonitor::PaintNameStrip(TTervoxButton& AButton, QPainter& ACanvas) {
  const QRect strip(AButton.Left(), AButton.Top(), AButton.Width(), AButton.Height());
  ACanvas.fillRect(strip, QColor(34, 34, 34));
  ACanvas.fillRect(strip.adjusted(2, 2, -2, -2), QColor(64, 64, 64));
  TTervoxDevice* device = FDevice;
  if (!device || !device->StatusReady()) return;

  ACanvas.setFont(PanelFont(QStringLiteral("Microsoft Sans Serif"), 18));
  ACanvas.setPen(QColor(255, 255, 0));
  const QString name = device->DeviceData().Name;
  DrawTextTop(ACanvas, (strip.left() + strip.width() - TextWidth(ACanvas, name)) / 2,
              strip.top() + 3, name);

  ACanvas.setFont(PanelFont(QStringLiteral("Microsoft Sans Serif"), 14));
  QString second;
  if (device->Synchronized()) {
    ACanvas.setPen(QColor(0, 255, 255));
    second = device->DeviceData().Model;
  } else {
    ACanvas.setPen(QColor(255, 0, 0));
    second = QStringLiteral("*** lost connection ***");
  }
  DrawTextTop(ACanvas, (strip.left() + strip.width() - TextWidth(ACanvas, second)) / 2,
              strip.top() + 21, second);
}

void TTervoxMonitor::ResetTimer() {
  FTimerOut1->setInterval(250);
  FTimerOut2->setInterval(250);
}

void TTervoxMonitor::RestoreTimer() {
  TLockGuard guard(*this);
  if (!FDevice) return;
  FTimerOut1->setInterval(OutPeriod(FDevice->PeriodicTimeOut1()));
  FTimerOut2->setInterval(OutPeriod(FDevice->PeriodicTimeOut2()));
}

void TTervoxMonitor::TimerATTimer() {
  TLockGuard guard(*this);
  if (!FDevice) return;
  const bool show = FDevice->IsAT() && !FShowAT;
  if (show == FShowAT) return;
  FShowAT = show;
  UpdateBitmap();
}

void TTervoxMonitor::TimerRunTimer() {
  TLockGuard guard(*this);
  if (!FDevice) return;
  const bool show = !FDevice->IsManual() || !FShowRun;
  if (show == FShowRun) return;
  FShowRun = show;
  UpdateBitmap();
}

void TTervoxMonitor::TimerPrgTimer() {
  TLockGuard guard(*this);
  if (!FDevice) return;
  const bool show = !FDevice->IsPrgRun() || !FShowPrg;
  if (show == FShowPrg) return;
  FShowPrg = show;
  UpdateBitmap();
}

void TTervoxMonitor::TimerOutTimer(int AIndex) {
  TLockGuard guard(*this);
  if (!FDevice) return;
  const int out = AIndex == 0 ? FDevice->Out1() : FDevice->Out2();
  const int period =
      OutPeriod(AIndex == 0 ? FDevice->PeriodicTimeOut1() : FDevice->PeriodicTimeOut2());
  bool& show = AIndex == 0 ? FShowOut1 : FShowOut2;
  QTimer* timer = AIndex == 0 ? FTimerOut1.get() : FTimerOut2.get();
  const bool old = show;
  if (out <= 0 || out >= 1000 || FDevice->RunChanged()) {
    show = out > 0;
  } else {
    // Lit for the output's share of each period (Out is in tenths of %).
    show = !show;
    timer->setInterval(PhaseInterval(show ? out : 1000 - out, period));
  }
  if (show != old) UpdateBitmap();
}

void TTervoxMonitor::TimerSyncTimer() {
  FTimerSync->stop();
  TLockGuard guard(*this);
  if (!FDevice || !FShowSync) return;
  FShowSync = false;
  UpdateBitmap();
}

QPoint TTervoxMonitor::PanelPoint(const QPointF& APosition) const {
  const int x = static_cast<int>(std::floor(APosition.x()));
  const int y = static_cast<int>(std::floor(APosition.y()));
  return QPoint(x * 100 / FZoom, y * 100 / FZoom);
}

void TTervoxMonitor::paintEvent(QPaintEvent*) {
  TLockGuard guard(*this);
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(QRect(0, 0, width(), height()), FBitmap);
}

void TTervoxMonitor::mousePressEvent(QMouseEvent* AEvent) {
  if (FDevice && FButtons && AEvent->button() == Qt::LeftButton) {
    const QPoint p = PanelPoint(AEvent->position());
    if (FButtons->MouseDown(p.x(), p.y())) {
      UpdateBitmap();
      AEvent->accept();
      return;
    }
  }
  QWidget::mousePressEvent(AEvent);
}

void TTervoxMonitor::mouseMoveEvent(QMouseEvent* AEvent) {
  if (FButtons) {
    const QPoint p = PanelPoint(AEvent->position());
    if (FButtons->MouseMove(p.x(), p.y())) UpdateBitmap();
  }
  QWidget::mouseMoveEvent(AEvent);
}

void TTervoxMonitor::mouseReleaseEvent(QMouseEvent* AEvent) {
  if (FButtons && AEvent->button() == Qt::LeftButton) {
    const QPoint p = PanelPoint(AEvent->position());
    const QPointer<TTervoxMonitor> self(this);
    const bool clicked = FButtons->MouseUp(p.x(), p.y());
    if (!self) return;
    if (clicked) {
      UpdateBitmap();
      AEvent->accept();
      return;
    }
  }
  QWidget::mouseReleaseEvent(AEvent);
}

void TTervoxMonitor::leaveEvent(QEvent* AEvent) {
  // No move arrives once the pointer has left: drop the highlight here.
  if (FButtons && FButtons->MouseMove(-1, -1)) UpdateBitmap();
  QWidget::leaveEvent(AEvent);
}

// ===== TTervoxMonitorList

TTervoxMonitorList::~TTervoxMonitorList() {
  Clear();
}

void TTervoxMonitorList::Clear() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
    delete it->data();
  FItems.clear();
}

TTervoxMonitor* TTervoxMonitorList::AddMonitor(TTervoxDevice* ADevice, QWidget* AParent) {
  auto monitor = std::make_unique<TTervoxMonitor>(nullptr);
  monitor->Lock();
  try {
    monitor->SetDevice(ADevice);
    if (AParent) {
      monitor->setParent(AParent);
      monitor->show();
    }
  } catch (...) {
    monitor->Unlock();
    throw;
  }
  monitor->Unlock();
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FItems.emplace_back(monitor.get());
  return monitor.release();
}

int TTervoxMonitorList::Count() const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return static_cast<int>(FItems.size());
}

TTervoxMonitor* TTervoxMonitorList::Monitors(int AIndex) const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FItems.size()))
    throw EDqException(QStringLiteral("Monitor index out of bound"));
  return FItems[static_cast<std::size_t>(AIndex)].data();
}

void TTervoxMonitorList::SetMonitors(int AIndex, TTervoxMonitor* AMonitor) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FItems.size()))
    throw EDqException(QStringLiteral("Monitor index out of bound"));
  QPointer<TTervoxMonitor>& item = FItems[static_cast<std::size_t>(AIndex)];
  if (item.data() != AMonitor) delete item.data();
  item = AMonitor;
}
