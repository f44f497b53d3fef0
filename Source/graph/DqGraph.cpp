#include "DqGraph.h"

#include "core/DqRoutine.h"
#include "store/DqSQLite.h"

#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QFontMetrics>
#include <QLocale>
#include <QPainter>
#include <QPolygon>

#include <algorithm>
#include <cmath>
#include <system_error>

namespace {

// Rectangle edges as the drawing rules count them: Right and Bottom are
// one past the last pixel.
struct TEdges {
  int Left, Top, Right, Bottom;
  explicit TEdges(const QRect& ARect)
      : Left(ARect.x()), Top(ARect.y()), Right(ARect.x() + ARect.width()), Bottom(ARect.y() + ARect.height()) {}
};

QRect FromEdges(int ALeft, int ATop, int ARight, int ABottom) {
  return QRect(QPoint(ALeft, ATop), QSize(ARight - ALeft, ABottom - ATop));
}

std::int64_t FloorDiv(std::int64_t A, std::int64_t B) {
  std::int64_t q = A / B;
  if ((A % B != 0) && ((A < 0) != (B < 0))) --q;
  return q;
}

// Top-left anchored text.
void TextOut(QPainter& ACanvas, int ALeft, int ATop, const QString& AText) {
  ACanvas.drawText(ALeft, ATop + ACanvas.fontMetrics().ascent(), AText);
}

int TextWidth(const QPainter& ACanvas, const QString& AText) { return ACanvas.fontMetrics().horizontalAdvance(AText); }
int TextHeight(const QPainter& ACanvas) { return ACanvas.fontMetrics().height(); }

void SetFontStyle(QPainter& ACanvas, bool ABold) {
  QFont font = ACanvas.font();
  font.setBold(ABold);
  ACanvas.setFont(font);
}

QPen LinePen(TDqColor AColor, int APenWidth, bool AThicked) {
  QPen pen(ToQColor(AColor));
  pen.setStyle(Qt::SolidLine);
  pen.setWidth(AThicked ? APenWidth * 2 : APenWidth);
  pen.setCapStyle(Qt::SquareCap);
  pen.setJoinStyle(Qt::MiterJoin);
  return pen;
}

// Move-to / line-to over a painter; a segment of no length draws nothing.
class TPath {
public:
  explicit TPath(QPainter& ACanvas) : FCanvas(ACanvas) {}
  void MoveTo(int AX, int AY) { FPos = QPoint(AX, AY); }
  void LineTo(int AX, int AY) {
    const QPoint to(AX, AY);
    if (to != FPos) FCanvas.drawLine(FPos, to);
    FPos = to;
  }

private:
  QPainter& FCanvas;
  QPoint FPos;
};

// Dots of a grid line: squares of the pen's width, one every 8 widths, on
// multiples of the step so that dots line up across lines.
void DottedLine(QPainter& ACanvas, bool AVertical, int AAt, int AFrom, int ATo, TDqColor AColor, int APenWidth) {
  const int pw = std::max(1, APenWidth);
  const std::int64_t step = 8LL * pw;
  const QColor color = ToQColor(AColor);
  for (std::int64_t p = -FloorDiv(-AFrom, step) * step; p <= ATo; p += step) {
    const int a = static_cast<int>(p) - pw / 2;
    const int b = AAt - pw / 2;
    if (AVertical)
      ACanvas.fillRect(b, a, pw, pw, color);
    else
      ACanvas.fillRect(a, b, pw, pw, color);
  }
}

QChar DateSeparator() {
  for (QChar c : UserLocale().dateFormat(QLocale::ShortFormat))
    if (c == QLatin1Char('/') || c == QLatin1Char('-') || c == QLatin1Char('.')) return c;
  return QLatin1Char('/');
}

QChar TimeSeparator() {
  for (QChar c : UserLocale().timeFormat(QLocale::ShortFormat))
    if (c == QLatin1Char(':') || c == QLatin1Char('.')) return c;
  return QLatin1Char(':');
}

} // namespace

QColor ToQColor(TDqColor AColor) { return QColor(AColor & 0xFF, (AColor >> 8) & 0xFF, (AColor >> 16) & 0xFF); }

