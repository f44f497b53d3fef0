// The graph engine: sample rings, line order, value texts, axes, live and
// time-mode drawing, storage in Graph/GraphLine, and the history reader.
#include "graph/DqGraph.h"
#include "graph/DqGraphHistory.h"
#include "store/DqHistorySummary.h"
#include "graph/DqImageFile.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "TestSupport.h"

#include <QImage>
#include <QImageReader>
#include <QPainter>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <random>

using tervox_test::TempDir;

namespace {

constexpr double kSecond = 1.0 / 86400.0;

std::unique_ptr<TDqTrendLine> NewLine(TDqColor AColor = RGBColor(255, 0, 0), int AValueType = 1) {
  auto line = std::make_unique<TDqTrendLine>();
  line->Color = AColor;
  line->ValueType = AValueType;
  return line;
}

// One tick of the trend page: one sample per line, then the shared step.
void Tick(TDqTrendGraph& AGraph, const std::vector<double>& AValues) {
  for (int i = 0; i < AGraph.LineCount(); ++i) AGraph.GetLines(i)->UpdateValue(AValues[static_cast<std::size_t>(i)]);
  AGraph.Next();
}

QImage Canvas(int AWidth = 400, int AHeight = 300) {
  QImage image(AWidth, AHeight, QImage::Format_RGB32);
  image.fill(Qt::white);
  return image;
}

bool HasColor(const QImage& AImage, int AX, int AY, QRgb AColor) {
  return AImage.valid(AX, AY) && (AImage.pixel(AX, AY) & 0xFFFFFF) == (AColor & 0xFFFFFF);
}

struct TDatabaseFixture {
  TempDir Dir;
  TSQLiteDatabase DB;
  TDatabaseFixture() : DB(Dir.Path(QStringLiteral("Graph.db"))) {
    DB.SetHeader(QStringLiteral("TERVOX_SQLITE"));
    DB.Open();
    DB.ExecSQLFromResource(QStringLiteral("TERVOXDB"), QStringLiteral("SQL"));
  }
  void AddRow(int ADeviceID, double ATime, double APV) {
    TSQLiteParamList params;
    params.SetParamValues(":DeviceID", ADeviceID);
    params.SetParamValues(":ReadTime", TVariant::FromDateTime(ATime));
    params.SetParamValues(":PV", APV);
    DB.ExecSQL(QStringLiteral("INSERT INTO DeviceData (DeviceID, ReadTime, Digit, PV, SV) VALUES "
                              "(:DeviceID, :ReadTime, 1, :PV, 0)"),
               &params);
  }
};

// The line of controller 1 drawn from every row of the graph's window, as
// the page drew history before it read columns.
void DrawEveryRow(TSQLiteDatabase& ADB, const TDqTrendGraph& AGraph, TDqTrendLine& ALine, QImage& AImage,
                  const QRect& APlot) {
  TSQLiteTable table(&ADB);
  table.SetSQL(QStringLiteral("SELECT * FROM DeviceData\r\nWHERE DeviceID = :DeviceID\r\nAND ReadTime >= "
                              ":FirstTime\r\nAND ReadTime <= :LastTime\r\nORDER BY ReadTime DESC"));
  table.SetParamValues(":DeviceID", 1);
  table.SetParamValues(":FirstTime", TVariant::FromDateTime(AGraph.FirstTime));
  table.SetParamValues(":LastTime", TVariant::FromDateTime(AGraph.LastTime));
  table.Open();
  QPainter painter(&AImage);
  ALine.DrawDB(painter, APlot, table, 1, false);
}

int DifferingPixels(const QImage& AOne, const QImage& AOther) {
  int differing = 0;
  for (int y = 0; y < AOne.height(); ++y)
    for (int x = 0; x < AOne.width(); ++x) differing += AOne.pixel(x, y) != AOther.pixel(x, y);
  return differing;
}

// The plot of a picture of ASize.
QRect PlotOf(QSize ASize) { return TDqTrendGraph::MarginRect(QRect(QPoint(0, 0), ASize)); }

// Controller 1's line of AGraph drawn at ASize from every row and from the
// history reader's columns: the same pixels and the same last value. The
// reader's series, for the caller's own checks.
TDqHistorySeries ExpectReaderDrawsAsEveryRow(TSQLiteDatabase& ADB, const TDqTrendGraph& AGraph, TDqTrendLine& ALine,
                                             QSize ASize, const std::string& AWhen = std::string()) {
  QImage rows = Canvas(ASize.width(), ASize.height());
  QImage read = rows;
  const QRect plot = PlotOf(ASize);
  DrawEveryRow(ADB, AGraph, ALine, rows, plot);
  const double fromRows = ALine.LastGraphValue;
  ALine.LastGraphValue = 0;
  const TDqHistorySeries series =
      ReadHistorySeries(ADB.Handle(), {1, 1, AGraph.FirstTime, AGraph.LastTime, plot.left(), plot.width()});
  {
    QPainter painter(&read);
    ALine.DrawSeries(painter, plot, series, 1, false);
  }
  EXPECT_EQ(ALine.LastGraphValue, fromRows) << AWhen;
  EXPECT_EQ(DifferingPixels(rows, read), 0) << ASize.width() << " x " << ASize.height() << AWhen;
  return series;
}

} // namespace

