#include "Form_GraphSetting.h"

#include "widgets/DqRadioButton.h"
#include "export/Tervox_Report.h"

#include <QDoubleSpinBox>
#include <QHBoxLayout>

#include <algorithm>

TFormGraphSetting::TFormGraphSetting(QWidget* AOwner)
    : TFormReportSetting(AOwner, GraphSetting(), QStringLiteral("Graph Setting"), QColor(128, 255, 160), true),
      FRadioPortrait(new TRadioButton(QStringLiteral("Portrait"), OptionArea())),
      FRadioLandscape(new TRadioButton(QStringLiteral("Landscape"), OptionArea())) {
  setObjectName(QStringLiteral("FormGraphSetting"));
  FRadioPortrait->setObjectName(QStringLiteral("RadioPortrait"));
  FRadioLandscape->setObjectName(QStringLiteral("RadioLandscape"));
  auto* layout = new QHBoxLayout(OptionArea());
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(FRadioPortrait);
  layout->addWidget(FRadioLandscape);
  layout->addStretch();
  connect(FRadioPortrait, &QRadioButton::clicked, this, &TFormGraphSetting::RadioClick);
  connect(FRadioLandscape, &QRadioButton::clicked, this, &TFormGraphSetting::RadioClick);
  // The boxes show the sheet as printed: a landscape profile turns its pair.
  if (Profile()->Landscape())
    SetBoxes(Profile()->PaperHeight(), Profile()->PaperWidth());
  else
    BoxesChanged();
}

void TFormGraphSetting::BoxesChanged() {
  TFormReportSetting::BoxesChanged();
  if (EditHeight()->value() < EditWidth()->value())
    FRadioLandscape->setChecked(true);
  else
    FRadioPortrait->setChecked(true);
}

void TFormGraphSetting::RadioClick() {
  const double width = std::max(EditWidth()->value(), 0.1);
  const double height = std::max(EditHeight()->value(), 0.1);
  if ((FRadioLandscape->isChecked() && width < height) || (FRadioPortrait->isChecked() && width > height))
    SetBoxes(height, width);
  else
    BoxesChanged();
}

void TFormGraphSetting::accept() {
  // The profile keeps the portrait pair; Landscape says how it is turned.
  const double width = EditWidth()->value();
  const double height = EditHeight()->value();
  const bool landscape = FRadioLandscape->isChecked();
  Profile()->SetPaperWidth(std::min(width, height));
  Profile()->SetPaperHeight(std::max(width, height));
  Profile()->SetMarginLeft(EditLeft()->value());
  Profile()->SetMarginRight(EditRight()->value());
  Profile()->SetMarginTop(EditTop()->value());
  Profile()->SetMarginBottom(EditBottom()->value());
  Profile()->SetLandscape(landscape && width != height);
  QDialog::accept();
}
