#include "Form_ProgramSetting.h"

#include "core/DqRoutine.h"
#include "widgets/DqValControl.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceRequests.h"
#include "plant/Tervox_DeviceSettings.h"
#include "Frame_ModeBase.h"

#include <QApplication>
#include <QComboBox>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QVBoxLayout>

namespace {

constexpr int kTimeUnitHours = 2; // HHH.H: tenths of an hour

QLineEdit* NewEdit(QWidget* AParent, const char* AName) {
  auto* edit = new QLineEdit(AParent);
  edit->setObjectName(QString::fromLatin1(AName));
  edit->setAlignment(Qt::AlignRight);
  edit->setMinimumWidth(80);
  return edit;
}

QComboBox* NewCombo(QWidget* AParent, const char* AName, const QStringList& AItems) {
  auto* combo = new QComboBox(AParent);
  combo->setObjectName(QString::fromLatin1(AName));
  combo->addItems(AItems);
  return combo;
}

TDqValEdit* Val(QLineEdit* AEdit) { return ValControls().Edits(AEdit); }
TDqValComboBox* Val(QComboBox* ACombo) { return ValControls().ComboBoxs(ACombo); }

void ShowError(const QString& AText) { TFrameModeBase::ErrorSink()(AText); }

} // namespace

TFormProgramSetting::TFormProgramSetting(QWidget* AOwner)
    : QDialog(AOwner), FPanelAll(new QFrame(this)), FPanelProgram(new QFrame(FPanelAll)),
      FPanelStep(new QFrame(FPanelProgram)) {
  setObjectName(QStringLiteral("FormProgramSetting"));
  setWindowTitle(QStringLiteral("Program & Step Setting"));
  FPanelAll->setObjectName(QStringLiteral("PanelAll"));
  FPanelProgram->setObjectName(QStringLiteral("PanelProgram"));
  FPanelStep->setObjectName(QStringLiteral("PanelStep"));
  FPanelProgram->setFrameStyle(QFrame::StyledPanel);
  FPanelStep->setFrameStyle(QFrame::StyledPanel);

  FComboPatternCount = NewCombo(FPanelAll, "ComboPatternCount", {});
  FComboTimeUnit = NewCombo(FPanelAll, "ComboTimeUnit",
                            {QStringLiteral("MM:SS"), QStringLiteral("HH:MM"), QStringLiteral("HHH.H")});
  FTabProgram = new QTabBar(FPanelProgram);
  FTabProgram->setObjectName(QStringLiteral("TabProgram"));
  FComboStartMode = NewCombo(FPanelProgram, "ComboStartMode", {QStringLiteral("SV"), QStringLiteral("PV")});
  FEditStartSV = NewEdit(FPanelProgram, "EditStartSV");
  FEditEndStep = NewEdit(FPanelProgram, "EditEndStep");
  FEditPatternTime = NewEdit(FPanelProgram, "EditPatternTime");
  FEditGuarantee = NewEdit(FPanelProgram, "EditGuarantee");
  FButtonApply = new QPushButton(QStringLiteral("Apply"), FPanelProgram);
  FButtonApply->setObjectName(QStringLiteral("ButtonApply"));
  FComboStepNo = NewCombo(FPanelStep, "ComboStepNo", {});
  FGroupStep = new QGroupBox(FPanelStep);
  FGroupStep->setObjectName(QStringLiteral("GroupStep"));
  FEditSV = NewEdit(FGroupStep, "EditSV");
  FEditTimeHi = NewEdit(FGroupStep, "EditTimeHi");
  FEditTimeLo = NewEdit(FGroupStep, "EditTimeLo");
  const QStringList pids = {QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")};
  FComboPIDOut1 = NewCombo(FGroupStep, "ComboPIDOut1", pids);
  FComboPIDOut2 = NewCombo(FGroupStep, "ComboPIDOut2", pids);
  FButtonApplyStep = new QPushButton(QStringLiteral("Apply Step"), FPanelStep);
  FButtonApplyStep->setObjectName(QStringLiteral("ButtonApplyStep"));

  auto* time = new QHBoxLayout;
  time->addWidget(FEditTimeHi);
  time->addWidget(new QLabel(QStringLiteral(":"), FGroupStep));
  time->addWidget(FEditTimeLo);
  auto* stepForm = new QFormLayout(FGroupStep);
  stepForm->addRow(QStringLiteral("Step SV Value:"), FEditSV);
  stepForm->addRow(QStringLiteral("Step Time:"), time);
  stepForm->addRow(QStringLiteral("Step OUT1 PID No.:"), FComboPIDOut1);
  stepForm->addRow(QStringLiteral("Step OUT2 PID No.:"), FComboPIDOut2);
  auto* stepLayout = new QVBoxLayout(FPanelStep);
  auto* stepNo = new QFormLayout;
  stepNo->addRow(QStringLiteral("Step No.:"), FComboStepNo);
  stepLayout->addLayout(stepNo);
  stepLayout->addWidget(FGroupStep);
  stepLayout->addWidget(FButtonApplyStep, 0, Qt::AlignRight);

  auto* patternForm = new QFormLayout;
  patternForm->addRow(QStringLiteral("Start Mode Setup:"), FComboStartMode);
  patternForm->addRow(QStringLiteral("Start SV:"), FEditStartSV);
  patternForm->addRow(QStringLiteral("End Step Setup:"), FEditEndStep);
  patternForm->addRow(QStringLiteral("Time of Execution Pattern:"), FEditPatternTime);
  patternForm->addRow(QStringLiteral("Guarantee Soak Zone:"), FEditGuarantee);
  auto* programLayout = new QVBoxLayout(FPanelProgram);
  programLayout->addWidget(FTabProgram);
  auto* programBody = new QHBoxLayout;
  auto* patternColumn = new QVBoxLayout;
  patternColumn->addLayout(patternForm);
  patternColumn->addWidget(FButtonApply, 0, Qt::AlignRight);
  patternColumn->addStretch(1);
  programBody->addLayout(patternColumn);
  programBody->addWidget(FPanelStep);
  programLayout->addLayout(programBody);

  auto* top = new QFormLayout;
  top->addRow(QStringLiteral("Number of Pattern:"), FComboPatternCount);
  top->addRow(QStringLiteral("Time Unit:"), FComboTimeUnit);
  auto* allLayout = new QVBoxLayout(FPanelAll);
  allLayout->addLayout(top);
  allLayout->addWidget(FPanelProgram);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(FPanelAll);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  TDqValPanelHelper(FPanelAll).AddValue();
  for (QFrame* panel : {FPanelAll, FPanelProgram, FPanelStep}) ValControls().Panels(panel)->SetGrayDisable(true);
  Val(FEditStartSV)->SetParam(-1999, 9999, 0, true);
  Val(FEditEndStep)->SetParam(1, 40, 0, true);
  TDqValEdit* times = Val(FEditPatternTime);
  times->SetParam(1, 10000, 0, true);
  times->SetOnValueText([](TDqValEdit*, QString& AText, double AValue) {
    if (AValue == 10000) AText = QStringLiteral("10000 (Infinity)");
  });
  TDqValEdit* soak = Val(FEditGuarantee);
  soak->SetParam(0, 2000, 0, 32767, true);
  soak->SetOnValueText([](TDqValEdit*, QString& AText, double AValue) {
    if (AValue == 0) AText = QStringLiteral("0 (OFF)");
  });
  Val(FEditSV)->SetParam(-1999, 9999, 0, true);
  Val(FEditTimeHi)->SetParam(0, 999, 0, true);
  Val(FEditTimeLo)->SetParam(0, 99, 0, true);

  connect(FButtonApply, &QPushButton::clicked, this, &TFormProgramSetting::ButtonApplyClick);
  connect(FButtonApplyStep, &QPushButton::clicked, this, &TFormProgramSetting::ButtonApplyStepClick);
  connect(FComboPatternCount, &QComboBox::activated, this, &TFormProgramSetting::ComboPatternCountChange);
  connect(FComboTimeUnit, &QComboBox::activated, this, &TFormProgramSetting::ComboTimeUnitChange);
  connect(FComboStepNo, &QComboBox::activated, this, &TFormProgramSetting::ComboStepNoChange);
  connect(FTabProgram, &QTabBar::tabBarClicked, this, [this](int AIndex) {
    if (AIndex >= 0 && !FChanging) {
      FTabProgram->setCurrentIndex(AIndex);
      TabProgramClick();
    }
  });
}

TFormProgramSetting::~TFormProgramSetting() { TDqValPanelHelper(FPanelAll).DeleteValue(); }

void TFormProgramSetting::SetPanel(QFrame* APanel, bool AEnabled) {
  if (TDqValPanel* panel = ValControls().Panels(APanel)) panel->SetEnabled(AEnabled);
}

bool TFormProgramSetting::Ready() const {
  const TDqValPanel* all = ValControls().Panels(FPanelAll);
  const TDqValPanel* step = ValControls().Panels(FPanelStep);
  return all && step && all->Enabled() && step->Enabled();
}

void TFormProgramSetting::showEvent(QShowEvent* AEvent) {
  QDialog::showEvent(AEvent);
  if (!FShown) {
    FShown = true;
    FormShow();
  }
}

void TFormProgramSetting::FormShow() { LoadPattern(kUnchanged); }

bool TFormProgramSetting::CheckSynchronized() {
  if (FDevice && FDevice->Synchronized()) return true;
  ShowError(QStringLiteral("Device not synchronized."));
  return false;
}

void TFormProgramSetting::LoadPattern(int APatternIndex) {
  SetPanel(FPanelStep, false);
  SetPanel(FPanelAll, false);
  if (!FDevice) return;
  ReadPattern(*FDevice, APatternIndex, [this] { PatternLoaded(); }, this);
}

void TFormProgramSetting::PatternLoaded() {
  const std::shared_ptr<const TTervoxPatternData> pattern = FDevice->Settings().Pattern.Get();
  // Nothing read (or no program function): the panels stay disabled.
  if (!pattern || pattern->MaxPattern <= 0) return;
  FChanging = true;
  while (FTabProgram->count() > 0) FTabProgram->removeTab(0);
  for (int p = 1; p <= std::max(pattern->PatternCount, 1); ++p) FTabProgram->addTab(QStringLiteral("    %1    ").arg(p));
  if (pattern->PatternIndex - 1 < FTabProgram->count()) FTabProgram->setCurrentIndex(pattern->PatternIndex - 1);
  FComboPatternCount->clear();
  if (pattern->MaxPattern < 2) {
    FComboPatternCount->addItem(QStringLiteral("1 pattern / 25 steps"));
    Val(FComboPatternCount)->SetItemIndex(0);
  } else {
    FComboPatternCount->addItems({QStringLiteral("1 pattern / 40 steps"), QStringLiteral("2 patterns / 20 steps"),
                                  QStringLiteral("4 patterns / 10 steps")});
    Val(FComboPatternCount)->SetItemIndex(pattern->PatternCount == 2 ? 1 : pattern->PatternCount == 4 ? 2 : 0);
  }
  FComboStepNo->clear();
  for (int s = 1; s <= pattern->MaxStep; ++s) FComboStepNo->addItem(QString::number(s));
  Val(FComboStepNo)->SetItemIndex(pattern->StepIndex - 1);
  FChanging = false;

  TDqValEdit* startSV = Val(FEditStartSV);
  startSV->SetParam(FDevice->InputLowerLimit_Float(), FDevice->InputUpperLimit_Float(), FDevice->Digit(), true);
  startSV->SetValue(pattern->StartSV);
  TDqValEdit* soak = Val(FEditGuarantee);
  soak->SetParam(FDevice->GetFloatValue(0), FDevice->GetFloatValue(2000), FDevice->Digit(), 32767, true);
  soak->SetValue(pattern->GuaranteeSoak);
  TDqValEdit* endStep = Val(FEditEndStep);
  endStep->SetParam(1, std::max(pattern->MaxStep, 1), 0, true);
  endStep->SetValue(pattern->EndStep);
  Val(FEditPatternTime)->SetValue(pattern->PatternTime);
  Val(FComboStartMode)->SetItemIndex(pattern->StartMode);
  Val(FComboTimeUnit)->SetItemIndex(pattern->TimeUnit);
  LoadStep(pattern->PatternIndex, 1);
}

void TFormProgramSetting::LoadStep(int APatternNo, int AStepNo) {
  SetPanel(FPanelStep, false);
  FStepPattern = APatternNo;
  FStepNo = AStepNo;
  ReadStep(*FDevice, APatternNo, AStepNo, [this] { StepLoaded(); }, this);
}

void TFormProgramSetting::StepLoaded() {
  const std::shared_ptr<const TTervoxStepData> step = FDevice->Settings().Step.Get();
  const std::shared_ptr<const TTervoxPatternData> pattern = FDevice->Settings().Pattern.Get();
  if (!step || !pattern) return;
  TDqValEdit* sv = Val(FEditSV);
  sv->SetParam(FDevice->InputLowerLimit_Float(), FDevice->InputUpperLimit_Float(), FDevice->Digit(), true);
  sv->SetValue(step->SV);
  const bool hours = pattern->TimeUnit == kTimeUnitHours;
  TDqValEdit* hi = Val(FEditTimeHi);
  TDqValEdit* lo = Val(FEditTimeLo);
  hi->SetParam(0, hours ? 999 : 99, 0, true);
  lo->SetParam(0, hours ? 9 : 59, 0, true);
  hi->SetValue(hours ? step->StepTime / 10 : step->StepTime / 100);
  lo->SetValue(hours ? step->StepTime % 10 : step->StepTime % 100);
  Val(FComboPIDOut1)->SetValue(step->PIDOut1);
  Val(FComboPIDOut2)->SetValue(step->PIDOut2);
  if (pattern->StepIndex >= 1) Val(FComboStepNo)->SetItemIndex(pattern->StepIndex - 1);
  SetPanel(FPanelAll, true);
  SetPanel(FPanelStep, true);
}

int TFormProgramSetting::SelectedCount() const {
  switch (FComboPatternCount->currentIndex()) {
  case 0: return 1;
  case 1: return 2;
  case 2: return 4;
  default: return std::max(FTabProgram->count(), 1);
  }
}

void TFormProgramSetting::ButtonApplyClick() {
  if (!CheckSynchronized()) return;
  const std::shared_ptr<const TTervoxPatternData> read = FDevice->Settings().Pattern.Get();
  if (!read) return;
  TTervoxPatternData data;
  data.MaxPattern = read->MaxPattern;
  data.MaxStep = read->MaxStep;
  data.PatternCount = SelectedCount();
  data.PatternIndex = FTabProgram->currentIndex() + 1;
  const int startMode = FComboStartMode->currentIndex();
  data.StartMode = startMode < 0 ? kUnchanged : startMode;
  data.StartSV = Val(FEditStartSV)->Value();
  data.EndStep = Val(FEditEndStep)->ValueInt();
  data.PatternTime = Val(FEditPatternTime)->ValueInt();
  data.GuaranteeSoak = Val(FEditGuarantee)->Value();
  const int unit = FComboTimeUnit->currentIndex();
  data.TimeUnit = unit < 0 ? kUnchanged : unit;
  data.DiffData(*read);
  SetPanel(FPanelAll, false);
  try {
    WritePattern(*FDevice, data, [this](const TTervoxWriteResult& AResult) { PatternWritten(AResult); }, this);
  } catch (const EDqException& e) {
    SetPanel(FPanelAll, true);
    ShowError(e.Message());
  }
}

void TFormProgramSetting::PatternWritten(const TTervoxWriteResult& AResult) {
  if (!AResult.Success)
    ShowError(AResult.Message());
  else if (!FDevice->Synchronized())
    ShowError(QStringLiteral("Device not synchronized, can not write pattern data."));
  LoadPattern(kUnchanged);
}

void TFormProgramSetting::ButtonApplyStepClick() {
  if (!CheckSynchronized()) return;
  TTervoxStepData data;
  data.SV = Val(FEditSV)->Value();
  const int hi = Val(FEditTimeHi)->ValueInt();
  const int lo = Val(FEditTimeLo)->ValueInt();
  data.StepTime = Val(FEditTimeHi)->MaxValue() == 99 ? hi * 100 + lo : hi * 10 + lo;
  data.PIDOut1 = FComboPIDOut1->currentIndex() < 0 ? kUnchanged : FComboPIDOut1->currentIndex() + 1;
  data.PIDOut2 = FComboPIDOut2->currentIndex() < 0 ? kUnchanged : FComboPIDOut2->currentIndex() + 1;
  // Only what changed in the step on show.
  if (const auto read = FDevice->Settings().Step.Get()) data.DiffData(*read);
  const int pattern = FTabProgram->currentIndex() + 1;
  const int stepNo = FComboStepNo->currentIndex() + 1;
  SetPanel(FPanelStep, false);
  try {
    WriteStep(
        *FDevice, pattern, stepNo, data,
        [this, pattern, stepNo](const TTervoxWriteResult& AResult) {
          if (!AResult.Success) {
            SetPanel(FPanelStep, true);
            ShowError(AResult.Message());
            return;
          }
          if (!FDevice->Synchronized()) {
            ShowError(QStringLiteral("Device not synchronized"));
            return;
          }
          // The step written, named: the running program may have selected
          // another step on the controller meanwhile.
          LoadStep(pattern, stepNo);
        },
        this);
  } catch (const EDqException& e) {
    SetPanel(FPanelStep, true);
    ShowError(e.Message());
  }
}

void TFormProgramSetting::ComboPatternCountChange() {
  if (FChanging || !CheckSynchronized()) return;
  const int count = SelectedCount(); // before the lists grey out and go blank
  SetPanel(FPanelStep, false);
  SetPanel(FPanelAll, false);
  WritePatternCount(*FDevice, count, [this](const TTervoxWriteResult& AResult) { PatternWritten(AResult); },
                    this);
}

void TFormProgramSetting::ComboTimeUnitChange() {
  if (FChanging || !CheckSynchronized()) return;
  const int count = SelectedCount();
  const int unit = FComboTimeUnit->currentIndex();
  SetPanel(FPanelStep, false);
  SetPanel(FPanelAll, false);
  WritePatternTimeUnit(*FDevice, count, unit,
                       [this](const TTervoxWriteResult& AResult) { PatternWritten(AResult); }, this);
}

void TFormProgramSetting::ComboStepNoChange() {
  if (FChanging || !FDevice) return;
  LoadStep(FTabProgram->currentIndex() + 1, FComboStepNo->currentIndex() + 1);
}

void TFormProgramSetting::TabProgramClick() {
  if (FChanging) return;
  LoadPattern(FTabProgram->currentIndex() + 1);
}

void LaunchProgramSetting(TTervoxDevice& ADevice) {
  TFormProgramSetting dialog(QApplication::activeWindow());
  dialog.SetDevice(ADevice.shared_from_this());
  dialog.exec();
}
