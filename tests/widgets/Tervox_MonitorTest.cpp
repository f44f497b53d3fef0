// The monitor panel is tested by what it shows: the pixels of the painted
// control, read against the artwork it is drawn from.
#include "widgets/Tervox_Monitor.h"
#include "core/DqRoutine.h"
#include "TestSupport.h"
#include "store/Tervox_Config.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_User.h"

#include <QDir>
#include <QFontMetrics>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace {

QImage Resource(const QString& AName) {
  return QImage(QStringLiteral(":/PNG/%1.png").arg(AName))
      .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage Shot(TTervoxMonitor& APanel) {
  return APanel.grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// Where each segment of a digit set is: the centre of its opaque pixels.
std::vector<QPoint> SegmentCentres(const QString& APrefix, int ACount) {
  std::vector<QPoint> centres;
  for (int n = 0; n < ACount; ++n) {
    const QImage pic = Resource(APrefix + QString::number(n));
    double sx = 0, sy = 0;
    int count = 0;
    for (int y = 0; y < pic.height(); ++y)
      for (int x = 0; x < pic.width(); ++x)
        if (qAlpha(pic.pixel(x, y)) >= 250) {
          sx += x;
          sy += y;
          ++count;
        }
    EXPECT_GT(count, 0) << qPrintable(APrefix) << n;
    centres.emplace_back(static_cast<int>(std::lround(sx / std::max(count, 1))),
                         static_cast<int>(std::lround(sy / std::max(count, 1))));
  }
  return centres;
}

struct TDisplay {
  bool Red;
  int Top;
  std::vector<int> Lefts;
  std::vector<QPoint> Centres;
};

const TDisplay& PVDisplay() {
  static const TDisplay d{
      true, 15, {18, 60, 102, 144}, SegmentCentres(QStringLiteral("LEDDIGITRED"), 8)};
  return d;
}
const TDisplay& SVDisplay() {
  static const TDisplay d{
      false, 79, {64, 94, 124, 154}, SegmentCentres(QStringLiteral("LEDDIGITGREEN"), 9)};
  return d;
}

// The segment patterns the pixels show, cell by cell.
std::vector<unsigned> ReadCells(const QImage& AFace, const TDisplay& ADisplay) {
  std::vector<unsigned> cells;
  for (int left : ADisplay.Lefts) {
    unsigned pattern = 0;
    for (std::size_t n = 0; n < ADisplay.Centres.size(); ++n) {
      const QColor c = AFace.pixelColor(QPoint(left, ADisplay.Top) + ADisplay.Centres[n]);
      const bool lit =
          ADisplay.Red ? (c.red() > 200 && c.green() < 160) : (c.green() > 200 && c.red() < 200);
      if (lit) pattern |= 1u << n;
    }
    cells.push_back(pattern);
  }
  return cells;
}

// Every opaque pixel of the picture (of its first AColumns columns) appears
// unchanged at AAt.
bool ShowsPicture(const QImage& AFace, const QString& AName, QPoint AAt, int AColumns = 1000) {
  const QImage pic = Resource(AName);
  if (pic.isNull()) return false;
  for (int y = 0; y < pic.height(); ++y)
    for (int x = 0; x < std::min(pic.width(), AColumns); ++x)
      if (qAlpha(pic.pixel(x, y)) == 255 &&
          AFace.pixel(AAt.x() + x, AAt.y() + y) != pic.pixel(x, y))
        return false;
  return true;
}

// Bounding box of the pixels in ARegion that satisfy APredicate.
template <class P> QRect PixelBox(const QImage& AFace, const QRect& ARegion, P APredicate) {
  QRect box;
  for (int y = ARegion.top(); y <= ARegion.bottom(); ++y)
    for (int x = ARegion.left(); x <= ARegion.right(); ++x)
      if (APredicate(AFace.pixelColor(x, y))) box |= QRect(x, y, 1, 1);
  return box;
}

bool IsRedText(const QColor& c) {
  return c.red() > 180 && c.green() < 70 && c.blue() < 70;
}
bool IsCyanText(const QColor& c) {
  return c.red() < 90 && c.green() > 180 && c.blue() > 180;
}
bool IsYellowText(const QColor& c) {
  return c.red() > 180 && c.green() > 180 && c.blue() < 70;
}
bool IsOutText(const QColor& c) {
  return c.green() > 150 && c.red() > 60 && c.red() < 200 && c.blue() < 160;
}

TTervoxModelType Identification(const char* AText) {
  TTervoxModelType type;
  std::memcpy(type.Data.data(), AText, std::min<std::size_t>(std::strlen(AText), 20));
  return type;
}

// A controller that has answered: running, auto, no events, values set.
void MakeLive(TTervoxDevice& ADevice, int APV = 250, int ASV = 300, int ADigit = 1) {
  TTervoxDeviceData data;
  data.ID = 1;
  data.Name = QStringLiteral("Oven 1");
  data.Model = QStringLiteral("TRX-RS-ECD");
  ADevice.SetDeviceData(data);
  ADevice.SetModelType(Identification("TRXBANKR0130ECDHTRP0"));
  ADevice.SetDigit(ADigit);
  ADevice.SetPV(APV);
  ADevice.SetSV(ASV);
  ADevice.SetOut1(455);
  ADevice.SetOut2(0);
  ADevice.SetOperationBits(0);
  ADevice.SetStatusReady(true);
  ADevice.SetSynchronized(true);
}

// Panels read the current user's permission when created.
struct TUserMode {
  explicit TUserMode(bool ACanChangeMode) {
    CurrentUser()->Group()->CanChangeMode = ACanChangeMode;
  }
  ~TUserMode() { CurrentUser()->Group()->CanChangeMode = false; }
};

struct TDisplayMode {
  // After module start, which would read the stored setting over it.
  explicit TDisplayMode(int AMode) : FOld((LoadMonitorResources(), DeviceDisplayMode())) {
    SetDeviceDisplayMode(AMode);
  }
  ~TDisplayMode() { SetDeviceDisplayMode(FOld); }
  int FOld;
};

// Optional: TERVOX_PANEL_SHOTS=<dir> keeps pictures of the panels under test.
void KeepShot(TTervoxMonitor& APanel, const QString& AName) {
  const QByteArray dir = qgetenv("TERVOX_PANEL_SHOTS");
  if (dir.isEmpty()) return;
  QDir().mkpath(QString::fromLocal8Bit(dir));
  const QImage shot = Shot(APanel);
  shot.save(QDir(QString::fromLocal8Bit(dir)).filePath(AName + QStringLiteral(".png")));
  shot.scaled(shot.size() * 3)
      .save(QDir(QString::fromLocal8Bit(dir)).filePath(AName + QStringLiteral("_x3.png")));
}

TEST(MonitorArtwork, EveryPictureHasItsSize) {
  struct TArt {
    QString Name;
    QSize Size;
  };
  std::vector<TArt> art = {
      {"DISPLAY_NONE", {220, 220}}, {"LEDBOXGRAY", {17, 15}}, {"LEDBOXGREEN", {18, 16}},
      {"LEDBOXORANGE", {18, 16}},   {"LEDSYNC", {20, 20}},    {"LEDSYNC2", {20, 20}},
      {"LEDUNSYNC", {20, 20}},
  };
  for (int n = 0; n < 8; ++n)
    for (const char* set : {"LEDDIGITRED", "LEDLIGHTRED"})
      art.push_back({set + QString::number(n), {54, 69}});
  for (int n = 0; n < 9; ++n)
    for (const char* set : {"LEDDIGITGREEN", "LEDLIGHTGREEN"})
      art.push_back({set + QString::number(n), {49, 55}});
  for (const char* key : {"RUN", "MANUAL", "AT", "PRG", "FIX", "MODE"})
    for (const char* state : {"_NORMAL", "_LIGHT", "_DOWN", "_DISABLED"})
      art.push_back({QStringLiteral("BUTTON_") + key + state, {42, 30}});
  for (const TArt& a : art) {
    const QImage image = Resource(a.Name);
    EXPECT_FALSE(image.isNull()) << qPrintable(a.Name);
    EXPECT_EQ(image.size(), a.Size) << qPrintable(a.Name);
  }
  // The four key states look different from one another.
  EXPECT_NE(Resource("BUTTON_RUN_NORMAL"), Resource("BUTTON_RUN_LIGHT"));
  EXPECT_NE(Resource("BUTTON_RUN_NORMAL"), Resource("BUTTON_RUN_DOWN"));
  EXPECT_NE(Resource("BUTTON_RUN_NORMAL"), Resource("BUTTON_RUN_DISABLED"));
}

TEST(MonitorValueText, FourDigitPlacesAndMarkers) {
  const double nan = std::nan("");
  struct TCase {
    double Value;
    int Digit;
    const char* PV;
    const char* SV;
  } cases[] = {
      {25.34, 1, " 25.3", " 25.3"},  {-123.4, 1, "-123.4", "-123.4"}, {-1999, 0, "-1999", "-1999"},
      {1234.5, 1, "234.5", "234.5"}, {7, 0, "   7", "   7"},          {0.5, 2, " 0.50", " 0.50"},
      {32767, 1, "HHHH", "CJHH"},    {10000, 0, "HHHH", "CJHH"},      {-32768, 1, "LLLL", "CJLL"},
      {-9999.5, 1, "LLLL", "CJLL"},  {nan, 0, "LLLL", "CJLL"},        {-9999, 0, "-9999", "-9999"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(TTervoxMonitor::ValueText(c.Value, c.Digit, true), QString::fromLatin1(c.PV))
        << c.Value;
    EXPECT_EQ(TTervoxMonitor::ValueText(c.Value, c.Digit, false), QString::fromLatin1(c.SV))
        << c.Value;
  }
}

TEST(MonitorDisplay, CellsLightTheSegmentsOfTheValue) {
  // Patterns by segment: 0 bottom, 1 lower right, 2 lower left, 3 middle,
  // 4 upper right, 5 upper left, 6 top, 7 point.
  const unsigned k1 = 0x12, k2 = 0x5D, k3 = 0x5B, k4 = 0x3A, k5 = 0x6B, k9 = 0x7B, kH = 0x3E,
                 kMinus = 0x08, kPoint = 0x80, kC = 0x65, kJ = 0x13, kL = 0x25;
  struct TCase {
    int PV, SV, Digit;
    std::vector<unsigned> PVCells, SVCells;
  } cases[] = {
      {253, 1234, 1, {0, k2, k5 | kPoint, k3}, {k1, k2, k3 | kPoint, k4}}, // 25.3 / 123.4
      {-1234,
       -1999,
       1,
       {kMinus | k1, k2, k3 | kPoint, k4},
       {kMinus | k1, k9, k9 | kPoint, k9}},                            // -123.4 / -199.9
      {-1999, 32767, 0, {kMinus | k1, k9, k9, k9}, {kC, kJ, kH, kH}},  // -1999 / CJHH
      {32767, -32768, 1, {kH, kH, kH, kH}, {kC, kJ, kL, kL}},          // HHHH / CJLL
      {12345, -32768, 1, {k2, k3, k4 | kPoint, k5}, {kC, kJ, kL, kL}}, // 1234.5 shows 234.5
  };

  TTervoxDevice device;
  TTervoxMonitor panel;
  panel.SetDevice(&device);
  for (const TCase& c : cases) {
    MakeLive(device, c.PV, c.SV, c.Digit);
    panel.UpdateBitmap();
    const QImage face = Shot(panel);
    EXPECT_EQ(ReadCells(face, PVDisplay()), c.PVCells) << "PV " << c.PV;
    EXPECT_EQ(ReadCells(face, SVDisplay()), c.SVCells) << "SV " << c.SV;
  }
  MakeLive(device, 253, 1234, 1);
  panel.UpdateBitmap();
  KeepShot(panel, QStringLiteral("panel_live"));
}

TEST(MonitorDisplay, RendererRulesForLettersPointsAndColons) {
  struct TCase {
    const TDisplay& Display;
    const char* Text;
    std::vector<unsigned> Cells;
  } cases[] = {
      {SVDisplay(), "Ab1c", {0x7E, 0, 0x12, 0}},            // lower case is blank
      {SVDisplay(), "12:3", {0x12, 0x5D | 0x180, 0x5B, 0}}, // colon: point and upper dot
      {PVDisplay(), "12:3", {0x12, 0x5D | 0x80, 0x5B, 0}},  // no upper dot in the red set
      {PVDisplay(), "1.2.3.4.5", {0x92, 0xDD, 0xDB, 0xBA}}, // four cells at most
      {PVDisplay(), "-", {0x08, 0, 0, 0}},
      {SVDisplay(), "_- 8", {0x01, 0x08, 0x7F, 0}}, // minus takes the blank after it
  };
  for (const TCase& c : cases) {
    const bool red = c.Display.Red;
    TTervoxLED led(red ? QStringLiteral("LEDDIGITRED") : QStringLiteral("LEDDIGITGREEN"),
                   red ? QStringLiteral("LEDLIGHTRED") : QStringLiteral("LEDLIGHTGREEN"),
                   red ? 8 : 9);
    led.SetLeft(c.Display.Lefts[0]);
    led.SetTop(c.Display.Top);
    led.SetWidth(red ? 420 : 306);
    QImage canvas(220, 220, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::black);
    {
      QPainter p(&canvas);
      led.Draw(p, QString::fromLatin1(c.Text));
    }
    EXPECT_EQ(ReadCells(canvas, c.Display), c.Cells) << c.Text;
  }
}

// Which key picture shows at a key's place.
QString KeyState(const QImage& AFace, const QString& AKey, int ALeft, int ATop) {
  for (const char* state : {"_NORMAL", "_DOWN", "_DISABLED"})
    if (ShowsPicture(AFace, AKey + state, QPoint(ALeft, ATop)))
      return QString::fromLatin1(state + 1);
  // Shifted right, the bright key's last column lies under its neighbour.
  if (ShowsPicture(AFace, AKey + "_LIGHT", QPoint(ALeft + 1, ATop), 40))
    return QStringLiteral("LIGHT");
  return QStringLiteral("none");
}

TEST(MonitorFace, StatesOfTheConnection) {
  TTervoxDevice device;
  MakeLive(device, 253, 300, 1);
  device.SetOperationBits(1); // AT on
  device.SetEventBits(5);     // EV1, EV3
  TTervoxMonitor panel;
  panel.SetDevice(&device);
  panel.SetShowSync(true);
  panel.UpdateBitmap();
  QImage face = Shot(panel);
  EXPECT_EQ(face.size(), QSize(220, 260));
  EXPECT_TRUE(ShowsPicture(face, "LEDSYNC", {197, 2}));
  EXPECT_NE(ReadCells(face, PVDisplay()), std::vector<unsigned>(4, 0));
  EXPECT_TRUE(ShowsPicture(face, "LEDBOXGREEN", {10, 149}));  // RUN
  EXPECT_TRUE(ShowsPicture(face, "LEDBOXGREEN", {59, 149}));  // AT
  EXPECT_FALSE(ShowsPicture(face, "LEDBOXGREEN", {34, 149})); // PRG
  EXPECT_TRUE(ShowsPicture(face, "LEDBOXORANGE", {144, 149}));
  EXPECT_FALSE(ShowsPicture(face, "LEDBOXORANGE", {169, 149}));
  EXPECT_TRUE(ShowsPicture(face, "LEDBOXORANGE", {194, 149}));
  EXPECT_EQ(KeyState(face, "BUTTON_RUN", 6, 103), "NORMAL");
  EXPECT_FALSE(PixelBox(face, QRect(1, 240, 219, 20), IsCyanText).isEmpty());
  EXPECT_TRUE(PixelBox(face, QRect(1, 220, 219, 40), IsRedText).isEmpty());
  // The model name in white over the face's bottom left.
  EXPECT_FALSE(PixelBox(face, QRect(9, 203, 60, 15), [](const QColor& c) {
                 return c.lightness() > 240;
               }).isEmpty());
  KeepShot(panel, QStringLiteral("panel_at_ev"));

  // Lost connection: red lamp, blank face, grey keys, the notice in red.
  device.SetSynchronized(false);
  panel.UpdateBitmap();
  face = Shot(panel);
  KeepShot(panel, QStringLiteral("panel_lost"));
  EXPECT_TRUE(ShowsPicture(face, "LEDUNSYNC", {197, 2}));
  EXPECT_EQ(ReadCells(face, PVDisplay()), std::vector<unsigned>(4, 0));
  EXPECT_EQ(ReadCells(face, SVDisplay()), std::vector<unsigned>(4, 0));
  for (QPoint lamp : {QPoint(10, 149), QPoint(59, 149)})
    EXPECT_FALSE(ShowsPicture(face, "LEDBOXGREEN", lamp));
  EXPECT_FALSE(ShowsPicture(face, "LEDBOXORANGE", {144, 149}));
  for (auto [key, left, top] : {std::tuple{"BUTTON_RUN", 6, 103},
                                {"BUTTON_MANUAL", 6, 169},
                                {"BUTTON_AT", 61, 169},
                                {"BUTTON_PRG", 116, 169},
                                {"BUTTON_FIX", 172, 169}})
    EXPECT_EQ(KeyState(face, key, left, top), "DISABLED") << key;
  QFont notice(QStringLiteral("Microsoft Sans Serif"));
  notice.setPixelSize(14);
  notice.setBold(true);
  const int noticeWidth =
      QFontMetrics(notice).horizontalAdvance(QStringLiteral("*** lost connection ***"));
  const QRect red = PixelBox(face, QRect(1, 240, 219, 20), IsRedText);
  EXPECT_NEAR(red.width(), noticeWidth, 4);
  EXPECT_NEAR(red.center().x(), 110, 3);
  EXPECT_TRUE(PixelBox(face, QRect(1, 240, 219, 20), IsCyanText).isEmpty());
  const QRect name = PixelBox(face, QRect(1, 220, 219, 20), IsYellowText);
  EXPECT_FALSE(name.isEmpty());
  EXPECT_NEAR(name.center().x(), 110, 3);

  // Never read: dark lamp, empty strip. No device at all: the same.
  for (bool bound : {true, false}) {
    device.SetStatusReady(false);
    panel.SetDevice(bound ? &device : nullptr);
    panel.UpdateBitmap();
    face = Shot(panel);
    EXPECT_TRUE(ShowsPicture(face, "LEDSYNC2", {197, 2}));
    EXPECT_EQ(ReadCells(face, PVDisplay()), std::vector<unsigned>(4, 0));
    EXPECT_EQ(PixelBox(face, QRect(3, 222, 215, 36),
                       [](const QColor& c) { return c != QColor(64, 64, 64); }),
              QRect());
    EXPECT_EQ(KeyState(face, "BUTTON_RUN", 6, 103), "DISABLED");
  }
}

TEST(MonitorFace, OutputsAsValuesOrLamps) {
  // The module takes its display mode from the settings when it starts.
  for (int stored : {kDisplayModeLED, kDisplayModeValue}) {
    Config()->SetValueInt(QStringLiteral("DeviceDisplayMode"), stored);
    FreeMonitorResources();
    SetDeviceDisplayMode(0);
    LoadMonitorResources();
    EXPECT_EQ(DeviceDisplayMode(), stored);
  }

  TTervoxDevice device;
  MakeLive(device);
  device.SetOut1(455);
  device.SetOut2(32767);
  {
    TDisplayMode mode(kDisplayModeValue);
    TTervoxMonitor panel;
    panel.SetDevice(&device);
    const QImage face = Shot(panel);
    KeepShot(panel, QStringLiteral("panel_values"));
    const QRect out1 = PixelBox(face, QRect(78, 149, 31, 18), IsOutText);
    const QRect out2 = PixelBox(face, QRect(109, 149, 31, 18), IsOutText);
    EXPECT_NEAR(out1.center().x(), 93, 2);
    EXPECT_GE(out1.height(), 9); // "45.5": digits
    EXPECT_NEAR(out2.center().x(), 124, 2);
    EXPECT_LE(out2.height(), 3); // "----": a row of dashes
    EXPECT_GE(out2.width(), 12);
    EXPECT_FALSE(ShowsPicture(face, "LEDBOXGRAY", {86, 149}));
  }
  {
    TDisplayMode mode(kDisplayModeLED);
    TTervoxMonitor panel;
    panel.SetDevice(&device);
    QImage face = Shot(panel);
    KeepShot(panel, QStringLiteral("panel_leds"));
    EXPECT_TRUE(ShowsPicture(face, "LEDBOXGREEN", {86, 149})); // 0 < 455 < 32767
    EXPECT_TRUE(ShowsPicture(face, "LEDBOXGRAY", {116, 149})); // no value: unlit
    EXPECT_TRUE(PixelBox(face, QRect(78, 149, 62, 18), IsOutText).isEmpty());
    // The grey OUT lamps belong to the LED face in every state.
    device.SetSynchronized(false);
    panel.UpdateBitmap();
    face = Shot(panel);
    EXPECT_TRUE(ShowsPicture(face, "LEDBOXGRAY", {86, 149}));
    EXPECT_TRUE(ShowsPicture(face, "LEDBOXGRAY", {116, 149}));
  }
}

TEST(MonitorKeys, LayoutFollowsThePermissionAtCreation) {
  struct TKey {
    const char* Name;
    int Left, Top;
  };
  const std::vector<TKey> withMode = {
      {"BUTTON_RUN", 6, 103},   {"BUTTON_MANUAL", 6, 169}, {"", 1, 220},
      {"BUTTON_AT", 48, 169},   {"BUTTON_PRG", 89, 169},   {"BUTTON_FIX", 131, 169},
      {"BUTTON_MODE", 172, 169}};
  const std::vector<TKey> withoutMode = {
      {"BUTTON_RUN", 6, 103}, {"BUTTON_MANUAL", 6, 169}, {"", 1, 220},
      {"BUTTON_AT", 61, 169}, {"BUTTON_PRG", 116, 169},  {"BUTTON_FIX", 172, 169}};
  for (bool canChangeMode : {true, false}) {
    const auto& keys = canChangeMode ? withMode : withoutMode;
    TTervoxDevice device; // outlives the panel that shows it
    MakeLive(device);
    std::unique_ptr<TTervoxMonitor> panel;
    {
      TUserMode user(canChangeMode);
      panel = std::make_unique<TTervoxMonitor>();
    }
    panel->SetDevice(&device); // the permission is not read again
    const QImage face = Shot(*panel);
    KeepShot(*panel, canChangeMode ? QStringLiteral("panel_mode") : QStringLiteral("panel_nomode"));
    ASSERT_EQ(panel->Buttons()->Count(), static_cast<int>(keys.size()));
    for (int i = 0; i < panel->Buttons()->Count(); ++i) {
      const TTervoxButton* b = panel->Buttons()->Buttons(i);
      EXPECT_EQ(b->Name(), QString::fromLatin1(keys[i].Name));
      EXPECT_EQ(QPoint(b->Left(), b->Top()), QPoint(keys[i].Left, keys[i].Top)) << keys[i].Name;
      if (*keys[i].Name) {
        EXPECT_EQ(KeyState(face, QString::fromLatin1(keys[i].Name), keys[i].Left, keys[i].Top),
                  "NORMAL");
      }
    }
    EXPECT_EQ(QSize(panel->Buttons()->Buttons(2)->Width(), panel->Buttons()->Buttons(2)->Height()),
              QSize(219, 40));
    // Without the permission nothing of a MODE key is to be seen.
    if (!canChangeMode) {
      for (const char* state : {"_NORMAL", "_LIGHT", "_DOWN", "_DISABLED"})
        EXPECT_FALSE(ShowsPicture(face, QStringLiteral("BUTTON_MODE") + state, {172, 169}));
    }
  }
}

TEST(MonitorKeys, ListRules) {
  TTervoxButtonList list(nullptr);
  std::vector<int> clicks;
  // Two overlapping keys: the later one is offered the pointer first.
  list.AddButton(0, 0, 20, 20, [&](TTervoxButton&) { clicks.push_back(0); });
  list.AddButton(10, 0, 20, 20, [&](TTervoxButton&) { clicks.push_back(1); });
  TTervoxButton& first = *list.Buttons(0);
  TTervoxButton& second = *list.Buttons(1);

  EXPECT_FALSE(list.MouseDown(5, 5)); // disabled: nothing goes down
  EXPECT_FALSE(first.Down());
  EXPECT_FALSE(list.MouseUp(5, 5));
  list.SetEnabled(true);

  EXPECT_TRUE(list.MouseDown(15, 5)); // the overlap belongs to the later key
  EXPECT_TRUE(second.Down());
  EXPECT_FALSE(first.Down());
  EXPECT_TRUE(list.MouseUp(200, 200)); // released far away: still a click
  EXPECT_EQ(clicks, std::vector<int>{1});

  EXPECT_TRUE(list.MouseDown(5, 5));
  EXPECT_TRUE(first.Down());
  // Pressing elsewhere lets go of the key; the first change ends the event.
  EXPECT_TRUE(list.MouseDown(100, 100));
  EXPECT_FALSE(first.Down());
  EXPECT_FALSE(list.MouseUp(5, 5));
  EXPECT_EQ(clicks, std::vector<int>{1});

  EXPECT_FALSE(list.MouseDown(50, 50)); // on no key: no change
  EXPECT_THROW(list.Buttons(2), EDqException);
}

struct TClickLog {
  std::vector<QString> Calls;
  TTervoxMonitorActions Actions() {
    TTervoxMonitorActions a;
    auto flag = [this](const char* AName) {
      return [this, AName](TTervoxDevice&, bool AValue) {
        Calls.push_back(QString::fromLatin1(AName) +
                        (AValue ? QStringLiteral("=1") : QStringLiteral("=0")));
      };
    };
    auto launch = [this](const char* AName) {
      return [this, AName](TTervoxDevice&) { Calls.push_back(QString::fromLatin1(AName)); };
    };
    a.SetIsRun = flag("Run");
    a.SetIsAT = flag("AT");
    a.SetIsPrg = flag("Prg");
    a.LaunchManual = launch("Manual");
    a.LaunchFix = launch("Fix");
    a.LaunchMode = launch("Mode");
    a.ShowInfomation = launch("Info");
    return a;
  }
};

struct TShownPanel {
  explicit TShownPanel(bool ACanChangeMode = true) {
    MakeLive(Device);
    {
      TUserMode user(ACanChangeMode);
      Panel = std::make_unique<TTervoxMonitor>();
    }
    Panel->SetActions(Log.Actions());
    Panel->SetDevice(&Device);
    Panel->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(Panel.get()));
  }
  TTervoxDevice Device;
  TClickLog Log;
  std::unique_ptr<TTervoxMonitor> Panel;
};

TEST(MonitorKeys, EachKeyAsksForItsOperation) {
  TShownPanel shown;
  shown.Device.SetOperationBits(1); // running, AT on, no program
  shown.Panel->UpdateBitmap();
  struct TCase {
    QPoint At;
    const char* Call;
  } cases[] = {
      {{27, 118}, "Run=0"}, {{27, 184}, "Manual"}, {{110, 240}, "Info"},
      {{69, 184}, "AT=0"},  {{110, 184}, "Prg=1"}, {{152, 184}, "Fix"},
      {{193, 184}, "Mode"}, {{110, 60}, nullptr}, // the face itself
  };
  for (const TCase& c : cases) {
    shown.Log.Calls.clear();
    QTest::mouseClick(shown.Panel.get(), Qt::LeftButton, Qt::NoModifier, c.At);
    const std::vector<QString> expected =
        c.Call ? std::vector<QString>{QString::fromLatin1(c.Call)} : std::vector<QString>{};
    EXPECT_EQ(shown.Log.Calls, expected) << c.At.x() << "," << c.At.y();
  }
  // At 200 % the same keys sit at twice the distance.
  shown.Panel->SetZoom(200);
  EXPECT_EQ(shown.Panel->size(), QSize(440, 520));
  shown.Log.Calls.clear();
  QTest::mouseClick(shown.Panel.get(), Qt::LeftButton, Qt::NoModifier, QPoint(304, 368));
  EXPECT_EQ(shown.Log.Calls, std::vector<QString>{"Fix"});
}

TEST(MonitorKeys, PressMoveAndRelease) {
  TShownPanel shown;
  TTervoxMonitor& panel = *shown.Panel;
  const QPoint run(27, 118), at(69, 184);

  // Pointer over a key: the bright picture, one pixel to the right.
  QTest::mouseMove(&panel, at);
  EXPECT_EQ(KeyState(Shot(panel), "BUTTON_AT", 48, 169), "LIGHT");
  QTest::mouseMove(&panel, QPoint(110, 60));
  EXPECT_EQ(KeyState(Shot(panel), "BUTTON_AT", 48, 169), "NORMAL");

  // Pressed RUN stays down when the pointer leaves it, and fires on a
  // release outside the panel.
  QTest::mousePress(&panel, Qt::LeftButton, Qt::NoModifier, run);
  EXPECT_EQ(KeyState(Shot(panel), "BUTTON_RUN", 6, 103), "DOWN");
  QTest::mouseMove(&panel, QPoint(300, 300));
  EXPECT_EQ(KeyState(Shot(panel), "BUTTON_RUN", 6, 103), "DOWN");
  EXPECT_TRUE(shown.Log.Calls.empty());
  QTest::mouseRelease(&panel, Qt::LeftButton, Qt::NoModifier, QPoint(300, 300));
  EXPECT_EQ(shown.Log.Calls, std::vector<QString>{"Run=0"});
  EXPECT_EQ(KeyState(Shot(panel), "BUTTON_RUN", 6, 103), "NORMAL");

  // Released over another key: only the pressed one answers.
  shown.Log.Calls.clear();
  QTest::mousePress(&panel, Qt::LeftButton, Qt::NoModifier, run);
  QTest::mouseRelease(&panel, Qt::LeftButton, Qt::NoModifier, at);
  EXPECT_EQ(shown.Log.Calls, std::vector<QString>{"Run=0"});

  // Grey keys do nothing.
  shown.Log.Calls.clear();
  shown.Device.SetSynchronized(false);
  panel.UpdateBitmap();
  for (QPoint p : {run, at, QPoint(110, 240)})
    QTest::mouseClick(&panel, Qt::LeftButton, Qt::NoModifier, p);
  EXPECT_TRUE(shown.Log.Calls.empty());
}

TEST(MonitorLamps, ThreeStatusLampsBlinkOrStay) {
  struct TCase {
    int OperationBits, ProgramBits;
    bool Prg;
    const char* Timer;
    QPoint Lamp;
    bool Blinks;
  } cases[] = {
      {0, 0, false, "TimerRun", {10, 149}, false}, // running in automatic: steady
      {2, 0, false, "TimerRun", {10, 149}, true},  // manual: blinking
      {1, 0, false, "TimerAT", {59, 149}, true},   // auto-tuning
      {0, 0, true, "TimerPrg", {34, 149}, false},  // program mode: steady
      {0, 1, true, "TimerPrg", {34, 149}, true},   // program running
  };
  for (const TCase& c : cases) {
    TTervoxDevice device;
    MakeLive(device);
    device.SetOperationBits(c.OperationBits);
    device.SetProgramBits(c.ProgramBits);
    device.SetProgramMode(c.Prg);
    TTervoxMonitor panel;
    panel.SetDevice(&device);
    QTimer* timer = panel.findChild<QTimer*>(QString::fromLatin1(c.Timer));
    ASSERT_NE(timer, nullptr);
    QSignalSpy ticks(timer, &QTimer::timeout);
    std::vector<bool> lit;
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(ticks.wait(5000));
      lit.push_back(ShowsPicture(Shot(panel), "LEDBOXGREEN", c.Lamp));
    }
    if (c.Blinks)
      EXPECT_NE(lit[0], lit[1]) << c.Timer;
    else
      EXPECT_EQ(lit, std::vector<bool>(2, true)) << c.Timer;
  }
}

TEST(MonitorLamps, OutLampsShareEachPeriodByTheOutput) {
  TDisplayMode mode(kDisplayModeLED);
  tervox_test::FixedClock clock(45000.0);
  struct TCase {
    int Out, Period;
    bool RunChanged;
    std::vector<bool> Lit;      // after each tick
    std::vector<int> Intervals; // after each tick
  } cases[] = {
      {250, 2000, false, {false, true}, {1500, 500}}, // 500 ms of every 2000
      {250, 0, false, {false, true}, {750, 250}},     // unread period: 1000 ms
      {1, 500, false, {false, true}, {500, 1}},       // 499.5 to even; 0.5 ms becomes 1
      {1000, 2000, false, {true, true}, {250, 250}},  // full output: steady
      {0, 2000, false, {false, false}, {250, 250}},   // no output: dark
      {250, 2000, true, {true, true}, {250, 250}},    // RUN just changed: steady
  };
  for (const TCase& c : cases) {
    TTervoxDevice device;
    MakeLive(device);
    device.SetOut1(c.Out);
    device.SetPeriodicTimeOut1(c.Period);
    device.SetRunChanged(c.RunChanged);
    clock.Advance(1.0); // leaves the RUN change window unless still flagged
    TTervoxMonitor panel;
    panel.SetDevice(&device);
    panel.ResetTimer();
    QTimer* timer = panel.findChild<QTimer*>(QStringLiteral("TimerOut1"));
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->interval(), 250);
    QSignalSpy ticks(timer, &QTimer::timeout);
    for (std::size_t i = 0; i < c.Lit.size(); ++i) {
      ASSERT_TRUE(ticks.wait(5000));
      EXPECT_EQ(ShowsPicture(Shot(panel), "LEDBOXGREEN", {86, 149}), c.Lit[i])
          << c.Out << " tick " << i;
      EXPECT_EQ(timer->interval(), c.Intervals[i]) << c.Out << " tick " << i;
    }
  }

  // Restoring takes the periods; an unread one counts as 1000 ms.
  TTervoxDevice device;
  device.SetPeriodicTimeOut1(0);
  device.SetPeriodicTimeOut2(3000);
  TTervoxMonitor panel;
  panel.RestoreTimer(); // no device: no change
  EXPECT_EQ(panel.findChild<QTimer*>(QStringLiteral("TimerOut2"))->interval(), 500);
  panel.SetDevice(&device);
  panel.RestoreTimer();
  EXPECT_EQ(panel.findChild<QTimer*>(QStringLiteral("TimerOut1"))->interval(), 1000);
  EXPECT_EQ(panel.findChild<QTimer*>(QStringLiteral("TimerOut2"))->interval(), 3000);
}

