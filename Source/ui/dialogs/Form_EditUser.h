// Adds a user, or edits one (SetUserData switches to edit mode).
#pragma once

#include <QDialog>

#include <memory>

class QComboBox;
class QLineEdit;
class QPushButton;
class TTervoxUser;

class TFormEditUser : public QDialog {
  Q_OBJECT
public:
  explicit TFormEditUser(QWidget* AOwner = nullptr);
  ~TFormEditUser() override;

  // Edit mode with a copy of AUser.
  void SetUserData(const TTervoxUser& AUser);
  bool EditMode() const { return FEditMode; }

  QLineEdit* EditUsername() const { return FEditUsername; }
  QLineEdit* EditDisplayName() const { return FEditDisplayName; }
  QLineEdit* EditPassword() const { return FEditPassword; }
  QLineEdit* EditConfirmPassword() const { return FEditConfirmPassword; }
  QComboBox* ComboGroup() const { return FComboGroup; }
  QLineEdit* EditMobile() const { return FEditMobile; }
  QLineEdit* EditPosition() const { return FEditPosition; }
  QPushButton* ButtonSave() const { return FButtonSave; }

protected:
  void showEvent(QShowEvent* AEvent) override;
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
  void ButtonSaveClick();

  std::unique_ptr<TTervoxUser> FUser;
  bool FEditMode = false;
  QLineEdit* FEditUsername;
  QLineEdit* FEditDisplayName;
  QLineEdit* FEditPassword;
  QLineEdit* FEditConfirmPassword;
  QComboBox* FComboGroup;
  QLineEdit* FEditMobile;
  QLineEdit* FEditPosition;
  QPushButton* FButtonSave;
};
