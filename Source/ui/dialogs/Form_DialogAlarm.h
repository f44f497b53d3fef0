// The alarm window of one event output: modeless, several may be open,
// the alarm sound loops while any is showing.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class TFormDialogAlarm : public QDialog {
  Q_OBJECT
public:
  explicit TFormDialogAlarm(QWidget* AParent = nullptr);
  ~TFormDialogAlarm() override;

  // Widens the window to the text width + 32 when that is larger.
  void SetText(const QString& AText);
  QString Text() const;
  int Slot = 0;
  int DeviceID = 0;
  QPushButton* ButtonOK() const { return FButtonOK; }

protected:
  void showEvent(QShowEvent* AEvent) override;
  void closeEvent(QCloseEvent* AEvent) override;
  void keyPressEvent(QKeyEvent* AEvent) override;
  void resizeEvent(QResizeEvent* AEvent) override;

private:
  void Acknowledge();
  void LayoutControls();

  QLabel* FLabelTitle;
  QLabel* FLabelText;
  QPushButton* FButtonOK;
};
