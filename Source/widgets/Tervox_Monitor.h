// The LED-style front panel of one controller: seven-segment PV and SV
// displays, status lamps, picture keys and the name strip, all drawn into an
// off-screen picture that the control paints scaled by its zoom.
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QPainter;
class QTimer;
class TTervoxDevice;
class TTervoxMonitor;
class TTervoxMonitorLink;

// How OUT1/OUT2 are shown: as lamps or as percentages.
constexpr int kDisplayModeLED = 1;
constexpr int kDisplayModeValue = 2;
int DeviceDisplayMode();
// The options page stores the setting and calls this; the next redraw of
// every panel follows it.
void SetDeviceDisplayMode(int AMode);

// Shared pictures, the two digit renderers and the display mode. Loaded by
// the first panel (or earlier by the caller); freed at shutdown.
void LoadMonitorResources();
void FreeMonitorResources();

// Seven-segment text renderer. Segment n: 0 bottom, 1 lower right, 2 lower
// left, 3 middle, 4 upper right, 5 upper left, 6 top, 7 point, 8 upper dot.
class TTervoxLED {
public:
  TTervoxLED(const QString& AResDigit, const QString& AResLight, int ACount);
  int Count() const { return FCount; }
  int Left() const { return FLeft; }
  void SetLeft(int AValue) { FLeft = AValue; }
  int Top() const { return FTop; }
  void SetTop(int AValue) { FTop = AValue; }
  // Cell pitch in tenths of a pixel.
  int Width() const { return FWidth; }
  void SetWidth(int AValue) { FWidth = AValue; }

  void Draw(QPainter& ACanvas, int X, int Y, unsigned ADigitPattern) const;
  // Up to four cells from Left, Top.
  void Draw(QPainter& ACanvas, const QString& AText) const;
  static std::uint16_t Pattern(QChar AChar);

private:
  int FCount;
  int FLeft = 0;
  int FTop = 0;
  int FWidth = 0;
  std::array<QImage, 9> FPicDigit;
  std::array<QImage, 9> FPicLight;
};

// A picture key inside a panel's off-screen picture (not a window).
class TTervoxButton {
public:
  using TNotifyEvent = std::function<void(TTervoxButton&)>;
  using TPaintEvent = std::function<void(TTervoxButton&, QPainter&)>;

  explicit TTervoxButton(TTervoxMonitor* AParent) : FParent(AParent) {}
  // Loads AResName + "_NORMAL", "_LIGHT", "_DOWN", "_DISABLED"; the normal
  // picture gives the size.
  void SetPicture(const QString& AResName);
  void Paint(QPainter& ACanvas);

  const QString& Name() const { return FName; }
  int Left() const { return FLeft; }
  void SetLeft(int AValue) { FLeft = AValue; }
  int Top() const { return FTop; }
  void SetTop(int AValue) { FTop = AValue; }
  int Width() const { return FWidth; }
  void SetWidth(int AValue) { FWidth = AValue; }
  int Height() const { return FHeight; }
  void SetHeight(int AValue) { FHeight = AValue; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool AValue) { FEnabled = AValue; }
  bool Down() const { return FDown; }
  TTervoxMonitor* Parent() const { return FParent; }
  void SetParent(TTervoxMonitor* AParent) { FParent = AParent; }
  const TNotifyEvent& OnClick() const { return FOnClick; }
  void SetOnClick(TNotifyEvent AHandler) { FOnClick = std::move(AHandler); }
  const TPaintEvent& OnPaint() const { return FOnPaint; }
  void SetOnPaint(TPaintEvent AHandler) { FOnPaint = std::move(AHandler); }

  // Each returns whether the key changed state (unscaled panel pixels).
  bool MouseDown(int X, int Y);
  bool MouseMove(int X, int Y);
  bool MouseUp(int X, int Y);

private:
  bool Contains(int X, int Y) const;

  QString FName;
  QImage FPicNormal, FPicLight, FPicDown, FPicDisabled;
  int FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
  bool FEnabled = false, FMove = false, FDown = false;
  TTervoxMonitor* FParent;
  TNotifyEvent FOnClick;
  TPaintEvent FOnPaint;
};

class TTervoxButtonList {
public:
  explicit TTervoxButtonList(TTervoxMonitor* AParent) : FParent(AParent) {}
  TTervoxButton* AddButton(const QString& AResName, int ALeft, int ATop,
                           TTervoxButton::TNotifyEvent AOnClick,
                           TTervoxButton::TPaintEvent AOnPaint = {});
  TTervoxButton* AddButton(int ALeft, int ATop, int AWidth, int AHeight,
                           TTervoxButton::TNotifyEvent AOnClick,
                           TTervoxButton::TPaintEvent AOnPaint = {});
  void SetEnabled(bool AValue);
  // First to last.
  void Paint(QPainter& ACanvas) const;
  int Count() const { return static_cast<int>(FItems.size()); }
  TTervoxButton* Buttons(int AIndex) const;
  // Offered last to first; the first key that changes takes the event.
  bool MouseDown(int X, int Y);
  bool MouseMove(int X, int Y);
  bool MouseUp(int X, int Y);

private:
  // A new key at ALeft, ATop, placed last.
  TTervoxButton* Add(int ALeft, int ATop, const std::function<void(TTervoxButton&)>& ASize,
                     TTervoxButton::TNotifyEvent AOnClick, TTervoxButton::TPaintEvent AOnPaint);