TEST(DqGraphTest, LineNumbersFollowAddDeleteAndMoves) {
  TDqTrendGraph graph;
  for (int i = 0; i < 4; ++i) {
    auto line = NewLine();
    line->Name = QStringLiteral("L%1").arg(i + 1);
    EXPECT_EQ(graph.Add(std::move(line)), i);
  }
  graph.DeleteLine(1);
  ASSERT_EQ(graph.LineCount(), 3);
  EXPECT_EQ(graph.GetLines(1)->Name, QStringLiteral("L3"));
  EXPECT_EQ(graph.GetLines(1)->ID, 2);
  EXPECT_EQ(graph.GetLines(2)->ID, 3);

  graph.MoveLineUp(0);   // first line up: nothing
  graph.MoveLineDown(2); // last line down: nothing
  graph.DeleteLine(7);
  graph.MoveLineUp(-1);
  EXPECT_EQ(graph.GetLines(0)->Name, QStringLiteral("L1"));
  EXPECT_EQ(graph.GetLines(2)->Name, QStringLiteral("L4"));
  EXPECT_EQ(graph.GetLines(5), nullptr);

  graph.GetLines(2)->MoveUp();
  EXPECT_EQ(graph.GetLines(1)->Name, QStringLiteral("L4"));
  EXPECT_EQ(graph.GetLines(1)->ID, 2);
  EXPECT_EQ(graph.GetLines(2)->ID, 3);
  EXPECT_THROW(graph.Lines().SetLines(3, NewLine()), EDqException);
  try {
    graph.Lines().SetLines(-1, NewLine());
  } catch (const EDqException& e) {
    EXPECT_EQ(e.Message(), QStringLiteral("Line index [-1] out of bound ()"));
  }
}

TEST(DqGraphTest, RingCatchesUpAndKeepsMovingAfterTwoDays) {
  TDqTrendGraph graph;
  graph.Add(NewLine());
  for (int i = 0; i < 5; ++i) Tick(graph, {double(i)});
  // A line added at position 5 is filled with "no value" up to there.
  graph.Add(NewLine());
  Tick(graph, {5.0, 42.0});
  TDqTrendLine* late = graph.GetLines(1);
  EXPECT_EQ(late->LastPos(), 6);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(late->ValueAt(i), kTrendNoValue) << i;
  EXPECT_EQ(late->ValueAt(5), 42.0);
  EXPECT_EQ(late->LastValue(), 42.0);

  // A line that misses a tick repeats its previous value.
  graph.GetLines(0)->UpdateValue(6.0);
  graph.Next();
  late->UpdateValue(43.0);
  EXPECT_EQ(late->ValueAt(6), 42.0);
  EXPECT_EQ(late->ValueAt(7), 43.0);
  graph.Next();

  // LastPos stops one short of the ring; the newest value still moves on.
  TDqTrendGraph day;
  day.Add(NewLine());
  for (int i = 0; i < kTrendRingSize + 10; ++i) Tick(day, {double(i % 1000)});
  EXPECT_EQ(day.LastPos, kTrendRingSize - 1);
  EXPECT_EQ(day.GetLines(0)->LastValue(), double((kTrendRingSize + 9) % 1000));
}

