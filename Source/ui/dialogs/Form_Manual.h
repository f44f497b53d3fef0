// The manual-output dialog ("Manual setting"): switches the controller
// between automatic and manual control and sets the two manual outputs.
#pragma once

#include <QDialog>

#include <memory>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class TTervoxDevice;
class TTervoxWriteResult;

class TFormManual : public QDialog {
  Q_OBJECT
public:
  explicit TFormManual(QWidget* AOwner = nullptr);
  ~TFormManual() override;

  TTervoxDevice* Device() const { return FDevice.get(); }
  void SetDevice(std::shared_ptr<TTervoxDevice> ADevice);

  QLabel* LabelDevice() const { return FLabelDevice; }
  QFrame* PanelMain() const { return FPanelMain; }
  QLineEdit* EditOut1() const { return FEditOut1; }
  QLineEdit* EditOut2() const { return FEditOut2; }
  QPushButton* ButtonManual() const { return FButtonManual; }
  QPushButton* ButtonAuto() const { return FButtonAuto; }
  QPushButton* ButtonCancel() const { return FButtonCancel; }

  void ButtonManualClick() { Write(true); }
  void ButtonAutoClick() { Write(false); }

private:
  void ReadFinished();
  void Write(bool AManual);
  void WriteFinished(const TTervoxWriteResult& AResult);
  void SetPanelEnabled(bool AValue);

  std::shared_ptr<TTervoxDevice> FDevice;
  QLabel* FLabelDevice;
  QFrame* FPanelMain;
  QLineEdit* FEditOut1;
  QLineEdit* FEditOut2;
  QPushButton* FButtonManual;
  QPushButton* FButtonAuto;
  QPushButton* FButtonCancel;
};

// Shows the manual dialog for the device, modally.
void LaunchManual(TTervoxDevice& ADevice);
