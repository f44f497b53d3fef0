#include "Form_Mode.h"

#include "plant/Tervox_Device.h"
#include "Form_ProgramSetting.h"
#include "plant/Tervox_DeviceSettings.h"
#include "Frame_Mode1.h"
#include "Frame_Mode2.h"
#include "Frame_Mode3.h"
#include "Frame_Mode4.h"
#include "Frame_Mode5.h"
#include "Frame_Mode6.h"
#include "Frame_ModeBase.h"
#include "Frame_ModeProgram.h"
#include "ui/base/Main_Routine.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

TFormMode::TFormMode(QWidget* AOwner)
    : QDialog(AOwner), FPages(new QStackedWidget(this)), FLabelName(new QLabel(QStringLiteral("(No device)"), this)),
      FButtonOK(new QPushButton(QStringLiteral("OK"), this)),
      FButtonApply(new QPushButton(QStringLiteral("Apply"), this)),
      FButtonCancel(new QPushButton(QStringLiteral("Cancel"), this)) {
  setObjectName(QStringLiteral("FormMode"));
  setWindowTitle(QStringLiteral("Mode Setting"));
  setMinimumWidth(703);
  FLabelName->setObjectName(QStringLiteral("LabelName"));
  FButtonOK->setObjectName(QStringLiteral("ButtonOK"));
  FButtonApply->setObjectName(QStringLiteral("ButtonApply"));
  FButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));

  auto* toolBar = new QToolBar(this);
  toolBar->setObjectName(QStringLiteral("ToolBarMode"));
  FPageFrames[1] = new TFrameMode1(FPages);
  FPageFrames[2] = new TFrameMode2(FPages);
  FPageFrames[3] = new TFrameMode3(FPages);
  FPageFrames[4] = new TFrameMode4(FPages);
  FPageFrames[5] = new TFrameMode5(FPages);
  FPageFrames[6] = new TFrameMode6(FPages);
  FPageFrames[7] = new TFrameMode7(FPages);
  FPageFrames[8] = new TFrameMode8(FPages);
  auto* program = new TFrameModeProgram(FPages);
  program->OnSetting = [](TTervoxDevice& ADevice) { LaunchProgramSetting(ADevice); };
  FPageFrames[9] = program;
  for (int n = 1; n <= kPages; ++n) {
    if (!FPageFrames[n]) continue;
    FPages->addWidget(FPageFrames[n]);
    FPageFrames[n]->OnReadFinished = [this] { ReadFinished(); };
    auto* button = new QToolButton(toolBar);
    button->setObjectName(n == 9 ? QStringLiteral("ToolButtonProgram") : QStringLiteral("ToolButtonMode%1").arg(n));
    button->setText(n == 9 ? QStringLiteral("Program") : QStringLiteral("Mode %1").arg(n));
    button->setCheckable(true);
    button->setToolTip(FPageFrames[n]->Title());
    toolBar->addWidget(button);
    connect(button, &QToolButton::clicked, this, [this, n] {
      // The pressed look follows the page on show, not the click.
      FToolButtons[n]->setChecked(FActiveMode == n);
      SwitchMode(n);
    });
    FToolButtons[n] = button;
  }
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(new QLabel(QStringLiteral("Device Name:"), this));
  bottom->addWidget(FLabelName, 1);
  bottom->addWidget(FButtonOK);
  bottom->addWidget(FButtonApply);
  bottom->addWidget(FButtonCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(toolBar);
  layout->addWidget(FPages, 1);
  layout->addLayout(bottom);

  connect(FButtonOK, &QPushButton::clicked, this, &TFormMode::ButtonOKClick);
  connect(FButtonApply, &QPushButton::clicked, this, &TFormMode::ButtonApplyClick);
  connect(FButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
  SetButtonsEnabled(false);
}

TFormMode::~TFormMode() = default;

TFrameModeBase* TFormMode::PageFrames(int AMode) const {
  return AMode >= 1 && AMode <= kPages ? FPageFrames[static_cast<std::size_t>(AMode)] : nullptr;
}

QToolButton* TFormMode::ToolButtonMode(int AMode) const {
  return AMode >= 1 && AMode <= kPages ? FToolButtons[static_cast<std::size_t>(AMode)] : nullptr;
}

void TFormMode::SetButtonsEnabled(bool AValue) {
  FButtonOK->setEnabled(AValue);
  FButtonApply->setEnabled(AValue);
  FButtonCancel->setEnabled(AValue);
}

void TFormMode::SetDevice(std::shared_ptr<TTervoxDevice> ADevice) {
  if (ADevice == FDevice) return;
  FDevice = std::move(ADevice);
  FLabelName->setText(FDevice ? FDevice->DeviceData().Name : QStringLiteral("(No device)"));
  ShowMode(1);
}

void TFormMode::ShowMode(int AMode) {
  SetButtonsEnabled(false);
  TFrameModeBase* page = PageFrames(AMode);
  if (!page) {
    FActiveMode = 0;
    accept();
    return;
  }
  // A page left behind stops (the program page's live refresh ends).
  if (TFrameModeBase* old = ActiveFrame(); old && old != page) old->EnableAll(false);
  FActiveMode = AMode;
  page->SetDevice(FDevice);
  FPages->setCurrentWidget(page);
  for (int n = 1; n <= kPages; ++n)
    if (FToolButtons[n]) FToolButtons[n]->setChecked(n == AMode);
  if (FDevice && FDevice->Synchronized()) {
    page->ReadMode();
  } else {
    // Nothing to read from: the page stays disabled, so do the buttons.
    page->EnableAll(false);
    FChanging = false;
  }
}

void TFormMode::ReadFinished() {
  SetButtonsEnabled(true);
  FChanging = false;
}

void TFormMode::SwitchMode(int AMode) {
  if (FChanging) return;
  FChanging = true;
  TFrameModeBase* active = ActiveFrame();
  bool writeFirst = false;
  if (AMode != FActiveMode && active && active->IsModify()) {
    const int answer = ShowDialogYNC(QStringLiteral("Apply mode %1 changed?").arg(FActiveMode));
    if (answer == mrCancel || answer == mrNone) {
      FChanging = false;
      return;
    }
    writeFirst = answer == mrYes;
  }
  if (writeFirst)
    ApplyMode(AMode);
  else
    ShowMode(AMode);
}

void TFormMode::ApplyMode(int ANewMode) {
  SetButtonsEnabled(false);
  FNewMode = ANewMode;
  TFrameModeBase* active = ActiveFrame();
  if (!active || !active->Writable()) {
    ShowMode(ANewMode);
    return;
  }
  const bool started = active->WriteMode(
      [this, ANewMode](const TTervoxWriteResult& AResult) { WriteFinished(ANewMode, AResult); });
  if (!started) {
    // Nothing was sent. A refused value leaves the page editable; a
    // controller out of sync leaves the buttons off until a page reads.
    if (FDevice && FDevice->Synchronized()) SetButtonsEnabled(true);
    FChanging = false;
  }
}

void TFormMode::WriteFinished(int ANewMode, const TTervoxWriteResult& AResult) {
  if (!AResult.Success) {
    // The page keeps the user's values for another try.
    if (TFrameModeBase* active = ActiveFrame()) active->EnableAll(true);
    SetButtonsEnabled(true);
    FChanging = false;
    TFrameModeBase::ErrorSink()(AResult.Message());
    return;
  }
  ShowMode(ANewMode);
}

void TFormMode::done(int AResult) {
  if (AResult == QDialog::Rejected && !FClosing) {
    FClosing = true;
    TFrameModeBase* active = ActiveFrame();
    if (active && active->IsModify() &&
        ShowDialogYNC(QStringLiteral("Apply mode %1 changed?").arg(FActiveMode)) == mrYes) {
      // Written after the dialog has gone: nothing reports back to it.
      active->WriteMode({});
    }
    FActiveMode = 0;
  }
  QDialog::done(AResult);
}

void LaunchMode(TTervoxDevice& ADevice) {
  TFormMode dialog(QApplication::activeWindow());
  dialog.SetDevice(ADevice.shared_from_this());
  dialog.exec();
}
