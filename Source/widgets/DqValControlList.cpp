// The list of value controls a dialog keeps, its lookups by widget and name,
// and the helpers that add a form's controls to it.
#include "DqValControl.h"

#include "core/DqRoutine.h"

#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLineEdit>

namespace {

[[noreturn]] void ListError() { throw EDqException(QStringLiteral("ValControlList error.")); }

bool IsPanelKind(const QWidget* AWidget) {
  // Plain containers only: labels and scroll areas are frames too.
  const QMetaObject* meta = AWidget->metaObject();
  return meta == &QFrame::staticMetaObject || meta == &QWidget::staticMetaObject;
}

// AValue, found in the list; the list's error when it was not.
template <class T> T* Found(T* AValue) {
  if (!AValue) ListError();
  return AValue;
}

TDqValComboBox& ComboOf(const TDqValControlList& AList, const QComboBox* AComboBox) {
  return *Found(AList.ComboBoxs(AComboBox));
}

} // namespace

// ===================================================================== TDqValControlList

TDqValControlList::~TDqValControlList() { Clear(); }

int TDqValControlList::Add(std::unique_ptr<TDqValControl> AValControl) {
  TDqValControl* value = AValControl.get();
  value->FValList = this;
  // A control that goes takes its value object along: no entry may point
  // at a freed control (or at another control later born at its address).
  if (QWidget* control = value->Control())
    QObject::connect(control, &QObject::destroyed, value, [this, value] { ControlDestroyed(value); });
  FItems.push_back(std::move(AValControl));
  return Count() - 1;
}

void TDqValControlList::ControlDestroyed(TDqValControl* AValControl) {
  auto it = std::find_if(FItems.begin(), FItems.end(), [&](const auto& AItem) { return AItem.get() == AValControl; });
  if (it == FItems.end()) return;
  std::unique_ptr<TDqValControl> item = std::move(*it);
  FItems.erase(it);
  item->FControl = nullptr;
}

TDqValEdit* TDqValControlList::AddEdit(QLineEdit* AEdit) {
  auto value = std::make_unique<TDqValEdit>(AEdit);
  TDqValEdit* result = value.get();
  Add(std::move(value));
  return result;
}

TDqValEdit* TDqValControlList::AddEdit(QLineEdit* AEdit, double AMin, double AMax, int ADigit, bool AUsedUpDown) {
  auto value = std::make_unique<TDqValEdit>(AEdit, AMin, AMax, ADigit, AUsedUpDown);
  TDqValEdit* result = value.get();
  Add(std::move(value));
  return result;
}

TDqValEdit* TDqValControlList::AddEdit(QLineEdit* AEdit, double AMin, double AMax, int ADigit, double ADisableValue,
                                       bool AUsedUpDown) {
  auto value = std::make_unique<TDqValEdit>(AEdit, AMin, AMax, ADigit, ADisableValue, AUsedUpDown, true);
  TDqValEdit* result = value.get();
  Add(std::move(value));
  return result;
}

TDqValComboBox* TDqValControlList::AddComboBox(QComboBox* AComboBox, int ADisableIndex) {
  auto value = std::make_unique<TDqValComboBox>(AComboBox, ADisableIndex);
  TDqValComboBox* result = value.get();
  Add(std::move(value));
  return result;
}

TDqValPanel* TDqValControlList::AddPanel(QWidget* APanel, bool AGrayDisable) {
  auto value = std::make_unique<TDqValPanel>(APanel, AGrayDisable);
  TDqValPanel* result = value.get();
  Add(std::move(value));
  return result;
}

TDqValGroupBox* TDqValControlList::AddGroupBox(QGroupBox* AGroupBox) {
  auto value = std::make_unique<TDqValGroupBox>(AGroupBox);
  TDqValGroupBox* result = value.get();
  Add(std::move(value));
  return result;
}

void TDqValControlList::AddByKind(QWidget* AControl) {
  if (!AControl) return;
  if (auto* combo = qobject_cast<QComboBox*>(AControl)) {
    AddComboBox(combo, 32767);
  } else if (auto* edit = qobject_cast<QLineEdit*>(AControl)) {
    AddEdit(edit);
  } else if (auto* group = qobject_cast<QGroupBox*>(AControl)) {
    AddAll(group);
  } else if (IsPanelKind(AControl)) {
    AddAll(AControl);
  }
}

void TDqValControlList::AddAll(QWidget* AWinControl) {
  if (!AWinControl) return;
  if (auto* combo = qobject_cast<QComboBox*>(AWinControl)) {
    AddComboBox(combo, 32767);
    return;
  }
  if (auto* edit = qobject_cast<QLineEdit*>(AWinControl)) {
    AddEdit(edit);
    return;
  }
  if (auto* group = qobject_cast<QGroupBox*>(AWinControl))
    AddGroupBox(group);
  else if (IsPanelKind(AWinControl))
    AddPanel(AWinControl, false);
  else
    return;
  for (QWidget* child : AWinControl->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) AddByKind(child);
}

int TDqValControlList::IndexOf(const QWidget* AControl) const {
  for (int i = Count() - 1; i >= 0; --i) {
    const TDqValControl* item = FItems[static_cast<std::size_t>(i)].get();
    if (!item) ListError();
    if (item->Control() == AControl && AControl) return i;
  }
  return -1;
}

int TDqValControlList::IndexOf(const QString& AName) const {
  for (int i = Count() - 1; i >= 0; --i) {
    const TDqValControl* item = FItems[static_cast<std::size_t>(i)].get();
    if (!item) ListError();
    if (const QWidget* control = item->Control();
        control && control->objectName().compare(AName, Qt::CaseInsensitive) == 0)
      return i;
  }
  return -1;
}

