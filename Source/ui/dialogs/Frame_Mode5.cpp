#include "Frame_Mode5.h"

#include "widgets/DqValControl.h"
#include "plant/Tervox_Device.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QVBoxLayout>

TPushPanel::TPushPanel(const QString& ACaption, const QColor& AColor, QWidget* AParent) : QFrame(AParent) {
  setFrameStyle(QFrame::Panel | QFrame::Raised);
  setLineWidth(2);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, AColor);
  palette.setColor(QPalette::WindowText, Qt::white);
  setPalette(palette);
  setAutoFillBackground(true);
  setMinimumSize(56, 28);
  auto* label = new QLabel(ACaption, this);
  label->setAlignment(Qt::AlignCenter);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->addWidget(label);
}

void TPushPanel::mousePressEvent(QMouseEvent* AEvent) {
  if (AEvent->button() == Qt::LeftButton) setFrameShadow(QFrame::Sunken);
}

void TPushPanel::mouseReleaseEvent(QMouseEvent* AEvent) {
  if (AEvent->button() != Qt::LeftButton) return;
  setFrameShadow(QFrame::Raised);
  if (rect().contains(AEvent->position().toPoint()) && isEnabled() && OnClick) OnClick();
}

QStringList TFrameMode5::OperationModes() {
  return {QStringLiteral("NoAlarm"),
          QStringLiteral("HA - Upper alarm"),
          QStringLiteral("LA - Lower alarm"),
          QStringLiteral("So - Scale over alarm"),
          QStringLiteral("Hd - Maximum alarm"),
          QStringLiteral("Ld - Minimum alarm"),
          QStringLiteral("id - Within deviation"),
          QStringLiteral("od - Without deviation"),
          QStringLiteral("run - RUN signal"),
          QStringLiteral("ct1 - Control loop 1"),
          QStringLiteral("ct2 - Control loop 2"),
          QStringLiteral("StP - Step signal"),
          QStringLiteral("P_E - Pattern end signal"),
          QStringLiteral("End - Program end signal"),
          QStringLiteral("HoLd - Hold signal"),
          QStringLiteral("ProG - Program signal"),
          QStringLiteral("u_SL - Up Slope signal"),
          QStringLiteral("d_SL - Down Slope signal"),
          QStringLiteral("GuA - Guarantee signal")};
}

