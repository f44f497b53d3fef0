// Asks for the admin password before a protected action.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

class TFormPassword : public QDialog {
  Q_OBJECT
public:
  explicit TFormPassword(QWidget* AOwner = nullptr);
  QLineEdit* EditPassword() const { return FEditPassword; }
  QPushButton* ButtonOK() const { return FButtonOK; }

private:
  void ButtonOKClick();
  QLineEdit* FEditPassword;
  QPushButton* FButtonOK;
};
