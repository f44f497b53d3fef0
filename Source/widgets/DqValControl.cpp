#include "DqValControl.h"

#include "core/DqRoutine.h"

#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kUpDownWidth = 17;

[[noreturn]] void AbstractError() { throw EDqException(QStringLiteral("Abstract error.")); }

int RoundEven(double AValue) {
  const double rounded = std::nearbyint(AValue); // halves to the even neighbour
  if (!(rounded < 2147483647.0)) return rounded != rounded ? 0 : 2147483647;
  if (rounded <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int>(rounded);
}

double Power10(int ADigit) { return std::pow(10.0, std::max(ADigit, 0)); }

} // namespace

// ===================================================================== TDqUpDown

TDqUpDown::TDqUpDown(QWidget* AParent) : QWidget(AParent), FUp(new QToolButton(this)), FDown(new QToolButton(this)) {
  setObjectName(QStringLiteral("UpDown"));
  auto setup = [this](QToolButton* AButton, Qt::ArrowType AArrow, const char* AName, int ADirection) {
    AButton->setObjectName(QString::fromLatin1(AName));
    AButton->setArrowType(AArrow);
    AButton->setAutoRepeat(true);
    AButton->setFocusPolicy(Qt::NoFocus);
    AButton->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    connect(AButton, &QToolButton::clicked, this, [this, ADirection] {
      if (OnClick) OnClick(ADirection);
    });
  };
  setup(FUp, Qt::UpArrow, "UpButton", +1);
  setup(FDown, Qt::DownArrow, "DownButton", -1);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(FUp);
  layout->addWidget(FDown);
  setFixedWidth(kUpDownWidth);
}

// ===================================================================== TDqValControl

TDqValControl::TDqValControl(QWidget* AControl, const QColor& AFontColor, const QColor& ABGColor)
    : FControl(AControl), FOldFontColor(AFontColor), FOldBGColor(ABGColor) {
  if (AControl) {
    FOldFont = AControl->font();
    FEnabled = AControl->isEnabled();
    FShownEnabled = FEnabled;
  }
}

TDqValControl::~TDqValControl() = default;

void TDqValControl::SetEnabled(bool AValue) {
  if (FEnabled == AValue) return;
  FEnabled = AValue;
  UpdateControl();
}

void TDqValControl::SetGroupEnabled(bool AValue) {
  if (FGroupEnabled == AValue) return;
  FGroupEnabled = AValue;
  UpdateControl();
}

void TDqValControl::SetReadOnly(bool AValue) {
  if (FReadOnly == AValue) return;
  FReadOnly = AValue;
  UpdateControl();
}

void TDqValControl::SetDisableFontColor(const QColor& AValue) {
  if (FDisableFontColor == AValue) return;
  FDisableFontColor = AValue;
  UpdateControl();
}

void TDqValControl::SetDisableBGColor(const QColor& AValue) {
  if (FDisableBGColor == AValue) return;
  FDisableBGColor = AValue;
  UpdateControl();
}

void TDqValControl::SetReadOnlyFontColor(const QColor& AValue) {
  if (FReadOnlyFontColor == AValue) return;
  FReadOnlyFontColor = AValue;
  UpdateControl();
}

void TDqValControl::SetReadOnlyBGColor(const QColor& AValue) {
  if (FReadOnlyBGColor == AValue) return;
  FReadOnlyBGColor = AValue;
  UpdateControl();
}

double TDqValControl::Value() const { AbstractError(); }
void TDqValControl::SetValue(double) { AbstractError(); }
int TDqValControl::ValueInt() const { AbstractError(); }
void TDqValControl::SetValueInt(int) { AbstractError(); }
double TDqValControl::OldValue() const { AbstractError(); }
int TDqValControl::OldValueInt() const { AbstractError(); }
double TDqValControl::ChangedValue() const { AbstractError(); }
int TDqValControl::ChangedValueInt() const { AbstractError(); }
int TDqValControl::Digit() const { AbstractError(); }
int TDqValControl::ItemIndex() const { AbstractError(); }
void TDqValControl::SetItemIndex(int) { AbstractError(); }
int TDqValControl::OldItemIndex() const { AbstractError(); }
double TDqValControl::MinValue() const { AbstractError(); }
double TDqValControl::MaxValue() const { AbstractError(); }

