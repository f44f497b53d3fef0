// The mobile-number entry of the group editor: a name and a number,
// checked before they join the editor's list. Hides when the focus
// leaves it.
#pragma once

#include "widgets/DqFrameList.h"

class QLineEdit;
class QPushButton;

class TFrameAddGroupMobile : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameAddGroupMobile(QWidget* AOwner = nullptr);
  ~TFrameAddGroupMobile() override;

  // Empties both boxes, shows the entry and gives it the focus.
  void Start();

  QLineEdit* EditName() const { return FEditName; }
  QLineEdit* EditMobile() const { return FEditMobile; }
  QPushButton* ButtonSave() const { return FButtonSave; }
  QPushButton* ButtonCancel() const { return FButtonCancel; }

protected:
  void keyPressEvent(QKeyEvent* AEvent) override;

private:
  void ButtonSaveClick();
  void FrameExit();

  QLineEdit* FEditName;
  QLineEdit* FEditMobile;
  QPushButton* FButtonSave;
  QPushButton* FButtonCancel;
  QMetaObject::Connection FFocusWatch;
};
