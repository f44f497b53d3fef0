// The Monitor page: one panel per controller, flowed into rows, scrolling.
#include "store/DqSQLite.h"
#include "sim/Sim_Controller.h"
#include "sim/Sim_ControllerLine.h"
#include "widgets/Tervox_Monitor.h"
#include "ui/pages/Frame_Monitor.h"
#include "ui/UiTestSupport.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"

#include <QDir>
#include <QScrollArea>
#include <QScrollBar>

#include <gtest/gtest.h>

#include <vector>

using tervox_test::TestDatabase;

namespace {

void AddDevices(int ACount, int AFirstAddress = 1) {
  for (int i = 0; i < ACount; ++i)
    TestDatabase::Exec(QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address, Enabled) VALUES "
                                      "('Zone %1', 1, %1, 1)")
                           .arg(AFirstAddress + i));
}

void LoadDeviceList() { DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device")); }

// Where each panel sits on the page.
std::vector<QPoint> Places(TFrameMonitor& APage) {
  std::vector<QPoint> places;
  for (int i = 0; i < APage.Monitors()->Count(); ++i) places.push_back(APage.Monitors()->Monitors(i)->mapTo(&APage, QPoint()));
  return places;
}

void ShowAt(TFrameMonitor& APage, int AWidth, int AHeight) {
  APage.resize(AWidth, AHeight);
  if (!APage.isVisible()) {
    APage.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&APage));
  }
  QCoreApplication::processEvents();
}

TEST(FrameMonitor, PanelsFlowIntoRowsThatWrapWhenTheNextPanelDoesNotFit) {
  TestDatabase database;
  AddDevices(5);
  LoadDeviceList();
  TFrameMonitor page;
  ASSERT_EQ(page.Monitors()->Count(), 5);
  EXPECT_EQ(page.Monitors()->Monitors(0)->size(), QSize(220, 260));
  const struct {
    int Width;
    std::vector<QPoint> Expected;
  } cases[] = {
      {700, {{8, 8}, {236, 8}, {464, 8}, {8, 276}, {236, 276}}},
      {684, {{8, 8}, {236, 8}, {464, 8}, {8, 276}, {236, 276}}}, // the third reaches the edge
      {683, {{8, 8}, {236, 8}, {8, 276}, {236, 276}, {8, 544}}},
      {456, {{8, 8}, {236, 8}, {8, 276}, {236, 276}, {8, 544}}},
      {455, {{8, 8}, {8, 276}, {8, 544}, {8, 812}, {8, 1080}}},
      {1200, {{8, 8}, {236, 8}, {464, 8}, {692, 8}, {920, 8}}},
  };
  for (const auto& c : cases) {
    // Tall enough for every row: no vertical scroll bar takes width away.
    ShowAt(page, c.Width, 1400);
    EXPECT_EQ(Places(page), c.Expected) << "page width " << c.Width;
  }
  EXPECT_FALSE(page.ScrollBox()->verticalScrollBar()->isVisible());
}

TEST(FrameMonitor, RebuildFollowsTheDeviceListInItsOrder) {
  TestDatabase database;
  AddDevices(3);
  LoadDeviceList();
  TFrameMonitor page;
  ShowAt(page, 700, 600);
  ASSERT_EQ(page.Monitors()->Count(), 3);
  QPointer<TTervoxMonitor> first = page.Monitors()->Monitors(0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(page.Monitors()->Monitors(i)->Device(), DeviceList()->GetDevices(i)) << i;
    EXPECT_EQ(page.Monitors()->Monitors(i)->parentWidget(), page.PanelHost());
    EXPECT_TRUE(page.Monitors()->Monitors(i)->isVisible());
  }

  TestDatabase::Exec(QStringLiteral("DELETE FROM Device WHERE ID = 1"));
  AddDevices(2, 7);
  DeviceList()->Clear();
  LoadDeviceList();
  page.UpdateDevices();
  EXPECT_TRUE(first.isNull()) << "the old panels are freed";
  ASSERT_EQ(page.Monitors()->Count(), 4);
  QStringList names;
  for (int i = 0; i < 4; ++i) names << page.Monitors()->Monitors(i)->Device()->DeviceName();
  EXPECT_EQ(names, (QStringList{"Zone 2", "Zone 3", "Zone 7", "Zone 8"}));
  EXPECT_EQ(Places(page), (std::vector<QPoint>{{8, 8}, {236, 8}, {464, 8}, {8, 276}}));

  DeviceList()->Clear();
  page.UpdateDevices();
  EXPECT_EQ(page.Monitors()->Count(), 0);
}

