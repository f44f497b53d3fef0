// The "Database" options page: where the database file is, and its reset
// (behind the admin password).
#pragma once

#include "Engine/DqFrameList.h"

#include <QPointer>

class QDialog;
class QLineEdit;
class QPushButton;

class TFrameOptionDatabase : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameOptionDatabase(QWidget* AOwner = nullptr);

  // The Options window hosting the page; closed with OK to start a reset.
  QDialog* Form() const { return FForm; }
  void SetForm(QDialog* AForm) { FForm = AForm; }

  QLineEdit* EditDatabase() const { return FEditDatabase; }
  QPushButton* ButtonBrowse() const { return FButtonBrowse; }
  QPushButton* ButtonReset() const { return FButtonReset; }

private:
  void ButtonResetClick();

  QLineEdit* FEditDatabase;
  QPushButton* FButtonBrowse;
  QPushButton* FButtonReset;
  QPointer<QDialog> FForm;
};
