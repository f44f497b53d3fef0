#include "Frame_Mode3.h"

#include "core/DqRoutine.h"
#include "widgets/DqValControl.h"
#include "plant/Tervox_Device.h"

#include <QComboBox>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

TFramePIDPage::TFramePIDPage(int AMode, const QString& ATitle, bool AOut2, QWidget* AOwner)
    : TFrameModeBase(AMode, ATitle, AOwner), FOutput(AOut2 ? 1 : 0), FPanel2(new QFrame(this)) {
  FPanel2->setObjectName(QStringLiteral("Panel2"));
  auto* groups = new QHBoxLayout;
  for (int k = 0; k < 3; ++k) {
    const int n = k + 1;
    auto* group = new QGroupBox(QStringLiteral("PID %1").arg(n), FPanel2);
    group->setObjectName(QStringLiteral("GroupPID%1").arg(n));
    auto* form = new QFormLayout(group);
    FEditBand[k] = NewEdit(group, QStringLiteral("EditBand%1").arg(n));
    FEditIntegral[k] = NewEdit(group, QStringLiteral("EditIntegral%1").arg(n));
    FEditDerivative[k] = NewEdit(group, QStringLiteral("EditDerivative%1").arg(n));
    FEditResetOrDead[k] = NewEdit(group, (AOut2 ? QStringLiteral("EditDead%1") : QStringLiteral("EditReset%1")).arg(n));
    FEditGap[k] = NewEdit(group, (AOut2 ? QStringLiteral("EditGap%1") : QStringLiteral("EditGapLower%1")).arg(n));
    FEditMinimum[k] = NewEdit(group, QStringLiteral("EditMinimum%1").arg(n));
    FEditMaximum[k] = NewEdit(group, QStringLiteral("EditMaximum%1").arg(n));
    form->addRow(QStringLiteral("Proportional Band:"), FEditBand[k]);
    form->addRow(QStringLiteral("Integral Time:"), FEditIntegral[k]);
    form->addRow(QStringLiteral("Derivative Time (D):"), FEditDerivative[k]);
    form->addRow(AOut2 ? QStringLiteral("Dead Band:") : QStringLiteral("Manual Reset:"), FEditResetOrDead[k]);
    form->addRow(QStringLiteral("Differential-Gap:"), FEditGap[k]);
    form->addRow(QStringLiteral("Minimum Limiter:"), FEditMinimum[k]);
    form->addRow(QStringLiteral("Maximum Limiter:"), FEditMaximum[k]);
    groups->addWidget(group);
  }
  FEditSoft = NewEdit(FPanel2, QStringLiteral("EditSoft"));
  FEditPeriodic = NewEdit(FPanel2, QStringLiteral("EditPeriodic"));
  FComboChar = NewCombo(FPanel2, QStringLiteral("ComboChar"), {QStringLiteral("RA: Heating"), QStringLiteral("DA: Cooling")});
  auto* bottom = new QFormLayout;
  bottom->addRow(QStringLiteral("Soft Starting Time:"), FEditSoft);
  bottom->addRow(QStringLiteral("Proportional Periodic Time:"), FEditPeriodic);
  bottom->addRow(QStringLiteral("Characteristics:"), FComboChar);
  auto* panel = new QVBoxLayout(FPanel2);
  panel->addLayout(groups);
  panel->addLayout(bottom);
  auto* title = new QLabel(ATitle, this);
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(title);
  layout->addWidget(FPanel2);
  layout->addStretch(1);

  SetContainer(FPanel2, true);
  for (int k = 0; k < 3; ++k) {
    Edit(FEditBand[k])->SetParam(0, 999.9, 1, 32767, true);
    Edit(FEditIntegral[k])->SetParam(0, 6000, 0, 32767, true);
    Edit(FEditDerivative[k])->SetParam(0, 3600, 0, 32767, true);
    Edit(FEditResetOrDead[k])->SetParam(-50.0, 50.0, 1, 32767, true);
    Edit(FEditGap[k])->SetParam(1, 999, 0, 32767, true);
    Edit(FEditMinimum[k])->SetParam(0, 99.9, 1, 32767, true);
    Edit(FEditMaximum[k])->SetParam(0.1, 100.0, 1, 32767, true);
    connect(FEditBand[k], &QLineEdit::textChanged, this, [this] {
      if (FLoaded) BandRule();
    });
  }
  for (QLineEdit* edit : {FEditSoft, FEditPeriodic}) {
    TDqValEdit* value = Edit(edit);
    value->SetParam(0, 120.0, 1, 32767, true);
    value->Step = 5; // one click is half a second
  }
}

