#include "Frame_Graph.h"

#include "widgets/DqDrawGrid.h"
#include "graph/DqGraphHistory.h"
#include "core/DqRoutine.h"
#include "store/DqSQLite.h"
#include "plant/Tervox_Device.h"
#include "ui/dialogs/Form_GraphSetting.h"
#include "plant/Tervox_GraphSource.h"
#include "export/Tervox_HistoryGraph.h"
#include "export/Tervox_Report.h"
#include "store/Main_Database.h"
#include "plant/Tervox_Maintenance.h"
#include "ui/base/Form_Progress.h"
#include "ui/base/Main_PrintJob.h"
#include "ui/base/Main_Routine.h"
#include "plant/Tervox_Engine.h"

#include <QComboBox>
#include <QDateTime>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QToolButton>
#include <QWheelEvent>

#include <cmath>

namespace {

// What the page shows again when it is created anew (logout and login).
struct TGraphMemory {
  QString ProfileName;
  int MinIndex = -1, MaxIndex = -1;
  double FirstDate = 0, FirstTime = 0, LastDate = 0, LastTime = 0;
  bool HasWindow = false; // a profile named alone opens on the designed window
  bool Restoring = false;
};
TGraphMemory gMemory;

constexpr double kOneSecond = 1.0 / 86400.0;

double DatePart(double AValue) { return std::trunc(AValue); }
double TimePart(double AValue) { return AValue - std::trunc(AValue); }

} // namespace

// ---------------------------------------------------------------- picker

TGraphPicker::TGraphPicker(TKind AKind, QWidget* AParent) : QLineEdit(AParent), FKind(AKind) {
  setFixedWidth(AKind == pkDate ? 92 : 72);
}

void TGraphPicker::SetValue(double AValue) {
  FValue = AValue;
  ShowValue();
}

void TGraphPicker::ShowValue() {
  const QDateTime dt = DateTimeToQDateTime(FValue);
  // Dates are shown as they are typed: the year in the Buddhist era.
  if (FKind == pkDate)
    setText(dt.toString(QStringLiteral("dd/MM/")) + QString::number(dt.date().year() + 543));
  else
    setText(dt.toString(QStringLiteral("HH:mm:ss")));
}

void TGraphPicker::CommitText() {
  const QString text = this->text().trimmed();
  double value = 0;
  if (FKind == pkDate) {
    if (!text.contains(QLatin1Char('/')) || (value = ParseDateTimeText(text)) == 0.0) {
      ShowValue();
      throw EDqException(QStringLiteral("'%1' is not a valid date").arg(text));
    }
  } else {
    QString rest = text;
    bool okH = true, okM = true, okS = true;
    const QString h = CutToken(QStringLiteral(":"), rest), m = CutToken(QStringLiteral(":"), rest);
    const int hour = h.toInt(&okH);
    const int minute = m.isEmpty() ? 0 : m.toInt(&okM);
    const int second = rest.isEmpty() ? 0 : static_cast<int>(rest.toDouble(&okS));
    if (!okH || !okM || !okS || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
      ShowValue();
      throw EDqException(QStringLiteral("'%1' is not a valid time").arg(text));
    }
    value = DatePart(FValue) + (hour * 3600 + minute * 60 + second) * kOneSecond;
  }
  const bool changed = value != FValue;
  SetValue(value);
  if (changed) emit Changed();
}

void TGraphPicker::keyPressEvent(QKeyEvent* AEvent) {
  if (AEvent->key() == Qt::Key_Return || AEvent->key() == Qt::Key_Enter) {
    try {
      CommitText();
    } catch (const EDqException& e) {
      ShowErrorBox(e.Message());
    }
    selectAll();
    return;
  }
  QLineEdit::keyPressEvent(AEvent);
}

void TGraphPicker::focusOutEvent(QFocusEvent* AEvent) {
  QLineEdit::focusOutEvent(AEvent);
  if (text() == QString() || !isModified()) return;
  setModified(false);
  try {
    CommitText();
  } catch (const EDqException& e) {
    ShowErrorBox(e.Message());
  }
}

