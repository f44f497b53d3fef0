// Mode page 3: the three OUT1 PID sets, soft start, periodic time and
// characteristics. Page 4 (OUT2) shares the layout, reading, writing and
// the band rule: a proportional band of 0 is on/off control, without
// integral and derivative action.
#pragma once

#include "Frame_ModeBase.h"

#include <array>

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;

class TFramePIDPage : public TFrameModeBase {
  Q_OBJECT
public:
  QFrame* Panel2() const { return FPanel2; }
  QLineEdit* EditBand(int AIndex) const { return FEditBand.at(static_cast<std::size_t>(AIndex)); }
  QLineEdit* EditIntegral(int AIndex) const { return FEditIntegral.at(static_cast<std::size_t>(AIndex)); }
  QLineEdit* EditDerivative(int AIndex) const { return FEditDerivative.at(static_cast<std::size_t>(AIndex)); }
  // Manual reset (page 3) or dead band (page 4).
  QLineEdit* EditResetOrDead(int AIndex) const { return FEditResetOrDead.at(static_cast<std::size_t>(AIndex)); }
  QLineEdit* EditGap(int AIndex) const { return FEditGap.at(static_cast<std::size_t>(AIndex)); }
  QLineEdit* EditMinimum(int AIndex) const { return FEditMinimum.at(static_cast<std::size_t>(AIndex)); }
  QLineEdit* EditMaximum(int AIndex) const { return FEditMaximum.at(static_cast<std::size_t>(AIndex)); }
  QLineEdit* EditSoft() const { return FEditSoft; }
  QLineEdit* EditPeriodic() const { return FEditPeriodic; }
  QComboBox* ComboChar() const { return FComboChar; }

  // Integral and derivative follow their set's band.
  void BandRule();

protected:
  TFramePIDPage(int AMode, const QString& ATitle, bool AOut2, QWidget* AOwner);
  bool LoadData() override;
  void SendData(TTervoxWriteNotify ACallback) override;

  int FOutput; // 0: output 1, 1: output 2
  QFrame* FPanel2;
  std::array<QLineEdit*, 3> FEditBand{}, FEditIntegral{}, FEditDerivative{}, FEditResetOrDead{}, FEditGap{},
      FEditMinimum{}, FEditMaximum{};
  QLineEdit* FEditSoft;
  QLineEdit* FEditPeriodic;
  QComboBox* FComboChar;
  bool FLoaded = false;
};

class TFrameMode3 : public TFramePIDPage {
  Q_OBJECT
public:
  explicit TFrameMode3(QWidget* AOwner = nullptr);
};