TEST(DqGraphTest, ValueTextsFollowTypeAndDigits) {
  struct TCase {
    double Value;
    int Type;
    int Digit;
    const char* Text;
  } cases[] = {
      {kTrendNoValue, 1, 1, "HHHH"},    {kTrendNoValue, 2, 1, "(error)"}, {kTrendUnderRange, 1, 0, "LLLL"},
      {kTrendUnderRange, 3, 0, "(error)"}, {25.04, 1, 1, "25.0"},        {25.04, 2, 0, "25"},
      {-3.5, 4, 2, "-3.50"},
  };
  for (const TCase& c : cases) EXPECT_EQ(TrendValueText(c.Value, c.Type, c.Digit), QString::fromLatin1(c.Text)) << c.Text;

  // No sample at the current position.
  TDqTrendGraph graph;
  graph.Add(NewLine(0, 1));
  graph.Add(NewLine(0, 2));
  graph.Next();
  EXPECT_EQ(graph.GetLines(0)->LastValueText(), QStringLiteral("HHHH"));
  EXPECT_EQ(graph.GetLines(1)->LastValueText(), QStringLiteral("(error)"));
}

TEST(DqGraphTest, ContrastColour) {
  EXPECT_EQ(ContrastColor(RGBColor(255, 0, 0)), 0xFFFFFFu);
  EXPECT_EQ(ContrastColor(RGBColor(0, 0, 255)), 0xFFFFFFu);
  EXPECT_EQ(ContrastColor(RGBColor(255, 255, 0)), 0u);
  EXPECT_EQ(ContrastColor(RGBColor(0, 255, 128)), 0u);
  EXPECT_EQ(ToQColor(RGBColor(1, 2, 3)), QColor(1, 2, 3));
  EXPECT_EQ(FromQColor(QColor(10, 20, 30)), 0x1E140Au);
}

TEST(DqGraphTest, AxisTicksAndLabels) {
  const QRect plot(52, 30, 501, 300); // W1 = 500
  // Live, Size 100: a tick every 2 samples, labels 100, 90, ... 0 every 10.
  std::vector<std::int64_t> labels;
  const auto live = GraphXTicks(plot, 100, false);
  EXPECT_EQ(live.size(), 51u);
  for (const TDqGraphTick& t : live)
    if (t.Major) labels.push_back(100 - t.Value);
  EXPECT_EQ(labels, (std::vector<std::int64_t>{100, 90, 80, 70, 60, 50, 40, 30, 20, 10, 0}));
  EXPECT_EQ(live.front().Pos, 52);
  EXPECT_EQ(live.back().Pos, 552);

  // Time mode, Size 100: ticks every 5, labels at 0/25/50/75/100 %.
  std::vector<std::int64_t> majors;
  const auto timed = GraphXTicks(plot, 100, true);
  EXPECT_EQ(timed.size(), 21u);
  for (const TDqGraphTick& t : timed)
    if (t.Major) majors.push_back(t.Value);
  EXPECT_EQ(majors, (std::vector<std::int64_t>{0, 25, 50, 75, 100}));

  // Size 0 and Y from = Y to: one tick each, on the edges.
  ASSERT_EQ(GraphXTicks(plot, 0, false).size(), 1u);
  EXPECT_EQ(GraphXTicks(plot, 0, false)[0].Pos, 52);
  const auto flat = GraphYTicks(plot, 50, 50);
  ASSERT_EQ(flat.size(), 1u);
  EXPECT_EQ(flat[0].Pos, 329);
  EXPECT_EQ(TrendValueY(50, plot, 50, 50), 329);
  EXPECT_EQ(TrendValueY(51, plot, 50, 50), 30); // clamped to the top

  // Extreme bounds end with a bounded number of ticks (no 32-bit overflow).
  const auto wide = GraphYTicks(plot, INT_MIN, INT_MAX);
  EXPECT_GE(wide.size(), 50u);
  EXPECT_LE(wide.size(), 52u);
  EXPECT_EQ(wide.front().Pos, 329);
  for (const TDqGraphTick& t : wide) EXPECT_GE(t.Pos, 30);
  EXPECT_TRUE(GraphYTicks(plot, 100, 0).empty());
  EXPECT_LE(GraphXTicks(plot, INT_MAX, true).size(), 22u);

  // And the whole frame draws with them.
  QImage image = Canvas(700, 400);
  QPainter painter(&image);
  const QRect r = TDqTrendGraph::DrawBlank(painter, image.rect(), INT_MAX, INT_MIN, INT_MAX, 0, 1, 0, 1, true);
  EXPECT_EQ(r, TDqTrendGraph::MarginRect(image.rect()));
  EXPECT_EQ(r, QRect(52, 30, 700 - 88, 400 - 60));
}

