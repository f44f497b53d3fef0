// The paper setup of the history graph ("Graph Setting"): the report's
// boxes plus Portrait and Landscape, on the "Graph" profile. The boxes show
// the sheet as printed; the profile keeps the portrait pair plus Landscape.
#pragma once

#include "Form_ReportSetting.h"

class TRadioButton;

class TFormGraphSetting : public TFormReportSetting {
  Q_OBJECT
public:
  explicit TFormGraphSetting(QWidget* AOwner = nullptr);

  TRadioButton* RadioPortrait() const { return FRadioPortrait; }
  TRadioButton* RadioLandscape() const { return FRadioLandscape; }
  void accept() override;

protected:
  void BoxesChanged() override;

private:
  void RadioClick();

  TRadioButton* FRadioPortrait;
  TRadioButton* FRadioLandscape;
};