// ---------------------------------------------------------------- page

void TFrameGraph::RememberProfile(const QString& AName) { gMemory.ProfileName = AName; }

void TFrameGraph::RememberWindow(double AFirst, double ALast) {
  gMemory.FirstDate = gMemory.FirstTime = AFirst;
  gMemory.LastDate = gMemory.LastTime = ALast;
  gMemory.HasWindow = true;
}

TFrameGraph::TFrameGraph(QWidget* AOwner)
    : TFrameGraphBase(AOwner, ToQColor(kHistoryPageColor)),
      FLoader(std::make_unique<TDqHistoryLoader>(GetDatabase()->FileName())) {
  setObjectName(QStringLiteral("FrameGraph"));
  NewLabel(QStringLiteral("Y (Value) From:"))->setObjectName(QStringLiteral("Label1"));
  NewLabel(QStringLiteral("To"))->setObjectName(QStringLiteral("Label2"));
  FButtonPrint = NewToolButton(QStringLiteral("ButtonPrint"), QStringLiteral("\u2399"), QStringLiteral("Print"));
  FButtonBMP->setParent(FPaintBox);
  FButtonSetting = NewToolButton(QStringLiteral("ButtonSetting"), QStringLiteral("\u2699"), QStringLiteral("Settings"));
  auto* zoomNone = NewToolButton(QStringLiteral("ButtonZoomNone"), QStringLiteral("1:1"), QStringLiteral("Zoom Reset"));
  auto* zoomOut = NewToolButton(QStringLiteral("ButtonZoomOut"), QStringLiteral("\u2212"), QStringLiteral("Zoom Out"));
  auto* zoomIn = NewToolButton(QStringLiteral("ButtonZoomIn"), QStringLiteral("+"), QStringLiteral("Zoom In"));
  NewLabel(QStringLiteral("X (Time):"))->setObjectName(QStringLiteral("Label3"));
  FPickerFirstDate = new TGraphPicker(TGraphPicker::pkDate, FPaintBox);
  FPickerFirstDate->setObjectName(QStringLiteral("PickerFirstDate"));
  FPickerFirstTime = new TGraphPicker(TGraphPicker::pkTime, FPaintBox);
  FPickerFirstTime->setObjectName(QStringLiteral("PickerFirstTime"));
  NewLabel(QStringLiteral("To"))->setObjectName(QStringLiteral("Label4"));
  FPickerLastDate = new TGraphPicker(TGraphPicker::pkDate, FPaintBox);
  FPickerLastDate->setObjectName(QStringLiteral("PickerLastDate"));
  FPickerLastTime = new TGraphPicker(TGraphPicker::pkTime, FPaintBox);
  FPickerLastTime->setObjectName(QStringLiteral("PickerLastTime"));
  for (TGraphPicker* picker : {FPickerFirstDate, FPickerFirstTime, FPickerLastDate, FPickerLastTime})
    connect(picker, &TGraphPicker::Changed, this, &TFrameGraph::PickerChange);
  connect(FButtonPrint, &QToolButton::clicked, this, &TFrameGraph::ButtonPrintClick);
  connect(FButtonSetting, &QToolButton::clicked, this, &TFrameGraph::ButtonSettingClick);
  connect(zoomNone, &QToolButton::clicked, this, &TFrameGraph::ApplyRange);
  connect(zoomOut, &QToolButton::clicked, this, &TFrameGraph::ZoomOut);
  connect(zoomIn, &QToolButton::clicked, this, &TFrameGraph::ZoomIn);

  FPaintBox->OnMousePress = [this](QMouseEvent* AEvent) {
    if (AEvent->button() != Qt::LeftButton || !FActiveGraph) return;
    FDraging = true;
    FDragX = FPosX = AEvent->position().toPoint().x();
    FDragY = FPosY = AEvent->position().toPoint().y();
  };
  // The rectangle is an overlay on the picture as drawn; the readings are
  // read again only once the window changes, on release.
  FPaintBox->OnMouseMove = [this](QMouseEvent* AEvent) {
    if (!FDraging) return;
    FPosX = AEvent->position().toPoint().x();
    FPosY = AEvent->position().toPoint().y();
    FPaintBox->update();
  };
  FPaintBox->OnMouseRelease = [this](QMouseEvent* AEvent) {
    if (!FDraging) return;
    FDraging = false;
    ZoomRect(QPoint(FDragX, FDragY), AEvent->position().toPoint());
  };
  FPaintBox->OnWheel = [this](QWheelEvent* AEvent) {
    if (AEvent->angleDelta().y() > 0)
      ZoomIn();
    else if (AEvent->angleDelta().y() < 0)
      ZoomOut();
    AEvent->accept();
  };
  FPaintBox->OnOverlay = [this](QPainter& APainter) {
    if (!FDraging) return;
    QPen pen(QColor(255, 0, 0));
    pen.setStyle(Qt::DotLine);
    APainter.setPen(pen);
    APainter.setBrush(Qt::NoBrush);
    APainter.drawRect(QRect(QPoint(FDragX, FDragY), QPoint(FPosX, FPosY)).normalized());
    const QRect p = TDqTrendGraph::MarginRect(GraphRect());
    APainter.drawRect(p.adjusted(0, 0, -1, -1));
  };

  resize(900, 600);
  LayoutPage();

  LoadProfiles(-1);
  const double first = (std::trunc(Now() * 48.0) - 1.0) / 48.0;
  FChanging = true;
  FPickerFirstDate->SetValue(first);
  FPickerFirstTime->SetValue(first);
  FPickerLastDate->SetValue(first + 1.0 / 24.0);
  FPickerLastTime->SetValue(first + 1.0 / 24.0);
  FChanging = false;
  const int found = gMemory.ProfileName.isEmpty() ? -1 : FComboGraph->findText(gMemory.ProfileName, Qt::MatchExactly);
  if (found >= 0) {
    gMemory.Restoring = true;
    FComboGraph->setCurrentIndex(found);
    FComboMinY->setCurrentIndex(gMemory.MinIndex);
    FComboMaxY->setCurrentIndex(gMemory.MaxIndex);
    if (gMemory.HasWindow) {
      FPickerFirstDate->SetValue(gMemory.FirstDate);
      FPickerFirstTime->SetValue(gMemory.FirstTime);
      FPickerLastDate->SetValue(gMemory.LastDate);
      FPickerLastTime->SetValue(gMemory.LastTime);
    }
    gMemory.Restoring = false;
  } else {
    gMemory.MinIndex = FComboMinY->currentIndex();
    gMemory.MaxIndex = FComboMaxY->currentIndex();
    RememberPickers();
  }
  const int minIndex = gMemory.MinIndex, maxIndex = gMemory.MaxIndex;
  ComboGraphChange();
  if (found >= 0) {
    PickerChange();
    if (minIndex >= 0) {
      FComboMinY->setCurrentIndex(minIndex);
      RangeBoxChange(FComboMinY);
    }
    if (maxIndex >= 0) {
      FComboMaxY->setCurrentIndex(maxIndex);
      RangeBoxChange(FComboMaxY);
    }
  }
}

