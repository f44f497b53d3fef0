// The Device page: the controllers of the Device table with add, edit and
// delete.
#pragma once

#include "Engine/DqFrameList.h"

#include <memory>

class QPushButton;
class TDqDrawGrid;
class TSQLiteTable;

class TFrameDevice : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameDevice(QWidget* AOwner = nullptr);
  ~TFrameDevice() override;

  TDqDrawGrid* GridDevice() const { return FGridDevice; }
  TSQLiteTable* TableDevice() const { return FTableDevice.get(); }
  QPushButton* ButtonDelete() const { return FButtonDelete; }
  QPushButton* ButtonAdd() const { return FButtonAdd; }
  QPushButton* ButtonEdit() const { return FButtonEdit; }

private:
  void LoadDevices();
  void DevicesChanged();
  void ButtonAddClick();
  void ButtonEditClick();
  void ButtonDeleteClick();

  QPushButton* FButtonDelete;
  QPushButton* FButtonAdd;
  QPushButton* FButtonEdit;
  TDqDrawGrid* FGridDevice;
  std::unique_ptr<TSQLiteTable> FTableDevice;
};
