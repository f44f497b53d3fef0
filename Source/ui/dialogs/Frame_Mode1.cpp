#include "Frame_Mode1.h"

#include "widgets/DqValControl.h"
#include "plant/Tervox_Device.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QVBoxLayout>

TFrameMode1::TFrameMode1(QWidget* AOwner)
    : TFrameModeBase(1, QStringLiteral("Mode 1: Key lock and SV limit Setting"), AOwner),
      FGroupBox1(new QGroupBox(Title(), this)) {
  FGroupBox1->setObjectName(QStringLiteral("GroupBox1"));
  FComboKeylock = NewCombo(FGroupBox1, QStringLiteral("ComboKeylock"),
                           {QStringLiteral("0 - OFF"),
                            QStringLiteral("1 - Possible to change Execution SV, Manual output value, and key lock level"),
                            QStringLiteral("2 - Possible to change Manual output value, and key lock level"),
                            QStringLiteral("3 - Possible to change key lock level (NUM accepted)"),
                            QStringLiteral("4 - Possible to change key lock level (NUM unaccepted, some model support)"),
                            QStringLiteral("5 - Possible to change basic screens and key lock level (some model support)")});
  FEditLower = NewEdit(FGroupBox1, QStringLiteral("EditLower"));
  FEditUpper = NewEdit(FGroupBox1, QStringLiteral("EditUpper"));
  FComboMode = NewCombo(FGroupBox1, QStringLiteral("ComboMode"),
                        {QStringLiteral("EEP"), QStringLiteral("STBY"), QStringLiteral("RUN")});
  auto* form = new QFormLayout(FGroupBox1);
  form->addRow(QStringLiteral("Keylock:"), FComboKeylock);
  form->addRow(QStringLiteral("SV limiter lower limit:"), FEditLower);
  form->addRow(QStringLiteral("SV limiter upper limit:"), FEditUpper);
  form->addRow(QStringLiteral("Power-on Op mode"), FComboMode);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(FGroupBox1);
  layout->addStretch(1);

  SetContainer(FGroupBox1, false);
  Edit(FEditLower)->SetParam(-9999, 9999, 0, 32767, true);
  Edit(FEditUpper)->SetParam(-9999, 9999, 0, 32767, true);
}

bool TFrameMode1::LoadData() {
  const std::shared_ptr<const TTervoxMode1Data> data = FDevice->Settings().Mode1.Get();
  if (!data || !FDevice->Synchronized()) return false;
  Edit(FEditLower)->SetDigit(FDevice->Digit());
  Edit(FEditUpper)->SetDigit(FDevice->Digit());
  LoadCombo(FComboKeylock, data->Keylock);
  LoadCombo(FComboMode, data->PowerOnMode);
  Edit(FEditLower)->SetValue(data->SVLowerLimit);
  Edit(FEditUpper)->SetValue(data->SVUpperLimit);
  return true;
}

void TFrameMode1::SendData(TTervoxWriteNotify ACallback) {
  TTervoxMode1Data data;
  data.Keylock = ComboCode(FComboKeylock);
  data.SVLowerLimit = Edit(FEditLower)->ChangedValue();
  data.SVUpperLimit = Edit(FEditUpper)->ChangedValue();
  data.PowerOnMode = ComboCode(FComboMode);
  if (const auto read = FDevice->Settings().Mode1.Get()) data.DiffData(*read);
  ::WriteMode(*FDevice, data, std::move(ACallback), this);
}