TEST(DqGraphTest, LiveDrawingBridgesGapsAndStartsAtTheFirstValue) {
  TDqTrendGraph graph;
  graph.Size = 10;
  graph.MinValue = 0;
  graph.MaxValue = 100;
  graph.Add(NewLine(RGBColor(0, 0, 255)));
  // Oldest to newest: 0, gap x 4, 100, newest missing.
  const double samples[] = {0, kTrendNoValue, kTrendNoValue, kTrendNoValue, kTrendNoValue, 100, kTrendNoValue};
  for (double s : samples) Tick(graph, {s});

  QImage image = Canvas(360, 260);
  QPainter painter(&image);
  graph.Draw(painter, image.rect(), 1, false);
  painter.end();
  const QRect plot = TDqTrendGraph::MarginRect(image.rect()); // 52..324 x 30..230
  const QRgb blue = qRgb(0, 0, 255);
  // The newest sample is missing: the arrow sits at the top edge.
  EXPECT_TRUE(HasColor(image, plot.right() + 3, plot.top(), blue));
  // One straight segment from (x of 100, top) to (x of 0, bottom) across the gap.
  const int W = plot.width();
  const int x100 = plot.left() + W - 1 - W / 10, x0 = x100 - 5 * W / 10;
  const int midX = (x100 + x0) / 2;
  bool found = false;
  for (int dy = -2; dy <= 2 && !found; ++dy) found = HasColor(image, midX, (plot.top() + plot.bottom()) / 2 + dy, blue);
  EXPECT_TRUE(found) << "no segment across the gap at x " << midX;
  // Nothing is drawn right of the newest real value except the tag column.
  for (int x = x100 + 2; x < plot.right() - 1; ++x)
    for (int y = plot.top() + 12; y < plot.bottom(); ++y) ASSERT_FALSE(HasColor(image, x, y, blue)) << x << "," << y;
}

// Any size ends, and puts as many samples across the plot as it says: the
// newest tagged at the right edge, a size of none (taken as one), one or
// 100 reaching the left edge with 500 samples, the largest size keeping all
// of them on the right edge's column. A plot with no room ends and has no
// line.
TEST(DqGraphTest, LiveDrawingOfSizeZeroAndHugeSizesEnds) {
  const QRgb red = qRgb(255, 0, 0);
  const struct {
    int Size;
    bool Across;
  } cases[] = {{0, true}, {-5, true}, {1, true}, {100, true}, {INT_MAX, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Size);
    TDqTrendGraph graph;
    graph.Size = c.Size;
    graph.MinValue = graph.MaxValue = 20;
    graph.Add(NewLine(RGBColor(255, 0, 0)));
    for (int i = 0; i < 500; ++i) Tick(graph, {double(i % 40)});
    QImage image = Canvas();
    {
      QPainter painter(&image);
      graph.Draw(painter, image.rect(), 1, false);
    }
    const QRect plot = PlotOf(image.size());
    // The newest value's tag, just right of the plot.
    EXPECT_TRUE(HasColor(image, plot.right() + 4, TrendValueY(499 % 40, plot, 20, 20), red));
    int leftmost = INT_MAX;
    for (int y = plot.top(); y <= plot.bottom(); ++y)
      for (int x = plot.left(); x <= plot.right() && x < leftmost; ++x)
        if (HasColor(image, x, y, red)) leftmost = x;
    if (c.Across)
      EXPECT_LE(leftmost, plot.left() + 1);
    else
      EXPECT_TRUE(leftmost == INT_MAX || leftmost >= plot.right() - 1) << leftmost;

    QImage small = Canvas();
    {
      QPainter painter(&small);
      graph.Draw(painter, QRect(0, 0, 10, 10), 1, false); // plot with no room
    }
    for (int y = 0; y < 10; ++y)
      for (int x = 0; x < 10; ++x) ASSERT_FALSE(HasColor(small, x, y, red)) << x << "," << y;
  }
}

