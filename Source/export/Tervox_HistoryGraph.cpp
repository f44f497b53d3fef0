#include "Tervox_HistoryGraph.h"

#include "graph/DqImageFile.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "Tervox_DeviceReport.h"
#include "Tervox_Report.h"

#include <QDateTime>
#include <QFont>
#include <QImage>
#include <QLocale>
#include <QPainter>
#include <QPdfWriter>

#include <algorithm>

namespace {

// While it lives, AGraph draws its lines for APlot from ASeries (one per
// line, in list order) with ATopOrder; it draws as before afterwards.
class THistorySeriesScope {
public:
  THistorySeriesScope(TDqTrendGraph& AGraph, const QRect& APlot, const std::vector<TDqHistorySeries>& ASeries,
                      int ATopOrder)
      : FGraph(AGraph), FTopOrder(AGraph.TopOrder), FProvider(std::move(AGraph.HistoryProvider)) {
    AGraph.TopOrder = ATopOrder;
    AGraph.HistoryProvider = [&AGraph, APlot, &ASeries](const TDqTrendLine& ALine,
                                                         const QRect& AAsked) -> const TDqHistorySeries* {
      const int index = AGraph.IndexOf(&ALine);
      if (AAsked != APlot || index < 0 || static_cast<std::size_t>(index) >= ASeries.size()) return nullptr;
      return &ASeries[static_cast<std::size_t>(index)];
    };
  }
  ~THistorySeriesScope() {
    FGraph.TopOrder = FTopOrder;
    FGraph.HistoryProvider = std::move(FProvider);
  }
  THistorySeriesScope(const THistorySeriesScope&) = delete;
  THistorySeriesScope& operator=(const THistorySeriesScope&) = delete;

private:
  TDqTrendGraph& FGraph;
  int FTopOrder;
  decltype(TDqTrendGraph::HistoryProvider) FProvider;
};

} // namespace

QRect HistoryPictureGraphRect(const QSize& ASize) {
  return QRect(8, 38, std::max(0, ASize.width() - 8), std::max(0, ASize.height() - 38 - 38));
}

void DrawHistoryPicture(QImage& AImage, TDqTrendGraph& AGraph, const QFont& AFont) {
  AImage.fill(ToQColor(kHistoryPageColor));
  QPainter painter(&AImage);
  painter.setFont(AFont);
  AGraph.Draw(painter, HistoryPictureGraphRect(AImage.size()), 1, true);
}

THistorySheet HistorySheetLayout(TBaseReport& APaper, QPaintDevice* ADevice) {
  APaper.SetPrintCanvas(ADevice);
  THistorySheet sheet;
  sheet.PenWidth = std::max(1, APaper.DrawScaleY(0.3));
  sheet.Resolution = ADevice->logicalDpiY();
  const int m = APaper.DrawScaleY(10);
  QRect r = APaper.GetPrintRect().adjusted(m, m, -m, -m);
  sheet.LegendY = r.y() + r.height();
  r.setHeight(r.height() - APaper.DrawScaleY(20));
  sheet.GraphRect = r;
  return sheet;
}

void DrawHistorySheet(QPainter& APainter, const THistorySheet& ASheet, TDqTrendGraph& AGraph,
                      const std::vector<TDqHistorySeries>& ASeries, const QFont& AFont) {
  // Labels keep the size they have on screen relative to the frame.
  APainter.setFont(GraphLabelFont(AFont, ASheet.Resolution));
  const THistorySeriesScope scope(AGraph, ASheet.Plot(), ASeries, -1);
  AGraph.Draw(APainter, ASheet.GraphRect, ASheet.PenWidth, true);
  AGraph.DrawDetail(APainter, ASheet.GraphRect.x(), ASheet.LegendY, ASheet.PenWidth);
}

QString HistorySheetTitle(double ANow) {
  return QStringLiteral("Graph Report ") + UserLocale().toString(DateTimeToQDateTime(ANow), QLocale::ShortFormat);
}

std::vector<TDqHistorySeries> ReadHistoryLines(const std::vector<TDqHistoryRequest>& ARequests,
                                               const QString& ADatabaseFile, const std::atomic<bool>& ACancel,
                                               std::atomic<std::int64_t>* ADone) {
  QString error;
  std::vector<TDqHistorySeries> series = TDqHistoryLoader::Read(ADatabaseFile, ARequests, ACancel, error, ADone);
  if (!error.isEmpty()) throw ESQLiteException(error);
  return series;
}

void WriteHistoryPNG(TDqTrendGraph& AGraph, const QString& ADatabaseFile, const QSize& ASize, const QFont& AFont,
                     const QString& AFileName) {
  QImage image(ASize, QImage::Format_RGB32);
  if (image.isNull())
    throw EDqException(QStringLiteral("A picture of %1x%2 pixels is too large").arg(ASize.width()).arg(ASize.height()));
  const QRect plot = TDqTrendGraph::MarginRect(HistoryPictureGraphRect(ASize));
  const std::atomic<bool> never{false};
  const std::vector<TDqHistorySeries> series = ReadHistoryLines(AGraph.HistoryRequests(plot), ADatabaseFile, never);
  {
    const THistorySeriesScope scope(AGraph, plot, series, AGraph.TopOrder);
    DrawHistoryPicture(image, AGraph, AFont);
  }
  SaveImageFile(image, AFileName, TDqImageFormat::PNG);
}

void WriteHistoryPDF(TDqTrendGraph& AGraph, const QString& ADatabaseFile, TBaseReport& APaper, const QFont& AFont,
                     const QString& AFileName) {
  WriteFileWhole(AFileName, [&](QIODevice& AFile) {
    QPdfWriter pdf(&AFile);
    pdf.setTitle(HistorySheetTitle(Now()));
    pdf.setCreator(QStringLiteral("TERVOX"));
    pdf.setResolution(kHistoryPrintResolution);
    pdf.setPageLayout(APaper.PageLayout());
    const THistorySheet sheet = HistorySheetLayout(APaper, &pdf);
    const std::atomic<bool> never{false};
    const std::vector<TDqHistorySeries> series =
        ReadHistoryLines(AGraph.HistoryRequests(sheet.Plot()), ADatabaseFile, never);
    QPainter painter;
    if (!painter.begin(&pdf)) throw EDqException(QStringLiteral("Cannot write \"%1\"").arg(AFileName));
    DrawHistorySheet(painter, sheet, AGraph, series, AFont);
    painter.end();
  });
}
