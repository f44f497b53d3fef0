#include "DqPrint.h"

#include <QGuiApplication>
#include <QPagedPaintDevice>
#include <QScreen>

#include <cmath>

namespace {

int RoundInt(double AValue) { return static_cast<int>(std::lround(AValue)); }

} // namespace

void ScreenPixelsPerInch(int& AX, int& AY) {
  AX = 96;
  AY = 96;
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return;
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    AX = RoundInt(screen->logicalDotsPerInchX());
    AY = RoundInt(screen->logicalDotsPerInchY());
  }
}

TPrinterGeometry PrinterGeometry(QPaintDevice* ACanvas) {
  TPrinterGeometry g;
  g.XPPI = ACanvas->logicalDpiX();
  g.YPPI = ACanvas->logicalDpiY();
  if (auto* paged = dynamic_cast<QPagedPaintDevice*>(ACanvas)) {
    const QPageLayout layout = paged->pageLayout();
    const QRect full = layout.fullRectPixels(g.XPPI);
    const QRect paint = layout.paintRectPixels(g.XPPI);
    g.Width = full.width();
    g.Height = full.height();
    g.XOffset = paint.left() - full.left();
    g.YOffset = paint.top() - full.top();
  } else {
    g.Width = ACanvas->width();
    g.Height = ACanvas->height();
  }
  return g;
}

TDqPrint::TDqPrint() {
  QRect screen(0, 0, 1024, 768);
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) && QGuiApplication::primaryScreen())
    screen = QGuiApplication::primaryScreen()->geometry();
  SetScreenMode(screen, 0, 0);
}

QRect TDqPrint::SetScreenMode(const QRect& ARect, int AXOffset, int AYOffset) {
  ScreenPixelsPerInch(ScreenXPPI, ScreenYPPI);
  DrawXPPI = ScreenXPPI;
  DrawYPPI = ScreenYPPI;
  DrawXOffset = AXOffset;
  DrawYOffset = AYOffset;
  DrawWidth = RoundInt(ARect.width() * ZoomFactor / 100);
  DrawHeight = RoundInt(ARect.height() * ZoomFactor / 100);
  const int left = (ARect.left() + ARect.right() - DrawWidth) / 2;
  const int top = (ARect.top() + ARect.bottom() - DrawHeight) / 2;
  DrawRect = QRect(left, top, DrawWidth, DrawHeight);
  return DrawRect;
}

void TDqPrint::SetPrinterMode(QPaintDevice* ACanvas) {
  const TPrinterGeometry g = PrinterGeometry(ACanvas);
  DrawXPPI = g.XPPI;
  DrawYPPI = g.YPPI;
  DrawWidth = g.Width;
  DrawHeight = g.Height;
  DrawXOffset = g.XOffset;
  DrawYOffset = g.YOffset;
}

int TDqPrint::ScaleX(double AValue) const { return PaperWidth > 0 ? RoundInt(DrawWidth * AValue / PaperWidth) : 0; }

int TDqPrint::ScaleY(double AValue) const { return PaperHeight > 0 ? RoundInt(DrawHeight * AValue / PaperHeight) : 0; }

int TDqPrint::FontScale(double AValue) const {
  double divisor = static_cast<double>(DrawYPPI) * PaperHeight * 10;
  if (divisor == 0) divisor = 1e-6;
  const int size = RoundInt(AValue * DrawHeight * ScreenYPPI / divisor);
  return size > 0 ? size : 1;
}

QRect PrintableRect(QPaintDevice* ACanvas) {
  if (auto* paged = dynamic_cast<QPagedPaintDevice*>(ACanvas)) {
    const QRect paint = paged->pageLayout().paintRectPixels(ACanvas->logicalDpiX());
    return QRect(0, 0, paint.width(), paint.height());
  }
  return QRect(0, 0, ACanvas->width(), ACanvas->height());
}
