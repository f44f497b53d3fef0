// The Report and Log pages: choosing a report, counting off the screen's
// thread, browsing, zoom, printing to PDF, the switches of the Log page.
#include "core/DqClock.h"
#include "widgets/DqPageView.h"
#include "export/Tervox_DeviceReport.h"
#include "export/Tervox_UsageLogReport.h"
#include "export/Tervox_ReportStamp.h"
#include "plant/Tervox_User.h"
#include "trust/Tervox_Audit.h"
#include "ui/pages/Frame_Log.h"
#include "ui/pages/Frame_Report.h"
#include "ui/UiTestSupport.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"
#include "plant/Tervox_Alerts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QPrinter>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimeEdit>
#include <QTimer>

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

// A timer that ticks at every turn of the UI thread's event loop while a
// progress window is up, and may press its Cancel at the first such tick.
struct TProgressTicks {
  explicit TProgressTicks(QWidget& APage, bool ACancel = false) {
    Timer.setInterval(0);
    QObject::connect(&Timer, &QTimer::timeout, [this, &APage, ACancel] {
      auto* dialog = APage.findChild<QProgressDialog*>();
      if (!dialog) return;
      ++Ticks;
      if (ACancel && !Cancelled) {
        Cancelled = true;
        dialog->findChild<QPushButton*>()->click();
      }
    });
    Timer.start();
  }
  QTimer Timer;
  int Ticks = 0;
  bool Cancelled = false;
};

QString PdfInfo(const QString& AFile) {
  QProcess info;
  info.start(QStringLiteral("pdfinfo"), {AFile});
  info.waitForFinished(30000);
  return QString::fromUtf8(info.readAllStandardOutput());
}

QStringList PageTexts(TDqPageView* AView) {
  tervox_test::TextCapture capture(AView->PaintBox()->size());
  AView->PaintBox()->render(&capture);
  return capture.TextsIn(QRect(QPoint(0, 0), AView->PaintBox()->size()));
}

// First of the file: nothing shown earlier in the run. The page opens on
// the first controller with the rows of the hour before the half-hour.
TEST(FrameReport, OpensOnTheFirstControllerWithItsRows) {
  TestDatabase database;
  LoadDevices();
  AddReadings(3, 100, Day() + 0.5);
  AddReadings(4, 5, Day() + 0.5);
  const tervox_test::FixedClock clock(Day() + 0.52); // 12:28:48
  TFrameReport page;
  page.resize(1000, 800);
  page.show();
  EXPECT_EQ(page.ComboDevice()->currentText(), QStringLiteral("Oven"));
  ASSERT_TRUE(WaitCounted(page));
  ASSERT_NE(page.Report(), nullptr);
  EXPECT_EQ(page.Report()->Query().DeviceID, 3);
  EXPECT_EQ(page.Report()->RecordCount(), 100);
  EXPECT_EQ(page.PageView()->LabelPage()->text(), QStringLiteral("of 3"));
  const QStringList texts = PageTexts(page.PageView());
  EXPECT_TRUE(texts.contains(QStringLiteral("Device Name: Oven")));
  EXPECT_TRUE(texts.contains(QStringLiteral("Page 1 of 3")));
  EXPECT_TRUE(texts.contains(QStringLiteral("14/03/26 - 12:00:00")));
  EXPECT_TRUE(texts.contains(ClockStatusText()));

  // No controller at all: an empty page, as before.
  TestDatabase::Exec(QStringLiteral("DELETE FROM Device"));
  DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
  TFrameReport none;
  EXPECT_EQ(none.ComboDevice()->currentIndex(), -1);
  EXPECT_EQ(none.PageView()->LabelPage()->text(), QStringLiteral("of 0"));
  EXPECT_EQ(none.Report(), nullptr);
}