TDqColor FromQColor(const QColor& AColor) { return RGBColor(AColor.red(), AColor.green(), AColor.blue()); }

TDqColor ContrastColor(TDqColor AColor) {
  const unsigned r = AColor & 0xFF, g = (AColor >> 8) & 0xFF, b = (AColor >> 16) & 0xFF;
  const unsigned luminance = (r * 61 + g * 174 + b * 21) >> 8;
  return luminance <= 140 ? 0xFFFFFFu : 0u;
}

QFont GraphLabelFont(const QFont& ABase, int ADotsPerInch) {
  QFont font = ABase;
  font.setPixelSize(std::max(1, 13 * ADotsPerInch / 96));
  return font;
}

QString TrendValueText(double AValue, int AValueType, int ADigit) {
  if (AValue == kTrendNoValue) return AValueType == 1 ? QStringLiteral("HHHH") : QStringLiteral("(error)");
  if (AValue == kTrendUnderRange) return AValueType == 1 ? QStringLiteral("LLLL") : QStringLiteral("(error)");
  return QString::asprintf("%.*f", std::clamp(ADigit, 0, 15), AValue);
}

int TrendValueY(double AValue, const QRect& APlot, double AMinValue, double AMaxValue) {
  const TEdges e(APlot);
  double range = AMaxValue - AMinValue;
  if (range == 0.0) range = 1.0;
  const double y = std::nearbyint(e.Bottom - (AValue - AMinValue) * (e.Bottom - e.Top) / range - 1.0);
  const double clamped = std::clamp(y, static_cast<double>(e.Top), static_cast<double>(std::max(e.Top, e.Bottom - 1)));
  return static_cast<int>(clamped);
}

double DefaultGraphFirstTime(double ANow) {
  const std::int64_t minutes = static_cast<std::int64_t>(std::nearbyint(ANow * 1440.0));
  return static_cast<double>((minutes / 30) * 30 - 30) / 1440.0;
}

// ---------------------------------------------------------------- line

TDqTrendLine::TDqTrendLine(TDqTrendGraph* AGraph) : Graph(AGraph), FValues(kTrendRingSize, kTrendNoValue) {}

void TDqTrendLine::Lock() {
  try {
    FLock.lock();
  } catch (const std::system_error&) {
    throw EDqException(QStringLiteral("Failed to lock line object"));
  }
}

void TDqTrendLine::Unlock() { FLock.unlock(); }

double TDqTrendLine::ValueAt(std::int64_t APosition) const {
  if (APosition < 0 || APosition >= FLastPos || APosition < FLastPos - kTrendRingSize) return kTrendNoValue;
  return FValues[static_cast<std::size_t>(APosition % kTrendRingSize)];
}

double TDqTrendLine::LastValue() const {
  if (!Graph || Graph->LastPos <= 0) return kTrendNoValue;
  const std::int64_t newest = Graph->TickCount() - 1;
  if (FLastPos < Graph->TickCount()) return kTrendNoValue;
  return ValueAt(newest);
}

void TDqTrendLine::UpdateValue(double AValue) {
  std::lock_guard<std::mutex> guard(FLock);
  const double last = FLastPos > 0 ? FValues[static_cast<std::size_t>((FLastPos - 1) % kTrendRingSize)] : kTrendNoValue;
  if (Graph) {
    const std::int64_t target = Graph->TickCount();
    // Only the last ring's worth of a long absence can still be seen.
    if (target - FLastPos > kTrendRingSize) FLastPos = target - kTrendRingSize;
    while (FLastPos < target) {
      FValues[static_cast<std::size_t>(FLastPos % kTrendRingSize)] = last;
      ++FLastPos;
    }
  }
  FValues[static_cast<std::size_t>(FLastPos % kTrendRingSize)] = AValue;
  ++FLastPos;
}