void TDqValControl::ApplyColors(QWidget* AWidget, const QColor& AFont, const QColor& ABackground, bool APanel) const {
  QPalette palette = AWidget->palette();
  // Every colour group: a disabled control shows the disabled look too.
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    palette.setColor(group, APanel ? QPalette::WindowText : QPalette::Text, AFont);
    palette.setColor(group, APanel ? QPalette::Window : QPalette::Base, ABackground);
    if (!APanel) palette.setColor(group, QPalette::ButtonText, AFont);
  }
  AWidget->setPalette(palette);
  if (APanel) AWidget->setAutoFillBackground(true);
}

void TDqValControl::ApplyLook(QWidget* AWidget, bool APanel) const {
  QFont font = FOldFont;
  if (!EffectiveEnabled()) {
    ApplyColors(AWidget, FDisableFontColor, FDisableBGColor, APanel);
  } else if (FReadOnly) {
    font.setBold(true);
    ApplyColors(AWidget, FReadOnlyFontColor, FReadOnlyBGColor, APanel);
  } else {
    ApplyColors(AWidget, FOldFontColor, FOldBGColor, APanel);
  }
  AWidget->setFont(font);
}

// ===================================================================== TDqValEdit

TDqValEdit::TDqValEdit(QLineEdit* AEdit)
    : TDqValControl(AEdit, AEdit->palette().color(QPalette::Text), AEdit->palette().color(QPalette::Base)) {
  Init(false);
}

TDqValEdit::TDqValEdit(QLineEdit* AEdit, double AMin, double AMax, int ADigit, bool AHaveUpDown)
    : TDqValEdit(AEdit, AMin, AMax, ADigit, std::nullopt, AHaveUpDown, true) {}

TDqValEdit::TDqValEdit(QLineEdit* AEdit, double AMin, double AMax, int ADigit, std::optional<double> ADisableValue,
                       bool AHaveUpDown, bool AUsedValue)
    : TDqValControl(AEdit, AEdit->palette().color(QPalette::Text), AEdit->palette().color(QPalette::Base)),
      FMinValue(AMin), FMaxValue(AMax), FDigit(ADigit), FUsedValue(AUsedValue), FDisableValue(ADisableValue) {
  Init(AHaveUpDown);
}

void TDqValEdit::Init(bool AHaveUpDown) {
  QLineEdit* edit = Edit();
  FOldText = edit->text();
  edit->installEventFilter(this);
  if (AHaveUpDown) BuildUpDown(true);
  if (FUsedValue) CheckValue();
  UpdateControl();
}

TDqValEdit::~TDqValEdit() {
  if (QLineEdit* edit = Edit()) {
    edit->removeEventFilter(this);
    BuildUpDown(false);
  }
}

QLineEdit* TDqValEdit::Edit() const { return static_cast<QLineEdit*>(FControl.data()); }

void TDqValEdit::BuildUpDown(bool AValue) {
  QLineEdit* edit = Edit();
  if (AValue == (FUpDown != nullptr) || !edit) return;
  QMargins margins = edit->textMargins();
  if (AValue) {
    // Inside the edit at its right end, whatever layout holds the edit.
    FUpDown = new TDqUpDown(edit);
    FUpDown->setGeometry(edit->width() - kUpDownWidth, 0, kUpDownWidth, edit->height());
    FUpDown->OnClick = [this](int ADirection) { Spin(ADirection); };
    FUpDown->show();
    margins.setRight(margins.right() + kUpDownWidth);
  } else {
    delete FUpDown.data();
    FUpDown = nullptr;
    margins.setRight(std::max(0, margins.right() - kUpDownWidth));
  }
  edit->setTextMargins(margins);
}