TEST(MonitorLink, WorkerCallsTakeEffectOnTheUserInterfaceThread) {
  TTervoxDevice device;
  MakeLive(device);
  auto panel = std::make_unique<TTervoxMonitor>();
  panel->SetDevice(&device);
  const std::shared_ptr<TTervoxMonitorLink> link = device.Monitor();
  ASSERT_NE(link, nullptr);

  std::thread([&] {
    link->ShowSync();
    link->ResetTimer();
    link->Redraw();
  }).join();
  // Nothing happened on the worker; the queued calls run here.
  EXPECT_FALSE(panel->ShowSync());
  EXPECT_EQ(panel->findChild<QTimer*>(QStringLiteral("TimerOut1"))->interval(), 500);
  QCoreApplication::processEvents();
  EXPECT_TRUE(panel->ShowSync());
  EXPECT_EQ(panel->findChild<QTimer*>(QStringLiteral("TimerOut1"))->interval(), 250);
  EXPECT_TRUE(ShowsPicture(Shot(*panel), "LEDSYNC", {197, 2}));
  // The lamp goes dark when its timer runs out.
  QSignalSpy sync(panel->findChild<QTimer*>(QStringLiteral("TimerSync")), &QTimer::timeout);
  ASSERT_TRUE(sync.wait(5000));
  EXPECT_FALSE(panel->ShowSync());
  EXPECT_TRUE(ShowsPicture(Shot(*panel), "LEDSYNC2", {197, 2}));

  // Calls queued before the panel goes, and calls after it, are harmless.
  std::thread([&] { link->ShowSync(); }).join();
  panel.reset();
  EXPECT_EQ(device.Monitor(), nullptr);
  std::thread([&] {
    link->ShowSync();
    link->ResetTimer();
    link->RestoreTimer();
    link->Redraw();
  }).join();
  QCoreApplication::processEvents();
  link->Redraw(); // and on this thread
}

