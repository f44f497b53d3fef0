// Adds a port, or edits one (SetPortData switches to edit mode): a serial
// port, or a network line (Modbus TCP, or RTU frames over TCP) with its
// address and port number.
#pragma once

#include <QDialog>

#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
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
  // Serial, Modbus TCP, RTU over TCP (PortType 1, 2, 3).
  QComboBox* ComboPortType() const { return FComboPortType; }
  QLineEdit* EditAddress() const { return FEditAddress; }
  QLineEdit* EditPortNumber() const { return FEditPortNumber; }
  QLabel* LabelAddressProblem() const { return FLabelAddressProblem; }
  QLabel* LabelPortProblem() const { return FLabelPortProblem; }
  QPushButton* ButtonSave() const { return FButtonSave; }
  QPushButton* ButtonCancel() const { return FButtonCancel; }

protected:
  void showEvent(QShowEvent* AEvent) override;

private:
  void LoadPortNames();
  void ComboPortNameChange();
  void ComboPortTypeChange();
  void ButtonSaveClick();
  bool CheckFields();
  int PortType() const;

  std::unique_ptr<TDqPortData> FPortData;
  QLineEdit* FEditName;
  QCheckBox* FCheckBoxShow;
  QComboBox* FComboPortName;
  QComboBox* FComboBaudRate;
  QComboBox* FComboDataBits;
  QComboBox* FComboStopBits;
  QComboBox* FComboParity;
  QComboBox* FComboPortType;
  QLineEdit* FEditAddress;
  QLineEdit* FEditPortNumber;
  QLabel* FLabelAddressProblem;
  QLabel* FLabelPortProblem;
  QWidget* FNetworkBox = nullptr;
  QWidget* FSerialBox = nullptr;
  QPushButton* FButtonSave;
  QPushButton* FButtonCancel;
};
