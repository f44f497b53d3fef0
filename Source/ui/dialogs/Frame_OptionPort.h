// The "Port" options page: the serial ports of the DevicePort table with
// add, edit and delete.
#pragma once

#include "ui/base/Frame_TableList.h"

class TFrameOptionPort : public TFrameTableList {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameOptionPort(QWidget* AOwner = nullptr);
  ~TFrameOptionPort() override;

  TDqDrawGrid* GridPort() const { return Grid(); }
  TSQLiteTable* TablePort() const { return Table(); }
  QPushButton* ButtonAddPort() const { return ButtonAdd(); }
  QPushButton* ButtonEditPort() const { return ButtonEdit(); }
  QPushButton* ButtonDeletePort() const { return ButtonDelete(); }

private:
  void LoadPorts();
  void PortsChanged();
  void AddClick() override;
  void EditClick() override;
  void DeleteClick() override;
};
