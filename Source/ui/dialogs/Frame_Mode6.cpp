#include "Frame_Mode6.h"

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

namespace {

QFrame* NewPanel(QWidget* AOwner, const QString& ATitle) {
  auto* panel = new QFrame(AOwner);
  panel->setObjectName(QStringLiteral("Panel2"));
  auto* layout = new QVBoxLayout(AOwner);
  layout->addWidget(new QLabel(ATitle, AOwner));
  layout->addWidget(panel);
  layout->addStretch(1);
  return panel;
}

} // namespace

// ===================================================================== page 6

TFrameMode6::TFrameMode6(QWidget* AOwner)
    : TFrameModeBase(6, QStringLiteral("Mode 6: Digital Input Setting"), AOwner), FPanel2(NewPanel(this, Title())) {
  const QStringList modes = {QStringLiteral("NON - No allotment"), QStringLiteral("SV2 - 2nd SV"),
                             QStringLiteral("SV3 - 3rd SV"),       QStringLiteral("SV4 - 4th SV"),
                             QStringLiteral("RUN - Control RUN"),  QStringLiteral("PROG - Program"),
                             QStringLiteral("MAN - Manual input"), QStringLiteral("AT - Auto Tuning"),
                             QStringLiteral("HOLD - Hold"),        QStringLiteral("SKIP - Skip"),
                             QStringLiteral("L_RS - Latching release"), QStringLiteral("LOCK - Super key lock")};
  auto* form = new QFormLayout(FPanel2);
  for (int i = 0; i < 4; ++i) {
    FComboDI[static_cast<std::size_t>(i)] = NewCombo(FPanel2, QStringLiteral("ComboDI%1").arg(i + 1), modes);
    form->addRow(QStringLiteral("DI %1 Mode:").arg(i + 1), FComboDI[static_cast<std::size_t>(i)]);
  }
  SetContainer(FPanel2, true);
}

bool TFrameMode6::LoadData() {
  const std::shared_ptr<const TTervoxMode6Data> data = FDevice->Settings().Mode6.Get();
  if (!data || !data->Have) return false;
  for (int i = 0; i < 4; ++i)
    LoadCombo(FComboDI[static_cast<std::size_t>(i)], data->DIMode[static_cast<std::size_t>(i)]);
  return true;
}

void TFrameMode6::SendData(TTervoxWriteNotify ACallback) {
  TTervoxMode6Data data;
  for (int i = 0; i < 4; ++i)
    data.DIMode[static_cast<std::size_t>(i)] = ComboCode(FComboDI[static_cast<std::size_t>(i)]);
  if (const auto read = FDevice->Settings().Mode6.Get()) data.DiffData(*read);
  ::WriteMode(*FDevice, data, std::move(ACallback), this);
}

// ===================================================================== page 7

TFrameMode7::TFrameMode7(QWidget* AOwner)
    : TFrameModeBase(7, QStringLiteral("Mode 7: Analog Output Setting"), AOwner), FPanel2(NewPanel(this, Title())) {
  auto* scaling = new QGroupBox(QStringLiteral("Analog Output Scaling"), FPanel2);
  FComboMode = NewCombo(scaling, QStringLiteral("ComboMode"),
                        {QStringLiteral("NON"), QStringLiteral("PV"), QStringLiteral("SV"), QStringLiteral("OUT1"),
                         QStringLiteral("OUT2"), QStringLiteral("CT1"), QStringLiteral("CT2")});
  FEditLowerScale = NewEdit(scaling, QStringLiteral("EditLowerScale"));
  FEditUpperScale = NewEdit(scaling, QStringLiteral("EditUpperScale"));
  auto* scalingForm = new QFormLayout(scaling);
  scalingForm->addRow(QStringLiteral("Analog output mode:"), FComboMode);
  scalingForm->addRow(QStringLiteral("Scaling Lower limit value:"), FEditLowerScale);
  scalingForm->addRow(QStringLiteral("Scaling Upper limit value:"), FEditUpperScale);
  FEditLowerLimit = NewEdit(FPanel2, QStringLiteral("EditLowerLimit"));
  FEditUpperLimit = NewEdit(FPanel2, QStringLiteral("EditUpperLimit"));
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Analog output limiter lower limit value:"), FEditLowerLimit);
  form->addRow(QStringLiteral("Analog output limiter upper limit value:"), FEditUpperLimit);
  auto* layout = new QVBoxLayout(FPanel2);
  layout->addWidget(scaling);
  layout->addLayout(form);
  SetContainer(FPanel2, true);
  for (QLineEdit* edit : {FEditLowerScale, FEditUpperScale, FEditLowerLimit, FEditUpperLimit})
    Edit(edit)->SetParam(0, 100.0, 1, 32767, true);
  connect(FComboMode, &QComboBox::currentIndexChanged, this, &TFrameMode7::ComboModeChange);
}