void TDqTrendLine::Draw(QPainter& ACanvas, const QRect& ARect, int APenWidth, bool AThicked) const {
  if (!Graph || Graph->LastPos <= 0) return;
  const TEdges e(ARect);
  const std::int64_t W = e.Right - e.Left;
  const std::int64_t size = Graph->Size <= 0 ? 1 : Graph->Size;
  // Positions are counted from the oldest sample still shown, so the trend
  // keeps moving after the ring has wrapped.
  const std::int64_t base = Graph->TickCount() - Graph->LastPos;
  auto value = [&](std::int64_t AIndex) { return ValueAt(base + AIndex); };
  auto y = [&](double AValue) { return TrendValueY(AValue, ARect, Graph->MinValue, Graph->MaxValue); };

  std::int64_t i = Graph->LastPos - 1;
  double a = value(i);
  std::int64_t x = e.Right - 1;
  ACanvas.save();
  ACanvas.setRenderHint(QPainter::Antialiasing, false);
  DrawArrow(ACanvas, static_cast<int>(x), y(a), APenWidth);
  ACanvas.setPen(LinePen(Color, APenWidth, AThicked));
  TPath path(ACanvas);
  path.MoveTo(static_cast<int>(x), y(a));
  std::int64_t acc = size;
  while (i > 0 && x > e.Left) {
    --i;
    acc -= W;
    // Several samples on one pixel column: only the last of them is drawn.
    if (acc > 0 && i > 0) {
      const std::int64_t k = std::min(i, (acc + W - 1) / W);
      i -= k;
      acc -= k * W;
    }
    if (acc <= 0) {
      const std::int64_t k = std::min<std::int64_t>(x - e.Left, (-acc) / size + 1);
      acc += k * size;
      x -= k;
    }
    const double c = value(i);
    if (c == kTrendNoValue) continue; // a gap is bridged by one segment
    if (a != kTrendNoValue)
      path.LineTo(static_cast<int>(x), y(c));
    else
      path.MoveTo(static_cast<int>(x), y(c));
    a = c;
  }
  ACanvas.restore();
}

void TDqTrendLine::DrawDB(QPainter& ACanvas, const QRect& ARect, TSQLiteTable& ATable, int APenWidth, bool AThicked) {
  const TEdges e(ARect);
  const double minValue = Graph ? Graph->MinValue : 0;
  const double maxValue = Graph ? Graph->MaxValue : 100;
  const double firstTime = Graph ? Graph->FirstTime : 0;
  const double lastTime = Graph ? Graph->LastTime : 0;
  const char* column = HistoryColumnName(ValueType);
  TSQLiteField* readTime = ATable.FieldByName(QStringLiteral("ReadTime"));
  TSQLiteField* field = column ? ATable.FieldByName(QString::fromLatin1(column)) : nullptr;
  ACanvas.save();
  ACanvas.setRenderHint(QPainter::Antialiasing, false);
  TPath path(ACanvas);
  double a = kTrendNoValue;
  bool first = true;
  while (!ATable.Eof()) {
    const double t = readTime->AsDateTime();
    const double v = field ? field->AsFloat(kTrendNoValue) : kTrendNoValue;
    ATable.Next();
    if (first) {
      LastGraphValue = v;
      first = false;
    }
    if (v == kTrendNoValue) continue;
    const int x = HistoryX(t, firstTime, lastTime, e.Left, e.Right - e.Left);
    const int y = TrendValueY(v, ARect, minValue, maxValue);
    if (a == kTrendNoValue) {
      DrawArrow(ACanvas, e.Right - 1, y, APenWidth);
      ACanvas.setPen(LinePen(Color, APenWidth, AThicked));
      path.MoveTo(x, y);
    }
    path.LineTo(x, y);
    a = v;
  }
  ACanvas.restore();
}