void TDqValEdit::SetHaveUpDown(bool AValue) {
  BuildUpDown(AValue);
  UpdateControl();
}

QString TDqValEdit::FormatValue(double AValue) const {
  if (AValue == 0) AValue = 0; // no "-0"
  QString text = UserLocale().toString(AValue, 'f', std::max(FDigit, 0));
  text.remove(UserLocale().groupSeparator());
  return text;
}

void TDqValEdit::CheckValue() {
  if (!FUsedValue) return;
  if (FDisableValue) FEnabled = FValue != *FDisableValue;
  if (FEnabled) {
    auto clamp = [this](double AValue) {
      if (AValue > FMaxValue) return FMaxValue;
      if (!(AValue >= FMinValue)) return FMinValue; // also what is not a number
      return AValue;
    };
    FValue = clamp(FValue);
    FOldValue = clamp(FOldValue);
  }
  UpdateControl();
}

void TDqValEdit::UpdateControl() {
  QLineEdit* edit = Edit();
  if (!edit) return;
  const bool enabled = EffectiveEnabled();
  if (enabled) {
    ApplyLook(edit, false);
    if (FUsedValue) {
      QString text = FormatValue(FValue);
      if (FOnValueText) FOnValueText(this, text, FValue);
      FShownText = text;
      edit->setText(text);
    } else if (!FShownEnabled) {
      edit->setText(FOldText);
    }
  } else {
    if (FShownEnabled) FOldText = edit->text();
    ApplyLook(edit, false);
    FShownText.clear();
    edit->setText(QString());
  }
  FShownEnabled = enabled;
  if (FUpDown) FUpDown->setEnabled(enabled && !FReadOnly);
  edit->setEnabled(enabled);
  edit->setReadOnly(FReadOnly);
}

void TDqValEdit::SetParam(double AMin, double AMax, int ADigit, bool AHaveUpDown) {
  SetParam(AMin, AMax, ADigit, std::nullopt, AHaveUpDown);
}

void TDqValEdit::SetParam(double AMin, double AMax, int ADigit, std::optional<double> ADisableValue, bool AHaveUpDown) {
  BuildUpDown(AHaveUpDown);
  FMinValue = AMin;
  FMaxValue = AMax;
  FDigit = ADigit;
  FDisableValue = ADisableValue;
  FUsedValue = true;
  CheckValue();
  FOldValue = FValue;
}

void TDqValEdit::SetValue(double AValue) {
  FOldValue = AValue;
  if (AValue != FValue) FValue = AValue;
  // Shown again even when equal: whatever was typed and not committed goes.
  CheckValue();
}

int TDqValEdit::ValueInt() const { return RoundEven(FValue); }
int TDqValEdit::OldValueInt() const { return RoundEven(FOldValue); }

bool TDqValEdit::IsModify() const { return FValue != FOldValue && FEnabled; }

double TDqValEdit::ChangedValue() const {
  if (IsModify()) return FValue;
  return FDisableValue ? *FDisableValue : 0.0;
}

int TDqValEdit::ChangedValueInt() const { return RoundEven(ChangedValue()); }

void TDqValEdit::SetMinValue(double AValue) {
  FMinValue = AValue;
  CheckValue();
}

void TDqValEdit::SetMaxValue(double AValue) {
  FMaxValue = AValue;
  CheckValue();
}

void TDqValEdit::SetDigit(int AValue) {
  FDigit = AValue;
  CheckValue();
}

void TDqValEdit::SetDisableValue(std::optional<double> AValue) {
  FDisableValue = AValue;
  CheckValue();
}

void TDqValEdit::SetOnValueText(TDqValEditTextEvent AValue) {
  FOnValueText = std::move(AValue);
  UpdateControl();
}

