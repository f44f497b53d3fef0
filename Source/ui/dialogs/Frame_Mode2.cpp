#include "Frame_Mode2.h"

#include "widgets/DqValControl.h"
#include "plant/Tervox_Device.h"

#include <QComboBox>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {
// Codes from here on are voltage and current inputs, scaled by the user.
constexpr int kFirstScaledRange = 24;
} // namespace

QStringList TFrameMode2::RangeNames() {
  QStringList names;
  QFile file(QStringLiteral(":/TXT/CODERANGE"));
  if (!file.open(QIODevice::ReadOnly)) return names;
  for (const QByteArray& line : file.readAll().split('\n')) {
    const QString text = QString::fromLatin1(line).trimmed();
    const int equals = text.lastIndexOf(QLatin1Char('='));
    if (equals > 0) names << text.left(equals);
  }
  return names;
}

TFrameMode2::TFrameMode2(QWidget* AOwner)
    : TFrameModeBase(2, QStringLiteral("Mode 2: Scale and PV Setting"), AOwner),
      FGroupBoxMode2(new QGroupBox(Title(), this)) {
  FGroupBoxMode2->setObjectName(QStringLiteral("GroupBoxMode2"));
  QGroupBox* g = FGroupBoxMode2;
  FEditOffset = NewEdit(g, QStringLiteral("EditOffset"));
  FEditGain = NewEdit(g, QStringLiteral("EditGain"));
  FEditFilter = NewEdit(g, QStringLiteral("EditFilter"));
  FComboRange = NewCombo(g, QStringLiteral("ComboRange"), RangeNames());
  FComboTemp = NewCombo(g, QStringLiteral("ComboTemp"), {QStringLiteral("C: Celsius"), QStringLiteral("F: Fahrenheit")});
  FEditLowerLimit = NewEdit(g, QStringLiteral("EditLowerLimit"));
  FEditUpperLimit = NewEdit(g, QStringLiteral("EditUpperLimit"));
  FComboDecimalPoint = NewCombo(g, QStringLiteral("ComboDecimalPoint"),
                                {QStringLiteral("0: xxxx"), QStringLiteral("1: xxx.x"), QStringLiteral("2: xx.xx"),
                                 QStringLiteral("3: x.xxx")});
  FComboDirection = NewCombo(g, QStringLiteral("ComboDirection"), {QStringLiteral("High"), QStringLiteral("Low")});
  auto* form = new QFormLayout(g);
  form->addRow(QStringLiteral("PV Offset Correction (PV Bias):"), FEditOffset);
  form->addRow(QStringLiteral("PV Gain Correction:"), FEditGain);
  form->addRow(QStringLiteral("PV Filter:"), FEditFilter);
  form->addRow(QStringLiteral("PV Range:"), FComboRange);
  form->addRow(QStringLiteral("Temperature Unit:"), FComboTemp);
  form->addRow(QStringLiteral("Input Scaling Lower Limit:"), FEditLowerLimit);
  form->addRow(QStringLiteral("Input Scaling Upper Limit:"), FEditUpperLimit);
  form->addRow(QStringLiteral("Input Scaling Decimal Point Position:"), FComboDecimalPoint);
  form->addRow(QStringLiteral("Thermocouple Detection Direction:"), FComboDirection);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(g);
  layout->addStretch(1);

  SetContainer(g, false);
  Edit(FEditOffset)->SetParam(-500, 500, 0, 32767, true);
  Edit(FEditGain)->SetParam(-5.0, 5.0, 2, 32767, true);
  Edit(FEditFilter)->SetParam(0, 9999, 0, 32767, true);
  Edit(FEditLowerLimit)->SetParam(-1999, 9989, 0, 32767, true);
  Edit(FEditUpperLimit)->SetParam(-1989, 9999, 0, 32767, true);
}

bool TFrameMode2::LoadData() {
  const std::shared_ptr<const TTervoxMode2Data> data = FDevice->Settings().Mode2.Get();
  if (!data || !FDevice->Synchronized()) return false;
  const int digit = FDevice->Digit();
  auto scaled = [this](int ARaw) { return FDevice->GetFloatValue(ARaw); };
  Edit(FEditOffset)->SetParam(scaled(-500), scaled(500), digit, 32767, true);
  Edit(FEditLowerLimit)->SetParam(scaled(-1999), scaled(9989), digit, 32767, true);
  Edit(FEditUpperLimit)->SetParam(scaled(-1989), scaled(9999), digit, 32767, true);
  Edit(FEditOffset)->SetValue(data->PVOffset);
  Edit(FEditGain)->SetValue(data->PVGain);
  Edit(FEditFilter)->SetValue(data->PVFilter);
  LoadCombo(FComboRange, data->PVRange == kUnchanged ? kUnchanged : data->PVRange - 1);
  LoadCombo(FComboTemp, data->TemperatureUnit);
  Edit(FEditLowerLimit)->SetValue(data->InputLowerLimit);
  Edit(FEditUpperLimit)->SetValue(data->InputUpperLimit);
  LoadCombo(FComboDecimalPoint, data->DecimalPoint);
  LoadCombo(FComboDirection, data->ThermocoupleDirection);
  const bool fixedScale = data->PVRange != kUnchanged && data->PVRange < kFirstScaledRange;
  Edit(FEditLowerLimit)->SetReadOnly(fixedScale);
  Edit(FEditUpperLimit)->SetReadOnly(fixedScale);
  Registry().ComboBoxs(FComboDecimalPoint)->SetReadOnly(fixedScale);
  return true;
}

void TFrameMode2::SendData(TTervoxWriteNotify ACallback) {
  TTervoxMode2Data data;
  data.PVOffset = Edit(FEditOffset)->ChangedValue();
  data.PVGain = Edit(FEditGain)->ChangedValue();
  data.PVFilter = Edit(FEditFilter)->ChangedValueInt();
  const int range = ComboCode(FComboRange);
  data.PVRange = range == kUnchanged ? kUnchanged : range + 1;
  data.TemperatureUnit = ComboCode(FComboTemp);
  data.InputLowerLimit = Edit(FEditLowerLimit)->ChangedValue();
  data.InputUpperLimit = Edit(FEditUpperLimit)->ChangedValue();
  data.DecimalPoint = ComboCode(FComboDecimalPoint);
  data.ThermocoupleDirection = ComboCode(FComboDirection);
  if (const auto read = FDevice->Settings().Mode2.Get()) data.DiffData(*read);
  ::WriteMode(*FDevice, data, std::move(ACallback), this);
}
