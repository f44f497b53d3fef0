#include "Tervox_Report.h"

#include "store/Tervox_Config.h"

#include "graph/DqPrint.h"

#include <QRect>

#include <QPageSize>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

std::unique_ptr<TBaseReport> gReportSetting;
std::unique_ptr<TBaseReport> gGraphSetting;
std::unique_ptr<TBaseReport> gLogSetting;

int RoundInt(double AValue) { return static_cast<int>(std::lround(AValue)); }

} // namespace

TBaseReport::TBaseReport(const QString& AProfileName, bool DoLoadFromDB) : FProfileName(AProfileName) {
  ScreenPixelsPerInch(FScreenXPPI, FScreenYPPI);
  LoadDefaultSetting();
  if (DoLoadFromDB) LoadSettingFromDB();
}

void TBaseReport::LoadDefaultSetting() {
  FMarginBottom = 10;
  FPaperWidth = 210;
  FMarginTop = 10;
  FMarginLeft = 10;
  FMarginRight = 10;
  FPaperHeight = 297;
  FLandscape = false;
}

void TBaseReport::LoadSettingFromDB() {
  TTervoxConfig* config = Config();
  FPaperWidth = config->GetValueFloatDef(Key("PaperWidth"), FPaperWidth);
  FPaperHeight = config->GetValueFloatDef(Key("PaperHeight"), FPaperHeight);
  FMarginLeft = config->GetValueFloatDef(Key("MarginLeft"), FMarginLeft);
  FMarginRight = config->GetValueFloatDef(Key("MarginRight"), FMarginRight);
  FMarginTop = config->GetValueFloatDef(Key("MarginTop"), FMarginTop);
  FMarginBottom = config->GetValueFloatDef(Key("MarginBottom"), FMarginBottom);
  FLandscape = config->GetValueBoolDef(Key("Landscape"), FLandscape);
}

void TBaseReport::SaveSettingToDB() const {
  TTervoxConfig* config = Config();
  config->SetValueFloat(Key("PaperWidth"), FPaperWidth);
  config->SetValueFloat(Key("PaperHeight"), FPaperHeight);
  config->SetValueFloat(Key("MarginLeft"), FMarginLeft);
  config->SetValueFloat(Key("MarginRight"), FMarginRight);
  config->SetValueFloat(Key("MarginTop"), FMarginTop);
  config->SetValueFloat(Key("MarginBottom"), FMarginBottom);
  config->SetValueBool(Key("Landscape"), FLandscape);
}

void TBaseReport::SetMarginBottom(double AValue) {
  FMarginBottom = AValue;
  Config()->SetValueFloat(Key("MarginBottom"), AValue);
}

void TBaseReport::SetPaperWidth(double AValue) {
  FPaperWidth = AValue;
  Config()->SetValueFloat(Key("PaperWidth"), AValue);
}

void TBaseReport::SetMarginTop(double AValue) {
  FMarginTop = AValue;
  Config()->SetValueFloat(Key("MarginTop"), AValue);
}

void TBaseReport::SetMarginLeft(double AValue) {
  FMarginLeft = AValue;
  Config()->SetValueFloat(Key("MarginLeft"), AValue);
}

void TBaseReport::SetMarginRight(double AValue) {
  FMarginRight = AValue;
  Config()->SetValueFloat(Key("MarginRight"), AValue);
}

void TBaseReport::SetPaperHeight(double AValue) {
  FPaperHeight = AValue;
  Config()->SetValueFloat(Key("PaperHeight"), AValue);
}

void TBaseReport::SetLandscape(bool AValue) {
  FLandscape = AValue;
  Config()->SetValueBool(Key("Landscape"), AValue);
}

QPageLayout TBaseReport::PageLayout() const {
  const double width = SheetWidth();
  const double height = SheetHeight();
  const QPageSize size(QSizeF(std::min(width, height), std::max(width, height)), QPageSize::Millimeter);
  return QPageLayout(size, width > height ? QPageLayout::Landscape : QPageLayout::Portrait, QMarginsF(0, 0, 0, 0),
                     QPageLayout::Millimeter);
}

void TBaseReport::SetPrintCanvas(QPaintDevice* ACanvas) {
  const TPrinterGeometry g = PrinterGeometry(ACanvas);
  FDrawXPPI = g.XPPI;
  FDrawYPPI = g.YPPI;
  FDrawWidth = g.Width;
  FDrawHeight = g.Height;
  FXOffset = g.XOffset;
  FYOffset = g.YOffset;
}

QRect TBaseReport::GetPrintRect() const {
  const int left = RoundInt(FDrawXPPI * FMarginLeft / 25.4) - FXOffset;
  const int top = RoundInt(FDrawYPPI * FMarginTop / 25.4) - FYOffset;
  const int right = FDrawWidth - FXOffset - RoundInt(FDrawXPPI * FMarginRight / 25.4);
  const int bottom = FDrawHeight - FYOffset - RoundInt(FDrawYPPI * FMarginBottom / 25.4);
  return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
}

// Millimetres of the sheet as printed: a landscape sheet's width is the
// stored height.
int TBaseReport::DrawScaleX(double AValue) const {
  const double sheet = SheetWidth();
  return sheet > 0 ? RoundInt(FDrawWidth * AValue * (FZoomFactor / 100) / sheet) : 0;
}

int TBaseReport::DrawScaleY(double AValue) const {
  const double sheet = SheetHeight();
  return sheet > 0 ? RoundInt(FDrawHeight * AValue * (FZoomFactor / 100) / sheet) : 0;
}

int TBaseReport::FontScale(double AValue) const {
  double divisor = static_cast<double>(FDrawYPPI) * SheetHeight() * 10;
  if (divisor == 0) divisor = 1e-6;
  return RoundInt(AValue * FDrawHeight * FScreenYPPI * (FZoomFactor / 100) / divisor);
}

void CreatePrintProfiles() {
  if (!gReportSetting) gReportSetting = std::make_unique<TBaseReport>(QStringLiteral("Report"));
  if (!gGraphSetting) {
    gGraphSetting = std::make_unique<TBaseReport>(QStringLiteral("Graph"), false);
    gGraphSetting->LoadDefaultSetting();
    // A fresh installation prints the history graph across the sheet.
    gGraphSetting->SetLandscapeDefault();
    gGraphSetting->LoadSettingFromDB();
  }
  if (!gLogSetting) gLogSetting = std::make_unique<TBaseReport>(QStringLiteral("Log"));
}

void FreePrintProfiles() {
  gLogSetting.reset();
  gGraphSetting.reset();
  gReportSetting.reset();
}

TBaseReport* ReportSetting() {
  if (!gReportSetting) CreatePrintProfiles();
  return gReportSetting.get();
}

TBaseReport* GraphSetting() {
  if (!gGraphSetting) CreatePrintProfiles();
  return gGraphSetting.get();
}

TBaseReport* LogSetting() {
  if (!gLogSetting) CreatePrintProfiles();
  return gLogSetting.get();
}
