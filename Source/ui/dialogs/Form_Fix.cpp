#include "Form_Fix.h"

#include "core/DqRoutine.h"
#include "widgets/DqValControl.h"
#include "plant/Tervox_Device.h"
#include "plant/Tervox_DeviceRequests.h"
#include "plant/Tervox_DeviceSettings.h"
#include "ui/base/Main_Routine.h"

#include <QApplication>
#include <QComboBox>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLineEdit* NewEdit(QWidget* AParent, const QString& AName) {
  auto* edit = new QLineEdit(AParent);
  edit->setObjectName(AName);
  edit->setAlignment(Qt::AlignRight);
  edit->setFixedWidth(90);
  return edit;
}

} // namespace

TFormFix::TFormFix(QWidget* AOwner)
    : QDialog(AOwner), FLabelDevice(new QLabel(QStringLiteral("(no device)"), this)), FPanelMain(new QFrame(this)),
      FComboFix(new QComboBox(FPanelMain)), FButtonOK(new QPushButton(QStringLiteral("OK"), this)),
      FButtonCancel(new QPushButton(QStringLiteral("Cancel"), this)) {
  setObjectName(QStringLiteral("FormFix"));
  setWindowTitle(QStringLiteral("Fix Mode Setting"));
  FLabelDevice->setObjectName(QStringLiteral("LabelDevice"));
  FPanelMain->setObjectName(QStringLiteral("PanelMain"));
  FComboFix->setObjectName(QStringLiteral("ComboFix"));
  FComboFix->addItems({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4")});
  FButtonOK->setObjectName(QStringLiteral("ButtonOK"));
  FButtonOK->setDefault(true);
  FButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));

  auto* header = new QHBoxLayout;
  header->addWidget(new QLabel(QStringLiteral("Device name:"), this));
  header->addWidget(FLabelDevice, 1);

  auto* panel = new QVBoxLayout(FPanelMain);
  auto* grid = new QHBoxLayout;
  for (int n = 0; n < 4; ++n) {
    auto* group = new QGroupBox(QStringLiteral("FIX mode SV%1").arg(n + 1), FPanelMain);
    group->setObjectName(QStringLiteral("GroupSV%1").arg(n + 1));
    auto* form = new QFormLayout(group);
    FEditSV[n] = NewEdit(group, QStringLiteral("EditSV%1").arg(n + 1));
    FEditPIDOut1[n] = NewEdit(group, QStringLiteral("EditPID%1Out1").arg(n + 1));
    FEditPIDOut2[n] = NewEdit(group, QStringLiteral("EditPID%1Out2").arg(n + 1));
    form->addRow(QStringLiteral("SV%1:").arg(n + 1), FEditSV[n]);
    form->addRow(QStringLiteral("Control Output 1  PID No.:"), FEditPIDOut1[n]);
    form->addRow(QStringLiteral("Control Output 2  PID No.:"), FEditPIDOut2[n]);
    grid->addWidget(group);
  }
  panel->addLayout(grid);
  auto* fix = new QHBoxLayout;
  fix->addWidget(new QLabel(QStringLiteral("Operation FIX-SV No.:"), FPanelMain));
  fix->addWidget(FComboFix);
  fix->addStretch(1);
  panel->addLayout(fix);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(FButtonOK);
  buttons->addWidget(FButtonCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(header);
  layout->addWidget(FPanelMain);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  TDqValPanelHelper(FPanelMain).AddValue();
  for (int n = 0; n < 4; ++n) {
    TDqValEditHelper(FEditSV[n]).SetParam(-1999, 9999, 0, 32767, true);
    TDqValEditHelper(FEditPIDOut1[n]).SetParam(1, 3, 0, 32767, true);
    TDqValEditHelper(FEditPIDOut2[n]).SetParam(1, 3, 0, 32767, true);
  }
  connect(FButtonOK, &QPushButton::clicked, this, &TFormFix::ButtonOKClick);
  connect(FButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TFormFix::~TFormFix() { TDqValPanelHelper(FPanelMain).DeleteValue(); }

void TFormFix::SetPanelEnabled(bool AValue) { TDqValPanelHelper(FPanelMain).SetValueEnabled(AValue); }

void TFormFix::SetDevice(std::shared_ptr<TTervoxDevice> ADevice) {
  if (ADevice == FDevice) return;
  FDevice = std::move(ADevice);
  FLabelDevice->setText(FDevice ? FDevice->DeviceName() : QStringLiteral("(no device)"));
  SetPanelEnabled(false);
  if (FDevice) ReadFix(*FDevice, [this] { ReadFinished(); }, this);
}

void TFormFix::ReadFinished() {
  const std::shared_ptr<const TTervoxFixData> fix = FDevice ? FDevice->Settings().ModeFix.Get() : nullptr;
  if (!fix) return; // nothing read: only Cancel is of use
  for (int n = 0; n < 4; ++n) {
    const TTervoxFixSV& entry = fix->SV[static_cast<std::size_t>(n)];
    TDqValEditHelper sv(FEditSV[n]);
    // The controller's own input range and decimals.
    sv.SetParam(FDevice->InputLowerLimit_Float(), FDevice->InputUpperLimit_Float(), FDevice->Digit(), 32767, true);
    sv.SetValue(entry.SV);
    TDqValEditHelper(FEditPIDOut1[n]).SetValue(entry.PIDOut1);
    TDqValEditHelper(FEditPIDOut2[n]).SetValue(entry.PIDOut2);
  }
  ValControls().ComboBoxs(FComboFix)->SetValue(fix->SVNumber);
  SetPanelEnabled(true);
}

void TFormFix::ButtonOKClick() {
  if (!FDevice || !FDevice->Synchronized()) {
    ShowErrorBox(QStringLiteral("Device not synchronized."));
    return;
  }
  // Only what the user changed; the rest stays as the controller has it.
  TTervoxFixData data;
  for (int n = 0; n < 4; ++n) {
    TTervoxFixSV& entry = data.SV[static_cast<std::size_t>(n)];
    entry.SV = TDqValEditHelper(FEditSV[n]).ChangedValue();
    entry.PIDOut1 = TDqValEditHelper(FEditPIDOut1[n]).ChangedValueInt();
    entry.PIDOut2 = TDqValEditHelper(FEditPIDOut2[n]).ChangedValueInt();
  }
  const TDqValComboBox* combo = ValControls().ComboBoxs(FComboFix);
  data.SVNumber = combo->IsModify() ? combo->ValueInt() : kUnchanged;
  FExit = true;
  SetPanelEnabled(false);
  try {
    WriteFix(*FDevice, data, [this](const TTervoxWriteResult& AResult) { WriteFinished(AResult); }, this);
  } catch (...) {
    // Refused before anything was sent (a value the register cannot hold).
    FExit = false;
    SetPanelEnabled(true);
    ShowException(std::current_exception());
  }
}

void TFormFix::WriteFinished(const TTervoxWriteResult& AResult) {
  if (AResult.Success) {
    if (FExit) accept();
    return;
  }
  // The user's values stay for another try.
  FExit = false;
  SetPanelEnabled(true);
  ShowErrorBox(AResult.Message());
}

void LaunchFix(TTervoxDevice& ADevice) {
  TFormFix dialog(QApplication::activeWindow());
  dialog.SetDevice(ADevice.shared_from_this());
  dialog.exec();
}