void TDqTrendLine::DrawSeries(QPainter& ACanvas, const QRect& ARect, const TDqHistorySeries& ASeries, int APenWidth,
                              bool AThicked) {
  if (ASeries.HasRows) LastGraphValue = ASeries.NewestValue;
  if (ASeries.Columns.empty()) return;
  const TEdges e(ARect);
  const double minValue = Graph ? Graph->MinValue : 0;
  const double maxValue = Graph ? Graph->MaxValue : 100;
  auto y = [&](double AValue) { return TrendValueY(AValue, ARect, minValue, maxValue); };
  ACanvas.save();
  ACanvas.setRenderHint(QPainter::Antialiasing, false);
  const TDqHistoryColumn& newest = ASeries.Columns.front();
  DrawArrow(ACanvas, e.Right - 1, y(newest.First), APenWidth);
  ACanvas.setPen(LinePen(Color, APenWidth, AThicked));
  TPath path(ACanvas);
  path.MoveTo(newest.X, y(newest.First));
  // Inside one column the readings' path covers exactly the span from the
  // lowest to the highest; entering and leaving it joins the neighbours.
  for (const TDqHistoryColumn& c : ASeries.Columns) {
    path.LineTo(c.X, y(c.First));
    const int yMin = y(c.Min), yMax = y(c.Max), yFirst = y(c.First), yLast = y(c.Last);
    const int top = std::min(yMin, yMax), bottom = std::max(yMin, yMax);
    // Go to the far end first so the column ends on its oldest value.
    if (std::abs(yFirst - top) < std::abs(yFirst - bottom)) {
      path.LineTo(c.X, top);
      path.LineTo(c.X, bottom);
    } else {
      path.LineTo(c.X, bottom);
      path.LineTo(c.X, top);
    }
    path.LineTo(c.X, yLast);
  }
  ACanvas.restore();
}

int TDqTrendLine::DrawArrow(QPainter& ACanvas, int ALeft, int ATop, int APenWidth) const {
  ACanvas.save();
  SetFontStyle(ACanvas, true);
  const QFontMetrics fm = ACanvas.fontMetrics();
  const int w = fm.horizontalAdvance(QLatin1Char('0')) * 5 / 4;
  const int d = fm.height() * 2 / 3;
  QPolygon polygon;
  polygon << QPoint(ALeft, ATop) << QPoint(ALeft + w, ATop - d) << QPoint(ALeft + 3 * w, ATop - d)
          << QPoint(ALeft + 3 * w, ATop + d) << QPoint(ALeft + w, ATop + d);
  QPen outline(Qt::black);
  outline.setWidth(std::max(1, APenWidth));
  ACanvas.setPen(outline);
  ACanvas.setBrush(ToQColor(Color));
  ACanvas.drawPolygon(polygon);
  const QString text = QString::number(ID);
  ACanvas.setPen(ToQColor(ContrastColor(Color)));
  ACanvas.setBackgroundMode(Qt::TransparentMode);
  TextOut(ACanvas, ALeft + (9 * w / 5) - (fm.horizontalAdvance(text) / 2), ATop - fm.height() / 2, text);
  ACanvas.restore();
  return 3 * w;
}

void TDqTrendLine::MoveUp() {
  if (Graph) Graph->MoveLineUp(Graph->IndexOf(this));
}

void TDqTrendLine::MoveDown() {
  if (Graph) Graph->MoveLineDown(Graph->IndexOf(this));
}

void TDqTrendLine::LoadFromDB(TSQLiteTable& ATable) {
  Name = ATable.FieldByName(QStringLiteral("Name"))->AsString();
  Color = static_cast<TDqColor>(ATable.FieldByName(QStringLiteral("Color"))->AsInteger());
  ValueObjectID = ATable.FieldByName(QStringLiteral("DeviceID"))->AsInteger(-1);
  ValueType = ATable.FieldByName(QStringLiteral("ValueTypeID"))->AsInteger();
}

void TDqTrendLine::AppendRecord(TSQLiteDatabase& ADatabase, const QString& ALineTableName) const {
  TSQLiteParamList params;
  params.SetParamValues(":Name", Name);
  params.SetParamValues(":GraphID", Graph ? Graph->ID : -1);
  params.SetParamValues(":DeviceID", ValueObjectID);
  params.SetParamValues(":ValueTypeID", ValueType);
  params.SetParamValues(":Color", static_cast<int>(Color));
  ADatabase.ExecSQL(QStringLiteral("INSERT INTO ") + ALineTableName +
                        QStringLiteral("\r\n(Name, GraphID, DeviceID, ValueTypeID, Color)\r\n"
                                       "VALUES (:Name, :GraphID, :DeviceID, :ValueTypeID, :Color)"),
                    &params);
}

