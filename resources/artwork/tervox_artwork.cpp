// Draws the program's artwork (page-bar pictures, LOGO, LOGIN, ABOUT) into PNG
// files at build time; the build compiles them in as resources.
// Usage: tervox-artwork <output directory>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>
#include <functional>

namespace {

const QColor kSteel(0x24, 0x3b, 0x55);
const QColor kSteelDark(0x14, 0x22, 0x33);
const QColor kAccent(0xe8, 0x6a, 0x17);
const QColor kLed(0xff, 0x3b, 0x2f);
const QColor kLedGreen(0x3c, 0xe0, 0x6e);

QFont SansFont(int APixelSize, bool ABold) {
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(APixelSize);
  font.setBold(ABold);
  font.setHintingPreference(QFont::PreferFullHinting);
  return font;
}

QImage NewImage(int AWidth, int AHeight) {
  QImage image(AWidth, AHeight, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

// A thermometer glyph: the program's mark, used by LOGO and LOGIN.
void DrawThermometer(QPainter& p, const QRectF& ABox, const QColor& AGlass) {
  const double w = ABox.width();
  const double bulbR = w * 0.5;
  const QPointF bulbC(ABox.center().x(), ABox.bottom() - bulbR);
  const double stemW = w * 0.46;
  QPainterPath glass;
  glass.addRoundedRect(QRectF(bulbC.x() - stemW / 2, ABox.top(), stemW, ABox.height() - bulbR), stemW / 2,
                       stemW / 2);
  glass.addEllipse(bulbC, bulbR, bulbR);
  glass = glass.simplified();
  p.setPen(QPen(AGlass, std::max(1.0, w * 0.08)));
  p.setBrush(QColor(255, 255, 255, 40));
  p.drawPath(glass);
  // The mercury column reaches two thirds up.
  const double inner = stemW * 0.45;
  const double top = ABox.top() + (ABox.height() - bulbR) * 0.33;
  p.setPen(Qt::NoPen);
  p.setBrush(kAccent);
  p.drawRoundedRect(QRectF(bulbC.x() - inner / 2, top, inner, bulbC.y() - top), inner / 2, inner / 2);
  p.drawEllipse(bulbC, bulbR * 0.66, bulbR * 0.66);
}

// Seven-segment style digits as small bars, for the LED panel pictures.
void DrawSegmentDigit(QPainter& p, QPointF AOrigin, double AScale, int ADigit) {
  static const unsigned char kMasks[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};
  const double w = 5 * AScale, h = 4.5 * AScale, t = 1.2 * AScale;
  const QRectF segs[7] = {
      {AOrigin.x() + t / 2, AOrigin.y(), w, t},                   // a
      {AOrigin.x() + w + t / 2, AOrigin.y() + t / 2, t, h},       // b
      {AOrigin.x() + w + t / 2, AOrigin.y() + h + t, t, h},       // c
      {AOrigin.x() + t / 2, AOrigin.y() + 2 * h + t, w, t},       // d
      {AOrigin.x(), AOrigin.y() + h + t, t, h},                   // e
      {AOrigin.x(), AOrigin.y() + t / 2, t, h},                   // f
      {AOrigin.x() + t / 2, AOrigin.y() + h + t / 2, w, t}};      // g
  for (int i = 0; i < 7; ++i) {
    p.setOpacity((kMasks[ADigit] >> i) & 1 ? 1.0 : 0.12);
    p.drawRect(segs[i]);
  }
  p.setOpacity(1.0);
}

// Page-bar pictures: 72x48, a symbol above its caption.
using TSymbol = std::function<void(QPainter&, const QRectF&)>;

QImage DrawPageButton(const QString& ACaption, const TSymbol& ASymbol) {
  QImage image = NewImage(72, 48);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  ASymbol(p, QRectF(16, 2, 40, 32));
  p.setFont(SansFont(10, true));
  p.setPen(QColor(0x1d, 0x2b, 0x3a));
  p.drawText(QRectF(0, 35, 72, 13), Qt::AlignCenter, ACaption);
  return image;
}

void SymbolMonitor(QPainter& p, const QRectF& r) {
  QLinearGradient bezel(r.topLeft(), r.bottomLeft());
  bezel.setColorAt(0, QColor(0x5a, 0x66, 0x74));
  bezel.setColorAt(1, QColor(0x2b, 0x33, 0x3d));
  p.setPen(QPen(QColor(0x1a, 0x1f, 0x26), 1));
  p.setBrush(bezel);
  p.drawRoundedRect(r.adjusted(0, 1, 0, -1), 3, 3);
  const QRectF screen = r.adjusted(4, 4, -4, -4);
  p.setBrush(QColor(0x0b, 0x0f, 0x12));
  p.setPen(Qt::NoPen);
  p.drawRect(screen);
  p.setBrush(kLed);
  const int digits[3] = {2, 5, 8};
  for (int i = 0; i < 3; ++i)
    DrawSegmentDigit(p, QPointF(screen.left() + 2 + i * 10, screen.top() + 3), 1.4, digits[i]);
  p.setBrush(kLedGreen);
  p.drawEllipse(QPointF(screen.right() - 3, screen.top() + 4), 1.6, 1.6);
  p.setBrush(kAccent);
  p.drawEllipse(QPointF(screen.right() - 3, screen.top() + 10), 1.6, 1.6);
}

void SymbolDevice(QPainter& p, const QRectF& r) {
  // A panel-mount controller with its display and keys.
  const QRectF box(r.left() + 6, r.top(), 28, 32);
  QLinearGradient body(box.topLeft(), box.bottomRight());
  body.setColorAt(0, QColor(0xe9, 0xec, 0xef));
  body.setColorAt(1, QColor(0xa9, 0xb1, 0xba));
  p.setPen(QPen(QColor(0x3a, 0x44, 0x50), 1.2));
  p.setBrush(body);
  p.drawRoundedRect(box, 2.5, 2.5);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x10, 0x14, 0x18));
  p.drawRect(QRectF(box.left() + 3, box.top() + 3, 22, 15));
  p.setBrush(kLed);
  DrawSegmentDigit(p, QPointF(box.left() + 5, box.top() + 4.5), 0.9, 1);
  DrawSegmentDigit(p, QPointF(box.left() + 12, box.top() + 4.5), 0.9, 5);
  p.setBrush(kLedGreen);
  p.drawRect(QRectF(box.left() + 19.5, box.top() + 6, 3, 2));
  p.setBrush(QColor(0x35, 0x5c, 0x86));
  for (int i = 0; i < 4; ++i) p.drawRoundedRect(QRectF(box.left() + 3 + i * 5.8, box.top() + 23, 4.2, 4), 1, 1);
}

void DrawAxes(QPainter& p, const QRectF& r) {
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawRect(r.adjusted(2, 0, 0, -2));
  p.setPen(QPen(QColor(0xc9, 0xd2, 0xdc), 0.8));
  for (int i = 1; i < 4; ++i) {
    const double y = r.top() + i * (r.height() - 2) / 4;
    p.drawLine(QPointF(r.left() + 2, y), QPointF(r.right(), y));
  }
  p.setPen(QPen(QColor(0x2a, 0x36, 0x44), 1.4));
  p.drawLine(QPointF(r.left() + 2, r.top()), QPointF(r.left() + 2, r.bottom() - 2));
  p.drawLine(QPointF(r.left() + 2, r.bottom() - 2), QPointF(r.right(), r.bottom() - 2));
}

void SymbolTrend(QPainter& p, const QRectF& r) {
  DrawAxes(p, r);
  QPainterPath line;
  line.moveTo(r.left() + 4, r.bottom() - 8);
  for (int x = 0; x <= 34; ++x)
    line.lineTo(r.left() + 4 + x, r.bottom() - 8 - 16 * (1 - std::exp(-x / 9.0)) - 2 * std::sin(x / 2.0));
  p.setPen(QPen(kLed, 2));
  p.setBrush(Qt::NoBrush);
  p.drawPath(line);
  p.setPen(QPen(QColor(0x1f, 0x6f, 0xc5), 1.4, Qt::DashLine));
  p.drawLine(QPointF(r.left() + 4, r.top() + 7), QPointF(r.right(), r.top() + 7));
}

void SymbolGraph(QPainter& p, const QRectF& r) {
  DrawAxes(p, r);
  const double heights[5] = {10, 18, 14, 23, 19};
  for (int i = 0; i < 5; ++i) {
    QLinearGradient bar(0, r.bottom() - 2 - heights[i], 0, r.bottom() - 2);
    bar.setColorAt(0, QColor(0x4d, 0x94, 0xe0));
    bar.setColorAt(1, QColor(0x1f, 0x5a, 0x9c));
    p.setPen(Qt::NoPen);
    p.setBrush(bar);
    p.drawRect(QRectF(r.left() + 6 + i * 7, r.bottom() - 2 - heights[i], 5, heights[i]));
  }
  // A clock face: history rather than live data.
  const QPointF c(r.right() - 6, r.top() + 6);
  p.setPen(QPen(QColor(0x2a, 0x36, 0x44), 1.2));
  p.setBrush(QColor(0xff, 0xf4, 0xd6));
  p.drawEllipse(c, 6, 6);
  p.drawLine(c, c + QPointF(0, -4));
  p.drawLine(c, c + QPointF(3, 0));
}

void DrawSheet(QPainter& p, const QRectF& s) {
  QPainterPath sheet;
  sheet.moveTo(s.topLeft());
  sheet.lineTo(s.right() - 7, s.top());
  sheet.lineTo(s.right(), s.top() + 7);
  sheet.lineTo(s.bottomRight());
  sheet.lineTo(s.bottomLeft());
  sheet.closeSubpath();
  p.setPen(QPen(QColor(0x3a, 0x44, 0x50), 1.2));
  p.setBrush(Qt::white);
  p.drawPath(sheet);
  p.setBrush(QColor(0xd5, 0xdb, 0xe2));
  QPainterPath fold;
  fold.moveTo(s.right() - 7, s.top());
  fold.lineTo(s.right() - 7, s.top() + 7);
  fold.lineTo(s.right(), s.top() + 7);
  p.drawPath(fold);
}

void SymbolReport(QPainter& p, const QRectF& r) {
  const QRectF s(r.left() + 8, r.top(), 24, 32);
  DrawSheet(p, s);
  p.setPen(Qt::NoPen);
  p.setBrush(kSteel);
  p.drawRect(QRectF(s.left() + 3, s.top() + 4, 12, 2.5));
  p.setBrush(QColor(0x9a, 0xa7, 0xb5));
  for (int i = 0; i < 5; ++i) {
    p.drawRect(QRectF(s.left() + 3, s.top() + 11 + i * 4, 8, 1.6));
    p.drawRect(QRectF(s.left() + 13, s.top() + 11 + i * 4, 7, 1.6));
  }
}

void SymbolLog(QPainter& p, const QRectF& r) {
  const QRectF book(r.left() + 7, r.top() + 1, 26, 30);
  p.setPen(QPen(QColor(0x2b, 0x3a, 0x28), 1.2));
  p.setBrush(QColor(0x3f, 0x7a, 0x4a));
  p.drawRoundedRect(book, 2, 2);
  p.setBrush(QColor(0xfb, 0xf8, 0xef));
  p.setPen(Qt::NoPen);
  p.drawRect(QRectF(book.left() + 5, book.top() + 3, 18, 24));
  p.setBrush(QColor(0x3a, 0x44, 0x50));
  for (int i = 0; i < 5; ++i) p.drawRect(QRectF(book.left() + 8, book.top() + 7 + i * 4, 12, 1.4));
  p.setBrush(kAccent);
  p.drawRect(QRectF(book.left() + 17, book.top() - 1, 3, 9));
  // Spiral binding.
  p.setPen(QPen(QColor(0xc8, 0xcd, 0xd3), 1.4));
  for (int i = 0; i < 6; ++i) p.drawLine(QPointF(book.left() - 1.5, book.top() + 4 + i * 4.5),
                                          QPointF(book.left() + 3, book.top() + 4 + i * 4.5));
}

void SymbolRefresh(QPainter& p, const QRectF& r) {
  const QPointF c = r.center();
  const double rad = 12;
  const QColor colors[2] = {QColor(0x1f, 0x8a, 0x4c), QColor(0x1f, 0x6f, 0xc5)};
  for (int k = 0; k < 2; ++k) {
    const double start = k * 180.0 + 20;
    QPainterPath arc;
    arc.arcMoveTo(QRectF(c.x() - rad, c.y() - rad, 2 * rad, 2 * rad), start);
    arc.arcTo(QRectF(c.x() - rad, c.y() - rad, 2 * rad, 2 * rad), start, 140);
    p.setPen(QPen(colors[k], 4, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(arc);
    // Arrow head at the arc's end, pointing along the turn.
    const double a = (start + 140) * M_PI / 180.0;
    const QPointF tip(c.x() + rad * std::cos(a), c.y() - rad * std::sin(a));
    const QPointF along(-std::sin(a), -std::cos(a));
    const QPointF out(std::cos(a), -std::sin(a));
    QPolygonF head;
    head << tip + along * 6 << tip + out * 5.5 << tip - out * 5.5;
    p.setPen(Qt::NoPen);
    p.setBrush(colors[k]);
    p.drawPolygon(head);
  }
}

// The wordmark: the mark, "TERVOX" and the caption line.
void DrawWordmark(QPainter& p, const QRectF& r, const QColor& AText, const QColor& ASub) {
  DrawThermometer(p, QRectF(r.left() + 4, r.top() + 4, r.height() * 0.3, r.height() - 8), AText);
  const double x = r.left() + r.height() * 0.3 + 14;
  QFont big = SansFont(static_cast<int>(r.height() * 0.5), true);
  big.setLetterSpacing(QFont::PercentageSpacing, 108);
  p.setFont(big);
  p.setPen(AText);
  p.drawText(QRectF(x, r.top(), r.width() - x, r.height() * 0.66), Qt::AlignLeft | Qt::AlignBottom,
             QStringLiteral("TERVOX"));
  p.setFont(SansFont(std::max(8, static_cast<int>(r.height() * 0.2)), false));
  p.setPen(ASub);
  p.drawText(QRectF(x + 1, r.top() + r.height() * 0.66, r.width() - x, r.height() * 0.34),
             Qt::AlignLeft | Qt::AlignTop, QStringLiteral("Data Acquisition Software"));
}

QImage DrawLogo() {
  QImage image = NewImage(220, 48);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  DrawWordmark(p, QRectF(0, 0, 220, 48), kSteelDark, QColor(0x4a, 0x5a, 0x6c));
  return image;
}

// Login background 360x280: a dark band with the wordmark over a light
// working area where the dialog places its fields.
QImage DrawLogin() {
  QImage image(360, 280, QImage::Format_ARGB32_Premultiplied);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  QLinearGradient body(0, 0, 0, 280);
  body.setColorAt(0, QColor(0xf4, 0xf6, 0xf8));
  body.setColorAt(1, QColor(0xd9, 0xdf, 0xe6));
  p.fillRect(image.rect(), body);

  const QRectF band(0, 0, 360, 92);
  QLinearGradient head(band.topLeft(), band.bottomRight());
  head.setColorAt(0, kSteel);
  head.setColorAt(1, kSteelDark);
  p.fillRect(band, head);
  // Faint process curve behind the wordmark.
  QPainterPath curve;
  curve.moveTo(150, 80);
  for (int x = 150; x <= 360; x += 2) curve.lineTo(x, 80 - 46 * (1 - std::exp(-(x - 150) / 45.0)));
  p.setPen(QPen(QColor(255, 255, 255, 38), 2));
  p.drawPath(curve);
  p.setPen(QPen(QColor(255, 255, 255, 22), 1));
  for (int y = 20; y < 92; y += 18) p.drawLine(QPointF(150, y), QPointF(360, y));
  p.fillRect(QRectF(0, 92, 360, 3), kAccent);
  DrawWordmark(p, QRectF(18, 16, 300, 60), Qt::white, QColor(0xc8, 0xd4, 0xe2));

  p.setPen(QPen(QColor(0xb5, 0xbf, 0xca), 1));
  p.setBrush(Qt::NoBrush);
  p.drawRect(QRectF(0.5, 0.5, 359, 279));
  return image;
}


// A panel-mount controller face for the About picture: bezel, red PV and
// green SV displays, lamps and four keys.
void DrawControllerFace(QPainter& p, const QRectF& r) {
  QLinearGradient bezel(r.topLeft(), r.bottomLeft());
  bezel.setColorAt(0, QColor(0x4a, 0x55, 0x62));
  bezel.setColorAt(1, QColor(0x1c, 0x22, 0x29));
  p.setPen(QPen(QColor(0x0a, 0x0d, 0x10), 1.5));
  p.setBrush(bezel);
  p.drawRoundedRect(r, 7, 7);
  const QRectF face = r.adjusted(7, 7, -7, -7);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x06, 0x08, 0x0a));
  p.drawRoundedRect(face, 3, 3);
  // PV 25.3 in red after one blank cell, SV 30.0 in green.
  const int pv[4] = {-1, 2, 5, 3};
  const int sv[4] = {-1, 3, 0, 0};
  for (int i = 0; i < 4; ++i) {
    p.setBrush(pv[i] >= 0 ? kLed : QColor(0x3a, 0x0c, 0x0a));
    DrawSegmentDigit(p, QPointF(face.left() + 10 + i * 24, face.top() + 8), 3.0, pv[i] >= 0 ? pv[i] : 8);
    p.setBrush(sv[i] >= 0 ? kLedGreen : QColor(0x0c, 0x30, 0x16));
    DrawSegmentDigit(p, QPointF(face.left() + 26 + i * 17, face.top() + 46), 2.0, sv[i] >= 0 ? sv[i] : 8);
  }
  p.setBrush(kLed);
  p.drawEllipse(QPointF(face.left() + 79.3, face.top() + 37), 1.9, 1.9);
  p.setBrush(kLedGreen);
  p.drawEllipse(QPointF(face.left() + 74.7, face.top() + 65), 1.4, 1.4);
  // Lamps: RUN lit green, one event lit orange, the rest dark.
  const QColor lamps[6] = {kLedGreen, QColor(0x30, 0x30, 0x30), QColor(0x30, 0x30, 0x30), kLedGreen,
                           kAccent, QColor(0x30, 0x30, 0x30)};
  for (int i = 0; i < 6; ++i) {
    p.setBrush(lamps[i]);
    p.drawRect(QRectF(face.left() + 8 + i * 19, face.top() + 74, 9, 6));
  }
  QLinearGradient key(0, face.bottom() - 16, 0, face.bottom() - 4);
  key.setColorAt(0, QColor(0x5f, 0x8f, 0xd0));
  key.setColorAt(1, QColor(0x1f, 0x4a, 0x86));
  p.setBrush(key);
  for (int i = 0; i < 4; ++i) p.drawRoundedRect(QRectF(face.left() + 8 + i * 28, face.bottom() - 16, 22, 12), 2, 2);
}

// About picture 500x350: dark industrial gradient, the wordmark at the top,
// room in the middle for the window's notice box, and a controller beside
// its settling process curve at the bottom.
QImage DrawAbout() {
  QImage image(500, 350, QImage::Format_ARGB32_Premultiplied);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  QLinearGradient body(0, 0, 0, 350);
  body.setColorAt(0, QColor(0x26, 0x34, 0x44));
  body.setColorAt(0.55, QColor(0x15, 0x1d, 0x27));
  body.setColorAt(1, QColor(0x0b, 0x10, 0x15));
  p.fillRect(image.rect(), body);
  // Brushed-metal streaks and a faint engineering grid.
  for (int y = 0; y < 350; y += 3) {
    p.setPen(QPen(QColor(255, 255, 255, (y * 37 % 11) + 2), 1));
    p.drawLine(QPointF(0, y + 0.5), QPointF(500, y + 0.5));
  }
  p.setPen(QPen(QColor(0x7f, 0xa7, 0xcf, 18), 1));
  for (int x = 20; x < 500; x += 24) p.drawLine(QPointF(x + 0.5, 0), QPointF(x + 0.5, 350));
  for (int y = 14; y < 350; y += 24) p.drawLine(QPointF(0, y + 0.5), QPointF(500, y + 0.5));
  // A soft light behind the wordmark.
  QRadialGradient glow(QPointF(140, 60), 200);
  glow.setColorAt(0, QColor(0x6a, 0x9c, 0xd6, 70));
  glow.setColorAt(1, QColor(0x6a, 0x9c, 0xd6, 0));
  p.fillRect(image.rect(), glow);

  DrawWordmark(p, QRectF(30, 30, 420, 80), Qt::white, QColor(0xb9, 0xc8, 0xd8));
  p.fillRect(QRectF(30, 118, 440, 2), kAccent);

  // Bottom band: the controller and its process curve toward the set value.
  DrawControllerFace(p, QRectF(28, 216, 140, 124));
  const QRectF plot(186, 236, 286, 86);
  p.setPen(QPen(QColor(0x9a, 0xb0, 0xc6, 120), 1));
  p.setBrush(QColor(0, 0, 0, 60));
  p.drawRect(plot);
  const double setY = plot.top() + 16;
  p.setPen(QPen(kLedGreen, 1.4, Qt::DashLine));
  p.drawLine(QPointF(plot.left() + 2, setY), QPointF(plot.right() - 2, setY));
  QPainterPath curve;
  curve.moveTo(plot.left() + 2, plot.bottom() - 6);
  for (int x = 0; x <= static_cast<int>(plot.width()) - 4; x += 2) {
    const double settle = 1 - std::exp(-x / 46.0) * std::cos(x / 30.0);
    curve.lineTo(plot.left() + 2 + x, plot.bottom() - 6 - (plot.bottom() - 6 - setY) * settle);
  }
  p.setPen(QPen(kLed, 2.2));
  p.setBrush(Qt::NoBrush);
  p.drawPath(curve);
  p.setFont(SansFont(10, false));
  p.setPen(QColor(0x9a, 0xb0, 0xc6));
  p.drawText(QRectF(186, 324, 286, 16), Qt::AlignRight | Qt::AlignVCenter,
             QStringLiteral("Modbus RTU  \u00b7  live panels  \u00b7  history  \u00b7  alarms"));
  return image;
}

} // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: tervox-artwork <output directory>\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  if (!out.mkpath(QStringLiteral("."))) {
    std::fprintf(stderr, "tervox-artwork: cannot create %s\n", argv[1]);
    return 1;
  }
  const struct {
    const char* Name;
    QImage Image;
  } pictures[] = {
      {"LOGO", DrawLogo()},
      {"LOGIN", DrawLogin()},
      {"MONITOR", DrawPageButton(QStringLiteral("Monitor"), SymbolMonitor)},
      {"DEVICE", DrawPageButton(QStringLiteral("Device"), SymbolDevice)},
      {"TREND", DrawPageButton(QStringLiteral("Trend"), SymbolTrend)},
      {"GRAPH", DrawPageButton(QStringLiteral("Graph"), SymbolGraph)},
      {"REPORT", DrawPageButton(QStringLiteral("Report"), SymbolReport)},
      {"LOG", DrawPageButton(QStringLiteral("Log"), SymbolLog)},
      {"REFRESH", DrawPageButton(QStringLiteral("Refresh"), SymbolRefresh)},
      {"ABOUT", DrawAbout()},
  };
  for (const auto& picture : pictures) {
    const QString path = out.filePath(QString::fromLatin1(picture.Name) + QStringLiteral(".png"));
    if (!picture.Image.save(path, "PNG")) {
      std::fprintf(stderr, "tervox-artwork: cannot write %s\n", qPrintable(path));
      return 1;
    }
  }
  return 0;
}
