// Mode page 2: PV offset, gain and filter, input range, unit, scaling and
// decimal point. Thermocouple and resistance ranges (codes below 24) fix
// the scaling: it shows read-only.
#pragma once

#include "Frame_ModeBase.h"

class QComboBox;
class QGroupBox;
class QLineEdit;

class TFrameMode2 : public TFrameModeBase {
  Q_OBJECT
public:
  explicit TFrameMode2(QWidget* AOwner = nullptr);

  QGroupBox* GroupBoxMode2() const { return FGroupBoxMode2; }
  QLineEdit* EditOffset() const { return FEditOffset; }
  QLineEdit* EditGain() const { return FEditGain; }
  QLineEdit* EditFilter() const { return FEditFilter; }
  QComboBox* ComboRange() const { return FComboRange; }
  QComboBox* ComboTemp() const { return FComboTemp; }
  QLineEdit* EditLowerLimit() const { return FEditLowerLimit; }
  QLineEdit* EditUpperLimit() const { return FEditUpperLimit; }
  QComboBox* ComboDecimalPoint() const { return FComboDecimalPoint; }
  QComboBox* ComboDirection() const { return FComboDirection; }

  // The names of the input range codes, in code order (code = index + 1).
  static QStringList RangeNames();

protected:
  bool LoadData() override;
  void SendData(TTervoxWriteNotify ACallback) override;

private:
  QGroupBox* FGroupBoxMode2;
  QLineEdit* FEditOffset;
  QLineEdit* FEditGain;
  QLineEdit* FEditFilter;
  QComboBox* FComboRange;
  QComboBox* FComboTemp;
  QLineEdit* FEditLowerLimit;
  QLineEdit* FEditUpperLimit;
  QComboBox* FComboDecimalPoint;
  QComboBox* FComboDirection;
};