// ---------------------------------------------------------------- line list

TDqTrendLine* TDqTrendLineList::GetLines(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) return nullptr;
  return FItems[static_cast<std::size_t>(AIndex)].get();
}

void TDqTrendLineList::SetLines(int AIndex, std::unique_ptr<TDqTrendLine> ALine) {
  if (AIndex < 0 || AIndex >= Count()) throw EDqException(QStringLiteral("Line index [%1] out of bound ()").arg(AIndex));
  FItems[static_cast<std::size_t>(AIndex)] = std::move(ALine);
}

int TDqTrendLineList::Add(std::unique_ptr<TDqTrendLine> ALine) {
  FItems.push_back(std::move(ALine));
  return Count() - 1;
}

void TDqTrendLineList::Delete(int AIndex) {
  if (AIndex < 0 || AIndex >= Count()) return;
  FItems.erase(FItems.begin() + AIndex);
}

void TDqTrendLineList::Swap(int AIndex1, int AIndex2) {
  std::swap(FItems[static_cast<std::size_t>(AIndex1)], FItems[static_cast<std::size_t>(AIndex2)]);
}

int TDqTrendLineList::IndexOf(const TDqTrendLine* ALine) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (FItems[static_cast<std::size_t>(i)].get() == ALine) return i;
  return -1;
}

// ---------------------------------------------------------------- profile

TDqTrendGraph::TDqTrendGraph() {
  FirstTime = DefaultGraphFirstTime(Now());
  LastTime = FirstTime + 1.0 / 24.0;
}

int TDqTrendGraph::Add(std::unique_ptr<TDqTrendLine> ALine) {
  ALine->Graph = this;
  const int index = FLines.Add(std::move(ALine));
  FLines.GetLines(index)->ID = index + 1;
  return index;
}

void TDqTrendGraph::Renumber() {
  for (int i = 0; i < FLines.Count(); ++i) FLines.GetLines(i)->ID = i + 1;
}

void TDqTrendGraph::MoveLineUp(int AIndex) {
  if (AIndex <= 0 || AIndex >= LineCount()) return;
  FLines.Swap(AIndex - 1, AIndex);
  Renumber();
}

void TDqTrendGraph::MoveLineDown(int AIndex) {
  if (AIndex < 0 || AIndex >= LineCount() - 1) return;
  FLines.Swap(AIndex, AIndex + 1);
  Renumber();
}

void TDqTrendGraph::DeleteLine(int AIndex) {
  if (AIndex < 0 || AIndex >= LineCount()) return;
  FLines.Delete(AIndex);
  Renumber();
}

void TDqTrendGraph::Next() {
  ++FTickCount;
  LastPos = std::min(LastPos + 1, kTrendRingSize - 1);
}

std::vector<TDqGraphTick> GraphXTicks(const QRect& APlot, int ASize, bool ATimeMode) {
  std::vector<TDqGraphTick> ticks;
  const TEdges p(APlot);
  const std::int64_t W1 = p.Right - p.Left - 1;
  const std::int64_t size = ASize;
  const std::int64_t step = std::max<std::int64_t>(1, ATimeMode ? size / 20 : size / 50);
  for (std::int64_t f = 0; f <= size; f += step) {
    std::int64_t x = p.Left + (size == 0 ? 0 : FloorDiv(f * W1, size));
    if (x >= p.Right) x = p.Right - 1;
    ticks.push_back({f, static_cast<int>(x), (f / step) % 5 == 0});
  }
  return ticks;
}

std::vector<TDqGraphTick> GraphYTicks(const QRect& APlot, int AMinValue, int AMaxValue) {
  std::vector<TDqGraphTick> ticks;
  const TEdges p(APlot);
  const std::int64_t H1 = p.Bottom - p.Top - 1;
  // Wide arithmetic: the bounds may be anything a profile row holds, and the
  // loop must end for every pair of them.
  const std::int64_t range = static_cast<std::int64_t>(AMaxValue) - AMinValue;
  const std::int64_t step = std::max<std::int64_t>(1, range / 50);
  for (std::int64_t v = AMinValue; v <= AMaxValue; v += step) {
    std::int64_t y = p.Bottom - (range == 0 ? 0 : FloorDiv((v - AMinValue) * H1, range)) - 1;
    if (y < p.Top) y = p.Top;
    ticks.push_back({v, static_cast<int>(y), FloorDiv(v - AMinValue, step) % 5 == 0});
  }
  return ticks;
}

