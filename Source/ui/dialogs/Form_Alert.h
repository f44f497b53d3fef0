// The lost-connection alert: modal, red, silenced for a while by one of
// its three buttons. The engine waits while it is open.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class TFormAlert : public QDialog {
  Q_OBJECT
public:
  explicit TFormAlert(const QString& ADeviceName, QWidget* AParent = nullptr);
  ~TFormAlert() override;

  QLabel* LabelDevice() const { return FLabelDevice; }
  QPushButton* Button1Min() const { return FButton1Min; }
  QPushButton* Button5Min() const { return FButton5Min; }
  QPushButton* Button10Min() const { return FButton10Min; }

protected:
  void showEvent(QShowEvent* AEvent) override;
  void reject() override {} // closed by its buttons only

private:
  void Disable(int ASeconds);

  QLabel* FLabelDevice;
  QPushButton* FButton1Min;
  QPushButton* FButton5Min;
  QPushButton* FButton10Min;
};
