// Mode pages 6 (digital inputs), 7 (analog output) and 8 (CT inputs).
#pragma once

#include "Frame_ModeBase.h"

#include <array>

class QComboBox;
class QFrame;
class QLineEdit;

class TFrameMode6 : public TFrameModeBase {
  Q_OBJECT
public:
  explicit TFrameMode6(QWidget* AOwner = nullptr);
  QComboBox* ComboDI(int AIndex) const { return FComboDI.at(static_cast<std::size_t>(AIndex)); }

protected:
  bool LoadData() override;
  void SendData(TTervoxWriteNotify ACallback) override;

private:
  QFrame* FPanel2;
  std::array<QComboBox*, 4> FComboDI{};
};

class TFrameMode7 : public TFrameModeBase {
  Q_OBJECT
public:
  explicit TFrameMode7(QWidget* AOwner = nullptr);
  QComboBox* ComboMode() const { return FComboMode; }
  QLineEdit* EditLowerScale() const { return FEditLowerScale; }
  QLineEdit* EditUpperScale() const { return FEditUpperScale; }
  QLineEdit* EditLowerLimit() const { return FEditLowerLimit; }
  QLineEdit* EditUpperLimit() const { return FEditUpperLimit; }

protected:
  bool LoadData() override;
  void SendData(TTervoxWriteNotify ACallback) override;

private:
  void ComboModeChange(int AIndex);

  QFrame* FPanel2;
  QComboBox* FComboMode;
  int FScaledMode = -1; // the output mode the scaling edits are set for
  QLineEdit* FEditLowerScale;
  QLineEdit* FEditUpperScale;
  QLineEdit* FEditLowerLimit;
  QLineEdit* FEditUpperLimit;
};

class TFrameMode8 : public TFrameModeBase {
  Q_OBJECT
public:
  explicit TFrameMode8(QWidget* AOwner = nullptr);
  QComboBox* ComboMode(int AIndex) const { return FComboMode.at(static_cast<std::size_t>(AIndex)); }
  QLineEdit* EditDelay(int AIndex) const { return FEditDelay.at(static_cast<std::size_t>(AIndex)); }
  QLineEdit* EditValue(int AIndex) const { return FEditValue.at(static_cast<std::size_t>(AIndex)); }

protected:
  bool LoadData() override;
  void SendData(TTervoxWriteNotify ACallback) override;

private:
  QFrame* FPanel2;
  std::array<QComboBox*, 2> FComboMode{};
  std::array<QLineEdit*, 2> FEditDelay{};
  std::array<QLineEdit*, 2> FEditValue{};
};