QRect TDqTrendGraph::MarginRect(const QRect& ARect) {
  const TEdges e(ARect);
  return FromEdges(e.Left + 52, e.Top + 30, e.Right - 36, e.Bottom - 30);
}

QRect TDqTrendGraph::DrawBlank(QPainter& ACanvas, const QRect& ARect, int ASize, int AMinValue, int AMaxValue,
                               double AFirstTime, double ALastTime, TDqColor ALineColor, int APenWidth,
                               bool ATimeMode) {
  ACanvas.save();
  ACanvas.setRenderHint(QPainter::Antialiasing, false);
  ACanvas.fillRect(ARect, Qt::white);
  const QRect plot = MarginRect(ARect);
  const TEdges p(plot);
  const QColor lineColor = ToQColor(ALineColor);
  QPen pen(lineColor);
  pen.setWidth(std::max(1, APenWidth));
  ACanvas.setPen(pen);
  ACanvas.setBrush(Qt::NoBrush);
  ACanvas.drawRect(p.Left, p.Top, p.Right - p.Left - 1, p.Bottom - p.Top - 1);
  ACanvas.setBackgroundMode(Qt::TransparentMode);
  SetFontStyle(ACanvas, false);
  const int h = TextHeight(ACanvas);
  const QString dateFormat = QStringLiteral("dd%1MM%1yyyy").arg(DateSeparator());
  const QString timeFormat = QStringLiteral("HH%1mm%1ss").arg(TimeSeparator());

  // X ticks.
  for (const TDqGraphTick& tick : GraphXTicks(plot, ASize, ATimeMode)) {
    const int xi = tick.Pos;
    if (tick.Major) {
      if (xi != p.Left && xi != p.Right - 1) DottedLine(ACanvas, true, xi, p.Top, p.Bottom, ALineColor, APenWidth);
      ACanvas.setPen(lineColor);
      if (ATimeMode) {
        const double t =
            AFirstTime + static_cast<double>(tick.Value) * (ALastTime - AFirstTime) / (ASize == 0 ? 1 : ASize);
        const QDateTime dt = DateTimeToQDateTime(t);
        const QString date = dt.toString(dateFormat);
        const QString time = dt.toString(timeFormat);
        const int hd = TextHeight(ACanvas);
        TextOut(ACanvas, xi - TextWidth(ACanvas, date) / 2, p.Top - 2 * hd - hd / 3, date);
        TextOut(ACanvas, xi - TextWidth(ACanvas, date) / 2, p.Bottom + hd + hd / 4, date);
        TextOut(ACanvas, xi - TextWidth(ACanvas, time) / 2, p.Top - hd - hd / 3, time);
        TextOut(ACanvas, xi - TextWidth(ACanvas, time) / 2, p.Bottom + hd / 4, time);
      } else {
        const QString label = QString::number(static_cast<std::int64_t>(ASize) - tick.Value);
        const int hl = TextHeight(ACanvas);
        TextOut(ACanvas, xi - TextWidth(ACanvas, label) / 2, p.Top - hl - hl / 3, label);
        TextOut(ACanvas, xi - TextWidth(ACanvas, label) / 2, p.Bottom + hl / 3, label);
      }
    }
    const int length = tick.Major ? h : h / 2;
    ACanvas.setPen(pen);
    ACanvas.drawLine(xi, p.Top, xi, p.Top + length);
    ACanvas.drawLine(xi, p.Bottom - 1, xi, p.Bottom - length - 1);
  }

  // Y ticks.
  for (const TDqGraphTick& tick : GraphYTicks(plot, AMinValue, AMaxValue)) {
    const int yi = tick.Pos;
    if (tick.Major) {
      if (yi != p.Top && yi != p.Bottom - 1) DottedLine(ACanvas, false, yi, p.Left, p.Right - 1, ALineColor, APenWidth);
      ACanvas.setPen(lineColor);
      const QString label = QString::number(tick.Value);
      TextOut(ACanvas, p.Left - TextWidth(ACanvas, label) - h / 2, yi - TextHeight(ACanvas) / 2, label);
    }
    const int length = tick.Major ? h : h / 2;
    ACanvas.setPen(pen);
    ACanvas.drawLine(p.Left - length / 2, yi, p.Left + length / 2, yi);
    ACanvas.drawLine(p.Right - length / 2 - 1, yi, p.Right + length / 2 - 1, yi);
  }
  ACanvas.restore();
  return plot;
}