TFrameGraph::~TFrameGraph() {
  DisconnectControls();
  FLoader->Cancel();
}

void TFrameGraph::LayoutControls() {
  auto place = [](std::initializer_list<QWidget*> AWidgets, int AX, int AY) {
    int x = AX;
    for (QWidget* w : AWidgets) {
      if (!w) continue;
      if (!qobject_cast<QLineEdit*>(w) && !qobject_cast<QComboBox*>(w)) w->adjustSize();
      w->move(x, AY + (26 - w->height()) / 2);
      x += w->width() + 6;
    }
  };
  place({FPaintBox->findChild<QLabel*>(QStringLiteral("Label1")), FComboMinY,
         FPaintBox->findChild<QLabel*>(QStringLiteral("Label2")), FComboMaxY},
        8, 6);
  place({FButtonPrint, FButtonBMP, FButtonSetting, FPaintBox->findChild<QToolButton*>(QStringLiteral("ButtonZoomNone")),
         FPaintBox->findChild<QToolButton*>(QStringLiteral("ButtonZoomOut")),
         FPaintBox->findChild<QToolButton*>(QStringLiteral("ButtonZoomIn")),
         FPaintBox->findChild<QLabel*>(QStringLiteral("Label3")), FPickerFirstDate, FPickerFirstTime,
         FPaintBox->findChild<QLabel*>(QStringLiteral("Label4")), FPickerLastDate, FPickerLastTime},
        8, FPaintBox->height() - 32);
}

