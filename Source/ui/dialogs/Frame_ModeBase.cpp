#include "Frame_ModeBase.h"

#include "core/DqRoutine.h"
#include "widgets/DqValControl.h"
#include "plant/Tervox_Device.h"
#include "ui/base/Main_Routine.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>

TFrameModeBase::TFrameModeBase(int AMode, const QString& ATitle, QWidget* AOwner)
    : QWidget(AOwner), FMode(AMode), FTitle(ATitle) {
  setObjectName(QStringLiteral("FrameMode%1").arg(AMode));
}

TFrameModeBase::~TFrameModeBase() {
  if (!FContainer || FValCons) return;
  if (auto* group = qobject_cast<QGroupBox*>(FContainer))
    TDqValGroupBoxHelper(group).DeleteValue();
  else
    TDqValPanelHelper(FContainer).DeleteValue();
}

int TFrameModeBase::ComboCode(const QComboBox* ACombo) const {
  // Nothing selected (a code beyond the list): leave it unchanged.
  const TDqValComboBox* combo = Registry().ComboBoxs(ACombo);
  const int index = combo ? combo->ItemIndex() : -1;
  return index < 0 ? kUnchanged : index;
}

void TFrameModeBase::LoadCombo(QComboBox* ACombo, int ACode) {
  if (TDqValComboBox* combo = Registry().ComboBoxs(ACombo)) combo->SetItemIndex(ACode);
}

TDqValEdit* TFrameModeBase::Edit(QLineEdit* AEdit) const { return Registry().Edits(AEdit); }

QLineEdit* TFrameModeBase::NewEdit(QWidget* AParent, const QString& AName) {
  auto* edit = new QLineEdit(AParent);
  edit->setObjectName(AName);
  edit->setAlignment(Qt::AlignRight);
  edit->setMinimumWidth(90);
  return edit;
}

QComboBox* TFrameModeBase::NewCombo(QWidget* AParent, const QString& AName, const QStringList& AItems) {
  auto* combo = new QComboBox(AParent);
  combo->setObjectName(AName);
  combo->addItems(AItems);
  return combo;
}

std::function<void(const QString&)>& TFrameModeBase::ErrorSink() {
  static std::function<void(const QString&)> sink = [](const QString& AText) { ShowErrorBox(AText); };
  return sink;
}

void TFrameModeBase::SetContainer(QWidget* AContainer, bool APrivateRegistry) {
  FContainer = AContainer;
  if (APrivateRegistry) {
    FValCons = std::make_unique<TDqValControlList>();
    FValCons->AddAll(AContainer);
  } else if (auto* group = qobject_cast<QGroupBox*>(AContainer)) {
    TDqValGroupBoxHelper(group).AddValue();
  } else {
    TDqValPanelHelper(AContainer).AddValue();
  }
}

TDqValControlList& TFrameModeBase::Registry() const { return FValCons ? *FValCons : ValControls(); }

TDqValControl* TFrameModeBase::ContainerValue() const { return FContainer ? Registry().Controls(FContainer) : nullptr; }

void TFrameModeBase::EnableAll(bool AValue) {
  if (TDqValControl* value = ContainerValue()) value->SetEnabled(AValue);
}

bool TFrameModeBase::Enabled() const {
  const TDqValControl* value = ContainerValue();
  return value && value->Enabled();
}

bool TFrameModeBase::IsModify() const {
  const TDqValControl* value = ContainerValue();
  return value && value->IsModify();
}

void TFrameModeBase::NotifyReadFinished() {
  if (OnReadFinished) OnReadFinished();
}

void TFrameModeBase::ReadMode() {
  EnableAll(false);
  FHasData = false;
  if (!FDevice) {
    NotifyReadFinished();
    return;
  }
  ::ReadMode(
      *FDevice, FMode,
      [this] {
        FHasData = LoadData();
        if (FHasData) EnableAll(true);
        NotifyReadFinished();
      },
      this);
}

bool TFrameModeBase::WriteMode(TTervoxWriteNotify ACallback) {
  if (!FDevice || !FDevice->Synchronized()) {
    ErrorSink()(NotSynchronizedText());
    return false;
  }
  if (!FHasData) {
    // Grey, empty controls (an option board not fitted, a read that
    // failed) say nothing about the controller: writing them would set
    // its registers to whatever the lists start with.
    if (ACallback)
      QMetaObject::invokeMethod(this, [callback = std::move(ACallback)] { callback(TTervoxWriteResult{}); },
                                Qt::QueuedConnection);
    return true;
  }
  EnableAll(false);
  try {
    SendData(std::move(ACallback));
  } catch (const EDqException& e) {
    // Refused before anything was sent: the user's values stay.
    EnableAll(true);
    ErrorSink()(e.Message());
    return false;
  }
  return true;
}