TFrameMode5::TFrameMode5(QWidget* AOwner)
    : TFrameModeBase(5, QStringLiteral("Mode 5: Event Setting"), AOwner), FPanel2(new QFrame(this)) {
  FPanel2->setObjectName(QStringLiteral("Panel2"));
  auto* grid = new QGridLayout;
  for (int k = 0; k < 3; ++k) {
    const int n = k + 1;
    auto* event = new QGroupBox(QStringLiteral("Event %1").arg(n), FPanel2);
    event->setObjectName(QStringLiteral("GroupEvent%1").arg(n));
    FComboOpMode[k] = NewCombo(event, QStringLiteral("ComboOpMode%1").arg(n), OperationModes());
    FEditGap[k] = NewEdit(event, QStringLiteral("EditGap%1").arg(n));
    FComboStandby[k] = NewCombo(event, QStringLiteral("ComboStandby%1").arg(n),
                                {QStringLiteral("0 - No standby"), QStringLiteral("1 - Standby Power On"),
                                 QStringLiteral("2 - Standby Cases")});
    FComboLatch[k] = NewCombo(event, QStringLiteral("ComboLatch%1").arg(n), {QStringLiteral("OFF"), QStringLiteral("ON")});
    FComboOutChar[k] = NewCombo(event, QStringLiteral("ComboOutChar%1").arg(n),
                                {QStringLiteral("NO - Normaly Open"), QStringLiteral("NC - Normaly Closing")});
    auto* form = new QFormLayout(event);
    form->addRow(QStringLiteral("Operation Mode:"), FComboOpMode[k]);
    form->addRow(QStringLiteral("Different-Gap:"), FEditGap[k]);
    form->addRow(QStringLiteral("Standby Operation:"), FComboStandby[k]);
    form->addRow(QStringLiteral("Latching:"), FComboLatch[k]);
    form->addRow(QStringLiteral("Output Charateristics:"), FComboOutChar[k]);
    FGroupEvent[k] = event;
    grid->addWidget(event, 0, k);

    auto* delay = new QGroupBox(QStringLiteral("Event %1 Delay Mode").arg(n), FPanel2);
    delay->setObjectName(QStringLiteral("GroupDelay%1").arg(n));
    FComboDelay[k] = NewCombo(delay, QStringLiteral("ComboDelay%1").arg(n),
                              {QStringLiteral("0 - Delay"), QStringLiteral("1 - Timer1"), QStringLiteral("2 - Timer2")});
    FEditDelayON[k] = NewEdit(delay, QStringLiteral("EditDelayON%1").arg(n));
    FEditDelayOFF[k] = NewEdit(delay, QStringLiteral("EditDelayOFF%1").arg(n));
    FEditTimerON[k] = NewEdit(delay, QStringLiteral("EditTimerON%1").arg(n));
    FEditTimerOFF[k] = NewEdit(delay, QStringLiteral("EditTimerOFF%1").arg(n));
    FComboTimerUnit[k] = NewCombo(delay, QStringLiteral("ComboTimerUnit%1").arg(n),
                                  {QStringLiteral("0 - second"), QStringLiteral("1 - minute")});
    auto* delayForm = new QFormLayout(delay);
    delayForm->addRow(QString(), FComboDelay[k]);
    delayForm->addRow(QStringLiteral("ON Delay Time:"), FEditDelayON[k]);
    delayForm->addRow(QStringLiteral("OFF Delay Time:"), FEditDelayOFF[k]);
    delayForm->addRow(QStringLiteral("Timer ON period:"), FEditTimerON[k]);
    delayForm->addRow(QStringLiteral("Timer OFF period:"), FEditTimerOFF[k]);
    delayForm->addRow(QStringLiteral("Timer unit:"), FComboTimerUnit[k]);
    FGroupDelay[k] = delay;
    grid->addWidget(delay, 1, k);
  }
  auto* operate = new QGroupBox(FPanel2);
  operate->setObjectName(QStringLiteral("GroupOperate"));
  auto* operateLayout = new QHBoxLayout(operate);
  for (int k = 0; k < 3; ++k) {
    FEditPoint[k] = NewEdit(operate, QStringLiteral("EditPoint%1").arg(k + 1));
    operateLayout->addWidget(new QLabel(QStringLiteral("EV %1:").arg(k + 1), operate));
    operateLayout->addWidget(FEditPoint[k]);
  }
  auto* latching = new QGroupBox(FPanel2);
  latching->setObjectName(QStringLiteral("GroupLatching"));
  auto* latchingLayout = new QHBoxLayout(latching);
  for (int i = 0; i < 4; ++i) {
    const bool all = i == 3;
    auto* panel = new TPushPanel(all ? QStringLiteral("ALL") : QStringLiteral("EV %1").arg(i + 1),
                                 all ? QColor(160, 0, 0) : QColor(255, 0, 0), latching);
    panel->setObjectName(all ? QStringLiteral("PanelReleaseAll") : QStringLiteral("PanelRelease%1").arg(i + 1));
    // At once, whatever the page holds unsaved.
    panel->OnClick = [this, i] {
      if (FDevice) FDevice->EVLatchingRelease(i + 1);
    };
    FPanelRelease[static_cast<std::size_t>(i)] = panel;
    latchingLayout->addWidget(panel);
  }
  auto* points = new QFormLayout;
  points->addRow(QStringLiteral("Event Operating Point:"), operate);
  points->addRow(QStringLiteral("Latching release:"), latching);
  auto* panelLayout = new QVBoxLayout(FPanel2);
  panelLayout->addLayout(grid);
  panelLayout->addLayout(points);
  auto* title = new QLabel(Title(), this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(title);
  layout->addWidget(FPanel2);
  layout->addStretch(1);

  SetContainer(FPanel2, false);
  for (TPushPanel* panel : FPanelRelease) Registry().Panels(panel)->SetGrayDisable(true);
  for (int k = 0; k < 3; ++k) {
    Edit(FEditGap[k])->SetParam(1, 999, 0, 32767, true);
    Edit(FEditPoint[k])->SetParam(-1999, 9999, 0, 32767, true);
    Edit(FEditDelayON[k])->SetParam(0, 8000, 0, 32767, true);
    Edit(FEditDelayOFF[k])->SetParam(0, 8000, 0, 32767, true);
    Edit(FEditTimerON[k])->SetParam(1, 600, 0, 32767, true);
    Edit(FEditTimerOFF[k])->SetParam(0, 600, 0, 32767, true);
  }
}

bool TFrameMode5::LoadData() {
  const std::shared_ptr<const TTervoxMode5Data> data = FDevice->Settings().Mode5.Get();
  if (!data) return false;
  auto scaled = [this](int ARaw) { return FDevice->GetFloatValue(ARaw); };
  const int digit = FDevice->Digit();
  bool anyEvent = false;
  for (int k = 0; k < 3; ++k) {
    const TTervoxEventSetting& ev = data->EV[static_cast<std::size_t>(k)];
    Edit(FEditGap[k])->SetParam(scaled(1), scaled(999), digit, 32767, true);
    Registry().Controls(FGroupEvent[k])->SetEnabled(ev.Have);
    Registry().Controls(FPanelRelease[static_cast<std::size_t>(k)])->SetEnabled(ev.Have);
    if (ev.Have) {
      anyEvent = true;
      Edit(FEditGap[k])->SetValue(ev.Gap);
      LoadCombo(FComboOpMode[k], ev.OpMode);
      LoadCombo(FComboStandby[k], ev.Standby);
      LoadCombo(FComboLatch[k], ev.Latch);
      LoadCombo(FComboOutChar[k], ev.OutChar);
      Edit(FEditPoint[k])->SetParam(scaled(-1999), scaled(9999), digit, 32767, true);
      Edit(FEditPoint[k])->SetValue(ev.Point);
    } else {
      Edit(FEditPoint[k])->SetEnabled(false);
    }
    if (ev.HaveDelay) {
      LoadCombo(FComboDelay[k], ev.Delay);
      Edit(FEditDelayON[k])->SetValue(ev.DelayON);
      Edit(FEditDelayOFF[k])->SetValue(ev.DelayOFF);
      Edit(FEditTimerON[k])->SetValue(ev.TimerON);
      Edit(FEditTimerOFF[k])->SetValue(ev.TimerOFF);
      LoadCombo(FComboTimerUnit[k], ev.TimerUnit);
    }
    Registry().Controls(FGroupDelay[k])->SetEnabled(ev.HaveDelay);
  }
  Registry().Controls(FPanelRelease[3])->SetEnabled(anyEvent);
  return true;
}

void TFrameMode5::SendData(TTervoxWriteNotify ACallback) {
  TTervoxMode5Data data;
  for (int k = 0; k < 3; ++k) {
    TTervoxEventSetting& ev = data.EV[static_cast<std::size_t>(k)];
    ev.Have = Registry().Controls(FGroupEvent[k])->Enabled();
    ev.HaveDelay = Registry().Controls(FGroupDelay[k])->Enabled();
    ev.OpMode = ComboCode(FComboOpMode[k]);
    ev.Point = Edit(FEditPoint[k])->ChangedValue();
    ev.Gap = Edit(FEditGap[k])->ChangedValue();
    ev.Standby = ComboCode(FComboStandby[k]);
    ev.Latch = ComboCode(FComboLatch[k]);
    ev.OutChar = ComboCode(FComboOutChar[k]);
    ev.Delay = ComboCode(FComboDelay[k]);
    ev.DelayON = Edit(FEditDelayON[k])->ChangedValueInt();
    ev.DelayOFF = Edit(FEditDelayOFF[k])->ChangedValueInt();
    ev.TimerON = Edit(FEditTimerON[k])->ChangedValueInt();
    ev.TimerOFF = Edit(FEditTimerOFF[k])->ChangedValueInt();
    ev.TimerUnit = ComboCode(FComboTimerUnit[k]);
  }
  if (const auto read = FDevice->Settings().Mode5.Get()) data.DiffData(*read);
  ::WriteMode(*FDevice, data, std::move(ACallback), this);
}
