// The Report and Log pages: choosing a report, counting off the screen's
// thread, browsing, zoom, printing to PDF, the switches of the Log page.
#include "Engine/DqPageView.h"
#include "domain/Tervox_DeviceReport.h"
#include "domain/Tervox_UsageLogReport.h"
#include "pages/Frame_Log.h"
#include "pages/Frame_Report.h"
#include "shell/UiTestSupport.h"
#include "domain/Tervox_Engine.h"
#include "domain/Tervox_DeviceList.h"
#include "domain/Tervox_Alerts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QTimeEdit>

#include <gtest/gtest.h>

#include <sqlite3.h>

using tervox_test::TestDatabase;

namespace {

constexpr double kSecond = 1.0 / 86400;
double Day() { return EncodeDateTime(2026, 3, 14); }

void AddReadings(int ADevice, int ACount, double AFrom) {
  sqlite3* db = GetDatabase()->Handle();
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (int i = 0; i < ACount; ++i)
    sqlite3_exec(db,
                 QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, Digit, PV, SV) VALUES (%1, %2, 1, %3, 50)")
                     .arg(ADevice)
                     .arg(AFrom + i * kSecond, 0, 'g', 17)
                     .arg(20 + i)
                     .toUtf8()
                     .constData(),
                 nullptr, nullptr, nullptr);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
}

void LoadDevices() {
  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (ID, Name, Enabled) VALUES (3, 'Oven', 0), (4, 'Kiln', 0)"));
  DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
}

void SetRange(TFrameReport& APage, double AFrom, double ATo) {
  const QDateTime from = DateTimeToQDateTime(AFrom);
  const QDateTime to = DateTimeToQDateTime(ATo);
  APage.PickerFirstDate()->setDate(from.date());
  APage.PickerFirstTime()->setTime(from.time());
  APage.PickerLastDate()->setDate(to.date());
  APage.PickerLastTime()->setTime(to.time());
}

// The Report and Log pages count off the UI thread; the pages follow.
template <class TPage>
bool WaitCounted(TPage& APage) {
  return QTest::qWaitFor([&] { return !APage.Counting(); }, 20000);
}

QStringList PageTexts(TDqPageView* AView) {
  tervox_test::TextCapture capture(AView->PaintBox()->size());
  AView->PaintBox()->render(&capture);
  return capture.TextsIn(QRect(QPoint(0, 0), AView->PaintBox()->size()));
}

TEST(FrameReport, ChoosingAReportCountsItsPagesAndBrowses) {
  TestDatabase database;
  LoadDevices();
  AddReadings(3, 100, Day() + 0.5);
  AddReadings(4, 5, Day() + 0.5);
  TFrameReport page;
  page.resize(1000, 800);
  page.show();
  EXPECT_EQ(page.PageView()->LabelPage()->text(), QStringLiteral("of 0"));
  EXPECT_EQ(page.ComboDevice()->currentIndex(), -1);
  SetRange(page, Day(), Day() + 1);
  page.ComboDevice()->setCurrentIndex(page.ComboDevice()->findText(QStringLiteral("Oven")));
  ASSERT_TRUE(WaitCounted(page));
  EXPECT_EQ(page.PageView()->LabelPage()->text(), QStringLiteral("of 3"));
  EXPECT_EQ(page.PageView()->ComboPage()->count(), 3);
  EXPECT_TRUE(PageTexts(page.PageView()).contains(QStringLiteral("Page 1 of 3")));

  QTest::mouseClick(page.PageView()->ButtonLast(), Qt::LeftButton);
  EXPECT_EQ(page.PageView()->CurrentPage(), 3);
  const QStringList last = PageTexts(page.PageView());
  EXPECT_TRUE(last.contains(QStringLiteral("Page 3 of 3")));
  EXPECT_TRUE(last.contains(QStringLiteral("Device Name: Oven")));
  EXPECT_TRUE(last.contains(QStringLiteral("14/03/26 - 12:01:39")));
  EXPECT_EQ(last.count(QStringLiteral("50.0")), 16); // 16 rows on the last page
  // Next on the last page stays there.
  QTest::mousePress(page.PageView()->ButtonNext(), Qt::LeftButton);
  QTest::mouseRelease(page.PageView()->ButtonNext(), Qt::LeftButton);
  EXPECT_EQ(page.PageView()->CurrentPage(), 3);
  QTest::mousePress(page.PageView()->ButtonPrev(), Qt::LeftButton);
  EXPECT_EQ(page.PageView()->CurrentPage(), 2);
  // Held down: the repeat carries on to the first page.
  EXPECT_TRUE(QTest::qWaitFor([&] { return page.PageView()->CurrentPage() == 1; }, 3000));
  QTest::mouseRelease(page.PageView()->ButtonPrev(), Qt::LeftButton);

  // "1 Minute" with only "Read Time": 100 seconds from 12:00:00 make 3 rows
  // (12:00, 12:01, 12:02 groups).
  for (int i = 0; i < 7; ++i) page.CheckBox(i)->setChecked(false);
  page.ComboPeriod()->setCurrentIndex(2);
  ASSERT_TRUE(WaitCounted(page));
  EXPECT_EQ(page.Report()->RecordCount(), 3);
  EXPECT_EQ(page.Report()->Headings(), QStringList{QStringLiteral("Read Time")});

  // The page comes back as it was left.
  TFrameReport again;
  ASSERT_TRUE(WaitCounted(again));
  EXPECT_EQ(again.ComboDevice()->currentText(), QStringLiteral("Oven"));
  EXPECT_EQ(again.ComboPeriod()->currentIndex(), 2);
  EXPECT_FALSE(again.CheckBox(0)->isChecked());
  EXPECT_EQ(again.PageView()->LabelPage()->text(), QStringLiteral("of 1"));
  again.UpdateDevices();
  EXPECT_EQ(again.ComboDevice()->currentIndex(), -1);
  EXPECT_EQ(again.PageView()->LabelPage()->text(), QStringLiteral("of 0"));
}

