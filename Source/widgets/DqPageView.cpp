#include "DqPageView.h"

#include "core/DqBackgroundTask.h"

#include <QAbstractListModel>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

// Page numbers 1..n without holding n strings: a year of 1-second readings
// has hundreds of thousands of pages.
class TPageNumberModel : public QAbstractListModel {
public:
  using QAbstractListModel::QAbstractListModel;
  void SetCount(int ACount) {
    beginResetModel();
    FCount = ACount;
    endResetModel();
  }
  int rowCount(const QModelIndex& AParent = QModelIndex()) const override { return AParent.isValid() ? 0 : FCount; }
  QVariant data(const QModelIndex& AIndex, int ARole) const override {
    if (!AIndex.isValid() || (ARole != Qt::DisplayRole && ARole != Qt::EditRole)) return {};
    return QString::number(AIndex.row() + 1);
  }

private:
  int FCount = 0;
};

namespace {

// The sheet is drawn by its owner; the box only asks for it.
class TPaintBox : public QWidget {
public:
  TPaintBox(std::function<void(QPainter&)> APaint, QWidget* AParent) : QWidget(AParent), FPaint(std::move(APaint)) {
    setObjectName(QStringLiteral("PaintBox"));
    setAttribute(Qt::WA_OpaquePaintEvent);
  }

protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    FPaint(painter);
  }

private:
  std::function<void(QPainter&)> FPaint;
};

QPushButton* NewButton(const QString& AText, const char* AName, QWidget* AParent) {
  auto* button = new QPushButton(AText, AParent);
  button->setObjectName(QString::fromLatin1(AName));
  button->setFixedWidth(32);
  return button;
}

} // namespace

