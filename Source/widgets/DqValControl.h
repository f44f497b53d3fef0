// Value-bound controls: a value object attached to a plain edit box, combo
// box, panel or group box gives it number semantics (value, the value last
// loaded, range, decimals, an optional spinner), tells whether the user
// changed it, and drives its look (normal, read-only, disabled, and an
// enable that flows from a container to the value controls inside it).
// Value objects live in a registry; the facades reach them through the
// process-wide one.
#pragma once

#include <QColor>
#include <QFont>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QComboBox;
class QFrame;
class QGroupBox;
class QLineEdit;
class QToolButton;
class TDqValControlList;

// An up-down spinner: two arrow keys, 17 pixels wide, that repeat while held.
class TDqUpDown : public QWidget {
public:
  explicit TDqUpDown(QWidget* AParent);
  std::function<void(int ADirection)> OnClick; // +1 up, -1 down
  QToolButton* UpButton() const { return FUp; }
  QToolButton* DownButton() const { return FDown; }

private:
  QToolButton* FUp;
  QToolButton* FDown;
};

class TDqValControl : public QObject {
public:
  TDqValControl(QWidget* AControl, const QColor& AFontColor, const QColor& ABGColor);
  ~TDqValControl() override;

  // Whether the user changed the value since it was loaded.
  virtual bool IsModify() const { return false; }
  // Applies value and state to the control.
  virtual void UpdateControl() {}

  QWidget* Control() const { return FControl.data(); }
  TDqValControlList* ValList() const { return FValList; }

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool AValue);
  bool GroupEnabled() const { return FGroupEnabled; }
  void SetGroupEnabled(bool AValue);
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool AValue);
  QColor DisableFontColor() const { return FDisableFontColor; }
  void SetDisableFontColor(const QColor& AValue);
  QColor DisableBGColor() const { return FDisableBGColor; }
  void SetDisableBGColor(const QColor& AValue);
  QColor ReadOnlyFontColor() const { return FReadOnlyFontColor; }
  void SetReadOnlyFontColor(const QColor& AValue);
  QColor ReadOnlyBGColor() const { return FReadOnlyBGColor; }
  void SetReadOnlyBGColor(const QColor& AValue);

  // Value properties; the base has none ("Abstract error.").
  virtual double Value() const;
  virtual void SetValue(double AValue);
  virtual int ValueInt() const;
  virtual void SetValueInt(int AValue);
  virtual double OldValue() const;
  virtual int OldValueInt() const;
  virtual double ChangedValue() const;
  virtual int ChangedValueInt() const;
  virtual int Digit() const;
  virtual int ItemIndex() const;
  virtual void SetItemIndex(int AValue);
  virtual int OldItemIndex() const;
  virtual double MinValue() const;
  virtual double MaxValue() const;

protected:
  friend class TDqValControlList;
  bool EffectiveEnabled() const { return FEnabled && FGroupEnabled; }
  // The captured, read-only or disabled colours on AWidget.
  void ApplyColors(QWidget* AWidget, const QColor& AFont, const QColor& ABackground, bool APanel) const;
  // The look for the current state: disabled, read-only or the control's own.
  void ApplyLook(QWidget* AWidget, bool APanel) const;

  QPointer<QWidget> FControl;
  TDqValControlList* FValList = nullptr;
  QColor FOldFontColor, FOldBGColor;
  QColor FDisableFontColor{160, 160, 164};
  QColor FDisableBGColor{192, 192, 192};
  QColor FReadOnlyFontColor{0, 255, 0};
  QColor FReadOnlyBGColor{0, 0, 0};
  QFont FOldFont;
  bool FEnabled = true;
  bool FGroupEnabled = true;
  bool FReadOnly = false;
  // The enable last applied to the control (its state "until now").
  bool FShownEnabled = true;
};

class TDqValEdit : public TDqValControl {
public:
  // Rewrites the text shown for a value.
  using TDqValEditTextEvent = std::function<void(TDqValEdit* ASender, QString& AText, double AValue)>;

