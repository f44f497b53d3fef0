// Draws the monitor panel's pictures (the controller face, lamps, the
// seven-segment pictures and the keys) into PNG files at build time.
// Usage: tervox-monitor-artwork <output directory>
#include <QDir>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

QString gOutDir;
int gFailures = 0;

QImage NewImage(int AWidth, int AHeight) {
  QImage image(AWidth, AHeight, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

void Save(const QImage& AImage, const QString& AName) {
  const QString path = QDir(gOutDir).filePath(AName + QStringLiteral(".png"));
  if (!AImage.save(path, "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    ++gFailures;
  }
}

QFont Font(const QString& AFamily, int APixelSize, bool ABold) {
  QFont font(AFamily);
  font.setPixelSize(APixelSize);
  font.setBold(ABold);
  font.setHintingPreference(QFont::PreferFullHinting);
  return font;
}

// ----- Seven-segment geometry, shared by the lit pictures and the unlit
// cells of the face so that both line up exactly.
struct TCellShape {
  QSize Size;     // picture size
  QPointF Origin; // bottom-left corner of the upright digit box
  double W, H;    // digit box
  double T;       // segment thickness
  double Gap;     // space between neighbouring segments
  double Slant;   // horizontal shift per pixel of height
  double DotR;    // decimal point radius
  double DotGap;  // space between the digit box and the point
};

// Red PV cells: 54 x 69 at a pitch of 42; green SV cells: 49 x 55 at 30.
const TCellShape kRedCell{QSize(54, 69), QPointF(11.5, 59.0), 26.0, 48.0, 6.0, 0.9, 0.09, 3.2, 2.6};
const TCellShape kGreenCell{
    QSize(49, 55), QPointF(13.0, 46.0), 18.0, 36.0, 4.4, 0.7, 0.09, 2.3, 2.0};

QPointF Skew(const TCellShape& S, double AX, double AY) {
  // AY counts up from the bottom of the digit box.
  return QPointF(S.Origin.x() + AX + S.Slant * AY, S.Origin.y() - AY);
}

QPainterPath HorizontalBar(const TCellShape& S, double AY) {
  const double h = S.T / 2;
  const double a = h + S.Gap, b = S.W - h - S.Gap;
  QPolygonF poly;
  poly << Skew(S, a, AY) << Skew(S, a + h, AY + h) << Skew(S, b - h, AY + h) << Skew(S, b, AY)
       << Skew(S, b - h, AY - h) << Skew(S, a + h, AY - h);
  QPainterPath path;
  path.addPolygon(poly);
  path.closeSubpath();
  return path;
}

QPainterPath VerticalBar(const TCellShape& S, double AX, double AY0, double AY1) {
  const double h = S.T / 2;
  QPolygonF poly;
  poly << Skew(S, AX, AY0) << Skew(S, AX + h, AY0 + h) << Skew(S, AX + h, AY1 - h)
       << Skew(S, AX, AY1) << Skew(S, AX - h, AY1 - h) << Skew(S, AX - h, AY0 + h);
  QPainterPath path;
  path.addPolygon(poly);
  path.closeSubpath();
  return path;
}

QPainterPath Dot(const TCellShape& S, double AY) {
  QPainterPath path;
  path.addEllipse(Skew(S, S.W + S.DotGap + S.DotR, AY), S.DotR, S.DotR);
  return path;
}

// Segment n: 0 bottom, 1 lower right, 2 lower left, 3 middle, 4 upper right,
// 5 upper left, 6 top, 7 decimal point, 8 upper dot.
QPainterPath Segment(const TCellShape& S, int AIndex) {
  const double h = S.T / 2, mid = S.H / 2, g = S.Gap;
  switch (AIndex) {
  case 0:
    return HorizontalBar(S, h);
  case 1:
    return VerticalBar(S, S.W - h, h + g, mid - g);
  case 2:
    return VerticalBar(S, h, h + g, mid - g);
  case 3:
    return HorizontalBar(S, mid);
  case 4:
    return VerticalBar(S, S.W - h, mid + g, S.H - h - g);
  case 5:
    return VerticalBar(S, h, mid + g, S.H - h - g);
  case 6:
    return HorizontalBar(S, S.H - h);
  case 7:
    return Dot(S, S.DotR);
  default:
    return Dot(S, S.H * 0.68);
  }
}

// Soft halo: the shape's coverage blurred by three box passes.
QImage Blurred(const QImage& AShape, int ARadius) {
  const int w = AShape.width(), hgt = AShape.height();
  std::vector<double> a(static_cast<std::size_t>(w * hgt)), tmp(a.size());
  for (int y = 0; y < hgt; ++y)
    for (int x = 0; x < w; ++x)
      a[static_cast<std::size_t>(y * w + x)] = qAlpha(AShape.pixel(x, y)) / 255.0;
  auto pass = [&](bool AHorizontal) {
    for (int y = 0; y < hgt; ++y)
      for (int x = 0; x < w; ++x) {
        double sum = 0;
        for (int k = -ARadius; k <= ARadius; ++k) {
          const int xx = AHorizontal ? x + k : x, yy = AHorizontal ? y : y + k;
          if (xx >= 0 && xx < w && yy >= 0 && yy < hgt)
            sum += a[static_cast<std::size_t>(yy * w + xx)];
        }
        tmp[static_cast<std::size_t>(y * w + x)] = sum / (2 * ARadius + 1);
      }
    a.swap(tmp);
  };
  for (int i = 0; i < 3; ++i) {
    pass(true);
    pass(false);
  }
  QImage out = NewImage(w, hgt);
  for (int y = 0; y < hgt; ++y)
    for (int x = 0; x < w; ++x) {
      const int v = std::clamp(
          static_cast<int>(a[static_cast<std::size_t>(y * w + x)] * 255.0 + 0.5), 0, 255);
      out.setPixel(x, y, qRgba(0, 0, 0, v));
    }
  return out;
}

QImage Tinted(const QImage& AAlpha, const QColor& AColour, double AStrength) {
  QImage out = NewImage(AAlpha.width(), AAlpha.height());
  for (int y = 0; y < out.height(); ++y)
    for (int x = 0; x < out.width(); ++x) {
      const int alpha =
          std::min(255, static_cast<int>(qAlpha(AAlpha.pixel(x, y)) * AStrength + 0.5));
      QColor c = AColour;
      c.setAlpha(alpha);
      out.setPixelColor(x, y, c);
    }
  return out;
}

struct TLedColours {
  QColor Core, Edge, Glow, Unlit;
};
const TLedColours kRed{QColor(255, 66, 48), QColor(228, 12, 6), QColor(255, 30, 14),
                       QColor(58, 10, 8)};
const TLedColours kGreen{QColor(150, 255, 130), QColor(40, 225, 60), QColor(60, 255, 70),
                         QColor(8, 46, 14)};

void FillSegment(QPainter& p, const QPainterPath& APath, const TLedColours& C) {
  // Brighter towards the middle of the bar, as a lit LED segment is.
  const QRectF r = APath.boundingRect();
  QRadialGradient grad(r.center(), std::max(r.width(), r.height()) * 0.6);
  grad.setColorAt(0.0, C.Core);
  grad.setColorAt(0.55, C.Core);
  grad.setColorAt(1.0, C.Edge);
  p.setPen(Qt::NoPen);
  p.setBrush(grad);
  p.drawPath(APath);
}

void DrawSegmentSet(const TCellShape& S, const TLedColours& C, const QString& AColourName,
                    int ACount) {
  for (int n = 0; n < ACount; ++n) {
    const QPainterPath path = Segment(S, n);
    QImage digit = NewImage(S.Size.width(), S.Size.height());
    {
      QPainter p(&digit);
      p.setRenderHint(QPainter::Antialiasing);
      FillSegment(p, path, C);
    }
    Save(digit, QStringLiteral("LEDDIGIT") + AColourName + QString::number(n));

    QImage shape = NewImage(S.Size.width(), S.Size.height());
    {
      QPainter p(&shape);
      p.setRenderHint(QPainter::Antialiasing);
      p.setPen(QPen(Qt::black, 1.5));
      p.setBrush(Qt::black);
      p.drawPath(path);
    }
    Save(Tinted(Blurred(shape, 2), C.Glow, 0.85),
         QStringLiteral("LEDLIGHT") + AColourName + QString::number(n));
  }
}

void DrawUnlitCell(QPainter& p, const TCellShape& S, const TLedColours& C, int ACount,
                   QPointF AAt) {
  p.save();
  p.translate(AAt);
  p.setPen(Qt::NoPen);
  for (int n = 0; n < ACount; ++n) {
    // The upper dot is seldom used: keep it faint so the cells read as digits.
    QColor c = C.Unlit;
    if (n == 8) c.setAlphaF(0.5);
    p.setBrush(c);
    p.drawPath(Segment(S, n));
  }
  p.restore();
}

// ----- Lamps.
const QRect kLampSquare(4, 4, 10, 8); // inside an 18 x 16 lamp picture

void DrawDarkLamp(QPainter& p, QPoint AAt) {
  const QRect r = kLampSquare.translated(AAt);
  p.setPen(QPen(QColor(78, 78, 82), 1));
  p.setBrush(QColor(34, 34, 36));
  p.drawRect(r.adjusted(0, 0, -1, -1));
}

QImage LitLamp(const QColor& AGlow) {
  QImage image = NewImage(18, 16);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF sq = QRectF(kLampSquare);
  // Glow first, the white-hot square over it.
  for (int i = 4; i >= 1; --i) {
    QColor c = AGlow;
    c.setAlpha(40 + (4 - i) * 38);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawRoundedRect(sq.adjusted(-i, -i, i, i), i + 1, i + 1);
  }
  QLinearGradient grad(sq.topLeft(), sq.bottomLeft());
  grad.setColorAt(0, QColor(255, 255, 255));
  grad.setColorAt(1, AGlow.lighter(160));
  p.setBrush(grad);
  p.drawRect(sq);
  return image;
}

QImage GrayLamp() {
  QImage image = NewImage(17, 15);
  QPainter p(&image);
  DrawDarkLamp(p, QPoint(0, 0));
  return image;
}

QImage SyncLamp(int AKind) {
  QImage image = NewImage(20, 20);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QPointF c(10, 10);
  if (AKind == 0) { // lit: white disc in a green glow
    QRadialGradient glow(c, 10);
    glow.setColorAt(0.0, QColor(110, 255, 120, 255));
    glow.setColorAt(0.55, QColor(60, 230, 80, 200));
    glow.setColorAt(1.0, QColor(40, 200, 60, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(c, 10, 10);
    QRadialGradient disc(c - QPointF(1, 1), 5.5);
    disc.setColorAt(0, Qt::white);
    disc.setColorAt(1, QColor(210, 255, 215));
    p.setBrush(disc);
    p.drawEllipse(c, 5, 5);
  } else if (AKind == 1) { // dark: black disc, grey ring
    p.setPen(QPen(QColor(120, 120, 124), 1.6));
    p.setBrush(QColor(8, 8, 8));
    p.drawEllipse(c, 6.5, 6.5);
  } else { // lost: red disc
    QRadialGradient disc(c - QPointF(2, 2), 8);
    disc.setColorAt(0, QColor(255, 120, 110));
    disc.setColorAt(0.5, QColor(235, 20, 20));
    disc.setColorAt(1, QColor(150, 0, 0));
    p.setPen(QPen(QColor(90, 0, 0), 1));
    p.setBrush(disc);
    p.drawEllipse(c, 7.5, 7.5);
  }
  return image;
}

// ----- The face: 220 x 220, lamp positions as the panel draws its lamps.
struct TLampCaption {
  const char* Text;
  int LampLeft; // left of the 18-pixel lamp picture
  bool Square;  // a dark lamp square is part of the face
};
const TLampCaption kLamps[] = {
    {"RUN", 10, true},    {"PRG", 34, true},  {"AT", 59, true},   {"OUT1", 84, false},
    {"OUT2", 115, false}, {"EV1", 144, true}, {"EV2", 169, true}, {"EV3", 194, true},
};

QImage Face() {
  QImage image(220, 220, QImage::Format_ARGB32_Premultiplied);
  image.fill(QColor(6, 6, 7));
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);

  // Moulded bezel around a glossy black window.
  QLinearGradient bezel(0, 0, 0, 220);
  bezel.setColorAt(0, QColor(58, 60, 64));
  bezel.setColorAt(1, QColor(24, 25, 28));
  p.setPen(QPen(QColor(90, 92, 98), 1));
  p.setBrush(bezel);
  p.drawRoundedRect(QRectF(0.5, 0.5, 219, 219), 6, 6);
  QLinearGradient window(0, 4, 0, 200);
  window.setColorAt(0, QColor(14, 14, 16));
  window.setColorAt(1, QColor(2, 2, 3));
  p.setPen(QPen(QColor(0, 0, 0), 1));
  p.setBrush(window);
  p.drawRoundedRect(QRectF(3.5, 3.5, 213, 196), 4, 4);

  // Unlit digit cells: PV at 18/60/102/144 (y 15), SV at 64/94/124/154 (y 79).
  for (int x : {18, 60, 102, 144})
    DrawUnlitCell(p, kRedCell, kRed, 8, QPointF(x, 15));
  for (int x : {64, 94, 124, 154})
    DrawUnlitCell(p, kGreenCell, kGreen, 9, QPointF(x, 79));

  // Labels and the unit mark.
  p.setPen(QColor(225, 225, 228));
  p.setFont(Font(QStringLiteral("DejaVu Sans"), 9, true));
  p.drawText(QRect(6, 22, 18, 12), Qt::AlignCenter, QStringLiteral("PV"));
  p.drawText(QRect(46, 86, 18, 12), Qt::AlignCenter, QStringLiteral("SV"));
  p.setFont(Font(QStringLiteral("DejaVu Sans"), 13, true));
  p.drawText(QRect(192, 52, 26, 18), Qt::AlignCenter, QString::fromUtf8("\u00B0C"));

  // A thin rule between the displays and the lamp row.
  p.setPen(QPen(QColor(44, 44, 48), 1));
  p.drawLine(QPointF(8, 135.5), QPointF(212, 135.5));

  p.setFont(Font(QStringLiteral("DejaVu Sans"), 8, true));
  for (const TLampCaption& lamp : kLamps) {
    p.setPen(QColor(200, 200, 205));
    p.drawText(QRect(lamp.LampLeft - 6, 137, 30, 11), Qt::AlignCenter,
               QString::fromLatin1(lamp.Text));
    if (lamp.Square) DrawDarkLamp(p, QPoint(lamp.LampLeft, 149));
  }

  // The maker's lettering at the bottom right.
  QFont logo = Font(QStringLiteral("DejaVu Sans"), 13, true);
  logo.setItalic(true);
  logo.setLetterSpacing(QFont::AbsoluteSpacing, 0.5);
  p.setFont(logo);
  QLinearGradient logoGrad(0, 203, 0, 217);
  logoGrad.setColorAt(0, QColor(150, 175, 215));
  logoGrad.setColorAt(1, QColor(80, 110, 160));
  p.setPen(QPen(QBrush(logoGrad), 1));
  p.drawText(QRect(140, 202, 74, 16), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("TERVOX"));
  return image;
}

// ----- Keys: 42 x 30, four states.
enum class TKeyState { Normal, Light, Down, Disabled };

QImage Key(const QStringList& ACaption, TKeyState AState) {
  QImage image = NewImage(42, 30);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  const QRectF body(1, 1, 40, 28);

  QColor top(84, 138, 228), bottom(22, 58, 150), rim(8, 24, 72), text(255, 255, 255);
  switch (AState) {
  case TKeyState::Light:
    top = QColor(112, 166, 246);
    bottom = QColor(36, 80, 180);
    break;
  case TKeyState::Down:
    top = QColor(16, 40, 112);
    bottom = QColor(38, 82, 170);
    rim = QColor(4, 12, 40);
    text = QColor(205, 220, 245);
    break;
  case TKeyState::Disabled:
    top = QColor(156, 156, 160);
    bottom = QColor(104, 104, 108);
    rim = QColor(60, 60, 64);
    text = QColor(200, 200, 204);
    break;
  default:
    break;
  }
  QLinearGradient grad(body.topLeft(), body.bottomLeft());
  grad.setColorAt(0, top);
  grad.setColorAt(1, bottom);
  p.setPen(QPen(rim, 1.2));
  p.setBrush(grad);
  p.drawRoundedRect(body, 4.5, 4.5);

  if (AState == TKeyState::Light) {
    p.setPen(QPen(QColor(190, 235, 255), 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(body.adjusted(1, 1, -1, -1), 3.5, 3.5);
  } else if (AState != TKeyState::Down) {
    // Glossy upper edge of a raised key.
    p.setPen(QPen(QColor(255, 255, 255, AState == TKeyState::Disabled ? 70 : 110), 1));
    p.drawLine(QPointF(5, 2.5), QPointF(37, 2.5));
  }

  const double shift = AState == TKeyState::Down ? 1 : 0;
  p.setPen(text);
  if (ACaption.size() == 1) {
    p.setFont(Font(QStringLiteral("DejaVu Sans"), 11, true));
    p.drawText(body.translated(shift, shift), Qt::AlignCenter, ACaption.first());
  } else {
    QFont small = Font(QStringLiteral("DejaVu Sans Condensed"), 8, true);
    small.setStretch(QFont::Condensed);
    p.setFont(small);
    p.drawText(QRectF(1, 4, 40, 11).translated(shift, shift), Qt::AlignCenter, ACaption.at(0));
    p.drawText(QRectF(1, 15, 40, 11).translated(shift, shift), Qt::AlignCenter, ACaption.at(1));
  }
  return image;
}

} // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: tervox-monitor-artwork <output directory>\n");
    return 2;
  }
  gOutDir = QString::fromLocal8Bit(argv[1]);
  if (!QDir().mkpath(gOutDir)) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }

  Save(Face(), QStringLiteral("DISPLAY_NONE"));
  Save(GrayLamp(), QStringLiteral("LEDBOXGRAY"));
  Save(LitLamp(QColor(40, 235, 70)), QStringLiteral("LEDBOXGREEN"));
  Save(LitLamp(QColor(255, 140, 20)), QStringLiteral("LEDBOXORANGE"));
  Save(SyncLamp(0), QStringLiteral("LEDSYNC"));
  Save(SyncLamp(1), QStringLiteral("LEDSYNC2"));
  Save(SyncLamp(2), QStringLiteral("LEDUNSYNC"));
  DrawSegmentSet(kRedCell, kRed, QStringLiteral("RED"), 8);
  DrawSegmentSet(kGreenCell, kGreen, QStringLiteral("GREEN"), 9);

  struct TKeyDef {
    const char* Name;
    QStringList Caption;
  };
  const TKeyDef keys[] = {
      {"RUN", {QStringLiteral("RUN")}},
      {"MANUAL", {QStringLiteral("AUTO/"), QStringLiteral("MANUAL")}},
      {"AT", {QStringLiteral("AT")}},
      {"PRG", {QStringLiteral("PRG")}},
      {"FIX", {QStringLiteral("FIX")}},
      {"MODE", {QStringLiteral("MODE")}},
  };
  const std::pair<const char*, TKeyState> states[] = {
      {"_NORMAL", TKeyState::Normal},
      {"_LIGHT", TKeyState::Light},
      {"_DOWN", TKeyState::Down},
      {"_DISABLED", TKeyState::Disabled},
  };
  for (const TKeyDef& key : keys)
    for (const auto& [suffix, state] : states)
      Save(Key(key.Caption, state),
           QStringLiteral("BUTTON_") + QString::fromLatin1(key.Name) + QString::fromLatin1(suffix));
  return gFailures == 0 ? 0 : 1;
}
