// Print profiles: a named paper size, margins and orientation kept in the
// configuration store, and the millimetre-to-printer conversions of the
// history graph. Three exist for the whole run: "Report", "Graph", "Log".
//
// The stored pair is always the portrait sheet (PaperWidth <= PaperHeight
// for the sizes the dialogs offer) and Landscape says how it is turned; the
// sheet as printed is SheetWidth() x SheetHeight().
#pragma once

#include <QPageLayout>
#include <QString>

class QPaintDevice;
class QRect;

class TBaseReport {
public:
  explicit TBaseReport(const QString& AProfileName, bool DoLoadFromDB = true);

  const QString& ProfileName() const { return FProfileName; }
  void LoadDefaultSetting();
  void LoadSettingFromDB();
  void SaveSettingToDB() const;

  double MarginBottom() const { return FMarginBottom; }
  double PaperWidth() const { return FPaperWidth; }
  double MarginTop() const { return FMarginTop; }
  double MarginLeft() const { return FMarginLeft; }
  double MarginRight() const { return FMarginRight; }
  double PaperHeight() const { return FPaperHeight; }
  bool Landscape() const { return FLandscape; }
  // Each setter stores the value and writes its key at once.
  void SetMarginBottom(double AValue);
  void SetPaperWidth(double AValue);
  void SetMarginTop(double AValue);
  void SetMarginLeft(double AValue);
  void SetMarginRight(double AValue);
  void SetPaperHeight(double AValue);
  void SetLandscape(bool AValue);
  // Changes the orientation default before loading; writes nothing.
  void SetLandscapeDefault() { FLandscape = true; }

  // The sheet as printed: the stored pair turned when Landscape is set.
  double SheetWidth() const { return FLandscape ? FPaperHeight : FPaperWidth; }
  double SheetHeight() const { return FLandscape ? FPaperWidth : FPaperHeight; }

  // The sheet as printed, for a printer or PDF writer (no margins: pages
  // place their own).
  QPageLayout PageLayout() const;

  double ZoomFactor() const { return FZoomFactor; }
  int ScreenXPPI() const { return FScreenXPPI; }
  int ScreenYPPI() const { return FScreenYPPI; }
  int DrawWidth() const { return FDrawWidth; }
  int DrawHeight() const { return FDrawHeight; }
  int DrawXPPI() const { return FDrawXPPI; }
  int DrawYPPI() const { return FDrawYPPI; }
  int XOffset() const { return FXOffset; }
  int YOffset() const { return FYOffset; }

  // Takes the sheet size, resolution and printable-area offset of a printer
  // (or any paged device; a plain device has no offset).
  void SetPrintCanvas(QPaintDevice* ACanvas);
  // The area inside the margins, in printable-area pixels; the margins are
  // measured from the sheet's edges.
  QRect GetPrintRect() const;
  int DrawScaleX(double AValue) const;
  int DrawScaleY(double AValue) const;
  int FontScale(double AValue) const;

private:
  QString Key(const char* AName) const { return FProfileName + QLatin1String(AName); }

  QString FProfileName;
  double FMarginBottom = 10;
  double FPaperWidth = 210;
  double FMarginTop = 10;
  double FMarginLeft = 10;
  double FMarginRight = 10;
  double FPaperHeight = 297;
  bool FLandscape = false;
  double FZoomFactor = 100;
  int FDrawWidth = 0;
  int FDrawHeight = 0;
  int FDrawXPPI = 0;
  int FDrawYPPI = 0;
  int FScreenXPPI = 96;
  int FScreenYPPI = 96;
  int FXOffset = 0;
  int FYOffset = 0;
};

// The process-wide profiles, created in this order at start-up and freed at
// shutdown. An accessor called before creation creates them.
void CreatePrintProfiles();
void FreePrintProfiles();
TBaseReport* ReportSetting(); // "Report"
TBaseReport* GraphSetting();  // "Graph": landscape by default
TBaseReport* LogSetting();    // "Log"
