// A paint device that records the texts drawn on it, for reading what a
// widget shows.
#pragma once

#include <QPaintDevice>
#include <QPaintEngine>
#include <QRect>
#include <QStringList>
#include <QTextItem>
#include <QTransform>

#include <vector>

namespace tervox_test {

// A paint device that keeps every text drawn on it with its position, so a
// test reads what a widget shows.
class TextCapture : public QPaintDevice {
public:
  struct TText {
    QString Text;
    QPointF Pos;
    bool Bold;
  };
  explicit TextCapture(QSize ASize) : FEngine(this), FSize(ASize) {}
  QPaintEngine* paintEngine() const override { return &FEngine; }
  std::vector<TText> Texts;
  // The texts whose baseline point lies inside ARect.
  QStringList TextsIn(const QRect& ARect) const {
    QStringList result;
    for (const TText& text : Texts)
      if (ARect.contains(text.Pos.toPoint())) result << text.Text;
    return result;
  }

protected:
  int metric(PaintDeviceMetric AMetric) const override {
    switch (AMetric) {
    case PdmWidth: return FSize.width();
    case PdmHeight: return FSize.height();
    case PdmDpiX:
    case PdmDpiY:
    case PdmPhysicalDpiX:
    case PdmPhysicalDpiY: return 96;
    case PdmDepth: return 32;
    case PdmDevicePixelRatio: return 1;
    case PdmDevicePixelRatioScaled: return static_cast<int>(devicePixelRatioFScale());
    default: return 1;
    }
  }

private:
  class Engine : public QPaintEngine {
  public:
    explicit Engine(TextCapture* AOwner) : QPaintEngine(QPaintEngine::AllFeatures), FOwner(AOwner) {}
    bool begin(QPaintDevice*) override { return true; }
    bool end() override { return true; }
    void updateState(const QPaintEngineState& AState) override {
      if (AState.state() & QPaintEngine::DirtyTransform) FTransform = AState.transform();
    }
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
    void drawTextItem(const QPointF& APos, const QTextItem& AItem) override {
      FOwner->Texts.push_back({AItem.text(), FTransform.map(APos), AItem.font().bold()});
    }
    void drawPolygon(const QPointF*, int, PolygonDrawMode) override {}
    void drawPath(const QPainterPath&) override {}
    Type type() const override { return QPaintEngine::User; }

  private:
    TextCapture* FOwner;
    QTransform FTransform;
  };
  mutable Engine FEngine;
  QSize FSize;
};

} // namespace tervox_test