  // Plain: keeps its own text, follows only the looks.
  explicit TDqValEdit(QLineEdit* AEdit);
  TDqValEdit(QLineEdit* AEdit, double AMin, double AMax, int ADigit, bool AHaveUpDown);
  TDqValEdit(QLineEdit* AEdit, double AMin, double AMax, int ADigit, std::optional<double> ADisableValue,
             bool AHaveUpDown, bool AUsedValue);
  ~TDqValEdit() override;

  QLineEdit* Edit() const;
  bool IsModify() const override;
  void UpdateControl() override;

  // Number semantics on, range, decimals and spinner; the value as it
  // stands becomes the loaded one.
  void SetParam(double AMin, double AMax, int ADigit, bool AHaveUpDown);
  void SetParam(double AMin, double AMax, int ADigit, std::optional<double> ADisableValue, bool AHaveUpDown);

  // Setting the value is loading it: the old value follows.
  double Value() const override { return FValue; }
  void SetValue(double AValue) override;
  int ValueInt() const override;
  void SetValueInt(int AValue) override { SetValue(AValue); }
  double OldValue() const override { return FOldValue; }
  void SetOldValue(double AValue) { FOldValue = AValue; }
  int OldValueInt() const override;
  void SetOldValueInt(int AValue) { FOldValue = AValue; }
  // The value when modified, otherwise the disable value (0 when none).
  double ChangedValue() const override;
  int ChangedValueInt() const override;
  double MinValue() const override { return FMinValue; }
  void SetMinValue(double AValue);
  double MaxValue() const override { return FMaxValue; }
  void SetMaxValue(double AValue);
  int Digit() const override { return FDigit; }
  void SetDigit(int AValue);
  bool HaveUpDown() const { return FUpDown != nullptr; }
  void SetHaveUpDown(bool AValue);
  TDqUpDown* UpDown() const { return FUpDown.data(); }
  std::optional<double> DisableValue() const { return FDisableValue; }
  void SetDisableValue(std::optional<double> AValue);
  const TDqValEditTextEvent& OnValueText() const { return FOnValueText; }
  void SetOnValueText(TDqValEditTextEvent AValue);
  bool UsedValue() const { return FUsedValue; }

  // Spinner step in units of the last shown decimal place.
  int Step = 1;

  // The user's actions, also for tests: a spinner click, Enter, Escape.
  void SpinUp() { Spin(+1); }
  void SpinDown() { Spin(-1); }
  void Commit();
  // True when there was something to undo.
  bool Restore();

  // The text a value shows with the current decimals.
  QString FormatValue(double AValue) const;

protected:
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
  void Init(bool AHaveUpDown);
  void Spin(int ADirection);
  void CheckValue();
  void BuildUpDown(bool AValue);

  double FMinValue = 0, FMaxValue = 0, FValue = 0, FOldValue = 0;
  int FDigit = 0;
  QPointer<TDqUpDown> FUpDown;
  TDqValEditTextEvent FOnValueText;
  bool FUsedValue = false;
  std::optional<double> FDisableValue;
  QString FOldText;
  QString FShownText; // what UpdateControl last put in the edit
};

class TDqValComboBox : public TDqValControl {
public:
  TDqValComboBox(QComboBox* AComboBox, int ADisableIndex);

  QComboBox* ComboBox() const;
  bool IsModify() const override;
  void UpdateControl() override;

  // The disable index while disabled; -1 when nothing is selected.
  int ItemIndex() const override;
  // An index beyond the items selects nothing.
  void SetItemIndex(int AValue) override;
  int OldItemIndex() const override { return FOldIndex; }
  // The selected item's text as a number; 32767 for none or not a number.
  double Value() const override;
  void SetValue(double AValue) override;
  int ValueInt() const override;
  void SetValueInt(int AValue) override { SetValue(AValue); }
  int DisableIndex() const { return FDisableIndex; }

private:
  int FDisableIndex;
  int FOldIndex;  // the index last loaded
  int FHeldIndex; // the choice kept while the list is greyed
};

class TDqValPanel : public TDqValControl {
public:
  TDqValPanel(QWidget* APanel, bool AGrayDisable);
  QWidget* Panel() const { return Control(); }
  bool GrayDisable() const { return FGrayDisable; }
  void SetGrayDisable(bool AValue);
  bool IsModify() const override;
  void UpdateControl() override;

private:
  bool FGrayDisable;
};