void TFrameMode7::ComboModeChange(int AIndex) {
  // The user's choice on a loaded page; greying shows no choice at all.
  if (AIndex < 0 || AIndex == FScaledMode || !HasData()) return;
  const std::shared_ptr<const TTervoxMode7Data> read = FDevice->Settings().Mode7.Get();
  if (!read) return;
  FScaledMode = AIndex;
  TTervoxMode7Data range;
  if (!range.SetScaleRange(AIndex, FDevice->Digit(), FDevice->InputLowerLimit(), FDevice->InputUpperLimit())) return;
  // The scaling registers keep their counts, which the new mode reads in
  // its own unit and decimals; a value typed for the old mode meant
  // another unit, so what the controller holds is shown instead.
  const auto rescale = [&](QLineEdit* AEdit, double AHeld, double AMin, double AMax) {
    TDqValEdit* value = Edit(AEdit);
    value->SetParam(AMin, AMax, range.Digit, 32767, true);
    value->SetValue(GetFloatDigit(GetIntDigit(AHeld, read->Digit), range.Digit));
  };
  rescale(FEditLowerScale, read->AnalogLowerScale, range.MinInputLowerLimit, range.MaxInputLowerLimit);
  rescale(FEditUpperScale, read->AnalogUpperScale, range.MinInputUpperLimit, range.MaxInputUpperLimit);
}

bool TFrameMode7::LoadData() {
  const std::shared_ptr<const TTervoxMode7Data> data = FDevice->Settings().Mode7.Get();
  if (!data || !data->Have) return false;
  FScaledMode = data->AnalogOutputMode;
  LoadCombo(FComboMode, data->AnalogOutputMode);
  // The scaling follows what the output carries (the input range for PV
  // and SV, percent for the outputs, amperes for the CTs).
  Edit(FEditLowerScale)->SetParam(data->MinInputLowerLimit, data->MaxInputLowerLimit, data->Digit, 32767, true);
  Edit(FEditUpperScale)->SetParam(data->MinInputUpperLimit, data->MaxInputUpperLimit, data->Digit, 32767, true);
  Edit(FEditLowerScale)->SetValue(data->AnalogLowerScale);
  Edit(FEditUpperScale)->SetValue(data->AnalogUpperScale);
  Edit(FEditLowerLimit)->SetValue(data->AnalogLowerLimit);
  Edit(FEditUpperLimit)->SetValue(data->AnalogUpperLimit);
  return true;
}

void TFrameMode7::SendData(TTervoxWriteNotify ACallback) {
  TTervoxMode7Data data;
  data.AnalogOutputMode = ComboCode(FComboMode);
  data.AnalogLowerScale = Edit(FEditLowerScale)->ChangedValue();
  data.AnalogUpperScale = Edit(FEditUpperScale)->ChangedValue();
  data.AnalogLowerLimit = Edit(FEditLowerLimit)->ChangedValue();
  data.AnalogUpperLimit = Edit(FEditUpperLimit)->ChangedValue();
  data.Digit = Edit(FEditLowerScale)->Digit();
  if (const auto read = FDevice->Settings().Mode7.Get()) data.DiffData(*read);
  ::WriteMode(*FDevice, data, std::move(ACallback), this);
}