std::vector<TDqHistoryRequest> TDqTrendGraph::HistoryRequests(const QRect& APlot) const {
  std::vector<TDqHistoryRequest> requests;
  const TEdges e(APlot);
  for (int i = 0; i < LineCount(); ++i) {
    const TDqTrendLine* line = GetLines(i);
    requests.push_back({line->ValueObjectID, line->ValueType, FirstTime, LastTime, e.Left, e.Right - e.Left});
  }
  return requests;
}

void TDqTrendGraph::DrawLineTimeMode(QPainter& ACanvas, const QRect& APlot, TDqTrendLine& ALine, int APenWidth,
                                     bool AThicked) {
  if (SourceResolver && !SourceResolver(ALine.ValueObjectID)) return;
  if (HistoryProvider) {
    if (const TDqHistorySeries* series = HistoryProvider(ALine, APlot))
      ALine.DrawSeries(ACanvas, APlot, *series, APenWidth, AThicked);
    return;
  }
  if (!Database || !Database->Handle()) return;
  const TEdges e(APlot);
  const TDqHistoryRequest request{ALine.ValueObjectID, ALine.ValueType, FirstTime, LastTime, e.Left, e.Right - e.Left};
  ALine.DrawSeries(ACanvas, APlot, ReadHistorySeries(Database->Handle(), request), APenWidth, AThicked);
}

void TDqTrendGraph::Draw(QPainter& ACanvas, const QRect& ARect, int APenWidth, bool ATimeMode) {
  const QRect plot = DrawBlank(ACanvas, ARect, Size, MinValue, MaxValue, FirstTime, LastTime, 0, APenWidth, ATimeMode);
  const int n = LineCount();
  for (int k = 1; k <= n; ++k) {
    // The highlighted line comes last, on top; -1 highlights none.
    const int index = static_cast<int>(((static_cast<std::int64_t>(TopOrder) + k) % n + n) % n);
    TDqTrendLine* line = GetLines(index);
    const bool thicked = TopOrder >= 0 && index == TopOrder % n;
    if (ATimeMode)
      DrawLineTimeMode(ACanvas, plot, *line, APenWidth, thicked);
    else
      line->Draw(ACanvas, plot, APenWidth, thicked);
  }
}

void TDqTrendGraph::DrawDetail(QPainter& ACanvas, int ALeft, int ATop, int APenWidth) const {
  ACanvas.save();
  SetFontStyle(ACanvas, false);
  const int h = TextHeight(ACanvas);
  int x = ALeft;
  for (int i = 0; i < LineCount(); ++i) {
    const TDqTrendLine* line = GetLines(i);
    const int w3 = line->DrawArrow(ACanvas, x, ATop, APenWidth);
    const QString text = QStringLiteral(" ") + line->Detail + QStringLiteral(" ") + line->Name + QStringLiteral("  ");
    ACanvas.setBackgroundMode(Qt::TransparentMode);
    ACanvas.setPen(Qt::black);
    TextOut(ACanvas, x + w3, ATop - h / 2, text);
    x += w3 + TextWidth(ACanvas, text);
  }
  ACanvas.restore();
}

