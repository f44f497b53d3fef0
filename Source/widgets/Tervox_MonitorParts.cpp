// The front panel's parts: the shared pictures, the display mode, the
// seven-segment renderer and the picture keys.
#include "Tervox_MonitorModule.h"

#include "core/DqRoutine.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_Device.h"

#include <QPainter>

#include <map>

namespace {

// ----- Shared pictures: loaded once, shared (implicitly) by every panel.
std::map<QString, QImage>& PictureCache() {
  static std::map<QString, QImage> cache;
  return cache;
}

const QImage& Picture(const QString& AName) {
  auto& cache = PictureCache();
  auto it = cache.find(AName);
  if (it != cache.end()) return it->second;
  const QString path = QStringLiteral(":/PNG/%1.png").arg(AName);
  QImage image;
  if (!image.load(path, "PNG"))
    throw EDqException(QStringLiteral("Picture resource not found: ") + path);
  return cache.emplace(AName, image.convertToFormat(QImage::Format_ARGB32_Premultiplied))
      .first->second;
}

std::unique_ptr<TMonitorModule> gModule;
std::atomic<int> gDisplayMode{kDisplayModeValue};

// Segment patterns of the characters that have one; all others are blank.
constexpr std::array<std::uint16_t, 128> MakePatterns() {
  std::array<std::uint16_t, 128> t{};
  const char digits[] = "0123456789";
  const std::uint16_t digitBits[] = {0x77, 0x12, 0x5D, 0x5B, 0x3A, 0x6B, 0x6F, 0x52, 0x7F, 0x7B};
  for (int i = 0; i < 10; ++i)
    t[static_cast<unsigned char>(digits[i])] = digitBits[i];
  const std::uint16_t letterBits[] = {0x7E, 0x2F, 0x65, 0x1F, 0x6D, 0x6C, 0x67, 0x3E, 0x45,
                                      0x13, 0x3C, 0x25, 0x4E, 0x0E, 0x0F, 0x7C, 0x7A, 0x0C,
                                      0x6B, 0x2D, 0x07, 0x3F, 0x47, 0x2A, 0x3B, 0x49};
  for (int i = 0; i < 26; ++i)
    t[static_cast<std::size_t>('A' + i)] = letterBits[i];
  t['-'] = 0x08;
  t['_'] = 0x01;
  return t;
}
constexpr std::array<std::uint16_t, 128> kPatterns = MakePatterns();

} // namespace

// ===== Module

int DeviceDisplayMode() {
  return gDisplayMode;
}
void SetDeviceDisplayMode(int AMode) {
  gDisplayMode = AMode;
}

void LoadMonitorResources() {
  if (gModule) return;
  auto module = std::make_unique<TMonitorModule>();
  module->DisplayNone = Picture(QStringLiteral("DISPLAY_NONE"));
  module->BoxGray = Picture(QStringLiteral("LEDBOXGRAY"));
  module->BoxGreen = Picture(QStringLiteral("LEDBOXGREEN"));
  module->BoxOrange = Picture(QStringLiteral("LEDBOXORANGE"));
  module->Sync = Picture(QStringLiteral("LEDSYNC"));
  module->Sync2 = Picture(QStringLiteral("LEDSYNC2"));
  module->Unsync = Picture(QStringLiteral("LEDUNSYNC"));
  module->LedPV =
      std::make_unique<TTervoxLED>(QStringLiteral("LEDDIGITRED"), QStringLiteral("LEDLIGHTRED"), 8);
  module->LedPV->SetLeft(18);
  module->LedPV->SetTop(15);
  module->LedPV->SetWidth(420);
  module->LedSV = std::make_unique<TTervoxLED>(QStringLiteral("LEDDIGITGREEN"),
                                               QStringLiteral("LEDLIGHTGREEN"), 9);
  module->LedSV->SetLeft(64);
  module->LedSV->SetTop(79);
  module->LedSV->SetWidth(306);
  gDisplayMode = Config()->GetValueIntDef(QStringLiteral("DeviceDisplayMode"), kDisplayModeValue);
  gModule = std::move(module);
}