TDqPageView::TDqPageView(QWidget* AParent)
    : QWidget(AParent), FCount(std::make_unique<TDqBackgroundTask>()), FScrollBox(new QScrollArea(this)),
      FPaintBox(new TPaintBox([this](QPainter& APainter) { PaintPage(APainter); }, nullptr)),
      FPageBar(new QWidget(this)), FPageModel(new TPageNumberModel(this)), FComboPage(new QComboBox(FPageBar)),
      FLabelPage(new QLabel(QStringLiteral("of 0"), FPageBar)), FButtonFirst(NewButton(QStringLiteral("|<"), "ButtonFirst", FPageBar)),
      FButtonPrev(NewButton(QStringLiteral("<"), "ButtonPrev", FPageBar)),
      FButtonNext(NewButton(QStringLiteral(">"), "ButtonNext", FPageBar)),
      FButtonLast(NewButton(QStringLiteral(">|"), "ButtonLast", FPageBar)), FTimerBrowse(new QTimer(this)) {
  FScrollBox->setObjectName(QStringLiteral("ScrollBox"));
  FScrollBox->setWidget(FPaintBox);
  FScrollBox->setWidgetResizable(false);
  FScrollBox->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  QPalette palette = FScrollBox->palette();
  palette.setColor(QPalette::Window, QColor(176, 176, 176));
  FScrollBox->setPalette(palette);
  FScrollBox->viewport()->setAutoFillBackground(true);
  FScrollBox->viewport()->setPalette(palette);
  FScrollBox->viewport()->installEventFilter(this);
  FPaintBox->installEventFilter(this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(FScrollBox);

  FComboPage->setObjectName(QStringLiteral("ComboPage"));
  FComboPage->setModel(FPageModel);
  FComboPage->setMinimumWidth(80);
  FLabelPage->setObjectName(QStringLiteral("LabelPage"));
  auto* label = new QLabel(QStringLiteral("Page:"), FPageBar);
  label->setObjectName(QStringLiteral("Label2"));
  QFont bold = label->font();
  bold.setBold(true);
  label->setFont(bold);
  FLabelPage->setFont(bold);
  FButtonPrev->setProperty("tag", 0);
  FButtonNext->setProperty("tag", 1);
  auto* bar = new QHBoxLayout(FPageBar);
  bar->setContentsMargins(0, 0, 0, 0);
  for (QWidget* w : std::initializer_list<QWidget*>{label, FComboPage, FLabelPage, FButtonFirst, FButtonPrev, FButtonNext, FButtonLast})
    bar->addWidget(w);

  FTimerBrowse->setObjectName(QStringLiteral("TimerBrowse"));
  connect(FComboPage, &QComboBox::currentIndexChanged, this, [this] { Redraw(); });
  connect(FButtonFirst, &QPushButton::clicked, this, [this] { SetCurrentPage(1); });
  connect(FButtonLast, &QPushButton::clicked, this, [this] { SetCurrentPage(FPageCount); });
  connect(FButtonPrev, &QPushButton::pressed, this, [this] { BrowsePress(-1); });
  connect(FButtonNext, &QPushButton::pressed, this, [this] { BrowsePress(1); });
  for (QPushButton* button : {FButtonPrev, FButtonNext})
    connect(button, &QPushButton::released, FTimerBrowse, &QTimer::stop);
  connect(FTimerBrowse, &QTimer::timeout, this, &TDqPageView::TimerBrowseTimer);
}

TDqPageView::~TDqPageView() { FCount->Stop(); }

void TDqPageView::CountPages(TCount ACount, std::function<void(std::exception_ptr AError)> AFailed) {
  FLabelPage->setText(QStringLiteral("counting..."));
  FCount->Start(
      [this, count = std::move(ACount)](const std::atomic<bool>& ACancel) -> TDqBackgroundTask::TDone {
        std::function<int()> counted = count(ACancel);
        if (!counted) return {};
        return [this, counted] { SetPageCount(counted()); };
      },
      [this, failed = std::move(AFailed)](std::exception_ptr AError) {
        SetPageCount(0);
        if (failed) failed(AError);
      });
}

void TDqPageView::StopCount() { FCount->Stop(); }

bool TDqPageView::Counting() const { return FCount->Running(); }

void TDqPageView::SetPaper(double AWidth, double AHeight) {
  FPrint.PaperWidth = AWidth;
  FPrint.PaperHeight = AHeight;
}

void TDqPageView::SetPageCount(int ACount) {
  FPageCount = std::max(ACount, 0);
  FLabelPage->setText(QStringLiteral("of %1").arg(FPageCount));
  {
    const QSignalBlocker blocker(FComboPage);
    FPageModel->SetCount(FPageCount);
    FComboPage->setCurrentIndex(FPageCount > 0 ? 0 : -1);
  }
  Redraw();
}

int TDqPageView::CurrentPage() const { return FComboPage->currentIndex() + 1; }

void TDqPageView::SetCurrentPage(int APage) {
  if (FPageCount == 0) return;
  FComboPage->setCurrentIndex(std::clamp(APage, 1, FPageCount) - 1);
}

void TDqPageView::StepPage(int ADelta) {
  const int page = CurrentPage() + ADelta;
  if (page >= 1 && page <= FPageCount) SetCurrentPage(page);
}

void TDqPageView::BrowsePress(int ADirection) {
  FBrowseDirection = ADirection;
  StepPage(ADirection);
  FTimerBrowse->start(400);
}

void TDqPageView::TimerBrowseTimer() {
  // Held down: from the first repeat on, as fast as pages draw.
  FTimerBrowse->setInterval(1);
  QPushButton* button = FBrowseDirection > 0 ? FButtonNext : FButtonPrev;
  if (!button->isDown()) {
    FTimerBrowse->stop();
    return;
  }
  StepPage(FBrowseDirection);
}

void TDqPageView::SetZoom(double AZoom) {
  FPrint.ZoomFactor = std::clamp(AZoom, 10.0, 1000.0);
  LayoutPage();
}

void TDqPageView::ZoomStep(bool AIn) {
  double z = FPrint.ZoomFactor;
  if (AIn)
    z += z >= 100 ? 20 : 10;
  else
    z -= z > 100 ? 20 : 10;
  SetZoom(std::clamp(z, 10.0, 1000.0));
}

void TDqPageView::LayoutPage() {
  // Twice: scroll bars that appear or go change the room there is.
  for (int pass = 0; pass < 2; ++pass) {
    const QSize client = FScrollBox->viewport()->size();
    const double zoom = FPrint.ZoomFactor;
    const int w = static_cast<int>(std::lround((client.width() - 32) * zoom / 100));
    const int h = FPrint.PaperWidth > 0 ? static_cast<int>(std::lround(w * FPrint.PaperHeight / FPrint.PaperWidth)) : 0;
    const QRect sheet = FPrint.SetScreenMode(QRect(QPoint(0, 0), QPoint(std::max(w, 1), std::max(h, 1))), 16, 16);
    const int left = client.width() < sheet.width() + 32 ? 16 : (client.width() - sheet.width()) / 2;
    const int top = client.height() < sheet.height() + 32 ? 16 : (client.height() - sheet.height()) / 2;
    FPageRect = QRect(left, top, sheet.width(), sheet.height());
    FPaintBox->resize(std::max(client.width(), sheet.width() + 32), std::max(client.height(), sheet.height() + 32));
  }
  FPrint.DrawRect = FPageRect;
  Redraw();
}

void TDqPageView::Redraw() { FPaintBox->update(); }

void TDqPageView::PaintPage(QPainter& APainter) {
  APainter.fillRect(FPaintBox->rect(), QColor(128, 128, 128));
  APainter.fillRect(FPageRect, Qt::white);
  if (!FOnDrawPage) return;
  const QRect inner = FPageRect.adjusted(FPrint.DrawXOffset, FPrint.DrawYOffset, -FPrint.DrawXOffset, -FPrint.DrawYOffset);
  APainter.setClipRect(FPageRect);
  FOnDrawPage(APainter, FPrint, inner, CurrentPage(), FPageCount);
}

bool TDqPageView::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AWatched == FScrollBox->viewport() && AEvent->type() == QEvent::Resize) {
    LayoutPage();
  } else if (AWatched == FPaintBox && AEvent->type() == QEvent::MouseButtonPress) {
    FComboPage->setFocus();
  } else if ((AWatched == FPaintBox || AWatched == FScrollBox->viewport()) && AEvent->type() == QEvent::Wheel) {
    auto* wheel = static_cast<QWheelEvent*>(AEvent);
    if (wheel->modifiers() & Qt::ControlModifier) {
      if (wheel->angleDelta().y() != 0) ZoomStep(wheel->angleDelta().y() > 0);
    } else {
      QScrollBar* bar = FScrollBox->verticalScrollBar();
      bar->setValue(bar->value() - wheel->angleDelta().y());
    }
    return true;
  }
  return QWidget::eventFilter(AWatched, AEvent);
}
