#include "Frame_OptionGeneral.h"

#include "store/Tervox_Config.h"
#include "widgets/Tervox_Monitor.h"
#include "Form_ChangePassword.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

QButtonGroup* AddChoices(QWidget* AOwner, QVBoxLayout* ALayout, const QString& ATitle, const QString& AName,
                         const std::initializer_list<std::pair<const char*, int>>& AChoices) {
  auto* box = new QGroupBox(ATitle, AOwner);
  box->setObjectName(AName);
  auto* boxLayout = new QVBoxLayout(box);
  auto* group = new QButtonGroup(box);
  for (const auto& [caption, id] : AChoices) {
    auto* radio = new QRadioButton(QString::fromLatin1(caption), box);
    radio->setObjectName(AName + QString::number(id));
    group->addButton(radio, id);
    boxLayout->addWidget(radio);
  }
  ALayout->addWidget(box);
  return group;
}

} // namespace

TFrameOptionGeneral::TFrameOptionGeneral(QWidget* AOwner)
    : TDqFrame(AOwner), FButtonChangePassword(new QPushButton(QStringLiteral("Change current user password"), this)) {
  setObjectName(QStringLiteral("FrameOptionGeneral"));
  auto* layout = new QVBoxLayout(this);
  FButtonChangePassword->setObjectName(QStringLiteral("ButtonChangePassword"));
  layout->addWidget(FButtonChangePassword, 0, Qt::AlignLeft);
  FStartupState = AddChoices(this, layout, QStringLiteral("Window State on Startup"), QStringLiteral("RadioStartup"),
                             {{"Program default", 1}, {"Last state used", 2}, {"Full screen", 3}});
  FDisplayMode = AddChoices(this, layout, QStringLiteral("Device Display Mode"), QStringLiteral("RadioDisplay"),
                            {{"LED", 1}, {"Value", 2}});
  layout->addStretch(1);

  int state = Config()->GetValueIntDef(QStringLiteral("StartupState"), 1);
  if (state < 1 || state > 3) state = 1;
  FStartupState->button(state)->setChecked(true);
  const int mode = Config()->GetValueIntDef(QStringLiteral("DeviceDisplayMode"), 2) == 2 ? 2 : 1;
  FDisplayMode->button(mode)->setChecked(true);

  connect(FButtonChangePassword, &QPushButton::clicked, this, [this] {
    TFormChangePassword dialog(this);
    dialog.exec();
  });
  connect(FStartupState, &QButtonGroup::idClicked, this,
          [](int AId) { Config()->SetValueInt(QStringLiteral("StartupState"), AId); });
  connect(FDisplayMode, &QButtonGroup::idClicked, this,
          [](int AId) {
            Config()->SetValueInt(QStringLiteral("DeviceDisplayMode"), AId);
            SetDeviceDisplayMode(AId); // the panels show it from their next picture
          });
}