void TDqTrendGraph::LoadFromDB(TSQLiteTable& ATable, const QString& ALineTableName) {
  Clear();
  ID = ATable.FieldByName(QStringLiteral("ID"))->AsInteger(-1);
  Name = ATable.FieldByName(QStringLiteral("Name"))->AsString();
  Size = ATable.FieldByName(QStringLiteral("Size"))->AsInteger(100);
  MinDefault = ATable.FieldByName(QStringLiteral("MinValue"))->AsInteger(0);
  MaxDefault = ATable.FieldByName(QStringLiteral("MaxValue"))->AsInteger(100);
  MinValue = MinDefault;
  MaxValue = MaxDefault;
  Database = ATable.Database();
  TSQLiteTable lines(Database);
  lines.SetSQL(QStringLiteral("SELECT * FROM ") + ALineTableName +
               QStringLiteral("\r\nWHERE GraphID = :GraphID\r\nORDER BY ID"));
  lines.SetParamValues(":GraphID", ID);
  lines.Open();
  while (!lines.Eof()) {
    auto line = std::make_unique<TDqTrendLine>(this);
    line->Lock();
    try {
      line->LoadFromDB(lines);
    } catch (...) {
      line->Unlock();
      throw;
    }
    line->Unlock();
    Add(std::move(line));
    lines.Next();
  }
}

void TDqTrendGraph::AppendRecord(TSQLiteDatabase& ADatabase, const QString& AGraphTableName) const {
  TSQLiteParamList params;
  params.SetParamValues(":Name", Name);
  ADatabase.ExecSQL(QStringLiteral("INSERT INTO ") + AGraphTableName + QStringLiteral(" (Name) VALUES(:Name)"), &params);
}

void TDqTrendGraph::UpdateRecord(TSQLiteDatabase& ADatabase, const QString& AGraphTableName,
                                 const QString& ALineTableName) const {
  TSQLiteParamList params;
  params.SetParamValues(":Name", Name);
  params.SetParamValues(":Size", Size);
  params.SetParamValues(":MinValue", MinDefault);
  params.SetParamValues(":MaxValue", MaxDefault);
  params.SetParamValues(":ID", ID);
  ADatabase.ExecSQL(QStringLiteral("UPDATE ") + AGraphTableName +
                        QStringLiteral(" SET \r\nName = :Name, Size = :Size, MinValue = :MinValue, MaxValue = "
                                       ":MaxValue\r\nWHERE ID = :ID"),
                    &params);
  if (ALineTableName.isEmpty()) return;
  TSQLiteParamList lineParams;
  lineParams.SetParamValues(":GraphID", ID);
  ADatabase.ExecSQL(QStringLiteral("DELETE FROM ") + ALineTableName + QStringLiteral(" WHERE GraphID = :GraphID"),
                    &lineParams);
  for (int i = 0; i < LineCount(); ++i) GetLines(i)->AppendRecord(ADatabase, ALineTableName);
}

// ---------------------------------------------------------------- profile list

void TDqTrendGraphList::Clear() {
  FItems.clear();
  FGraphIndex = -1;
}

TDqTrendGraph* TDqTrendGraphList::AddGraph() {
  FItems.push_back(std::make_unique<TDqTrendGraph>());
  FGraphIndex = Count() - 1;
  return FItems.back().get();
}

void TDqTrendGraphList::LoadFromDB(TSQLiteDatabase& ADatabase, const QString& AGraphTableName,
                                   const QString& ALineTableName) {
  Clear();
  TSQLiteTable table(&ADatabase);
  table.SetSQL(QStringLiteral("SELECT * FROM ") + AGraphTableName + QStringLiteral(" ORDER BY ID"));
  table.Open();
  while (!table.Eof()) {
    AddGraph()->LoadFromDB(table, ALineTableName);
    table.Next();
  }
}

TDqTrendGraph* TDqTrendGraphList::GetGraphs(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) return nullptr;
  return FItems[static_cast<std::size_t>(AIndex)].get();
}

int TDqTrendGraphList::IndexOfName(const QString& AName) const {
  for (int i = 0; i < Count(); ++i)
    if (FItems[static_cast<std::size_t>(i)]->Name == AName) return i;
  return -1;
}

void TDqTrendGraphList::SetGraphIndex(int AIndex) { FGraphIndex = (AIndex >= 0 && AIndex < Count()) ? AIndex : -1; }