  TTervoxMonitor* FParent;
  std::vector<std::unique_ptr<TTervoxButton>> FItems;
};

// What the panel's keys ask of the controller. The pages install these; a
// missing one leaves its key without effect.
struct TTervoxMonitorActions {
  std::function<void(TTervoxDevice&, bool)> SetIsRun;
  std::function<void(TTervoxDevice&, bool)> SetIsAT;
  std::function<void(TTervoxDevice&, bool)> SetIsPrg;
  std::function<void(TTervoxDevice&)> LaunchManual;
  std::function<void(TTervoxDevice&)> LaunchFix;
  std::function<void(TTervoxDevice&)> LaunchMode;
  std::function<void(TTervoxDevice&)> ShowInfomation;
};
// Copied into every panel when it is created.
TTervoxMonitorActions& DefaultMonitorActions();

class TTervoxMonitor : public QWidget {
  Q_OBJECT

public:
  // The keys follow the current user's CanChangeMode at this moment.
  explicit TTervoxMonitor(QWidget* AOwner = nullptr);
  ~TTervoxMonitor() override;

  TTervoxDevice* Device() const { return FDevice; }
  // Binds both ways: the device's panel becomes this one, and a panel that
  // showed the device before shows none.
  void SetDevice(TTervoxDevice* ADevice);

  bool ShowAT() const { return FShowAT; }
  bool ShowRun() const { return FShowRun; }
  bool ShowOut1() const { return FShowOut1; }
  bool ShowOut2() const { return FShowOut2; }
  bool ShowPrg() const { return FShowPrg; }
  bool ShowSync() const { return FShowSync; }
  void SetShowSync(bool AValue);
  int Zoom() const { return FZoom; }
  void SetZoom(int AValue);

  void UpdateBitmap();
  // Re-entrant panel lock.
  void Lock();
  void Unlock();
  void ResetTimer();
  void RestoreTimer();

  TTervoxButtonList* Buttons() const { return FButtons.get(); }
  const TTervoxMonitorActions& Actions() const { return FActions; }
  void SetActions(const TTervoxMonitorActions& AActions) { FActions = AActions; }

  // The PV ("LLLL"/"HHHH") or SV ("CJLL"/"CJHH") display text of a value.
  static QString ValueText(double AValue, int ADigit, bool AIsPV);

protected:
  void paintEvent(QPaintEvent* AEvent) override;
  void mousePressEvent(QMouseEvent* AEvent) override;
  void mouseMoveEvent(QMouseEvent* AEvent) override;
  void mouseReleaseEvent(QMouseEvent* AEvent) override;
  void leaveEvent(QEvent* AEvent) override;

private:
  class TLockGuard;
  void CreateButtons(bool ACanChangeMode);
  void PaintNameStrip(TTervoxButton& AButton, QPainter& ACanvas);
  void Unbind();
  void ApplyZoom();
  QPoint PanelPoint(const QPointF& APosition) const;
  void TimerATTimer();
  void TimerRunTimer();
  void TimerPrgTimer();
  void TimerOutTimer(int AIndex);
  void TimerSyncTimer();

  QImage FBitmap;
  TTervoxDevice* FDevice = nullptr;
  // Keeps a list-owned device alive while this panel shows it: the lists
  // are cleared when polling restarts, before the pages rebuild.
  std::shared_ptr<TTervoxDevice> FDeviceHold;
  std::shared_ptr<TTervoxMonitorLink> FLink;
  std::recursive_mutex FLock;
  std::atomic<std::thread::id> FLockOwner{};
  int FLockDepth = 0;
  std::unique_ptr<QTimer> FTimerAT, FTimerRun, FTimerOut1, FTimerOut2, FTimerPrg, FTimerSync;
  bool FShowAT = true, FShowRun = true, FShowOut1 = true, FShowOut2 = true, FShowPrg = true;
  bool FShowSync = false;
  std::unique_ptr<TTervoxButtonList> FButtons;
  int FZoom = 100;
  TTervoxMonitorActions FActions;
};

// The panels of the monitor page, freed last to first.
class TTervoxMonitorList {
public:
  TTervoxMonitorList() = default;
  ~TTervoxMonitorList();
  TTervoxMonitorList(const TTervoxMonitorList&) = delete;
  TTervoxMonitorList& operator=(const TTervoxMonitorList&) = delete;

  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }
  void Clear();
  // A new panel bound to ADevice and placed on AParent.
  TTervoxMonitor* AddMonitor(TTervoxDevice* ADevice, QWidget* AParent);
  int Count() const;
  TTervoxMonitor* Monitors(int AIndex) const;
  // Takes AMonitor; the panel it replaces is freed.
  void SetMonitors(int AIndex, TTervoxMonitor* AMonitor);

private:
  mutable std::recursive_mutex FLock;
  // Owned; a parent window that goes first frees its panels, which the
  // guarded pointers then see.
  std::vector<QPointer<TTervoxMonitor>> FItems;
};
