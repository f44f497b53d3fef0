// The Trend page: profiles and lines through its panel, sampling the
// controllers' latest values, the range boxes, the palette, Hide/Show, and
// what a page created anew remembers.
#include "widgets/DqDrawGrid.h"
#include "graph/DqGraph.h"
#include "ui/dialogs/Form_EditGraph.h"
#include "ui/dialogs/Form_EditLine.h"
#include "plant/Tervox_Device.h"
#include "ui/pages/Frame_Trend.h"
#include "ui/UiTestSupport.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;

namespace {

void AddDevices() {
  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (ID, Name, Address, Enabled) VALUES "
                                    "(1, 'Oven', 1, 0), (2, 'Kiln', 2, 0)"));
  DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
}

std::unique_ptr<TDqTrendLine> Line(int ADeviceID, int AType, TDqColor AColor) {
  auto line = std::make_unique<TDqTrendLine>();
  line->ValueObjectID = ADeviceID;
  line->ValueType = AType;
  line->Color = AColor;
  line->Name = QStringLiteral("stored name");
  return line;
}

QStringList GridTexts(TFrameTrend& APage, int ARow) {
  TDqDrawGrid* grid = APage.GridLine();
  tervox_test::TextCapture capture(grid->viewport()->size());
  grid->viewport()->render(&capture);
  return capture.TextsIn(grid->CellRect(0, ARow));
}

void TypeAndEnter(QComboBox* ABox, const QString& AText) {
  ABox->lineEdit()->setFocus();
  ABox->lineEdit()->selectAll();
  QTest::keyClicks(ABox->lineEdit(), AText);
  QTest::keyClick(ABox->lineEdit(), Qt::Key_Return);
}

} // namespace

TEST(Frame_TrendTest, WithoutProfilesShowsASilverGridAndOneEmptyRow) {
  TestDatabase db;
  TFrameTrend page;
  EXPECT_EQ(page.ActiveGraph(), nullptr);
  EXPECT_EQ(page.GridLine()->RowCount(), 1);
  EXPECT_TRUE(page.TimerTrend()->isActive());
  EXPECT_EQ(page.TimerTrend()->interval(), 1000);
  const QImage& image = page.Bitmap();
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.pixel(2, 2) & 0xFFFFFF, qRgb(224, 192, 64) & 0xFFFFFF);
  // The frame of the plot area, 52 px right of the graph rectangle.
  EXPECT_EQ(image.pixel(8 + 52, 38 + 100) & 0xFFFFFF, qRgb(192, 192, 192) & 0xFFFFFF);
  page.TimerTrendTimer(); // a tick with no profile does nothing harmful
}

TEST(Frame_TrendTest, ProfilesAreCreatedRenamedAndDeleted) {
  TestDatabase db;
  TFrameTrend page;
  for (const char* name : {"Line A", "Line B", "Line C"}) page.CreateProfile(QString::fromLatin1(name));
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM Graph")), 3);
  EXPECT_EQ(page.ComboGraph()->currentIndex(), 2);
  ASSERT_NE(page.ActiveGraph(), nullptr);
  EXPECT_EQ(page.ActiveGraph()->Name, QStringLiteral("Line C"));

  page.RenameProfile(QStringLiteral("Zone C"));
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT Name FROM Graph WHERE ID = 3")), QStringLiteral("Zone C"));
  EXPECT_EQ(page.ComboGraph()->currentText(), QStringLiteral("Zone C"));

  page.AddLine(Line(1, 1, RGBColor(255, 0, 0)));
  page.DeleteProfile(); // the last of three: the new last one is shown
  EXPECT_EQ(page.ComboGraph()->currentIndex(), 1);
  EXPECT_EQ(page.ActiveGraph()->Name, QStringLiteral("Line B"));
  EXPECT_EQ(TestDatabase::Count(QStringLiteral("SELECT count(*) FROM GraphLine WHERE GraphID = 3")), 0);
  page.DeleteProfile();
  page.DeleteProfile();
  EXPECT_EQ(page.ComboGraph()->currentIndex(), -1);
  EXPECT_EQ(page.ActiveGraph(), nullptr);
  EXPECT_TRUE(page.TimerTrend()->isActive());
}