QRect TFrameGraph::GraphRect() const { return HistoryPictureGraphRect(FBitmap.size()); }

bool TFrameGraph::Reading() const { return !FPendingRequests.empty() || FLoader->Busy(); }

void TFrameGraph::UpdateDevices() { LoadProfiles(FComboGraph->currentIndex()); }

void TFrameGraph::NotifyOtherPage() { MainUpdateTrendProfile(); }

void TFrameGraph::RememberPickers() {
  gMemory.HasWindow = true;
  gMemory.FirstDate = FPickerFirstDate->Value();
  gMemory.FirstTime = FPickerFirstTime->Value();
  gMemory.LastDate = FPickerLastDate->Value();
  gMemory.LastTime = FPickerLastTime->Value();
}

void TFrameGraph::ApplyRange() {
  if (!FActiveGraph) return;
  FActiveGraph->FirstTime = DatePart(FPickerFirstDate->Value()) + TimePart(FPickerFirstTime->Value());
  FActiveGraph->LastTime = DatePart(FPickerLastDate->Value()) + TimePart(FPickerLastTime->Value());
  FActiveGraph->MinValue = BoxInteger(FComboMinY, 0);
  FActiveGraph->MaxValue = BoxInteger(FComboMaxY, 0);
  FActiveGraph->UpdateRecord(*GetDatabase(), QStringLiteral("Graph"), QString());
  BindGraphLines(*FActiveGraph, GraphSourceOf, ValueTypes());
  FGridLine->viewport()->update();
  // Applying the range reads again even when the window is the same: rows
  // keep arriving while the program records.
  FStale = true;
  RenderGraph();
}

void TFrameGraph::ComboGraphChange() {
  if (FComboGraph->currentIndex() >= 0) gMemory.ProfileName = FComboGraph->currentText();
  if (FindChosenProfile()) {
    FActiveGraph->TimeMode = true;
    FChanging = true;
    FComboMinY->setEditText(QString::number(FActiveGraph->MinDefault));
    FComboMaxY->setEditText(QString::number(FActiveGraph->MaxDefault));
    FChanging = false;
    ApplyRange();
  }
  UpdateLineGrid();
  RenderGraph();
}

void TFrameGraph::SetBoundFromBox(QComboBox* ABox) {
  if (!FActiveGraph) return;
  const int value = BoxInteger(ABox, 100);
  if (ABox->property("Tag").toInt() == 2)
    FActiveGraph->MinValue = value;
  else
    FActiveGraph->MaxValue = value;
  FActiveGraph->UpdateRecord(*GetDatabase(), QStringLiteral("Graph"), QString());
  RenderGraph();
}

void TFrameGraph::RangeBoxChange(QComboBox* ABox) {
  if (FChanging || gMemory.Restoring) return;
  gMemory.MinIndex = FComboMinY->currentIndex();
  gMemory.MaxIndex = FComboMaxY->currentIndex();
  SetBoundFromBox(ABox);
}

void TFrameGraph::RangeBoxLeave(QComboBox* ABox) { SetBoundFromBox(ABox); }

void TFrameGraph::PickerChange() {
  if (FChanging || gMemory.Restoring) return;
  RememberPickers();
  ApplyRange();
}

void TFrameGraph::ZoomIn() { ZoomWindow(1, 9, 10); }

void TFrameGraph::ZoomOut() { ZoomWindow(-1, 9, 8); }