TEST(FrameReport, ZoomStepsAndPrintingToPdf) {
  TestDatabase database;
  LoadDevices();
  AddReadings(3, 100, Day() + 0.5);
  TFrameReport page;
  page.resize(900, 700);
  page.show();
  // The page remembers the last selection of the run: set all of it.
  page.ComboPeriod()->setCurrentIndex(0);
  for (int i = 0; i < 7; ++i) page.CheckBox(i)->setChecked(true);
  SetRange(page, Day(), Day() + 1);
  page.ComboDevice()->setCurrentIndex(page.ComboDevice()->findText(QStringLiteral("Oven")));
  ASSERT_TRUE(WaitCounted(page));

  TDqPageView* view = page.PageView();
  std::vector<double> zooms;
  for (int i = 0; i < 3; ++i) {
    view->ZoomStep(true);
    zooms.push_back(view->Zoom());
  }
  EXPECT_EQ(zooms, (std::vector<double>{120, 140, 160}));
  view->SetZoom(100);
  for (int i = 0; i < 12; ++i) view->ZoomStep(false);
  EXPECT_EQ(view->Zoom(), 10);
  view->SetZoom(990);
  view->ZoomStep(true);
  EXPECT_EQ(view->Zoom(), 1000);
  // Ctrl+wheel over the page zooms it.
  view->SetZoom(100);
  const int width100 = view->PageRect().width();
  QWheelEvent wheel(QPointF(50, 50), view->PaintBox()->mapToGlobal(QPointF(50, 50)), QPoint(), QPoint(0, 120),
                    Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(view->PaintBox(), &wheel);
  EXPECT_EQ(view->Zoom(), 120);
  EXPECT_GT(view->PageRect().width(), width100);

  tervox_test::TempDir dir;
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(dir.Path(QStringLiteral("p.pdf")));
  printer.setPageLayout(ReportSetting()->PageLayout());
  page.PrintReport(printer, 2, 2);
  QProcess text;
  text.start(QStringLiteral("pdftotext"), {dir.Path(QStringLiteral("p.pdf")), QStringLiteral("-")});
  ASSERT_TRUE(text.waitForFinished(30000));
  const QString printed = QString::fromUtf8(text.readAllStandardOutput());
  EXPECT_TRUE(printed.contains(QStringLiteral("Page 2 of 3"))) << printed.toStdString();
  EXPECT_FALSE(printed.contains(QStringLiteral("Page 1 of 3")));
  EXPECT_TRUE(printed.contains(QStringLiteral("TERVOX REPORT")));
  EXPECT_TRUE(printed.contains(QStringLiteral("14/03/26 - 12:00:42"))); // the first row of page 2
  EXPECT_EQ(view->Zoom(), 120); // the screen's zoom is untouched
}

TEST(FrameReport, ExportNotesWhatTheSpreadsheetCannotHold) {
  TestDatabase database;
  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (ID, Name, Enabled) VALUES (5, 'เตาอบ', 0)"));
  DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
  AddReadings(5, 10, Day() + 0.5);
  TFrameReport page;
  page.ComboPeriod()->setCurrentIndex(0);
  for (int i = 0; i < 7; ++i) page.CheckBox(i)->setChecked(true);
  SetRange(page, Day(), Day() + 1);
  page.ComboDevice()->setCurrentIndex(0);
  ASSERT_TRUE(WaitCounted(page));
  tervox_test::TempDir dir;
  const QString xlsNote = page.ExportReport(dir.Path(QStringLiteral("r.xls")));
  EXPECT_TRUE(xlsNote.startsWith(QStringLiteral("10 rows exported"))) << xlsNote.toStdString();
  EXPECT_TRUE(xlsNote.contains(QStringLiteral("code page (1250)")));
  EXPECT_TRUE(xlsNote.contains(QStringLiteral(".csv")));
  const QString csvNote = page.ExportReport(dir.Path(QStringLiteral("r.csv")));
  EXPECT_FALSE(csvNote.contains(QStringLiteral("code page")));
  EXPECT_TRUE(tervox_test::ReadFileBytes(dir.Path(QStringLiteral("r.csv"))).startsWith("Read Time,PV,SV,OUT1,OUT2,EV1,EV2,EV3\r\n"));
  EXPECT_TRUE(tervox_test::ReadFileBytes(dir.Path(QStringLiteral("r.xls"))).contains("Device Name: ?????"));
}

TEST(FrameLog, PagesOfTheLogAndTheAlertSwitches) {
  TestDatabase database;
  LoadDevices();
  {
    tervox_test::FixedClock clock(Day() + 0.25);
    for (int i = 0; i < 44; ++i) AddUsageLog(QStringLiteral("Line %1").arg(i), 0, QStringLiteral("IN"), 0, 0);
    AddUsageLog(QStringLiteral("EV1 changed"), 3, QStringLiteral("ON"), 181.5, 1);
  }
  TFrameLog page;
  page.resize(900, 700);
  page.show();
  ASSERT_TRUE(WaitCounted(page));
  EXPECT_EQ(page.PageView()->LabelPage()->text(), QStringLiteral("of 2"));
  const QStringList first = PageTexts(page.PageView());
  EXPECT_TRUE(first.contains(QStringLiteral("Oven")));
  EXPECT_TRUE(first.contains(QStringLiteral("181.5")));
  EXPECT_TRUE(first.contains(QStringLiteral("Device Name")));
  page.PageView()->SetCurrentPage(2);
  const QStringList second = PageTexts(page.PageView());
  EXPECT_TRUE(second.contains(QStringLiteral("Line 0"))); // the oldest alone on page 2
  EXPECT_FALSE(second.contains(QStringLiteral("Line 1")));

  // New lines appear when the page is entered again.
  AddUsageLog(QStringLiteral("Line 45"), 0, QStringLiteral("IN"), 0, 0);
  EXPECT_EQ(page.Report()->RecordCount(), 45);
  page.OnEnter()(&page);
  ASSERT_TRUE(WaitCounted(page));
  EXPECT_EQ(page.Report()->RecordCount(), 46);
  EXPECT_EQ(page.PageView()->CurrentPage(), 1);

  EXPECT_EQ(page.CheckBoxEV(1)->text(), QStringLiteral("Alert when EV2 change"));
  EXPECT_FALSE(page.CheckBoxEV(1)->isChecked());
  QTest::mouseClick(page.CheckBoxEV(1), Qt::LeftButton, {}, QPoint(4, page.CheckBoxEV(1)->height() / 2));
  EXPECT_TRUE(TervoxAlerts::AlertEV(1));
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT Value FROM Config WHERE Name = 'AlertEV2'")), QStringLiteral("-1"));
  QTest::mouseClick(page.CheckBoxEV(1), Qt::LeftButton, {}, QPoint(4, page.CheckBoxEV(1)->height() / 2));
  EXPECT_FALSE(TervoxAlerts::AlertEV(1));
  EXPECT_EQ(TestDatabase::Value(QStringLiteral("SELECT Value FROM Config WHERE Name = 'AlertEV2'")), QStringLiteral("0"));
}

// The count arrives through the event loop, not inside the call; a newer
// count supersedes an older one, whose result never shows.
TEST(FrameLog, CountsOffTheUIThreadAndTheNewestCountWins) {
  TestDatabase database;
  {
    tervox_test::FixedClock clock(Day() + 0.25);
    for (int i = 0; i < 45; ++i) AddUsageLog(QStringLiteral("Line %1").arg(i), 0, QStringLiteral("IN"), 0, 0);
  }
  TFrameLog page;
  EXPECT_TRUE(page.Counting());
  EXPECT_EQ(page.Report(), nullptr);
  EXPECT_EQ(page.PageView()->LabelPage()->text(), QStringLiteral("counting..."));
  ASSERT_TRUE(WaitCounted(page));
  EXPECT_EQ(page.Report()->RecordCount(), 45);
  EXPECT_EQ(page.PageView()->LabelPage()->text(), QStringLiteral("of 2"));

  tervox_test::FixedClock clock(Day() + 0.5);
  AddUsageLog(QStringLiteral("Line 45"), 0, QStringLiteral("IN"), 0, 0);
  page.LoadLog(); // counts 46
  clock.Advance(1.0 / 86400);
  AddUsageLog(QStringLiteral("Line 46"), 0, QStringLiteral("IN"), 0, 0);
  page.LoadLog(); // counts 47 and supersedes the count of 46
  EXPECT_TRUE(page.Counting());
  EXPECT_EQ(page.Report()->RecordCount(), 45) << "the pages shown stay until the new count";
  ASSERT_TRUE(WaitCounted(page));
  EXPECT_EQ(page.Report()->RecordCount(), 47);
  QCoreApplication::processEvents();
  EXPECT_EQ(page.Report()->RecordCount(), 47);
  EXPECT_EQ(page.PageView()->LabelPage()->text(), QStringLiteral("of 2"));
}

} // namespace
