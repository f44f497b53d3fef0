#include "Frame_Trend.h"

#include "widgets/DqDrawGrid.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_GraphSource.h"
#include "store/Main_Database.h"
#include "ui/base/Main_Routine.h"
#include "plant/Tervox_Engine.h"
#include "plant/Tervox_DeviceList.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

namespace {

// What the page shows again when it is created anew (logout and login).
struct TTrendMemory {
  QString ProfileName;
  int MinIndex = -1, MaxIndex = -1, XIndex = -1;
  bool Restoring = false;
};
TTrendMemory gMemory;

} // namespace

void TFrameTrend::RememberProfile(const QString& AName) { gMemory.ProfileName = AName; }

TFrameTrend::TFrameTrend(QWidget* AOwner) : TFrameGraphBase(AOwner, QColor(224, 192, 64)) {
  setObjectName(QStringLiteral("FrameTrend"));
  NewLabel(QStringLiteral("Y (Value) From:"))->setObjectName(QStringLiteral("Label1"));
  NewLabel(QStringLiteral("To"))->setObjectName(QStringLiteral("Label2"));
  NewLabel(QStringLiteral("X (Second):"))->setObjectName(QStringLiteral("Label3"));
  FComboMaxX = NewRangeBox(QStringLiteral("ComboMaxX"), 1,
                           {QStringLiteral("100"), QStringLiteral("200"), QStringLiteral("400"), QStringLiteral("1000")});
  FTimerTrend = new QTimer(this);
  FTimerTrend->setObjectName(QStringLiteral("TimerTrend"));
  FTimerTrend->setInterval(1000);
  connect(FTimerTrend, &QTimer::timeout, this, &TFrameTrend::TimerTrendTimer);
  resize(900, 600);
  LayoutPage();

  LoadProfiles(-1);
  const int found = FComboGraph->findText(gMemory.ProfileName, Qt::MatchExactly);
  if (found < 0 || gMemory.ProfileName.isEmpty()) {
    gMemory.MinIndex = FComboMinY->currentIndex();
    gMemory.MaxIndex = FComboMaxY->currentIndex();
    gMemory.XIndex = FComboMaxX->currentIndex();
    ComboGraphChange();
  } else {
    gMemory.Restoring = true;
    FComboGraph->setCurrentIndex(found);
    FComboMinY->setCurrentIndex(gMemory.MinIndex);
    FComboMaxY->setCurrentIndex(gMemory.MaxIndex);
    FComboMaxX->setCurrentIndex(gMemory.XIndex);
    gMemory.Restoring = false;
    const int minIndex = gMemory.MinIndex, maxIndex = gMemory.MaxIndex, xIndex = gMemory.XIndex;
    ComboGraphChange();
    // The remembered ranges apply to the profile again.
    FComboMinY->setCurrentIndex(minIndex);
    RangeBoxChange(FComboMinY);
    FComboMaxY->setCurrentIndex(maxIndex);
    RangeBoxChange(FComboMaxY);
    FComboMaxX->setCurrentIndex(xIndex);
    RangeBoxChange(FComboMaxX);
  }
  FTimerTrend->start();
}

TFrameTrend::~TFrameTrend() {
  DisconnectControls();
}

void TFrameTrend::LayoutControls() {
  int x = 8;
  for (QWidget* w : {static_cast<QWidget*>(FPaintBox->findChild<QLabel*>(QStringLiteral("Label1"))),
                     static_cast<QWidget*>(FComboMinY),
                     static_cast<QWidget*>(FPaintBox->findChild<QLabel*>(QStringLiteral("Label2"))),
                     static_cast<QWidget*>(FComboMaxY),
                     static_cast<QWidget*>(FPaintBox->findChild<QLabel*>(QStringLiteral("Label3"))),
                     static_cast<QWidget*>(FComboMaxX), static_cast<QWidget*>(FButtonBMP)}) {
    if (!w) continue;
    w->adjustSize();
    w->move(x, 6 + (26 - w->height()) / 2);
    x += w->width() + 6;
  }
}

void TFrameTrend::UpdateDevices() {
  FTimerTrend->stop();
  try {
    LoadProfiles(FComboGraph->currentIndex());
  } catch (...) {
    FTimerTrend->start();
    throw;
  }
  FTimerTrend->start();
}