TEST(FrameReport, ChoosingAReportCountsItsPagesAndBrowses) {
  TestDatabase database;
  LoadDevices();
  AddReadings(3, 100, Day() + 0.5);
  AddReadings(4, 5, Day() + 0.5);
  TFrameReport page;
  page.resize(1000, 800);
  page.show();
  EXPECT_EQ(page.ComboDevice()->currentText(), QStringLiteral("Oven")); // never blank
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

// The Thai-named controller's 10 readings, counted with every column.
class FrameReportExport : public ::testing::Test {
protected:
  void SetUp() override {
    TestDatabase::Exec(QStringLiteral("INSERT INTO Device (ID, Name, Enabled) VALUES (5, 'เตาอบ', 0)"));
    DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
    AddReadings(5, 10, Day() + 0.5);
    Page = std::make_unique<TFrameReport>();
    Page->ComboPeriod()->setCurrentIndex(0);
    for (int i = 0; i < 7; ++i) Page->CheckBox(i)->setChecked(true);
    SetRange(*Page, Day(), Day() + 1);
    Page->ComboDevice()->setCurrentIndex(0);
    ASSERT_TRUE(WaitCounted(*Page));
  }

  TestDatabase Database;
  tervox_test::TempDir dir;
  std::unique_ptr<TFrameReport> Page;
};

TEST_F(FrameReportExport, ExportNotesWhatTheSpreadsheetCannotHold) {
  const QString xlsNote = Page->ExportReport(dir.Path(QStringLiteral("r.xls")));
  EXPECT_TRUE(xlsNote.startsWith(QStringLiteral("10 rows exported"))) << xlsNote.toStdString();
  EXPECT_TRUE(xlsNote.contains(QStringLiteral("code page (1250)")));
  EXPECT_TRUE(xlsNote.contains(QStringLiteral(".csv")));
  const QString csvNote = Page->ExportReport(dir.Path(QStringLiteral("r.csv")));
  EXPECT_FALSE(csvNote.contains(QStringLiteral("code page")));
  EXPECT_TRUE(tervox_test::ReadFileBytes(dir.Path(QStringLiteral("r.csv"))).startsWith("Read Time,PV,SV,OUT1,OUT2,EV1,EV2,EV3\r\n"));
  EXPECT_TRUE(tervox_test::ReadFileBytes(dir.Path(QStringLiteral("r.xls"))).contains("Device Name: ?????"));
}

// Export: the kind chosen in the file dialog decides the file, also when
// the name is typed without an extension; only the .xls notes the code page.
TEST_F(FrameReportExport, ExportWritesTheKindChosenInTheDialog) {
  struct Case {
    const char* Filter;
    const char* Name;
    const char* File;
    QByteArray Start;
  } const cases[] = {
      {"Excel Workbook (*.xlsx)", "a", "a.xlsx", QByteArray("PK\x03\x04", 4)},
      {"CSV Files (*.csv)", "b", "b.csv", "Read Time,"},
      {"Excel Files (*.xls)", "c", "c.xls", QByteArray("\x09\x08", 2)},
      {"Excel Workbook (*.xlsx)", "d.xlsx", "d.xlsx", QByteArray("PK\x03\x04", 4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.File);
    tervox_test::ModalAnswers answers;
    answers.Then([&](QWidget* ADialog) {
      auto* dialog = qobject_cast<QFileDialog*>(ADialog);
      ASSERT_NE(dialog, nullptr);
      // As a user picks the kind in the dialog's list.
      auto* kinds = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
      ASSERT_NE(kinds, nullptr);
      const int index = kinds->findText(QString::fromLatin1(c.Filter));
      ASSERT_GE(index, 0);
      kinds->setCurrentIndex(index);
      emit kinds->activated(index);
      emit kinds->textActivated(kinds->itemText(index));
      dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(dir.Path(QString::fromLatin1(c.Name)));
      static_cast<QDialog*>(dialog)->accept();
    });
    answers.ThenOk();
    tervox_test::Click(Page->ButtonExport());
    ASSERT_TRUE(QTest::qWaitFor([&] { return answers.Texts.size() == 2; }, 20000));
    EXPECT_TRUE(answers.Texts[1].contains(QStringLiteral("10 rows exported"))) << answers.Texts[1].toStdString();
    EXPECT_EQ(answers.Texts[1].contains(QStringLiteral("code page")), QByteArray(c.File).endsWith(".xls"));
    EXPECT_TRUE(tervox_test::ReadFileBytes(dir.Path(QString::fromLatin1(c.File))).startsWith(c.Start));
  }
  EXPECT_EQ(QDir(dir.Root()).entryList(QDir::Files), QStringList({"a.xlsx", "b.csv", "c.xls", "d.xlsx"}));
}

// The Oven's 1000 readings as a 24-sheet report with every column,
// counted, and a PDF printer writing into a private directory.
class FrameReportPrint : public ::testing::Test {
protected:
  void SetUp() override {
    LoadDevices();
    AddReadings(3, 1000, Day() + 0.5);
    Page = std::make_unique<TFrameReport>();
    Page->ComboPeriod()->setCurrentIndex(0);
    for (int i = 0; i < 7; ++i) Page->CheckBox(i)->setChecked(true);
    SetRange(*Page, Day(), Day() + 1);
    Page->ComboDevice()->setCurrentIndex(Page->ComboDevice()->findText(QStringLiteral("Oven")));
    ASSERT_TRUE(WaitCounted(*Page));
    ASSERT_EQ(Page->PageView()->PageCount(), 24); // 42 rows a sheet
    Printer.setOutputFormat(QPrinter::PdfFormat);
    Printer.setOutputFileName(File);
    Printer.setPageLayout(ReportSetting()->PageLayout());
  }
  QStringList Files() const { return QDir(Dir.Root()).entryList(QDir::Files); }

  TestDatabase Database;
  tervox_test::TempDir Dir;
  const QString File = Dir.Path(QStringLiteral("p.pdf"));
  std::unique_ptr<TFrameReport> Page;
  QPrinter Printer{QPrinter::HighResolution};
};

// A print of every page: one PDF page per sheet, drawn while the UI
// thread goes on turning, and no temporary file left beside it.
TEST_F(FrameReportPrint, EveryPageToPdfWhileTheWindowTurns) {
  TProgressTicks ticks(*Page);
  EXPECT_TRUE(Page->PrintReport(Printer, 1, 24));
  EXPECT_GT(ticks.Ticks, 0) << "the UI thread stood still while printing";
  EXPECT_EQ(Printer.outputFileName(), File);
  EXPECT_EQ(Files(), QStringList{QStringLiteral("p.pdf")});
  EXPECT_TRUE(PdfInfo(File).contains(QRegularExpression(QStringLiteral("Pages:\\s+24\\n"))));
  QProcess text;
  text.start(QStringLiteral("pdftotext"), {QStringLiteral("-f"), QStringLiteral("24"), File, QStringLiteral("-")});
  ASSERT_TRUE(text.waitForFinished(30000));
  const QString last = QString::fromUtf8(text.readAllStandardOutput());
  EXPECT_TRUE(last.contains(QStringLiteral("Page 24 of 24"))) << last.toStdString();
  EXPECT_TRUE(last.contains(QStringLiteral("14/03/26 - 12:16:39"))) << last.toStdString(); // the 1000th reading
}

// An approval asks the password again, goes to the audit trail with the
// digest of the report's rows (the one its CSV carries), and is printed
// at the foot of every sheet with that digest.
TEST_F(FrameReportPrint, ApprovalAndDigestOnThePrintedSheets) {
  CurrentUser()->Username = QStringLiteral("eng");
  CurrentUser()->DisplayName = QStringLiteral("Eng One");
  CurrentUser()->Password = HashPassword(QStringLiteral("pw"));
  QString error;
  EXPECT_FALSE(Page->ApproveReport(QStringLiteral("wrong"), QStringLiteral("Approved"), error));
  EXPECT_EQ(error, QStringLiteral("Wrong password"));
  EXPECT_TRUE(Page->Approval().isEmpty());
  ASSERT_TRUE(Page->ApproveReport(QStringLiteral("pw"), QStringLiteral("Approved"), error)) << error.toStdString();
  EXPECT_TRUE(Page->Approval().startsWith(QStringLiteral("Approved by Eng One at "))) << Page->Approval().toStdString();
  TervoxAudit::Flush();
  const auto trail = TervoxAudit::Entries(*GetDatabase(), 0, 1e9);
  ASSERT_GE(trail.size(), 2u);
  EXPECT_EQ(trail[trail.size() - 2].Entry.Action, QStringLiteral("approval refused"));
  const TervoxAudit::TEntry& approved = trail.back().Entry;
  EXPECT_EQ(approved.Action, QStringLiteral("report approved"));
  EXPECT_EQ(approved.TargetID, 3);
  ASSERT_EQ(approved.Changes.size(), 5u);
  // Rows no keeper has chained: said, never "intact".
  EXPECT_EQ(approved.Changes[4].New, QStringLiteral("not yet chained (1000 reading(s))"));
  const QString digest = approved.Changes[3].New;
  // The same digest as the stamp of the report's CSV.
  const QString csv = Dir.Path(QStringLiteral("r.csv"));
  Page->Report()->ExportCSV(csv);
  TReportStamp stamp;
  ASSERT_TRUE(ParseReportStamp(tervox_test::ReadFileBytes(csv).split('\n').at(1001), stamp));
  EXPECT_EQ(stamp.Digest, digest);

  ASSERT_TRUE(Page->PrintReport(Printer, 1, 2));
  QProcess text;
  text.start(QStringLiteral("pdftotext"), {QStringLiteral("-f"), QStringLiteral("2"), File, QStringLiteral("-")});
  ASSERT_TRUE(text.waitForFinished(30000));
  const QString page2 = QString::fromUtf8(text.readAllStandardOutput());
  EXPECT_TRUE(page2.contains(Page->Approval())) << page2.toStdString();
  EXPECT_TRUE(page2.contains(QStringLiteral("Digest of the report's 1000 rows: ") + digest)) << page2.toStdString();
  EXPECT_TRUE(page2.contains(QStringLiteral("printed by Eng One (eng)"))) << page2.toStdString();
  CurrentUser()->Clear();
}

// Cancel in the progress window: no new file, and a file of that name from
// before stays as it was.
TEST_F(FrameReportPrint, ACancelledPrintLeavesNoFileBehind) {
  for (const QByteArray& before : {QByteArray(), QByteArray("an earlier report")}) {
    if (!before.isEmpty()) tervox_test::WriteFileBytes(File, before);
    TProgressTicks cancel(*Page, true);
    EXPECT_FALSE(Page->PrintReport(Printer, 1, 24)) << before.constData();
    EXPECT_TRUE(cancel.Cancelled);
    if (before.isEmpty()) {
      EXPECT_TRUE(Files().isEmpty()) << Files().join(QLatin1Char(' ')).toStdString();
    } else {
      EXPECT_EQ(Files(), QStringList{QStringLiteral("p.pdf")});
      EXPECT_EQ(tervox_test::ReadFileBytes(File), before);
    }
  }
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
