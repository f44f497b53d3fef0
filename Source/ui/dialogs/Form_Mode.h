// The "Mode Setting" dialog: a toolbar over the controller's setting pages
// (modes 1-8 and the program). Showing a page reads it; switching away from
// a changed page asks whether to write it first; Apply writes and reads the
// page again; OK writes and closes. A failed write keeps the page and its
// values and says which register failed.
#pragma once

#include <QDialog>

#include <array>
#include <memory>

class QLabel;
class QPushButton;
class QStackedWidget;
class QToolButton;
class TFrameModeBase;
class TTervoxDevice;
class TTervoxWriteResult;

class TFormMode : public QDialog {
  Q_OBJECT
public:
  static constexpr int kPages = 9; // modes 1-8 and the program

  explicit TFormMode(QWidget* AOwner = nullptr);
  ~TFormMode() override;

  TTervoxDevice* Device() const { return FDevice.get(); }
  // Stores the device and shows page 1 (read from the controller).
  void SetDevice(std::shared_ptr<TTervoxDevice> ADevice);

  TFrameModeBase* PageFrames(int AMode) const;
  TFrameModeBase* ActiveFrame() const { return PageFrames(FActiveMode); }
  int ActiveMode() const { return FActiveMode; }
  bool Changing() const { return FChanging; }
  QToolButton* ToolButtonMode(int AMode) const;
  QLabel* LabelName() const { return FLabelName; }
  QPushButton* ButtonOK() const { return FButtonOK; }
  QPushButton* ButtonApply() const { return FButtonApply; }
  QPushButton* ButtonCancel() const { return FButtonCancel; }

  // The toolbar: switch to page AMode (asks about a changed page first).
  void SwitchMode(int AMode);
  void ButtonApplyClick() { ApplyMode(FActiveMode); }
  void ButtonOKClick() { ApplyMode(0); }

  void done(int AResult) override;

private:
  void ShowMode(int AMode);
  void ApplyMode(int ANewMode);
  void ReadFinished();
  void WriteFinished(int ANewMode, const TTervoxWriteResult& AResult);
  void SetButtonsEnabled(bool AValue);

  std::shared_ptr<TTervoxDevice> FDevice;
  std::array<TFrameModeBase*, kPages + 1> FPageFrames{}; // 1..8; owned as children
  std::array<QToolButton*, kPages + 1> FToolButtons{};
  int FActiveMode = 0;
  int FNewMode = 0;
  bool FChanging = false;
  bool FClosing = false;
  QStackedWidget* FPages;
  QLabel* FLabelName;
  QPushButton* FButtonOK;
  QPushButton* FButtonApply;
  QPushButton* FButtonCancel;
};

// Shows the Mode dialog for the device, modally.
void LaunchMode(TTervoxDevice& ADevice);