void TDqValEdit::Spin(int ADirection) {
  if (FReadOnly || !FUsedValue) return;
  double value = 0;
  if (!TryStrToFloatLocale(Edit()->text(), value)) value = 0;
  const double scale = Power10(FDigit);
  // Whole units of the last decimal place: no creeping binary fractions.
  value = std::nearbyint(value * scale + ADirection * Step) / scale;
  FValue = value;
  CheckValue();
}

void TDqValEdit::Commit() {
  if (!FUsedValue) return;
  const QString text = Edit()->text();
  double value = 0;
  // The text as shown stands for the value as it is (a value with more
  // decimals than shown is not rounded by merely passing through).
  if (text != FShownText && TryStrToFloatLocale(text, value)) FValue = value;
  CheckValue();
}

bool TDqValEdit::Restore() {
  if (!FUsedValue) return false;
  const bool changed = FValue != FOldValue || Edit()->text() != FShownText;
  FValue = FOldValue;
  CheckValue();
  return changed;
}

bool TDqValEdit::eventFilter(QObject* AWatched, QEvent* AEvent) {
  QLineEdit* edit = Edit();
  if (AWatched != edit || !edit) return false;
  switch (AEvent->type()) {
  case QEvent::KeyPress: {
    auto* key = static_cast<QKeyEvent*>(AEvent);
    if (!FUsedValue || FReadOnly) return false;
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      Commit();
      edit->selectAll();
      return true;
    }
    if (key->key() == Qt::Key_Escape) {
      // Undoes an edit; with nothing to undo the key closes the dialog.
      if (!Restore()) return false;
      edit->selectAll();
      return true;
    }
    if (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) {
      if (!FUpDown) return false;
      Spin(key->key() == Qt::Key_Up ? +1 : -1);
      return true;
    }
    return false;
  }
  case QEvent::ShortcutOverride: {
    // Keeps Enter and Escape from the dialog's default and cancel buttons
    // while the edit has something to take or undo.
    auto* key = static_cast<QKeyEvent*>(AEvent);
    if (!FUsedValue || FReadOnly) return false;
    const bool pending = edit->text() != FShownText || FValue != FOldValue;
    if ((key->key() == Qt::Key_Escape && pending) ||
        ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && edit->text() != FShownText)) {
      AEvent->accept();
      return true;
    }
    return false;
  }
  case QEvent::FocusOut:
    Commit();
    return false;
  case QEvent::Resize:
    if (FUpDown) FUpDown->setGeometry(edit->width() - kUpDownWidth, 0, kUpDownWidth, edit->height());
    return false;
  default: return false;
  }
}

// ===================================================================== TDqValComboBox

TDqValComboBox::TDqValComboBox(QComboBox* AComboBox, int ADisableIndex)
    : TDqValControl(AComboBox, AComboBox->palette().color(QPalette::Text), AComboBox->palette().color(QPalette::Base)),
      FDisableIndex(ADisableIndex), FOldIndex(AComboBox->currentIndex()), FHeldIndex(FOldIndex) {
  UpdateControl();
}

QComboBox* TDqValComboBox::ComboBox() const { return static_cast<QComboBox*>(FControl.data()); }

int TDqValComboBox::ItemIndex() const {
  if (!FEnabled) return FDisableIndex;
  // Greyed by its container, the list shows nothing but keeps its choice.
  if (!FShownEnabled) return FHeldIndex;
  const QComboBox* combo = ComboBox();
  return combo ? combo->currentIndex() : -1;
}

void TDqValComboBox::SetItemIndex(int AValue) {
  QComboBox* combo = ComboBox();
  if (!combo) return;
  FEnabled = AValue != FDisableIndex;
  const int index = AValue >= 0 && AValue < combo->count() ? AValue : -1;
  combo->setCurrentIndex(index);
  FOldIndex = FHeldIndex = index;
  UpdateControl();
}

double TDqValComboBox::Value() const {
  const int index = ItemIndex();
  const QComboBox* combo = ComboBox();
  if (index == 32767 || !combo || index < 0 || index >= combo->count()) return 32767;
  double value = 0;
  return TryStrToFloatLocale(combo->itemText(index), value) ? value : 32767;
}