TEST(DqGraphTest, StorageRoundTripInLineOrder) {
  TDatabaseFixture f;
  TDqTrendGraphList graphs;
  TDqTrendGraph* g = graphs.AddGraph();
  g->Name = QStringLiteral("Kiln zone");
  g->AppendRecord(f.DB, QStringLiteral("Graph"));
  graphs.LoadFromDB(f.DB, QStringLiteral("Graph"), QStringLiteral("GraphLine"));
  ASSERT_EQ(graphs.Count(), 1);
  g = graphs.ActiveGraph();
  EXPECT_EQ(g->Size, 100);
  EXPECT_EQ(g->MaxDefault, 100);
  for (int i = 0; i < 3; ++i) {
    auto line = NewLine(RGBColor(10 * i, 20, 30), i + 1);
    line->Name = QStringLiteral("Line %1").arg(i);
    line->ValueObjectID = 7 + i;
    g->Add(std::move(line));
  }
  g->MoveLineDown(0);
  g->Size = 400;
  g->MinValue = -5; // the range shown is not stored
  g->MaxDefault = 300;
  g->UpdateRecord(f.DB, QStringLiteral("Graph"), QStringLiteral("GraphLine"));

  TDqTrendGraphList again;
  again.LoadFromDB(f.DB, QStringLiteral("Graph"), QStringLiteral("GraphLine"));
  TDqTrendGraph* h = again.ActiveGraph();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->Name, QStringLiteral("Kiln zone"));
  EXPECT_EQ(h->Size, 400);
  EXPECT_EQ(h->MinValue, 0);
  EXPECT_EQ(h->MaxValue, 300);
  EXPECT_EQ(h->Database, &f.DB);
  ASSERT_EQ(h->LineCount(), 3);
  EXPECT_EQ(h->GetLines(0)->Name, QStringLiteral("Line 1"));
  EXPECT_EQ(h->GetLines(0)->ValueObjectID, 8);
  EXPECT_EQ(h->GetLines(0)->ValueType, 2);
  EXPECT_EQ(h->GetLines(0)->Color, RGBColor(10, 20, 30));
  EXPECT_EQ(h->GetLines(1)->Name, QStringLiteral("Line 0"));
  EXPECT_EQ(h->GetLines(2)->ID, 3);

  // Without a line table only the Graph row is written.
  h->DeleteLine(0);
  h->Name = QStringLiteral("Renamed");
  h->UpdateRecord(f.DB, QStringLiteral("Graph"), QString());
  EXPECT_EQ(f.DB.GetTableValue(QStringLiteral("SELECT count(*) FROM GraphLine")), 3);
  again.LoadFromDB(f.DB, QStringLiteral("Graph"), QStringLiteral("GraphLine"));
  EXPECT_EQ(again.ActiveGraph()->Name, QStringLiteral("Renamed"));
  again.SetGraphIndex(5);
  EXPECT_EQ(again.GraphIndex(), -1);
  EXPECT_EQ(again.ActiveGraph(), nullptr);
}

// Drawing every reading and drawing the per-column lowest/highest/first/
// last give the same pixels for one-pixel lines.
TEST(DqGraphTest, ColumnReductionDrawsTheSamePixelsAsEveryRow) {
  TDatabaseFixture f;
  const double start = EncodeDateTime(2026, 3, 1, 8, 0, 0);
  std::mt19937 random(7);
  std::uniform_real_distribution<double> noise(-15.0, 15.0);
  double pv = 50;
  f.DB.ExecSQL(QStringLiteral("BEGIN"));
  for (int i = 0; i < 3000; ++i) {
    pv = std::clamp(pv + noise(random), -20.0, 130.0); // beyond the Y range too
    const bool missing = (i / 100) % 7 == 3 || i % 97 == 0;
    f.AddRow(1, start + i * kSecond, missing ? kTrendNoValue : std::round(pv * 10) / 10);
  }
  f.DB.ExecSQL(QStringLiteral("COMMIT"));
  TDqTrendGraph graph;
  graph.MinValue = 0;
  graph.MaxValue = 100;
  graph.FirstTime = start + 100 * kSecond;
  graph.LastTime = start + 2900 * kSecond;
  graph.Database = &f.DB;
  graph.Add(NewLine(RGBColor(0, 128, 0)));
  TDqTrendLine& line = *graph.GetLines(0);

  for (QSize size : {QSize(300, 200), QSize(700, 260), QSize(3000, 300)}) {
    const TDqHistorySeries series = ExpectReaderDrawsAsEveryRow(f.DB, graph, line, size);
    EXPECT_FALSE(series.Sampled);
    EXPECT_LE(series.Columns.size(), static_cast<std::size_t>(PlotOf(size).width() + 1));
  }
}