class TDqValGroupBox : public TDqValControl {
public:
  explicit TDqValGroupBox(QGroupBox* AGroupBox);
  QGroupBox* GroupBox() const;
  bool IsModify() const override;
  void UpdateControl() override;
};

// An ordered registry that owns its value objects. A control that is
// destroyed takes its value object with it.
class TDqValControlList {
public:
  TDqValControlList() = default;
  ~TDqValControlList();
  TDqValControlList(const TDqValControlList&) = delete;
  TDqValControlList& operator=(const TDqValControlList&) = delete;

  int Count() const { return static_cast<int>(FItems.size()); }
  int Add(std::unique_ptr<TDqValControl> AValControl);
  TDqValEdit* AddEdit(QLineEdit* AEdit);
  TDqValEdit* AddEdit(QLineEdit* AEdit, double AMin, double AMax, int ADigit, bool AUsedUpDown);
  TDqValEdit* AddEdit(QLineEdit* AEdit, double AMin, double AMax, int ADigit, double ADisableValue, bool AUsedUpDown);
  TDqValComboBox* AddComboBox(QComboBox* AComboBox, int ADisableIndex);
  TDqValPanel* AddPanel(QWidget* APanel, bool AGrayDisable);
  TDqValGroupBox* AddGroupBox(QGroupBox* AGroupBox);
  // The control by its kind, then its direct children; panels and group
  // boxes among them recursively. Labels, buttons and the like are skipped.
  void AddAll(QWidget* AWinControl);
  // Registers the control by its kind and, for containers, its children
  // (one call of AddAll's per-control step).
  void AddByKind(QWidget* AControl);

  int IndexOf(const QWidget* AControl) const;
  int IndexOf(const QString& AName) const; // component name, any letter case
  TDqValControl* Controls(int AIndex) const;
  TDqValControl* Controls(const QString& AName) const;
  TDqValControl* Controls(const QWidget* AControl) const;
  TDqValEdit* Edits(const QLineEdit* AEdit) const;
  TDqValComboBox* ComboBoxs(const QComboBox* AComboBox) const;
  TDqValPanel* Panels(const QWidget* APanel) const;
  TDqValGroupBox* GroupBoxs(const QGroupBox* AGroupBox) const;
  TDqValEdit* GetEditByName(const QString& AName) const;
  TDqValComboBox* GetComboBoxByName(const QString& AName) const;
  double GetValues(const QLineEdit* AEdit, double ADefault) const;
  int GetValueInt(const QLineEdit* AEdit, int ADefault) const;

  // Frees the control's own entry; false when it had none.
  bool Remove(const QWidget* AControl);
  void Clear();

  // Combo-box accessors (the combo box must be registered).
  int ComboItemIndex(const QComboBox* AComboBox) const;
  void SetComboItemIndex(const QComboBox* AComboBox, int AValue);
  int ComboValueInt(const QComboBox* AComboBox) const;
  void SetComboValueInt(const QComboBox* AComboBox, int AValue);

private:
  friend class TDqValControl;
  void ControlDestroyed(TDqValControl* AValControl);
  std::vector<std::unique_ptr<TDqValControl>> FItems;
};

// The process-wide registry the facades use.
TDqValControlList& ValControls();