int TDqValComboBox::ValueInt() const { return RoundEven(Value()); }

void TDqValComboBox::SetValue(double AValue) {
  QComboBox* combo = ComboBox();
  if (!combo) return;
  const QString text = FloatToStrLocale(AValue);
  const int index = combo->findText(text, Qt::MatchExactly);
  SetItemIndex(index >= 0 ? index : 32767);
}

bool TDqValComboBox::IsModify() const { return ItemIndex() != FOldIndex && FEnabled; }

void TDqValComboBox::UpdateControl() {
  QComboBox* combo = ComboBox();
  if (!combo) return;
  const bool enabled = EffectiveEnabled();
  if (enabled) {
    if (!FShownEnabled) combo->setCurrentIndex(FHeldIndex >= 0 && FHeldIndex < combo->count() ? FHeldIndex : -1);
  } else {
    // Held apart from the loaded index, so that a change made before the
    // list greyed is still a change when it comes back.
    if (FShownEnabled) FHeldIndex = combo->currentIndex();
    combo->setCurrentIndex(-1);
    if (combo->isEditable()) combo->setEditText(QString());
  }
  ApplyLook(combo, false);
  FShownEnabled = enabled;
  // A list has no read-only state of its own: it takes no input instead.
  combo->setEnabled(enabled && !FReadOnly);
  if (QLineEdit* line = combo->lineEdit()) line->end(false);
}

// ===================================================================== containers

namespace {

template <typename TContainer>
bool ChildrenModified(const TContainer& AContainer) {
  QWidget* widget = AContainer.Control();
  TDqValControlList* list = AContainer.ValList();
  if (!widget || !list) return false;
  const QList<QWidget*> children = widget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (auto it = children.rbegin(); it != children.rend(); ++it)
    if (TDqValControl* child = list->Controls(*it); child && child->IsModify()) return true;
  return false;
}

void PassGroupEnabled(TDqValControl& AContainer, bool AEnabled) {
  QWidget* widget = AContainer.Control();
  TDqValControlList* list = AContainer.ValList();
  if (!widget) return;
  if (list)
    for (QWidget* child : widget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
      if (TDqValControl* value = list->Controls(child)) value->SetGroupEnabled(AEnabled);
  widget->setEnabled(AEnabled);
}

} // namespace

TDqValPanel::TDqValPanel(QWidget* APanel, bool AGrayDisable)
    : TDqValControl(APanel, APanel->palette().color(QPalette::WindowText), APanel->palette().color(QPalette::Window)),
      FGrayDisable(AGrayDisable) {
  UpdateControl();
}

void TDqValPanel::SetGrayDisable(bool AValue) {
  if (FGrayDisable == AValue) return;
  FGrayDisable = AValue;
  UpdateControl();
}

bool TDqValPanel::IsModify() const { return ChildrenModified(*this); }

void TDqValPanel::UpdateControl() {
  QWidget* panel = Control();
  if (!panel) return;
  const bool enabled = EffectiveEnabled();
  if (FGrayDisable)
    ApplyColors(panel, enabled ? FOldFontColor : FDisableFontColor, enabled ? FOldBGColor : FDisableBGColor, true);
  FShownEnabled = enabled;
  PassGroupEnabled(*this, enabled);
}

TDqValGroupBox::TDqValGroupBox(QGroupBox* AGroupBox)
    : TDqValControl(AGroupBox, AGroupBox->palette().color(QPalette::WindowText),
                    AGroupBox->palette().color(QPalette::Window)) {
  UpdateControl();
}

QGroupBox* TDqValGroupBox::GroupBox() const { return static_cast<QGroupBox*>(FControl.data()); }

bool TDqValGroupBox::IsModify() const { return ChildrenModified(*this); }

void TDqValGroupBox::UpdateControl() {
  const bool enabled = EffectiveEnabled();
  FShownEnabled = enabled;
  PassGroupEnabled(*this, enabled);
}