void TFrameTrend::StopSampling() { FTimerTrend->stop(); }
void TFrameTrend::StartSampling() { FTimerTrend->start(); }
void TFrameTrend::NotifyOtherPage() { MainUpdateGraphProfile(); }

void TFrameTrend::ComboGraphChange() {
  if (FComboGraph->currentIndex() >= 0) gMemory.ProfileName = FComboGraph->currentText();
  if (FindChosenProfile()) {
    FComboMaxX->setEditText(QString::number(FActiveGraph->Size));
    FComboMinY->setEditText(QString::number(FActiveGraph->MinValue));
    FComboMaxY->setEditText(QString::number(FActiveGraph->MaxValue));
  }
  UpdateLineGrid();
  RenderGraph();
}

void TFrameTrend::SetRangeValue(QComboBox* ABox, const QString& AText) {
  bool ok = false;
  int value = AText.trimmed().toInt(&ok);
  if (!ok) value = 100;
  switch (ABox->property("Tag").toInt()) {
  case 1: FActiveGraph->Size = value; break;
  case 2: FActiveGraph->MinValue = value; break;
  case 3: FActiveGraph->MaxValue = value; break;
  default: break;
  }
  FActiveGraph->UpdateRecord(*GetDatabase(), QStringLiteral("Graph"), QString());
}

void TFrameTrend::RangeBoxChange(QComboBox* ABox) {
  if (gMemory.Restoring) return;
  gMemory.MinIndex = FComboMinY->currentIndex();
  gMemory.MaxIndex = FComboMaxY->currentIndex();
  gMemory.XIndex = FComboMaxX->currentIndex();
  if (FActiveGraph && ABox->currentIndex() >= 0) SetRangeValue(ABox, ABox->itemText(ABox->currentIndex()));
  RenderGraph();
}

void TFrameTrend::RangeBoxLeave(QComboBox* ABox) {
  if (FActiveGraph) SetRangeValue(ABox, ABox->currentText());
  RenderGraph();
}

void TFrameTrend::SampleLines() {
  if (!FActiveGraph) return;
  for (int i = 0; i < FActiveGraph->LineCount(); ++i) {
    TDqTrendLine* line = FActiveGraph->GetLines(i);
    line->ValueObject = GraphSourceOf(line->ValueObjectID);
    if (line->ValueObject) {
      line->ValueObjectID = line->ValueObject->SourceID();
      line->Name = line->ValueObject->SourceName();
    }
    line->UpdateValue(line->ValueObject ? line->ValueObject->SourceValue(line->ValueType) : kTrendNoValue);
  }
  FGridLine->viewport()->update();
  FActiveGraph->Next();
}

void TFrameTrend::TimerTrendTimer() {
  SampleLines();
  RenderGraph();
  UpdateLineGrid();
}

void TFrameTrend::RenderGraph() {
  if (FBitmap.isNull()) return;
  FillBitmapBackground();
  QPainter painter(&FBitmap);
  painter.setFont(font());
  const QRect graphRect = QRect(8, 38, FBitmap.width() - 8, FBitmap.height() - 38 - 8);
  if (FActiveGraph) {
    FActiveGraph->TopOrder = FGridLine->Row();
    FActiveGraph->Draw(painter, graphRect, 1, FActiveGraph->TimeMode);
  } else {
    TDqTrendGraph::DrawBlank(painter, graphRect, BoxInteger(FComboMaxX, 100), BoxInteger(FComboMinY, 0),
                             BoxInteger(FComboMaxY, 100), 0, 0, RGBColor(192, 192, 192), 1, false);
  }
  painter.end();
  FPaintBox->update();
}

QString TFrameTrend::LineRowBracket(const TDqTrendLine& ALine) const {
  QString name;
  if (ValueTypes() && ValueTypes()->IndexOfID(ALine.ValueType) >= 0) name = ValueTypes()->GetNames(ALine.ValueType);
  return QStringLiteral("[") + name + QStringLiteral("]");
}

QString TFrameTrend::LineRowValue(const TDqTrendLine& ALine) const { return ALine.LastValueText(); }
