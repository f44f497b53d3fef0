// The Graph page: the window from the pickers (Buddhist-era typing), zoom
// by buttons and by rectangle, reading recorded rows off the UI thread and
// only when the window changes, and the line list's values.
#include "widgets/DqDrawGrid.h"
#include "graph/DqGraph.h"
#include "graph/DqGraphHistory.h"
#include "core/DqRoutine.h"
#include "plant/Tervox_Device.h"
#include "export/Tervox_Report.h"
#include "ui/pages/Frame_Graph.h"
#include "GraphTestSupport.h"
#include "ui/UiTestSupport.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPrinter>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

using tervox_test::ModalAnswers;
using tervox_test::TestDatabase;
using tervox_test::WaitRead;

namespace {

constexpr double kSecond = 1.0 / 86400.0;

// Oven (ID 1) recorded a minute of readings from 08:00; the profile plots
// it and a deleted controller.
double Seed() {
  TestDatabase::Exec(QStringLiteral("INSERT INTO Device (ID, Name, Address, Enabled) VALUES (1, 'Oven', 1, 0)"));
  DeviceList()->LoadFromDB(*GetDatabase(), QStringLiteral("Device"));
  DeviceList()->GetDeviceByID(1)->SetDigit(1);
  const double start = EncodeDateTime(2026, 3, 1, 8, 0, 0);
  TestDatabase::Exec(QStringLiteral("BEGIN"));
  for (int i = 0; i < 60; ++i)
    TestDatabase::Exec(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, Digit, PV) VALUES (1, %1, 1, %2)")
                           .arg(start + i * kSecond, 0, 'f', 12)
                           .arg(20 + i * 0.5));
  TestDatabase::Exec(QStringLiteral("COMMIT"));
  TestDatabase::Exec(QStringLiteral("INSERT INTO Graph (Name, MinValue, MaxValue) VALUES ('History', 0, 100)"));
  TestDatabase::Exec(QStringLiteral("INSERT INTO GraphLine (Name, GraphID, DeviceID, ValueTypeID, Color) VALUES "
                                    "('Oven', 1, 1, 1, 255), ('Gone', 1, 9, 1, 65280)"));
  return start;
}

void SetWindow(TFrameGraph& APage, double AFirst, double ALast) {
  APage.PickerFirstDate()->SetValue(AFirst);
  APage.PickerFirstTime()->SetValue(AFirst);
  APage.PickerLastDate()->SetValue(ALast);
  APage.PickerLastTime()->SetValue(ALast);
  APage.PickerChange();
}

// Prints into a PDF file at the resolution the print button asks for, on
// the stored "Graph" paper (a fresh install: landscape).
void SetUpPdfPrinter(QPrinter& APrinter, const QString& AFile) {
  APrinter.setResolution(150);
  APrinter.setOutputFormat(QPrinter::PdfFormat);
  APrinter.setOutputFileName(AFile);
  APrinter.setPageLayout(GraphSetting()->PageLayout());
}

void Choose(TFrameGraph& APage, int AIndex) {
  APage.ComboGraph()->setCurrentIndex(AIndex);
  APage.ComboGraphChange();
}

} // namespace

// A profile remembered without a window (as the demonstration names its
// own) opens on the designed window, the hour from the half-hour before
// now, not on day 0; a remembered window is kept.
TEST(Frame_GraphTest, OpensOnTheDesignedWindowUnlessOneWasRemembered) {
  TestDatabase db;
  const double start = Seed();
  tervox_test::FixedClock clock(EncodeDateTime(2026, 3, 1, 10, 17, 0));
  TFrameGraph::RememberProfile(QStringLiteral("History"));
  {
    TFrameGraph page;
    EXPECT_EQ(page.ComboGraph()->currentText(), QStringLiteral("History"));
    EXPECT_DOUBLE_EQ(page.PickerFirstDate()->Value(), EncodeDateTime(2026, 3, 1, 9, 30));
    EXPECT_DOUBLE_EQ(page.PickerLastTime()->Value(), EncodeDateTime(2026, 3, 1, 10, 30));
    EXPECT_EQ(page.PickerFirstDate()->text(), QStringLiteral("01/03/2569"));
  }
  TFrameGraph::RememberWindow(start, start + 60 * kSecond);
  TFrameGraph page;
  EXPECT_DOUBLE_EQ(page.PickerFirstTime()->Value(), start);
  EXPECT_DOUBLE_EQ(page.PickerLastTime()->Value(), start + 60 * kSecond);
  WaitRead(page);
  EXPECT_EQ(page.ActiveGraph()->GetLines(0)->LastGraphText(), QStringLiteral("49.5"));
}

