// Adds or edits one controller record. Saving first reads the controller's
// identification on the worker; the record is stored when that read is
// back, and only then does the dialog close.
#pragma once

#include <QDialog>

#include <memory>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class TTervoxDevice;
class TTervoxDeviceData;

class TFormEditDevice : public QDialog {
  Q_OBJECT
public:
  explicit TFormEditDevice(QWidget* AOwner = nullptr);
  ~TFormEditDevice() override;

  // The record being edited; an ID below 0 adds a new one.
  TTervoxDeviceData Data() const;
  void SetData(const TTervoxDeviceData& AData);
  // True while the identification read of a save is on its way.
  bool Saving() const { return FSaving; }

  QComboBox* ComboPortName() const { return FComboPortName; }
  QComboBox* ComboAddress() const { return FComboAddress; }
  QPlainTextEdit* MemoDescription() const { return FMemoDescription; }
  QComboBox* ComboDimension() const { return FComboDimension; }
  QComboBox* ComboPower() const { return FComboPower; }
  QLineEdit* EditName() const { return FEditName; }
  QCheckBox* EditEnabled() const { return FEditEnabled; }
  QPushButton* ButtonSave() const { return FButtonSave; }
  QPushButton* ButtonCancel() const { return FButtonCancel; }

  // Cancelling also drops a save whose read is still on its way.
  void reject() override;

protected:
  void showEvent(QShowEvent* AEvent) override;

private:
  void FormShow();
  void ComboAddressChange();
  void ButtonSaveClick();
  void StoreRecord(const QString& APreviousModel);

  std::shared_ptr<TTervoxDevice> FDevice; // scratch; never in the device list
  bool FSaving = false;
  QString FAuditReason; // asked when Save was clicked
  QComboBox* FComboPortName;
  QComboBox* FComboAddress;
  QPlainTextEdit* FMemoDescription;
  QComboBox* FComboDimension;
  QComboBox* FComboPower;
  QLineEdit* FEditName;
  QCheckBox* FEditEnabled;
  QPushButton* FButtonSave;
  QPushButton* FButtonCancel;
};
