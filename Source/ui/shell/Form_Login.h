// The login dialog: a borderless window over the "LOGIN" picture.
#pragma once

#include <QDialog>
#include <QPixmap>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TFormLogin : public QDialog {
  Q_OBJECT
public:
  explicit TFormLogin(QWidget* AOwner = nullptr);

  QLineEdit* UsernameEdit() const { return FUsernameEdit; }
  QLineEdit* PasswordEdit() const { return FPasswordEdit; }
  QCheckBox* CheckBoxSMS() const { return FCheckBoxSMS; }
  QPushButton* ButtonLogin() const { return FButtonLogin; }
  QPushButton* ButtonCancel() const { return FButtonCancel; }

protected:
  void showEvent(QShowEvent* AEvent) override;
  void paintEvent(QPaintEvent* AEvent) override;
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
  void RestartSMS();
  void ButtonLoginClick();

  QPixmap FBackground;
  QLabel* FLabelVersion;
  QLineEdit* FUsernameEdit;
  QLineEdit* FPasswordEdit;
  QCheckBox* FCheckBoxSMS;
  QPushButton* FButtonLogin;
  QPushButton* FButtonCancel;
};