TEST(Frame_GraphTest, TypedDatesAreReadInTheBuddhistEra) {
  TestDatabase db;
  TFrameGraph page;
  TGraphPicker* picker = page.PickerFirstDate();
  picker->setText(QStringLiteral("5/3/2562 14:30"));
  picker->CommitText();
  EXPECT_DOUBLE_EQ(picker->Value(), EncodeDateTime(2019, 3, 5, 14, 30));
  EXPECT_EQ(picker->text(), QStringLiteral("05/03/2562"));
  picker->setText(QStringLiteral("1/1/62"));
  picker->CommitText();
  EXPECT_DOUBLE_EQ(picker->Value(), EncodeDateTime(2019, 1, 1));

  // Not a date: a message, and the picker keeps its value.
  for (const char* text : {"abc", "31/2/2562", "12 2562"}) {
    picker->setText(QString::fromLatin1(text));
    EXPECT_THROW(picker->CommitText(), EDqException) << text;
    EXPECT_DOUBLE_EQ(picker->Value(), EncodeDateTime(2019, 1, 1));
  }
  ModalAnswers answers;
  answers.ThenOk();
  picker->setFocus();
  picker->setText(QStringLiteral("abc"));
  QTest::keyClick(picker, Qt::Key_Return);
  EXPECT_EQ(answers.Texts.value(0), QStringLiteral("'abc' is not a valid date"));

  page.PickerFirstTime()->setText(QStringLiteral("25:00"));
  EXPECT_THROW(page.PickerFirstTime()->CommitText(), EDqException);
  page.PickerFirstTime()->setText(QStringLiteral("7:05"));
  page.PickerFirstTime()->CommitText();
  EXPECT_EQ(page.PickerFirstTime()->text(), QStringLiteral("07:05:00"));
}

TEST(Frame_GraphTest, ReadsTheWindowOffTheUIThreadAndShowsTheNewestValue) {
  TestDatabase db;
  const double start = Seed();
  TFrameGraph page;
  Choose(page, 0);
  TDqTrendGraph* graph = page.ActiveGraph();
  ASSERT_NE(graph, nullptr);
  EXPECT_TRUE(graph->TimeMode);
  SetWindow(page, start - 60 * kSecond, start + 120 * kSecond);
  WaitRead(page);
  EXPECT_EQ(graph->GetLines(0)->LastGraphText(), QStringLiteral("49.5"));
  EXPECT_EQ(graph->GetLines(0)->Detail, QStringLiteral("[PV]"));
  EXPECT_EQ(graph->GetLines(1)->LastGraphText(), QStringLiteral("HHHH")); // deleted controller
  EXPECT_EQ(graph->GetLines(1)->Name, QStringLiteral("Gone"));
  // The line is on the picture in its colour (red).
  const QImage& image = page.Bitmap();
  int red = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) red += (image.pixel(x, y) & 0xFFFFFF) == 0xFF0000;
  EXPECT_GT(red, 50);

  // A window without readings keeps the value found before.
  SetWindow(page, start + 3600 * kSecond, start + 7200 * kSecond);
  WaitRead(page);
  EXPECT_EQ(graph->GetLines(0)->LastGraphText(), QStringLiteral("49.5"));
  // A window of no length and a reversed one draw without trouble.
  SetWindow(page, start, start);
  WaitRead(page);
  SetWindow(page, start + 60 * kSecond, start);
  WaitRead(page);
}

