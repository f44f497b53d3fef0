#include "Frame_ModeProgram.h"

#include "widgets/DqValControl.h"
#include "plant/Tervox_Device.h"
#include "Frame_Mode5.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {

const QColor kSilver(192, 192, 192);

void Paint(TPushPanel* APanel, const QColor& ABackground, const QColor& AText) {
  QPalette palette = APanel->palette();
  palette.setColor(QPalette::Window, ABackground);
  palette.setColor(QPalette::WindowText, AText);
  APanel->setPalette(palette);
  for (QWidget* child : APanel->findChildren<QWidget*>()) child->setPalette(palette);
}

} // namespace

TFrameModeProgram::TFrameModeProgram(QWidget* AOwner)
    : TFrameModeBase(9, QStringLiteral("Step Program Setting"), AOwner), FPanel2(new QFrame(this)) {
  FPanel2->setObjectName(QStringLiteral("Panel2"));
  auto* group = new QGroupBox(QStringLiteral("Event Operating Point"), FPanel2);
  auto* grid = new QGridLayout(group);
  const char* names[10] = {"EditPatternTime", "EditPatternTimeMax", "EditStepNo",   "EditStepMax",
                           "EditStepTime",    "EditStepTimeNext",   "EditPIDOut1",  "EditPIDOut1Next",
                           "EditPIDOut2",     "EditPIDOut2Next"};
  const char* labels[5] = {"Time of Execution Pattern:", "Execution Step:", "Execution Step Time:",
                           "Execution OUT1 PID No.:", "Execution OUT2 PID No.:"};
  for (int row = 0; row < 5; ++row) {
    grid->addWidget(new QLabel(QString::fromLatin1(labels[row]), group), row, 0);
    for (int col = 0; col < 2; ++col) {
      QLineEdit* edit = NewEdit(group, QString::fromLatin1(names[2 * row + col]));
      FDisplay[static_cast<std::size_t>(2 * row + col)] = edit;
      grid->addWidget(edit, row, 1 + col);
    }
  }
  FPanelRun = new TPushPanel(QStringLiteral("Run"), kSilver, FPanel2);
  FPanelPrg = new TPushPanel(QStringLiteral("Prg"), kSilver, FPanel2);
  FPanelHold = new TPushPanel(QStringLiteral("Hold"), kSilver, FPanel2);
  FPanelSkip = new TPushPanel(QStringLiteral("Skip"), kSilver, FPanel2);
  FPanelSetting = new TPushPanel(QStringLiteral("Program & Step Setting"), QColor(0, 128, 128), FPanel2);
  FPanelRun->setObjectName(QStringLiteral("PanelRun"));
  FPanelPrg->setObjectName(QStringLiteral("PanelPrg"));
  FPanelHold->setObjectName(QStringLiteral("PanelHold"));
  FPanelSkip->setObjectName(QStringLiteral("PanelSkip"));
  FPanelSetting->setObjectName(QStringLiteral("PanelSetting"));
  FPanelRun->OnClick = [this] { PanelRunClick(); };
  FPanelPrg->OnClick = [this] { PanelPrgClick(); };
  FPanelHold->OnClick = [this] { PanelHoldClick(); };
  FPanelSkip->OnClick = [this] { PanelSkipClick(); };
  FPanelSetting->OnClick = [this] { PanelSettingClick(); };
  auto* keys = new QHBoxLayout;
  for (TPushPanel* panel : {FPanelRun, FPanelPrg, FPanelHold, FPanelSkip, FPanelSetting}) keys->addWidget(panel);
  auto* panelLayout = new QVBoxLayout(FPanel2);
  panelLayout->addWidget(group);
  panelLayout->addLayout(keys);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(Title(), this));
  layout->addWidget(FPanel2);
  layout->addStretch(1);

  SetContainer(FPanel2, true);
  for (TPushPanel* panel : {FPanelRun, FPanelPrg, FPanelHold, FPanelSkip, FPanelSetting})
    if (TDqValPanel* value = Registry().Panels(panel)) value->SetGrayDisable(true);
  const int maxima[5] = {10000, 40, 10000, 32767, 32767};
  for (int i = 0; i < 10; ++i) {
    TDqValEdit* value = Edit(FDisplay[static_cast<std::size_t>(i)]);
    // Shown, never written.
    value->SetParam(0, maxima[i / 2], 0, false);
    value->SetDisableBGColor(QColor(80, 80, 80));
    FDisplay[static_cast<std::size_t>(i)]->setReadOnly(true);
  }
}

TFrameModeProgram::~TFrameModeProgram() { EnableAll(false); }

void TFrameModeProgram::EnableAll(bool AValue) {
  if (FDevice) {
    if (AValue)
      FDevice->SetOnReadProgram([this] { LoadData(); });
    else
      FDevice->SetOnReadProgram({});
  }
  TFrameModeBase::EnableAll(AValue);
  RefreshColors();
}

void TFrameModeProgram::ReadProgramState(bool ARefresh) {
  if (ARefresh) EnableAll(false);
  if (!FDevice) {
    NotifyReadFinished();
    return;
  }
  ::ReadProgram(
      *FDevice,
      [this] {
        LoadData();
        NotifyReadFinished();
      },
      this);
}

bool TFrameModeProgram::LoadData() {
  const std::shared_ptr<const TTervoxModeProgramData> data = FDevice ? FDevice->Settings().ModeProgram.Get() : nullptr;
  if (!data) return false;
  const int values[10] = {data->PatternTime, data->PatternTimeMax, data->Step,        data->StepMax,
                          data->StepTime,    data->StepTimeNext,   data->PIDOut1,     data->PIDOut1Next,
                          data->PIDOut2,     data->PIDOut2Next};
  for (int i = 0; i < 10; ++i) Edit(FDisplay[static_cast<std::size_t>(i)])->SetValue(values[i]);
  if (data->Have != Enabled())
    EnableAll(data->Have);
  else
    RefreshColors();
  return data->Have;
}

void TFrameModeProgram::RefreshColors() {
  if (!Enabled() || !FDevice) return;
  auto paint = [](TPushPanel* APanel, bool AOn, const QColor& AColor) {
    Paint(APanel, AOn ? AColor : kSilver, AOn ? Qt::white : Qt::black);
  };
  paint(FPanelRun, FDevice->IsRun(), QColor(0, 128, 0));
  paint(FPanelPrg, FDevice->IsPrg(), QColor(128, 0, 128));
  paint(FPanelHold, FDevice->IsHold(), QColor(255, 0, 0));
  paint(FPanelSkip, FDevice->IsSkip(), QColor(0, 0, 255));
}

void TFrameModeProgram::PanelRunClick() {
  if (!FDevice) return;
  FDevice->SetIsRun(!FDevice->IsRun());
  ReadProgramState(false);
}

void TFrameModeProgram::PanelPrgClick() {
  if (!FDevice) return;
  FDevice->SetIsPrg(!FDevice->IsPrg());
  ReadProgramState(false);
}

void TFrameModeProgram::PanelHoldClick() {
  if (!FDevice) return;
  FDevice->SetIsHold(!FDevice->IsHold());
  ReadProgramState(false);
}

void TFrameModeProgram::PanelSkipClick() {
  if (FDevice) FDevice->SetIsSkip(!FDevice->IsSkip());
}

void TFrameModeProgram::PanelSettingClick() {
  if (FDevice && OnSetting) OnSetting(*FDevice);
}
