#include "Form_ReportSetting.h"

#include "export/Tervox_Report.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kAreaLeft = 8;
constexpr int kAreaTop = 8;
constexpr int kAreaWidth = 210;
constexpr int kAreaHeight = 297;

// The sheet drawn to scale: white paper, the margins dotted.
class TPaperPreviewBox : public QWidget {
public:
  TPaperPreviewBox(const TPaperPreview* APreview, QWidget* AParent) : QWidget(AParent), FPreview(APreview) {
    setObjectName(QStringLiteral("PreviewArea"));
    setFixedSize(kAreaLeft * 2 + kAreaWidth, kAreaTop * 2 + kAreaHeight);
  }

protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(Qt::white);
    painter.drawRect(FPreview->Paper.adjusted(0, 0, -1, -1)); // ShapePaper
    painter.setPen(QPen(Qt::black, 1, Qt::DotLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(FPreview->Margin.adjusted(0, 0, -1, -1)); // ShapeMargin
  }

private:
  const TPaperPreview* FPreview;
};

QDoubleSpinBox* NewBox(QWidget* AParent, const char* AName, double AMinimum) {
  auto* box = new QDoubleSpinBox(AParent);
  box->setObjectName(QString::fromLatin1(AName));
  box->setDecimals(1);
  box->setRange(AMinimum, 1000);
  box->setSingleStep(1);
  box->setAlignment(Qt::AlignRight);
  box->setKeyboardTracking(true);
  return box;
}

int WholeMillimetres(double AValue, int ADefault) {
  if (!std::isfinite(AValue)) return ADefault;
  return static_cast<int>(AValue);
}

} // namespace

int MatchPaperSize(double AWidth, double AHeight, bool AAnyOrientation) {
  if (AAnyOrientation && AWidth > AHeight) std::swap(AWidth, AHeight);
  for (int i = 0; i < kPaperCustom; ++i)
    if (kPaperSizes[i].Width == AWidth && kPaperSizes[i].Height == AHeight) return i;
  return kPaperCustom;
}

TPaperPreview PaperPreview(int AWidth, int AHeight, int ALeft, int ARight, int ATop, int ABottom) {
  const int a = std::max(AWidth, 1);
  const int b = std::max(AHeight, 1);
  int sheetWidth = 0;
  int sheetHeight = 0;
  auto scale = [&](int AMargin) { return a * kAreaHeight / b <= kAreaWidth ? AMargin * kAreaHeight / b : AMargin * kAreaWidth / a; };
  if (a * kAreaHeight / b <= kAreaWidth) {
    sheetHeight = kAreaHeight;
    sheetWidth = a * kAreaHeight / b;
  } else {
    sheetWidth = kAreaWidth;
    sheetHeight = b * kAreaWidth / a;
  }
  TPaperPreview preview;
  const int left = kAreaLeft + (kAreaWidth - sheetWidth) / 2;
  const int top = kAreaTop + (kAreaHeight - sheetHeight) / 2;
  preview.Paper = QRect(left, top, sheetWidth, sheetHeight);
  const int ml = scale(ALeft);
  const int mr = scale(ARight);
  const int mt = scale(ATop);
  const int mb = scale(ABottom);
  preview.Margin = QRect(left + ml, top + mt, sheetWidth - ml - mr, sheetHeight - mt - mb);
  return preview;
}

TFormReportSetting::TFormReportSetting(QWidget* AOwner)
    : TFormReportSetting(AOwner, ReportSetting(), QStringLiteral("Report Setting"), QColor(160, 224, 255), false) {
  setObjectName(QStringLiteral("FormReportSetting"));
}