TEST(Frame_GraphTest, DraggingTheZoomRectangleDoesNotReadAgain) {
  TestDatabase db;
  const double start = Seed();
  TFrameGraph page;
  page.show();
  Choose(page, 0);
  SetWindow(page, start, start + 60 * kSecond);
  WaitRead(page);
  const int reads = page.ReadCount();
  const QRect plot = TDqTrendGraph::MarginRect(page.GraphRect());
  QWidget* box = page.PaintBox();
  QTest::mousePress(box, Qt::LeftButton, {}, plot.topLeft() + QPoint(100, 50));
  EXPECT_TRUE(page.Dragging());
  for (int i = 1; i <= 20; ++i) {
    QMouseEvent move(QEvent::MouseMove, QPointF(plot.topLeft() + QPoint(100 + 10 * i, 50 + 5 * i)),
                     QPointF(box->mapToGlobal(plot.topLeft() + QPoint(100 + 10 * i, 50 + 5 * i))), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(box, &move);
    QCoreApplication::processEvents();
  }
  EXPECT_FALSE(page.Reading());
  EXPECT_EQ(page.ReadCount(), reads);
  QTest::mouseRelease(box, Qt::LeftButton, {}, plot.topLeft() + QPoint(300, 150));
  EXPECT_FALSE(page.Dragging());
  WaitRead(page);
  EXPECT_EQ(page.ReadCount(), reads + 1);
  // The window is the dragged part of the old one.
  const double d = 60 * kSecond;
  EXPECT_NEAR(page.ActiveGraph()->FirstTime, start + 100.0 * d / plot.width(), 1e-9);
  EXPECT_NEAR(page.ActiveGraph()->LastTime, start + 300.0 * d / plot.width(), 1e-9);
}

TEST(Frame_GraphTest, ZoomInThenOutReturnsTheSameWindow) {
  TestDatabase db;
  const double start = Seed();
  TFrameGraph page;
  Choose(page, 0);
  SetWindow(page, start, start + 1.0 / 24);
  TDqTrendGraph* g = page.ActiveGraph();
  g->MinValue = 0;
  g->MaxValue = 100;
  page.ZoomIn();
  EXPECT_EQ(g->MinValue, 10);
  EXPECT_EQ(g->MaxValue, 90);
  EXPECT_NEAR(g->FirstTime, start + 0.1 / 24, 1e-12);
  page.ZoomOut();
  EXPECT_EQ(g->MinValue, 0);
  EXPECT_EQ(g->MaxValue, 100);
  EXPECT_NEAR(g->FirstTime, start, 1e-12);
  EXPECT_NEAR(g->LastTime, start + 1.0 / 24, 1e-12);
  // Extreme bounds zoom without overflow.
  g->MinValue = INT32_MIN;
  g->MaxValue = INT32_MAX;
  page.ZoomOut();
  EXPECT_LE(g->MinValue, g->MaxValue);
  page.ZoomIn();
  page.RenderGraph();

  // The button returns to the pickers and the boxes.
  page.findChild<QToolButton*>(QStringLiteral("ButtonZoomNone"))->click();
  EXPECT_NEAR(g->FirstTime, start, 1e-9);
  EXPECT_EQ(g->MinValue, 0);
}

TEST(Frame_GraphTest, AClickWithoutDraggingZoomsToTheOrigin) {
  TestDatabase db;
  const double start = Seed();
  TFrameGraph page;
  Choose(page, 0);
  SetWindow(page, start, start + 1.0 / 24);
  TDqTrendGraph* g = page.ActiveGraph();
  const QRect p = TDqTrendGraph::MarginRect(page.GraphRect());
  const int pBottom = p.y() + p.height();
  const std::int64_t H = p.height(), W = p.width(), r = 100;
  page.ZoomRect(QPoint(200, 200), QPoint(200, 200));
  EXPECT_EQ(g->MinValue, pBottom * r / H);
  EXPECT_EQ(g->MaxValue, g->MinValue + 1);
  const double d = 1.0 / 24;
  EXPECT_NEAR(g->FirstTime, start - p.x() * d / W, 1e-12);
  EXPECT_NEAR(g->LastTime, g->FirstTime + kSecond, 1e-12);
}

TEST(Frame_GraphTest, YBoxesTakeTypedBounds) {
  TestDatabase db;
  Seed();
  TFrameGraph page;
  Choose(page, 0);
  QComboBox* box = page.ComboMaxY();
  box->lineEdit()->setFocus();
  box->lineEdit()->selectAll();
  QTest::keyClicks(box->lineEdit(), QStringLiteral("abc"));
  QTest::keyClick(box->lineEdit(), Qt::Key_Return);
  EXPECT_EQ(page.ActiveGraph()->MaxValue, 100);
  // Choosing the profile again and resetting the zoom reads "abc" as 0.
  page.findChild<QToolButton*>(QStringLiteral("ButtonZoomNone"))->click();
  EXPECT_EQ(page.ActiveGraph()->MaxValue, 0);
}

// The seeded minute on the page, read, and a directory to print into.
struct TPrintablePage {
  TPrintablePage() {
    Choose(Page, 0);
    SetWindow(Page, Start - 30 * kSecond, Start + 90 * kSecond);
    WaitRead(Page);
  }
  TestDatabase Db;
  const double Start = Seed();
  TFrameGraph Page;
  tervox_test::TempDir Dir;
};

TEST(Frame_GraphTest, PrintsFrameLinesAndLegendInLandscapeToPDF) {
  TPrintablePage f;
  const QString pdf = f.Dir.Path(QStringLiteral("graph.pdf"));
  QPrinter printer(QPrinter::PrinterResolution);
  SetUpPdfPrinter(printer, pdf);
  f.Page.PrintGraph(printer);

  QProcess info;
  info.start(QStringLiteral("pdfinfo"), {pdf});
  ASSERT_TRUE(info.waitForFinished(30000));
  const QString infoText = QString::fromUtf8(info.readAllStandardOutput());
  const QRegularExpressionMatch size =
      QRegularExpression(QStringLiteral("Page size:\\s+([0-9.]+) x ([0-9.]+)")).match(infoText);
  ASSERT_TRUE(size.hasMatch()) << infoText.toStdString();
  EXPECT_GT(size.captured(1).toDouble(), size.captured(2).toDouble()) << "not landscape";

  QProcess text;
  text.start(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")});
  ASSERT_TRUE(text.waitForFinished(30000));
  const QString words = QString::fromUtf8(text.readAllStandardOutput());
  EXPECT_TRUE(words.contains(QStringLiteral("[PV] Oven"))) << words.toStdString();
  EXPECT_TRUE(words.contains(QStringLiteral("100"))) << words.toStdString();

  QProcess render;
  render.start(QStringLiteral("pdftoppm"), {QStringLiteral("-r"), QStringLiteral("60"), QStringLiteral("-png"), pdf,
                                            f.Dir.Path(QStringLiteral("page"))});
  ASSERT_TRUE(render.waitForFinished(30000));
  QImage image(f.Dir.Path(QStringLiteral("page-1.png")));
  ASSERT_FALSE(image.isNull());
  EXPECT_GT(image.width(), image.height());
  int red = 0, black = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      red += c.red() > 200 && c.green() < 80 && c.blue() < 80;
      black += c.red() < 60 && c.green() < 60 && c.blue() < 60;
    }
  EXPECT_GT(red, 20);   // the line and its tag
  EXPECT_GT(black, 200); // the frame, ticks and labels
}

// Printing reads the printer's columns behind a progress window while the
// UI thread goes on turning; Cancel there prints nothing, not even a file.
TEST(Frame_GraphTest, PrintReadsItsHistoryOffTheUIThreadAndCancels) {
  TPrintablePage f;
  TFrameGraph& page = f.Page;
  for (const bool cancel : {false, true}) {
    const QString pdf = f.Dir.Path(cancel ? QStringLiteral("cancelled.pdf") : QStringLiteral("graph.pdf"));
    QPrinter printer(QPrinter::PrinterResolution);
    SetUpPdfPrinter(printer, pdf);
    int ticks = 0;
    QTimer timer;
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [&] {
      auto* dialog = page.findChild<QProgressDialog*>();
      if (!dialog) return;
      if (++ticks == 1 && cancel) dialog->findChild<QPushButton*>()->click();
    });
    timer.start();
    EXPECT_EQ(page.PrintGraph(printer), !cancel);
    EXPECT_GT(ticks, 0) << "the UI thread stood still while the history was read";
    EXPECT_EQ(QFile::exists(pdf), !cancel);
  }
  EXPECT_EQ(QDir(f.Dir.Root()).entryList(QDir::Files), QStringList{QStringLiteral("graph.pdf")});
}