void TFrameGraph::ZoomWindow(int ALow, int AHigh, int AParts) {
  if (!FActiveGraph) return;
  FChanging = true;
  TDqTrendGraph& g = *FActiveGraph;
  // Wide arithmetic: any pair of stored bounds zooms without overflow.
  const std::int64_t r = static_cast<std::int64_t>(g.MaxValue) - g.MinValue;
  const std::int64_t oldMin = g.MinValue;
  const double d = g.LastTime - g.FirstTime, oldFirst = g.FirstTime;
  g.MinValue = static_cast<int>(std::clamp<std::int64_t>(oldMin + ALow * r / AParts, INT32_MIN, INT32_MAX));
  g.MaxValue = static_cast<int>(std::clamp<std::int64_t>(oldMin + AHigh * r / AParts, INT32_MIN, INT32_MAX));
  g.FirstTime = oldFirst + ALow * d / AParts;
  g.LastTime = oldFirst + AHigh * d / AParts;
  FChanging = false;
  RenderGraph();
}

void TFrameGraph::ZoomRect(const QPoint& AFrom, const QPoint& ATo) {
  if (!FActiveGraph) return;
  const QRect plot = TDqTrendGraph::MarginRect(GraphRect());
  const int pLeft = plot.x(), pTop = plot.y(), pRight = plot.x() + plot.width(), pBottom = plot.y() + plot.height();
  const std::int64_t H = pBottom - pTop, W = pRight - pLeft;
  if (H <= 0 || W <= 0) return;
  int sLeft = std::max(std::min(AFrom.x(), ATo.x()), pLeft), sRight = std::min(std::max(AFrom.x(), ATo.x()), pRight);
  int sTop = std::max(std::min(AFrom.y(), ATo.y()), pTop), sBottom = std::min(std::max(AFrom.y(), ATo.y()), pBottom);
  if (sRight <= sLeft || sBottom <= sTop) sLeft = sTop = sRight = sBottom = 0;
  TDqTrendGraph& g = *FActiveGraph;
  const std::int64_t r = static_cast<std::int64_t>(g.MaxValue) - g.MinValue;
  const std::int64_t oldMin = g.MinValue;
  const double d = g.LastTime - g.FirstTime, oldFirst = g.FirstTime;
  const std::int64_t newMin = (pBottom - sBottom) * r / H + oldMin;
  const std::int64_t newMax = std::max((pBottom - sTop) * r / H + oldMin, newMin + 1);
  g.MinValue = static_cast<int>(std::clamp<std::int64_t>(newMin, INT32_MIN, INT32_MAX));
  g.MaxValue = static_cast<int>(std::clamp<std::int64_t>(newMax, INT32_MIN, INT32_MAX));
  g.FirstTime = oldFirst + (sLeft - pLeft) * d / W;
  g.LastTime = std::max(oldFirst + (sRight - pLeft) * d / W, g.FirstTime + kOneSecond);
  RenderGraph();
}

// ---------------------------------------------------------------- drawing

const TDqHistorySeries* TFrameGraph::SeriesOf(const TDqTrendLine& ALine, const QRect& APlot) const {
  if (!FActiveGraph) return nullptr;
  const int index = FActiveGraph->IndexOf(&ALine);
  if (index < 0 || static_cast<std::size_t>(index) >= FShownRequests.size()) return nullptr;
  const TDqHistoryRequest wanted = FActiveGraph->HistoryRequests(APlot)[static_cast<std::size_t>(index)];
  if (!(FShownRequests[static_cast<std::size_t>(index)] == wanted)) return nullptr;
  return &FShownSeries[static_cast<std::size_t>(index)];
}

void TFrameGraph::StartReading(std::vector<TDqHistoryRequest> ARequests) {
  FPendingRequests = ARequests;
  FPendingGeneration = FLoader->Start(
      std::move(ARequests), this,
      [this](std::uint64_t AGeneration, std::vector<TDqHistorySeries> ASeries, QString AError) {
        if (AGeneration != FPendingGeneration) return;
        FShownRequests = std::move(FPendingRequests);
        FPendingRequests.clear();
        FShownSeries = std::move(ASeries);
        ++FReadCount;
        RenderGraph();
        UpdateLineGrid();
        if (!AError.isEmpty()) ShowErrorBox(AError);
      });
}