// Columns of a minute or more are read from the per-minute summaries
// where those are whole: the picture is the one every row draws, spikes,
// gaps, values no power of ten makes whole and a clock stepped back
// included, with the newest hour not yet summarised (read from its rows)
// as once it is.
TEST(DqGraphTest, SummariesDrawTheSamePixelsAsEveryRow) {
  TDatabaseFixture f;
  EnsureHistorySummaries(f.DB);
  const double start = EncodeDateTime(2026, 3, 1, 8, 0, 17);
  std::mt19937 random(11);
  std::uniform_real_distribution<double> noise(-3.0, 3.0);
  double pv = 50;
  f.DB.ExecSQL(QStringLiteral("BEGIN"));
  for (int i = 0; i < 4 * 3600; ++i) {
    pv = std::clamp(pv + noise(random), -20.0, 130.0);
    const bool missing = (i / 700) % 9 == 4 || i % 211 == 0;
    // A lone spike now and then, and a value of endless decimals.
    const double value = i % 5003 == 17 ? 125.0 : i % 977 == 5 ? pv / 3 : std::round(pv * 10) / 10;
    f.AddRow(1, start + i * kSecond, missing ? kTrendNoValue : value);
    if (i == 10000) f.AddRow(1, start + (i - 5000.5) * kSecond, -10.0); // recorded after a clock step back
    if (i == 2000 || i == 11000) CatchUpHistorySummaries(f.DB);
  }
  f.DB.ExecSQL(QStringLiteral("COMMIT"));
  TDqTrendGraph graph;
  graph.MinValue = 0;
  graph.MaxValue = 100;
  graph.FirstTime = start + 95.5 * kSecond;
  graph.LastTime = start + (4 * 3600 - 130) * kSecond;
  graph.Database = &f.DB;
  graph.Add(NewLine(RGBColor(0, 128, 0)));
  TDqTrendLine& line = *graph.GetLines(0);

  for (bool caughtUp : {false, true}) {
    if (caughtUp) {
      EXPECT_EQ(CatchUpHistorySummaries(f.DB), 4 * 3600 - 11001);
    }
    for (QSize size : {QSize(110, 200), QSize(160, 200), QSize(300, 300), QSize(1000, 300)}) {
      const TDqHistorySeries series =
          ExpectReaderDrawsAsEveryRow(f.DB, graph, line, size, caughtUp ? "" : ", newest hour from its rows");
      const bool minuteColumns = (graph.LastTime - graph.FirstTime) / kSecond / PlotOf(size).width() >= 60;
      EXPECT_EQ(series.Summarised, minuteColumns) << size.width();
      EXPECT_FALSE(series.Sampled);
      if (minuteColumns) {
        EXPECT_LT(series.RowsRead, 4 * 3600) << "summaries stand for most rows";
      }
    }
  }

  // Part of the window still waiting to be summarised: read from the rows.
  f.DB.ExecSQL(QStringLiteral("INSERT INTO DeviceDataMinuteQueue VALUES (1, %1, %2)")
                   .arg(HistoryMinuteOf(start + 0.2))
                   .arg(HistoryMinuteOf(start + 0.2) + 1));
  EXPECT_FALSE(ReadHistorySeries(f.DB.Handle(), {1, 1, graph.FirstTime, graph.LastTime, 52, 300}).Summarised);
}

// Columns of an hour or more take whole hours from the hour summaries, the
// rest from the minutes and rows: over three days the picture is still the
// one every row draws, a clock stepped back by half a day included, with
// the newest hours not yet summarised and once they are.
TEST(DqGraphTest, HourSummariesDrawTheSamePixelsAsEveryRow) {
  TDatabaseFixture f;
  EnsureHistorySummaries(f.DB);
  const double start = EncodeDateTime(2026, 3, 1, 7, 59, 31);
  constexpr int kRows = 3 * 86400 / 7;
  std::mt19937 random(5);
  std::uniform_real_distribution<double> noise(-2.0, 2.0);
  double pv = 60;
  f.DB.ExecSQL(QStringLiteral("BEGIN"));
  for (int i = 0; i < kRows; ++i) {
    pv = std::clamp(pv + noise(random), -20.0, 130.0);
    const bool missing = (i / 900) % 11 == 6 || i % 307 == 0;
    const double value = i % 4001 == 9 ? 128.0 : i % 3001 == 8 ? -15.0 : std::round(pv * 10) / 10;
    f.AddRow(1, start + i * 7 * kSecond, missing ? kTrendNoValue : value);
    if (i == 30000) f.AddRow(1, start + (i * 7 - 43200.5) * kSecond, 125.5); // after a clock step back
    if (i == 20000 || i == 33000) CatchUpHistorySummaries(f.DB);
  }
  f.DB.ExecSQL(QStringLiteral("COMMIT"));
  TDqTrendGraph graph;
  graph.MinValue = 0;
  graph.MaxValue = 100;
  graph.FirstTime = start + 1234.5 * kSecond;
  graph.LastTime = start + (kRows * 7 - 777) * kSecond;
  graph.Database = &f.DB;
  graph.Add(NewLine(RGBColor(0, 0, 160)));
  TDqTrendLine& line = *graph.GetLines(0);

  for (bool caughtUp : {false, true}) {
    if (caughtUp) {
      EXPECT_GT(CatchUpHistorySummaries(f.DB), 0);
    }
    for (QSize size : {QSize(113, 200), QSize(150, 200), QSize(400, 200)}) {
      const TDqHistorySeries series =
          ExpectReaderDrawsAsEveryRow(f.DB, graph, line, size, caughtUp ? "" : ", newest hours from their rows");
      EXPECT_TRUE(series.Summarised) << size.width();
      // Columns of two hours and more: most minutes are in whole hours.
      const double columnMinutes = (graph.LastTime - graph.FirstTime) * kMinutesPerDay / PlotOf(size).width();
      if (columnMinutes >= 120 && caughtUp) {
        EXPECT_LT(series.RowsRead, kRows * 7 / 60 / 2) << "hours stand for most minutes";
      }
    }
  }
}