TEST(Frame_TrendTest, TheProfileDialogRefusesAnEmptyName) {
  TestDatabase db;
  TFrameTrend page;
  page.show();
  ModalAnswers answers;
  answers
      .Then([](QWidget* ADialog) {
        auto* dialog = qobject_cast<TFormEditGraph*>(ADialog);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Create New Profile"));
        tervox_test::Click(dialog->ButtonSave()); // the message comes and goes
        ASSERT_TRUE(dialog->isVisible());
        dialog->EditName()->setText(QStringLiteral("Furnace"));
        tervox_test::Click(dialog->ButtonSave());
      })
      .ThenOk();
  tervox_test::Click(page.PanelProfile()->findChild<QToolButton*>(QStringLiteral("ButtonCreateGraph")));
  EXPECT_EQ(answers.Texts.value(1), QStringLiteral("Please enter profile name."));
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT Name FROM Graph")), QStringLiteral("Furnace"));
}

TEST(Frame_TrendTest, SamplesTheControllersLatestValues) {
  TestDatabase db;
  AddDevices();
  TFrameTrend page;
  page.CreateProfile(QStringLiteral("Kilns"));
  page.AddLine(Line(1, 1, RGBColor(255, 0, 0)));
  page.AddLine(Line(1, 1, RGBColor(0, 128, 0))); // the same reading twice
  page.AddLine(Line(2, 2, RGBColor(0, 0, 255)));
  page.AddLine(Line(9, 1, RGBColor(0, 0, 0))); // a deleted controller, PV
  page.AddLine(Line(9, 3, RGBColor(0, 0, 0))); // and OUT1
  TTervoxDevice* oven = DeviceList()->GetDeviceByID(1);
  TTervoxDevice* kiln = DeviceList()->GetDeviceByID(2);
  oven->SetDigit(1);
  oven->SetPV(2504);
  kiln->SetSV(85);

  page.TimerTrendTimer();
  TDqTrendGraph* graph = page.ActiveGraph();
  ASSERT_EQ(graph->LineCount(), 5);
  EXPECT_EQ(graph->LastPos, 1);
  EXPECT_EQ(graph->GetLines(0)->LastValueText(), QStringLiteral("250.4"));
  EXPECT_EQ(graph->GetLines(1)->LastValueText(), QStringLiteral("250.4"));
  EXPECT_EQ(graph->GetLines(2)->LastValueText(), QStringLiteral("85"));
  EXPECT_EQ(graph->GetLines(3)->LastValueText(), QStringLiteral("HHHH"));
  EXPECT_EQ(graph->GetLines(4)->LastValueText(), QStringLiteral("(error)"));
  // The list shows the controller's current name, not the stored one.
  EXPECT_EQ(graph->GetLines(0)->Name, QStringLiteral("Oven"));
  EXPECT_EQ(graph->GetLines(3)->Name, QStringLiteral("stored name"));
  EXPECT_EQ(GridTexts(page, 0), (QStringList{QStringLiteral("1"), QStringLiteral("[PV]"), QStringLiteral("250.4"),
                                             QStringLiteral("Oven")}));

  oven->SetPV(2600);
  page.TimerTrendTimer();
  EXPECT_EQ(graph->GetLines(0)->LastValueText(), QStringLiteral("260.0"));
  EXPECT_EQ(graph->GetLines(0)->ValueAt(0), 250.4);
  EXPECT_EQ(graph->LastPos, 2);
}

TEST(Frame_TrendTest, RangeBoxesSetTheShownProfile) {
  TestDatabase db;
  TFrameTrend page;
  page.CreateProfile(QStringLiteral("Oven"));
  TypeAndEnter(page.ComboMaxX(), QStringLiteral("abc"));
  EXPECT_EQ(page.ActiveGraph()->Size, 100);
  TypeAndEnter(page.ComboMaxX(), QStringLiteral("400"));
  EXPECT_EQ(page.ActiveGraph()->Size, 400);
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT Size FROM Graph")), QStringLiteral("400"));
  page.ComboMaxY()->setCurrentIndex(5); // "300"
  emit page.ComboMaxY()->activated(5);
  EXPECT_EQ(page.ActiveGraph()->MaxValue, 300);
  // The stored Y range is not what the boxes change.
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT MaxValue FROM Graph")), QStringLiteral("100"));
}

