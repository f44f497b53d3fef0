// Changes the logged-in user's password.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

class TFormChangePassword : public QDialog {
  Q_OBJECT
public:
  explicit TFormChangePassword(QWidget* AOwner = nullptr);
  QLineEdit* EditOldPassword() const { return FEditOldPassword; }
  QLineEdit* EditNewPassword() const { return FEditNewPassword; }
  QLineEdit* EditConfirmPassword() const { return FEditConfirmPassword; }
  QPushButton* ButtonOK() const { return FButtonOK; }

protected:
  void showEvent(QShowEvent* AEvent) override;

private:
  void ButtonOKClick();
  QLineEdit* FEditOldPassword;
  QLineEdit* FEditNewPassword;
  QLineEdit* FEditConfirmPassword;
  QPushButton* FButtonOK;
};
