// Millimetres on a virtual sheet to device pixels, for pages drawn on the
// screen (with zoom) and on a printer alike.
#pragma once

#include <QRect>

class QPaintDevice;

class TDqPrint {
public:
  TDqPrint();

  // Screen mode: the sheet is ARect's size times the zoom, centred in
  // ARect; positions are shifted by the offsets (the white border around
  // the drawn page). Returns the sheet's rectangle (also DrawRect()).
  QRect SetScreenMode(const QRect& ARect, int AXOffset, int AYOffset);
  // Printer mode: the device's resolution, its whole sheet and the offset
  // of its printable area (0 for a device without one).
  void SetPrinterMode(QPaintDevice* ACanvas);

  int ScaleX(double AValue) const;
  int ScaleY(double AValue) const;
  int PosScaleX(double AValue) const { return ScaleX(AValue) - DrawXOffset; }
  int PosScaleY(double AValue) const { return ScaleY(AValue) - DrawYOffset; }
  // A design size to a font size in points; never below 1.
  int FontScale(double AValue) const;

  int ScreenXPPI = 96;
  int ScreenYPPI = 96;
  int DrawXPPI = 96;
  int DrawYPPI = 96;
  int DrawXOffset = 0;
  int DrawYOffset = 0;
  int DrawWidth = 0;
  int DrawHeight = 0;
  QRect DrawRect;
  double ZoomFactor = 100;
  double PaperWidth = 210;
  double PaperHeight = 297;
};

// Pixels per inch of the screen (96 where there is none, as in tools).
void ScreenPixelsPerInch(int& AX, int& AY);

// What printing needs to know of a device: resolution, the whole sheet in
// pixels and the offset of the printable area (0 for a plain device).
struct TPrinterGeometry {
  int XPPI = 96;
  int YPPI = 96;
  int Width = 0;
  int Height = 0;
  int XOffset = 0;
  int YOffset = 0;
};
TPrinterGeometry PrinterGeometry(QPaintDevice* ACanvas);

// The rectangle a paged device draws into: its printable area from the
// painter's origin (the whole device for a plain one).
QRect PrintableRect(QPaintDevice* ACanvas);