TEST(DqGraphTest, TimeModeSkipsMissingControllersAndEmptyWindows) {
  TDatabaseFixture f;
  const double start = EncodeDateTime(2026, 3, 1, 8, 0, 0);
  f.DB.ExecSQL(QStringLiteral("BEGIN"));
  for (int i = 0; i < 60; ++i) f.AddRow(2, start + i * kSecond, 40 + i % 5);
  f.DB.ExecSQL(QStringLiteral("COMMIT"));
  TDqTrendGraph graph;
  graph.Database = &f.DB;
  graph.FirstTime = start;
  graph.LastTime = start + 60 * kSecond;
  graph.Add(NewLine(RGBColor(255, 0, 0)));
  graph.GetLines(0)->ValueObjectID = 2;
  graph.Add(NewLine(RGBColor(0, 0, 255)));
  graph.GetLines(1)->ValueObjectID = 9; // deleted controller
  graph.SourceResolver = [](int AID) -> std::shared_ptr<TDqGraphSource> {
    if (AID != 2) return nullptr;
    struct TSource : TDqGraphSource {
      int SourceID() const override { return 2; }
      QString SourceName() const override { return QStringLiteral("Kiln"); }
      int SourceDigit() const override { return 0; }
      double SourceValue(int) const override { return 0; }
    };
    return std::make_shared<TSource>();
  };
  QImage image = Canvas(500, 300);
  QPainter painter(&image);
  graph.Draw(painter, image.rect(), 1, true);
  EXPECT_EQ(graph.GetLines(0)->LastGraphValue, 40 + 59 % 5);
  EXPECT_EQ(graph.GetLines(1)->LastGraphValue, kTrendNoValue);
  EXPECT_EQ(graph.GetLines(1)->LastGraphText(), QStringLiteral("HHHH"));

  // An empty window keeps the previous value; a window of no length and a
  // reversed one draw without trouble.
  graph.FirstTime = start + 1;
  graph.LastTime = start + 2;
  graph.Draw(painter, image.rect(), 1, true);
  EXPECT_EQ(graph.GetLines(0)->LastGraphValue, 40 + 59 % 5);
  graph.FirstTime = graph.LastTime = start + 10 * kSecond;
  graph.Draw(painter, image.rect(), 1, true);
  graph.FirstTime = start + 50 * kSecond;
  graph.LastTime = start;
  graph.Draw(painter, image.rect(), 1, true);
  EXPECT_EQ(HistoryX(start, start, start, 52, 400), 52);
}

