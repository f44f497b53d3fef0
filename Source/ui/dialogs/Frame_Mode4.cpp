#include "Frame_Mode4.h"

#include "widgets/DqValControl.h"
#include "plant/Tervox_Device.h"

TFrameMode4::TFrameMode4(QWidget* AOwner)
    : TFramePIDPage(4, QStringLiteral("Mode 4: Output 2 Setting"), true, AOwner) {}

bool TFrameMode4::LoadData() {
  const std::shared_ptr<const TTervoxMode4Data> data = FDevice->Settings().Mode4.Get();
  if (!data) return false;
  PrepareLoad();
  for (int k = 0; k < 3; ++k) {
    const TTervoxOut2PID& set = data->PID[static_cast<std::size_t>(k)];
    Edit(FEditBand[k])->SetValue(set.Band);
    Edit(FEditIntegral[k])->SetValue(set.Integral);
    Edit(FEditDerivative[k])->SetValue(set.Derivative);
    Edit(FEditResetOrDead[k])->SetValue(set.Dead);
    Edit(FEditGap[k])->SetValue(set.Gap);
    Edit(FEditMinimum[k])->SetValue(set.Minimum);
    Edit(FEditMaximum[k])->SetValue(set.Maximum);
  }
  Edit(FEditSoft)->SetValue(data->SoftStartingTime);
  Edit(FEditPeriodic)->SetValue(data->PeriodicTime);
  LoadCombo(FComboChar, data->Characteristics);
  FinishLoad();
  return true;
}

void TFrameMode4::SendData(TTervoxWriteNotify ACallback) {
  TTervoxMode4Data data;
  for (int k = 0; k < 3; ++k) {
    TTervoxOut2PID& set = data.PID[static_cast<std::size_t>(k)];
    set.Band = Edit(FEditBand[k])->ChangedValue();
    set.Integral = Edit(FEditIntegral[k])->ChangedValueInt();
    set.Derivative = Edit(FEditDerivative[k])->ChangedValueInt();
    set.Dead = Edit(FEditResetOrDead[k])->ChangedValueInt(); // whole numbers, halves to even
    set.Gap = Edit(FEditGap[k])->ChangedValue();
    set.Minimum = Edit(FEditMinimum[k])->ChangedValue();
    set.Maximum = Edit(FEditMaximum[k])->ChangedValue();
  }
  data.SoftStartingTime = Edit(FEditSoft)->ChangedValue();
  data.PeriodicTime = Edit(FEditPeriodic)->ChangedValue();
  data.Characteristics = ComboCode(FComboChar);
  if (const auto read = FDevice->Settings().Mode4.Get()) data.DiffData(*read);
  ::WriteMode(*FDevice, data, std::move(ACallback), this);
}