void TFramePIDPage::BandRule() {
  for (int k = 0; k < 3; ++k) {
    double band = 0;
    if (!TryStrToFloatLocale(FEditBand[k]->text(), band)) band = 0;
    Edit(FEditIntegral[k])->SetEnabled(band != 0);
    Edit(FEditDerivative[k])->SetEnabled(band != 0);
  }
}

bool TFramePIDPage::LoadData() {
  const std::shared_ptr<const TTervoxOutputData> data = FDevice->Settings().Output(FOutput);
  if (!data) return false;
  FLoaded = false;
  auto scaled = [this](int ARaw) { return FDevice->GetFloatValue(ARaw); };
  // The gap edits at the device's decimals, then the page's values.
  for (int k = 0; k < 3; ++k) Edit(FEditGap[k])->SetParam(scaled(1), scaled(999), FDevice->Digit(), 32767, true);
  for (int k = 0; k < 3; ++k) {
    const TTervoxOutputPID& set = data->PID[static_cast<std::size_t>(k)];
    Edit(FEditBand[k])->SetValue(set.Band);
    Edit(FEditIntegral[k])->SetValue(set.Integral);
    Edit(FEditDerivative[k])->SetValue(set.Derivative);
    Edit(FEditResetOrDead[k])->SetValue(set.ResetOrDead);
    Edit(FEditGap[k])->SetValue(set.Gap);
    Edit(FEditMinimum[k])->SetValue(set.Minimum);
    Edit(FEditMaximum[k])->SetValue(set.Maximum);
  }
  Edit(FEditSoft)->SetValue(data->SoftStartingTime);
  Edit(FEditPeriodic)->SetValue(data->PeriodicTime);
  LoadCombo(FComboChar, data->Characteristics);
  EnableAll(true);
  FLoaded = true;
  BandRule();
  return true;
}

void TFramePIDPage::SendData(TTervoxWriteNotify ACallback) {
  TTervoxOutputData data;
  for (int k = 0; k < 3; ++k) {
    TTervoxOutputPID& set = data.PID[static_cast<std::size_t>(k)];
    set.Band = Edit(FEditBand[k])->ChangedValue();
    set.Integral = Edit(FEditIntegral[k])->ChangedValueInt();
    set.Derivative = Edit(FEditDerivative[k])->ChangedValueInt();
    // The dead band takes whole numbers, halves to even.
    set.ResetOrDead = FOutput == 0 ? Edit(FEditResetOrDead[k])->ChangedValue()
                                   : Edit(FEditResetOrDead[k])->ChangedValueInt();
    set.Gap = Edit(FEditGap[k])->ChangedValue();
    set.Minimum = Edit(FEditMinimum[k])->ChangedValue();
    set.Maximum = Edit(FEditMaximum[k])->ChangedValue();
  }
  data.SoftStartingTime = Edit(FEditSoft)->ChangedValue();
  data.PeriodicTime = Edit(FEditPeriodic)->ChangedValue();
  data.Characteristics = ComboCode(FComboChar);
  if (const auto read = FDevice->Settings().Output(FOutput)) data.DiffData(*read);
  // Output 1's upper gap is written with the gap whenever the gap changed.
  for (TTervoxOutputPID& set : data.PID) set.GapUpper = set.Gap;
  ::WriteOutput(*FDevice, FOutput, data, std::move(ACallback), this);
}

TFrameMode3::TFrameMode3(QWidget* AOwner)
    : TFramePIDPage(3, QStringLiteral("Mode 3: Output 1 Setting"), false, AOwner) {}