TEST(FrameMonitor, ScrolledPanelsKeepTheirPlacesRelativeToTheScrollPosition) {
  TestDatabase database;
  AddDevices(5);
  LoadDeviceList();
  TFrameMonitor page;
  ShowAt(page, 690, 300);
  QScrollBar* bar = page.ScrollBox()->verticalScrollBar();
  ASSERT_TRUE(bar->isVisible());
  // The client width is what remains beside the scroll bar: 690 would hold
  // three panels, 690 less the bar does not.
  const int client = page.ScrollBox()->viewport()->width();
  ASSERT_LT(client, 684);
  ASSERT_GE(client, 456);
  EXPECT_EQ(Places(page), (std::vector<QPoint>{{8, 8}, {236, 8}, {8, 276}, {236, 276}, {8, 544}}));

  bar->setValue(bar->maximum());
  QCoreApplication::processEvents();
  const int scrolled = bar->value();
  ASSERT_GT(scrolled, 0);
  std::vector<QPoint> places = Places(page);
  EXPECT_EQ(places[0], QPoint(8, 8 - scrolled));
  // The last row ends with the 8 px margin at the bottom of the view.
  EXPECT_EQ(places[4].y() + 260 + 8, page.ScrollBox()->viewport()->height());

  // Wider while scrolled: four to a row, still measured from the scrolled
  // top, and the range shrinks to what is left.
  ShowAt(page, 1000, 300);
  places = Places(page);
  ASSERT_EQ(places.size(), 5u);
  const int now = bar->value();
  EXPECT_EQ(places[0], QPoint(8, 8 - now));
  EXPECT_EQ(places[3], QPoint(692, 8 - now));
  EXPECT_EQ(places[4], QPoint(8, 276 - now));
  EXPECT_EQ(bar->maximum(), 8 + 260 + 8 + 260 + 8 - page.ScrollBox()->viewport()->height());

  // Tall enough: no scroll bar, nothing shifted.
  ShowAt(page, 1000, 700);
  EXPECT_FALSE(bar->isVisible());
  EXPECT_EQ(Places(page)[4], QPoint(8, 276));
}

// Lit red pixels inside the PV display of a panel on the page picture.
int LitPVPixels(const QImage& APage, const QPoint& APanel) {
  int lit = 0;
  for (int y = APanel.y() + 15; y < APanel.y() + 84; ++y)
    for (int x = APanel.x() + 18; x < APanel.x() + 186; ++x) {
      const QRgb pixel = APage.pixel(x, y);
      if (qRed(pixel) > 200 && qGreen(pixel) < 140 && qBlue(pixel) < 140) ++lit;
    }
  return lit;
}

TEST(FrameMonitor, LivePanelsOfSimulatedControllers) {
  TestDatabase database;
  tervox_test::TempDir dir;
  TSimControllerLine line(dir.Path(QStringLiteral("line0")), {1, 2, 3});
  QString error;
  ASSERT_TRUE(line.Start(&error)) << error.toStdString();
  line.WithController(2, [](TSimController& c) { c.SetRegister(1799, 1); });
  TSQLiteParamList params;
  params.SetParamValues(":PortName", line.LinkPath());
  GetDatabase()->ExecSQL(QStringLiteral("INSERT INTO DevicePort (Name, PortType, PortName, BaudRate, DataBits, "
                                        "StopBits, Parity) VALUES ('Line 1', 1, :PortName, 9600, 8, 0, 0)"),
                         &params);
  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (Name, DevicePortID, Address, Enabled) VALUES "
                                    "('Oven', 1, 1, 1), ('Kiln', 1, 2, 1), ('Dryer', 1, 3, 1), ('Spare', 1, 4, 1)"));
  TTervoxDevice::StartThread();
  TFrameMonitor page;
  ShowAt(page, 940, 620);
  ASSERT_EQ(page.Monitors()->Count(), 4);
  auto live = [&] {
    for (int i = 0; i < 3; ++i)
      if (!DeviceList()->GetDevices(i)->Synchronized() || !DeviceList()->GetDevices(i)->StatusReady()) return false;
    return DeviceList()->GetDevices(3)->StatusReady();
  };
  ASSERT_TRUE(QTest::qWaitFor(live, 20000));
  QTest::qWait(50); // the completions repaint
  const QImage shot = page.grab().toImage();
  const std::vector<QPoint> places = Places(page);
  for (int i = 0; i < 3; ++i) EXPECT_GT(LitPVPixels(shot, places[static_cast<std::size_t>(i)]), 200) << i;
  // Address 4 is not on the line: lost connection, a blank face.
  EXPECT_FALSE(DeviceList()->GetDevices(3)->Synchronized());
  EXPECT_EQ(LitPVPixels(shot, places[3]), 0);
  const QString shots = qEnvironmentVariable("TERVOX_SCREENSHOT_DIR");
  if (!shots.isEmpty()) shot.save(QDir(shots).filePath(QStringLiteral("monitor_page.png")));
  TTervoxDevice::StopThread();
}

} // namespace