// ----- Facades: the value object of a plain control in the process-wide
// registry. Acting on a control that was never registered raises
// "ValControlList error.".
class TDqValControlHelper {
public:
  explicit TDqValControlHelper(QWidget* AControl) : FControl(AControl) {}
  void AddValue();
  void DeleteValue();
  bool ValueEnabled() const { return Object()->Enabled(); }
  void SetValueEnabled(bool AValue) { Object()->SetEnabled(AValue); }
  bool GroupEnabled() const { return Object()->GroupEnabled(); }
  void SetGroupEnabled(bool AValue) { Object()->SetGroupEnabled(AValue); }
  bool ValueReadOnly() const { return Object()->ReadOnly(); }
  void SetValueReadOnly(bool AValue) { Object()->SetReadOnly(AValue); }
  QColor DisableFontColor() const { return Object()->DisableFontColor(); }
  void SetDisableFontColor(const QColor& AValue) { Object()->SetDisableFontColor(AValue); }
  QColor DisableBGColor() const { return Object()->DisableBGColor(); }
  void SetDisableBGColor(const QColor& AValue) { Object()->SetDisableBGColor(AValue); }
  QColor ReadOnlyFontColor() const { return Object()->ReadOnlyFontColor(); }
  void SetReadOnlyFontColor(const QColor& AValue) { Object()->SetReadOnlyFontColor(AValue); }
  QColor ReadOnlyBGColor() const { return Object()->ReadOnlyBGColor(); }
  void SetReadOnlyBGColor(const QColor& AValue) { Object()->SetReadOnlyBGColor(AValue); }
  bool IsModify() const { return Object()->IsModify(); }
  double Value() const { return Object()->Value(); }
  int ValueInt() const { return Object()->ValueInt(); }
  TDqValControl* Object() const;

protected:
  QWidget* FControl;
};

class TDqValEditHelper {
public:
  explicit TDqValEditHelper(QLineEdit* AEdit) : FEdit(AEdit) {}
  TDqValEdit* AddValue();
  TDqValEdit* SetParam(double AMin, double AMax, int ADigit, bool AHaveUpDown);
  TDqValEdit* SetParam(double AMin, double AMax, int ADigit, double ADisableValue, bool AHaveUpDown);
  double Value() const { return Object()->Value(); }
  void SetValue(double AValue) { Object()->SetValue(AValue); }
  int ValueInt() const { return Object()->ValueInt(); }
  void SetValueInt(int AValue) { Object()->SetValueInt(AValue); }
  double OldValue() const { return Object()->OldValue(); }
  void SetOldValue(double AValue) { Object()->SetOldValue(AValue); }
  int OldValueInt() const { return Object()->OldValueInt(); }
  double MinValue() const { return Object()->MinValue(); }
  void SetMinValue(double AValue) { Object()->SetMinValue(AValue); }
  double MaxValue() const { return Object()->MaxValue(); }
  void SetMaxValue(double AValue) { Object()->SetMaxValue(AValue); }
  int Digit() const { return Object()->Digit(); }
  void SetDigit(int AValue) { Object()->SetDigit(AValue); }
  bool HaveUpDown() const { return Object()->HaveUpDown(); }
  void SetHaveUpDown(bool AValue) { Object()->SetHaveUpDown(AValue); }
  std::optional<double> DisableValue() const { return Object()->DisableValue(); }
  void SetDisableValue(std::optional<double> AValue) { Object()->SetDisableValue(AValue); }
  void SetOnValueText(TDqValEdit::TDqValEditTextEvent AValue) { Object()->SetOnValueText(std::move(AValue)); }
  double ChangedValue() const { return Object()->ChangedValue(); }
  int ChangedValueInt() const { return Object()->ChangedValueInt(); }
  TDqValEdit* Object() const;

private:
  QLineEdit* FEdit;
};

// Panels and group boxes: the container, then each direct child.
class TDqValPanelHelper {
public:
  explicit TDqValPanelHelper(QWidget* APanel) : FPanel(APanel) {}
  void AddValue();
  void DeleteValue();
  bool IsModify() const { return Object()->IsModify(); }
  bool GrayDisable() const { return Object()->GrayDisable(); }
  void SetGrayDisable(bool AValue) { Object()->SetGrayDisable(AValue); }
  void SetValueEnabled(bool AValue) { Object()->SetEnabled(AValue); }
  bool ValueEnabled() const { return Object()->Enabled(); }
  TDqValPanel* Object() const;

private:
  QWidget* FPanel;
};

class TDqValGroupBoxHelper {
public:
  explicit TDqValGroupBoxHelper(QGroupBox* AGroupBox) : FGroupBox(AGroupBox) {}
  void AddValue();
  void DeleteValue();
  bool IsModify() const { return Object()->IsModify(); }
  void SetValueEnabled(bool AValue) { Object()->SetEnabled(AValue); }
  bool ValueEnabled() const { return Object()->Enabled(); }
  TDqValGroupBox* Object() const;

private:
  QGroupBox* FGroupBox;
};