TEST(DqGraphTest, LongWindowsAreReadWithAStride) {
  TDatabaseFixture f;
  const double start = EncodeDateTime(2025, 1, 1);
  f.DB.ExecSQL(QStringLiteral("BEGIN"));
  // A reading every minute for 60 days, with one spike.
  for (int i = 0; i < 60 * 1440; ++i) f.AddRow(3, start + i / 1440.0, i == 30000 ? 500 : 20 + i % 10);
  f.DB.ExecSQL(QStringLiteral("COMMIT"));
  const TDqHistoryRequest request{3, 1, start, start + 60, 52, 200};
  const TDqHistorySeries series = ReadHistorySeries(f.DB.Handle(), request);
  EXPECT_TRUE(series.Sampled);
  EXPECT_TRUE(series.HasRows);
  EXPECT_EQ(series.NewestValue, 20 + (60 * 1440 - 1) % 10);
  EXPECT_GE(series.Columns.size(), 190u);
  EXPECT_LT(series.RowsRead, 60 * 1440 / 2);
  for (std::size_t i = 1; i < series.Columns.size(); ++i) EXPECT_LT(series.Columns[i].X, series.Columns[i - 1].X);

  std::atomic<bool> cancel{true};
  EXPECT_TRUE(ReadHistorySeries(f.DB.Handle(), request, &cancel).Cancelled);
}

TEST(DqGraphTest, LoaderReadsOffTheUIThreadAndDropsSupersededReads) {
  TDatabaseFixture f;
  const double start = EncodeDateTime(2026, 3, 1, 8, 0, 0);
  f.DB.ExecSQL(QStringLiteral("BEGIN"));
  for (int i = 0; i < 100; ++i) {
    f.AddRow(1, start + i * kSecond, i);
    f.AddRow(2, start + i * kSecond, 2 * i);
  }
  f.DB.ExecSQL(QStringLiteral("COMMIT"));
  TDqHistoryLoader loader(f.DB.FileName());
  QObject context;
  std::vector<std::uint64_t> delivered;
  std::vector<TDqHistorySeries> last;
  auto done = [&](std::uint64_t AGeneration, std::vector<TDqHistorySeries> ASeries, QString AError) {
    EXPECT_TRUE(AError.isEmpty()) << AError.toStdString();
    delivered.push_back(AGeneration);
    last = std::move(ASeries);
  };
  loader.Start({{1, 1, start, start + 1, 0, 100}}, &context, done);
  const std::uint64_t second =
      loader.Start({{1, 1, start, start + 1, 0, 100}, {2, 1, start, start + 1, 0, 100}, {5, 0, start, start + 1, 0, 100}},
                   &context, done);
  loader.Wait();
  QCoreApplication::processEvents();
  ASSERT_FALSE(delivered.empty());
  EXPECT_EQ(delivered.back(), second);
  ASSERT_EQ(last.size(), 3u);
  EXPECT_EQ(last[0].NewestValue, 99);
  EXPECT_EQ(last[1].NewestValue, 198);
  EXPECT_FALSE(last[2].HasRows);
}

TEST(DqGraphTest, SavedImagesReadBack) {
  TempDir dir;
  TDqTrendGraph graph;
  graph.Add(NewLine(RGBColor(255, 0, 0)));
  graph.Add(NewLine(RGBColor(0, 128, 0)));
  for (int i = 0; i < 150; ++i) Tick(graph, {50 + 40 * std::sin(i / 10.0), 30.0 + i % 20});
  QImage image(420, 300, QImage::Format_RGB32);
  image.fill(QColor(224, 192, 64));
  {
    QPainter painter(&image);
    graph.Draw(painter, image.rect().adjusted(8, 38, 0, -8), 1, false);
  }
  const struct {
    int Filter;
    const char* Name;
    const char* Magic;
  } files[] = {{1, "g.jpg", "\xFF\xD8\xFF"}, {2, "g.bmp", "BM"}, {3, "g.png", "\x89PNG"}, {4, "g.gif", "GIF8"}};
  for (const auto& file : files) {
    const QString path = dir.Path(QString::fromLatin1(file.Name));
    SaveImageFile(image, path, ImageFormatOfFilter(file.Filter));
    EXPECT_TRUE(tervox_test::ReadFileBytes(path).startsWith(QByteArray(file.Magic))) << file.Name;
    QImageReader reader(path);
    const QImage back = reader.read();
    ASSERT_FALSE(back.isNull()) << file.Name << ": " << reader.errorString().toStdString();
    EXPECT_EQ(back.size(), image.size());
    if (file.Filter != 1) { // lossless formats give every pixel back
      const QImage a = back.convertToFormat(QImage::Format_RGB32);
      int differing = 0;
      for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) differing += (a.pixel(x, y) & 0xFFFFFF) != (image.pixel(x, y) & 0xFFFFFF);
      EXPECT_EQ(differing, 0) << file.Name;
    }
  }
  EXPECT_THROW(SaveImageFile(image, dir.Path(QStringLiteral("missing/dir/g.gif")), TDqImageFormat::GIF), EDqException);
}
