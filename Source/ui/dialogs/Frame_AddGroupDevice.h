// The controller picker of the group editor: the controllers not yet in
// the group, added one at a time. Hides when the focus leaves it.
#pragma once

#include "widgets/DqFrameList.h"

class QListWidget;
class QPushButton;

class TFrameAddGroupDevice : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameAddGroupDevice(QWidget* AOwner = nullptr);
  ~TFrameAddGroupDevice() override;

  int DeviceGroupID() const { return FDeviceGroupID; }
  // Stores the group and refills the list.
  void SetDeviceGroupID(int AValue);

  QListWidget* ListBoxDevice() const { return FListBoxDevice; }
  QPushButton* ButtonAdd() const { return FButtonAdd; }
  QPushButton* ButtonCancel() const { return FButtonCancel; }

protected:
  void keyPressEvent(QKeyEvent* AEvent) override;

private:
  void LoadDevices();
  void FitList();
  void ButtonAddClick();
  void Panel1Exit();

  QFrame* FPanel1;
  QListWidget* FListBoxDevice;
  QPushButton* FButtonAdd;
  QPushButton* FButtonCancel;
  int FDeviceGroupID = -1;
  QMetaObject::Connection FFocusWatch;
};
