#include "Form_Manual.h"

#include "widgets/DqValControl.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceRequests.h"
#include "plant/Tervox_DeviceSettings.h"
#include "ui/base/Main_Routine.h"

#include <QApplication>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TFormManual::TFormManual(QWidget* AOwner)
    : QDialog(AOwner), FLabelDevice(new QLabel(QStringLiteral("(No device)"), this)), FPanelMain(new QFrame(this)),
      FEditOut1(new QLineEdit(FPanelMain)), FEditOut2(new QLineEdit(FPanelMain)),
      FButtonManual(new QPushButton(QStringLiteral("Manual"), this)),
      FButtonAuto(new QPushButton(QStringLiteral("Auto"), this)),
      FButtonCancel(new QPushButton(QStringLiteral("Cancel"), this)) {
  setObjectName(QStringLiteral("FormManual"));
  setWindowTitle(QStringLiteral("Manual setting"));
  FLabelDevice->setObjectName(QStringLiteral("LabelDevice"));
  FPanelMain->setObjectName(QStringLiteral("PanelMain"));
  FEditOut1->setObjectName(QStringLiteral("EditOut1"));
  FEditOut2->setObjectName(QStringLiteral("EditOut2"));
  for (QLineEdit* edit : {FEditOut1, FEditOut2}) {
    edit->setAlignment(Qt::AlignRight);
    edit->setFixedWidth(90);
  }
  FButtonManual->setObjectName(QStringLiteral("ButtonManual"));
  FButtonAuto->setObjectName(QStringLiteral("ButtonAuto"));
  FButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));

  auto* header = new QHBoxLayout;
  header->addWidget(new QLabel(QStringLiteral("Device name:"), this));
  header->addWidget(FLabelDevice, 1);
  auto* form = new QFormLayout(FPanelMain);
  form->addRow(QStringLiteral("Control Output 1 Value:"), FEditOut1);
  form->addRow(QStringLiteral("Control Output 2  Value:"), FEditOut2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(FButtonManual);
  buttons->addWidget(FButtonAuto);
  buttons->addWidget(FButtonCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(header);
  layout->addWidget(FPanelMain);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  TDqValPanelHelper(FPanelMain).AddValue();
  TDqValEditHelper(FEditOut1).SetParam(0, 100.0, 1, 32767, true);
  TDqValEditHelper(FEditOut2).SetParam(0, 100.0, 1, 32767, true);
  connect(FButtonManual, &QPushButton::clicked, this, &TFormManual::ButtonManualClick);
  connect(FButtonAuto, &QPushButton::clicked, this, &TFormManual::ButtonAutoClick);
  connect(FButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TFormManual::~TFormManual() { TDqValPanelHelper(FPanelMain).DeleteValue(); }

void TFormManual::SetPanelEnabled(bool AValue) { TDqValPanelHelper(FPanelMain).SetValueEnabled(AValue); }

void TFormManual::SetDevice(std::shared_ptr<TTervoxDevice> ADevice) {
  if (ADevice == FDevice) return;
  FDevice = std::move(ADevice);
  FLabelDevice->setText(FDevice ? FDevice->DeviceData().Name : QStringLiteral("(No device)"));
  SetPanelEnabled(false);
  if (FDevice) ReadManual(*FDevice, [this] { ReadFinished(); }, this);
}

void TFormManual::ReadFinished() {
  const std::shared_ptr<const TTervoxManualData> manual = FDevice ? FDevice->Settings().Manual.Get() : nullptr;
  if (!manual) return;
  TDqValEditHelper(FEditOut1).SetValue(manual->Out1);
  TDqValEditHelper(FEditOut2).SetValue(manual->Out2);
  SetPanelEnabled(true);
}

void TFormManual::Write(bool AManual) {
  if (!FDevice || !FDevice->Synchronized()) {
    ShowErrorBox(QStringLiteral("Device not synchronized."));
    return;
  }
  TTervoxManualData data;
  data.IsManual = AManual;
  // The outputs as shown: manual operation starts from them.
  data.Out1 = TDqValEditHelper(FEditOut1).Value();
  data.Out2 = TDqValEditHelper(FEditOut2).Value();
  SetPanelEnabled(false);
  try {
    WriteManual(*FDevice, data, [this](const TTervoxWriteResult& AResult) { WriteFinished(AResult); }, this);
  } catch (...) {
    SetPanelEnabled(true);
    ShowException(std::current_exception());
  }
}

void TFormManual::WriteFinished(const TTervoxWriteResult& AResult) {
  if (AResult.Success) {
    accept();
    return;
  }
  SetPanelEnabled(true);
  ShowErrorBox(AResult.Message());
}

void LaunchManual(TTervoxDevice& ADevice) {
  TFormManual dialog(QApplication::activeWindow());
  dialog.SetDevice(ADevice.shared_from_this());
  dialog.exec();
}
