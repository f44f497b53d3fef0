#include "graph/DqPrint.h"
#include "store/DqSQLite.h"
#include "TestSupport.h"
#include "store/Tervox_Config.h"
#include "export/Tervox_Report.h"
#include "store/Main_Database.h"

#include <QImage>
#include <QPdfWriter>

#include <gtest/gtest.h>

namespace {

class PrintProfileTest : public ::testing::Test {
protected:
  void SetUp() override {
    FreePrintProfiles();
    SetDatabaseFileName(dir.Path(QStringLiteral("Tervox.db")));
  }
  void TearDown() override {
    FreePrintProfiles();
    FreeDatabase();
    SetDatabaseFileName(QString());
  }
  tervox_test::TempDir dir;
};

TEST_F(PrintProfileTest, FreshProfilesAndTheirKeys) {
  CreatePrintProfiles();
  EXPECT_FALSE(ReportSetting()->Landscape());
  EXPECT_TRUE(GraphSetting()->Landscape()); // graphs print across the sheet
  EXPECT_FALSE(LogSetting()->Landscape());
  EXPECT_DOUBLE_EQ(GraphSetting()->SheetWidth(), 297);
  EXPECT_DOUBLE_EQ(GraphSetting()->SheetHeight(), 210);
  for (TBaseReport* p : {ReportSetting(), GraphSetting(), LogSetting()}) p->SaveSettingToDB();
  EXPECT_EQ(GetDatabase()->GetTableValue(QStringLiteral(
                "SELECT count(*) FROM Config WHERE Name GLOB 'Report*' OR Name GLOB 'Graph*' OR Name GLOB 'Log*'")),
            21);

  // A setter writes its key at once; an absent key keeps the current value.
  ReportSetting()->SetPaperHeight(279);
  ReportSetting()->SetMarginTop(12.5);
  Config()->SetValues(QStringLiteral("ReportPaperWidth"), QString());
  FreePrintProfiles();
  EXPECT_DOUBLE_EQ(ReportSetting()->PaperHeight(), 279);
  EXPECT_DOUBLE_EQ(ReportSetting()->MarginTop(), 12.5);
  EXPECT_DOUBLE_EQ(ReportSetting()->PaperWidth(), 210);
  EXPECT_EQ(Config()->GetValues(QStringLiteral("GraphLandscape")), QStringLiteral("-1"));
}

TEST_F(PrintProfileTest, PrinterConversionsOnAPdfSheet) {
  TBaseReport* graph = GraphSetting();
  QPdfWriter pdf(dir.Path(QStringLiteral("g.pdf")));
  pdf.setResolution(1200);
  pdf.setPageLayout(graph->PageLayout());
  graph->SetPrintCanvas(&pdf);
  // Landscape A4 at 1200 dpi: 297 x 210 mm.
  EXPECT_NEAR(graph->DrawWidth(), 297 / 25.4 * 1200, 6); // Qt keeps A4 in whole points
  EXPECT_NEAR(graph->DrawHeight(), 210 / 25.4 * 1200, 6);
  EXPECT_EQ(graph->XOffset(), 0);
  EXPECT_NEAR(graph->DrawScaleX(297), graph->DrawWidth(), 1);
  EXPECT_NEAR(graph->DrawScaleY(10), 10 / 25.4 * 1200, 2);
  const QRect inner = graph->GetPrintRect();
  EXPECT_EQ(inner.left(), qRound(1200 * 10 / 25.4));
  EXPECT_EQ(inner.right() + 1, graph->DrawWidth() - qRound(1200 * 10 / 25.4));
  // Font sizes in points do not depend on the printer's resolution.
  EXPECT_EQ(graph->FontScale(20), qRound(20 * 96 / 254.0));
}

TEST(DqPrint, ScreenModeZoomsTheRectangleItIsGiven) {
  TDqPrint print;
  print.ZoomFactor = 200;
  // The page passes a rectangle already doubled; it is doubled once more.
  const QRect sheet = print.SetScreenMode(QRect(QPoint(0, 0), QPoint(400, 566)), 16, 16);
  EXPECT_EQ(print.DrawWidth, 802);
  EXPECT_EQ(print.DrawHeight, 1134);
  EXPECT_EQ(sheet.left(), (0 + 400 - 802) / 2);
  EXPECT_EQ(sheet.width(), 802);
  EXPECT_EQ(print.PosScaleX(10), print.ScaleX(10) - 16);
  EXPECT_EQ(print.ScaleX(210), 802);
  print.ZoomFactor = 10;
  print.SetScreenMode(QRect(0, 0, 10, 10), 0, 0);
  EXPECT_EQ(print.FontScale(20), 1); // never below 1
}

TEST(DqPrint, PrinterModeTakesTheDevicesSheet) {
  QImage image(800, 1131, QImage::Format_RGB32);
  image.setDotsPerMeterX(qRound(96 / 0.0254));
  image.setDotsPerMeterY(qRound(96 / 0.0254));
  TDqPrint print;
  print.SetPrinterMode(&image);
  EXPECT_EQ(print.DrawWidth, 800);
  EXPECT_EQ(print.DrawHeight, 1131);
  EXPECT_EQ(print.DrawXOffset, 0);
  EXPECT_EQ(print.ScaleY(297), 1131);
  EXPECT_EQ(PrintableRect(&image), QRect(0, 0, 800, 1131));
}

} // namespace