TDqValControl* TDqValControlList::Controls(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) return nullptr;
  return FItems[static_cast<std::size_t>(AIndex)].get();
}

TDqValControl* TDqValControlList::Controls(const QString& AName) const { return Controls(IndexOf(AName)); }
TDqValControl* TDqValControlList::Controls(const QWidget* AControl) const { return Controls(IndexOf(AControl)); }
TDqValEdit* TDqValControlList::Edits(const QLineEdit* AEdit) const { return dynamic_cast<TDqValEdit*>(Controls(AEdit)); }

TDqValComboBox* TDqValControlList::ComboBoxs(const QComboBox* AComboBox) const {
  return dynamic_cast<TDqValComboBox*>(Controls(AComboBox));
}

TDqValPanel* TDqValControlList::Panels(const QWidget* APanel) const {
  return dynamic_cast<TDqValPanel*>(Controls(APanel));
}

TDqValGroupBox* TDqValControlList::GroupBoxs(const QGroupBox* AGroupBox) const {
  return dynamic_cast<TDqValGroupBox*>(Controls(AGroupBox));
}

TDqValEdit* TDqValControlList::GetEditByName(const QString& AName) const {
  return dynamic_cast<TDqValEdit*>(Controls(AName));
}

TDqValComboBox* TDqValControlList::GetComboBoxByName(const QString& AName) const {
  return dynamic_cast<TDqValComboBox*>(Controls(AName));
}

double TDqValControlList::GetValues(const QLineEdit* AEdit, double ADefault) const {
  const TDqValEdit* edit = Edits(AEdit);
  return edit ? edit->Value() : ADefault;
}

int TDqValControlList::GetValueInt(const QLineEdit* AEdit, int ADefault) const {
  const TDqValEdit* edit = Edits(AEdit);
  return edit ? edit->ValueInt() : ADefault;
}

bool TDqValControlList::Remove(const QWidget* AControl) {
  const int index = IndexOf(AControl);
  if (index < 0) return false;
  std::unique_ptr<TDqValControl> item = std::move(FItems[static_cast<std::size_t>(index)]);
  FItems.erase(FItems.begin() + index);
  return true;
}

void TDqValControlList::Clear() {
  while (!FItems.empty()) {
    std::unique_ptr<TDqValControl> item = std::move(FItems.back());
    FItems.pop_back();
  }
}

int TDqValControlList::ComboItemIndex(const QComboBox* AComboBox) const {
  return ComboOf(*this, AComboBox).ItemIndex();
}

void TDqValControlList::SetComboItemIndex(const QComboBox* AComboBox, int AValue) {
  ComboOf(*this, AComboBox).SetItemIndex(AValue);
}

int TDqValControlList::ComboValueInt(const QComboBox* AComboBox) const {
  return ComboOf(*this, AComboBox).ValueInt();
}

void TDqValControlList::SetComboValueInt(const QComboBox* AComboBox, int AValue) {
  ComboOf(*this, AComboBox).SetValueInt(AValue);
}

TDqValControlList& ValControls() {
  static TDqValControlList list;
  return list;
}

// ===================================================================== facades

TDqValControl* TDqValControlHelper::Object() const {
  return Found(ValControls().Controls(FControl));
}

void TDqValControlHelper::AddValue() { ValControls().AddByKind(FControl); }
void TDqValControlHelper::DeleteValue() { ValControls().Remove(FControl); }

TDqValEdit* TDqValEditHelper::Object() const {
  return Found(ValControls().Edits(FEdit));
}

TDqValEdit* TDqValEditHelper::AddValue() { return ValControls().AddEdit(FEdit); }

TDqValEdit* TDqValEditHelper::SetParam(double AMin, double AMax, int ADigit, bool AHaveUpDown) {
  TDqValEdit* value = Object();
  value->SetParam(AMin, AMax, ADigit, AHaveUpDown);
  return value;
}

TDqValEdit* TDqValEditHelper::SetParam(double AMin, double AMax, int ADigit, double ADisableValue, bool AHaveUpDown) {
  TDqValEdit* value = Object();
  value->SetParam(AMin, AMax, ADigit, ADisableValue, AHaveUpDown);
  return value;
}

namespace {
void AddContainer(TDqValControlList& AList, QWidget* AContainer, bool AGroup) {
  if (AGroup)
    AList.AddGroupBox(static_cast<QGroupBox*>(AContainer));
  else
    AList.AddPanel(AContainer, false);
  for (QWidget* child : AContainer->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) AList.AddByKind(child);
}

void DeleteContainer(TDqValControlList& AList, QWidget* AContainer) {
  AList.Remove(AContainer);
  const QList<QWidget*> children = AContainer->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (auto it = children.rbegin(); it != children.rend(); ++it) AList.Remove(*it);
}
} // namespace

TDqValPanel* TDqValPanelHelper::Object() const {
  return Found(ValControls().Panels(FPanel));
}

void TDqValPanelHelper::AddValue() { AddContainer(ValControls(), FPanel, false); }
void TDqValPanelHelper::DeleteValue() { DeleteContainer(ValControls(), FPanel); }

TDqValGroupBox* TDqValGroupBoxHelper::Object() const {
  return Found(ValControls().GroupBoxs(FGroupBox));
}

void TDqValGroupBoxHelper::AddValue() { AddContainer(ValControls(), FGroupBox, true); }
void TDqValGroupBoxHelper::DeleteValue() { DeleteContainer(ValControls(), FGroupBox); }