TEST(Frame_TrendTest, PaletteSuggestsTheNextColour) {
  TestDatabase db;
  TFrameTrend page;
  EXPECT_EQ(page.NextLineColor(), RGBColor(255, 0, 0));
  page.CreateProfile(QStringLiteral("P"));
  EXPECT_EQ(page.NextLineColor(), RGBColor(255, 0, 0));
  page.AddLine(Line(1, 1, RGBColor(255, 0, 0)));
  EXPECT_EQ(page.NextLineColor(), RGBColor(0, 128, 0));
  page.AddLine(Line(1, 1, RGBColor(250, 190, 10))); // nearest: (255, 192, 0)
  EXPECT_EQ(page.NextLineColor(), RGBColor(255, 0, 192));
  page.AddLine(Line(1, 1, RGBColor(128, 128, 0))); // the last entry wraps
  EXPECT_EQ(page.NextLineColor(), RGBColor(255, 0, 0));
}

TEST(Frame_TrendTest, LinesMoveAndDeleteInTheStoredOrder) {
  TestDatabase db;
  TFrameTrend page;
  page.CreateProfile(QStringLiteral("P"));
  for (int i = 0; i < 3; ++i) page.AddLine(Line(i + 1, 1, LinePaletteColor(i)));
  page.GridLine()->SetRow(2);
  page.MoveLine(false); // the last row down: unchanged, still selected
  EXPECT_EQ(page.GridLine()->Row(), 2);
  EXPECT_EQ(page.ActiveGraph()->GetLines(2)->ValueObjectID, 3);
  page.MoveLine(true);
  EXPECT_EQ(page.GridLine()->Row(), 1);
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT group_concat(DeviceID) FROM GraphLine")), QStringLiteral("1,3,2"));
  page.GridLine()->SetRow(0);
  page.DeleteSelectedLines();
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT group_concat(DeviceID) FROM GraphLine")), QStringLiteral("3,2"));
  EXPECT_EQ(page.ActiveGraph()->GetLines(0)->ID, 1);
}

TEST(Frame_TrendTest, HideShowAndSplitterKeepTheirLimits) {
  TestDatabase db;
  TFrameTrend page;
  page.resize(1000, 600);
  page.show();
  const int minimum = page.minimumWidth();
  tervox_test::Click(page.ButtonHide());
  EXPECT_EQ(page.ButtonHide()->text(), QStringLiteral("Show"));
  EXPECT_TRUE(page.PanelProfile()->isHidden());
  EXPECT_EQ(page.minimumWidth(), minimum - page.PanelProfile()->width());
  EXPECT_EQ(page.PaintBox()->width(), page.width());
  tervox_test::Click(page.ButtonHide());
  EXPECT_EQ(page.ButtonHide()->text(), QStringLiteral("Hide"));
  EXPECT_EQ(page.minimumWidth(), minimum);
  page.DragSplitter(500); // the panel stays at least 200 wide
  EXPECT_EQ(page.PanelProfile()->width(), 200);
  page.DragSplitter(-2000); // the graph stays at least 494 wide
  EXPECT_EQ(page.PaintBox()->width(), 494);
  EXPECT_EQ(page.Bitmap().size(), page.PaintBox()->size());
}

TEST(Frame_TrendTest, ANewPageKeepsProfileAndRangesButStartsEmpty) {
  TestDatabase db;
  AddDevices();
  {
    TFrameTrend page;
    page.CreateProfile(QStringLiteral("One"));
    page.CreateProfile(QStringLiteral("Two"));
    page.AddLine(Line(1, 1, RGBColor(255, 0, 0)));
    page.ComboMaxY()->setCurrentIndex(3); // "120"
    emit page.ComboMaxY()->activated(3);
    page.TimerTrendTimer();
    EXPECT_EQ(page.ActiveGraph()->LastPos, 1);
  }
  TFrameTrend again;
  ASSERT_NE(again.ActiveGraph(), nullptr);
  EXPECT_EQ(again.ActiveGraph()->Name, QStringLiteral("Two"));
  EXPECT_EQ(again.ActiveGraph()->MaxValue, 120);
  EXPECT_EQ(again.ActiveGraph()->LastPos, 0);
  EXPECT_EQ(again.ActiveGraph()->LineCount(), 1);
}