// ===================================================================== page 8

TFrameMode8::TFrameMode8(QWidget* AOwner)
    : TFrameModeBase(8, QStringLiteral("Mode 8: CT Output Option Setting"), AOwner), FPanel2(NewPanel(this, Title())) {
  auto* groups = new QHBoxLayout;
  for (int i = 0; i < 2; ++i) {
    const int n = i + 1;
    auto* group = new QGroupBox(QStringLiteral("CT %1").arg(n), FPanel2);
    FComboMode[static_cast<std::size_t>(i)] =
        NewCombo(group, QStringLiteral("ComboMode%1").arg(n),
                 {QStringLiteral("NON"), QStringLiteral("OUT1"), QStringLiteral("OUT2"), QStringLiteral("EV1"),
                  QStringLiteral("EV2"), QStringLiteral("EV3")});
    FEditDelay[static_cast<std::size_t>(i)] = NewEdit(group, QStringLiteral("EditDelay%1").arg(n));
    auto* form = new QFormLayout(group);
    form->addRow(QStringLiteral("CT %1 mode:").arg(n), FComboMode[static_cast<std::size_t>(i)]);
    form->addRow(QStringLiteral("CT %1 delay time:").arg(n), FEditDelay[static_cast<std::size_t>(i)]);
    groups->addWidget(group);
  }
  auto* current = new QGroupBox(QStringLiteral("Electric current value"), FPanel2);
  auto* currentForm = new QFormLayout(current);
  for (int i = 0; i < 2; ++i) {
    FEditValue[static_cast<std::size_t>(i)] = NewEdit(current, QStringLiteral("EditValue%1").arg(i + 1));
    currentForm->addRow(QStringLiteral("CT %1 value:").arg(i + 1), FEditValue[static_cast<std::size_t>(i)]);
  }
  auto* layout = new QVBoxLayout(FPanel2);
  layout->addLayout(groups);
  layout->addWidget(current);
  SetContainer(FPanel2, true);
  for (int i = 0; i < 2; ++i) {
    Edit(FEditDelay[static_cast<std::size_t>(i)])->SetParam(0.5, 30.0, 1, 32767, true);
    // Display only: what the CT measures.
    TDqValEdit* value = Edit(FEditValue[static_cast<std::size_t>(i)]);
    value->SetParam(-50.0, 50.0, 1, 32767, false);
    value->SetReadOnly(true);
  }
}

bool TFrameMode8::LoadData() {
  const std::shared_ptr<const TTervoxMode8Data> data = FDevice->Settings().Mode8.Get();
  if (!data || !data->Have) return false;
  for (int i = 0; i < 2; ++i) {
    const TTervoxCTSetting& ct = data->CT[static_cast<std::size_t>(i)];
    LoadCombo(FComboMode[static_cast<std::size_t>(i)], ct.Mode);
    Edit(FEditDelay[static_cast<std::size_t>(i)])->SetValue(ct.Delay);
    Edit(FEditValue[static_cast<std::size_t>(i)])->SetValue(ct.Value);
  }
  return true;
}

void TFrameMode8::SendData(TTervoxWriteNotify ACallback) {
  TTervoxMode8Data data;
  for (int i = 0; i < 2; ++i) {
    TTervoxCTSetting& ct = data.CT[static_cast<std::size_t>(i)];
    ct.Mode = ComboCode(FComboMode[static_cast<std::size_t>(i)]);
    ct.Delay = Edit(FEditDelay[static_cast<std::size_t>(i)])->ChangedValue();
    ct.Value = kUnchangedFloat; // measured, never written
  }
  if (const auto read = FDevice->Settings().Mode8.Get()) data.DiffData(*read);
  ::WriteMode(*FDevice, data, std::move(ACallback), this);
}
