// The "Port" options page: the serial ports of the DevicePort table with
// add, edit and delete.
#pragma once

#include "widgets/DqFrameList.h"

#include <memory>

class QPushButton;
class TDqDrawGrid;
class TSQLiteTable;

class TFrameOptionPort : public TDqFrame {
  Q_OBJECT
public:
  Q_INVOKABLE explicit TFrameOptionPort(QWidget* AOwner = nullptr);
  ~TFrameOptionPort() override;

  TDqDrawGrid* GridPort() const { return FGridPort; }
  TSQLiteTable* TablePort() const { return FTablePort.get(); }
  QPushButton* ButtonAddPort() const { return FButtonAddPort; }
  QPushButton* ButtonEditPort() const { return FButtonEditPort; }
  QPushButton* ButtonDeletePort() const { return FButtonDeletePort; }

private:
  void LoadPorts();
  void PortsChanged();
  void ButtonAddPortClick();
  void ButtonEditPortClick();
  void ButtonDeletePortClick();

  QPushButton* FButtonDeletePort;
  QPushButton* FButtonAddPort;
  QPushButton* FButtonEditPort;
  TDqDrawGrid* FGridPort;
  std::unique_ptr<TSQLiteTable> FTablePort;
};
