// Graph profiles and their lines: the live sample rings, storage in the
// Graph and GraphLine tables, and the drawing of a profile on any QPainter
// (screen bitmap, image file, printer) in live or time mode.
#pragma once

#include "DqGraphHistory.h"

#include <QRect>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QColor;
class QFont;
class QPainter;
class TSQLiteDatabase;
class TSQLiteTable;
class TDqTrendGraph;

// Samples a line's ring holds: two days of one a second.
inline constexpr int kTrendRingSize = 172800;
// A missing value (and PV over range); a PV under range.
inline constexpr double kTrendNoValue = 32767.0;
inline constexpr double kTrendUnderRange = -32768.0;

// Colours as stored: 0x00BBGGRR, red in the low byte.
using TDqColor = std::uint32_t;
inline constexpr TDqColor RGBColor(int R, int G, int B) {
  return static_cast<TDqColor>((R & 0xFF) | ((G & 0xFF) << 8) | ((B & 0xFF) << 16));
}
QColor ToQColor(TDqColor AColor);
TDqColor FromQColor(const QColor& AColor);
// White or black, whichever reads on AColor.
TDqColor ContrastColor(TDqColor AColor);

// What a line plots: a controller as the domain sees it.
class TDqGraphSource {
public:
  virtual ~TDqGraphSource() = default;
  virtual int SourceID() const = 0;
  virtual QString SourceName() const = 0;
  virtual int SourceDigit() const = 0;
  // The live value of a value type; 32767 for none.
  virtual double SourceValue(int AValueType) const = 0;
};
// Finds the source of a controller ID; nullptr when there is none.
using TDqGraphSourceResolver = std::function<std::shared_ptr<TDqGraphSource>(int AID)>;

// The font a graph's labels are drawn in: ABase at 13 pixels on a screen,
// as large relative to the frame on a device of ADotsPerInch.
QFont GraphLabelFont(const QFont& ABase, int ADotsPerInch = 96);

// Text of a value: "HHHH"/"LLLL" for a missing or under-range PV, "(error)"
// for the other types, else fixed notation with ADigit decimals.
QString TrendValueText(double AValue, int AValueType, int ADigit);

// One tick of an axis: the sample count (X) or value (Y) it stands for,
// its pixel position, and whether it is a major tick (grid line, label).
struct TDqGraphTick {
  std::int64_t Value = 0;
  int Pos = 0;
  bool Major = false;
};
std::vector<TDqGraphTick> GraphXTicks(const QRect& APlot, int ASize, bool ATimeMode);
std::vector<TDqGraphTick> GraphYTicks(const QRect& APlot, int AMinValue, int AMaxValue);

// y of a value in a plot rectangle: exact mapping, clamped inside.
int TrendValueY(double AValue, const QRect& APlot, double AMinValue, double AMaxValue);

class TDqTrendLine {
public:
  explicit TDqTrendLine(TDqTrendGraph* AGraph = nullptr);
  TDqTrendLine(const TDqTrendLine&) = delete;
  TDqTrendLine& operator=(const TDqTrendLine&) = delete;

  TDqTrendGraph* Graph = nullptr; // not owned
  int ID = -1;
  int ValueObjectID = -1;
  int ValueType = 0;
  QString Name;
  QString Detail;
  TDqColor Color = 0;
  std::shared_ptr<TDqGraphSource> ValueObject;
  double LastGraphValue = kTrendNoValue;

  // Samples appended so far; the next goes to slot LastPos mod the ring size.
  std::int64_t LastPos() const { return FLastPos; }
  double Values(int AIndex) const { return FValues[static_cast<std::size_t>(AIndex)]; }
  // The sample appended as number APosition (0-based); 32767 when it was
  // never appended or the ring has overwritten it.
  double ValueAt(std::int64_t APosition) const;

  int Digit() const { return ValueObject ? ValueObject->SourceDigit() : 0; }
  double LastValue() const;
  QString LastValueText() const { return TrendValueText(LastValue(), ValueType, Digit()); }
  QString LastGraphText() const { return TrendValueText(LastGraphValue, ValueType, Digit()); }

  void UpdateValue(double AValue);
  void Draw(QPainter& ACanvas, const QRect& ARect, int APenWidth, bool AThicked) const;
  // Time mode from an open DeviceData query ordered newest first.
  void DrawDB(QPainter& ACanvas, const QRect& ARect, TSQLiteTable& ATable, int APenWidth, bool AThicked);
  // Time mode from the pixel columns of the same window (same pixels for
  // one-pixel pens, a fraction of the work).
  void DrawSeries(QPainter& ACanvas, const QRect& ARect, const TDqHistorySeries& ASeries, int APenWidth,
                  bool AThicked);
  int DrawArrow(QPainter& ACanvas, int ALeft, int ATop, int APenWidth) const;

