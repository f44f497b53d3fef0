// A history profile drawn as the Graph page draws it: the page's picture
// (the screen, saved images) and its printed sheet, and both as files for
// programs without a screen (tervox-db graph).
#pragma once

#include "graph/DqGraph.h"

#include <QRect>

#include <atomic>
#include <vector>

class QFont;
class QImage;
class QPaintDevice;
class QSize;
class TBaseReport;

// The page's background around the graph.
inline constexpr TDqColor kHistoryPageColor = RGBColor(64, 192, 64);
// The resolution the page prints at: the graph's frame margins are counted
// in device pixels, and at this one they keep the screen's proportions.
inline constexpr int kHistoryPrintResolution = 150;

// The graph rectangle of a page picture of ASize: 8 pixels in from the
// left, 38 from the top and from the bottom.
QRect HistoryPictureGraphRect(const QSize& ASize);
// The page's picture on AImage: the background and the graph drawn with
// one-pixel pens, the line at AGraph.TopOrder on top and thicker. The lines
// come from the graph's HistoryProvider, else from its database.
void DrawHistoryPicture(QImage& AImage, TDqTrendGraph& AGraph, const QFont& AFont);

// Where the printed sheet puts things on a device, on the "Graph" paper:
// the graph inside margins of 10 mm, the legend row under it, 0.3 mm pens.
struct THistorySheet {
  QRect GraphRect;
  int LegendY = 0;
  int PenWidth = 1;
  int Resolution = 96;
  QRect Plot() const { return TDqTrendGraph::MarginRect(GraphRect); }
};
// Takes ADevice's sheet into APaper (SetPrintCanvas) and lays it out.
THistorySheet HistorySheetLayout(TBaseReport& APaper, QPaintDevice* ADevice);
// The sheet: every line in list order (none highlighted) from ASeries, one
// per line as HistoryRequests(ASheet.Plot()) asked for them, and the legend.
void DrawHistorySheet(QPainter& APainter, const THistorySheet& ASheet, TDqTrendGraph& AGraph,
                      const std::vector<TDqHistorySeries>& ASeries, const QFont& AFont);
// The print job's title: "Graph Report " and the date and time of ANow.
QString HistorySheetTitle(double ANow);

// Reads a profile's lines (its HistoryRequests) from the database file, on
// this thread and helpers of its own; raises ESQLiteException when the file
// cannot be read.
std::vector<TDqHistorySeries> ReadHistoryLines(const std::vector<TDqHistoryRequest>& ARequests,
                                               const QString& ADatabaseFile, const std::atomic<bool>& ACancel,
                                               std::atomic<std::int64_t>* ADone = nullptr);

// The page's picture of AGraph's window, ASize large, and its printed
// sheet on APaper, as files written whole or not at all. Each reads the
// lines first (ESQLiteException), then writes (EDqException).
void WriteHistoryPNG(TDqTrendGraph& AGraph, const QString& ADatabaseFile, const QSize& ASize, const QFont& AFont,
                     const QString& AFileName);
void WriteHistoryPDF(TDqTrendGraph& AGraph, const QString& ADatabaseFile, TBaseReport& APaper, const QFont& AFont,
                     const QString& AFileName);