TEST(MonitorLink, BindingIsTwoSided) {
  TTervoxDevice first, second;
  TTervoxMonitor a, b;
  a.SetDevice(&first);
  const auto linkA = first.Monitor();
  ASSERT_NE(linkA, nullptr);

  b.SetDevice(&first); // the device moves to b; a shows nothing
  EXPECT_EQ(a.Device(), nullptr);
  EXPECT_EQ(b.Device(), &first);
  EXPECT_NE(first.Monitor(), nullptr);
  EXPECT_NE(first.Monitor(), linkA);

  a.SetDevice(&second);
  b.SetDevice(&second); // b lets go of first
  EXPECT_EQ(first.Monitor(), nullptr);
  EXPECT_EQ(a.Device(), nullptr);
  b.SetDevice(nullptr);
  EXPECT_EQ(second.Monitor(), nullptr);

  // The panel lock is re-entrant; unlocking what is not held is an error.
  a.Lock();
  a.Lock();
  a.Unlock();
  a.Unlock();
  try {
    a.Unlock();
    ADD_FAILURE() << "unlocked a free lock";
  } catch (const EDqException& e) {
    EXPECT_EQ(e.Message(), QStringLiteral("Failed to unlock monitor object"));
  }
}

TEST(MonitorList, AddsBindsAndFreesPanels) {
  TTervoxDevice d1, d2;
  QWidget page;
  QPointer<TTervoxMonitor> p1, p2;
  {
    TTervoxMonitorList list;
    p1 = list.AddMonitor(&d1, &page);
    p2 = list.AddMonitor(&d2, &page);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Monitors(1), p2.data());
    EXPECT_EQ(p1->parentWidget(), &page);
    EXPECT_EQ(p1->Device(), &d1);
    EXPECT_NE(d2.Monitor(), nullptr);
    for (int bad : {-1, 2}) {
      try {
        list.Monitors(bad);
        ADD_FAILURE() << bad;
      } catch (const EDqException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Monitor index out of bound"));
      }
    }
    delete p1.data(); // a panel freed by others leaves an empty place
    EXPECT_EQ(list.Monitors(0), nullptr);
    EXPECT_EQ(d1.Monitor(), nullptr);
  }
  EXPECT_TRUE(p2.isNull());
  EXPECT_EQ(d2.Monitor(), nullptr);
}

} // namespace
