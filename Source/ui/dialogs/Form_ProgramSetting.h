// The pattern and step editor: the number of patterns (and with it the
// steps each has), the time unit, each pattern's settings and each step's
// set value, time and PID sets. Every change is written to the controller
// and read back.
#pragma once

#include <QDialog>

#include <memory>

class QComboBox;
class QFrame;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QTabBar;
class TTervoxDevice;
class TTervoxWriteResult;

class TFormProgramSetting : public QDialog {
  Q_OBJECT
public:
  explicit TFormProgramSetting(QWidget* AOwner = nullptr);
  ~TFormProgramSetting() override;

  TTervoxDevice* Device() const { return FDevice.get(); }
  void SetDevice(std::shared_ptr<TTervoxDevice> ADevice) { FDevice = std::move(ADevice); }

  QFrame* PanelAll() const { return FPanelAll; }
  QFrame* PanelStep() const { return FPanelStep; }
  QComboBox* ComboPatternCount() const { return FComboPatternCount; }
  QComboBox* ComboTimeUnit() const { return FComboTimeUnit; }
  QTabBar* TabProgram() const { return FTabProgram; }
  QComboBox* ComboStartMode() const { return FComboStartMode; }
  QLineEdit* EditStartSV() const { return FEditStartSV; }
  QLineEdit* EditEndStep() const { return FEditEndStep; }
  QLineEdit* EditPatternTime() const { return FEditPatternTime; }
  QLineEdit* EditGuarantee() const { return FEditGuarantee; }
  QComboBox* ComboStepNo() const { return FComboStepNo; }
  QLineEdit* EditSV() const { return FEditSV; }
  QLineEdit* EditTimeHi() const { return FEditTimeHi; }
  QLineEdit* EditTimeLo() const { return FEditTimeLo; }
  QComboBox* ComboPIDOut1() const { return FComboPIDOut1; }
  QComboBox* ComboPIDOut2() const { return FComboPIDOut2; }
  QPushButton* ButtonApply() const { return FButtonApply; }
  QPushButton* ButtonApplyStep() const { return FButtonApplyStep; }
  // Idle: a pattern and its step are shown and editable.
  bool Ready() const;

  void FormShow();
  void ButtonApplyClick();
  void ButtonApplyStepClick();
  void ComboPatternCountChange();
  void ComboTimeUnitChange();
  void ComboStepNoChange();
  void TabProgramClick();

protected:
  void showEvent(QShowEvent* AEvent) override;

private:
  void LoadPattern(int APatternIndex);
  void PatternLoaded();
  void LoadStep(int APatternNo, int AStepNo);
  void StepLoaded();
  void PatternWritten(const TTervoxWriteResult& AResult);
  int SelectedCount() const;
  bool CheckSynchronized();
  void SetPanel(QFrame* APanel, bool AEnabled);

  std::shared_ptr<TTervoxDevice> FDevice;
  bool FChanging = false;
  bool FShown = false;
  int FStepPattern = 1, FStepNo = 1; // the step on show
  QFrame* FPanelAll;
  QFrame* FPanelProgram;
  QFrame* FPanelStep;
  QComboBox* FComboPatternCount;
  QComboBox* FComboTimeUnit;
  QTabBar* FTabProgram;
  QComboBox* FComboStartMode;
  QLineEdit* FEditStartSV;
  QLineEdit* FEditEndStep;
  QLineEdit* FEditPatternTime;
  QLineEdit* FEditGuarantee;
  QComboBox* FComboStepNo;
  QGroupBox* FGroupStep;
  QLineEdit* FEditSV;
  QLineEdit* FEditTimeHi;
  QLineEdit* FEditTimeLo;
  QComboBox* FComboPIDOut1;
  QComboBox* FComboPIDOut2;
  QPushButton* FButtonApply;
  QPushButton* FButtonApplyStep;
};

// Shows the pattern editor for the device, modally.
void LaunchProgramSetting(TTervoxDevice& ADevice);
