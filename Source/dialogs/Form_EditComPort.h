// Adds a serial port, or edits one (SetPortData switches to edit mode).
#pragma once

#include <QDialog>

#include <memory>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class TDqPortData;

class TFormEditComPort : public QDialog {
  Q_OBJECT
public:
  explicit TFormEditComPort(QWidget* AOwner = nullptr);
  ~TFormEditComPort() override;

  const TDqPortData& PortData() const { return *FPortData; }
  void SetPortData(const TDqPortData& AData);

  QLineEdit* EditName() const { return FEditName; }
  QCheckBox* CheckBoxShow() const { return FCheckBoxShow; }
  QComboBox* ComboPortName() const { return FComboPortName; }
  QComboBox* ComboBaudRate() const { return FComboBaudRate; }
  QComboBox* ComboDataBits() const { return FComboDataBits; }
  QComboBox* ComboStopBits() const { return FComboStopBits; }
  QComboBox* ComboParity() const { return FComboParity; }
  QPushButton* ButtonSave() const { return FButtonSave; }
  QPushButton* ButtonCancel() const { return FButtonCancel; }

protected:
  void showEvent(QShowEvent* AEvent) override;

private:
  void LoadPortNames();
  void ComboPortNameChange();
  void ButtonSaveClick();

  std::unique_ptr<TDqPortData> FPortData;
  QLineEdit* FEditName;
  QCheckBox* FCheckBoxShow;
  QComboBox* FComboPortName;
  QComboBox* FComboBaudRate;
  QComboBox* FComboDataBits;
  QComboBox* FComboStopBits;
  QComboBox* FComboParity;
  QPushButton* FButtonSave;
  QPushButton* FButtonCancel;
};
