// The FIX dialog ("Fix Mode Setting"): the controller's four fixed set
// values, the PID set numbers used with each for outputs 1 and 2, and which
// FIX-SV is in operation. Reads when given a device; OK writes what the
// user changed and closes only when the controller acknowledged it.
#pragma once

#include <QDialog>

#include <array>
#include <memory>

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class TTervoxDevice;
class TTervoxWriteResult;

class TFormFix : public QDialog {
  Q_OBJECT
public:
  explicit TFormFix(QWidget* AOwner = nullptr);
  ~TFormFix() override;

  TTervoxDevice* Device() const { return FDevice.get(); }
  void SetDevice(std::shared_ptr<TTervoxDevice> ADevice);

  QLabel* LabelDevice() const { return FLabelDevice; }
  QFrame* PanelMain() const { return FPanelMain; }
  QLineEdit* EditSV(int AIndex) const { return FEditSV.at(static_cast<std::size_t>(AIndex)); }
  QLineEdit* EditPIDOut1(int AIndex) const { return FEditPIDOut1.at(static_cast<std::size_t>(AIndex)); }
  QLineEdit* EditPIDOut2(int AIndex) const { return FEditPIDOut2.at(static_cast<std::size_t>(AIndex)); }
  QComboBox* ComboFix() const { return FComboFix; }
  QPushButton* ButtonOK() const { return FButtonOK; }
  QPushButton* ButtonCancel() const { return FButtonCancel; }

  void ButtonOKClick();

private:
  void ReadFinished();
  void WriteFinished(const TTervoxWriteResult& AResult);
  void SetPanelEnabled(bool AValue);

  std::shared_ptr<TTervoxDevice> FDevice;
  bool FExit = false;
  QLabel* FLabelDevice;
  QFrame* FPanelMain;
  std::array<QLineEdit*, 4> FEditSV{};
  std::array<QLineEdit*, 4> FEditPIDOut1{};
  std::array<QLineEdit*, 4> FEditPIDOut2{};
  QComboBox* FComboFix;
  QPushButton* FButtonOK;
  QPushButton* FButtonCancel;
};

// Shows the FIX dialog for the device, modally.
void LaunchFix(TTervoxDevice& ADevice);
