#include "widgets/DqRadioButton.h"
#include "ui/dialogs/Form_GraphSetting.h"
#include "ui/dialogs/Form_ReportSetting.h"
#include "export/Tervox_Report.h"
#include "ui/UiTestSupport.h"

#include <QComboBox>
#include <QDoubleSpinBox>

#include <gtest/gtest.h>

using tervox_test::TestDatabase;

namespace {

struct ProfileGuard {
  ProfileGuard() { FreePrintProfiles(); }
  ~ProfileGuard() { FreePrintProfiles(); }
};

void Type(QDoubleSpinBox* ABox, double AValue) {
  ABox->selectAll();
  QTest::keyClicks(ABox, QString::number(AValue));
}

TEST(PaperSetting, SizeMatchingAndPreviewGeometry) {
  EXPECT_EQ(MatchPaperSize(210, 297, false), 0);
  EXPECT_EQ(MatchPaperSize(297, 210, false), kPaperCustom);
  EXPECT_EQ(MatchPaperSize(297, 210, true), 0);
  EXPECT_EQ(MatchPaperSize(215.9, 279.4, false), kPaperCustom);
  EXPECT_EQ(MatchPaperSize(216, 356, true), 2);

  struct Case {
    int W, H, L, R, T, B;
    QRect Paper, Margin;
  } const cases[] = {
      {210, 297, 10, 10, 10, 10, QRect(8, 8, 210, 297), QRect(18, 18, 190, 277)},
      // Landscape: 210 wide, 148 high, centred vertically.
      {297, 210, 10, 10, 10, 10, QRect(8, 8 + (297 - 148) / 2, 210, 148), QRect(15, 8 + 74 + 7, 196, 134)},
      {1, 1, 0, 0, 0, 0, QRect(8, 8, 210, 210 + 0) .translated(0, (297 - 210) / 2), QRect(8, 8 + 43, 210, 210)},
  };
  for (const Case& c : cases) {
    const TPaperPreview p = PaperPreview(c.W, c.H, c.L, c.R, c.T, c.B);
    EXPECT_EQ(p.Paper, c.Paper) << c.W << "x" << c.H;
    EXPECT_EQ(p.Margin, c.Margin) << c.W << "x" << c.H;
  }
}

TEST(PaperSetting, ReportDialogWritesTheReportProfileOnOkOnly) {
  TestDatabase database;
  ProfileGuard guard;
  {
    TFormReportSetting dialog;
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Report Setting"));
    EXPECT_EQ(dialog.ComboSize()->currentText(), QStringLiteral("A4 (210 x 297 mm)"));
    Type(dialog.EditWidth(), 297);
    Type(dialog.EditHeight(), 210);
    EXPECT_EQ(dialog.ComboSize()->currentIndex(), kPaperCustom); // the report keeps orientation as typed
    dialog.reject();
  }
  EXPECT_DOUBLE_EQ(ReportSetting()->PaperWidth(), 210);
  {
    TFormReportSetting dialog;
    dialog.ComboSize()->setCurrentIndex(1);
    emit dialog.ComboSize()->activated(1);
    EXPECT_DOUBLE_EQ(dialog.EditWidth()->value(), 216); // Letter as whole millimetres
    EXPECT_DOUBLE_EQ(dialog.EditHeight()->value(), 279);
    Type(dialog.EditLeft(), 25.5);
    EXPECT_EQ(dialog.Preview().Margin.left(), dialog.Preview().Paper.left() + 25 * 210 / 216);
    dialog.accept();
  }
  FreePrintProfiles();
  EXPECT_DOUBLE_EQ(ReportSetting()->PaperWidth(), 216);
  EXPECT_DOUBLE_EQ(ReportSetting()->PaperHeight(), 279);
  EXPECT_DOUBLE_EQ(ReportSetting()->MarginLeft(), 25.5);
  EXPECT_FALSE(ReportSetting()->Landscape());
}

TEST(PaperSetting, GraphDialogFollowsAndTurnsTheSheet) {
  TestDatabase database;
  ProfileGuard guard;
  {
    TFormGraphSetting dialog;
    // The stored portrait pair shown as printed: landscape.
    EXPECT_DOUBLE_EQ(dialog.EditWidth()->value(), 297);
    EXPECT_DOUBLE_EQ(dialog.EditHeight()->value(), 210);
    EXPECT_TRUE(dialog.RadioLandscape()->isChecked());
    EXPECT_EQ(dialog.ComboSize()->currentText(), QStringLiteral("A4 (210 x 297 mm)"));
    QTest::mouseClick(dialog.RadioPortrait(), Qt::LeftButton, {}, QPoint(6, dialog.RadioPortrait()->height() / 2));
    EXPECT_DOUBLE_EQ(dialog.EditWidth()->value(), 210);
    EXPECT_DOUBLE_EQ(dialog.EditHeight()->value(), 297);
    EXPECT_TRUE(dialog.RadioPortrait()->isChecked());
    Type(dialog.EditWidth(), 356);
    Type(dialog.EditHeight(), 216);
    EXPECT_TRUE(dialog.RadioLandscape()->isChecked());
    EXPECT_EQ(dialog.ComboSize()->currentIndex(), 2);
    dialog.accept();
  }
  FreePrintProfiles();
  EXPECT_DOUBLE_EQ(GraphSetting()->PaperWidth(), 216);
  EXPECT_DOUBLE_EQ(GraphSetting()->PaperHeight(), 356);
  EXPECT_TRUE(GraphSetting()->Landscape());
  EXPECT_DOUBLE_EQ(GraphSetting()->SheetWidth(), 356);
}

} // namespace
