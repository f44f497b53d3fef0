// The Device page: the controllers of the Device table with add, edit and
// delete, and below them each controller's communication statistics since
// the engine started (refreshed every second).
#pragma once

#include "widgets/DqFrameList.h"

#include <memory>
#include <vector>

class QPushButton;
class QTableWidget;
class QTimer;
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
  // One row per controller: requests, answers, time-outs, CRC/framing
  // errors, replies from another slave or transaction, exceptions by code,
  // requests that found no line, the last error and when, the last good
  // answer, mean and worst reply time.
  QTableWidget* GridStatistics() const { return FGridStatistics; }
  void RefreshStatistics();

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
  QTableWidget* FGridStatistics;
  QTimer* FStatisticsTimer;
  struct TController {
    QString Name;
    int PortID;
    int Slave;
  };
  std::vector<TController> FControllers;
};