TFormReportSetting::TFormReportSetting(QWidget* AOwner, TBaseReport* AProfile, const QString& ACaption,
                                       const QColor& AColor, bool AAnyOrientation)
    : QDialog(AOwner), FProfile(AProfile), FColor(AColor), FAnyOrientation(AAnyOrientation),
      FComboSize(new QComboBox(this)), FEditWidth(NewBox(this, "EditWidth", 0.1)),
      FEditHeight(NewBox(this, "EditHeight", 0.1)), FEditLeft(NewBox(this, "EditLeft", 0)),
      FEditRight(NewBox(this, "EditRight", 0)), FEditTop(NewBox(this, "EditTop", 0)),
      FEditBottom(NewBox(this, "EditBottom", 0)), FPreviewArea(new TPaperPreviewBox(&FPreview, this)),
      FOptionArea(new QWidget(this)) {
  setWindowTitle(ACaption);
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  FComboSize->setObjectName(QStringLiteral("ComboSize"));
  for (const TPaperSize& size : kPaperSizes) FComboSize->addItem(QString::fromLatin1(size.Name));

  auto* grid = new QGridLayout;
  auto addRow = [&](int ARow, const char* ACaption, QWidget* AControl, bool AUnit) {
    grid->addWidget(new QLabel(QString::fromLatin1(ACaption), this), ARow, 0);
    grid->addWidget(AControl, ARow, 1);
    if (AUnit) grid->addWidget(new QLabel(QStringLiteral("mm"), this), ARow, 2);
  };
  addRow(0, "Paper size:", FComboSize, false);
  addRow(1, "Paper width:", FEditWidth, true);
  addRow(2, "Paper Height:", FEditHeight, true);
  addRow(3, "Left margin:", FEditLeft, true);
  addRow(4, "Right margin:", FEditRight, true);
  addRow(5, "Top margin:", FEditTop, true);
  addRow(6, "Bottom margin:", FEditBottom, true);
  grid->addWidget(FOptionArea, 7, 0, 1, 3);
  grid->setRowStretch(8, 1);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("ButtonOK"));
  ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(QStringLiteral("ButtonCancel"));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);

  auto* right = new QVBoxLayout;
  right->addLayout(grid);
  right->addLayout(buttons);
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(FPreviewArea, 0, Qt::AlignTop);
  layout->addLayout(right);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  FEditWidth->setValue(FProfile->PaperWidth());
  FEditHeight->setValue(FProfile->PaperHeight());
  FEditLeft->setValue(FProfile->MarginLeft());
  FEditRight->setValue(FProfile->MarginRight());
  FEditTop->setValue(FProfile->MarginTop());
  FEditBottom->setValue(FProfile->MarginBottom());
  for (QDoubleSpinBox* box : {FEditWidth, FEditHeight, FEditLeft, FEditRight, FEditTop, FEditBottom})
    connect(box, &QDoubleSpinBox::valueChanged, this, [this] {
      if (!FUpdating) BoxesChanged();
    });
  connect(FComboSize, &QComboBox::activated, this, &TFormReportSetting::ComboSizeChange);
  BoxesChanged();
}

void TFormReportSetting::SetBoxes(double AWidth, double AHeight) {
  FUpdating = true;
  FEditWidth->setValue(AWidth);
  FEditHeight->setValue(AHeight);
  FUpdating = false;
  BoxesChanged();
}

void TFormReportSetting::ComboSizeChange(int AIndex) {
  if (AIndex < 0 || AIndex >= kPaperCustom) return; // "Custom" leaves the boxes alone
  SetBoxes(kPaperSizes[AIndex].Width, kPaperSizes[AIndex].Height);
}

void TFormReportSetting::BoxesChanged() {
  FComboSize->setCurrentIndex(MatchPaperSize(FEditWidth->value(), FEditHeight->value(), FAnyOrientation));
  FPreview = PaperPreview(WholeMillimetres(FEditWidth->value(), 210), WholeMillimetres(FEditHeight->value(), 297),
                          WholeMillimetres(FEditLeft->value(), 10), WholeMillimetres(FEditRight->value(), 10),
                          WholeMillimetres(FEditTop->value(), 10), WholeMillimetres(FEditBottom->value(), 10));
  FPreviewArea->update();
}

void TFormReportSetting::WriteProfile() {
  FProfile->SetPaperWidth(FEditWidth->value());
  FProfile->SetPaperHeight(FEditHeight->value());
  FProfile->SetMarginLeft(FEditLeft->value());
  FProfile->SetMarginRight(FEditRight->value());
  FProfile->SetMarginTop(FEditTop->value());
  FProfile->SetMarginBottom(FEditBottom->value());
}

void TFormReportSetting::accept() {
  WriteProfile();
  QDialog::accept();
}

void TFormReportSetting::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QLinearGradient gradient(0, 0, 0, height());
  gradient.setColorAt(0, Qt::white);
  gradient.setColorAt(1, FColor);
  painter.fillRect(rect(), gradient);
}