void TFrameGraph::RenderGraph() {
  if (FBitmap.isNull()) return;
  FillBitmapBackground();
  const QRect graphRect = GraphRect();
  if (FActiveGraph) {
    FActiveGraph->TopOrder = FGridLine->Row();
    std::vector<TDqHistoryRequest> requests = FActiveGraph->HistoryRequests(TDqTrendGraph::MarginRect(graphRect));
    if (FStale || (!(requests == FShownRequests) && !(requests == FPendingRequests))) {
      FStale = false;
      StartReading(std::move(requests));
    }
    FActiveGraph->HistoryProvider = [this](const TDqTrendLine& ALine, const QRect& APlot) {
      return SeriesOf(ALine, APlot);
    };
    DrawHistoryPicture(FBitmap, *FActiveGraph, font());
  } else {
    QPainter painter(&FBitmap);
    painter.setFont(font());
    const double minutes = std::nearbyint(Now() * 1440.0);
    const double t = std::floor(minutes / 30.0) * 30.0 / 1440.0;
    TDqTrendGraph::DrawBlank(painter, graphRect, 100, BoxInteger(FComboMinY, 0), BoxInteger(FComboMaxY, 100),
                             t + 30.0 / 1440.0, t + 90.0 / 1440.0, RGBColor(192, 192, 192), 1, true);
  }
  FPaintBox->update();
}

QString TFrameGraph::LineRowBracket(const TDqTrendLine& ALine) const { return ALine.Detail; }
QString TFrameGraph::LineRowValue(const TDqTrendLine& ALine) const { return ALine.LastGraphText(); }

// ---------------------------------------------------------------- printing

bool TFrameGraph::PrintGraph(QPrinter& APrinter) {
  if (!FActiveGraph) return false;
  APrinter.setDocName(HistorySheetTitle(Now()));
  const THistorySheet sheet = HistorySheetLayout(*GraphSetting(), &APrinter);

  // The printer's pixel columns are read by the page's history reader, off
  // the UI thread, before anything goes to the printer.
  const std::vector<TDqHistoryRequest> requests = FActiveGraph->HistoryRequests(sheet.Plot());
  std::vector<TDqHistorySeries> series;
  TFormProgress progress(this, QStringLiteral("Print"), QStringLiteral("Reading the graph's history"));
  progress.SetDetail(QStringLiteral("%1 of %2 lines read"));
  const QString fileName = GetDatabaseFileName();
  const std::exception_ptr error = progress.Run([&](TTervoxProgress& AProgress) {
    AProgress.Total = static_cast<std::int64_t>(requests.size());
    series = ReadHistoryLines(requests, fileName, AProgress.Cancelled, &AProgress.Done);
  });
  if (error) std::rethrow_exception(error);
  if (progress.Cancelled()) return false;
  // The window kept turning meanwhile: a reload may have changed the lines.
  if (!FActiveGraph || !(FActiveGraph->HistoryRequests(sheet.Plot()) == requests))
    throw EDqException(QStringLiteral("The graph changed while its history was read; print it again."));

  TPrintJob job(APrinter, QStringLiteral("Failed to start printing"));
  DrawHistorySheet(job.Painter(), sheet, *FActiveGraph, series, font());
  job.Finish();
  return true;
}

void TFrameGraph::ButtonPrintClick() {
  if (!FActiveGraph) return;
  QPrinter printer(QPrinter::PrinterResolution);
  printer.setResolution(kHistoryPrintResolution);
  printer.setPageLayout(GraphSetting()->PageLayout());
  QPrintDialog dialog(&printer, this);
  if (dialog.exec() != QDialog::Accepted) return;
  PrintGraph(printer);
}

void TFrameGraph::ButtonSettingClick() {
  TFormGraphSetting dialog(this);
  dialog.exec();
}