const TMonitorModule& MonitorModule() {
  LoadMonitorResources();
  return *gModule;
}

void FreeMonitorResources() {
  gModule.reset();
  PictureCache().clear();
}

TTervoxMonitorActions& DefaultMonitorActions() {
  // The keys act on the controller through its control writes; what opens
  // a window (the information box, the settings dialogs) the shell adds.
  static TTervoxMonitorActions actions = [] {
    TTervoxMonitorActions a;
    a.SetIsRun = [](TTervoxDevice& ADevice, bool AValue) { ADevice.SetIsRun(AValue); };
    a.SetIsAT = [](TTervoxDevice& ADevice, bool AValue) { ADevice.SetIsAT(AValue); };
    a.SetIsPrg = [](TTervoxDevice& ADevice, bool AValue) { ADevice.SetIsPrg(AValue); };
    return a;
  }();
  return actions;
}

// ===== TTervoxLED

TTervoxLED::TTervoxLED(const QString& AResDigit, const QString& AResLight, int ACount)
    : FCount(std::clamp(ACount, 0, 9)) {
  for (int n = FCount - 1; n >= 0; --n) {
    FPicDigit[static_cast<std::size_t>(n)] = Picture(AResDigit + QString::number(n));
    FPicLight[static_cast<std::size_t>(n)] = Picture(AResLight + QString::number(n));
  }
}

std::uint16_t TTervoxLED::Pattern(QChar AChar) {
  const char16_t code = AChar.unicode();
  return code < kPatterns.size() ? kPatterns[code] : 0;
}

void TTervoxLED::Draw(QPainter& ACanvas, int X, int Y, unsigned ADigitPattern) const {
  // All glows first, so that no glow covers a neighbouring lit segment.
  for (int n = 0; n < FCount; ++n)
    if (ADigitPattern & (1u << n)) ACanvas.drawImage(X, Y, FPicLight[static_cast<std::size_t>(n)]);
  for (int n = 0; n < FCount; ++n)
    if (ADigitPattern & (1u << n)) ACanvas.drawImage(X, Y, FPicDigit[static_cast<std::size_t>(n)]);
}

void TTervoxLED::Draw(QPainter& ACanvas, const QString& AText) const {
  int x = FLeft;
  qsizetype i = 0;
  const qsizetype length = AText.size();
  for (int cells = 0; i < length && cells < 4; ++cells) {
    const QChar c = AText.at(i++);
    unsigned pattern = Pattern(c);
    // A minus shares its cell with the next character ("-1" of 3 1/2 digits).
    if (c == QLatin1Char('-') && i < length) pattern |= Pattern(AText.at(i++));
    if (i < length) {
      if (AText.at(i) == QLatin1Char('.')) {
        pattern |= 0x80;
        ++i;
      } else if (AText.at(i) == QLatin1Char(':')) {
        pattern |= 0x180;
        ++i;
      }
    }
    Draw(ACanvas, x, FTop, pattern);
    x = (x * 10 + FWidth) / 10;
  }
}

// ===== TTervoxButton

void TTervoxButton::SetPicture(const QString& AResName) {
  FName = AResName;
  FPicNormal = Picture(AResName + QStringLiteral("_NORMAL"));
  FPicLight = Picture(AResName + QStringLiteral("_LIGHT"));
  FPicDown = Picture(AResName + QStringLiteral("_DOWN"));
  FPicDisabled = Picture(AResName + QStringLiteral("_DISABLED"));
  FWidth = FPicNormal.width();
  FHeight = FPicNormal.height();
}

