// Mode page 1: key lock, SV limiter and power-on operation mode.
#pragma once

#include "Frame_ModeBase.h"

class QComboBox;
class QGroupBox;
class QLineEdit;

class TFrameMode1 : public TFrameModeBase {
  Q_OBJECT
public:
  explicit TFrameMode1(QWidget* AOwner = nullptr);

  QGroupBox* GroupBox1() const { return FGroupBox1; }
  QComboBox* ComboKeylock() const { return FComboKeylock; }
  QLineEdit* EditLower() const { return FEditLower; }
  QLineEdit* EditUpper() const { return FEditUpper; }
  QComboBox* ComboMode() const { return FComboMode; }

protected:
  bool LoadData() override;
  void SendData(TTervoxWriteNotify ACallback) override;
  QString NotSynchronizedText() const override { return QStringLiteral("Write mode 1 - Device not synchronized."); }

private:
  QGroupBox* FGroupBox1;
  QComboBox* FComboKeylock;
  QLineEdit* FEditLower;
  QLineEdit* FEditUpper;
  QComboBox* FComboMode;
};