  void Lock();
  void Unlock();
  void MoveUp();
  void MoveDown();
  void LoadFromDB(TSQLiteTable& ATable);
  void AppendRecord(TSQLiteDatabase& ADatabase, const QString& ALineTableName) const;

private:
  std::vector<double> FValues;
  std::int64_t FLastPos = 0;
  std::mutex FLock;
};

class TDqTrendLineList {
public:
  int Count() const { return static_cast<int>(FItems.size()); }
  void Clear() { FItems.clear(); }
  TDqTrendLine* GetLines(int AIndex) const;
  // Replaces (and destroys) the line at AIndex; raises outside the list.
  void SetLines(int AIndex, std::unique_ptr<TDqTrendLine> ALine);
  int Add(std::unique_ptr<TDqTrendLine> ALine);
  void Delete(int AIndex);
  void Swap(int AIndex1, int AIndex2);
  int IndexOf(const TDqTrendLine* ALine) const;

private:
  std::vector<std::unique_ptr<TDqTrendLine>> FItems;
};

class TDqTrendGraph {
public:
  TDqTrendGraph();
  TDqTrendGraph(const TDqTrendGraph&) = delete;
  TDqTrendGraph& operator=(const TDqTrendGraph&) = delete;

  int ID = -1;
  QString Name;
  int Size = 100;
  int LastPos = 0;
  int MinValue = 0;
  int MaxValue = 100;
  int TopOrder = 0;
  int MinDefault = 0;
  int MaxDefault = 100;
  bool TimeMode = false;
  double FirstTime = 0;
  double LastTime = 0;
  TSQLiteDatabase* Database = nullptr; // not owned
  // Time mode: finds each line's controller; a line without one is not drawn.
  TDqGraphSourceResolver SourceResolver;
  // Time mode: the columns of a line for a plot rectangle, when a page has
  // read them already (nullptr: read them now from Database).
  std::function<const TDqHistorySeries*(const TDqTrendLine& ALine, const QRect& APlot)> HistoryProvider;

  void Clear() { FLines.Clear(); }
  int Add(std::unique_ptr<TDqTrendLine> ALine);
  int IndexOf(const TDqTrendLine* ALine) const { return FLines.IndexOf(ALine); }
  TDqTrendLine* GetLines(int AIndex) const { return FLines.GetLines(AIndex); }
  int LineCount() const { return FLines.Count(); }
  TDqTrendLineList& Lines() { return FLines; }
  void MoveLineUp(int AIndex);
  void MoveLineDown(int AIndex);
  void DeleteLine(int AIndex);
  void Next();
  // Ticks since the profile was loaded. LastPos stops at the ring's size;
  // this goes on, so that the trend keeps moving after two days.
  std::int64_t TickCount() const { return FTickCount; }

  void Draw(QPainter& ACanvas, const QRect& ARect, int APenWidth) { Draw(ACanvas, ARect, APenWidth, TimeMode); }
  void Draw(QPainter& ACanvas, const QRect& ARect, int APenWidth, bool ATimeMode);
  void DrawDetail(QPainter& ACanvas, int ALeft, int ATop, int APenWidth) const;
  static QRect DrawBlank(QPainter& ACanvas, const QRect& ARect, int ASize, int AMinValue, int AMaxValue,
                         double AFirstTime, double ALastTime, TDqColor ALineColor, int APenWidth, bool ATimeMode);
  static QRect MarginRect(const QRect& ARect);
  // The requests that read this profile's lines for a plot rectangle, one
  // per line (DeviceID -1 for a line without a controller).
  std::vector<TDqHistoryRequest> HistoryRequests(const QRect& APlot) const;

  void LoadFromDB(TSQLiteTable& ATable, const QString& ALineTableName);
  void AppendRecord(TSQLiteDatabase& ADatabase, const QString& AGraphTableName) const;
  void UpdateRecord(TSQLiteDatabase& ADatabase, const QString& AGraphTableName, const QString& ALineTableName) const;

private:
  void DrawLineTimeMode(QPainter& ACanvas, const QRect& APlot, TDqTrendLine& ALine, int APenWidth, bool AThicked);
  void Renumber();
  TDqTrendLineList FLines;
  std::int64_t FTickCount = 0;
};

class TDqTrendGraphList {
public:
  int Count() const { return static_cast<int>(FItems.size()); }
  void Clear();
  TDqTrendGraph* AddGraph();
  void LoadFromDB(TSQLiteDatabase& ADatabase, const QString& AGraphTableName, const QString& ALineTableName);
  TDqTrendGraph* GetGraphs(int AIndex) const;
  // The first profile named AName exactly; -1 when there is none.
  int IndexOfName(const QString& AName) const;
  int GraphIndex() const { return FGraphIndex; }
  void SetGraphIndex(int AIndex);
  TDqTrendGraph* ActiveGraph() const { return GetGraphs(FGraphIndex); }

private:
  std::vector<std::unique_ptr<TDqTrendGraph>> FItems;
  int FGraphIndex = -1;
};

// The half-hour boundary at or before the current minute, less 30 minutes.
double DefaultGraphFirstTime(double ANow);