void TTervoxButton::Paint(QPainter& ACanvas) {
  if (FOnPaint) {
    FOnPaint(*this, ACanvas);
    return;
  }
  if (!FEnabled)
    ACanvas.drawImage(FLeft, FTop, FPicDisabled);
  else if (FDown)
    ACanvas.drawImage(FLeft, FTop, FPicDown);
  else if (FMove)
    ACanvas.drawImage(FLeft + 1, FTop, FPicLight);
  else
    ACanvas.drawImage(FLeft, FTop, FPicNormal);
}

bool TTervoxButton::Contains(int X, int Y) const {
  return FLeft <= X && X < FLeft + FWidth && FTop <= Y && Y < FTop + FHeight;
}

bool TTervoxButton::MouseDown(int X, int Y) {
  const bool was = FDown;
  FDown = FEnabled && Contains(X, Y);
  return FEnabled && was != FDown;
}

bool TTervoxButton::MouseMove(int X, int Y) {
  const bool was = FMove;
  FMove = FEnabled && Contains(X, Y);
  return FEnabled && was != FMove;
}

bool TTervoxButton::MouseUp(int, int) {
  const bool click = FEnabled && FDown;
  FDown = false;
  if (!click) return false;
  // The handler may free the panel and this key with it: keep the handler
  // alive on the stack and touch no member afterwards.
  const TNotifyEvent handler = FOnClick;
  if (handler) handler(*this);
  return true;
}

// ===== TTervoxButtonList

TTervoxButton* TTervoxButtonList::AddButton(const QString& AResName, int ALeft, int ATop,
                                            TTervoxButton::TNotifyEvent AOnClick,
                                            TTervoxButton::TPaintEvent AOnPaint) {
  return Add(
      ALeft, ATop, [&AResName](TTervoxButton& AButton) { AButton.SetPicture(AResName); }, std::move(AOnClick),
      std::move(AOnPaint));
}

TTervoxButton* TTervoxButtonList::AddButton(int ALeft, int ATop, int AWidth, int AHeight,
                                            TTervoxButton::TNotifyEvent AOnClick,
                                            TTervoxButton::TPaintEvent AOnPaint) {
  return Add(
      ALeft, ATop,
      [AWidth, AHeight](TTervoxButton& AButton) {
        AButton.SetWidth(AWidth);
        AButton.SetHeight(AHeight);
      },
      std::move(AOnClick), std::move(AOnPaint));
}

TTervoxButton* TTervoxButtonList::Add(int ALeft, int ATop, const std::function<void(TTervoxButton&)>& ASize,
                                      TTervoxButton::TNotifyEvent AOnClick, TTervoxButton::TPaintEvent AOnPaint) {
  auto button = std::make_unique<TTervoxButton>(FParent);
  ASize(*button);
  button->SetLeft(ALeft);
  button->SetTop(ATop);
  button->SetOnClick(std::move(AOnClick));
  button->SetOnPaint(std::move(AOnPaint));
  FItems.push_back(std::move(button));
  return FItems.back().get();
}

void TTervoxButtonList::SetEnabled(bool AValue) {
  for (auto& button : FItems)
    button->SetEnabled(AValue);
}

void TTervoxButtonList::Paint(QPainter& ACanvas) const {
  for (auto& button : FItems)
    button->Paint(ACanvas);
}

TTervoxButton* TTervoxButtonList::Buttons(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count())
    throw EDqException(QStringLiteral("Button index out of bound"));
  return FItems[static_cast<std::size_t>(AIndex)].get();
}

bool TTervoxButtonList::MouseDown(int X, int Y) {
  for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
    if ((*it)->MouseDown(X, Y)) return true;
  return false;
}

bool TTervoxButtonList::MouseMove(int X, int Y) {
  for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
    if ((*it)->MouseMove(X, Y)) return true;
  return false;
}

bool TTervoxButtonList::MouseUp(int X, int Y) {
  // A click may free the list: leave at once.
  for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
    if ((*it)->MouseUp(X, Y)) return true;
  return false;
}
